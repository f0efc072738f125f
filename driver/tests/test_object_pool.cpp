// The object pool that lends the camera's raw buffers: construction, last-in-first-out
// lending with the content kept, growth of an unbounded pool, the wait of a bounded one, and
// objects that outlive their pool.
#include <vireo/ObjectPool.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_camera_support.h"

namespace vireo {
namespace {

using Bytes = std::vector<uint8_t>;
using BytePool = ObjectPool<Bytes, 1>;

TEST(ObjectPool, BoundedPoolOfNoObjectIsRefused) {
    try {
        BytePool pool(0, true, 16);
        FAIL() << "a bounded pool without objects was created";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(),
                     "Failed to allocate memory for the bounded object pool: pool's size can not be 0.");
    }
    // Unbounded, no object is fine: it grows on demand.
    BytePool unbounded(0, false, 16);
    EXPECT_EQ(unbounded.idleCount(), 0u);
    auto object = unbounded.acquire();
    ASSERT_TRUE(object);
    EXPECT_TRUE(object->empty());
}

TEST(ObjectPool, ObjectsStartZeroFilledAndComeBackWithTheirContent) {
    BytePool pool(3, true, 5);
    EXPECT_EQ(pool.idleCount(), 3u);
    Bytes* first = nullptr;
    {
        auto object = pool.acquire();
        EXPECT_EQ(pool.idleCount(), 2u);
        ASSERT_EQ(object->size(), 5u);
        EXPECT_TRUE(std::all_of(object->begin(), object->end(), [](uint8_t b) { return b == 0; }));
        object->assign({1, 2, 3});
        first = object.get();
    }
    EXPECT_EQ(pool.idleCount(), 3u);
    // Last in, first out: the object just given back is lent again, content and all.
    auto again = pool.acquire();
    EXPECT_EQ(again.get(), first);
    EXPECT_EQ(*again, (Bytes{1, 2, 3}));
}

TEST(ObjectPool, LendsInLastInFirstOutOrder) {
    BytePool pool(0, false, 0);
    auto a = pool.acquire();
    auto b = pool.acquire();
    auto c = pool.acquire();
    Bytes* pa = a.get();
    Bytes* pc = c.get();
    a.reset();  // queued first
    c.reset();  // queued last
    EXPECT_EQ(pool.acquire().get(), pc);
    auto next = pool.acquire();  // pc went back again when the temporary died
    EXPECT_EQ(next.get(), pc);
    EXPECT_EQ(pool.acquire().get(), pa);
}

TEST(ObjectPool, UnboundedPoolGrowsWithEmptyObjects) {
    BytePool pool(2, false, 8);
    std::vector<std::shared_ptr<Bytes>> lent;
    for (int i = 0; i < 5; ++i) lent.push_back(pool.acquire());
    std::set<Bytes*> distinct;
    for (const auto& object : lent) distinct.insert(object.get());
    EXPECT_EQ(distinct.size(), 5u);
    // The two made at construction hold 8 elements; the three grown ones are empty.
    const auto sized = std::count_if(lent.begin(), lent.end(), [](const auto& o) { return o->size() == 8; });
    EXPECT_EQ(sized, 2);
    lent.clear();
    EXPECT_EQ(pool.idleCount(), 5u);
}

TEST(ObjectPool, BoundedPoolWaitsForAnObjectToComeBack) {
    BytePool pool(1, true, 4);
    auto held = pool.acquire();
    Bytes* heldAddress = held.get();
    std::atomic<bool> acquired{false};
    Bytes* got = nullptr;
    std::thread waiter([&] {
        auto object = pool.acquire();
        got = object.get();
        acquired = true;
    });
    // The waiter cannot have an object while the only one is held.
    EXPECT_FALSE(acquired.load());
    held.reset();
    EXPECT_TRUE(test::waitFor([&] { return acquired.load(); }));
    waiter.join();
    EXPECT_EQ(got, heldAddress);
    EXPECT_EQ(pool.idleCount(), 1u);
}

TEST(ObjectPool, ProducersAndConsumersNeverShareAnObject) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 500;
    BytePool pool(2, true, 1);
    std::atomic<int> clashes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                auto object = pool.acquire();
                // Whoever holds an object owns it alone: the mark set here must survive.
                (*object)[0] = static_cast<uint8_t>(t + 1);
                std::this_thread::yield();
                if ((*object)[0] != static_cast<uint8_t>(t + 1)) ++clashes;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(clashes.load(), 0);
    EXPECT_EQ(pool.idleCount(), 2u);
}

TEST(ObjectPool, ObjectsMayOutliveThePool) {
    std::shared_ptr<Bytes> survivor;
    {
        BytePool pool(1, true, 3);
        survivor = pool.acquire();
    }
    // The pool is gone: the object is still usable and is deleted (not given back) when
    // dropped; the sanitizer build reports a leak or a use after free otherwise.
    survivor->push_back(9);
    EXPECT_EQ(survivor->size(), 4u);
    survivor.reset();
}

TEST(ObjectPool, TryAcquireCreatesObjectsUpToTheLimitAndNeverWaits) {
    BytePool pool(0, false, 0);
    auto a = pool.tryAcquire(2);
    auto b = pool.tryAcquire(2);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(pool.tryAcquire(2), nullptr);  // both lent out: nothing, at once
    EXPECT_EQ(pool.createdCount(), 2u);
    Bytes* returned = b.get();
    b.reset();
    auto c = pool.tryAcquire(2);
    EXPECT_EQ(c.get(), returned);  // the returned object is lent again, no new one made
    EXPECT_EQ(pool.createdCount(), 2u);
    // Objects made up front count towards the limit.
    BytePool ready(3, true, 1);
    EXPECT_EQ(ready.createdCount(), 3u);
    EXPECT_EQ(ready.tryAcquire(3)->size(), 1u);
}

TEST(ObjectPool, TryAcquireForWaitsForAReturnedObjectAndGivesUpAfterItsTime) {
    BytePool pool(0, false, 0);
    auto held = pool.tryAcquireFor(1, std::chrono::milliseconds(0));
    ASSERT_NE(held, nullptr);  // under the limit: made at once
    // At the limit and nothing comes back: an empty pointer once the time has passed.
    EXPECT_EQ(pool.tryAcquireFor(1, std::chrono::milliseconds(20)), nullptr);
    EXPECT_EQ(pool.createdCount(), 1u);
    // An object given back during the wait is lent to the waiter (an unbounded pool too).
    Bytes* object = held.get();
    std::thread giver([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        held.reset();
    });
    auto taken = pool.tryAcquireFor(1, std::chrono::seconds(20));
    giver.join();
    EXPECT_EQ(taken.get(), object);
    EXPECT_EQ(pool.createdCount(), 1u);
}

}  // namespace
}  // namespace vireo

// The event pipeline: batching by count and by time (on injected decoder ranges and on a
// live simulated stream), getNextBatch, callbacks and their ids, trigger edges in stream
// order, statistics, start/stop edge cases, unplugging while streaming, a stream that ends
// and starts again, and a camera whose last reference goes on one of its own threads.
#include <vireo/DvsCameraManager.h>
#include <vireo/DvsCameraPrivate.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include <vireo/test/StdoutCapture.h>

#include "CameraTestAccess.h"
#include "test_camera_support.h"

namespace vireo {

namespace {

using Access = DvsCameraPrivateTestAccess;
using test::PluggedCamera;
using test::waitFor;

// A camera that is never opened: ranges are injected as the decoder would deliver them.
class OfflineCamera : public DvsCameraPrivate {
public:
    OfflineCamera() : DvsCameraPrivate(CameraDescription{}) {}
    bool isConnected() const override { return false; }
    unsigned short getWidth() override { return 1280; }
    unsigned short getHeight() override { return 720; }
    RawEventStreamFormat getRawEventStreamFormat() override { return "EVT3;height=720;width=1280"; }

private:
    int init() override { return -1; }
};

std::vector<Event2D> eventsAt(std::initializer_list<uint64_t> times, uint16_t x0 = 0) {
    std::vector<Event2D> events;
    uint16_t x = x0;
    for (uint64_t t : times) events.emplace_back(x++, 1, 1, t);
    return events;
}

std::vector<Event2D> run(uint16_t x0, size_t n, uint64_t t) {
    std::vector<Event2D> events;
    for (size_t i = 0; i < n; ++i) events.emplace_back(static_cast<uint16_t>(x0 + i), 2, 0, t + i);
    return events;
}

// An opened, unstarted simulated camera.
struct OpenedCamera {
    PluggedCamera plugged;
    DvsCameraManager manager;
    std::shared_ptr<DvsCamera> camera;

    explicit OpenedCamera(const sim::SimulatedCameraConfig& config = test::fastCameraConfig())
        : plugged(config) {
        manager.updateCameras();
        camera = manager.openCamera(plugged.serial);
    }
    ~OpenedCamera() {
        if (camera) camera->stop();
    }
};

TEST(CountBatching, BatchesSpanDecoderRangesAndTheRestKeepsFilling) {
    OfflineCamera camera;
    camera.setBatchEventsNum(3);
    const auto a = run(0, 2, 0), b = run(2, 2, 10), c = run(4, 5, 20);
    Access::inject(camera, a);
    Access::inject(camera, b);
    EXPECT_EQ(Access::countBatches(camera), 1u);
    EXPECT_EQ(Access::countReady(camera), (std::vector<Event2D>{a[0], a[1], b[0]}));
    Access::inject(camera, c);
    EXPECT_EQ(Access::countBatches(camera), 2u);
    EXPECT_EQ(Access::countReady(camera), (std::vector<Event2D>{b[1], c[0], c[1]}));
    EXPECT_EQ(Access::countFilling(camera), (std::vector<Event2D>{c[2], c[3], c[4]}));

    // A full filling buffer goes out only when the next events arrive.
    Access::inject(camera, run(9, 1, 30));
    EXPECT_EQ(Access::countBatches(camera), 3u);
    EXPECT_EQ(Access::countReady(camera), (std::vector<Event2D>{c[2], c[3], c[4]}));
    EXPECT_EQ(Access::countFilling(camera).size(), 1u);
}

TEST(CountBatching, OneLargeRangeGivesSeveralBatches) {
    OfflineCamera camera;
    camera.setBatchEventsNum(4);
    const auto events = run(0, 13, 0);
    Access::inject(camera, events);
    EXPECT_EQ(Access::countBatches(camera), 3u);
    EXPECT_EQ(Access::countReady(camera), std::vector<Event2D>(events.begin() + 8, events.begin() + 12));
    EXPECT_EQ(Access::countFilling(camera), std::vector<Event2D>(events.begin() + 12, events.end()));
}

// Fault mended: lowering the size below what was collected used to leave the filling buffer
// too large for ever (the free room went negative), so no batch was completed again.
TEST(CountBatching, LoweringTheSizeHandsOutWhatWasCollected) {
    OfflineCamera camera;
    camera.setBatchEventsNum(100);
    const auto collected = run(0, 10, 0);
    Access::inject(camera, collected);
    camera.setBatchEventsNum(3);
    const auto next = run(10, 1, 50);
    Access::inject(camera, next);
    EXPECT_EQ(Access::countBatches(camera), 3u);
    EXPECT_EQ(Access::countReady(camera), std::vector<Event2D>(collected.begin() + 6, collected.begin() + 9));
    EXPECT_EQ(Access::countFilling(camera), (std::vector<Event2D>{collected[9], next[0]}));
    Access::inject(camera, run(11, 2, 60));
    EXPECT_EQ(Access::countBatches(camera), 4u);
    EXPECT_EQ(Access::countReady(camera).size(), 3u);
}

TEST(CountBatching, ZeroSizeIsRefusedAndChangesNothing) {
    OfflineCamera camera;
    test::StdoutCapture capture;
    camera.setBatchEventsNum(0);
    camera.setBatchEventsTime(0);
    const auto out = capture.finish();
    EXPECT_NE(out.find("[error] setBatchEventsNum"), std::string::npos) << out;
    EXPECT_NE(out.find("[error] setBatchEventsTime"), std::string::npos) << out;
    EXPECT_EQ(Access::batchEventsNum(camera), 0x20000u);
    Access::inject(camera, run(0, 5, 0));  // no mode was set: nothing is collected
    EXPECT_TRUE(Access::countFilling(camera).empty());
    EXPECT_TRUE(Access::timeFilling(camera).empty());

    camera.setBatchEventsNum(2);
    camera.setBatchEventsNum(0);
    Access::inject(camera, run(0, 5, 0));
    EXPECT_EQ(Access::countBatches(camera), 2u);
}

TEST(TimeBatching, EmptyWindowsGiveEmptyBatches) {
    OfflineCamera camera;
    camera.setBatchEventsTime(10);
    const auto events = eventsAt({0, 5, 25});
    Access::inject(camera, events);
    EXPECT_EQ(Access::timeBatches(camera), 2u);
    EXPECT_TRUE(Access::timeReady(camera).empty());  // the window [10, 20)
    EXPECT_EQ(Access::timeFilling(camera), (std::vector<Event2D>{events[2]}));
}

TEST(TimeBatching, FirstBatchHoldsItsWindowAcrossRanges) {
    OfflineCamera camera;
    camera.setBatchEventsTime(10);
    const auto a = eventsAt({100, 103}), b = eventsAt({107, 109, 112}, 10);
    Access::inject(camera, a);
    EXPECT_EQ(Access::timeBatches(camera), 0u);
    Access::inject(camera, b);
    EXPECT_EQ(Access::timeBatches(camera), 1u);
    EXPECT_EQ(Access::timeReady(camera), (std::vector<Event2D>{a[0], a[1], b[0], b[1]}));
    EXPECT_EQ(Access::timeFilling(camera), (std::vector<Event2D>{b[2]}));
}

// Fault mended: an event exactly on a window's end went to the earlier window when it ended
// a decoder range and to the later one otherwise, so batches depended on the range cuts.
TEST(TimeBatching, EventOnTheBoundaryBelongsToTheNextWindowWhateverTheRanges) {
    OfflineCamera whole, cut;
    whole.setBatchEventsTime(10);
    cut.setBatchEventsTime(10);
    const auto events = eventsAt({0, 5, 10, 15, 21});
    Access::inject(whole, events);
    Access::inject(cut, {events[0], events[1], events[2]});
    Access::inject(cut, {events[3], events[4]});
    for (OfflineCamera* camera : {&whole, &cut}) {
        EXPECT_EQ(Access::timeBatches(*camera), 2u);
        EXPECT_EQ(Access::timeReady(*camera), (std::vector<Event2D>{events[2], events[3]}));
        EXPECT_EQ(Access::timeFilling(*camera), (std::vector<Event2D>{events[4]}));
    }
}

// Fault mended: a window near the largest duration wrapped the boundary around, and the
// loop then handed out empty batches for ever.
TEST(TimeBatching, EndlessWindowCollectsEverythingInOneBatch) {
    OfflineCamera camera;
    camera.setBatchEventsTime(~0ULL);
    Access::inject(camera, eventsAt({5, 1'000'000, 1'000'000'000'000ULL}));
    EXPECT_EQ(Access::timeBatches(camera), 0u);
    EXPECT_EQ(Access::timeFilling(camera).size(), 3u);
}

TEST(Batching, SwitchingModesKeepsTheOtherModesEvents) {
    OfflineCamera camera;
    camera.setBatchEventsNum(10);
    const auto counted = run(0, 4, 0);
    Access::inject(camera, counted);
    camera.setBatchEventsTime(1000);
    Access::inject(camera, run(10, 3, 100));
    EXPECT_EQ(Access::countFilling(camera), counted);
    EXPECT_EQ(Access::timeFilling(camera).size(), 3u);
    camera.setBatchEventsNum(10);
    Access::inject(camera, run(20, 6, 200));
    EXPECT_EQ(Access::countBatches(camera), 0u);
    EXPECT_EQ(Access::countFilling(camera).size(), 10u);
}

TEST(Callbacks, IdsCountUpAndAreNotReused) {
    OfflineCamera camera;
    auto noop = [](const Event2D*, const Event2D*) {};
    EXPECT_EQ(camera.addEventsStreamHandleCallback(noop), 0u);
    EXPECT_EQ(camera.addEventsStreamHandleCallback(noop), 1u);
    EXPECT_TRUE(camera.removeEventsStreamHandleCallback(0));
    EXPECT_FALSE(camera.removeEventsStreamHandleCallback(0));
    EXPECT_EQ(camera.addEventsStreamHandleCallback(noop), 2u);
    // Trigger callbacks count on their own.
    EXPECT_EQ(camera.addTriggerInCallback([](EventTriggerIn) {}), 0u);
    EXPECT_FALSE(camera.removeTriggerInCallback(5));
    EXPECT_TRUE(camera.removeTriggerInCallback(0));
}

TEST(Callbacks, EveryCallbackSeesEveryRange) {
    OfflineCamera camera;
    std::vector<Event2D> one, two;
    camera.addEventsStreamHandleCallback([&](const Event2D* f, const Event2D* l) { one.insert(one.end(), f, l); });
    const auto id = camera.addEventsStreamHandleCallback(
        [&](const Event2D* f, const Event2D* l) { two.insert(two.end(), f, l); });
    const auto a = run(0, 3, 0);
    Access::inject(camera, a);
    camera.removeEventsStreamHandleCallback(id);
    Access::inject(camera, run(3, 2, 5));
    EXPECT_EQ(one.size(), 5u);
    EXPECT_EQ(two, a);
}

TEST(GetNextBatch, FalseAtOnceWithoutAModeOrWhenNotStreaming) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    std::vector<Event2D> out = run(0, 3, 0);
    EXPECT_FALSE(opened.camera->getNextBatch(out));
    EXPECT_TRUE(out.empty());
    opened.camera->setBatchEventsNum(100);
    EXPECT_FALSE(opened.camera->getNextBatch(out));  // set but not started
    ASSERT_EQ(opened.camera->start(), 0);
    EXPECT_TRUE(opened.camera->getNextBatch(out));
    EXPECT_EQ(out.size(), 100u);
    ASSERT_EQ(opened.camera->stop(), 0);
    EXPECT_FALSE(opened.camera->getNextBatch(out));
}

TEST(GetNextBatch, CountBatchesAreConsecutiveSlicesOfTheStream) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    std::mutex mutex;
    std::vector<Event2D> stream;
    opened.camera->addEventsStreamHandleCallback([&](const Event2D* f, const Event2D* l) {
        std::lock_guard<std::mutex> lock(mutex);
        stream.insert(stream.end(), f, l);
    });
    const size_t n = 5000;
    opened.camera->setBatchEventsNum(n);
    ASSERT_EQ(opened.camera->start(), 0);
    std::vector<std::vector<Event2D>> batches(4);
    for (auto& batch : batches) ASSERT_TRUE(opened.camera->getNextBatch(batch));
    ASSERT_EQ(opened.camera->stop(), 0);

    // Each batch is exactly n events, and equals the k-th slice of n of the whole stream.
    std::lock_guard<std::mutex> lock(mutex);
    size_t previous = 0;
    for (const auto& batch : batches) {
        ASSERT_EQ(batch.size(), n);
        const auto at = std::search(stream.begin(), stream.end(), batch.begin(), batch.end());
        ASSERT_NE(at, stream.end());
        const auto index = static_cast<size_t>(at - stream.begin());
        EXPECT_EQ(index % n, 0u);
        EXPECT_GE(index, previous);
        previous = index + n;
    }
}

TEST(GetNextBatch, TimeBatchesCoverOneWindowEach) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    const uint64_t window = 2000;
    opened.camera->setBatchEventsTime(window);
    ASSERT_EQ(opened.camera->start(), 0);
    for (int i = 0; i < 5; ++i) {
        std::vector<Event2D> batch;
        ASSERT_TRUE(opened.camera->getNextBatch(batch));
        ASSERT_FALSE(batch.empty());  // 1 M events/s: no window is empty
        EXPECT_LT(batch.back().timestamp - batch.front().timestamp, window);
        EXPECT_TRUE(std::is_sorted(batch.begin(), batch.end(),
                                   [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; }));
    }
    EXPECT_EQ(opened.camera->stop(), 0);
}

// Fault mended: a waiter was woken by stop for one mode only and never when nothing stopped
// it, so a second waiter (or one on a stopped camera) blocked for ever.
TEST(GetNextBatch, StopWakesEveryWaiter) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    opened.camera->setBatchEventsTime(1'000'000'000'000ULL);  // no window ever completes
    ASSERT_EQ(opened.camera->start(), 0);
    auto waiter = [&] {
        std::vector<Event2D> batch;
        return opened.camera->getNextBatch(batch);
    };
    auto a = std::async(std::launch::async, waiter);
    auto b = std::async(std::launch::async, waiter);
    EXPECT_EQ(a.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    ASSERT_EQ(opened.camera->stop(), 0);
    ASSERT_EQ(a.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(b.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(a.get());
    EXPECT_FALSE(b.get());
}

TEST(GetNextBatch, ModeChangeReleasesTheOtherModesWaiter) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    opened.camera->setBatchEventsTime(1'000'000'000'000ULL);
    ASSERT_EQ(opened.camera->start(), 0);
    auto waiting = std::async(std::launch::async, [&] {
        std::vector<Event2D> batch;
        return opened.camera->getNextBatch(batch);
    });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    opened.camera->setBatchEventsNum(10);
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    std::vector<Event2D> batch;
    EXPECT_TRUE(opened.camera->getNextBatch(batch));
    EXPECT_EQ(batch.size(), 10u);
}

TEST(StartStop, EdgeCases) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto& camera = *opened.camera;
    std::atomic<uint64_t> events{0};
    camera.addEventsStreamHandleCallback([&](const Event2D* f, const Event2D* l) { events += static_cast<uint64_t>(l - f); });
    EXPECT_EQ(camera.stop(), 0);  // not started
    ASSERT_EQ(camera.start(), 0);
    EXPECT_EQ(camera.start(), 0);  // already started: nothing changes
    ASSERT_TRUE(waitFor([&] { return events.load() > 10000; }));
    EXPECT_EQ(camera.stop(), 0);
    EXPECT_EQ(camera.stop(), 0);
    EXPECT_EQ(sim::readoutRunning(opened.plugged.serial), std::optional<bool>(false));
    const uint64_t stopped = events.load();

    // Started again, with callbacks and settings kept.
    ASSERT_EQ(camera.start(), 0);
    ASSERT_TRUE(waitFor([&] { return events.load() > stopped + 10000; }));
    EXPECT_EQ(camera.stop(), 0);
}

// Fault mended: stop from a callback tried to join the camera thread from itself.
TEST(StartStop, StopFromACallbackIsRefusedWithoutDeadlock) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto& camera = *opened.camera;
    std::atomic<int> result{1};
    std::atomic<int> calls{0};
    camera.addEventsStreamHandleCallback([&](const Event2D*, const Event2D*) {
        if (calls++ == 0) result = camera.stop();
    });
    ASSERT_EQ(camera.start(), 0);
    ASSERT_TRUE(waitFor([&] { return calls.load() > 5; }));  // still streaming
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(camera.stop(), 0);
}

// Runs `operation` on a thread of its own and waits at most `timeout` for it to return;
// false when it did not (the thread is then left behind, blocked).
bool returnsWithin(std::function<void()> operation, std::chrono::seconds timeout) {
    auto done = std::make_shared<std::promise<void>>();
    auto returned = done->get_future();
    std::thread([operation = std::move(operation), done] {
        operation();
        done->set_value();
    }).detach();
    return returned.wait_for(timeout) == std::future_status::ready;
}

// Fault mended: start() called from a callback waited for the lock that stop() holds while
// it joins the camera thread, so the callback and stop() waited for each other for ever.
// From a callback start() answers at once: 0 while the camera streams, -1 once it stops.
TEST(StartStop, StartFromACallbackDuringAStopDoesNotDeadlock) {
    struct Scene {
        OpenedCamera opened;
        std::atomic<int> calls{0};
        std::atomic<bool> stopping{false};
        std::atomic<int> whileStreaming{1};
        std::atomic<int> whileStopping{1};
        std::atomic<int> stopped{1};
    };
    auto scene = std::make_unique<Scene>();
    Scene& s = *scene;
    ASSERT_NE(s.opened.camera, nullptr);
    auto& camera = *s.opened.camera;
    camera.setBatchEventsTime(1'000'000'000'000ULL);  // a waiter that only the stop releases
    camera.addEventsStreamHandleCallback([&s, &camera](const Event2D*, const Event2D*) {
        const int call = ++s.calls;
        if (call == 1) s.whileStreaming = camera.start();
        if (call == 2) {
            // Held until stop() has begun (it has taken its lock and joins this thread).
            test::waitFor([&] { return s.stopping.load(); }, std::chrono::seconds(10));
            s.whileStopping = camera.start();
        }
    });
    ASSERT_EQ(camera.start(), 0);
    auto waiter = std::async(std::launch::async, [&] {
        std::vector<Event2D> batch;
        camera.getNextBatch(batch);  // released when stop() begins
        s.stopping = true;
    });
    ASSERT_TRUE(waitFor([&] { return s.calls.load() >= 2; }));
    if (!returnsWithin([&s, &camera] { s.stopped = camera.stop(); }, std::chrono::seconds(10))) {
        waiter.get();
        ADD_FAILURE() << "stop() and start() called from a callback wait for each other";
        scene.release();  // its threads stay blocked on it
        return;
    }
    waiter.get();
    EXPECT_EQ(s.stopped.load(), 0);
    EXPECT_EQ(s.whileStreaming.load(), 0);
    EXPECT_EQ(s.whileStopping.load(), -1);
    EXPECT_EQ(sim::readoutRunning(s.opened.plugged.serial), std::optional<bool>(false));
    // The camera starts again from an application thread.
    const int before = s.calls.load();
    ASSERT_EQ(camera.start(), 0);
    EXPECT_TRUE(waitFor([&] { return s.calls.load() > before; }));
    EXPECT_EQ(camera.stop(), 0);
}

TEST(Callbacks, ACallbackThatThrowsEndsTheStreamCleanly) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto& camera = *opened.camera;
    std::atomic<int> calls{0};
    camera.addEventsStreamHandleCallback([&](const Event2D*, const Event2D*) {
        if (++calls == 3) throw std::runtime_error("application failure");
    });
    camera.setBatchEventsNum(1'000'000'000ULL);
    test::StdoutCapture capture;
    ASSERT_EQ(camera.start(), 0);
    std::vector<Event2D> batch;
    EXPECT_FALSE(camera.getNextBatch(batch));  // released by the end of the stream
    EXPECT_EQ(camera.stop(), 0);
    EXPECT_EQ(calls.load(), 3);
    EXPECT_NE(capture.finish().find("application failure"), std::string::npos);
}

// Fault mended: after a callback threw, the camera still counted as started: start()
// returned 0 without effect, statistics had stopped, and nothing flowed until stop() and
// start(). An ended stream is not running, and start() streams again.
TEST(Callbacks, AfterACallbackThrewStartStreamsAgain) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto& camera = *opened.camera;
    std::atomic<int> calls{0};
    std::atomic<int> statistics{0};
    camera.addEventsStreamHandleCallback([&](const Event2D*, const Event2D*) {
        if (++calls == 3) throw std::runtime_error("application failure");
    });
    camera.setBatchEventsNum(1'000'000'000ULL);
    test::StdoutCapture capture;
    ASSERT_EQ(camera.start(), 0);
    std::vector<Event2D> batch;
    EXPECT_FALSE(camera.getNextBatch(batch));  // the stream has ended
    const std::string log = capture.finish();
    EXPECT_NE(log.find("event stream ended: application failure"), std::string::npos) << log;

    camera.setStatisticInfoCallback([&](DsStatisticInfo) { ++statistics; });
    camera.setBatchEventsNum(100);
    ASSERT_EQ(camera.start(), 0);
    EXPECT_TRUE(waitFor([&] { return calls.load() > 10; }, std::chrono::seconds(10)));
    EXPECT_TRUE(camera.getNextBatch(batch));
    EXPECT_EQ(batch.size(), 100u);
    EXPECT_TRUE(waitFor([&] { return statistics.load() > 0; }, std::chrono::seconds(10)));
    EXPECT_EQ(camera.stop(), 0);
    EXPECT_EQ(sim::readoutRunning(opened.plugged.serial), std::optional<bool>(false));
}

TEST(GetNextBatch, FromACallbackIsRefusedInsteadOfWaitingForItself) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto& camera = *opened.camera;
    camera.setBatchEventsNum(10);
    std::atomic<int> calls{0};
    std::atomic<int> refused{0};
    camera.addEventsStreamHandleCallback([&](const Event2D*, const Event2D*) {
        if (calls++ == 0) {
            std::vector<Event2D> batch;
            if (!camera.getNextBatch(batch)) ++refused;
        }
    });
    ASSERT_EQ(camera.start(), 0);
    ASSERT_TRUE(waitFor([&] { return calls.load() > 5; }));  // the camera thread went on
    EXPECT_EQ(refused.load(), 1);
    std::vector<Event2D> batch;
    EXPECT_TRUE(camera.getNextBatch(batch));
    EXPECT_EQ(camera.stop(), 0);
}

TEST(Callbacks, AddedAndRemovedFromOtherThreadsWhileStreaming) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto& camera = *opened.camera;
    std::atomic<uint64_t> steady{0};
    camera.addEventsStreamHandleCallback([&](const Event2D* f, const Event2D* l) { steady += static_cast<uint64_t>(l - f); });
    ASSERT_EQ(camera.start(), 0);

    std::mutex idsMutex;
    std::set<unsigned> ids{0};
    std::atomic<bool> lateCall{false};
    auto churn = [&] {
        for (int i = 0; i < 100; ++i) {
            auto removed = std::make_shared<std::atomic<bool>>(false);
            const unsigned id = camera.addEventsStreamHandleCallback([&lateCall, removed](const Event2D*, const Event2D*) {
                if (removed->load()) lateCall = true;
            });
            {
                std::lock_guard<std::mutex> lock(idsMutex);
                EXPECT_TRUE(ids.insert(id).second) << "id " << id << " given twice";
            }
            EXPECT_TRUE(camera.removeEventsStreamHandleCallback(id));
            removed->store(true);  // removal waited for any call in progress
        }
    };
    std::thread a(churn), b(churn);
    a.join();
    b.join();
    const uint64_t seen = steady.load();
    ASSERT_TRUE(waitFor([&] { return steady.load() > seen; }));
    EXPECT_EQ(camera.stop(), 0);
    EXPECT_FALSE(lateCall.load());
    EXPECT_EQ(ids.size(), 201u);
}

TEST(Triggers, EdgesArriveInOrderBetweenTheirEvents) {
    auto config = test::fastCameraConfig();
    config.trigger_period_us = 1000;
    OpenedCamera opened(config);
    ASSERT_NE(opened.camera, nullptr);
    auto& camera = *opened.camera;

    // Both callbacks run on the camera thread: one log keeps the stream order.
    std::mutex mutex;
    std::vector<uint64_t> eventTimes;            // last event time seen before each trigger
    std::vector<EventTriggerIn> triggers;
    std::vector<uint64_t> firstAfter;            // first event time after each trigger
    uint64_t lastEvent = 0;
    bool awaitingFirst = false;
    camera.addEventsStreamHandleCallback([&](const Event2D* f, const Event2D* l) {
        std::lock_guard<std::mutex> lock(mutex);
        if (awaitingFirst) {
            firstAfter.push_back(f->timestamp);
            awaitingFirst = false;
        }
        lastEvent = (l - 1)->timestamp;
    });
    camera.addTriggerInCallback([&](EventTriggerIn trigger) {
        std::lock_guard<std::mutex> lock(mutex);
        if (awaitingFirst) firstAfter.push_back(trigger.timestamp);  // two edges in a row
        triggers.push_back(trigger);
        eventTimes.push_back(lastEvent);
        awaitingFirst = true;
    });
    ASSERT_EQ(camera.start(), 0);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return triggers.size() >= 30 && firstAfter.size() >= 30;
    }));
    ASSERT_EQ(camera.stop(), 0);

    std::lock_guard<std::mutex> lock(mutex);
    for (size_t k = 0; k < 30; ++k) {
        EXPECT_EQ(triggers[k].timestamp, (k + 1) * 1000) << k;
        EXPECT_EQ(triggers[k].polarity, static_cast<int16_t>((k + 1) % 2)) << k;
        EXPECT_EQ(triggers[k].id, 0);
        EXPECT_LT(eventTimes[k], triggers[k].timestamp) << k;
        EXPECT_GE(firstAfter[k], triggers[k].timestamp) << k;
    }
}

TEST(Statistics, DeliveredOncePerSecondWithGrowingCounters) {
    auto config = test::fastCameraConfig();
    config.real_time = true;
    config.event_rate = 200000;
    OpenedCamera opened(config);
    ASSERT_NE(opened.camera, nullptr);
    auto& camera = *opened.camera;
    std::mutex mutex;
    std::vector<std::pair<std::chrono::steady_clock::time_point, DsStatisticInfo>> stats;
    std::atomic<uint64_t> events{0};
    camera.addEventsStreamHandleCallback([&](const Event2D* f, const Event2D* l) { events += static_cast<uint64_t>(l - f); });
    camera.setStatisticInfoCallback([&](DsStatisticInfo info) {
        std::lock_guard<std::mutex> lock(mutex);
        stats.emplace_back(std::chrono::steady_clock::now(), info);
    });
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(camera.start(), 0);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return stats.size() >= 2;
    }));
    const auto stopAt = std::chrono::steady_clock::now();
    ASSERT_EQ(camera.stop(), 0);
    // Stop does not wait for the rest of a statistics period.
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(900));

    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_GE(stats[0].first - started, std::chrono::milliseconds(950));
    EXPECT_GE(stats[1].first - stats[0].first, std::chrono::milliseconds(900));
    EXPECT_GT(stats[0].second.first, 0u);                         // events decoded
    EXPECT_GT(stats[1].second.first, stats[0].second.first);
    EXPECT_GT(stats[1].second.second, stats[0].second.second);    // raw bytes decoded
    EXPECT_LE(stats[1].second.first, events.load());
}

TEST(Unplug, WhileStreamingEndsTheThreadsAndStopReturns) {
    auto serial = sim::plugCamera(test::fastCameraConfig());
    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openCamera(serial);
    ASSERT_NE(camera, nullptr);
    std::atomic<uint64_t> events{0};
    camera->addEventsStreamHandleCallback([&](const Event2D* f, const Event2D* l) { events += static_cast<uint64_t>(l - f); });
    camera->setBatchEventsTime(1'000'000'000'000ULL);
    ASSERT_EQ(camera->start(), 0);
    ASSERT_TRUE(waitFor([&] { return events.load() > 0; }));
    auto waiting = std::async(std::launch::async, [&] {
        std::vector<Event2D> batch;
        return camera->getNextBatch(batch);
    });

    test::StdoutCapture capture;
    ASSERT_TRUE(sim::unplugCamera(serial));
    // The waiter is released by the end of the stream, not by stop.
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    const uint64_t atEnd = events.load();
    std::vector<Event2D> batch;
    EXPECT_FALSE(camera->getNextBatch(batch));
    EXPECT_FALSE(camera->isConnected());
    EXPECT_EQ(camera->stop(), 0);
    EXPECT_EQ(events.load(), atEnd);
    EXPECT_NE(capture.finish().find("disconnected"), std::string::npos);
    EXPECT_EQ(camera->start(), 0);  // nothing to stream, but nothing breaks either
    EXPECT_EQ(camera->stop(), 0);
}

// ---- a camera whose last reference goes on one of its own threads -------------------------

enum class OwnThread { EventCallback, TriggerCallback, StatisticsCallback };

// A simulated camera opened through a manager that is gone again: the pointer returned is
// the only reference to the camera.
std::shared_ptr<DvsCamera> openAlone(const std::string& serial) {
    DvsCameraManager manager;
    manager.updateCameras();
    return manager.openCamera(serial);
}

// The camera records while it streams; one of its callbacks takes a reference from a
// weak pointer and holds it until the test has dropped its own, so that the callback's is
// the last. True when the camera then ended cleanly: its recording written, its sensor
// stopped, and the callback's thread gone from the camera's code (the sentinel the callback
// holds is released with the callback, after the thread left the camera's frames).
void expectCleanEndWhenDroppedIn(OwnThread where) {
    auto config = test::fastCameraConfig();
    config.trigger_period_us = 1000;
    PluggedCamera plugged(config);
    std::shared_ptr<DvsCamera> camera = openAlone(plugged.serial);
    ASSERT_NE(camera, nullptr);
    const std::filesystem::path dir = std::filesystem::path(VIREO_TEST_SCRATCH_DIR) / "camera_pipeline" /
                                      ("dropped-" + std::to_string(static_cast<int>(where)));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string out = (dir / "dropped.raw").string();
    ASSERT_TRUE(dynamic_cast<DvsCameraPrivate&>(*camera).setSegmentDirectory((dir / "segments").string()));

    std::weak_ptr<DvsCamera> weak = camera;
    auto held = std::make_shared<std::atomic<bool>>(false);
    auto dropped = std::make_shared<std::atomic<bool>>(false);
    auto sentinel = std::make_shared<int>(0);
    std::weak_ptr<int> sentinelWatch = sentinel;
    auto holdLast = [weak, held, dropped, sentinel] {
        if (held->exchange(true)) return;
        std::shared_ptr<DvsCamera> self = weak.lock();
        test::waitFor([&] { return dropped->load(); }, std::chrono::seconds(10));
    };  // `self` is the last reference: the camera is destroyed here, on its own thread
    switch (where) {
        case OwnThread::EventCallback:
            camera->addEventsStreamHandleCallback(
                [hold = std::move(holdLast)](const Event2D*, const Event2D*) { hold(); });
            break;
        case OwnThread::TriggerCallback:
            camera->addTriggerInCallback([hold = std::move(holdLast)](EventTriggerIn) { hold(); });
            break;
        case OwnThread::StatisticsCallback:
            camera->setStatisticInfoCallback([hold = std::move(holdLast)](DsStatisticInfo) { hold(); });
            break;
    }
    sentinel.reset();  // the callback holds the only one now
    ASSERT_EQ(camera->startRecording(out), 0);
    ASSERT_EQ(camera->start(), 0);
    ASSERT_TRUE(waitFor([&] { return held->load(); }));
    camera.reset();
    dropped->store(true);

    EXPECT_TRUE(waitFor([&] { return weak.expired(); }));
    EXPECT_TRUE(waitFor([&] { return sentinelWatch.expired(); })) << "the camera's thread did not end";
    EXPECT_EQ(sim::readoutRunning(plugged.serial), std::optional<bool>(false));
    std::ifstream in(out, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    const std::string bytes = content.str();
    EXPECT_EQ(bytes.rfind("% camera_integrator_name Vireo\n", 0), 0u) << "no recording at " << out;
    const auto end = bytes.find("% end\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_GT(bytes.size(), end + 6) << "the recording holds no data";
}

// Fault mended: when the last reference went in one of the camera's own callbacks, the
// destructor's stop() could not join the thread it ran on and a joinable std::thread was
// destroyed: std::terminate ended the process.
TEST(Lifetime, LastReferenceDroppedInAnEventCallback) { expectCleanEndWhenDroppedIn(OwnThread::EventCallback); }
TEST(Lifetime, LastReferenceDroppedInATriggerCallback) { expectCleanEndWhenDroppedIn(OwnThread::TriggerCallback); }
TEST(Lifetime, LastReferenceDroppedInTheStatisticsCallback) {
    expectCleanEndWhenDroppedIn(OwnThread::StatisticsCallback);
}

}  // namespace
}  // namespace vireo

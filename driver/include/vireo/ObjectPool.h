// ObjectPool: reusable objects lent as shared pointers that go back to the pool when the last
// pointer is dropped. The camera uses it for its 10 MiB raw buffers, so that the camera thread
// (the producer) does not allocate for every USB buffer and the record thread (the consumer)
// hands a written buffer back just by dropping it.
//
//   ObjectPool<std::vector<uint8_t>, 1> pool(10, false, 10485760);
//   std::shared_ptr<std::vector<uint8_t>> buffer = pool.acquire();
//   buffer->clear();  // objects come back with their content: clear them after acquiring
//
// A bounded pool never grows: acquire waits until an object is given back. An unbounded pool
// creates a new, empty object when none is idle. Objects still lent out when the pool is
// destroyed are deleted when their last pointer is dropped. The pool may be used from any
// number of threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace vireo {

template <typename T, int Version = 1>
class ObjectPool {
public:
    // Creates `count` objects, each T(elements) (for a vector: `elements` zero-valued
    // elements). Throws std::invalid_argument when a bounded pool would hold no object (it
    // could never lend anything).
    ObjectPool(std::size_t count, bool bounded, std::size_t elements) : impl(std::make_shared<Impl>()) {
        if (count == 0 && bounded) {
            throw std::invalid_argument(
                "Failed to allocate memory for the bounded object pool: pool's size can not be 0.");
        }
        impl->self = impl;
        impl->bounded = bounded;
        for (std::size_t i = 0; i < count; ++i) impl->idle.push_back(std::make_unique<T>(elements));
        impl->created = count;
    }

    ObjectPool(const ObjectPool&) = delete;
    ObjectPool& operator=(const ObjectPool&) = delete;

    // Lends the most recently returned object (last in, first out, so the warmest memory is
    // reused first). A bounded pool with nothing idle waits for an object to come back; an
    // unbounded one creates an empty object. The object keeps whatever content it had.
    std::shared_ptr<T> acquire() {
        std::unique_ptr<T> object;
        {
            std::unique_lock<std::mutex> lock(impl->mutex);
            if (impl->idle.empty()) {
                if (impl->bounded) {
                    impl->cond.wait(lock, [this] { return !impl->idle.empty(); });
                } else {
                    impl->idle.push_back(std::make_unique<T>());
                    ++impl->created;
                }
            }
            object = std::move(impl->idle.back());
            impl->idle.pop_back();
        }
        return std::shared_ptr<T>(object.release(), Deleter{impl->self});
    }

    // Never waits: lends the most recently returned object, or creates an empty one while the
    // pool has made fewer than `limit` objects in all; an empty pointer when `limit` objects
    // exist and every one is lent out. Lets a producer that must not block (a camera thread)
    // take buffers as it needs them, up to a bound, and notice when its consumer falls behind.
    std::shared_ptr<T> tryAcquire(std::size_t limit) {
        std::unique_ptr<T> object;
        {
            std::lock_guard<std::mutex> lock(impl->mutex);
            if (impl->idle.empty()) {
                if (impl->created >= limit) return nullptr;
                impl->idle.push_back(std::make_unique<T>());
                ++impl->created;
            }
            object = std::move(impl->idle.back());
            impl->idle.pop_back();
        }
        return std::shared_ptr<T>(object.release(), Deleter{impl->self});
    }

    // As tryAcquire, but when `limit` objects exist and every one is lent out, waits up to
    // `timeout` for one to come back: a producer rides out a consumer's short pause and
    // gives up (an empty pointer) only on a longer one.
    template <class Rep, class Period>
    std::shared_ptr<T> tryAcquireFor(std::size_t limit, std::chrono::duration<Rep, Period> timeout) {
        std::unique_ptr<T> object;
        {
            std::unique_lock<std::mutex> lock(impl->mutex);
            if (impl->idle.empty()) {
                if (impl->created < limit) {
                    impl->idle.push_back(std::make_unique<T>());
                    ++impl->created;
                } else if (!impl->cond.wait_for(lock, timeout, [this] { return !impl->idle.empty(); })) {
                    return nullptr;
                }
            }
            object = std::move(impl->idle.back());
            impl->idle.pop_back();
        }
        return std::shared_ptr<T>(object.release(), Deleter{impl->self});
    }

    // Objects the pool has made so far (idle or lent out).
    std::size_t createdCount() const {
        std::lock_guard<std::mutex> lock(impl->mutex);
        return impl->created;
    }

    // Objects idle in the pool now (not lent out).
    std::size_t idleCount() const {
        std::lock_guard<std::mutex> lock(impl->mutex);
        return impl->idle.size();
    }

private:
    struct Impl {
        std::weak_ptr<Impl> self;
        mutable std::mutex mutex;
        std::condition_variable cond;
        std::deque<std::unique_ptr<T>> idle;
        bool bounded = false;
        std::size_t created = 0;  // objects made, idle or lent out
    };

    // Gives an object back to its pool, or deletes it when the pool is gone.
    struct Deleter {
        std::weak_ptr<Impl> pool;
        void operator()(T* object) const {
            std::unique_ptr<T> owned(object);
            if (auto state = pool.lock()) {
                {
                    std::lock_guard<std::mutex> lock(state->mutex);
                    state->idle.push_back(std::move(owned));
                }
                state->cond.notify_all();  // a bounded acquire or a tryAcquireFor may wait
            }
        }
    };

    std::shared_ptr<Impl> impl;
};

}  // namespace vireo

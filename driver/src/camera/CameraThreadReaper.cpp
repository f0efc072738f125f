// CameraThreadReaper: kept threads, their exit marks and the exit handler that joins them.
#include "camera/CameraThreadReaper.h"

#include <cstdlib>
#include <utility>

#include <vireo/Logger.h>

namespace vireo::detail {

namespace {

// Marks, as the calling thread exits (thread-local objects go after the thread's function
// has returned), that its kept entry may be joined without waiting.
class ExitMark {
public:
    void arm(std::mutex* mutex, std::shared_ptr<bool> done) {
        mutex_ = mutex;
        done_ = std::move(done);
    }
    ~ExitMark() {
        if (!done_) return;
        std::lock_guard<std::mutex> lock(*mutex_);
        *done_ = true;
    }

private:
    std::mutex* mutex_ = nullptr;
    std::shared_ptr<bool> done_;
};
thread_local ExitMark tlsExitMark;

}  // namespace

CameraThreadReaper& CameraThreadReaper::instance() {
    static CameraThreadReaper* const reaper = new CameraThreadReaper();
    return *reaper;
}

CameraThreadReaper::CameraThreadReaper() {
    // The logger, which kept threads may still write to, is made before any join is
    // registered, so that it outlives them.
    (void)Logger::Instance();
}

void CameraThreadReaper::registerExitJoin() {
    // Exit handlers and static destructors run in the reverse order of their registration:
    // a join registered as a thread is kept runs before the destructors of every static made
    // until then (the sensors' register sequences, the index tables), which the thread's
    // camera code may still use. Extra joins find nothing left to join.
    std::atexit([] { instance().joinAll(); });
}

void CameraThreadReaper::reapFinishedLocked() {
    for (auto it = threads_.begin(); it != threads_.end();) {
        if (*it->done) {
            it->thread.join();  // the thread has left its function: this returns at once
            it = threads_.erase(it);
        } else {
            ++it;
        }
    }
}

void CameraThreadReaper::adoptCurrentThread(std::thread thread) {
    auto done = std::make_shared<bool>(false);
    std::lock_guard<std::mutex> lock(mutex_);
    reapFinishedLocked();
    registerExitJoin();
    tlsExitMark.arm(&mutex_, done);
    threads_.push_back({std::move(thread), std::move(done)});
}

void CameraThreadReaper::run(std::function<void()> task) {
    auto done = std::make_shared<bool>(false);
    std::lock_guard<std::mutex> lock(mutex_);
    reapFinishedLocked();
    registerExitJoin();
    // The new thread arms its mark only once it holds the lock, so after the entry is listed.
    std::thread thread([this, task = std::move(task), done] {
        {
            std::lock_guard<std::mutex> armLock(mutex_);
            tlsExitMark.arm(&mutex_, done);
        }
        task();
    });
    threads_.push_back({std::move(thread), std::move(done)});
}

void CameraThreadReaper::joinAll() {
    for (;;) {
        std::vector<Entry> taken;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (threads_.empty()) return;
            taken.swap(threads_);
        }
        // Joined without the lock: an ending thread takes it to mark its exit, and a camera
        // being destroyed here may hand over a thread of its own.
        for (auto& entry : taken) {
            if (entry.thread.get_id() == std::this_thread::get_id()) {
                VIREO_LOG_ERROR("A camera thread cannot wait for itself to end");
                entry.thread.detach();
                continue;
            }
            entry.thread.join();
        }
    }
}

std::size_t CameraThreadReaper::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_.size();
}

}  // namespace vireo::detail

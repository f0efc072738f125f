#include "ReadAhead.h"

#include <utility>

namespace vireo::detail {

ReadAheadThread::ReadAheadThread() : thread_([this] { run(); }) {}

ReadAheadThread::~ReadAheadThread() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return !busy_; });
        quit_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void ReadAheadThread::start(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = std::move(job);
        busy_ = true;
    }
    wake_.notify_one();
}

void ReadAheadThread::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return !busy_; });
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void ReadAheadThread::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return busy_ || quit_; });
        if (!busy_) return;  // quit, with no job left
        std::function<void()> job = std::move(job_);
        lock.unlock();
        std::exception_ptr error;
        try {
            job();
        } catch (...) {
            error = std::current_exception();
        }
        job = nullptr;  // what the job holds goes before the owner hears it is done
        lock.lock();
        error_ = error;
        busy_ = false;
        done_.notify_all();
    }
}

}  // namespace vireo::detail

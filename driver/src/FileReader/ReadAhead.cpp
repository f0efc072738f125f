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
    if (busy_ && job_) {
        // Not picked up yet (the thread waits for a core): running it here costs no more
        // than waiting for it.
        std::function<void()> job = std::exchange(job_, nullptr);
        lock.unlock();
        runJob(job);
        lock.lock();
        busy_ = false;
    } else {
        done_.wait(lock, [this] { return !busy_; });
    }
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void ReadAheadThread::runJob(std::function<void()>& job) {
    std::exception_ptr error;
    try {
        job();
    } catch (...) {
        error = std::current_exception();
    }
    job = nullptr;  // what the job holds goes before the owner hears it is done
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = error;
}

void ReadAheadThread::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        // A job taken back by `wait` leaves busy_ set but nothing to run.
        wake_.wait(lock, [this] { return (busy_ && job_) || quit_; });
        if (!job_) return;  // quit, with no job left
        std::function<void()> job = std::exchange(job_, nullptr);
        lock.unlock();
        runJob(job);
        lock.lock();
        busy_ = false;
        done_.notify_all();
    }
}

}  // namespace vireo::detail

// `ReadAheadThread`: one worker thread that runs one job at a time for the RAW file reader,
// so that the next piece of a recording is read and decoded while the caller works on the
// events it already has.
//
// The owner hands a job over with `start` and later collects it with `wait`; at most one job
// is outstanding. A job the thread has not picked up yet when `wait` is called (on a busy
// machine the thread may wait for a core) is run by `wait` itself instead. Everything the job wrote is visible to the owner once `wait` returns. An
// exception thrown by a job is kept and thrown again by the `wait` that collects it. The
// destructor waits for the outstanding job and joins the thread.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace vireo::detail {

class ReadAheadThread {
public:
    ReadAheadThread();
    ~ReadAheadThread();
    ReadAheadThread(const ReadAheadThread&) = delete;
    ReadAheadThread& operator=(const ReadAheadThread&) = delete;

    // Runs `job` on the thread. The job handed over before must have been collected by `wait`.
    void start(std::function<void()> job);
    // Returns once the job handed over last has finished (at once when there is none),
    // running it on the calling thread when the thread has not started it; rethrows what
    // it threw.
    void wait();

private:
    void run();
    void runJob(std::function<void()>& job);

    std::mutex mutex_;
    std::condition_variable wake_;  // a job was handed over, or the thread is to end
    std::condition_variable done_;  // the job finished
    std::function<void()> job_;  // the job handed over, until the thread or `wait` takes it
    bool busy_ = false;          // a job was handed over and has not finished yet
    bool quit_ = false;
    std::exception_ptr error_;
    std::thread thread_;  // last: started once everything above is in place
};

}  // namespace vireo::detail

// The host side of one streaming endpoint (the body of a DataTransfer): a thread that reads transfers from the device's
// EndpointSource into a bounded queue, which EventStream consumers drain.
//
// When the queue is full, a real-time device loses the oldest queued buffer (the device is
// told, and the loss is counted); a device that waits for the host makes the thread wait
// for room, so nothing is lost.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <vireo/EndpointSource.h>
#include <vireo/Interface.h>

namespace vireo {

class TransferQueue {
public:
    using Buffer = std::shared_ptr<std::vector<uint8_t>>;

    TransferQueue(std::shared_ptr<Interface> interface, std::unique_ptr<EndpointSource> source,
                  size_t queueCapacity);
    ~TransferQueue();

    TransferQueue(const TransferQueue&) = delete;
    TransferQueue& operator=(const TransferQueue&) = delete;

    void start();
    void stop();

    // Waits up to `timeout` for a queued buffer; returns the queue length.
    size_t waitForBuffer(std::chrono::milliseconds timeout);
    Buffer pop();

    uint64_t dropped() const { return dropped_.load(); }
    bool deviceConnected() const { return connected_.load(); }
    size_t capacity() const { return capacity_; }

private:
    void readLoop();

    std::shared_ptr<Interface> interface_;  // keeps the device open while streaming
    std::unique_ptr<EndpointSource> source_;
    const size_t capacity_;

    std::mutex mutex_;
    std::condition_variable dataReady_;  // a buffer was queued, or the stream ended
    std::condition_variable roomReady_;  // a buffer was taken, or the stream stops
    std::deque<Buffer> queue_;
    bool running_ = false;
    std::thread thread_;
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> connected_{true};
};

}  // namespace vireo

// DataTransfer and EventStream: moving device transfers to consumers without losing order.
#include "device/DataTransfer.h"

#include <algorithm>

#include <vireo/EventStream.h>
#include <vireo/Logger.h>

namespace vireo {
namespace {

constexpr std::chrono::milliseconds kReadTimeout{20};
constexpr std::chrono::milliseconds kMaxConsumerWait{100};
constexpr size_t kQueueBytes = 32u << 20;
constexpr size_t kMaxQueuedBuffers = 64;

}  // namespace

EndpointSource::~EndpointSource() = default;

TransferQueue::TransferQueue(std::shared_ptr<Interface> interface,
                             std::unique_ptr<EndpointSource> source, size_t queueCapacity)
    : interface_(std::move(interface)), source_(std::move(source)),
      capacity_(std::max<size_t>(queueCapacity, 1)) {}

TransferQueue::~TransferQueue() { stop(); }

DataTransfer::DataTransfer(std::unique_ptr<TransferQueue> queue) : queue_(std::move(queue)) {}

DataTransfer::~DataTransfer() = default;

void TransferQueue::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return;
    running_ = true;
    thread_ = std::thread(&TransferQueue::readLoop, this);
}

void TransferQueue::stop() {
    std::thread finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        queue_.clear();
        finished = std::move(thread_);
    }
    roomReady_.notify_all();
    dataReady_.notify_all();
    if (finished.joinable()) finished.join();
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
}

void TransferQueue::readLoop() {
    const bool realTime = source_->realTime();
    auto buffer = std::make_shared<std::vector<uint8_t>>();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!running_) return;
        }
        EndpointSource::Status status;
        try {
            status = source_->read(*buffer, kReadTimeout);
        } catch (const std::exception& error) {
            VIREO_LOG_ERROR("Endpoint read failed: %s", error.what());
            status = EndpointSource::Status::Disconnected;
        }
        if (status == EndpointSource::Status::Disconnected) {
            connected_.store(false);
            dataReady_.notify_all();
            return;
        }
        if (status == EndpointSource::Status::Timeout || buffer->empty()) continue;

        std::unique_lock<std::mutex> lock(mutex_);
        if (!running_) return;  // stopped during the read: the stream starts afresh next time
        if (queue_.size() >= capacity_) {
            if (realTime) {
                queue_.pop_front();
                dropped_.fetch_add(1);
                source_->bufferDropped();
            } else {
                roomReady_.wait(lock, [&] { return !running_ || queue_.size() < capacity_; });
                if (!running_) return;
            }
        }
        queue_.push_back(std::move(buffer));
        lock.unlock();
        dataReady_.notify_one();
        buffer = std::make_shared<std::vector<uint8_t>>();
    }
}

size_t TransferQueue::waitForBuffer(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    dataReady_.wait_for(lock, timeout, [&] {
        return !queue_.empty() || !running_ || !connected_.load();
    });
    return queue_.size();
}

TransferQueue::Buffer TransferQueue::pop() {
    Buffer front;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty()) return nullptr;
        front = std::move(queue_.front());
        queue_.pop_front();
    }
    roomReady_.notify_one();
    return front;
}

std::unique_ptr<DataTransfer> createDataTransferUniquePtr(std::shared_ptr<Interface> interface,
                                                          uint32_t bufferCount, uint32_t bufferSize,
                                                          uint8_t endpoint) {
    if (!interface || bufferSize == 0) return nullptr;
    auto source = interface->openEndpoint(endpoint, bufferSize);
    if (!source) {
        VIREO_LOG_DEBUG("Endpoint 0x%02X cannot be opened", static_cast<unsigned>(endpoint));
        return nullptr;
    }
    const size_t byBytes = std::min(kMaxQueuedBuffers, kQueueBytes / bufferSize);
    const size_t capacity = std::max<size_t>(bufferCount, byBytes);
    return std::make_unique<DataTransfer>(
        std::make_unique<TransferQueue>(std::move(interface), std::move(source), capacity));
}

EventStream::EventStream(std::unique_ptr<DataTransfer> transfer) : transfer_(std::move(transfer)) {}

EventStream::~EventStream() { stop(); }

void EventStream::start() {
    if (transfer_) transfer_->queue().start();
}

void EventStream::stop() {
    if (transfer_) transfer_->queue().stop();
}

uint16_t EventStream::waitNextBuffer() {
    if (!transfer_) return 0;
    const size_t queued = transfer_->queue().waitForBuffer(kMaxConsumerWait);
    return static_cast<uint16_t>(std::min<size_t>(queued, 65535));
}

std::optional<std::shared_ptr<std::vector<uint8_t>>> EventStream::getLatestBuffer() {
    if (!transfer_) return std::nullopt;
    auto buffer = transfer_->queue().pop();
    if (!buffer) return std::nullopt;
    return buffer;
}

uint64_t EventStream::droppedBuffers() const { return transfer_ ? transfer_->queue().dropped() : 0; }

bool EventStream::deviceConnected() const { return transfer_ && transfer_->queue().deviceConnected(); }

}  // namespace vireo

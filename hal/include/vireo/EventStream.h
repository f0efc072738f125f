// Streaming of one endpoint's transfers to the host: a data transfer (a thread that takes
// transfers from the device into a bounded queue) and the event stream that consumers wait
// on. A device that streams in real time loses its oldest queued buffers when the consumer
// falls behind (they are counted); a device that waits for the host never loses any.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <vireo/Interface.h>
#include <vireo/hal_export.h>

namespace vireo {

class TransferQueue;

// An opened streaming endpoint of a device, ready to be handed to an EventStream.
class HAL_EXPORT DataTransfer {
public:
    explicit DataTransfer(std::unique_ptr<TransferQueue> queue);
    ~DataTransfer();
    DataTransfer(const DataTransfer&) = delete;
    DataTransfer& operator=(const DataTransfer&) = delete;

    TransferQueue& queue() { return *queue_; }
    const TransferQueue& queue() const { return *queue_; }

private:
    std::unique_ptr<TransferQueue> queue_;
};

// Opens `endpoint` of `interface` with transfers of `bufferSize` bytes. `bufferCount` is the
// number of transfers the device may have in flight; the host queue holds at least that
// many buffers (more for small buffers, up to 32 MiB). Returns an empty pointer when the
// endpoint cannot be opened.
HAL_EXPORT std::unique_ptr<DataTransfer> createDataTransferUniquePtr(
    std::shared_ptr<Interface> interface, uint32_t bufferCount, uint32_t bufferSize,
    uint8_t endpoint);

class HAL_EXPORT EventStream {
public:
    // Takes the transfer; an empty transfer gives a stream that never delivers.
    explicit EventStream(std::unique_ptr<DataTransfer> transfer);
    ~EventStream();

    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    // Starts taking transfers from the device. Starting a started stream does nothing.
    void start();

    // Stops taking transfers and discards what is queued. Safe to call repeatedly.
    void stop();

    // Waits at most 100 ms for a buffer. Returns the number of queued buffers (capped at
    // 65535): above 0 when getLatestBuffer has one to give; 0 on time-out, when stopped,
    // or once the device is gone and the queue is empty.
    uint16_t waitNextBuffer();

    // The oldest queued buffer, in arrival order; empty when none is queued.
    std::optional<std::shared_ptr<std::vector<uint8_t>>> getLatestBuffer();

    // Buffers dropped because the consumer fell behind a real-time device.
    uint64_t droppedBuffers() const;

    // False once the device reported that it is gone.
    bool deviceConnected() const;

private:
    std::unique_ptr<DataTransfer> transfer_;
};

}  // namespace vireo

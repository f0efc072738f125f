// The boundary between a device back end (a USB device, a simulated camera) and the
// buffering of its data: a source that hands out the transfers of one bulk IN endpoint.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include <vireo/hal_export.h>

namespace vireo {

class HAL_EXPORT EndpointSource {
public:
    enum class Status {
        Data,          // `buffer` holds the next transfer
        Timeout,       // nothing arrived within the wait; try again
        Disconnected,  // the device is gone: no more data will come
    };

    virtual ~EndpointSource();

    // Replaces the content of `buffer` with the next transfer (at most the transfer size
    // given when the endpoint was opened). Waits at most `timeout`.
    virtual Status read(std::vector<uint8_t>& buffer, std::chrono::milliseconds timeout) = 0;

    // True when the device streams in real time whatever the host does: buffers the host
    // cannot hold are then dropped. False when the device waits for the host (nothing lost).
    virtual bool realTime() const = 0;

    // Told when the host had to drop a buffer of this endpoint.
    virtual void bufferDropped() {}
};

}  // namespace vireo

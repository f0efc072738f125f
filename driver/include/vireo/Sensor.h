// Sensor modules: each owns the data stream of one physical sensor of a camera and knows the
// register sequences that bring it up, start it and stop it. A module never talks to
// registers itself: its camera installs callbacks that lead to the camera's register
// controller, so sequences, tools and the camera all address the same registers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <vireo/EventStream.h>
#include <vireo/Interface.h>
#include <vireo/RegisterOperation.h>
#include <vireo/pipit_export.h>

namespace vireo {

class PIPIT_EXPORT Sensor {
public:
    using WriteRegisterCallback = std::function<void(const std::string& register_name, uint32_t value)>;
    using WriteRegisterFieldCallback =
        std::function<void(const std::string& register_name, const std::string& field_name, uint32_t value)>;
    using ApplySequenceCallback = std::function<void(const std::vector<RegisterOperation>& operations)>;

    Sensor() = default;
    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;
    // Virtual: cameras own their sensor through a pointer to this base.
    virtual ~Sensor();

    // Creates the sensor's stream over `interface` and brings the sensor up. 0 on success,
    // -1 on failure.
    virtual int init(std::shared_ptr<Interface> interface) = 0;
    // Starts the sensor and its stream. 0 on success, -1 when not initialised.
    virtual int start() = 0;
    // Stops the stream and the sensor. 0.
    virtual int stop() = 0;

    void setWriteRegisterCallback(WriteRegisterCallback callback) { writeRegister_ = std::move(callback); }
    void setWriteRegisterFieldCallback(WriteRegisterFieldCallback callback) {
        writeRegisterField_ = std::move(callback);
    }
    void setApplyRegisterOperationSequenceCallback(ApplySequenceCallback callback) {
        applySequence_ = std::move(callback);
    }

    // Waits (at most 100 ms) for the stream's next buffer; empty when none came or the
    // sensor has no stream yet.
    std::optional<std::shared_ptr<std::vector<uint8_t>>> getNextBuffer();
    // As getNextBuffer, and `droppedBefore` is droppedBuffers() just before the buffer was
    // taken: the transfers lost ahead of it (the queue drops its oldest), to within the
    // moment between the two reads.
    std::optional<std::shared_ptr<std::vector<uint8_t>>> getNextBuffer(uint64_t& droppedBefore);

    bool isInitialized() const { return initialized_; }

    // Transfers the stream's host queue has dropped since init because its consumer fell
    // behind a real-time device; 0 without a stream.
    uint64_t droppedBuffers() const { return stream_ ? stream_->droppedBuffers() : 0; }

protected:
    std::unique_ptr<EventStream> stream_;
    WriteRegisterCallback writeRegister_;
    WriteRegisterFieldCallback writeRegisterField_;
    ApplySequenceCallback applySequence_;
    bool initialized_ = false;
};

}  // namespace vireo

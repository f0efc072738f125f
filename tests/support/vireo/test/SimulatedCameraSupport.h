// Test support for the transport and the simulated cameras: opening a plugged-in camera,
// starting and stopping its readout through the sensor's registers, and collecting the
// decoded stream until a condition holds (bounded by a time-out, never by sleeping).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <vireo/hal.h>
#include <vireo/test/WaitBounds.h>

namespace vireo::test {

// The register writes that start the sensor's readout and time base, and the ones that
// stop them, as the sensor's start and reset sequences perform them.
inline void startReadout(Interface& device) {
    device.writeRegister(0xB000, 0x2F9);
    device.writeRegister(0x9028, 0x0);
    device.writeRegisterMasked(0x9008, 0x645, 0x1);
    device.writeRegister(0x2C, 0x0022C724);
    device.writeRegisterMasked(0x4, 0xF0005442, 0x400);
}

inline void stopReadout(Interface& device) {
    device.writeRegisterMasked(0x4, 0xF0005042, 0x400);
    device.writeRegister(0x2C, 0x0022C324);
    device.writeRegister(0x9028, 0x2);
    device.writeRegisterMasked(0x9008, 0x644, 0x1);
    device.writeRegister(0xB000, 0x2F8);
}

inline CameraDescription describe(const std::string& serial, uint16_t vendorId = 1205,
                                  uint16_t productId = 1) {
    for (const auto& desc : UsbInterface::findUsbDvsCamera(vendorId, productId)) {
        if (desc.serial == serial) return desc;
    }
    return {};
}

// An opened simulated camera with its event stream and a decoder collecting everything.
struct OpenedCamera {
    std::shared_ptr<UsbInterface> device;
    std::unique_ptr<EventStream> stream;
    std::unique_ptr<Decoder> decoder;
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    std::vector<uint8_t> bytes;  // every byte received, when keepBytes is set
    bool keepBytes = false;
    uint64_t buffers = 0;

    // Opens the camera's event endpoint with transfers of `transferSize` bytes (the host
    // queue holds fewer of them the larger they are).
    explicit OpenedCamera(const std::string& serial, uint32_t transferSize = 0x20000) {
        device = UsbInterface::createUsbInterface(describe(serial));
        if (!device) return;
        stream = std::make_unique<EventStream>(createDataTransferUniquePtr(device, 2, transferSize, 0x52));
        decoder = DecoderFactory::createUniqueDecoder("EVT3;height=720;width=1280");
        decoder->setEventsStreamHandleCallback([this](const Event2D* first, const Event2D* last) {
            events.insert(events.end(), first, last);
        });
        decoder->setTriggerInCallback([this](EventTriggerIn t) { triggers.push_back(t); });
    }

    // Takes buffers until `done()` holds or `timeout` passes; returns `done()`.
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + waitBound(timeout);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            if (stream->waitNextBuffer() == 0) continue;
            auto buffer = stream->getLatestBuffer();
            if (!buffer) continue;
            ++buffers;
            if (keepBytes) bytes.insert(bytes.end(), (*buffer)->begin(), (*buffer)->end());
            decoder->decodeBuffer(**buffer);
        }
        return true;
    }
};

}  // namespace vireo::test

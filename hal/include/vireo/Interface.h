// The transport of one opened camera: connection state, register access and the opening of
// its data endpoints. USB devices and simulated cameras implement it alike.
//
// Register access protocol on USB devices (vendor control requests on endpoint 0):
//   read : bmRequestType 0xC0, bRequest 0x56, wValue = address bits 15..0,
//          wIndex = address bits 31..16, data in = count little-endian 32-bit words
//   write: bmRequestType 0x40, bRequest 0x56, wValue/wIndex as above,
//          data out = one little-endian 32-bit word
//   frame: bmRequestType 0x40 then 0xC0, bRequest 0x57, data = the control frame's
//          command word followed by its words (little-endian); the answer has the same shape.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <vireo/EndpointSource.h>
#include <vireo/hal_export.h>

namespace vireo {

class HAL_EXPORT Interface {
public:
    virtual ~Interface();

    // Whether the device is still there. Becomes false for good once it is unplugged.
    virtual bool isConnected() const = 0;

    // Called once after creation with the address of a 64-bit field of the owning camera.
    // The transport stores its device handle number there (for diagnostics); it never
    // reads the field and may write it only during this call.
    virtual void setCameraSlot(uint64_t* slot) = 0;

    // Reads `count` consecutive 32-bit registers from `address` (addresses step by 4).
    // Throws std::runtime_error when the device is gone or the transfer fails.
    virtual std::vector<uint32_t> readRegisters(uint32_t address, uint32_t count) = 0;

    // Writes one 32-bit register. Returns false when the device is gone or the transfer
    // failed (the reason is logged at debug level); nothing is thrown, so stopping a camera
    // that was unplugged stays safe.
    virtual bool writeRegister(uint32_t address, uint32_t value) = 0;

    // Writes the bits of `value` selected by `mask`, keeping the others (read-modify-write).
    virtual bool writeRegisterMasked(uint32_t address, uint32_t value, uint32_t mask);

    // True when timed pauses between register writes may be skipped (a simulated device
    // applies writes at once; a real sensor needs its settling times).
    virtual bool skipsPauses() const;

    // Opens bulk IN endpoint `endpoint` (0x52 event sensor, 0x53 frame sensor) delivering
    // transfers of at most `transferSize` bytes. Returns an empty pointer when the device
    // has no such endpoint or is gone.
    virtual std::unique_ptr<EndpointSource> openEndpoint(uint8_t endpoint, uint32_t transferSize) = 0;
};

}  // namespace vireo

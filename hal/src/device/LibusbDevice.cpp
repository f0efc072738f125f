// libusb back end: discovery, register access over vendor control requests (protocol in
// Interface.h), control frames and bulk streaming.
#include "device/LibusbDevice.h"

#include <libusb.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#include <vireo/Logger.h>

namespace vireo::usb {
namespace {

constexpr uint8_t kVendorIn = 0xC0;   // device to host, vendor request, to the device
constexpr uint8_t kVendorOut = 0x40;  // host to device, vendor request, to the device
constexpr uint8_t kRegisterRequest = 0x56;
constexpr uint8_t kFrameRequest = 0x57;
constexpr unsigned kControlTimeout_ms = 1000;
constexpr int kInterfaceNumber = 0;

// The process's libusb context, created on first use; null when libusb cannot start here.
libusb_context* context() {
    static libusb_context* ctx = [] {
        libusb_context* created = nullptr;
        const int rc = libusb_init(&created);
        if (rc != 0) {
            VIREO_LOG_DEBUG("USB unavailable: %s", libusb_strerror(static_cast<libusb_error>(rc)));
            return static_cast<libusb_context*>(nullptr);
        }
        return created;
    }();
    return ctx;
}

std::string stringDescriptor(libusb_device_handle* handle, uint8_t index) {
    if (index == 0) return {};
    unsigned char text[256];
    const int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof(text));
    return n > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n)) : std::string();
}

// Calls `visit(device, descriptor, handle)` for each openable device with these ids.
template <typename Visit>
void forEachDevice(uint16_t vendorId, uint16_t productId, Visit visit) {
    libusb_context* ctx = context();
    if (ctx == nullptr) return;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) {
        VIREO_LOG_DEBUG("USB device list unavailable: %s",
                        libusb_strerror(static_cast<libusb_error>(count)));
        return;
    }
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
        if (descriptor.idVendor != vendorId || descriptor.idProduct != productId) continue;
        libusb_device_handle* handle = nullptr;
        const int rc = libusb_open(list[i], &handle);
        if (rc != 0) {
            VIREO_LOG_DEBUG("USB device %04X:%04X cannot be opened: %s", vendorId, productId,
                            libusb_strerror(static_cast<libusb_error>(rc)));
            continue;
        }
        const bool keep = visit(list[i], descriptor, handle);
        if (!keep) libusb_close(handle);
    }
    libusb_free_device_list(list, 1);
}

class LibusbEndpoint : public EndpointSource {
public:
    LibusbEndpoint(libusb_device_handle* handle, std::shared_ptr<std::atomic<bool>> connected,
                   uint8_t endpoint, uint32_t transferSize)
        : handle_(handle), connected_(std::move(connected)), endpoint_(endpoint),
          transferSize_(transferSize) {}

    Status read(std::vector<uint8_t>& buffer, std::chrono::milliseconds timeout) override {
        if (!connected_->load()) return Status::Disconnected;
        buffer.resize(transferSize_);
        int transferred = 0;
        const int rc = libusb_bulk_transfer(handle_, endpoint_ | LIBUSB_ENDPOINT_IN, buffer.data(),
                                            static_cast<int>(transferSize_), &transferred,
                                            static_cast<unsigned>(timeout.count()));
        buffer.resize(static_cast<size_t>(transferred));
        if (rc == LIBUSB_ERROR_NO_DEVICE) {
            connected_->store(false);
            return Status::Disconnected;
        }
        if (transferred > 0) return Status::Data;
        if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT) {
            VIREO_LOG_DEBUG("USB bulk read failed: %s", libusb_strerror(static_cast<libusb_error>(rc)));
        }
        return Status::Timeout;
    }

    // A real sensor streams whether or not the host keeps up.
    bool realTime() const override { return true; }

private:
    libusb_device_handle* handle_;
    std::shared_ptr<std::atomic<bool>> connected_;
    uint8_t endpoint_;
    uint32_t transferSize_;
};

class LibusbInterface : public UsbInterface {
public:
    explicit LibusbInterface(libusb_device_handle* handle)
        : handle_(handle), connected_(std::make_shared<std::atomic<bool>>(true)) {}

    ~LibusbInterface() override {
        libusb_release_interface(handle_, kInterfaceNumber);
        libusb_close(handle_);
    }

    bool isConnected() const override { return connected_->load(); }

    void setCameraSlot(uint64_t* slot) override {
        if (slot != nullptr) *slot = reinterpret_cast<uintptr_t>(handle_);
    }

    std::vector<uint32_t> readRegisters(uint32_t address, uint32_t count) override {
        std::vector<uint32_t> words(count);
        std::vector<unsigned char> data(count * 4u);
        const int rc = control(kVendorIn, kRegisterRequest,
                               address, data.data(), static_cast<uint16_t>(data.size()));
        if (rc != static_cast<int>(data.size())) {
            throw std::runtime_error("USB register read at 0x" + std::to_string(address) + " failed");
        }
        for (uint32_t i = 0; i < count; ++i) {
            words[i] = static_cast<uint32_t>(data[4 * i]) | static_cast<uint32_t>(data[4 * i + 1]) << 8 |
                       static_cast<uint32_t>(data[4 * i + 2]) << 16 |
                       static_cast<uint32_t>(data[4 * i + 3]) << 24;
        }
        return words;
    }

    bool writeRegister(uint32_t address, uint32_t value) override {
        unsigned char data[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                 static_cast<unsigned char>(value >> 16),
                                 static_cast<unsigned char>(value >> 24)};
        const int rc = control(kVendorOut, kRegisterRequest,
                               address, data, 4);
        if (rc != 4) {
            VIREO_LOG_DEBUG("USB register write at 0x%08X failed", address);
            return false;
        }
        return true;
    }

    std::unique_ptr<EndpointSource> openEndpoint(uint8_t endpoint, uint32_t transferSize) override {
        if (!connected_->load()) return nullptr;
        return std::make_unique<LibusbEndpoint>(handle_, connected_, endpoint, transferSize);
    }

    void transferFrame(CtrlFrame& frame) override {
        std::vector<unsigned char> data;
        const auto put = [&](uint32_t word) {
            for (int shift = 0; shift < 32; shift += 8) data.push_back(static_cast<unsigned char>(word >> shift));
        };
        put(frame.command());
        for (uint32_t word : frame.words()) put(word);
        const auto size = static_cast<uint16_t>(data.size());
        if (control(kVendorOut, kFrameRequest, 0, data.data(), size) != size ||
            control(kVendorIn, kFrameRequest, 0, data.data(), size) != size) {
            throw std::runtime_error("USB control frame 0x" + std::to_string(frame.command()) + " failed");
        }
        for (size_t i = 0; i < frame.words().size(); ++i) {
            const unsigned char* p = data.data() + 4 * (i + 1);
            frame.words()[i] = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        }
    }

private:
    int control(uint8_t requestType, uint8_t request, uint32_t address, unsigned char* data, uint16_t size) {
        if (!connected_->load()) return LIBUSB_ERROR_NO_DEVICE;
        std::lock_guard<std::mutex> lock(controlMutex_);
        const int rc = libusb_control_transfer(handle_, requestType, request,
                                               static_cast<uint16_t>(address & 0xFFFF),
                                               static_cast<uint16_t>(address >> 16), data, size,
                                               kControlTimeout_ms);
        if (rc == LIBUSB_ERROR_NO_DEVICE) connected_->store(false);
        return rc;
    }

    libusb_device_handle* handle_;
    std::shared_ptr<std::atomic<bool>> connected_;
    std::mutex controlMutex_;
};

}  // namespace

std::vector<CameraDescription> findDevices(uint16_t vendorId, uint16_t productId) {
    std::vector<CameraDescription> found;
    forEachDevice(vendorId, productId, [&](libusb_device*, const libusb_device_descriptor& d,
                                           libusb_device_handle* handle) {
        CameraDescription desc;
        desc.serial = stringDescriptor(handle, d.iSerialNumber);
        desc.interfaceType = INTERFACE_USB;
        desc.vendorId = vendorId;
        desc.productId = productId;
        desc.manufacturer = stringDescriptor(handle, d.iManufacturer);
        desc.productName = stringDescriptor(handle, d.iProduct);
        if (desc.serial.empty()) {
            VIREO_LOG_DEBUG("USB device %04X:%04X has no serial number; skipped", vendorId, productId);
        } else {
            found.push_back(desc);
        }
        return false;
    });
    return found;
}

std::shared_ptr<UsbInterface> openDevice(const CameraDescription& desc) {
    std::shared_ptr<UsbInterface> opened;
    forEachDevice(desc.vendorId, desc.productId, [&](libusb_device*, const libusb_device_descriptor& d,
                                                     libusb_device_handle* handle) {
        if (opened || stringDescriptor(handle, d.iSerialNumber) != desc.serial) return false;
        libusb_set_auto_detach_kernel_driver(handle, 1);
        const int rc = libusb_claim_interface(handle, kInterfaceNumber);
        if (rc != 0) {
            VIREO_LOG_DEBUG("USB camera %s cannot be claimed: %s", desc.serial.c_str(),
                            libusb_strerror(static_cast<libusb_error>(rc)));
            return false;
        }
        opened = std::make_shared<LibusbInterface>(handle);
        return true;
    });
    return opened;
}

}  // namespace vireo::usb

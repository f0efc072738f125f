// Choosing the camera of a vireo command (see CameraChoice.h).
#include "CameraChoice.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace vireo::app {

const char* const kSimulatedCamerasLiveInOneCommand =
    "simulated cameras (serials SIM...) exist only inside the command that plugs them in; another vireo "
    "command cannot open them: give it --simulate to work on a simulated camera of its own";

const char* const kNoCameraHint =
    "a connected camera that is not found may lack permission to its USB device (a udev rule or group "
    "for its vendor id) or have a loose cable; vireo list shows what discovery finds";

namespace {

bool isEventCamera(const CameraDescription& desc) {
    return (desc.vendorId == VireoHeronCamera::vendorId && desc.productId == VireoHeronCamera::productId) ||
           (desc.vendorId == PropheseeEVK4Camera::vendorId && desc.productId == PropheseeEVK4Camera::productId);
}

}  // namespace

bool isFusionCamera(const CameraDescription& desc) {
    return desc.vendorId == TandemFusionCamera::vendorId && desc.productId == TandemFusionCamera::productId;
}

bool isSimulatedSerial(const std::string& serial) {
    return serial.size() > 3 && serial.compare(0, 3, "SIM") == 0 &&
           std::all_of(serial.begin() + 3, serial.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

ChosenCamera::ChosenCamera(DvsCameraManager& manager, const std::string& serial, bool simulate,
                           const sim::SimulatedCameraConfig& config, CameraKind kind) {
    const bool fusion = kind == CameraKind::Fusion;
    if (simulate) {
        plugged_ = sim::plugCamera(config);
        serial_ = plugged_;
        manager.updateCameras();
        return;
    }
    const auto descs = manager.getCameraDescs();
    if (!serial.empty()) {
        const auto named = std::find_if(descs.begin(), descs.end(), [&](const auto& d) { return d.serial == serial; });
        if (named == descs.end()) {
            if (isSimulatedSerial(serial)) {
                throw std::runtime_error("no camera with serial \"" + serial + "\": " + kSimulatedCamerasLiveInOneCommand);
            }
            throw std::runtime_error("no camera with serial \"" + serial + "\" is connected; " + kNoCameraHint);
        }
        // An event camera named to a fusion command would open as nothing: say what it is.
        if (fusion && !isFusionCamera(*named)) {
            throw std::runtime_error("camera \"" + serial + "\" is not a fusion camera (vireo list shows each camera's "
                                     "model); record it without --fusion");
        }
        serial_ = serial;
        return;
    }
    for (const auto& desc : descs) {
        if (!desc.simulated && (fusion ? isFusionCamera(desc) : isEventCamera(desc))) {
            serial_ = desc.serial;
            return;
        }
    }
    throw std::runtime_error(std::string(fusion ? "no fusion camera found; " : "no camera found; ") + kNoCameraHint +
                             " (--simulate works on a simulated camera instead)");
}

ChosenCamera::~ChosenCamera() {
    if (!plugged_.empty()) sim::unplugCamera(plugged_);
}

}  // namespace vireo::app

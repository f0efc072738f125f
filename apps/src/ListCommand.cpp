// vireo list: the cameras discovery finds now (USB devices and simulated cameras), one line
// each with model, serial, USB id and transport; a fusion camera's line (event cameras come
// first) ends with what it records and how. `--simulate` plugs a simulated VireoHeron
// in first, to see what a connected camera looks like on a machine without one; a note under
// the listing says that such a camera ends with the command.
#include <cstdio>
#include <string>
#include <vector>

#include <vireo/SimulatedCamera.h>
#include <vireo/pipit.h>

#include "CameraChoice.h"
#include "CommandLine.h"
#include "Commands.h"

namespace vireo::app {

namespace {

std::string modelName(const CameraDescription& desc) {
    if (desc.vendorId == PropheseeEVK4Camera::vendorId && desc.productId == PropheseeEVK4Camera::productId) {
        return PropheseeEVK4Camera::getManufacturer() + " " + PropheseeEVK4Camera::getProductName();
    }
    if (desc.vendorId == VireoHeronCamera::vendorId && desc.productId == VireoHeronCamera::productId) {
        return VireoHeronCamera::getManufacturer() + " " + VireoHeronCamera::getProductName();
    }
    if (isFusionCamera(desc)) return TandemFusionCamera::getManufacturer() + " " + TandemFusionCamera::getProductName();
    return "unknown model";
}

}  // namespace

std::string cameraListing(const std::vector<CameraDescription>& descs) {
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "%-16s %-24s %-11s %s\n", "model", "serial", "usb id", "transport");
    out += line;
    for (const auto& desc : descs) {
        char id[16];
        std::snprintf(id, sizeof id, "%04x:%04x", static_cast<unsigned>(desc.vendorId),
                      static_cast<unsigned>(desc.productId));
        std::snprintf(line, sizeof line, "%-16s %-24s %-11s %s", modelName(desc).c_str(), desc.serial.c_str(), id,
                      desc.simulated ? "simulated" : "usb");
        out += line;
        // Event cameras keep the four columns; a fusion camera says what sets it apart.
        if (isFusionCamera(desc)) out += "  fusion camera: events and frames (vireo record --fusion)";
        out += '\n';
    }
    std::snprintf(line, sizeof line, "%zu camera%s\n", descs.size(), descs.size() == 1 ? "" : "s");
    out += line;
    return out;
}

int runList(const Arguments& args) {
    const CommandLine line(args, {}, {"simulate"});
    line.expectPositionals(0, 0, "vireo list [--simulate]");
    if (line.hasFlag("simulate")) sim::plugCamera(sim::SimulatedCameraConfig{});
    DvsCameraManager manager;
    const auto descs = manager.getCameraDescs();
    if (descs.empty()) {
        std::printf("no camera found\n(%s)\n", kNoCameraHint);
        return 0;
    }
    std::fputs(cameraListing(descs).c_str(), stdout);
    bool anySimulated = false;
    for (const auto& desc : descs) anySimulated = anySimulated || desc.simulated;
    if (anySimulated) std::printf("note: %s\n", kSimulatedCamerasLiveInOneCommand);
    return 0;
}

}  // namespace vireo::app

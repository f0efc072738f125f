// A simulated camera plugged in for a scope of the vireo tool: plugged by the constructor,
// unplugged by the destructor, so a step that throws never leaves it behind.
#pragma once

#include <string>

#include <vireo/SimulatedCamera.h>

namespace vireo::app {

class PluggedSimulatedCamera {
public:
    explicit PluggedSimulatedCamera(const sim::SimulatedCameraConfig& config) : serial_(sim::plugCamera(config)) {}
    ~PluggedSimulatedCamera() { sim::unplugCamera(serial_); }
    PluggedSimulatedCamera(const PluggedSimulatedCamera&) = delete;
    PluggedSimulatedCamera& operator=(const PluggedSimulatedCamera&) = delete;

    const std::string& serial() const { return serial_; }

private:
    std::string serial_;
};

}  // namespace vireo::app

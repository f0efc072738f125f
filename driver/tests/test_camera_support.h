// Shared helpers of the camera tests: simulated cameras plugged in for the length of a test,
// a test camera that exposes initialisation, and bounded waits on conditions.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include <vireo/DvsCameraManager.h>
#include <vireo/SimulatedCamera.h>
#include <vireo/VireoHeron.h>
#include <vireo/test/WaitBounds.h>

namespace vireo::test {

// A simulated camera streaming as fast as the host reads, with a fixed seed.
inline sim::SimulatedCameraConfig fastCameraConfig(const std::string& serial = {}) {
    sim::SimulatedCameraConfig config;
    config.serial = serial;
    config.real_time = false;
    config.scene = sim::SceneType::Random;
    config.seed = 7;
    return config;
}

// Plugs a simulated camera in for the lifetime of the object.
class PluggedCamera {
public:
    explicit PluggedCamera(const sim::SimulatedCameraConfig& config = fastCameraConfig())
        : serial(sim::plugCamera(config)) {}
    ~PluggedCamera() { sim::unplugCamera(serial); }
    PluggedCamera(const PluggedCamera&) = delete;
    PluggedCamera& operator=(const PluggedCamera&) = delete;

    const std::string serial;
};

// A VireoHeron whose initialisation the test can call directly.
class TestHeron : public VireoHeronCamera {
public:
    using VireoHeronCamera::VireoHeronCamera;
    using DvsEventCamera::checkSensor;
    using DvsEventCamera::init;
};

// Runs `action` when the scope ends. A test whose callbacks write its locals declares one that
// stops the camera after those locals, so an assertion that ends the test early stops the
// callbacks before the state they write goes.
class OnScopeExit {
public:
    explicit OnScopeExit(std::function<void()> action) : action_(std::move(action)) {}
    ~OnScopeExit() { action_(); }
    OnScopeExit(const OnScopeExit&) = delete;
    OnScopeExit& operator=(const OnScopeExit&) = delete;

private:
    std::function<void()> action_;
};

// Polls `done` until it holds or `timeout` (stretched in sanitizer builds) passes; returns
// `done()`.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + waitBound(timeout);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace vireo::test

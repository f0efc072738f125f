// Which camera a command of the vireo tool works on: the camera named by its serial, else the
// first connected event camera (or fusion camera, for the commands that record one), or, when
// asked for explicitly (--simulate), a simulated camera plugged in for the command's lifetime. A camera that cannot be found is an error
// that says why it may be missing; the tool never falls back to a simulated camera unasked.
#pragma once

#include <string>

#include <vireo/SimulatedCamera.h>
#include <vireo/pipit.h>

namespace vireo::app {

// What `vireo list` prints under a listing with simulated cameras, and the reason a SIM serial
// given to another command is not found.
extern const char* const kSimulatedCamerasLiveInOneCommand;

// Where to look when a real camera is not found (one line, no trailing full stop).
extern const char* const kNoCameraHint;

// True for the serials the simulator gives its cameras ("SIM" and digits).
bool isSimulatedSerial(const std::string& serial);

// True for a fusion camera's description (an event sensor and a frame sensor in one device,
// opened with DvsCameraManager::openFusionCamera); false for event cameras.
bool isFusionCamera(const CameraDescription& desc);

// The kind of camera a command works on.
enum class CameraKind { Event, Fusion };

class ChosenCamera {
public:
    // Picks the camera and, with `simulate`, plugs a simulated one in with `config` and makes
    // `manager` discover it. `serial` and `simulate` exclude each other (the caller checks).
    // Throws std::runtime_error naming what was looked for, with a hint, when no camera fits:
    // none connected, or a `serial` that is unknown or of the other kind. With `simulate`,
    // `config` must describe a camera of `kind` (its vendor and product ids).
    ChosenCamera(DvsCameraManager& manager, const std::string& serial, bool simulate,
                 const sim::SimulatedCameraConfig& config = {}, CameraKind kind = CameraKind::Event);
    // Unplugs the simulated camera, if one was plugged in.
    ~ChosenCamera();
    ChosenCamera(const ChosenCamera&) = delete;
    ChosenCamera& operator=(const ChosenCamera&) = delete;

    const std::string& serial() const { return serial_; }
    bool simulated() const { return !plugged_.empty(); }

private:
    std::string serial_;
    std::string plugged_;  // the simulated camera this object plugged in
};

}  // namespace vireo::app

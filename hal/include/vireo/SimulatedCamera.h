// Simulated cameras: devices inside the process that behave like the real ones at the
// transport boundary. Once plugged in, discovery finds a simulated camera by its vendor and
// product ids like a USB device; opening it gives a transport with a register file, and its
// event endpoint streams EVT3 words from a scene while the sensor's readout is started.
//
//   vireo::sim::SimulatedCameraConfig config;
//   config.scene = vireo::sim::SceneType::MovingEdge;
//   std::string serial = vireo::sim::plugCamera(config);
//   ... discover, open, stream ...
//   vireo::sim::unplugCamera(serial);
//
// Readout: the device streams only while output is enabled (bit 1 of register 0x9028 clear)
// and bit 10 of register 0x0004 is set; its time base runs while bit 0 of 0x9008 is set.
//
// Sensor filters: a scene's events pass the sensor's region of interest (roi_td_en and
// td_roi_roni_n_en of 0x0004, column masks from 0x2000, row masks from 0x4000, a set bit
// disabling its line), its event-rate controller (erc_en of 0x6028: at most the target of
// 0x600C per reference period of 0x6008 in microseconds, the excess dropped evenly) and the
// trigger input enable (bit 10 of 0x7004, set at reset), as the camera tools set them. A
// replayed recording streams unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <vireo/hal_export.h>

namespace vireo::sim {

enum class SceneType {
    Random,        // uniformly random pixels at `event_rate` events per second
    MovingEdge,    // a vertical edge sweeping across the sensor, `edge_speed` pixels/s
    BlinkingGrid,  // grid of small point markers blinking at `blink_frequency_hz`
    Replay,        // the body of the RAW file `replay_path`, byte for byte, looped
};

struct SimulatedCameraConfig {
    uint16_t vendor_id = 1205;  // VireoHeron
    uint16_t product_id = 1;
    std::string serial;         // empty: a unique serial is generated
    SceneType scene = SceneType::Random;
    double event_rate = 1e6;    // events per second (Random)
    std::string replay_path;    // RAW file (Replay)
    bool real_time = true;      // true: paced by the clock; false: as fast as the host reads
    uint64_t trigger_period_us = 0;  // 0: no triggers; else alternating edges on channel 0
    uint64_t seed = 1;

    double edge_speed = 1000.0;       // pixels per second (MovingEdge)
    double blink_frequency_hz = 200;  // (BlinkingGrid)
    int grid_cols = 4;                // markers per row (BlinkingGrid)
    int grid_rows = 3;                // marker rows (BlinkingGrid)

    uint16_t width = 1280;
    uint16_t height = 720;
    // When true the device tells the register controller that timed pauses between
    // register writes may be skipped, so opening a simulated camera takes no seconds.
    bool skip_pauses = true;
};

// Plugs a simulated camera in and returns its serial. Throws std::invalid_argument for a
// configuration that cannot stream (for example a Replay without a readable RAW file, a
// serial already in use, or a non-positive rate).
HAL_EXPORT std::string plugCamera(const SimulatedCameraConfig& config);

// Unplugs the camera: its transport reports not connected from now on and its streams end.
// Returns false when no simulated camera has this serial.
HAL_EXPORT bool unplugCamera(const std::string& serial);

// Serials of the simulated cameras plugged in now.
HAL_EXPORT std::vector<std::string> pluggedCameras();

// One register write as the device received it (mask 0xFFFFFFFF for plain writes).
struct RegisterWrite {
    uint32_t address = 0;
    uint32_t value = 0;
    uint32_t mask = 0xFFFFFFFF;
    friend bool operator==(const RegisterWrite&, const RegisterWrite&) = default;
};

// Inspection for tests and tools; all return nothing for an unknown serial.
// Every register write the device received since it was plugged in, in order.
HAL_EXPORT std::vector<RegisterWrite> registerWrites(const std::string& serial);
// The device's current value of one register.
HAL_EXPORT std::optional<uint32_t> registerValue(const std::string& serial, uint32_t address);
// Whether the readout is started (the device streams).
HAL_EXPORT std::optional<bool> readoutRunning(const std::string& serial);
// Buffers dropped because the host fell behind a real-time device.
HAL_EXPORT std::optional<uint64_t> droppedBuffers(const std::string& serial);

// Register values a freshly plugged device starts from, by address (the sensor's reset
// values). The driver library installs its register table's defaults here; registers not
// listed read as 0, except the chip identity registers.
HAL_EXPORT void setRegisterResetValues(std::vector<std::pair<uint32_t, uint32_t>> values);

}  // namespace vireo::sim

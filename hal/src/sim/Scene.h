// Scenes of the simulated camera: generators of the events a sensor would see, by time
// slice. Each scene is deterministic for a given seed and slicing.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <vireo/SharedTypes.h>
#include <vireo/SimulatedCamera.h>

namespace vireo::sim {

class Scene {
public:
    virtual ~Scene() = default;
    // Appends the events with timestamps in [begin_us, end_us), ordered by time, then row,
    // then column (the order a sensor reads them out).
    virtual void generate(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) = 0;
};

// The scene `config` selects; Replay has no event scene (it streams bytes) and gives null.
std::unique_ptr<Scene> makeScene(const SimulatedCameraConfig& config);

// The column the MovingEdge scene's edge entered last at or before `t_us`: columns from 0 up
// to it are on the edge's bright side.
uint16_t movingEdgeColumn(const SimulatedCameraConfig& config, uint64_t t_us);

}  // namespace vireo::sim

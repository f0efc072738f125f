// White-box access to a fusion camera for its tests: the decoder callbacks (events and
// trigger edges as if decoded), the current frame's times, the fusion queue and the event
// recording's hand-off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include <vireo/TandemCamera.h>

#include "../src/camera/FileSink.h"

namespace vireo {

struct FusionCameraTestAccess {
    // Opens a camera built directly rather than by the manager.
    static int init(TandemFusionCamera& camera) { return camera.init(); }
    static void inject(FusionCameraPrivate& camera, const std::vector<Event2D>& events) {
        camera.eventStreamArrvied(events.data(), events.data() + events.size());
    }
    static void trigger(FusionCameraPrivate& camera, int16_t polarity, uint64_t t) {
        camera.triggerInArrvied(EventTriggerIn(0, polarity, t));
    }
    static ApsFrame apsFrame(FusionCameraPrivate& camera) {
        std::lock_guard<std::mutex> lock(camera.apsFrameMutex);
        return camera.apsFrame;
    }
    static std::vector<uint64_t> queuedTimes(FusionCameraPrivate& camera) {
        std::lock_guard<std::mutex> lock(camera.fusionQueueMutex);
        std::vector<uint64_t> times;
        for (const auto& entry : camera.fusionQueue) times.push_back(entry.second);
        return times;
    }
    // Hands raw bytes to the event recording as the event thread does.
    static void recordRaw(TandemFusionCamera& camera, const std::vector<uint8_t>& data) {
        camera.saveEventData(data);
    }
    // The event recording's file gets room for a limited number of bytes, as on a disk about
    // to fill up (nullptr: no limit). Only while no event recording runs.
    static void limitDisk(TandemFusionCamera& camera, std::shared_ptr<WriteFault> fault) {
        std::lock_guard<std::mutex> control(camera.recordControlMutex);
        camera.writeFault = std::move(fault);
    }
};

}  // namespace vireo

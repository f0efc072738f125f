// FusionCamera: the public type of a camera that carries an event sensor and a frame sensor
// behind one device. Applications start the event stream, the frame stream or both
// (STREAM_TYPE), receive decoded events and trigger edges exactly as from an event camera
// (DvsCamera), receive frames as BGR24 ApsFrame records, record events to a RAW file and
// frames to an MP4 file, and obtain for each frame the per-pixel count of the events that
// arrived during it (getFusionEvents).
//
//   vireo::DvsCameraManager manager;
//   for (const auto& desc : manager.getCameraDescs()) {
//       auto camera = manager.openFusionCamera(desc.serial);   // empty for event cameras
//       if (!camera) continue;
//       camera->addApsFrameCallback([&](const vireo::ApsFrame& frame) {
//           std::shared_ptr<std::vector<uint16_t>> counts;
//           if (camera->getFusionEvents(counts, frame.syncTimestamp)) { /* pair them */ }
//       });
//       camera->start(vireo::STREAM_BOTH);
//   }
//
// Like DvsCamera, it holds the description and the tool table; copies share the tools.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <vireo/CameraDescription.h>
#include <vireo/CameraTool.h>
#include <vireo/SharedTypes.h>
#include <vireo/ToolInfo.h>
#include <vireo/pipit_export.h>

namespace vireo {

class DvsCameraManager;

class PIPIT_EXPORT FusionCamera {
public:
    using EventsCallback = std::function<void(const Event2D* first, const Event2D* last)>;
    using TriggerInCallback = std::function<void(EventTriggerIn trigger)>;
    using ApsFrameCallback = std::function<void(const ApsFrame& frame)>;
    using StatisticCallback = std::function<void(DsStatisticInfo info)>;

    // Stores `desc`; the tool table starts empty (init fills it).
    explicit FusionCamera(CameraDescription desc);
    FusionCamera(const FusionCamera&) = default;
    FusionCamera(FusionCamera&&) = default;
    FusionCamera& operator=(const FusionCamera&) = default;
    FusionCamera& operator=(FusionCamera&&) = default;
    virtual ~FusionCamera();

    // As DvsCamera's: a copy of the description; the tool of `type` (empty pointer, logged
    // "Tool not found", when absent); its description (throws std::runtime_error "Tool not
    // found" when absent); every tool's description in ascending type order.
    CameraDescription getDvsDesc() const;
    std::shared_ptr<CameraTool> getTool(ToolType type) const;
    ToolInfo getToolInfo(ToolType type) const;
    std::vector<ToolInfo> getAllToolsInfo() const;

    // False until the camera is opened; then the transport's connected state.
    virtual bool isConnected() const = 0;

    // Event ranges and trigger edges, on the event thread, as DvsCamera's callbacks.
    virtual unsigned addEventsStreamHandleCallback(EventsCallback cb) = 0;
    virtual bool removeEventsStreamHandleCallback(unsigned id) = 0;
    // Every frame, converted to BGR24, on the frame thread. The frame's data belongs to the
    // camera and is overwritten by the next frame. A frame callback must not add or remove
    // frame callbacks. Ids count 0, 1, 2, ... apart from the other callbacks'.
    virtual unsigned addApsFrameCallback(ApsFrameCallback cb) = 0;
    // Removes the frame callback `id`; false when there is none.
    virtual bool removeApsFrameCallback(unsigned id) = 0;
    virtual unsigned addTriggerInCallback(TriggerInCallback cb) = 0;
    virtual bool removeTriggerInCallback(unsigned id) = 0;

    // Batches of events, as DvsCamera's.
    virtual bool getNextBatch(std::vector<Event2D>& out) = 0;
    virtual void setBatchEventsNum(unsigned long long n) = 0;
    virtual void setBatchEventsTime(unsigned long long us) = 0;

    // Starts the chosen streams (STREAM_BOTH for any other value). 0; a camera already
    // running only logs "Camera is running." and returns 0.
    virtual int start(STREAM_TYPE type) = 0;
    // Stops every stream and joins the camera's threads (the type is not looked at).
    // Recordings go on until stopRecording. 0.
    virtual int stop(STREAM_TYPE type) = 0;

    // Records the chosen streams: events to <base>.raw, frames to <base>.mp4, where <base>
    // is `path` up to its last '.' (the whole path when it has none). 0 on success, -1 when
    // a recording of that stream runs already or cannot be started.
    virtual int startRecording(std::string path, STREAM_TYPE type) = 0;
    // Ends the chosen recordings and completes their files. 0, or -1 when a file could not
    // be written whole.
    virtual int stopRecording(STREAM_TYPE type) = 0;

    // Geometry of one stream in pixels; 0 for STREAM_BOTH (the two sensors differ).
    virtual unsigned short getWidth(STREAM_TYPE type) = 0;
    virtual unsigned short getHeight(STREAM_TYPE type) = 0;

    // The count frame closed at `timestamp` (the time of a non-zero trigger edge, which is
    // the syncTimestamp of the frame it closes): width x height x 2 counters, cell
    // 2 * (y * width + (width - 1 - x)) + polarity, each at most 10. True and `out` shares
    // the frame (handed out once; older queued frames are dropped on the way, newer ones
    // stay); false when no queued frame has that time.
    virtual bool getFusionEvents(std::shared_ptr<std::vector<uint16_t>>& out, uint64_t timestamp) = 0;

    // The statistics callback, once per second while streaming. The base version discards it.
    virtual void setStatisticInfoCallback(StatisticCallback cb);
    // The counters the statistics callback receives, as they stand now (any thread, any
    // time): the decoder's two, the loss counters and the frame counts (DsStatisticInfo says
    // what each counts). The base version returns zeros.
    virtual DsStatisticInfo getStatisticInfo() const;

protected:
    // Opens the camera; 0 on success (and at once when already open), -1 on failure. The
    // manager calls it from openFusionCamera.
    virtual int init() = 0;

    CameraDescription desc;
    std::map<ToolType, std::shared_ptr<CameraTool>> tools;

private:
    friend class DvsCameraManager;
};

}  // namespace vireo

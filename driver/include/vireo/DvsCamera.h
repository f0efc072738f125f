// DvsCamera: the public camera type. An abstract interface for streaming, batching and
// statistics that also holds the camera's description (as discovery reported it) and its
// table of tools. Cameras are shared objects handed out by DvsCameraManager::openCamera.
#pragma once

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

class PIPIT_EXPORT DvsCamera {
public:
    using EventsCallback = std::function<void(const Event2D* first, const Event2D* last)>;
    using TriggerInCallback = std::function<void(EventTriggerIn trigger)>;
    using StatisticCallback = std::function<void(DsStatisticInfo info)>;

    // Stores `desc`; the tool table starts empty (the camera's init fills it).
    explicit DvsCamera(CameraDescription desc);
    DvsCamera(const DvsCamera&) = default;
    DvsCamera(DvsCamera&&) = default;
    DvsCamera& operator=(const DvsCamera&) = default;
    DvsCamera& operator=(DvsCamera&&) = default;

    // A copy of the description given at construction.
    CameraDescription getDvsDesc() const;

    // The tool registered under `type`; an empty pointer (logged "Tool not found" at error
    // level) when there is none.
    std::shared_ptr<CameraTool> getTool(ToolType type) const;

    // The tool's own description; throws std::runtime_error "Tool not found" (also logged)
    // when no tool of `type` is registered.
    ToolInfo getToolInfo(ToolType type) const;

    // One description per registered tool, in ascending ToolType order; empty before init.
    std::vector<ToolInfo> getAllToolsInfo() const;

    // False until the camera is opened; then the transport's connected state.
    virtual bool isConnected() const = 0;

    // Registers `cb` for every decoded event range and returns its id (0, 1, 2, ... for the
    // life of the camera; ids are never reused). Callbacks run on the camera thread while it
    // holds the event-callback lock: a callback must not add or remove event callbacks.
    virtual unsigned addEventsStreamHandleCallback(EventsCallback cb) = 0;
    // Removes the event callback `id`; false when there is none.
    virtual bool removeEventsStreamHandleCallback(unsigned id) = 0;
    // The same for trigger edges, with ids counted apart from the event callbacks'.
    virtual unsigned addTriggerInCallback(TriggerInCallback cb) = 0;
    virtual bool removeTriggerInCallback(unsigned id) = 0;

    // Waits for the next completed batch and swaps it into `out`. False (with `out` empty)
    // when no batch mode is set or the camera is not streaming, and when the camera stops
    // (or the stream ends) during the wait.
    virtual bool getNextBatch(std::vector<Event2D>& out) = 0;
    // Batches of exactly `n` events from now on; 0 is refused (logged, nothing changes).
    virtual void setBatchEventsNum(unsigned long long n) = 0;
    // Batches of `us` microseconds of events from now on; 0 is refused likewise.
    virtual void setBatchEventsTime(unsigned long long us) = 0;

    // Starts streaming: 0, also when already started. A stream that ended on its own (an
    // unplug, a callback that threw) is not running any more: start() streams again. Called
    // from one of the camera's callbacks it never waits: 0 while the camera streams, -1 once
    // it stops. Throws std::runtime_error "Camera is not inited" before the camera is opened.
    virtual int start() = 0;
    // Stops streaming and joins the camera's threads: 0 (also when not started), -1 when it
    // failed or was called from one of the camera's own callbacks.
    virtual int stop() = 0;

    // Recording of the raw stream to the RAW file `path`, written by stopRecording; 0 on
    // success, -1 on failure (DvsCameraPrivate describes the details).
    virtual int startRecording(std::string path) = 0;
    // Seconds of raw stream to keep before a recording starts. Does nothing here; cameras
    // that record keep that many one-second segments on disk.
    virtual void setFileCacheTime(unsigned short seconds);
    virtual int stopRecording() = 0;

    // Sensor size in pixels.
    virtual unsigned short getWidth() = 0;
    virtual unsigned short getHeight() = 0;

    // Replaces the statistics callback, called once per second while streaming with the
    // decoder's two counters (events decoded, raw bytes decoded).
    virtual void setStatisticInfoCallback(StatisticCallback cb) = 0;

    // The counters the statistics callback receives, as they stand now (any thread, any
    // time, streaming or not): the decoder's two and the camera's loss counters
    // (DsStatisticInfo says what each counts). The base version returns zeros.
    virtual DsStatisticInfo getStatisticInfo() const;

    // Virtual, so that a camera is always destroyed as its concrete type. The last reference
    // may go on any thread, one of the camera's own callbacks included.
    virtual ~DvsCamera();

protected:
    CameraDescription desc;
    std::map<ToolType, std::shared_ptr<CameraTool>> tools;

private:
    friend class DvsCameraManager;
    // Opens the transport and sets the sensor up; 0 on success, -1 on failure. The manager
    // calls it from openCamera.
    virtual int init() = 0;
};

}  // namespace vireo

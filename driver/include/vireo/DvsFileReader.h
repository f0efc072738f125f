// The abstract reader of event recordings, `DvsFileReader`, and its factory. A reader opens
// one recording, tells its geometry, time span and event count, and serves its events in
// file order by count or by duration, from the current position, a time or an event number.
// `RawFileReader` (RawFileReader.h) reads RAW files; the factory picks it from the path.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <vireo/SharedTypes.h>
#include <vireo/pipit_export.h>

namespace vireo {

class PIPIT_EXPORT DvsFileReader {
public:
    DvsFileReader() = default;
    DvsFileReader(const DvsFileReader&) = default;
    DvsFileReader& operator=(const DvsFileReader&) = default;
    virtual ~DvsFileReader();

    // Opens and indexes the file; false when it cannot be read. Call it first.
    virtual bool loadFile() = 0;
    // First and last time of the recording (µs) and its number of events; always true
    // (0 before `loadFile`).
    virtual bool getStartTimeStamp(uint64_t& timestamp) = 0;
    virtual bool getEndTimeStamp(uint64_t& timestamp) = 0;
    virtual bool getMaxEvents(uint64_t& count) = 0;
    // True once the read time has passed the recording's end time.
    virtual bool reachedEndOfEvents() = 0;
    // Moves the read position to the first event at or after `timestamp` µs; false when
    // the time lies outside the recording.
    virtual bool seekTime(uint64_t timestamp) = 0;
    // Moves the read position to event number `eventNum` (0 is the first); false past the end.
    virtual bool seekNEvents(uint64_t eventNum) = 0;
    // The read time (µs) and the number of the next event to be read.
    virtual uint64_t getCurrentPosTimeStamp() = 0;
    virtual uint64_t getCurrentPosEventNum() = 0;
    // The next `count` events (fewer at the end of the file). The vector is the reader's
    // own: the next get operation clears and refills it.
    virtual std::shared_ptr<std::vector<Event2D>> getNEvents(uint64_t count) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                                uint64_t count) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartEvent(uint64_t eventNum,
                                                                            uint64_t count) = 0;
    // The events from the read time up to (not including) the read time + `duration` µs.
    virtual std::shared_ptr<std::vector<Event2D>> getNTimeEvents(uint64_t duration) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                                    uint64_t duration) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartEvent(uint64_t eventNum,
                                                                                uint64_t duration) = 0;
    // Cuts [start, end) µs into a new recording / renders it to a video; false on failure.
    virtual bool extractEventData(uint64_t start, uint64_t end, std::string path) = 0;
    virtual bool exportEventDataToVideo(uint64_t start, uint64_t end, std::string path) = 0;
    // Sensor geometry in pixels (1280 x 720 when the file does not give it).
    virtual uint16_t getWidth() const = 0;
    virtual uint16_t getHeight() const = 0;

    // A reader for `path`, chosen by its extension, not yet loaded: a `RawFileReader` for
    // ".raw" (exactly, case-sensitive); an empty pointer for any other extension or none.
    static std::unique_ptr<DvsFileReader> createFileReader(std::string path);
};

}  // namespace vireo

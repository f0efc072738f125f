// `RawFileReader`: reads RAW recordings (a text header of "%" lines, then the EVT3 word
// stream) with random access by time and by event number.
//
// Loading checks the header, then builds a bookmark index by one scan of the file (or
// reloads the one saved beside it, "<name>.dsmark.tmp") that ties times and event numbers
// to byte offsets. Seeks start from the nearest bookmark and resume decoding in exactly the
// state (time, row, vector) that a decode from the start of the file has at that word, so
// every read after a seek gives the same events as a sequential decode from there on.
//
// One reader serves one reading thread at a time. The get operations return the reader's
// own output vector: the next get operation clears and refills it, so copy what you keep.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <vireo/Decoder.h>
#include <vireo/DvsFileReader.h>
#include <vireo/SharedTypes.h>
#include <vireo/pipit_export.h>

namespace vireo {

namespace detail {
class ReadAheadThread;
}

class PIPIT_EXPORT RawFileReader : public DvsFileReader {
public:
    // One index record: decoding can resume at `offset` with time `timestamp` µs, and
    // `eventIndex` events of the file lie before it (the low 32 bits: the reader widens
    // indices of recordings with more than 2^32 events itself).
    struct Bookmark {
        uint64_t offset = 0;
        uint8_t reserved = 0;
        uint64_t timestamp = 0;
        uint32_t eventIndex = 0;
    };

    // A new bookmark is made each time the decoded time has advanced by this many µs.
    static constexpr uint64_t bookmark_period_us = 2000;

    // Receives the progress of an index build: bytes scanned so far and bytes to scan.
    using IndexProgressCallback = std::function<void(uint64_t bytesDone, uint64_t bytesTotal)>;

    // What `extractEvents` did.
    struct ExtractResult {
        enum class Failure {
            None,    // nothing went wrong (the cut may still have been stopped early)
            Range,   // [start, end) holds no data of the recording, or lies outside it
            Output,  // the output could not be created or written
            Input,   // the recording could not be read (it shrank since it was loaded)
        };
        bool ok = false;            // the whole range was written
        bool stopped = false;       // asked to stop: the file holds the data copied so far
        bool outputOpened = false;  // the output was created (a failure leaves it as written)
        Failure failure = Failure::None;
        uint64_t bytes = 0;         // bytes of the recording copied, after the header
        // The failure in words: "There is no data in the interval.", "No space left on device".
        std::string error;
    };
    // Called after each MiB copied with the bytes copied so far and the bytes to copy;
    // returns whether to go on.
    using ExtractControl = std::function<bool(uint64_t bytesDone, uint64_t bytesTotal)>;

    // Stores the path and creates the decoder; opens nothing.
    explicit RawFileReader(std::string path);
    ~RawFileReader() override;
    RawFileReader(const RawFileReader&) = delete;
    RawFileReader& operator=(const RawFileReader&) = delete;

    // Opens the file, reads its header, builds or reloads the bookmark index and moves to
    // event 0. False (and the reader unusable) when the file cannot be opened, is not a
    // regular file (a folder or a device; logged), is not EVT3, or holds no bookmark. A
    // "width", "height" or geometry value that is not a number throws std::invalid_argument,
    // one beyond 32 bits or 0 once cut to the 16 bits of `getWidth` (a sensor without
    // pixels) std::out_of_range, each with a message naming the file and the value. A saved index that does not fit the recording (whatever its check byte says)
    // is built again. May be called again to reload.
    bool loadFile() override;
    bool getStartTimeStamp(uint64_t& timestamp) override;
    bool getEndTimeStamp(uint64_t& timestamp) override;
    bool getMaxEvents(uint64_t& count) override;
    bool reachedEndOfEvents() override;
    // After a successful seek the next event read is the first one decoded at `timestamp`
    // or later (for time-ordered data: every later event follows, every earlier one was
    // before); its number is `getCurrentPosEventNum` and the read time is `timestamp`. A
    // time after the last event but not after the end time leaves nothing to read. Outside
    // [start, end] the seek fails, setting the read time to end + 1 (after) or start - 1
    // (before).
    bool seekTime(uint64_t timestamp) override;
    // After a successful seek the next event read is event number `eventNum` exactly (for
    // `eventNum` = the event count: nothing is left to read); the read time is the time in
    // force at the event before it. Past the event count it fails, setting the event number
    // to count + 1 and the read time to end + 1.
    bool seekNEvents(uint64_t eventNum) override;
    uint64_t getCurrentPosTimeStamp() override;
    uint64_t getCurrentPosEventNum() override;
    // More than remain: logs a warning and returns what remains (an empty vector at the end).
    std::shared_ptr<std::vector<Event2D>> getNEvents(uint64_t count) override;
    std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                        uint64_t count) override;
    std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartEvent(uint64_t eventNum,
                                                                    uint64_t count) override;
    // The undelivered events with timestamps below read time + `duration`; the read time
    // then advances by `duration` (saturating). Spans before the start or past the end are
    // answered with a fresh empty vector and a warning.
    std::shared_ptr<std::vector<Event2D>> getNTimeEvents(uint64_t duration) override;
    std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                            uint64_t duration) override;
    std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartEvent(uint64_t eventNum,
                                                                        uint64_t duration) override;
    // Cut [start, end) µs into a new RAW file, or render it to an H.264 video (implemented
    // in RawFileExport.cpp; see docs/video.md). False on failure, with the reason logged.
    // `extractEventData` throws std::runtime_error when reading the recording or writing
    // the file fails midway, leaving the file as far as it was written; the video export
    // is false also when its file cannot be written whole.
    bool extractEventData(uint64_t start, uint64_t end, std::string path) override;
    bool exportEventDataToVideo(uint64_t start, uint64_t end, std::string path) override;
    // The cut of `extractEventData` without exceptions, with the failure's kind and cause,
    // and a way to stop early: `goOn` returning false ends the copy after the current MiB,
    // leaving at `path` a valid recording of the data copied so far. Logs as
    // `extractEventData` does; on failure the file is left as far as it was written.
    ExtractResult extractEvents(uint64_t start, uint64_t end, const std::string& path,
                                const ExtractControl& goOn = {});
    uint16_t getWidth() const override;
    uint16_t getHeight() const override;

    // The serial number from the header ("% serial_number ..."), empty when there is none.
    const std::string& getSerialNumber() const { return serialNumber; }
    // The path of the bookmark index file (known after `loadFile`): the RAW path with its
    // last ".raw" in the file name replaced by ".dsmark.tmp", or with ".dsmark.tmp"
    // appended when the file name has no ".raw".
    const std::string& getIndexPath() const { return indexPath; }
    // True when the last `loadFile` read a saved index, false when it scanned the file.
    bool isIndexReloaded() const { return indexReloaded; }
    // Why the index the last `loadFile` built could not be saved at `getIndexPath` (for
    // example "No space left on device"); empty when it was saved or reloaded. Nothing is
    // left at that path then, and the next load scans the file again.
    const std::string& getIndexWriteError() const { return indexWriteError; }
    // Bytes of the text header (the offset of the first EVT3 word), known after `loadFile`.
    uint64_t getHeaderSize() const { return dataStart; }
    // Size of the RAW file in bytes, measured by `loadFile`.
    uint64_t getFileSize() const { return fileSize; }
    // Called during an index build (not during a reload) about every 64 MiB and at the end.
    void setIndexProgressCallback(IndexProgressCallback callback) { progressCallback = std::move(callback); }

    // The reader's working form of its index (private to the library's sources).
    struct IndexTable;

private:
    friend struct RawFileReaderTestPeer;

    bool readHeader();
    void initBookmark();
    bool writeIndexFiles();
    static uint8_t crc8(const std::vector<uint8_t>& bytes);
    bool checkBookmarksFromFile(const std::string& path);
    bool loadBookmarksFromFile(const std::string& path);
    bool getRawFileBookmark(uint64_t timestamp, Bookmark& bookmark);
    bool getRawFileBookmarkByNEvents(uint64_t eventNum, Bookmark& bookmark);
    uint64_t readAndDecodeEvents(uint64_t maxBytes);
    void installIndex(std::unique_ptr<IndexTable> index);
    void positionStream(uint64_t offset);
    void clearReadState();

    std::unique_ptr<Decoder> decoder;
    std::string filePath;
    std::string indexPath;
    std::ifstream file;
    std::mutex readMutex;
    uint64_t chunkSize = 131072;
    std::vector<uint8_t> chunkBuffer;
    std::shared_ptr<std::vector<Event2D>> decodedEvents;
    std::shared_ptr<std::vector<Event2D>> pendingEvents;
    std::shared_ptr<std::vector<Event2D>> outputEvents;
    uint64_t currentEventNum = 0;
    uint64_t currentTimeStamp = 0;
    uint64_t startTimeStamp = 0;
    uint64_t endTimeStamp = 0;
    uint64_t maxEvents = 0;
    std::string serialNumber;
    uint16_t width = 1280;
    uint16_t height = 720;
    uint64_t fileSize = 0;
    int32_t frameRate = 30;
    // Beyond the index itself: where the EVT3 words start, the byte the stream stands at,
    // the vector the decoder's callback fills, and the per-bookmark resume states.
    uint64_t dataStart = 0;
    uint64_t readOffset = 0;
    size_t pendingHead = 0;  // events of pendingEvents before this one are already delivered
    std::vector<Event2D>* eventSink = nullptr;
    bool indexReloaded = false;
    std::string indexWriteError;
    IndexProgressCallback progressCallback;
    std::unique_ptr<IndexTable> table;

    // ---- Streaming reads and the read-ahead thread ----
public:
    // Read-ahead, off by default. When on, a second thread reads and decodes the next piece
    // of the recording (about 256 KiB of words) while the caller works on the events it was
    // given, so a caller that does work of its own between reads waits less for the next
    // ones. The results are the same with it on or off, for every sequence of reads and
    // seeks: events, read time, event number and warnings. A seek or `loadFile` discards
    // the piece decoded ahead (waiting for it when it is being decoded); turning it off
    // stops the thread and keeps what was decoded ahead for the next reads; destruction
    // joins the thread. Off, no thread exists. The setting holds across `loadFile`.
    void setReadAhead(bool enabled);
    bool isReadAheadEnabled() const { return readAhead != nullptr; }

private:
    // Updates the estimates below from a slice of `bytes` that gave `events` and moved the
    // decoded time by `advance` µs (when it is known).
    void learnSlice(uint64_t bytes, uint64_t events, std::optional<uint64_t> advance);
    bool takeReadAhead();
    void startReadAhead();
    void cancelReadAhead();

    // Bytes read from the file and not decoded yet are streamBuffer[streamPos, streamEnd):
    // reads from the file are large, decoding goes in slices sized to the request, so
    // that little is decoded beyond it.
    std::vector<uint8_t> streamBuffer;
    size_t streamPos = 0;
    size_t streamEnd = 0;  // the buffer's bytes past this are not from the file
    // Estimates for sizing slices, from the slices decoded so far.
    double eventsPerByte = 0.5;
    double bytesPerMicrosecond = 64;
    // Read-ahead: the thread, the events it decodes (which become pendingEvents when taken),
    // and whether they are the next ones of the stream. `readGeneration` changes at every
    // seek and load (clearReadState), so a piece decoded for an earlier position is dropped.
    // The thread uses the decoder, the file and the stream buffer only under readMutex, which
    // every seek holds while it moves them: a seek waits for a piece being decoded.
    std::unique_ptr<detail::ReadAheadThread> readAhead;
    std::vector<Event2D> aheadEvents;
    uint64_t readGeneration = 0;
    uint64_t aheadGeneration = 0;
    bool aheadStarted = false;  // a job was handed to the thread and not collected yet
    bool aheadReady = false;    // the job decoded its piece (for aheadGeneration)
    bool aheadAtEnd = false;    // the job reached the end of the data
};

}  // namespace vireo

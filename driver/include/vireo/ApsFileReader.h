// `ApsFileReader`: the abstract reader of frame (APS) recordings, which are ordinary MP4
// videos, and its factory. A reader lists the presentation time of every video packet and
// delivers decoded frames as packed BGR24 images in `ApsFrame` records, one by one or by
// index. `Mp4FileReader` (Mp4FileReader.h) is the implementation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <vireo/SharedTypes.h>
#include <vireo/pipit_export.h>

namespace vireo {

class PIPIT_EXPORT ApsFileReader {
public:
    // The path is not kept here; the implementation stores what it needs.
    explicit ApsFileReader(std::string path);
    ApsFileReader(const ApsFileReader&) = default;
    ApsFileReader& operator=(const ApsFileReader&) = default;
    virtual ~ApsFileReader();

    // Opens the file and lists its packets; false when it cannot be read as a video.
    virtual bool loadFile() = 0;
    // Copies the presentation times of the video packets, in file order, in units of the
    // video stream's time base, into `timeStamps`; true.
    virtual bool getTimeStamps(std::vector<uint64_t>& timeStamps) = 0;
    // Reads on and fills `frame` with the next decoded frame; false at the end of the file.
    // `frame.data` points at the reader's own image, overwritten by the next frame.
    virtual bool getNextFrame(ApsFrame& frame) = 0;
    // Fills `frame` with frame number `n` (in file order, 0 is the first). Throws
    // std::out_of_range ("invalid vector subscript") when n is negative or not below the
    // number of packets.
    virtual bool getNFrame(int32_t n, ApsFrame& frame) = 0;

    // The video's size in pixels (0 before `loadFile`).
    uint16_t getWidth() const { return width; }
    uint16_t getHeight() const { return height; }

    // A reader for `path`, not yet loaded: an `Mp4FileReader` when the text from the last
    // "." to the end is exactly ".mp4" (case-sensitive); an empty pointer otherwise.
    static std::unique_ptr<ApsFileReader> createFileReader(std::string path);

protected:
    uint16_t width = 0;
    uint16_t height = 0;
};

}  // namespace vireo

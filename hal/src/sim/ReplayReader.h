// Reads the body of a RAW recording for the simulated camera's Replay scene: the bytes after
// the text header, in chunks, looping at the end, with the recording time each chunk
// reaches so the device can pace it like the original sensor.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <vireo/Decoder.h>

namespace vireo::sim {

class ReplayReader {
public:
    // Throws std::invalid_argument when the file cannot be read or has no body.
    explicit ReplayReader(const std::string& path);

    // Replaces `out` with the next chunk of at most `maxBytes` bytes (an even count), wrapping
    // to the start of the body after its end. Returns the chunk's end time in microseconds
    // counted from the start of the replay, increasing across loops.
    uint64_t next(std::vector<uint8_t>& out, size_t maxBytes);

    uint64_t bodyBytes() const { return bodyBytes_; }

private:
    void restartDecoder();

    std::ifstream file_;
    std::streamoff bodyOffset_ = 0;
    uint64_t bodyBytes_ = 0;
    uint64_t position_ = 0;  // within the body
    std::unique_ptr<Decoder> decoder_;
    uint64_t firstTime_us_ = 0;  // recording time where the body starts
    uint64_t loopOffset_us_ = 0;  // replay time at which the current loop started
    uint64_t lastTime_us_ = 0;    // replay time reached so far
};

}  // namespace vireo::sim

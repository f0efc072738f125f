// The header lines that begin every RAW recording a camera writes.
#pragma once

#include <cstdint>
#include <string>

namespace vireo {

// The sensor geometry the header names (its "% format" and "% geometry" lines), which the
// reader takes for the recording's.
constexpr uint32_t kRawFileHeaderWidth = 1280;
constexpr uint32_t kRawFileHeaderHeight = 720;

// The key of the header line that tells how many of the camera's transfers the recording
// lost ("% vireo_lost_buffers 0000000012"). Its number always has kLostBuffersDigits digits,
// so that the line keeps its length when the count, known only at the stop, is written over
// the zeros written at the start: no byte of the data, nor an offset of its index, moves.
constexpr const char* kLostBuffersKey = "vireo_lost_buffers";
constexpr int kLostBuffersDigits = 10;
// The largest count the line holds; a larger loss is written as this.
constexpr uint64_t kLostBuffersMax = 9999999999ULL;

// The 15 lines from "% camera_integrator_name Vireo" to "% end", dated now, with `serial`
// and the loss line for `lostBuffers` (capped at kLostBuffersMax). Its length depends only
// on the serial (the date and the loss have fixed widths).
std::string rawFileHeader(const std::string& serial, uint64_t lostBuffers = 0);

}  // namespace vireo

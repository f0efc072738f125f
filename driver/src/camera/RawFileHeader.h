// The header lines that begin every RAW recording a camera writes.
#pragma once

#include <cstdint>
#include <string>

namespace vireo {

// The sensor geometry the header names (its "% format" and "% geometry" lines), which the
// reader takes for the recording's.
constexpr uint32_t kRawFileHeaderWidth = 1280;
constexpr uint32_t kRawFileHeaderHeight = 720;

// The 14 lines from "% camera_integrator_name Vireo" to "% end", dated now, with `serial`.
// Its length depends only on the serial (the date has a fixed width).
std::string rawFileHeader(const std::string& serial);

}  // namespace vireo

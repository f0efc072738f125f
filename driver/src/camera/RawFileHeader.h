// The header lines that begin every RAW recording a camera writes.
#pragma once

#include <string>

namespace vireo {

// The 14 lines from "% camera_integrator_name Vireo" to "% end", dated now, with `serial`.
// Its length depends only on the serial (the date has a fixed width).
std::string rawFileHeader(const std::string& serial);

}  // namespace vireo

#include "camera/RawFileHeader.h"

#include <algorithm>
#include <cstdio>

#include <vireo/Helpers.h>

namespace vireo {

std::string rawFileHeader(const std::string& serial, uint64_t lostBuffers) {
    char loss[64];
    std::snprintf(loss, sizeof loss, "%% %s %0*llu\n", kLostBuffersKey, kLostBuffersDigits,
                  static_cast<unsigned long long>(std::min(lostBuffers, kLostBuffersMax)));
    return "% camera_integrator_name Vireo\n"
           "% date " + getSysTime() + "\n"
           "% evt 3.0\n"
           "% format EVT3; height = 720; width = 1280\n"
           "% generation 4.2\n"
           "% geometry 1280x720\n"
           "% integrator_name Vireo\n"
           "% plugin_integrator_name Vireo\n"
           "% plugin_name hal_plugin_vireo\n"
           "% sensor_generation 4.2\n"
           "% sensor_name IMX646\n"
           "% serial_number " + serial + "\n"
           "% system_ID 53\n" +
           loss +
           "% end\n";
}

}  // namespace vireo

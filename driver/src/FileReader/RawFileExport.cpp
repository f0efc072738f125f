// Cutting a time range of a recording into a new RAW file and rendering it to video. Both
// need parts of the kit that are not in this build yet (the video encoder, and the cut
// that goes with it); until then they report that and fail without touching the reader.
#include <vireo/Logger.h>
#include <vireo/RawFileReader.h>

namespace vireo {

bool RawFileReader::extractEventData(uint64_t start, uint64_t end, std::string path) {
    VIREO_LOG_ERROR("RawFileReader: cutting [%llu, %llu) to %s is not available in this build",
                    static_cast<unsigned long long>(start), static_cast<unsigned long long>(end),
                    path.c_str());
    return false;
}

bool RawFileReader::exportEventDataToVideo(uint64_t start, uint64_t end, std::string path) {
    VIREO_LOG_ERROR("RawFileReader: video export of [%llu, %llu) to %s is not available in this build",
                    static_cast<unsigned long long>(start), static_cast<unsigned long long>(end),
                    path.c_str());
    return false;
}

}  // namespace vireo

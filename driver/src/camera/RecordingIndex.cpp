#include "camera/RecordingIndex.h"

#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <new>

#include <vireo/Logger.h>
#include <vireo/RawFileReader.h>

#include "FileReader/IndexBuilder.h"
#include "FileReader/IndexFiles.h"
#include "camera/RawFileHeader.h"

namespace vireo {

namespace {

void removeRegularFile(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) ::unlink(path.c_str());
}

}  // namespace

RecordingIndex::RecordingIndex(uint64_t headerBytes_)
    : builder(std::make_unique<detail::IndexBuilder>(
          detail::scanGeometry(kRawFileHeaderWidth, kRawFileHeaderHeight), headerBytes_,
          RawFileReader::bookmark_period_us)),
      headerBytes(headerBytes_) {}

RecordingIndex::~RecordingIndex() = default;

void RecordingIndex::add(const uint8_t* bytes, size_t size) {
    if (!builder) return;
    try {
        builder->add(bytes, size);
    } catch (const std::bad_alloc&) {
        // The index grows by a record per bookmark period of sensor time; a recording that
        // outgrows the memory for it is still written whole, and indexed by the reader.
        VIREO_LOG_WARN("Recording: no memory left for its bookmark index; the reader will index it");
        builder.reset();
    }
}

bool RecordingIndex::writeBeside(const std::string& recordingPath) {
    std::unique_ptr<detail::IndexBuilder> spent = std::move(builder);
    struct stat info {};
    const bool fits = spent && ::stat(recordingPath.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                      static_cast<uint64_t>(info.st_size) == headerBytes + spent->bytesAdded();
    bool written = false;
    if (fits) {
        try {
            // The end record stands at the end of the data, which is the end of the file.
            std::unique_ptr<RawFileReader::IndexTable> table = spent->finish();
            std::string error;
            written = detail::writeIndexFiles(recordingPath, *table, static_cast<uint64_t>(info.st_size),
                                              kRawFileHeaderWidth, kRawFileHeaderHeight, error);
        } catch (const std::exception& error) {
            VIREO_LOG_ERROR("Recording %s: building its bookmark index failed: %s", recordingPath.c_str(),
                            error.what());
            written = false;
        }
    }
    if (!written) {
        removeIndexFiles(recordingPath);
        VIREO_LOG_WARN("Recording %s: its bookmark index was not saved; the reader will index it when it opens it",
                       recordingPath.c_str());
    }
    return written;
}

void removeIndexFiles(const std::string& recordingPath) {
    removeRegularFile(detail::indexPathFor(recordingPath));
    removeRegularFile(detail::companionPathFor(recordingPath));
}

}  // namespace vireo

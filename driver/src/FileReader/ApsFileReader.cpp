// ApsFileReader: the frame-recording reader's base and its factory, which picks the reader
// from the file name's extension.
#include <vireo/ApsFileReader.h>

#include <vireo/Mp4FileReader.h>

namespace vireo {

ApsFileReader::ApsFileReader(std::string /*path*/) {}

ApsFileReader::~ApsFileReader() = default;

std::unique_ptr<ApsFileReader> ApsFileReader::createFileReader(std::string path) {
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || path.compare(dot, std::string::npos, ".mp4") != 0) return nullptr;
    return std::make_unique<Mp4FileReader>(std::move(path));
}

}  // namespace vireo

// The reader factory: picks the reader for a recording from its file name's extension.
#include <vireo/DvsFileReader.h>
#include <vireo/RawFileReader.h>

namespace vireo {

DvsFileReader::~DvsFileReader() = default;

std::unique_ptr<DvsFileReader> DvsFileReader::createFileReader(std::string path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) return nullptr;
    if (path.compare(dot, std::string::npos, ".raw") == 0) return std::make_unique<RawFileReader>(path);
    return nullptr;
}

}  // namespace vireo

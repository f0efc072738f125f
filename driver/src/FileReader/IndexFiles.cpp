#include "IndexFiles.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <vireo/Logger.h>

namespace vireo::detail {
namespace {

constexpr char kCompanionMagic[8] = {'V', 'R', 'D', 'S', 'T', 'A', 'T', 'E'};
constexpr uint32_t kCompanionVersion = 1;
constexpr size_t kCompanionHeaderBytes = 8 + 4 + 8 + 4 + 8;
constexpr size_t kStateBytes = 5;

enum StateFlags : uint8_t { kRowKnown = 1, kVectorKnown = 2, kVectorPolarity = 4, kTimeKnown = 8 };

void putLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t getLe(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(p[i]) << (8 * i);
    return value;
}

std::string pathWithSuffix(const std::string& path, const std::string& suffix) {
    const size_t slash = path.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t at = path.rfind(".raw");
    if (at == std::string::npos || at < nameStart) return path + suffix;
    std::string result = path;
    result.replace(at, 4, suffix);
    return result;
}

}  // namespace

std::string indexPathFor(const std::string& recordingPath) { return pathWithSuffix(recordingPath, ".dsmark.tmp"); }

std::string companionPathFor(const std::string& recordingPath) {
    return pathWithSuffix(recordingPath, ".dsmark.state");
}

uint8_t crc8(const uint8_t* bytes, size_t size) {
    static const std::array<uint8_t, 256> table = [] {
        std::array<uint8_t, 256> t{};
        for (int i = 0; i < 256; ++i) {
            uint8_t crc = static_cast<uint8_t>(i);
            for (int bit = 0; bit < 8; ++bit) {
                crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
            }
            t[static_cast<size_t>(i)] = crc;
        }
        return t;
    }();
    uint8_t crc = 0;
    for (size_t i = 0; i < size; ++i) crc = table[crc ^ bytes[i]];
    return crc;
}

// The CRC-32 of zlib and PNG (reflected, polynomial 0xEDB88320).
uint32_t crc32(const uint8_t* bytes, size_t size) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t crc = i;
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
            t[i] = crc;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::vector<uint8_t> indexFileBytes(const RawFileReader::IndexTable& table, uint64_t fileSize, uint32_t width,
                                    uint32_t height) {
    constexpr size_t kRecordBytes = 29;
    const std::string text = "max_byte:" + std::to_string(fileSize) + "\n" +
                             "sensor_width:" + std::to_string(width) + "\n" +
                             "sensor_height:" + std::to_string(height) + "\n";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.reserve(bytes.size() + 9 + table.size() * kRecordBytes + 1);
    bytes.push_back(0);
    putLe(bytes, table.size(), 8);
    for (size_t i = 0; i < table.size(); ++i) {
        const RawFileReader::Bookmark& record = table.records[i];
        putLe(bytes, table.keys[i], 8);
        putLe(bytes, record.offset, 8);
        bytes.push_back(record.reserved);
        putLe(bytes, record.timestamp, 8);
        putLe(bytes, record.eventIndex, 4);
    }
    bytes.push_back(crc8(bytes.data(), bytes.size()));
    return bytes;
}

std::vector<uint8_t> companionFileBytes(const RawFileReader::IndexTable& table, uint64_t fileSize,
                                        uint32_t indexCrc) {
    std::vector<uint8_t> bytes(std::begin(kCompanionMagic), std::end(kCompanionMagic));
    bytes.reserve(kCompanionHeaderBytes + table.size() * kStateBytes + 4);
    putLe(bytes, kCompanionVersion, 4);
    putLe(bytes, fileSize, 8);
    putLe(bytes, indexCrc, 4);
    putLe(bytes, table.size(), 8);
    for (const ScanState& s : table.states) {
        putLe(bytes, s.rows.row, 2);
        putLe(bytes, s.rows.vectorBase, 2);
        bytes.push_back(static_cast<uint8_t>((s.rows.hasRow ? kRowKnown : 0) | (s.rows.hasVector ? kVectorKnown : 0) |
                                             (s.rows.vectorPolarity != 0 ? kVectorPolarity : 0) |
                                             (s.timeKnown ? kTimeKnown : 0)));
    }
    putLe(bytes, crc32(bytes.data(), bytes.size()), 4);
    return bytes;
}

bool readCompanion(const std::vector<uint8_t>& bytes, uint64_t fileSize, uint32_t indexCrc,
                   RawFileReader::IndexTable& table, std::string& why) {
    auto fail = [&](const char* reason) {
        why = reason;
        return false;
    };
    if (bytes.size() < kCompanionHeaderBytes + 4) return fail("it is too short");
    if (std::memcmp(bytes.data(), kCompanionMagic, sizeof kCompanionMagic) != 0) return fail("it is not a state file");
    if (getLe(bytes.data() + 8, 4) != kCompanionVersion) return fail("it has another version");
    const size_t body = bytes.size() - 4;
    if (crc32(bytes.data(), body) != getLe(bytes.data() + body, 4)) return fail("its CRC does not match");
    if (getLe(bytes.data() + 12, 8) != fileSize) return fail("it was made for a recording of another size");
    if (getLe(bytes.data() + 20, 4) != indexCrc) return fail("it was made for another index");
    const uint64_t count = getLe(bytes.data() + 24, 8);
    if (count != table.size() || (body - kCompanionHeaderBytes) != count * kStateBytes) {
        return fail("its record count does not match the index");
    }
    std::vector<ScanState> states(table.size());
    const uint8_t* p = bytes.data() + kCompanionHeaderBytes;
    for (size_t i = 0; i < table.size(); ++i, p += kStateBytes) {
        ScanState& s = states[i];
        const uint64_t row = getLe(p, 2);
        const uint64_t base = getLe(p + 2, 2);
        const uint8_t flags = p[4];
        // A row is 11 bits; a base of 2048 is one run past the last column (none in force).
        if (row > evt3::kMaxCoordinate || base > evt3::kCoordinateRange || flags > 15) {
            return fail("a state is out of range");
        }
        s.rows.row = static_cast<uint16_t>(row);
        s.rows.hasRow = (flags & kRowKnown) != 0;
        s.rows.vectorBase = static_cast<uint16_t>(base);
        s.rows.hasVector = (flags & kVectorKnown) != 0;
        s.rows.vectorPolarity = (flags & kVectorPolarity) != 0 ? 1 : 0;
        s.timeKnown = (flags & kTimeKnown) != 0;
        s.setTime(table.records[i].timestamp);
    }
    // The data start is where decoding starts from scratch.
    if (table.size() > 0 && (states[0].rows.hasRow || states[0].rows.hasVector || states[0].timeKnown)) {
        return fail("its first state is not the start of the data");
    }
    if (table.size() > 0) states[0] = ScanState{};
    table.states = std::move(states);
    return true;
}

WriteResult writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    error.clear();
    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        error = errno != 0 ? std::strerror(errno) : "it cannot be created";
        return WriteResult::OpenFailed;
    }
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        error = errno != 0 ? std::strerror(errno) : "writing it failed";
        // What was written would only fail its check at the next load: it goes (a device or
        // a link standing at that name stays).
        std::error_code ignored;
        if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ignored))) {
            std::filesystem::remove(path, ignored);
        }
        return WriteResult::WriteFailed;
    }
    return WriteResult::Written;
}

bool readFileBytes(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>& bytes) {
    bytes.clear();
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    const uint64_t size = std::filesystem::file_size(path, error);
    if (error || size > maxBytes) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return false;
    bytes.resize(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    if (static_cast<uint64_t>(in.gcount()) != size) {
        bytes.clear();
        return false;
    }
    return true;
}

bool writeIndexFiles(const std::string& recordingPath, const RawFileReader::IndexTable& table, uint64_t fileSize,
                     uint32_t width, uint32_t height, std::string& error) {
    const std::string indexPath = indexPathFor(recordingPath);
    const std::string companionPath = companionPathFor(recordingPath);
    const std::vector<uint8_t> index = indexFileBytes(table, fileSize, width, height);
    switch (writeFileBytes(indexPath, index, error)) {
        case WriteResult::Written: break;
        case WriteResult::OpenFailed:
            VIREO_LOG_ERROR("Failed to open file for writing: %s (%s)", indexPath.c_str(), error.c_str());
            return false;
        case WriteResult::WriteFailed:
            VIREO_LOG_ERROR("Failed to write the bookmark index %s (%s)", indexPath.c_str(), error.c_str());
            return false;
    }
    const std::vector<uint8_t> companion =
        companionFileBytes(table, fileSize, crc32(index.data(), index.size()));
    if (writeFileBytes(companionPath, companion, error) != WriteResult::Written) {
        VIREO_LOG_ERROR("Failed to write the bookmark states %s (%s)", companionPath.c_str(), error.c_str());
        return false;
    }
    return true;
}

}  // namespace vireo::detail

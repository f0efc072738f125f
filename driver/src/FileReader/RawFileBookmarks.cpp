// The bookmark index of `RawFileReader`: building it by one scan of the file, the index
// file and its companion beside the recording, validating and reloading them, and the two
// lookups by time and by event number.
//
// The scan (IndexBuilder) follows the decoder's time word by word and counts the events it
// would produce without decoding them, so one pass gives the bookmark times and offsets, the
// event counts between them and the row and vector state at each bookmark. The index file
// holds all but the states; the companion file holds those, so that a reloaded index seeks
// as fast as a built one. Either failing its checks makes the reader index again.
#include <vireo/RawFileReader.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <vireo/Logger.h>

#include "BlockReader.h"
#include "IndexBuilder.h"
#include "IndexFiles.h"
#include "IndexTable.h"

namespace vireo {
namespace {

constexpr uint64_t kMaxIndexFileBytes = 104857600;  // 100 MiB
constexpr size_t kRecordBytes = 29;                 // key, offset, reserved, timestamp, index
constexpr uint64_t kProgressStep = 64ull << 20;
// The scan reads the file in blocks of this size.
constexpr uint64_t kScanBlockBytes = 4ull << 20;

uint64_t getLe(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(p[i]) << (8 * i);
    return value;
}

}  // namespace

uint8_t RawFileReader::crc8(const std::vector<uint8_t>& bytes) { return detail::crc8(bytes.data(), bytes.size()); }

void RawFileReader::initBookmark() {
    const uint64_t total = fileSize > dataStart ? fileSize - dataStart : 0;
    detail::IndexBuilder builder(detail::scanGeometry(width, height), dataStart, bookmark_period_us);
    {
        // The next block is read while this one is scanned.
        detail::BlockReader blocks(filePath, dataStart, dataStart + total, kScanBlockBytes);
        uint64_t nextProgress = kProgressStep;
        for (auto block = blocks.next(); !block.empty(); block = blocks.next()) {
            builder.add(block.data(), block.size());
            const uint64_t done = builder.bytesAdded();
            if (progressCallback && (done >= nextProgress || done >= total)) {
                progressCallback(done, total);
                nextProgress += kProgressStep;
            }
        }
        // A file that shrank since its size was taken is indexed as far as it could be read.
    }
    std::unique_ptr<IndexTable> index = builder.finish();
    // The end record stands at the end of the file as its size was taken.
    index->records.back().offset = std::max(index->records.back().offset, fileSize);
    if (progressCallback && total == 0) progressCallback(0, 0);

    installIndex(std::move(index));
    writeIndexFiles();
}

void RawFileReader::installIndex(std::unique_ptr<IndexTable> index) {
    // Held as long as the recording is open: no room left over from growing.
    index->keys.shrink_to_fit();
    index->records.shrink_to_fit();
    index->events.shrink_to_fit();
    index->states.shrink_to_fit();
    table = std::move(index);
}

bool RawFileReader::writeIndexFiles() {
    indexWriteError.clear();
    if (indexPath == filePath) {  // never over the recording itself
        indexWriteError = "it would take the recording's own name";
        return false;
    }
    if (!table) return false;
    return detail::writeIndexFiles(filePath, *table, fileSize, width, height, indexWriteError);
}

bool RawFileReader::checkBookmarksFromFile(const std::string& path) {
    std::error_code error;
    const bool regular = std::filesystem::is_regular_file(path, error);
    std::ifstream in(path, std::ios::binary);
    if (!regular || !in.is_open()) {
        std::cerr << "Error opening file for reading!" << std::endl;
        return false;
    }
    in.seekg(0, std::ios::end);
    const auto size = static_cast<uint64_t>(in.tellg());
    if (size > kMaxIndexFileBytes) return false;
    in.seekg(0);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    bytes.resize(static_cast<size_t>(in.gcount()));
    if (bytes.empty()) {
        std::cerr << "The file content is insufficient to perform CRC validation!" << std::endl;
        return false;
    }
    const uint8_t stored = bytes.back();
    bytes.pop_back();
    if (crc8(bytes) != stored) {
        VIREO_LOG_INFO("The file has changed");
        return false;
    }

    // The text part: "key:value" lines up to the 0x00 separator. A value that is not a
    // number makes the index damaged like any other change: it is rebuilt.
    const auto separator = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    const std::string text(bytes.begin(), separator);
    std::map<std::string, uint64_t> values;
    size_t lineStart = 0;
    while (lineStart <= text.size()) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos) lineEnd = text.size();
        const std::string line = text.substr(lineStart, lineEnd - lineStart);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) break;
        const std::string number = line.substr(colon + 1);
        errno = 0;
        char* end = nullptr;
        const unsigned long long value = std::strtoull(number.c_str(), &end, 10);
        if (end == number.c_str() || errno == ERANGE || number.find('-') != std::string::npos) {
            VIREO_LOG_INFO("The bookmark index %s does not fit the recording (%s is not a number): indexing again",
                           path.c_str(), line.substr(0, colon).c_str());
            return false;
        }
        values[line.substr(0, colon)] = value;
        lineStart = lineEnd + 1;
    }
    auto value = [&](const char* key) {
        const auto it = values.find(key);
        return it == values.end() ? uint64_t{0} : it->second;
    };
    return value("max_byte") == fileSize && value("sensor_width") == width &&
           value("sensor_height") == height;
}

bool RawFileReader::loadBookmarksFromFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (!detail::readFileBytes(path, kMaxIndexFileBytes, bytes)) {
        VIREO_LOG_ERROR("Error opening file for reading!");
        return false;
    }
    auto invalid = [&](const char* why) {
        VIREO_LOG_INFO("The bookmark index %s does not fit the recording (%s): indexing again",
                       path.c_str(), why);
        return false;
    };
    const auto separator = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    if (separator == bytes.end()) return invalid("no record section");
    const size_t countAt = static_cast<size_t>(separator - bytes.begin()) + 1;
    // The record count is checked against the bytes that are really there before a
    // single record is read: a damaged count can neither loop nor allocate without bound.
    if (bytes.size() < countAt + 8 + 1) return invalid("no record count");
    const uint64_t count = getLe(bytes.data() + countAt, 8);
    const size_t recordBytes = bytes.size() - countAt - 8 - 1;
    if (count == 0 || recordBytes % kRecordBytes != 0 || count != recordBytes / kRecordBytes) {
        return invalid("record count and size disagree");
    }

    // A CRC-8 lets about one random change in 256 through, so every record is also checked
    // against what the recording can hold: a damaged index is indexed again, never trusted.
    auto index = std::make_unique<IndexTable>();
    const uint8_t* p = bytes.data() + countAt + 8;
    for (uint64_t i = 0; i < count; ++i, p += kRecordBytes) {
        const uint64_t key = getLe(p, 8);
        Bookmark record;
        record.offset = getLe(p + 8, 8);
        record.reserved = p[16];
        record.timestamp = getLe(p + 17, 8);
        record.eventIndex = static_cast<uint32_t>(getLe(p + 25, 4));
        if (key != record.timestamp) return invalid("a key differs from its record's time");
        if (i > 0 && key <= index->keys.back()) return invalid("keys out of order");
        if (i > 0 && record.offset < index->records.back().offset) return invalid("offsets out of order");
        if (record.offset < dataStart || record.offset > fileSize) return invalid("offset outside the data");
        const bool last = i + 1 == count;
        if (!last && (record.offset - dataStart) % 2 != 0) return invalid("offset between two words");
        uint64_t widened = record.eventIndex;
        if (i == 0) {
            if (key > timeReach((fileSize - dataStart) / evt3::kWordSize)) return invalid("a time beyond the data");
        } else {
            const uint64_t spanBytes = record.offset - index->records.back().offset;
            if (key - index->keys.back() > timeReach(spanBytes / evt3::kWordSize)) {
                return invalid("a time beyond what the data can reach");
            }
            // Bookmarks are made a period apart; only the end record may follow closer.
            if (!last && key - index->keys.back() < bookmark_period_us) return invalid("bookmarks too close");
            const auto next = widenEventIndex(index->events.back(), record.eventIndex, spanBytes);
            if (!next) return invalid("more events than the data can hold");
            widened = *next;
        }
        index->add(key, record, widened, detail::ScanState{});  // states: from the companion
    }
    if (index->records.front().offset != dataStart || index->events.front() != 0) {
        return invalid("first record is not at the data start");
    }
    if (index->records.back().offset != fileSize) return invalid("last record is not at the end");

    // The states at the records, from the companion made with this very index.
    const std::string companionPath = detail::companionPathFor(filePath);
    std::vector<uint8_t> companion;
    std::string why = "it is missing or unreadable";
    if (!detail::readFileBytes(companionPath, kMaxIndexFileBytes, companion) ||
        !detail::readCompanion(companion, fileSize, detail::crc32(bytes.data(), bytes.size()), *index, why)) {
        VIREO_LOG_INFO("The bookmark states %s do not fit the index (%s): indexing again", companionPath.c_str(),
                       why.c_str());
        return false;
    }
    installIndex(std::move(index));
    return true;
}

std::optional<size_t> bookmarkForTime(const RawFileReader::IndexTable& index, uint64_t timestamp) {
    auto it = std::lower_bound(index.keys.begin(), index.keys.end(), timestamp);
    if (it == index.keys.end()) return std::nullopt;
    if (*it != timestamp) {
        if (it == index.keys.begin()) return std::nullopt;
        --it;
    }
    return static_cast<size_t>(it - index.keys.begin());
}

std::optional<size_t> bookmarkForEvent(const RawFileReader::IndexTable& index, uint64_t eventNum) {
    if (index.size() == 0) return std::nullopt;
    // Counts only grow along the file (several records may share one).
    const auto& events = index.events;
    const auto atOrAbove = std::lower_bound(events.begin(), events.end(), eventNum);
    if (atOrAbove == events.end()) return std::nullopt;
    if (eventNum == 0) return size_t{0};
    if (atOrAbove == events.begin()) return std::nullopt;
    const uint64_t below = *(atOrAbove - 1);
    return static_cast<size_t>(std::lower_bound(events.begin(), events.end(), below) - events.begin());
}

bool RawFileReader::getRawFileBookmark(uint64_t timestamp, Bookmark& bookmark) {
    const auto i = table ? bookmarkForTime(*table, timestamp) : std::nullopt;
    if (!i) return false;
    bookmark = table->records[*i];
    return true;
}

bool RawFileReader::getRawFileBookmarkByNEvents(uint64_t eventNum, Bookmark& bookmark) {
    const auto i = table ? bookmarkForEvent(*table, eventNum) : std::nullopt;
    if (!i) return false;
    bookmark = table->records[*i];
    return true;
}

}  // namespace vireo

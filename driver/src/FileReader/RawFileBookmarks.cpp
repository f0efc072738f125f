// The bookmark index of `RawFileReader`: building it by one scan of the file, the index
// file beside the recording with its CRC-8, validating and reloading that file, and the
// two lookups by time and by event number.
//
// The scan follows the decoder's time word by word and counts the events it would produce
// without decoding them (Evt3Scan.h), so one pass gives the bookmark times and offsets and
// the event counts between them. Its bookmarks are those of a word-by-word decode: a new
// one each time the decoded time has advanced by `bookmark_period_us`. The row and vector
// state a bookmark resumes in is looked up when a seek first needs it, for a built index
// and a reloaded one alike.
#include <vireo/RawFileReader.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <vireo/Logger.h>

#include "IndexTable.h"

namespace vireo {
namespace {

constexpr uint64_t kMaxIndexFileBytes = 104857600;  // 100 MiB
constexpr size_t kRecordBytes = 29;                 // key, offset, reserved, timestamp, index
constexpr uint64_t kProgressStep = 64ull << 20;

void putLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t getLe(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(p[i]) << (8 * i);
    return value;
}

std::vector<uint8_t> readWholeFile(const std::string& path, bool& opened) {
    std::ifstream in(path, std::ios::binary);
    opened = in.is_open() && std::filesystem::is_regular_file(path);
    if (!opened) return {};
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

uint8_t RawFileReader::crc8(const std::vector<uint8_t>& bytes) {
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
    for (uint8_t byte : bytes) crc = table[crc ^ byte];
    return crc;
}

void RawFileReader::initBookmark() {
    auto index = std::make_unique<IndexTable>();
    const uint64_t total = fileSize > dataStart ? fileSize - dataStart : 0;

    detail::ScanState state;  // a decoder at the start of the data: nothing known yet
    uint64_t events = 0;
    uint64_t pendingOffset = dataStart;
    uint64_t pendingTime = 0;
    uint64_t pendingCount = 0;
    uint64_t chunkStart = dataStart;
    const uint8_t* chunkBegin = nullptr;

    auto insertPending = [&] {
        Bookmark record;
        record.offset = pendingOffset;
        record.timestamp = pendingTime;
        record.eventIndex = static_cast<uint32_t>(pendingCount);
        // The first record resumes from scratch; the state at the others is looked up
        // when a seek first needs it (the scan below does not follow rows and bases).
        std::optional<detail::ScanState> resume;
        if (index->size() == 0 && pendingOffset == dataStart) resume = detail::ScanState{};
        index->add(pendingTime, record, pendingCount, resume);
    };
    // Called before each time word with the time it sets; never stops the scan.
    auto onTime = [&](const uint8_t* word, uint64_t t) {
        if (t == 0) return false;
        if (pendingTime == 0) {
            pendingTime = t;  // the first bookmark stays at the data start
            return false;
        }
        if (t >= pendingTime + bookmark_period_us) {
            insertPending();
            pendingOffset = chunkStart + static_cast<uint64_t>(word - chunkBegin);
            pendingTime = t;
            pendingCount = events;  // a time word adds no event
        }
        return false;
    };

    chunkBuffer.resize(chunkSize);
    file.clear();
    file.seekg(static_cast<std::streamoff>(dataStart));
    uint64_t nextProgress = kProgressStep;
    while (chunkStart < fileSize) {
        const uint64_t want = std::min<uint64_t>(chunkSize, fileSize - chunkStart);
        file.read(reinterpret_cast<char*>(chunkBuffer.data()), static_cast<std::streamsize>(want));
        const auto got = static_cast<uint64_t>(file.gcount());
        if (got == 0) break;
        chunkBegin = chunkBuffer.data();
        // The full walk until the time and the row are known, which is normally at once;
        // from then on only counting and times.
        if (state.timeKnown && state.rows.hasRow) {
            detail::countWords(detail::scanGeometry(width, height), chunkBegin, chunkBegin + got, state, events, onTime);
        } else {
            detail::scanWords(detail::scanGeometry(width, height), chunkBegin, chunkBegin + got, state, events,
                              detail::kNoLimit, detail::kNoLimit, onTime);
        }
        chunkStart += got;
        if (progressCallback && (chunkStart - dataStart >= nextProgress || chunkStart >= fileSize)) {
            progressCallback(chunkStart - dataStart, total);
            nextProgress += kProgressStep;
        }
        // A chunk of odd length can only be the last one (chunks are of even size), so the
        // words of the next chunk start at its first byte.
    }
    // A recording shorter than one bookmark period still needs its data-start record, or
    // the reader would start at the end record and miss every event.
    if (index->size() == 0 && fileSize > dataStart) insertPending();
    Bookmark end;
    end.offset = std::max(chunkStart, fileSize);
    end.timestamp = state.time();
    // Keys must grow along the file. The last time decoded can fall below the last key when
    // time stands still (or when that key was taken at a TIME_HIGH that, with the old low
    // part, ran ahead of the TIME_LOW after it): the end record then comes just after it.
    if (index->size() > 0 && end.timestamp <= index->keys.back()) end.timestamp = index->keys.back() + 1;
    end.eventIndex = static_cast<uint32_t>(events);
    // Alone (no data), the end record is also the first record, resumed from scratch.
    std::optional<detail::ScanState> endState;
    if (index->size() == 0) endState = detail::ScanState{};
    index->add(end.timestamp, end, events, endState);
    if (progressCallback && total == 0) progressCallback(0, 0);

    installIndex(std::move(index));
    writeIndexFile(indexPath);
}

void RawFileReader::installIndex(std::unique_ptr<IndexTable> index) {
    bookmarks.clear();
    eventIndexMap.clear();
    for (size_t i = 0; i < index->size(); ++i) {
        bookmarks[index->keys[i]] = index->records[i];
        eventIndexMap.emplace(index->events[i], index->keys[i]);
    }
    table = std::move(index);
}

bool RawFileReader::writeIndexFile(const std::string& path) {
    indexWriteError.clear();
    if (path == filePath) {  // never over the recording itself
        indexWriteError = "it would take the recording's own name";
        return false;
    }
    std::vector<uint8_t> bytes;
    const std::string text = "max_byte:" + std::to_string(fileSize) + "\n" +
                             "sensor_width:" + std::to_string(width) + "\n" +
                             "sensor_height:" + std::to_string(height) + "\n";
    bytes.assign(text.begin(), text.end());
    bytes.push_back(0);
    putLe(bytes, bookmarks.size(), 8);
    bytes.reserve(bytes.size() + bookmarks.size() * kRecordBytes + 1);
    for (const auto& [key, record] : bookmarks) {
        putLe(bytes, key, 8);
        putLe(bytes, record.offset, 8);
        bytes.push_back(record.reserved);
        putLe(bytes, record.timestamp, 8);
        putLe(bytes, record.eventIndex, 4);
    }
    bytes.push_back(crc8(bytes));

    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        indexWriteError = errno != 0 ? std::strerror(errno) : "it cannot be created";
        VIREO_LOG_ERROR("Failed to open file for writing: %s (%s)", path.c_str(), indexWriteError.c_str());
        return false;
    }
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        indexWriteError = errno != 0 ? std::strerror(errno) : "writing it failed";
        VIREO_LOG_ERROR("Failed to write the bookmark index %s (%s)", path.c_str(), indexWriteError.c_str());
        // What was written would only fail its check at the next load: it goes (a device or
        // a link standing at the index's name stays).
        std::error_code error;
        if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error))) {
            std::filesystem::remove(path, error);
        }
        return false;
    }
    return true;
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
    bool opened = false;
    const std::vector<uint8_t> bytes = readWholeFile(path, opened);
    if (!opened) {
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
        std::optional<detail::ScanState> state;
        if (i == 0) state = detail::ScanState{};
        index->add(key, record, widened, state);
    }
    if (index->records.front().offset != dataStart || index->events.front() != 0) {
        return invalid("first record is not at the data start");
    }
    if (index->records.back().offset != fileSize) return invalid("last record is not at the end");
    installIndex(std::move(index));
    return true;
}

std::optional<uint64_t> bookmarkKeyForTime(const std::map<uint64_t, RawFileReader::Bookmark>& bookmarks,
                                           uint64_t timestamp) {
    auto it = bookmarks.lower_bound(timestamp);
    if (it == bookmarks.end()) return std::nullopt;
    if (it->first != timestamp) {
        if (it == bookmarks.begin()) return std::nullopt;
        --it;
    }
    return it->first;
}

std::optional<uint64_t> bookmarkKeyForEvent(const std::map<uint64_t, RawFileReader::Bookmark>& bookmarks,
                                            const std::map<uint64_t, uint64_t>& eventIndexMap,
                                            uint64_t eventNum) {
    if (eventIndexMap.empty() || bookmarks.empty()) return std::nullopt;
    auto it = eventIndexMap.lower_bound(eventNum);
    if (it == eventIndexMap.end()) return std::nullopt;
    if (eventNum == 0) return bookmarks.begin()->first;
    if (it == eventIndexMap.begin()) return std::nullopt;
    --it;
    if (bookmarks.count(it->second) == 0) return std::nullopt;
    return it->second;
}

bool RawFileReader::getRawFileBookmark(uint64_t timestamp, Bookmark& bookmark) {
    const auto key = bookmarkKeyForTime(bookmarks, timestamp);
    if (!key) return false;
    bookmark = bookmarks.at(*key);
    return true;
}

bool RawFileReader::getRawFileBookmarkByNEvents(uint64_t eventNum, Bookmark& bookmark) {
    const auto key = bookmarkKeyForEvent(bookmarks, eventIndexMap, eventNum);
    if (!key) return false;
    bookmark = bookmarks.at(*key);
    return true;
}

}  // namespace vireo

// The reader's working form of its bookmark index: the records in key order with their
// event counts widened to 64 bits and, per record, the decoder state in force at the word
// where decoding resumes. The ordered maps of `RawFileReader` hold the same records for
// lookups by key; this table adds what the maps cannot say.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include <vireo/RawFileReader.h>

#include "Evt3Scan.h"

namespace vireo {

struct RawFileReader::IndexTable {
    std::vector<uint64_t> keys;        // map keys, ascending
    std::vector<Bookmark> records;     // the record under each key
    std::vector<uint64_t> events;      // events before each record's offset, widened
    // State before the word at each record's offset, with the time set to the record's
    // time; unknown until computed for an index read from its file. Record 0 starts at the
    // data start, where the decoder starts from scratch.
    std::vector<std::optional<detail::ScanState>> states;

    size_t size() const { return keys.size(); }

    void add(uint64_t key, const Bookmark& record, uint64_t eventCount,
             std::optional<detail::ScanState> state) {
        keys.push_back(key);
        records.push_back(record);
        events.push_back(eventCount);
        states.push_back(state);
    }

    // Position of `key`, which must be present.
    size_t positionOfKey(uint64_t key) const {
        return static_cast<size_t>(std::lower_bound(keys.begin(), keys.end(), key) - keys.begin());
    }
};

// The 64-bit count that continues `previous` with the 32-bit index `stored`: indices only
// grow along a file, so a smaller stored value means the 32-bit counter wrapped.
inline uint64_t widenEventIndex(uint64_t previous, uint32_t stored) {
    const uint32_t step = stored - static_cast<uint32_t>(previous);
    return previous + step;
}

// The lookups of the index. By time: the key of the record with the greatest key not above
// `timestamp`. By event number: for 0 the first record; otherwise the record of the greatest
// event number strictly below `eventNum` (none when no record has `eventNum` or more).
std::optional<uint64_t> bookmarkKeyForTime(const std::map<uint64_t, RawFileReader::Bookmark>& bookmarks,
                                           uint64_t timestamp);
std::optional<uint64_t> bookmarkKeyForEvent(const std::map<uint64_t, RawFileReader::Bookmark>& bookmarks,
                                            const std::map<uint64_t, uint64_t>& eventIndexMap,
                                            uint64_t eventNum);

}  // namespace vireo

// The reader's working form of its bookmark index: the records in key order with their
// event counts widened to 64 bits and, per record, the decoder state in force at the word
// where decoding resumes. Lookups by time and by event number are binary searches on it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
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
    // time: from the index build, or from the companion file of an index read back. Record
    // 0 starts at the data start, where the decoder starts from scratch.
    std::vector<detail::ScanState> states;

    size_t size() const { return keys.size(); }

    void add(uint64_t key, const Bookmark& record, uint64_t eventCount, const detail::ScanState& state) {
        keys.push_back(key);
        records.push_back(record);
        events.push_back(eventCount);
        states.push_back(state);
    }

};

// The events `bytes` bytes of EVT3 words can produce at most: a VECT_12 word with every
// bit set gives 12 events in 2 bytes.
inline uint64_t eventCapacity(uint64_t bytes) { return bytes / evt3::kWordSize * evt3::kMaxEventsPerWord; }

// How far `words` words (and one more) can move the decoded time at most, in µs: no word
// advances it by 2^24 µs or more (a TIME_HIGH rollover adds less than the 2^24 µs range).
inline uint64_t timeReach(uint64_t words) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    return words >= kMax / evt3::kTimeRange ? kMax : (words + 1) * evt3::kTimeRange;
}

// The 64-bit count that continues `previous` with the 32-bit index `stored` across a span
// of `spanBytes` bytes, or nothing when the span cannot hold that many events. Indices only
// grow along a file: a smaller stored value is the 32-bit counter wrapping, which the span
// can hold only when `previous` lies within its capacity of the next multiple of 2^32.
inline std::optional<uint64_t> widenEventIndex(uint64_t previous, uint32_t stored, uint64_t spanBytes) {
    const uint32_t step = stored - static_cast<uint32_t>(previous);
    if (step > eventCapacity(spanBytes)) return std::nullopt;
    return previous + step;
}

// The lookups of the index, as positions of records. By time: the record of the greatest
// key not above `timestamp`. By event number: for 0 the first record; otherwise the first
// record of the greatest event number strictly below `eventNum` (none when no record has
// `eventNum` or more).
std::optional<size_t> bookmarkForTime(const RawFileReader::IndexTable& index, uint64_t timestamp);
std::optional<size_t> bookmarkForEvent(const RawFileReader::IndexTable& index, uint64_t eventNum);

}  // namespace vireo

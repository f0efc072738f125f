#include "IndexBuilder.h"

#include "Evt3Count.h"

namespace vireo::detail {
namespace {

uint64_t saturatingAdd(uint64_t a, uint64_t b) { return b > kNoLimit - a ? kNoLimit : a + b; }

}  // namespace

IndexBuilder::IndexBuilder(const ScanGeometry& g, uint64_t dataStartOffset, uint64_t periodUs)
    : geometry(g),
      dataStart(dataStartOffset),
      period(periodUs),
      index(std::make_unique<RawFileReader::IndexTable>()),
      pendingOffset(dataStartOffset) {}

void IndexBuilder::add(const uint8_t* bytes, size_t size) {
    if (size == 0) return;
    const uint64_t offset = dataStart + added;
    added += size;
    if (hasCarry) {
        const uint8_t word[2] = {carry, bytes[0]};
        hasCarry = false;
        walk(word, word + 2, offset - 1);
        ++bytes;
        --size;
    }
    const size_t whole = size & ~size_t{1};
    walk(bytes, bytes + whole, dataStart + added - size);
    if (whole != size) {
        carry = bytes[whole];
        hasCarry = true;
    }
}

void IndexBuilder::walk(const uint8_t* begin, const uint8_t* end, uint64_t offsetOfBegin) {
    if (begin == end) return;
    walkBegin = begin;
    walkOffset = offsetOfBegin;
    rowLookedFrom = begin;
    rowWordAt = nullptr;
    countWords(geometry, begin, end, state, events, timeOfInterest,
               [this](const uint8_t* word, uint64_t t) { return onTime(word, t); });
}

bool IndexBuilder::onTime(const uint8_t* word, uint64_t t) {
    if (t == 0) return false;
    if (pendingTime == 0) {
        pendingTime = t;  // the first bookmark stays at the data start
        timeOfInterest = saturatingAdd(t, period);
        return false;
    }
    if (t < pendingTime + period) return false;
    insertPending();
    pendingOffset = walkOffset + static_cast<uint64_t>(word - walkBegin);
    pendingTime = t;
    timeOfInterest = saturatingAdd(t, period);
    pendingCount = events;  // a time word adds no event
    pendingSet = true;

    // The state before this word. The walk keeps the time, the count and the vector state
    // up to date here, but the row only as of the start of the stretch it walks at once: the
    // row in force is that of the last ADDR_Y before the word in this piece, if any.
    for (const uint8_t* q = word; q != rowLookedFrom;) {
        q -= evt3::kWordSize;
        if ((q[1] >> 4) == evt3::ADDR_Y) {
            rowWordAt = q;
            break;
        }
    }
    rowLookedFrom = word;
    pendingState = state;
    if (rowWordAt != nullptr) {
        pendingState.rows.hasRow = true;
        pendingState.rows.row = static_cast<uint16_t>((rowWordAt[0] | (rowWordAt[1] << 8)) & evt3::kMaxCoordinate);
    }
    pendingState.setTime(t);
    return false;
}

void IndexBuilder::insertPending() {
    RawFileReader::Bookmark record;
    record.offset = pendingOffset;
    record.timestamp = pendingTime;
    record.eventIndex = static_cast<uint32_t>(pendingCount);
    // The first record stands at the data start, where the decoder starts from scratch.
    index->add(pendingTime, record, pendingCount, pendingSet ? pendingState : ScanState{});
}

std::unique_ptr<RawFileReader::IndexTable> IndexBuilder::finish() {
    const uint64_t end = dataStart + added;
    // A recording shorter than one bookmark period still needs its data-start record, or
    // the reader would start at the end record and miss every event.
    if (index->size() == 0 && added > 0) insertPending();
    RawFileReader::Bookmark record;
    record.offset = end;
    record.timestamp = state.time();
    // Keys must grow along the file. The last time decoded can fall below the last key when
    // time stands still (or when that key was taken at a TIME_HIGH that, with the old low
    // part, ran ahead of the TIME_LOW after it): the end record then comes just after it.
    if (index->size() > 0 && record.timestamp <= index->keys.back()) record.timestamp = index->keys.back() + 1;
    record.eventIndex = static_cast<uint32_t>(events);
    // The state after the last word; alone (no data) the end record is also the first
    // record, resumed from scratch.
    ScanState endState;
    if (index->size() > 0) {
        endState = state;
        endState.setTime(record.timestamp);
    }
    index->add(record.timestamp, record, events, endState);
    return std::move(index);
}

}  // namespace vireo::detail

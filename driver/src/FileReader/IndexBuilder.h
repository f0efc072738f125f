// Builds the bookmark index of a recording from its data bytes, given piece by piece in file
// order: the reader feeds it the file it indexes, the recorder the buffers it writes.
//
// It follows the decoder's time word by word and counts the events the decoder would
// produce without decoding them (Evt3Scan.h). A bookmark is made each time the decoded time
// has advanced by the bookmark period since the last one, at the time word that sets that
// time; the first stands at the data start, the last ("end record") at the end of the data.
// With each bookmark it keeps the row and vector state in force before that word, so that a
// seek resumes there without looking anywhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "IndexTable.h"

namespace vireo::detail {

class IndexBuilder {
public:
    // For data that begins at byte `dataStartOffset` of its file, on a sensor of geometry `g`.
    IndexBuilder(const ScanGeometry& g, uint64_t dataStartOffset, uint64_t periodUs);

    // The next `size` bytes of the data. Pieces may have any length: a word split between
    // two pieces is walked once both halves are there.
    void add(const uint8_t* bytes, size_t size);

    // Bytes given so far.
    uint64_t bytesAdded() const { return added; }

    // The index of the data given so far; the builder is spent afterwards.
    std::unique_ptr<RawFileReader::IndexTable> finish();

private:
    void walk(const uint8_t* begin, const uint8_t* end, uint64_t offsetOfBegin);
    bool onTime(const uint8_t* word, uint64_t t);
    void insertPending();

    ScanGeometry geometry;
    uint64_t dataStart;
    uint64_t period;
    uint64_t added = 0;
    std::unique_ptr<RawFileReader::IndexTable> index;

    ScanState state;  // the decoder at the data start: nothing known yet
    uint64_t events = 0;
    bool pendingSet = false;  // a bookmark waits for the next one (or the end) to be inserted
    uint64_t pendingOffset;
    uint64_t pendingTime = 0;
    // Time words that set an earlier time than this neither make a bookmark nor set the
    // first bookmark's time: the walk need not stop at them.
    uint64_t timeOfInterest = 1;
    uint64_t pendingCount = 0;
    ScanState pendingState;

    // The piece being walked: its first byte and that byte's offset in the file.
    const uint8_t* walkBegin = nullptr;
    uint64_t walkOffset = 0;
    // The last ADDR_Y found looking back from a bookmark of this piece, and how far back
    // that look went, so that each word of a piece is looked at once at most.
    const uint8_t* rowLookedFrom = nullptr;
    const uint8_t* rowWordAt = nullptr;

    uint8_t carry = 0;  // the first byte of a word split between two pieces
    bool hasCarry = false;
};

}  // namespace vireo::detail

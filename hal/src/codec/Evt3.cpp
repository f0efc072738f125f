// Recovery of the row and vector state at an arbitrary word, by looking backwards. This works
// because every EVT3 word is typed by its own top nibble: a backward scan never mistakes
// the data of a CONTINUED word for an address.
#include <vireo/Evt3.h>

#include <cstring>
#include <stdexcept>

namespace vireo::evt3 {
namespace {

uint16_t wordAt(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

RowState recoverRowState(const uint8_t* begin, const uint8_t* resumeAt) {
    if (resumeAt < begin || (resumeAt - begin) % kWordSize != 0) {
        throw std::invalid_argument(
            "recoverRowState: resumeAt must lie at a whole number of words after begin");
    }
    RowState state;
    // Base advance of the vector words met between the resume point and the VECT_BASE_X
    // found (scanning backwards, they come before the base is found).
    uint32_t vectorAdvance = 0;
    for (const uint8_t* p = resumeAt; p != begin && !(state.hasRow && state.hasVector);) {
        p -= kWordSize;
        const uint16_t word = wordAt(p);
        switch (wordType(word)) {
            case ADDR_Y:
                if (!state.hasRow) {
                    state.hasRow = true;
                    state.row = static_cast<uint16_t>(word & kMaxCoordinate);
                }
                break;
            case VECT_BASE_X:
                if (!state.hasVector) {
                    state.hasVector = true;
                    state.vectorBase = static_cast<uint16_t>((word & kMaxCoordinate) + vectorAdvance);
                    state.vectorPolarity = static_cast<uint8_t>((word >> 11) & 1);
                }
                break;
            case VECT_12:
                vectorAdvance += 12;
                break;
            case VECT_8:
                vectorAdvance += 8;
                break;
            default:
                break;
        }
    }
    return state;
}

}  // namespace vireo::evt3

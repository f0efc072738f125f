// Recovery of the row and vector state at an arbitrary word, by looking backwards (this works
// because every EVT3 word is typed by its own top nibble: a backward scan never mistakes
// the data of a CONTINUED word for an address), and the quick look for words off a sensor.
#include <vireo/Evt3.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vireo::evt3 {
namespace {

uint16_t wordAt(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

bool hasOffSensorWord(const uint8_t* first, const uint8_t* last, uint32_t width, uint32_t height) {
    if (width == 0 || width > kCoordinateRange || height == 0 || height > kCoordinateRange) {
        throw std::invalid_argument("hasOffSensorWord: width and height must lie in 1 .. 2048, got " +
                                    std::to_string(width) + " x " + std::to_string(height));
    }
    if (first == last) return false;
    if (first == nullptr || last == nullptr || last < first) {
        throw std::invalid_argument("hasOffSensorWord: [first, last) is not a valid byte range");
    }
    const uint8_t* p = first;
    const uint8_t* const end = first + ((last - first) / kWordSize) * kWordSize;
    // Without its polarity (or system type) bit an ADDR_Y word is its y and an ADDR_X word
    // is 0x2000 + x: each is off the sensor when that value lies in [lo, lo + span), which
    // one wrapping subtraction and one unsigned comparison tell.
    const uint32_t rowFirst = height;
    const uint32_t rowSpan = kCoordinateRange - height;
    const uint32_t columnFirst = (uint32_t{ADDR_X} << 12) + width;
    const uint32_t columnSpan = kCoordinateRange - width;
#if defined(__SSE2__)
    if constexpr (std::endian::native == std::endian::little) {
        // Eight words at a time; a saturating subtraction is non-zero where a value lies in
        // the range.
        const __m128i payload = _mm_set1_epi16(static_cast<short>(0xF7FF));
        const __m128i rowLo = _mm_set1_epi16(static_cast<short>(rowFirst));
        const __m128i rowN = _mm_set1_epi16(static_cast<short>(rowSpan));
        const __m128i columnLo = _mm_set1_epi16(static_cast<short>(columnFirst));
        const __m128i columnN = _mm_set1_epi16(static_cast<short>(columnSpan));
        while (end - p >= 64) {
            __m128i any = _mm_setzero_si128();
            // Blocks of 4 KiB between checks: a stream with words off the sensor is found
            // out early, a clean one pays one check per block.
            for (const uint8_t* blockEnd = p + std::min<ptrdiff_t>((end - p) & ~ptrdiff_t{63}, 4096); p != blockEnd;
                 p += 16) {
                const __m128i value = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), payload);
                const __m128i offRow = _mm_subs_epu16(rowN, _mm_sub_epi16(value, rowLo));
                const __m128i offColumn = _mm_subs_epu16(columnN, _mm_sub_epi16(value, columnLo));
                any = _mm_or_si128(any, _mm_or_si128(offRow, offColumn));
            }
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(any, _mm_setzero_si128())) != 0xFFFF) return true;
        }
    }
#endif
    for (; p != end; p += kWordSize) {
        const uint32_t value = wordAt(p) & 0xF7FFu;
        if (value - rowFirst < rowSpan || value - columnFirst < columnSpan) return true;
    }
    return false;
}

RowState recoverRowState(const uint8_t* begin, const uint8_t* resumeAt) {
    if (resumeAt < begin || (resumeAt - begin) % kWordSize != 0) {
        throw std::invalid_argument(
            "recoverRowState: resumeAt must lie at a whole number of words after begin");
    }
    RowState state;
    bool vectorFound = false;
    // Base advance of the vector words met between the resume point and the VECT_BASE_X
    // found (scanning backwards, they come before the base is found). It stops growing
    // once it alone carries any base past x 2047, so it cannot wrap.
    uint32_t vectorAdvance = 0;
    for (const uint8_t* p = resumeAt; p != begin && !(state.hasRow && vectorFound);) {
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
                if (!vectorFound) {
                    vectorFound = true;
                    const uint32_t base = (word & kMaxCoordinate) + vectorAdvance;
                    // A run that went past the last column leaves no base in force.
                    if (base <= kMaxCoordinate) {
                        state.hasVector = true;
                        state.vectorBase = static_cast<uint16_t>(base);
                        state.vectorPolarity = static_cast<uint8_t>((word >> 11) & 1);
                    }
                }
                break;
            case VECT_12:
                if (vectorAdvance < kCoordinateRange) vectorAdvance += 12;
                break;
            case VECT_8:
                if (vectorAdvance < kCoordinateRange) vectorAdvance += 8;
                break;
            default:
                break;
        }
    }
    return state;
}

}  // namespace vireo::evt3

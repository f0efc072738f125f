// The EVT 3.0 raw event format in one place: the word types, how a word is built and taken
// apart, the time constants, and the row/vector state that a decoder needs to resume at an
// arbitrary word. Shared by the encoder, the decoder and the simulated cameras so that all
// three agree on every bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include <vireo/hal_export.h>

namespace vireo::evt3 {

// Bits 15..12 of a word: its type. Bits 11..0 are the payload.
enum WordType : uint16_t {
    ADDR_Y = 0x0,        // bits 10..0 row; bit 11 system type (ignored)
    ADDR_X = 0x2,        // bits 10..0 x; bit 11 polarity: one event
    VECT_BASE_X = 0x3,   // bits 10..0 vector base x; bit 11 vector polarity
    VECT_12 = 0x4,       // bits 11..0 validity mask over base .. base + 11; then base += 12
    VECT_8 = 0x5,        // bits 7..0 validity mask over base .. base + 7; then base += 8
    TIME_LOW = 0x6,      // time bits 11..0
    CONTINUED_4 = 0x7,   // 4 bits of data for the preceding OTHERS word
    TIME_HIGH = 0x8,     // time bits 23..12
    EXT_TRIGGER = 0xA,   // bit 0 edge value; bits 11..8 channel id
    OTHERS = 0xE,        // sensor-specific subtype (monitoring ...), no event
    CONTINUED_12 = 0xF,  // 12 bits of data for the preceding OTHERS word
};

inline constexpr uint8_t kWordSize = 2;                    // bytes per word
inline constexpr uint16_t kMaxCoordinate = 0x7FF;          // largest x or y a word can carry
inline constexpr uint32_t kCoordinateRange = 0x800;        // x and y a word can carry: 0 .. 2047
inline constexpr uint32_t kTimeLowBits = 12;               // bits carried by TIME_LOW
inline constexpr uint64_t kTimeHighPeriod = 1u << 12;      // µs per TIME_HIGH step (4096)
inline constexpr uint64_t kTimeRange = 1u << 24;           // µs before the 24-bit time rolls over
inline constexpr uint32_t kRolloverThreshold = 0x800;      // TIME_HIGH backward step that means rollover
inline constexpr uint32_t kMaxEventsPerWord = 12;          // a VECT_12 word with every bit set

// The type nibble of a word.
constexpr uint16_t wordType(uint16_t word) { return static_cast<uint16_t>(word >> 12); }
// The 12-bit payload of a word.
constexpr uint16_t payload(uint16_t word) { return static_cast<uint16_t>(word & 0xFFF); }
// A word from its type and payload (payload bits above 11 are dropped).
constexpr uint16_t makeWord(uint16_t type, uint16_t payloadBits) {
    return static_cast<uint16_t>((type << 12) | (payloadBits & 0xFFF));
}

// The bits of a vector mask whose pixels lie left of column `limit` when bit 0 stands at
// x = `base`: bit i is kept when base + i < limit. Both values are at most 2048; a `base`
// at or past `limit` keeps nothing. Decoders clip masks by this instead of testing each
// event against the sensor width.
constexpr uint32_t vectorClipMask(uint32_t base, uint32_t limit) {
    const uint32_t room = limit > base ? limit - base : 0;
    const uint32_t bits = room < kMaxEventsPerWord ? room : kMaxEventsPerWord;
    return (1u << bits) - 1;
}

// Whether the whole words of [first, last) (little-endian, from `first` on) hold an ADDR_Y
// with y >= height or an ADDR_X with x >= width: a word that puts events off a sensor of
// `width` x `height` pixels (both from 1 to 2048; a vector word is not looked at, its mask
// being clipped instead). Vectorised: meant for a quick look over a whole buffer before a
// loop that then need not test each word. False for an empty range; throws
// std::invalid_argument for a size outside 1 .. 2048 or last before first.
HAL_EXPORT bool hasOffSensorWord(const uint8_t* first, const uint8_t* last, uint32_t width, uint32_t height);

// The row and vector state in force at some word of a stream. The time is not part of it:
// it comes from elsewhere (a bookmark index, `Decoder::resetTimestamp`), because the
// rollover count cannot be read back from the words.
struct RowState {
    bool hasRow = false;         // an ADDR_Y has been seen: `row` is valid
    uint16_t row = 0;
    // A VECT_BASE_X has been seen and the vector words after it have not run past the last
    // column a word can carry (x 2047): `vectorBase` is valid. Once they have, the vector
    // words up to the next VECT_BASE_X carry no pixel and the base is unknown again.
    bool hasVector = false;
    uint16_t vectorBase = 0;     // x of the next vector word's bit 0, 0 .. 2047
    uint8_t vectorPolarity = 0;  // 0 or 1

    friend bool operator==(const RowState&, const RowState&) = default;
};

// Recovers the row and vector state in force just before the word at `resumeAt`, by looking
// back from it towards `begin` for the nearest ADDR_Y and VECT_BASE_X words and replaying the
// base advance of the VECT_12/VECT_8 words between that VECT_BASE_X and `resumeAt`.
// `begin` and `resumeAt` point into one buffer of little-endian words and must be an even
// number of bytes apart (`resumeAt` is a word boundary); throws std::invalid_argument
// otherwise or when `resumeAt` is before `begin`. A part not found in [begin, resumeAt) is
// reported as unknown (`hasRow` / `hasVector` false): look back further, or let the decoder
// wait for the next ADDR_Y / VECT_BASE_X. A vector base that the vector words after the
// nearest VECT_BASE_X carried past x 2047 is reported as unknown too (`hasVector` false),
// as the decoder reports it; looking further back cannot change that.
HAL_EXPORT RowState recoverRowState(const uint8_t* begin, const uint8_t* resumeAt);

}  // namespace vireo::evt3

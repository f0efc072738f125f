// The two files kept beside a recording for its reader:
//
// - the bookmark index ("<name>.dsmark.tmp"): text lines "max_byte:", "sensor_width:" and
//   "sensor_height:", a 0x00 byte, the record count (u64), 29-byte records (key, offset,
//   reserved byte, timestamp, 32-bit event index; little-endian) and a CRC-8 of all that;
// - its companion ("<name>.dsmark.state"): the decoder state (row and vector base) in force
//   at each record, which the index does not hold and which a seek needs to resume there.
//   Magic "VRDSTATE", version (u32), the recording's size (u64), the CRC-32 of the index
//   file it belongs to (u32), the record count (u64), one 5-byte record per bookmark (row
//   u16, vector base u16, flags u8: 1 row known, 2 vector base known, 4 vector polarity,
//   8 time known) and a CRC-32 of everything before it.
//
// Both are written by the reader when it indexes a recording and by the recorder when it
// stops; the reader trusts neither without checking it against the recording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "IndexTable.h"

namespace vireo::detail {

// "<name>.dsmark.tmp" and "<name>.dsmark.state" for the recording "<name>.raw" (the last
// ".raw" of the file name is replaced; a name without one gets the suffix appended, so that
// neither can take the recording's own path).
std::string indexPathFor(const std::string& recordingPath);
std::string companionPathFor(const std::string& recordingPath);

uint8_t crc8(const uint8_t* bytes, size_t size);
uint32_t crc32(const uint8_t* bytes, size_t size);

// The index file of `table` for a recording of `fileSize` bytes and the given geometry.
std::vector<uint8_t> indexFileBytes(const RawFileReader::IndexTable& table, uint64_t fileSize, uint32_t width,
                                    uint32_t height);

// The companion of the index file whose bytes have the CRC-32 `indexCrc`.
std::vector<uint8_t> companionFileBytes(const RawFileReader::IndexTable& table, uint64_t fileSize,
                                        uint32_t indexCrc);

// Reads the states of `table`'s records from companion bytes, checking them against the
// recording's size, the index's CRC-32, the record count, their own CRC-32 and the ranges a
// state can take. Returns false, with the reason in `why`, and leaves `table` as it was when
// any check fails.
bool readCompanion(const std::vector<uint8_t>& bytes, uint64_t fileSize, uint32_t indexCrc,
                   RawFileReader::IndexTable& table, std::string& why);

// Writes `bytes` to `path` (created or truncated). On failure the reason is in `error`, and
// a regular file left half written at `path` is removed.
enum class WriteResult { Written, OpenFailed, WriteFailed };
WriteResult writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

// Reads a regular file whole, up to `maxBytes`; false when it is missing, not a regular
// file, larger or unreadable.
bool readFileBytes(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>& bytes);

// Writes the index and its companion for a recording at `recordingPath`. False with the
// reason in `error` when either cannot be written (a companion is then not left behind).
bool writeIndexFiles(const std::string& recordingPath, const RawFileReader::IndexTable& table, uint64_t fileSize,
                     uint32_t width, uint32_t height, std::string& error);

}  // namespace vireo::detail

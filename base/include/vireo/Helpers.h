// Small text and byte-order helpers used by the camera driver: the local time stamp of RAW
// file headers, zero-padded number formatting, and 16-bit byte swapping of raw buffers.
#pragma once

#include <string>
#include <vector>

#include <vireo/groundwork_export.h>

namespace vireo {

// The local wall-clock time as "YYYY-MM-DD HH:MM:SS" (always 19 characters).
GROUNDWORK_EXPORT std::string getSysTime();

// `value` in upper-case hexadecimal without prefix, zero-padded on the left to `width`
// characters. A negative value prints as its 32-bit two's-complement pattern; a width not
// larger than the digit count adds nothing.
GROUNDWORK_EXPORT std::string hexToString(int value, int width);

// `value` in decimal, zero-padded on the left to `width` characters; the padding goes in
// front of the minus sign ("00-7").
GROUNDWORK_EXPORT std::string intToString(int value, int width);

// Swaps the two bytes of every 16-bit word in place. With an odd length the last byte has
// no partner and stays where it is.
GROUNDWORK_EXPORT void convertEndian(std::vector<unsigned char>& data);

// Swaps the byte at `p` with the byte after it.
GROUNDWORK_EXPORT void swap16(unsigned char* p);

}  // namespace vireo

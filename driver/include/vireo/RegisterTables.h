// The two constant register tables carried by the driver: the IMX636 event sensor's table
// (used by every event camera and by the event side of the fusion camera) and the small
// control table of the fusion camera's frame sensor.
#pragma once

#include <cstddef>

#include <vireo/RegisterInfo.h>
#include <vireo/pipit_export.h>

namespace vireo {

// The IMX636 event-sensor table: 2879 entries (742 registers at 0x0004 to 0xE150, all at
// multiples of 4, 2011 fields and 126 aliases). Register names are bare ("roi_ctrl",
// "erc/t_drop_lut_12"); controllers are handed the prefix "PSEE/IMX636/" beside it.
// Sets `count` to the entry count and returns the first entry; the data is static and
// lives as long as the library.
PIPIT_EXPORT const RegisterInfo* getImx636RegisterTable(std::size_t& count);

// The frame-sensor control table of the fusion camera: 10 entries, registers `aps_ctrl`
// 0x5000 to `aps_blk_level` 0x5004 (addresses step by 1). Its last entry,
// `aps_blk_level_offset`, is typed as a register but carries a bit length (10) and a
// default (50): RegisterMap reads it as the 10-bit field of `aps_blk_level` it describes.
// Sets `count` to the entry count and returns the first entry.
PIPIT_EXPORT const RegisterInfo* getApsCtrlRegisterTable(std::size_t& count);

}  // namespace vireo

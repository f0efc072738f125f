// The frame-sensor control table of the fusion camera: five one-byte-apart registers that
// switch the frame sensor on and set its exposure, shutter sweep, white balance and black
// level. The last entry is kept as the table has always carried it (a register
// entry carrying a field's length and default); RegisterMap gives it its field meaning.
#include <vireo/RegisterTables.h>

namespace vireo {
namespace {

constexpr RegisterInfo kApsCtrlRegisterTable[] = {
    {REGISTER_INFO_REGISTER, "aps_ctrl", 0x5000, 0, 0},
    {REGISTER_INFO_FIELD, "aps_en", 0, 1, 0},
    {REGISTER_INFO_REGISTER, "aps_exposure", 0x5001, 0, 0},
    {REGISTER_INFO_FIELD, "aps_auto_exposure_en", 0, 1, 1},
    {REGISTER_INFO_REGISTER, "aps_shutter", 0x5002, 0, 0},
    {REGISTER_INFO_FIELD, "aps_shutter_sweep_time", 0, 20, 102},
    {REGISTER_INFO_REGISTER, "aps_white_balance", 0x5003, 0, 0},
    {REGISTER_INFO_FIELD, "aps_auto_white_balance_en", 0, 1, 1},
    {REGISTER_INFO_REGISTER, "aps_blk_level", 0x5004, 0, 0},
    {REGISTER_INFO_REGISTER, "aps_blk_level_offset", 0, 10, 50},
};

}  // namespace

const RegisterInfo* getApsCtrlRegisterTable(std::size_t& count) {
    count = sizeof(kApsCtrlRegisterTable) / sizeof(kApsCtrlRegisterTable[0]);
    return kApsCtrlRegisterTable;
}

}  // namespace vireo

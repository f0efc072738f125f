// The few IMX636 registers the simulated sensor decodes, by address and bit. They mirror the
// sensor's register map (the driver's IMX636 table names them; a driver test checks that the
// two agree), because this layer sits below the driver and cannot look names up.
#pragma once

#include <cstdint>

namespace vireo::sim::reg {

// Chip identity, read-only.
inline constexpr uint32_t kChipIdAddress = 0x0014;  // Reserved_0014
inline constexpr uint32_t kChipId = 0xA0401806;

// roi_ctrl: readout and region of interest.
inline constexpr uint32_t kRoiCtrlAddress = 0x0004;
inline constexpr uint32_t kRoiEnableBit = 1u << 1;       // roi_td_en: the window filters events
inline constexpr uint32_t kRoiKeepInsideBit = 1u << 6;   // td_roi_roni_n_en: 1 inside, 0 outside
inline constexpr uint32_t kReadoutEnableBit = 1u << 10;  // px_td_rstn: readout on

// Column and row masks of the window (roi/td_roi_x00.., roi/td_roi_y00..): 32 lines per
// register, a set bit disables its line.
inline constexpr uint32_t kRoiColumnMaskAddress = 0x2000;
inline constexpr uint32_t kRoiColumnMaskCount = 40;
inline constexpr uint32_t kRoiRowMaskAddress = 0x4000;
inline constexpr uint32_t kRoiRowMaskCount = 23;

// Event-rate controller: at most target events per reference period (us) while enabled.
inline constexpr uint32_t kErcReferencePeriodAddress = 0x6008;  // erc/reference_period
inline constexpr uint32_t kErcReferencePeriodMask = 0x3FF;      // erc_reference_period 9:0
inline constexpr uint32_t kErcTargetRateAddress = 0x600C;       // erc/td_target_event_rate
inline constexpr uint32_t kErcTargetRateMask = 0x3FFFFF;        // target_event_rate 21:0
inline constexpr uint32_t kErcEnableAddress = 0x6028;           // erc/erc_enable
inline constexpr uint32_t kErcEnableBit = 1u;                   // erc_en

// External trigger input (edf/trigger_in): edges are reported while enabled.
inline constexpr uint32_t kTriggerInAddress = 0x7004;
inline constexpr uint32_t kTriggerInEnableBit = 1u << 10;  // enable, set at reset

// Readout output and time base.
inline constexpr uint32_t kOutputControlAddress = 0x9028;  // ro/ro_ctrl
inline constexpr uint32_t kOutputDisableBit = 1u << 1;     // output_disable
inline constexpr uint32_t kTimeBaseAddress = 0x9008;       // ro/time_base_ctrl
inline constexpr uint32_t kTimeBaseEnableBit = 1u;         // time_base_enable

// Whether a write to `address` can change how the stream is filtered.
constexpr bool affectsStreamFilter(uint32_t address) {
    return address == kRoiCtrlAddress || address == kErcReferencePeriodAddress || address == kErcTargetRateAddress ||
           address == kErcEnableAddress || address == kTriggerInAddress ||
           (address >= kRoiColumnMaskAddress && address < kRoiColumnMaskAddress + 4 * kRoiColumnMaskCount) ||
           (address >= kRoiRowMaskAddress && address < kRoiRowMaskAddress + 4 * kRoiRowMaskCount);
}

}  // namespace vireo::sim::reg

// Imx415ApsCtrl: the control tool of the fusion camera's IMX415 frame (APS) sensor,
// ToolType 7. It is built from a RegisterController over the frame-sensor control table
// (getApsCtrlRegisterTable) and reads and writes these parameters, listed by getToolInfo in
// ascending string order:
//   "auto_exposure" (bool): aps_auto_exposure_en of aps_exposure;
//   "auto_white_balance" (bool): aps_auto_white_balance_en of aps_white_balance;
//   "black_level" (int, 0 to 1023): aps_blk_level_offset of aps_blk_level;
//   "enable" (bool): aps_en of aps_ctrl, the frame stream on or off;
//   "shutter_sweep_time" (int, 1 to 1048575, in the sensor's line periods): the exposure
//     when auto_exposure is off, aps_shutter_sweep_time of aps_shutter.
// CameraTool.h gives the rules every tool follows.
#pragma once

#include <map>
#include <memory>
#include <string>

#include <vireo/CameraTool.h>

namespace vireo {

class PIPIT_EXPORT Imx415ApsCtrl : public CameraToolRegisterWithCallback {
public:
    explicit Imx415ApsCtrl(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

    // The tool's parameter table: parameter name -> value type ("bool", "int").
    static const std::map<std::string, std::string>& parameterTable();

protected:
    const char* className() const override;
};

}  // namespace vireo

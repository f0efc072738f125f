// The seven tools of every IMX636 event camera, one class per ToolType 0 to 6. Each is built
// from the camera's shared RegisterController, describes itself through getToolInfo and
// reads and writes its parameters in the sensor's registers (CameraTool.h gives the rules
// every tool follows; docs/tools.md has the table of every parameter).
#pragma once

#include <map>
#include <memory>
#include <string>

#include <vireo/CameraTool.h>

namespace vireo {

// Pixel array geometry the window parameters of Imx636ROI are bounded by.
inline constexpr int kImx636Width = 1280;
inline constexpr int kImx636Height = 720;

// ToolType 0: the pixel biases "bias_fo", "bias_hpf", "bias_diff_on", "bias_diff",
// "bias_diff_off", "bias_refr". Each is an int, 0 to 255: the `idac_ctl` field of register
// bias/<name>; a write also sets the register's `single_transfer` bit so the sensor loads the
// new current. Only the int forms of getParam/setParam are its own (other types: false).
class PIPIT_EXPORT Imx636Biases : public CameraToolRegister {
public:
    explicit Imx636Biases(std::shared_ptr<RegisterController> controller);
    using CameraToolRegister::getParam;
    using CameraToolRegister::setParam;

    ToolInfo getToolInfo() const override;
    bool getParam(std::string name, int& value) override;
    bool setParam(std::string name, const int& value) override;

protected:
    const char* className() const override;
};

// ToolType 1: the external trigger input. "enable" (bool): `enable` of edf/trigger_in; when
// false the sensor reports no trigger edges.
class PIPIT_EXPORT Imx636TriggerIn : public CameraToolRegisterWithCallback {
public:
    explicit Imx636TriggerIn(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

protected:
    const char* className() const override;
};

// ToolType 2: time-base synchronisation between cameras. "mode" (enum): "standalone" (own
// time base), "master" (own time base, driven out to the sync pin), "slave" (time base taken
// from the sync pin); fields time_base_mode, external_mode, external_mode_enable of
// ro/time_base_ctrl. The time base's own enable bit is never touched.
class PIPIT_EXPORT Imx636Sync : public CameraToolRegisterWithCallback {
public:
    explicit Imx636Sync(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

protected:
    const char* className() const override;
};

// ToolType 3: the anti-flicker filter. Its parameter names come from its own table
// (parameterTable, name -> value type), listed in ascending string order:
//   "duty_cycle" (int, %), "enable" (bool), "high_frequency" (float, Hz),
//   "low_frequency" (float, Hz), "mode" (enum: band_stop, band_pass),
//   "start_threshold" (int), "stop_threshold" (int).
// The band edges are held as periods in steps of 128 us, so a frequency reads back as the
// nearest one the sensor can hold; low_frequency must stay below high_frequency and
// stop_threshold at or below start_threshold (a value breaking that is refused).
class PIPIT_EXPORT Imx636AntiFlicker : public CameraToolRegisterWithCallback {
public:
    explicit Imx636AntiFlicker(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

    // The tool's parameter table: parameter name -> value type ("bool", "int", "float", "enum").
    static const std::map<std::string, std::string>& parameterTable();

protected:
    const char* className() const override;
};

// ToolType 4: the event trail filter (stc/ registers). "enable" (bool), "threshold" (int, us,
// of the selected type), "type" (enum: "trail", "stc_cut_trail", "stc_keep_trail").
// Changing the type while the filter is off keeps it off.
class PIPIT_EXPORT Imx636EventTrailFilter : public CameraToolRegisterWithCallback {
public:
    explicit Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

protected:
    const char* className() const override;
};

// ToolType 5: event-rate control (ERC). "enable" (bool): erc_en of erc/erc_enable;
// "max_event_rate" (int, events per second, 1000 to 1000000000, held in steps of 1000; reads
// 0 when the reference period register holds 0, which sets no limit):
// a target of events per 1000 us reference period (erc/td_target_event_rate,
// erc/reference_period).
class PIPIT_EXPORT Imx636EventRateControl : public CameraToolRegisterWithCallback {
public:
    explicit Imx636EventRateControl(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

protected:
    const char* className() const override;
};

// ToolType 6: the region of interest. "enable" (bool): roi_td_en of roi_ctrl; "mode" (enum):
// "roi" keeps the events inside the window, "roni" those outside it (td_roi_roni_n_en);
// "x", "y", "x_width", "y_height" (int, pixels): the window, written into the column and
// row masks roi/td_roi_x00..x39 and roi/td_roi_y00..y22 (a set bit disables its line).
// Each coordinate is checked against its own range only (x 0..1279, x_width 1..1280, y
// 0..719, y_height 1..720); a window reaching past the sensor's far edge is clipped there
// when the masks are written, so the four may be set in any order and end on the window
// asked for. Reading gives the window the masks hold: after x = 1000 with the width still
// 1280, x_width reads 280 until a width that fits is set.
class PIPIT_EXPORT Imx636ROI : public CameraToolRegisterWithCallback {
public:
    explicit Imx636ROI(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

protected:
    const char* className() const override;
};

}  // namespace vireo

// The seven tools of every IMX636 event camera, one class per ToolType 0 to 6. Each is built
// from the camera's shared RegisterController and describes itself through getToolInfo;
// CameraTool.h says what parameter access does for now.
#pragma once

#include <map>
#include <memory>
#include <string>

#include <vireo/CameraTool.h>

namespace vireo {

// ToolType 0: the pixel biases. Only the int forms of getParam/setParam are its own.
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

// ToolType 1: the external trigger input.
class PIPIT_EXPORT Imx636TriggerIn : public CameraToolRegisterWithCallback {
public:
    explicit Imx636TriggerIn(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

protected:
    const char* className() const override;
};

// ToolType 2: time-base synchronisation between cameras.
class PIPIT_EXPORT Imx636Sync : public CameraToolRegisterWithCallback {
public:
    explicit Imx636Sync(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

protected:
    const char* className() const override;
};

// ToolType 3: the anti-flicker filter. Its parameter names come from its own table
// (parameterTable, name -> value type), listed in ascending string order:
//   "duty_cycle" (int, %), "enable" (bool), "high_frequency" (int, Hz),
//   "low_frequency" (int, Hz), "mode" (enum: band_pass, band_stop),
//   "start_threshold" (int), "stop_threshold" (int).
class PIPIT_EXPORT Imx636AntiFlicker : public CameraToolRegisterWithCallback {
public:
    explicit Imx636AntiFlicker(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

    // The tool's parameter table: parameter name -> value type ("bool", "int", "enum").
    static const std::map<std::string, std::string>& parameterTable();

protected:
    const char* className() const override;
};

// ToolType 4: the event trail filter.
class PIPIT_EXPORT Imx636EventTrailFilter : public CameraToolRegisterWithCallback {
public:
    explicit Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

protected:
    const char* className() const override;
};

// ToolType 5: event-rate control (ERC).
class PIPIT_EXPORT Imx636EventRateControl : public CameraToolRegisterWithCallback {
public:
    explicit Imx636EventRateControl(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

protected:
    const char* className() const override;
};

// ToolType 6: the region of interest.
class PIPIT_EXPORT Imx636ROI : public CameraToolRegisterWithCallback {
public:
    explicit Imx636ROI(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

protected:
    const char* className() const override;
};

}  // namespace vireo

// Camera tools: objects through which an application reads and changes one group of sensor
// settings (biases, trigger input, region of interest, ...) by parameter name.
//
// The class tree is CameraTool <- CameraToolBasePrivate <- CameraToolRegister <-
// CameraToolRegisterWithCallback. Every concrete tool shares its camera's RegisterController,
// so a parameter written through a tool and a sequence applied by the sensor address the
// same registers.
//
// Parameter access is not supported yet: every getParamInfo, getParam and setParam form
// logs "<class>: parameter access is not supported yet" at warning level and returns
// false, and getAllParamInfo returns an empty map. Each tool's getToolInfo is complete.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <vireo/RegisterController.h>
#include <vireo/ToolInfo.h>
#include <vireo/pipit_export.h>

namespace vireo {

// Descriptions of one parameter, by value type.
struct BasicParameterInfo {
    std::string name;
    std::string description;
};

struct EnumParameterInfo : BasicParameterInfo {
    std::vector<std::string> values;  // accepted values, in display order
    std::string default_value;
};

struct BoolParameterInfo : BasicParameterInfo {
    bool default_value = false;
};

struct FloatParameterInfo : BasicParameterInfo {
    float min = 0.0f;
    float max = 0.0f;
    float default_value = 0.0f;
};

struct IntParameterInfo : BasicParameterInfo {
    int min = 0;
    int max = 0;
    int default_value = 0;
};

class PIPIT_EXPORT CameraTool {
public:
    virtual ~CameraTool();

    // The tool's kind, parameter names and description; a fresh record on every call.
    virtual ToolInfo getToolInfo() const = 0;

    // Every parameter's description, by name.
    virtual std::map<std::string, BasicParameterInfo> getAllParamInfo();

    // The description of parameter `name`; false when the tool has no such parameter of
    // that type (nothing is written to `info` then).
    virtual bool getParamInfo(std::string name, EnumParameterInfo& info);
    virtual bool getParamInfo(std::string name, BoolParameterInfo& info);
    virtual bool getParamInfo(std::string name, FloatParameterInfo& info);
    virtual bool getParamInfo(std::string name, IntParameterInfo& info);

    // Reads parameter `name` into `value`; false when it cannot be read as that type.
    virtual bool getParam(std::string name, std::string& value);
    virtual bool getParam(std::string name, bool& value);
    virtual bool getParam(std::string name, float& value);
    virtual bool getParam(std::string name, int& value);

    // Writes parameter `name`; false when the tool has no such parameter of that type or
    // the value is out of range.
    virtual bool setParam(std::string name, const std::string& value);
    virtual bool setParam(std::string name, const char* value);
    virtual bool setParam(std::string name, const bool& value);
    virtual bool setParam(std::string name, const double& value);
    virtual bool setParam(std::string name, const float& value);
    virtual bool setParam(std::string name, const int& value);

protected:
    CameraTool() = default;
    CameraTool(const CameraTool&) = default;
    CameraTool& operator=(const CameraTool&) = default;

    // Logs that parameter access is not available for `name` and returns false.
    bool notSupported(const std::string& name) const;
    // The class name used in messages.
    virtual const char* className() const;
};

class PIPIT_EXPORT CameraToolBasePrivate : public CameraTool {
public:
    using CameraTool::getParamInfo;
    std::map<std::string, BasicParameterInfo> getAllParamInfo() override;
    bool getParamInfo(std::string name, EnumParameterInfo& info) override;
    bool getParamInfo(std::string name, BoolParameterInfo& info) override;
    bool getParamInfo(std::string name, FloatParameterInfo& info) override;
    bool getParamInfo(std::string name, IntParameterInfo& info) override;
};

// A tool that reaches the sensor through a register controller.
class PIPIT_EXPORT CameraToolRegister : public CameraToolBasePrivate {
public:
    // `controller` must not be empty (std::invalid_argument otherwise).
    explicit CameraToolRegister(std::shared_ptr<RegisterController> controller);

    const std::shared_ptr<RegisterController>& getRegisterController() const { return controller_; }

protected:
    std::shared_ptr<RegisterController> controller_;
};

// A register tool whose parameters are read and written through per-parameter handlers.
class PIPIT_EXPORT CameraToolRegisterWithCallback : public CameraToolRegister {
public:
    using CameraToolRegister::CameraToolRegister;
    using CameraToolRegister::getParam;
    using CameraToolRegister::getParamInfo;
    using CameraToolRegister::setParam;

    bool getParamInfo(std::string name, EnumParameterInfo& info) override;
    bool getParamInfo(std::string name, BoolParameterInfo& info) override;
    bool getParamInfo(std::string name, FloatParameterInfo& info) override;
    bool getParamInfo(std::string name, IntParameterInfo& info) override;

    bool getParam(std::string name, std::string& value) override;
    bool getParam(std::string name, bool& value) override;
    bool getParam(std::string name, float& value) override;
    bool getParam(std::string name, int& value) override;

    bool setParam(std::string name, const std::string& value) override;
    bool setParam(std::string name, const char* value) override;
    bool setParam(std::string name, const bool& value) override;
    bool setParam(std::string name, const float& value) override;
    bool setParam(std::string name, const int& value) override;
};

}  // namespace vireo

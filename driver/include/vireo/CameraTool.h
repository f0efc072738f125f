// Camera tools: objects through which an application reads and changes one group of sensor
// settings (biases, trigger input, region of interest, ...) by parameter name.
//
// The class tree is CameraTool <- CameraToolBasePrivate <- CameraToolRegister <-
// CameraToolRegisterWithCallback. CameraToolBasePrivate keeps the tool's parameter
// descriptions; CameraToolRegister reaches the sensor through the camera's shared
// RegisterController, so a parameter written through a tool and a sequence applied by the
// sensor address the same registers; CameraToolRegisterWithCallback dispatches each
// parameter to a getter and a setter the concrete tool registers.
//
// Parameters are typed: enum (read and written as std::string), bool, float or int. A call
// with another value type than the parameter's, with an unknown name or with a value out of
// range (or not among an enum's values) returns false, logs one warning line and writes
// nothing. getParam reads the device's registers on every call: nothing is cached, so the
// value read is what the sensor holds, including changes made by sensor sequences.
//
// Conversions kept on purpose: setParam(name, const char*) is the enum form with a C string
// (a null pointer is refused); setParam(name, double) exists so that a literal like 1.5 reaches
// a float parameter: a finite double within float range is rounded to the nearest float and
// passed to the float form. No other conversion happens: an int does not reach a float
// parameter and a double does not reach an int parameter (both return false), because a
// silently truncated or widened setting is worse than a refused one.
//
// Thread safety: one tool serialises its own calls, so a parameter that spans several
// registers is never seen half written through the same tool.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <vireo/RegisterController.h>
#include <vireo/ToolInfo.h>
#include <vireo/pipit_export.h>

namespace vireo {

// The value type of a parameter.
enum class ParameterType { Enum, Bool, Float, Int };

// The printable name of a parameter type: "enum", "bool", "float" or "int".
PIPIT_EXPORT const char* parameterTypeName(ParameterType type);

// Descriptions of one parameter, by value type.
struct BasicParameterInfo {
    std::string name;
    std::string description;  // one line: meaning, unit, register effect
    ParameterType type = ParameterType::Int;
};

struct EnumParameterInfo : BasicParameterInfo {
    EnumParameterInfo() { type = ParameterType::Enum; }
    std::vector<std::string> values;  // accepted values, in display order
    std::string default_value;        // the value after the sensor's reset
};

struct BoolParameterInfo : BasicParameterInfo {
    BoolParameterInfo() { type = ParameterType::Bool; }
    bool default_value = false;
};

struct FloatParameterInfo : BasicParameterInfo {
    FloatParameterInfo() { type = ParameterType::Float; }
    float min = 0.0f;  // inclusive bounds
    float max = 0.0f;
    float default_value = 0.0f;
};

struct IntParameterInfo : BasicParameterInfo {
    IntParameterInfo() { type = ParameterType::Int; }
    int min = 0;  // inclusive bounds
    int max = 0;
    int default_value = 0;
};

class PIPIT_EXPORT CameraTool {
public:
    virtual ~CameraTool();

    // The tool's kind, parameter names and description; a fresh record on every call.
    virtual ToolInfo getToolInfo() const = 0;

    // Every parameter's description (name, text, value type), by name.
    virtual std::map<std::string, BasicParameterInfo> getAllParamInfo();

    // The description of parameter `name`; false when the tool has no such parameter of
    // that type (nothing is written to `info` then).
    virtual bool getParamInfo(std::string name, EnumParameterInfo& info);
    virtual bool getParamInfo(std::string name, BoolParameterInfo& info);
    virtual bool getParamInfo(std::string name, FloatParameterInfo& info);
    virtual bool getParamInfo(std::string name, IntParameterInfo& info);

    // Reads parameter `name` from the device into `value`; false when the tool has no such
    // parameter of that type or the device cannot be read (`value` is left as it was).
    virtual bool getParam(std::string name, std::string& value);
    virtual bool getParam(std::string name, bool& value);
    virtual bool getParam(std::string name, float& value);
    virtual bool getParam(std::string name, int& value);

    // Writes parameter `name` to the device; false when the tool has no such parameter of
    // that type, the value is out of range or the device refused a write. A refused value
    // writes nothing. The const char* and double forms convert as the file comment says.
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

    // Logs "<class>: <message> (parameter "<name>")" at warning level and returns false.
    bool refuse(const std::string& name, const std::string& message) const;
    // The class name used in messages.
    virtual const char* className() const;
};

// Keeps the tool's parameter descriptions and answers getAllParamInfo/getParamInfo.
class PIPIT_EXPORT CameraToolBasePrivate : public CameraTool {
public:
    using CameraTool::getParamInfo;
    std::map<std::string, BasicParameterInfo> getAllParamInfo() override;
    bool getParamInfo(std::string name, EnumParameterInfo& info) override;
    bool getParamInfo(std::string name, BoolParameterInfo& info) override;
    bool getParamInfo(std::string name, FloatParameterInfo& info) override;
    bool getParamInfo(std::string name, IntParameterInfo& info) override;

protected:
    using ParameterInfo =
        std::variant<EnumParameterInfo, BoolParameterInfo, FloatParameterInfo, IntParameterInfo>;

    // Adds (or replaces) the description of one parameter, keyed by its name.
    void addParameterInfo(ParameterInfo info);
    // The description of `name`, or null.
    const ParameterInfo* findParameterInfo(const std::string& name) const;
    // The descriptions, ordered by name.
    const std::map<std::string, ParameterInfo>& parameterInfos() const { return parameters_; }

    // Checks `value` against `info` (range, enum membership); false (logged) when refused.
    bool checkValue(const IntParameterInfo& info, int value) const;
    bool checkValue(const FloatParameterInfo& info, float value) const;
    bool checkValue(const EnumParameterInfo& info, const std::string& value) const;

private:
    std::map<std::string, ParameterInfo> parameters_;
};

// A tool that reaches the sensor through a register controller.
class PIPIT_EXPORT CameraToolRegister : public CameraToolBasePrivate {
public:
    // `controller` must not be empty (std::invalid_argument otherwise).
    explicit CameraToolRegister(std::shared_ptr<RegisterController> controller);

    const std::shared_ptr<RegisterController>& getRegisterController() const { return controller_; }

protected:
    // One field's value for writeFields.
    struct FieldValue {
        std::string field;
        uint32_t value = 0;
    };

    // The field `field` of register `reg`, looked up in the controller's map; null when absent.
    const Register::Field* findField(const std::string& reg, const std::string& field) const;
    // The reset value of a field (0 when the register map has no such field).
    uint32_t fieldDefault(const std::string& reg, const std::string& field) const;
    // Reads one field from the device, right-aligned.
    std::optional<uint32_t> readField(const std::string& reg, const std::string& field) const;
    // Reads register `reg` once, replaces the listed fields and writes it back once. Every
    // field is looked up before anything is written: an unknown field writes nothing.
    bool writeFields(const std::string& reg, const std::vector<FieldValue>& fields);

    std::shared_ptr<RegisterController> controller_;
    // Serialises this tool's parameter access (a parameter may span several registers).
    mutable std::recursive_mutex mutex_;
};

// A register tool whose parameters are read and written through per-parameter handlers,
// registered by the concrete tool with addParameter.
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

protected:
    // A parameter value; the alternatives follow ParameterInfo's order (enum as string).
    using Value = std::variant<std::string, bool, float, int>;
    // Reads the parameter from the device; std::nullopt when the device cannot be read.
    using Getter = std::function<std::optional<Value>()>;
    // Writes a value already checked against the description (type, range, enum values);
    // may refuse further (a bound that depends on another parameter) and then writes nothing.
    using Setter = std::function<bool(const Value&)>;

    // Registers a parameter: its description and its two handlers.
    void addParameter(ParameterInfo info, Getter get, Setter set);

private:
    struct Handlers {
        Getter get;
        Setter set;
    };
    bool getValue(const std::string& name, std::size_t index, Value& value);
    bool setValue(const std::string& name, const Value& value);

    std::map<std::string, Handlers> handlers_;
};

}  // namespace vireo

// Small builders shared by the tool implementations: the ToolInfo record and the parameter
// descriptions, so each tool's constructor reads as its parameter table.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <vireo/CameraTool.h>
#include <vireo/ToolInfo.h>

namespace vireo::tools {

inline ToolInfo makeToolInfo(ToolType type, std::vector<std::string> parameters, const char* description) {
    ToolInfo info;
    info.type = type;
    info.parameters = std::move(parameters);
    info.description = description;
    return info;
}

inline BoolParameterInfo boolParameter(std::string name, std::string description, bool default_value) {
    BoolParameterInfo info;
    info.name = std::move(name);
    info.description = std::move(description);
    info.default_value = default_value;
    return info;
}

// A numeric parameter: IntParameterInfo or FloatParameterInfo with its range and default.
template <class Info, class Number>
Info rangeParameter(std::string name, std::string description, Number min, Number max, Number default_value) {
    Info info;
    info.name = std::move(name);
    info.description = std::move(description);
    info.min = min;
    info.max = max;
    info.default_value = default_value;
    return info;
}

inline IntParameterInfo intParameter(std::string name, std::string description, int min, int max,
                                     int default_value) {
    return rangeParameter<IntParameterInfo>(std::move(name), std::move(description), min, max, default_value);
}

inline FloatParameterInfo floatParameter(std::string name, std::string description, float min, float max,
                                         float default_value) {
    return rangeParameter<FloatParameterInfo>(std::move(name), std::move(description), min, max, default_value);
}

inline EnumParameterInfo enumParameter(std::string name, std::string description,
                                       std::vector<std::string> values, std::string default_value) {
    EnumParameterInfo info;
    info.name = std::move(name);
    info.description = std::move(description);
    info.values = std::move(values);
    info.default_value = std::move(default_value);
    return info;
}

}  // namespace vireo::tools

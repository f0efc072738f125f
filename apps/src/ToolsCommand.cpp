// vireo tools [SERIAL | --simulate]: a camera's tools and their parameters with the values
// the sensor holds now, each with its type, range (or accepted values) and reset default.
// Without a serial the first connected camera is used; --simulate plugs a simulated
// VireoHeron in for the listing. No camera is an error with a hint, as in vireo record.
#include <cstdio>
#include <stdexcept>
#include <string>

#include <vireo/SimulatedCamera.h>
#include <vireo/pipit.h>

#include "CameraChoice.h"
#include "CommandLine.h"
#include "Commands.h"

namespace vireo::app {

namespace {

std::string formatFloat(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", static_cast<double>(value));
    return text;
}

// "[min, max], default d".
std::string rangeText(const std::string& min, const std::string& max, const std::string& default_value) {
    std::string text("[");
    text.append(min).append(", ").append(max).append("], default ").append(default_value);
    return text;
}

// "<current>" and "<range>, default <default>" of one parameter; current is "?" when the
// sensor cannot be read.
std::pair<std::string, std::string> describe(CameraTool& tool, const std::string& name, ParameterType type) {
    switch (type) {
        case ParameterType::Bool: {
            BoolParameterInfo info;
            bool value = false;
            tool.getParamInfo(name, info);
            const bool read = tool.getParam(name, value);
            return {read ? (value ? "true" : "false") : "?",
                    std::string("true | false, default ") + (info.default_value ? "true" : "false")};
        }
        case ParameterType::Int: {
            IntParameterInfo info;
            int value = 0;
            tool.getParamInfo(name, info);
            const bool read = tool.getParam(name, value);
            return {read ? std::to_string(value) : "?",
                    rangeText(std::to_string(info.min), std::to_string(info.max), std::to_string(info.default_value))};
        }
        case ParameterType::Float: {
            FloatParameterInfo info;
            float value = 0;
            tool.getParamInfo(name, info);
            const bool read = tool.getParam(name, value);
            return {read ? formatFloat(value) : "?",
                    rangeText(formatFloat(info.min), formatFloat(info.max), formatFloat(info.default_value))};
        }
        case ParameterType::Enum: {
            EnumParameterInfo info;
            std::string value;
            tool.getParamInfo(name, info);
            const bool read = tool.getParam(name, value);
            std::string values;
            for (const auto& v : info.values) {
                if (!values.empty()) values.append(" | ");
                values.append(v);
            }
            values.append(", default ").append(info.default_value);
            return {read ? value : "?", values};
        }
    }
    return {"?", ""};
}

}  // namespace

int runTools(const Arguments& args) {
    const CommandLine line(args, {}, {"simulate"});
    constexpr const char* kToolsUsage = "vireo tools [SERIAL | --simulate]";
    line.expectPositionals(0, 1, kToolsUsage);
    const bool simulate = line.hasFlag("simulate");
    if (simulate && !line.positionals().empty()) throw UsageError("SERIAL and --simulate exclude each other");

    DvsCameraManager manager;
    // The simulated camera leaves with the command, whatever happens.
    const ChosenCamera chosen(manager, line.positionals().empty() ? std::string() : line.positionals()[0], simulate);
    const std::string& serial = chosen.serial();
    if (chosen.simulated()) std::printf("plugged in a simulated VireoHeron, serial %s\n", serial.c_str());

    auto camera = manager.openCamera(serial);
    if (!camera) throw std::runtime_error("the event camera \"" + serial + "\" was found but could not be opened");
    const CameraDescription desc = camera->getDvsDesc();
    std::printf("camera %s (%s)\n", serial.c_str(), desc.simulated ? "simulated" : "usb");

    for (const auto& info : camera->getAllToolsInfo()) {
        std::printf("\n%d  %s\n", static_cast<int>(info.type), info.description.c_str());
        auto tool = camera->getTool(info.type);
        const auto described = tool->getAllParamInfo();
        for (const auto& name : info.parameters) {
            const auto found = described.find(name);
            if (found == described.end()) {
                std::printf("   %-18s (not described)\n", name.c_str());
                continue;
            }
            const auto [current, range] = describe(*tool, name, found->second.type);
            std::printf("   %-18s %-5s %-14s %s\n", name.c_str(), parameterTypeName(found->second.type),
                        current.c_str(), range.c_str());
        }
    }
    return 0;
}

}  // namespace vireo::app

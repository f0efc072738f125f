// Imx636TriggerIn: the external trigger input, on or off.
#include <vireo/Imx636Tools.h>

#include "ToolSupport.h"

namespace vireo {

namespace {
constexpr const char* kRegister = "edf/trigger_in";
}

Imx636TriggerIn::Imx636TriggerIn(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    addParameter(
        tools::boolParameter("enable", "report the edges of the trigger input (enable of edf/trigger_in)",
                             fieldDefault(kRegister, "enable") != 0),
        [this]() -> std::optional<Value> {
            const auto enabled = readField(kRegister, "enable");
            if (!enabled) return std::nullopt;
            return Value(std::in_place_index<1>, *enabled != 0);
        },
        [this](const Value& value) {
            return writeFields(kRegister, {{"enable", std::get<bool>(value) ? 1u : 0u}});
        });
}

const char* Imx636TriggerIn::className() const { return "Imx636TriggerIn"; }

ToolInfo Imx636TriggerIn::getToolInfo() const {
    return tools::makeToolInfo(TOOL_TRIGGER_IN, {"enable"}, "Trigger in of DVS cameras with IMX636 sensors");
}

}  // namespace vireo

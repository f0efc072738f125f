// Imx636Sync: how the sensor's time base is shared with other cameras through the sync pin.
//
// The three modes as fields of ro/time_base_ctrl:
//   standalone: external_mode_enable 0 (time_base_mode 0, external_mode 0)
//   master:     external_mode_enable 1, external_mode 1, time_base_mode 0 (own time base,
//               sent out)
//   slave:      external_mode_enable 1, external_mode 0, time_base_mode 1 (time base taken in)
// Reading decodes external_mode_enable first, then time_base_mode, so any field combination
// reads as one of the three modes.
#include <vireo/Imx636Tools.h>

#include "ToolSupport.h"

namespace vireo {

namespace {
constexpr const char* kRegister = "ro/time_base_ctrl";
}

Imx636Sync::Imx636Sync(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    addParameter(
        tools::enumParameter("mode",
                             "time-base synchronisation: own clock, clock sent to or taken from the sync pin "
                             "(ro/time_base_ctrl)",
                             {"standalone", "master", "slave"}, "standalone"),
        [this]() -> std::optional<Value> {
            const auto enabled = readField(kRegister, "external_mode_enable");
            const auto external = readField(kRegister, "time_base_mode");
            if (!enabled || !external) return std::nullopt;
            const char* mode = *enabled == 0 ? "standalone" : (*external != 0 ? "slave" : "master");
            return Value(std::in_place_index<0>, mode);
        },
        [this](const Value& value) {
            const std::string& mode = std::get<std::string>(value);
            const uint32_t enable = mode == "standalone" ? 0u : 1u;
            const uint32_t slave = mode == "slave" ? 1u : 0u;
            const uint32_t master = mode == "master" ? 1u : 0u;
            return writeFields(kRegister, {{"time_base_mode", slave},
                                           {"external_mode", master},
                                           {"external_mode_enable", enable}});
        });
}

const char* Imx636Sync::className() const { return "Imx636Sync"; }

ToolInfo Imx636Sync::getToolInfo() const {
    return tools::makeToolInfo(TOOL_SYNC, {"mode"}, "Sync of DVS cameras with IMX636 sensors");
}

}  // namespace vireo

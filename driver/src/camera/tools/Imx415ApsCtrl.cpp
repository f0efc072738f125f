// Imx415ApsCtrl: the frame sensor's control tool, over the fusion camera's APS control table.
#include <vireo/Imx415ApsCtrl.h>

#include "ToolSupport.h"

namespace vireo {

namespace {

struct ApsParameter {
    const char* name;
    const char* reg;
    const char* field;
    const char* description;
    bool isBool;
    int min;
    int max;
};

constexpr ApsParameter kParameters[] = {
    {"auto_exposure", "aps_exposure", "aps_auto_exposure_en", "automatic exposure (aps_auto_exposure_en of aps_exposure)",
     true, 0, 1},
    {"auto_white_balance", "aps_white_balance", "aps_auto_white_balance_en",
     "automatic white balance (aps_auto_white_balance_en of aps_white_balance)", true, 0, 1},
    {"black_level", "aps_blk_level", "aps_blk_level_offset", "black level offset (aps_blk_level_offset of aps_blk_level)",
     false, 0, 1023},
    {"enable", "aps_ctrl", "aps_en", "frame stream on (aps_en of aps_ctrl)", true, 0, 1},
    {"shutter_sweep_time", "aps_shutter", "aps_shutter_sweep_time",
     "exposure while auto_exposure is off, in line periods (aps_shutter_sweep_time of aps_shutter)", false, 1,
     (1 << 20) - 1},
};

}  // namespace

const std::map<std::string, std::string>& Imx415ApsCtrl::parameterTable() {
    static const std::map<std::string, std::string> table = [] {
        std::map<std::string, std::string> t;
        for (const auto& p : kParameters) t.emplace(p.name, p.isBool ? "bool" : "int");
        return t;
    }();
    return table;
}

Imx415ApsCtrl::Imx415ApsCtrl(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    for (const auto& p : kParameters) {
        const uint32_t reset = fieldDefault(p.reg, p.field);
        const ParameterInfo info = p.isBool ? ParameterInfo(tools::boolParameter(p.name, p.description, reset != 0))
                                            : ParameterInfo(tools::intParameter(p.name, p.description, p.min, p.max,
                                                                                static_cast<int>(reset)));
        addParameter(
            info,
            [this, p]() -> std::optional<Value> {
                const auto read = readField(p.reg, p.field);
                if (!read) return std::nullopt;
                if (p.isBool) return Value(std::in_place_index<1>, *read != 0);
                return Value(std::in_place_index<3>, static_cast<int>(*read));
            },
            [this, p](const Value& value) {
                const uint32_t raw = p.isBool ? (std::get<bool>(value) ? 1u : 0u)
                                              : static_cast<uint32_t>(std::get<int>(value));
                return writeFields(p.reg, {{p.field, raw}});
            });
    }
}

const char* Imx415ApsCtrl::className() const { return "Imx415ApsCtrl"; }

ToolInfo Imx415ApsCtrl::getToolInfo() const {
    std::vector<std::string> names;
    for (const auto& entry : parameterTable()) names.push_back(entry.first);
    return tools::makeToolInfo(TOOL_APS_CTRL, std::move(names), "Ctrl of APS cameras with IMX415 sonsors");
}

}  // namespace vireo

// Imx636Biases: the six pixel biases, each the `idac_ctl` current setting of its register
// in the bias/ block.
#include <vireo/Imx636Tools.h>

#include "ToolSupport.h"

namespace vireo {
namespace {

struct BiasEntry {
    const char* name;
    const char* description;
};

// In the order getToolInfo lists them.
constexpr BiasEntry kBiases[] = {
    {"bias_fo", "photoreceptor follower current: low-pass cut-off of the pixel front end"},
    {"bias_hpf", "high-pass filter current: suppresses slow brightness changes"},
    {"bias_diff_on", "ON contrast threshold, above bias_diff"},
    {"bias_diff", "reference level of the contrast comparators"},
    {"bias_diff_off", "OFF contrast threshold, below bias_diff"},
    {"bias_refr", "refractory period current: dead time of a pixel after an event"},
};

std::string registerOf(const std::string& name) { return "bias/" + name; }

}  // namespace

Imx636Biases::Imx636Biases(std::shared_ptr<RegisterController> controller)
    : CameraToolRegister(std::move(controller)) {
    for (const auto& bias : kBiases) {
        const std::string reg = registerOf(bias.name);
        addParameterInfo(tools::intParameter(
            bias.name, std::string(bias.description) + " (idac_ctl of " + reg + ")", 0, 255,
            static_cast<int>(fieldDefault(reg, "idac_ctl"))));
    }
}

const char* Imx636Biases::className() const { return "Imx636Biases"; }

ToolInfo Imx636Biases::getToolInfo() const {
    return tools::makeToolInfo(TOOL_BIASES,
                               {"bias_fo", "bias_hpf", "bias_diff_on", "bias_diff", "bias_diff_off", "bias_refr"},
                               "Biases of DVS cameras with IMX636 sensor");
}

bool Imx636Biases::getParam(std::string name, int& value) {
    const ParameterInfo* info = findParameterInfo(name);
    if (info == nullptr || std::get_if<IntParameterInfo>(info) == nullptr) {
        return refuse(name, "no int parameter of that name");
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto read = readField(registerOf(name), "idac_ctl");
    if (!read) return refuse(name, "the device cannot be read");
    value = static_cast<int>(*read);
    return true;
}

bool Imx636Biases::setParam(std::string name, const int& value) {
    const ParameterInfo* info = findParameterInfo(name);
    const auto* intInfo = info == nullptr ? nullptr : std::get_if<IntParameterInfo>(info);
    if (intInfo == nullptr) return refuse(name, "no int parameter of that name");
    if (!checkValue(*intInfo, value)) return false;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // The current is loaded into the bias generator when single_transfer is set with it.
    return writeFields(registerOf(name), {{"idac_ctl", static_cast<uint32_t>(value)}, {"single_transfer", 1}});
}

}  // namespace vireo

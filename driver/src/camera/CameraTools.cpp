// The camera tool classes: the shared bases and the seven IMX636 tools' self-descriptions.
// Parameter access reports that it is not supported yet (false, logged at warning level).
#include <vireo/CameraTool.h>
#include <vireo/Imx636Tools.h>

#include <stdexcept>

#include <vireo/Logger.h>

namespace vireo {

CameraTool::~CameraTool() = default;

const char* CameraTool::className() const { return "CameraTool"; }

bool CameraTool::notSupported(const std::string& name) const {
    VIREO_LOG_WARN("%s: parameter access is not supported yet (parameter \"%s\")", className(),
                   name.c_str());
    return false;
}

std::map<std::string, BasicParameterInfo> CameraTool::getAllParamInfo() { return {}; }
bool CameraTool::getParamInfo(std::string name, EnumParameterInfo&) { return notSupported(name); }
bool CameraTool::getParamInfo(std::string name, BoolParameterInfo&) { return notSupported(name); }
bool CameraTool::getParamInfo(std::string name, FloatParameterInfo&) { return notSupported(name); }
bool CameraTool::getParamInfo(std::string name, IntParameterInfo&) { return notSupported(name); }
bool CameraTool::getParam(std::string name, std::string&) { return notSupported(name); }
bool CameraTool::getParam(std::string name, bool&) { return notSupported(name); }
bool CameraTool::getParam(std::string name, float&) { return notSupported(name); }
bool CameraTool::getParam(std::string name, int&) { return notSupported(name); }
bool CameraTool::setParam(std::string name, const std::string&) { return notSupported(name); }
bool CameraTool::setParam(std::string name, const char*) { return notSupported(name); }
bool CameraTool::setParam(std::string name, const bool&) { return notSupported(name); }
bool CameraTool::setParam(std::string name, const double&) { return notSupported(name); }
bool CameraTool::setParam(std::string name, const float&) { return notSupported(name); }
bool CameraTool::setParam(std::string name, const int&) { return notSupported(name); }

std::map<std::string, BasicParameterInfo> CameraToolBasePrivate::getAllParamInfo() { return {}; }
bool CameraToolBasePrivate::getParamInfo(std::string name, EnumParameterInfo&) { return notSupported(name); }
bool CameraToolBasePrivate::getParamInfo(std::string name, BoolParameterInfo&) { return notSupported(name); }
bool CameraToolBasePrivate::getParamInfo(std::string name, FloatParameterInfo&) { return notSupported(name); }
bool CameraToolBasePrivate::getParamInfo(std::string name, IntParameterInfo&) { return notSupported(name); }

CameraToolRegister::CameraToolRegister(std::shared_ptr<RegisterController> controller)
    : controller_(std::move(controller)) {
    if (!controller_) throw std::invalid_argument("CameraToolRegister: controller must not be empty");
}

bool CameraToolRegisterWithCallback::getParamInfo(std::string name, EnumParameterInfo&) { return notSupported(name); }
bool CameraToolRegisterWithCallback::getParamInfo(std::string name, BoolParameterInfo&) { return notSupported(name); }
bool CameraToolRegisterWithCallback::getParamInfo(std::string name, FloatParameterInfo&) { return notSupported(name); }
bool CameraToolRegisterWithCallback::getParamInfo(std::string name, IntParameterInfo&) { return notSupported(name); }
bool CameraToolRegisterWithCallback::getParam(std::string name, std::string&) { return notSupported(name); }
bool CameraToolRegisterWithCallback::getParam(std::string name, bool&) { return notSupported(name); }
bool CameraToolRegisterWithCallback::getParam(std::string name, float&) { return notSupported(name); }
bool CameraToolRegisterWithCallback::getParam(std::string name, int&) { return notSupported(name); }
bool CameraToolRegisterWithCallback::setParam(std::string name, const std::string&) { return notSupported(name); }
bool CameraToolRegisterWithCallback::setParam(std::string name, const char*) { return notSupported(name); }
bool CameraToolRegisterWithCallback::setParam(std::string name, const bool&) { return notSupported(name); }
bool CameraToolRegisterWithCallback::setParam(std::string name, const float&) { return notSupported(name); }
bool CameraToolRegisterWithCallback::setParam(std::string name, const int&) { return notSupported(name); }

namespace {

ToolInfo makeInfo(ToolType type, std::vector<std::string> parameters, const char* description) {
    ToolInfo info;
    info.type = type;
    info.parameters = std::move(parameters);
    info.description = description;
    return info;
}

}  // namespace

Imx636Biases::Imx636Biases(std::shared_ptr<RegisterController> controller)
    : CameraToolRegister(std::move(controller)) {}
const char* Imx636Biases::className() const { return "Imx636Biases"; }
ToolInfo Imx636Biases::getToolInfo() const {
    return makeInfo(TOOL_BIASES,
                    {"bias_fo", "bias_hpf", "bias_diff_on", "bias_diff", "bias_diff_off", "bias_refr"},
                    "Biases of DVS cameras with IMX636 sensor");
}
bool Imx636Biases::getParam(std::string name, int&) { return notSupported(name); }
bool Imx636Biases::setParam(std::string name, const int&) { return notSupported(name); }

Imx636TriggerIn::Imx636TriggerIn(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {}
const char* Imx636TriggerIn::className() const { return "Imx636TriggerIn"; }
ToolInfo Imx636TriggerIn::getToolInfo() const {
    return makeInfo(TOOL_TRIGGER_IN, {"enable"}, "Trigger in of DVS cameras with IMX636 sensors");
}

Imx636Sync::Imx636Sync(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {}
const char* Imx636Sync::className() const { return "Imx636Sync"; }
ToolInfo Imx636Sync::getToolInfo() const {
    return makeInfo(TOOL_SYNC, {"mode"}, "Sync of DVS cameras with IMX636 sensors");
}

Imx636AntiFlicker::Imx636AntiFlicker(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {}
const char* Imx636AntiFlicker::className() const { return "Imx636AntiFlicker"; }
const std::map<std::string, std::string>& Imx636AntiFlicker::parameterTable() {
    static const std::map<std::string, std::string> table{
        {"enable", "bool"},         {"mode", "enum"},          {"low_frequency", "int"},
        {"high_frequency", "int"},  {"duty_cycle", "int"},     {"start_threshold", "int"},
        {"stop_threshold", "int"},
    };
    return table;
}
ToolInfo Imx636AntiFlicker::getToolInfo() const {
    // The table is ordered by key, so its walk gives the names in ascending string order.
    std::vector<std::string> names;
    for (const auto& entry : parameterTable()) names.push_back(entry.first);
    return makeInfo(TOOL_ANTI_FLICKER, std::move(names), "Anti flicker of DVS cameras with IMX636 sensor.");
}

Imx636EventTrailFilter::Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {}
const char* Imx636EventTrailFilter::className() const { return "Imx636EventTrailFilter"; }
ToolInfo Imx636EventTrailFilter::getToolInfo() const {
    return makeInfo(TOOL_EVENT_TRAIL_FILTER, {"enable", "threshold", "type"},
                    "Event Trail Filter of DVS cameras with IMX636 sensor");
}

Imx636EventRateControl::Imx636EventRateControl(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {}
const char* Imx636EventRateControl::className() const { return "Imx636EventRateControl"; }
ToolInfo Imx636EventRateControl::getToolInfo() const {
    return makeInfo(TOOL_EVENT_RATE_CONTROL, {"enable", "max_event_rate"},
                    "ERC of DVS cameras with IMX636 sensor");
}

Imx636ROI::Imx636ROI(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {}
const char* Imx636ROI::className() const { return "Imx636ROI"; }
ToolInfo Imx636ROI::getToolInfo() const {
    return makeInfo(TOOL_ROI, {"enable", "mode", "x", "y", "x_width", "y_height"},
                    "ROI of DVS cameras with IMX636 sensor");
}

}  // namespace vireo

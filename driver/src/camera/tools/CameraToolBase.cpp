// The shared bases of the camera tools: the default answers of CameraTool (no parameter of
// that type), the parameter descriptions of CameraToolBasePrivate, register access of
// CameraToolRegister and the handler dispatch of CameraToolRegisterWithCallback.
#include <vireo/CameraTool.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include <vireo/Logger.h>

namespace vireo {

const char* parameterTypeName(ParameterType type) {
    switch (type) {
        case ParameterType::Enum: return "enum";
        case ParameterType::Bool: return "bool";
        case ParameterType::Float: return "float";
        case ParameterType::Int: return "int";
    }
    return "unknown";
}

// ---- CameraTool ----

CameraTool::~CameraTool() = default;

const char* CameraTool::className() const { return "CameraTool"; }

bool CameraTool::refuse(const std::string& name, const std::string& message) const {
    VIREO_LOG_WARN("%s: %s (parameter \"%s\")", className(), message.c_str(), name.c_str());
    return false;
}

std::map<std::string, BasicParameterInfo> CameraTool::getAllParamInfo() { return {}; }
bool CameraTool::getParamInfo(std::string name, EnumParameterInfo&) { return refuse(name, "no enum parameter of that name"); }
bool CameraTool::getParamInfo(std::string name, BoolParameterInfo&) { return refuse(name, "no bool parameter of that name"); }
bool CameraTool::getParamInfo(std::string name, FloatParameterInfo&) { return refuse(name, "no float parameter of that name"); }
bool CameraTool::getParamInfo(std::string name, IntParameterInfo&) { return refuse(name, "no int parameter of that name"); }
bool CameraTool::getParam(std::string name, std::string&) { return refuse(name, "no enum parameter of that name"); }
bool CameraTool::getParam(std::string name, bool&) { return refuse(name, "no bool parameter of that name"); }
bool CameraTool::getParam(std::string name, float&) { return refuse(name, "no float parameter of that name"); }
bool CameraTool::getParam(std::string name, int&) { return refuse(name, "no int parameter of that name"); }
bool CameraTool::setParam(std::string name, const std::string&) { return refuse(name, "no enum parameter of that name"); }
bool CameraTool::setParam(std::string name, const bool&) { return refuse(name, "no bool parameter of that name"); }
bool CameraTool::setParam(std::string name, const float&) { return refuse(name, "no float parameter of that name"); }
bool CameraTool::setParam(std::string name, const int&) { return refuse(name, "no int parameter of that name"); }

bool CameraTool::setParam(std::string name, const char* value) {
    if (value == nullptr) return refuse(name, "a null string is not a value");
    return setParam(std::move(name), std::string(value));
}

bool CameraTool::setParam(std::string name, const double& value) {
    // A double literal (1.5) is how callers naturally write a float setting; it is accepted
    // for float parameters only, rounded to the nearest float.
    if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max()) {
        return refuse(name, "the value is not a finite float");
    }
    const float asFloat = static_cast<float>(value);
    return setParam(std::move(name), asFloat);
}

// ---- CameraToolBasePrivate ----

namespace {

template <class Table, class Info>
bool copyInfo(const Table& table, const std::string& name, Info& info) {
    const auto found = table.find(name);
    if (found == table.end()) return false;
    const Info* typed = std::get_if<Info>(&found->second);
    if (typed == nullptr) return false;
    info = *typed;
    return true;
}

}  // namespace

void CameraToolBasePrivate::addParameterInfo(ParameterInfo info) {
    const std::string name = std::visit([](const auto& i) { return i.name; }, info);
    parameters_.insert_or_assign(name, std::move(info));
}

const CameraToolBasePrivate::ParameterInfo* CameraToolBasePrivate::findParameterInfo(
    const std::string& name) const {
    const auto found = parameters_.find(name);
    return found == parameters_.end() ? nullptr : &found->second;
}

std::map<std::string, BasicParameterInfo> CameraToolBasePrivate::getAllParamInfo() {
    std::map<std::string, BasicParameterInfo> all;
    for (const auto& [name, info] : parameters_) {
        all.emplace(name, std::visit([](const auto& i) { return static_cast<BasicParameterInfo>(i); }, info));
    }
    return all;
}

bool CameraToolBasePrivate::getParamInfo(std::string name, EnumParameterInfo& info) {
    return copyInfo(parameters_, name, info) || refuse(name, "no enum parameter of that name");
}
bool CameraToolBasePrivate::getParamInfo(std::string name, BoolParameterInfo& info) {
    return copyInfo(parameters_, name, info) || refuse(name, "no bool parameter of that name");
}
bool CameraToolBasePrivate::getParamInfo(std::string name, FloatParameterInfo& info) {
    return copyInfo(parameters_, name, info) || refuse(name, "no float parameter of that name");
}
bool CameraToolBasePrivate::getParamInfo(std::string name, IntParameterInfo& info) {
    return copyInfo(parameters_, name, info) || refuse(name, "no int parameter of that name");
}

bool CameraToolBasePrivate::checkValue(const IntParameterInfo& info, int value) const {
    if (value < info.min || value > info.max) {
        return refuse(info.name, "value " + std::to_string(value) + " is outside [" + std::to_string(info.min) +
                                     ", " + std::to_string(info.max) + "]");
    }
    return true;
}

bool CameraToolBasePrivate::checkValue(const FloatParameterInfo& info, float value) const {
    if (!std::isfinite(value) || value < info.min || value > info.max) {
        return refuse(info.name, "value " + std::to_string(value) + " is outside [" + std::to_string(info.min) +
                                     ", " + std::to_string(info.max) + "]");
    }
    return true;
}

bool CameraToolBasePrivate::checkValue(const EnumParameterInfo& info, const std::string& value) const {
    for (const auto& accepted : info.values) {
        if (accepted == value) return true;
    }
    std::string list;
    for (const auto& accepted : info.values) list += (list.empty() ? "" : ", ") + accepted;
    return refuse(info.name, "value \"" + value + "\" is not one of " + list);
}

// ---- CameraToolRegister ----

CameraToolRegister::CameraToolRegister(std::shared_ptr<RegisterController> controller)
    : controller_(std::move(controller)) {
    if (!controller_) throw std::invalid_argument("CameraToolRegister: controller must not be empty");
}

const Register::Field* CameraToolRegister::findField(const std::string& reg, const std::string& field) const {
    return controller_->getRegisterMap().find_field(reg, field);
}

uint32_t CameraToolRegister::fieldDefault(const std::string& reg, const std::string& field) const {
    const Register::Field* found = findField(reg, field);
    return found == nullptr ? 0u : found->get_default_value();
}

std::optional<uint32_t> CameraToolRegister::readField(const std::string& reg, const std::string& field) const {
    return controller_->readRegisterField(reg, field);
}

bool CameraToolRegister::writeFields(const std::string& reg, const std::vector<FieldValue>& fields) {
    const Register* found = controller_->getRegisterMap().find(reg);
    if (found == nullptr) return refuse(reg, "the register map has no such register");
    std::vector<const Register::Field*> resolved;
    resolved.reserve(fields.size());
    for (const auto& f : fields) {
        const Register::Field* field = found->find_field(f.field);
        if (field == nullptr) return refuse(reg, "the register has no field " + f.field);
        resolved.push_back(field);
    }
    const auto current = controller_->readRegister(found->get_address());
    if (!current) return refuse(reg, "the register cannot be read");
    uint32_t value = *current;
    for (size_t i = 0; i < fields.size(); ++i) value = resolved[i]->insert_into(value, fields[i].value);
    return controller_->writeRegister(found->get_address(), value);
}

// ---- CameraToolRegisterWithCallback ----

void CameraToolRegisterWithCallback::addParameter(ParameterInfo info, Getter get, Setter set) {
    const std::string name = std::visit([](const auto& i) { return i.name; }, info);
    addParameterInfo(std::move(info));
    handlers_.insert_or_assign(name, Handlers{std::move(get), std::move(set)});
}

bool CameraToolRegisterWithCallback::getParamInfo(std::string name, EnumParameterInfo& info) {
    return CameraToolRegister::getParamInfo(std::move(name), info);
}
bool CameraToolRegisterWithCallback::getParamInfo(std::string name, BoolParameterInfo& info) {
    return CameraToolRegister::getParamInfo(std::move(name), info);
}
bool CameraToolRegisterWithCallback::getParamInfo(std::string name, FloatParameterInfo& info) {
    return CameraToolRegister::getParamInfo(std::move(name), info);
}
bool CameraToolRegisterWithCallback::getParamInfo(std::string name, IntParameterInfo& info) {
    return CameraToolRegister::getParamInfo(std::move(name), info);
}

bool CameraToolRegisterWithCallback::getValue(const std::string& name, std::size_t index, Value& value) {
    static const char* const kTypeNames[] = {"enum", "bool", "float", "int"};
    const ParameterInfo* info = findParameterInfo(name);
    const auto handler = handlers_.find(name);
    if (info == nullptr || handler == handlers_.end() || info->index() != index) {
        return refuse(name, std::string("no ") + kTypeNames[index] + " parameter of that name");
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto read = handler->second.get();
    if (!read || read->index() != index) return refuse(name, "the device cannot be read");
    value = *read;
    return true;
}

bool CameraToolRegisterWithCallback::setValue(const std::string& name, const Value& value) {
    static const char* const kTypeNames[] = {"enum", "bool", "float", "int"};
    const ParameterInfo* info = findParameterInfo(name);
    const auto handler = handlers_.find(name);
    if (info == nullptr || handler == handlers_.end() || info->index() != value.index()) {
        return refuse(name, std::string("no ") + kTypeNames[value.index()] + " parameter of that name");
    }
    bool valid = true;
    if (const auto* e = std::get_if<EnumParameterInfo>(info)) valid = checkValue(*e, std::get<std::string>(value));
    if (const auto* f = std::get_if<FloatParameterInfo>(info)) valid = checkValue(*f, std::get<float>(value));
    if (const auto* i = std::get_if<IntParameterInfo>(info)) valid = checkValue(*i, std::get<int>(value));
    if (!valid) return false;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return handler->second.set(value);
}

template <class T>
static bool readAs(bool ok, const std::variant<std::string, bool, float, int>& read, T& out) {
    if (ok) out = std::get<T>(read);
    return ok;
}

bool CameraToolRegisterWithCallback::getParam(std::string name, std::string& value) {
    Value read;
    return readAs(getValue(name, 0, read), read, value);
}
bool CameraToolRegisterWithCallback::getParam(std::string name, bool& value) {
    Value read;
    return readAs(getValue(name, 1, read), read, value);
}
bool CameraToolRegisterWithCallback::getParam(std::string name, float& value) {
    Value read;
    return readAs(getValue(name, 2, read), read, value);
}
bool CameraToolRegisterWithCallback::getParam(std::string name, int& value) {
    Value read;
    return readAs(getValue(name, 3, read), read, value);
}

bool CameraToolRegisterWithCallback::setParam(std::string name, const std::string& value) {
    return setValue(name, Value(std::in_place_index<0>, value));
}
bool CameraToolRegisterWithCallback::setParam(std::string name, const char* value) {
    if (value == nullptr) return refuse(name, "a null string is not a value");
    return setValue(name, Value(std::in_place_index<0>, std::string(value)));
}
bool CameraToolRegisterWithCallback::setParam(std::string name, const bool& value) {
    return setValue(name, Value(std::in_place_index<1>, value));
}
bool CameraToolRegisterWithCallback::setParam(std::string name, const float& value) {
    return setValue(name, Value(std::in_place_index<2>, value));
}
bool CameraToolRegisterWithCallback::setParam(std::string name, const int& value) {
    return setValue(name, Value(std::in_place_index<3>, value));
}

}  // namespace vireo

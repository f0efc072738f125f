// RegisterController: names to addresses and bits, then the device's transport.
#include <vireo/RegisterController.h>

#include <chrono>
#include <thread>

#include <vireo/Logger.h>

namespace vireo {

RegisterController::RegisterController(std::shared_ptr<Interface> interface,
                                       const RegisterInfo* table, std::size_t count,
                                       std::string prefix)
    : interface_(std::move(interface)), map_(table, count), prefix_(std::move(prefix)) {}

const Register* RegisterController::lookup(const std::string& register_name) const {
    const Register* reg = map_.find(register_name);
    if (reg == nullptr && !prefix_.empty() && register_name.size() > prefix_.size() &&
        register_name.compare(0, prefix_.size(), prefix_) == 0) {
        reg = map_.find(register_name.substr(prefix_.size()));
    }
    if (reg == nullptr) VIREO_LOG_ERROR("RegisterController: unknown register %s", register_name.c_str());
    return reg;
}

bool RegisterController::writeRegister(uint32_t address, uint32_t value) {
    if (!interface_) return false;
    return interface_->writeRegister(address, value);
}

bool RegisterController::writeRegister(const std::string& register_name, uint32_t value) {
    const Register* reg = lookup(register_name);
    return reg != nullptr && writeRegister(reg->get_address(), value);
}

bool RegisterController::writeRegisterWithControlTransfer(const std::string& register_name,
                                                          uint32_t value) {
    return writeRegister(register_name, value);
}

std::optional<uint32_t> RegisterController::readRegister(uint32_t address) {
    if (!interface_) return std::nullopt;
    try {
        const auto words = interface_->readRegisters(address, 1);
        if (words.size() != 1) return std::nullopt;
        return words[0];
    } catch (const std::exception& error) {
        VIREO_LOG_DEBUG("Register read at 0x%08X failed: %s", address, error.what());
        return std::nullopt;
    }
}

std::optional<uint32_t> RegisterController::readRegister(const std::string& register_name) {
    const Register* reg = lookup(register_name);
    if (reg == nullptr) return std::nullopt;
    return readRegister(reg->get_address());
}

std::optional<uint32_t> RegisterController::readRegisterField(const std::string& register_name,
                                                              const std::string& field_name) {
    const Register* reg = lookup(register_name);
    if (reg == nullptr) return std::nullopt;
    const Register::Field* field = reg->find_field(field_name);
    if (field == nullptr) {
        VIREO_LOG_ERROR("RegisterController: register %s has no field %s", register_name.c_str(),
                        field_name.c_str());
        return std::nullopt;
    }
    const auto value = readRegister(reg->get_address());
    if (!value) return std::nullopt;
    return field->extract_from(*value);
}

bool RegisterController::writeRegisterField(const std::string& register_name,
                                            const std::string& field_name, uint32_t value) {
    const Register* reg = lookup(register_name);
    if (reg == nullptr) return false;
    const Register::Field* field = reg->find_field(field_name);
    if (field == nullptr) {
        VIREO_LOG_ERROR("RegisterController: register %s has no field %s", register_name.c_str(),
                        field_name.c_str());
        return false;
    }
    const auto current = readRegister(reg->get_address());
    if (!current) return false;
    return writeRegister(reg->get_address(), field->insert_into(*current, value));
}

bool RegisterController::ApplyRegisterOperationSequence(
    const std::vector<RegisterOperation>& operations) {
    const bool skipPauses = interface_ && interface_->skipsPauses();
    bool ok = true;
    for (const auto& op : operations) {
        switch (op.kind) {
            case RegisterOperation::kWrite:
                ok = writeRegister(op.address, op.value) && ok;
                break;
            case RegisterOperation::kMaskedWrite:
                ok = interface_ && interface_->writeRegisterMasked(op.address, op.value, op.mask) && ok;
                break;
            case RegisterOperation::kPause:
                if (!skipPauses) std::this_thread::sleep_for(std::chrono::microseconds(op.delay));
                break;
            default:
                VIREO_LOG_ERROR("RegisterController: unknown register operation kind %u", op.kind);
                ok = false;
                break;
        }
    }
    return ok;
}

}  // namespace vireo

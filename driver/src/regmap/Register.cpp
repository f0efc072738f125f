// Register and Register::Field: names, bit positions, masks and aliases, and the pure
// bit arithmetic of reading and writing one field inside a 32-bit register value.
#include <vireo/Register.h>

#include <stdexcept>

namespace vireo {

std::uint32_t Register::Field::make_mask(std::uint8_t start, std::uint8_t len) {
    // Computed in 64 bits so that a 32-bit-wide field (or one reaching past bit 31) needs
    // no shift by the full width, which C++ leaves undefined.
    if (len == 0 || start >= 32) {
        return 0;
    }
    const std::uint64_t bits = (len >= 64) ? ~std::uint64_t{0} : ((std::uint64_t{1} << len) - 1);
    return static_cast<std::uint32_t>((bits << start) & 0xFFFFFFFFu);
}

Register::Field::Field() = default;

Register::Field::Field(const std::string& name, std::uint8_t start, std::uint8_t len,
                       std::uint32_t default_value,
                       const std::map<std::string, std::uint32_t>& aliases)
    : name_(name),
      start_(start),
      len_(len),
      mask_(make_mask(start, len)),
      default_value_(default_value),
      aliases_(aliases) {}

void Register::Field::set_start(std::uint8_t start) {
    start_ = start;
    mask_ = make_mask(start_, len_);
}

void Register::Field::set_len(std::uint8_t len) {
    len_ = len;
    mask_ = make_mask(start_, len_);
}

void Register::Field::add_alias(const std::string& name, std::uint32_t value) {
    aliases_[name] = value;
}

bool Register::Field::find_alias(const std::string& name, std::uint32_t& value) const {
    const auto it = aliases_.find(name);
    if (it == aliases_.end()) {
        return false;
    }
    value = it->second;
    return true;
}

std::uint32_t Register::Field::insert_into(std::uint32_t register_value,
                                           std::uint32_t field_value) const {
    if (mask_ == 0) {
        return register_value;
    }
    // mask_ != 0 implies start_ < 32, so the shift is defined.
    const std::uint32_t shifted = static_cast<std::uint32_t>(field_value << start_);
    return (register_value & ~mask_) | (shifted & mask_);
}

std::uint32_t Register::Field::extract_from(std::uint32_t register_value) const {
    if (mask_ == 0) {
        return 0;
    }
    return (register_value & mask_) >> start_;
}

Register::Register() = default;

Register::Register(const std::string& name, std::uint32_t address)
    : name_(name), address_(address) {}

const Register::Field& Register::operator[](const std::string& field_name) const {
    const auto it = fields_.find(field_name);
    if (it == fields_.end()) {
        throw std::runtime_error("Register: Field not found");
    }
    return it->second;
}

const Register::Field* Register::find_field(const std::string& field_name) const {
    const auto it = fields_.find(field_name);
    return it == fields_.end() ? nullptr : &it->second;
}

bool Register::add_field(const Field& field) {
    return fields_.emplace(field.get_name(), field).second;
}

bool Register::add_field_alias(const std::string& field_name, const std::string& alias_name,
                               std::uint32_t value) {
    const auto it = fields_.find(field_name);
    if (it == fields_.end()) {
        return false;
    }
    it->second.add_alias(alias_name, value);
    return true;
}

std::uint32_t Register::get_default_value() const {
    std::uint32_t value = 0;
    for (const auto& [name, field] : fields_) {
        value = field.insert_into(value, field.get_default_value());
    }
    return value;
}

std::uint32_t Register::get_described_mask() const {
    std::uint32_t mask = 0;
    for (const auto& [name, field] : fields_) {
        mask |= field.get_mask();
    }
    return mask;
}

}  // namespace vireo

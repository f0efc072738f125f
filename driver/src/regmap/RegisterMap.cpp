// RegisterMap: builds the searchable register map from a constant table, checking that the
// table describes a device (ordered entries, unique names and addresses, fields inside the
// 32 bits of their register), and answers lookups by name and by address.
#include <vireo/RegisterMap.h>

#include <stdexcept>
#include <string>

namespace vireo {
namespace {

[[noreturn]] void tableError(std::size_t index, const std::string& what) {
    throw std::invalid_argument("RegisterMap: table entry " + std::to_string(index) + ": " +
                                what);
}

std::string quoted(const char* name) { return std::string("\"") + name + "\""; }

}  // namespace

RegisterMap::RegisterMap(const RegisterInfo* table, std::size_t count) {
    if (table == nullptr && count > 0) {
        throw std::invalid_argument("RegisterMap: table is null but count is " +
                                    std::to_string(count));
    }

    // The register being filled and the field that aliases attach to. Registers are
    // assembled completely before they enter the map, so the map never holds a register
    // whose later entries failed.
    Register current;
    std::size_t current_index = 0;
    bool have_register = false;
    std::string current_field;
    bool have_field = false;

    RegisterMap built;
    auto flush = [&]() {
        if (have_register && !built.add_register(current)) {
            tableError(current_index, "register " + quoted(current.get_name().c_str()) +
                                  " repeats a name or an address already in the table");
        }
    };

    for (std::size_t i = 0; i < count; ++i) {
        const RegisterInfo& entry = table[i];
        if (entry.name == nullptr) {
            tableError(i, "name is null");
        }
        std::uint32_t kind = entry.kind;
        // A register entry carrying a bit length describes a field of the register before it.
        if (kind == REGISTER_INFO_REGISTER && entry.value_b != 0) {
            kind = REGISTER_INFO_FIELD;
        }
        switch (kind) {
            case REGISTER_INFO_REGISTER:
                flush();
                current = Register(entry.name, entry.value_a);
                current_index = i;
                have_register = true;
                have_field = false;
                break;
            case REGISTER_INFO_FIELD: {
                if (!have_register) {
                    tableError(i, "field " + quoted(entry.name) + " comes before any register");
                }
                if (entry.value_a > 32 || entry.value_b > 32 ||
                    entry.value_a + entry.value_b > 32) {
                    tableError(i, "field " + quoted(entry.name) + " (first bit " +
                                      std::to_string(entry.value_a) + ", length " +
                                      std::to_string(entry.value_b) +
                                      ") does not fit in bits 0..31");
                }
                const Register::Field field(entry.name, static_cast<std::uint8_t>(entry.value_a),
                                            static_cast<std::uint8_t>(entry.value_b),
                                            entry.value_c);
                if (!current.add_field(field)) {
                    tableError(i, "field " + quoted(entry.name) + " appears twice in register " +
                                      quoted(current.get_name().c_str()));
                }
                current_field = entry.name;
                have_field = true;
                break;
            }
            case REGISTER_INFO_ALIAS:
                if (!have_field) {
                    tableError(i, "alias " + quoted(entry.name) + " comes before any field");
                }
                current.add_field_alias(current_field, entry.name, entry.value_a);
                break;
            default:
                tableError(i, "unknown kind " + std::to_string(entry.kind));
        }
    }
    flush();
    *this = std::move(built);
}

const Register& RegisterMap::operator[](const std::string& register_name) const {
    const auto it = registers_.find(register_name);
    if (it == registers_.end()) {
        throw std::runtime_error("RegisterController: Register not found");
    }
    return it->second;
}

const Register* RegisterMap::find(const std::string& register_name) const {
    const auto it = registers_.find(register_name);
    return it == registers_.end() ? nullptr : &it->second;
}

const Register* RegisterMap::find_by_address(std::uint32_t address) const {
    const auto it = by_address_.find(address);
    return it == by_address_.end() ? nullptr : find(it->second);
}

const Register::Field* RegisterMap::find_field(const std::string& register_name,
                                               const std::string& field_name) const {
    const Register* reg = find(register_name);
    return reg == nullptr ? nullptr : reg->find_field(field_name);
}

bool RegisterMap::add_register(const Register& reg) {
    if (registers_.count(reg.get_name()) != 0 || by_address_.count(reg.get_address()) != 0) {
        return false;
    }
    registers_.emplace(reg.get_name(), reg);
    by_address_.emplace(reg.get_address(), reg.get_name());
    return true;
}

}  // namespace vireo

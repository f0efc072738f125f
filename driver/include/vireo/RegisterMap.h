// RegisterMap: every register of one device, searchable by name and by address. It is
// built from a constant register table (vireo/RegisterTables.h) and is what a register
// controller consults to turn a register or field name into an address and a bit mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <vireo/Register.h>
#include <vireo/RegisterInfo.h>
#include <vireo/pipit_export.h>

namespace vireo {

class PIPIT_EXPORT RegisterMap {
public:
    // An empty map.
    RegisterMap() = default;

    // Builds the map from `count` entries of `table`, which must follow the table order: a
    // register entry, then its fields, each field followed by its aliases. Names are kept
    // as the table spells them (no prefix is added or removed).
    //
    // A register entry that carries a bit length (value_b above 0) is not a register but a
    // field of the register before it (start value_a, length value_b, default value_c):
    // the frame-sensor table describes the black-level offset that way, and taking it as a
    // register would put it at address 0.
    //
    // Throws std::invalid_argument, naming the entry index and the problem, for a table
    // that cannot describe a device: a null table with a non-zero count, a null name, an
    // unknown kind, a field before any register, an alias before any field, a register
    // name or an address used twice, a field name used twice in one register, or a field
    // that does not fit in bits 0..31. Nothing is kept from a table that throws.
    RegisterMap(const RegisterInfo* table, std::size_t count);

    // The register named `register_name` (exact, case-sensitive). Throws
    // std::runtime_error "RegisterController: Register not found" when absent; nothing is
    // created by a failed lookup.
    const Register& operator[](const std::string& register_name) const;

    // The register named `register_name`, or nullptr.
    const Register* find(const std::string& register_name) const;

    // The register at `address`, or nullptr when no register of the map sits there.
    const Register* find_by_address(std::uint32_t address) const;

    // The field `field_name` of register `register_name`, or nullptr when either is absent.
    const Register::Field* find_field(const std::string& register_name,
                                      const std::string& field_name) const;

    // Adds a register. Returns false and changes nothing when its name or its address is
    // already taken.
    bool add_register(const Register& reg);

    bool contains(const std::string& register_name) const {
        return find(register_name) != nullptr;
    }
    std::size_t size() const { return registers_.size(); }
    bool empty() const { return registers_.empty(); }

    // All registers, ordered by name.
    const std::map<std::string, Register>& get_registers() const { return registers_; }
    std::map<std::string, Register>::const_iterator begin() const { return registers_.begin(); }
    std::map<std::string, Register>::const_iterator end() const { return registers_.end(); }

private:
    std::map<std::string, Register> registers_;
    // Address to register name: a name rather than a pointer, so copies stay valid.
    std::map<std::uint32_t, std::string> by_address_;
};

}  // namespace vireo

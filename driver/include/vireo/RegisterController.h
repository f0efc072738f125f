// RegisterController: register access by name for one device. It pairs the device's
// transport with the register map built from a constant register table, so that callers
// write "field F of register R" and the controller performs the read-modify-write of the
// right bits at the right address.
//
// Names: registers are looked up by the names of the table ("ro/time_base_ctrl"). The
// controller's prefix ("PSEE/IMX636/" for the event sensor) names the device family; a
// name that starts with the prefix is accepted too and the prefix is removed before the
// lookup, so "PSEE/IMX636/ro/time_base_ctrl" and "ro/time_base_ctrl" are the same register.
//
// Failures: an unknown register or field is logged at error level and nothing is written;
// a transfer that fails (the device is gone) is logged at debug level. Both return false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <vireo/Interface.h>
#include <vireo/RegisterInfo.h>
#include <vireo/RegisterMap.h>
#include <vireo/RegisterOperation.h>
#include <vireo/pipit_export.h>

namespace vireo {

class PIPIT_EXPORT RegisterController {
public:
    // Builds the register map from `count` entries of `table` (throws std::invalid_argument
    // for a malformed table, as RegisterMap does) over `interface`, which may be empty for a
    // controller that only answers lookups (every write then fails).
    RegisterController(std::shared_ptr<Interface> interface, const RegisterInfo* table,
                       std::size_t count, std::string prefix);

    RegisterController(const RegisterController&) = default;
    RegisterController& operator=(const RegisterController&) = default;
    RegisterController(RegisterController&&) = default;
    RegisterController& operator=(RegisterController&&) = default;

    const RegisterMap& getRegisterMap() const { return map_; }
    const std::string& getPrefix() const { return prefix_; }
    const std::shared_ptr<Interface>& getInterface() const { return interface_; }

    // Writes `value` into field `field_name` of register `register_name`: reads the
    // register, replaces the field's bits with `value` masked to the field's length, and
    // writes the register back.
    bool writeRegisterField(const std::string& register_name, const std::string& field_name,
                            uint32_t value);

    // Writes a whole register, by name or by address (any address: sequences reach
    // registers outside the table).
    bool writeRegister(const std::string& register_name, uint32_t value);
    bool writeRegister(uint32_t address, uint32_t value);

    // Reads a whole register, by name or by address; std::nullopt when the name is unknown
    // or the device cannot be read.
    std::optional<uint32_t> readRegister(const std::string& register_name);
    std::optional<uint32_t> readRegister(uint32_t address);

    // Reads one field, right-aligned; std::nullopt as for readRegister.
    std::optional<uint32_t> readRegisterField(const std::string& register_name,
                                              const std::string& field_name);

    // Applies the operations in order: kind 2 writes, kind 3 masked writes, kind 4 pauses
    // for `delay` microseconds (skipped when the device says pauses are not needed). An
    // operation of another kind is logged and skipped. Returns false when any write failed
    // or any operation was skipped; the sequence always runs to its end.
    bool ApplyRegisterOperationSequence(const std::vector<RegisterOperation>& operations);

    // Writes a whole register by name in one control transfer (the frame sensor's register
    // access); the same result rules as writeRegister.
    bool writeRegisterWithControlTransfer(const std::string& register_name, uint32_t value);

private:
    // The register a caller's name designates, with the prefix removed; logs when unknown.
    const Register* lookup(const std::string& register_name) const;

    std::shared_ptr<Interface> interface_;
    RegisterMap map_;
    std::string prefix_;
};

}  // namespace vireo

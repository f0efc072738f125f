// The register model: a `Register` is a named 32-bit sensor register at an address, made of
// named bit fields (`Register::Field`), each with a reset default and optional named values
// (aliases). The model keeps no register contents: it describes registers so that a
// controller can turn "write 3 into field F of register R" into a read-modify-write of the
// right bits at the right address. The bit arithmetic lives here as pure functions on a
// 32-bit register value (`Field::insert_into`, `Field::extract_from`).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <vireo/pipit_export.h>

namespace vireo {

class PIPIT_EXPORT Register {
public:
    // One bit field of a register: bits start .. start+len-1 of the 32-bit value.
    class PIPIT_EXPORT Field {
    public:
        // Empty name, start, length and default 0, no aliases (and so an empty mask).
        Field();

        // Stores the values, copies the alias map and computes the mask. Bits at or above
        // bit 32 do not exist in a register and never enter the mask: a field reaching past
        // bit 31 is cut at bit 31, and one starting at 32 or above has an empty mask.
        Field(const std::string& name, std::uint8_t start, std::uint8_t len,
              std::uint32_t default_value,
              const std::map<std::string, std::uint32_t>& aliases = {});

        Field(const Field&) = default;
        Field& operator=(const Field&) = default;
        Field(Field&&) = default;
        Field& operator=(Field&&) = default;

        const std::string& get_name() const { return name_; }
        std::uint8_t get_start() const { return start_; }
        std::uint8_t get_len() const { return len_; }
        // The bits the field covers within the register, e.g. 0x00000FF0 for start 4, len 8.
        std::uint32_t get_mask() const { return mask_; }
        // The reset value of the field, right-aligned (not shifted to `start`).
        std::uint32_t get_default_value() const { return default_value_; }
        const std::map<std::string, std::uint32_t>& get_aliases() const { return aliases_; }

        // Store the first bit or the bit count and recompute the mask (len 0: empty mask).
        void set_start(std::uint8_t start);
        void set_len(std::uint8_t len);

        // Inserts the alias, or overwrites its value when the name exists (one entry kept).
        void add_alias(const std::string& name, std::uint32_t value);

        // Looks up an alias by exact name: true and `value` set when found, false and
        // `value` untouched otherwise.
        bool find_alias(const std::string& name, std::uint32_t& value) const;

        // `register_value` with this field's bits replaced by `field_value`. The field value
        // is masked to the field's length (its higher bits are dropped); bits outside the
        // field are kept. This is the modify step of a read-modify-write.
        std::uint32_t insert_into(std::uint32_t register_value, std::uint32_t field_value) const;

        // This field's bits of `register_value`, right-aligned.
        std::uint32_t extract_from(std::uint32_t register_value) const;

        // The mask of bits start .. start+len-1, cut to the 32 bits of a register.
        static std::uint32_t make_mask(std::uint8_t start, std::uint8_t len);

    private:
        std::string name_;
        std::uint8_t start_ = 0;
        std::uint8_t len_ = 0;
        std::uint32_t mask_ = 0;
        std::uint32_t default_value_ = 0;
        std::map<std::string, std::uint32_t> aliases_;
    };

    // A register with no name, address 0 and no fields.
    Register();
    // A register with the given name and address and no fields yet.
    Register(const std::string& name, std::uint32_t address);

    const std::string& get_name() const { return name_; }
    std::uint32_t get_address() const { return address_; }

    // Always 0: the model describes registers and keeps no read-back value. Use a
    // controller's read to learn what the device holds.
    std::uint32_t get_value() const { return 0; }

    // The field named `field_name` (exact, case-sensitive). Throws std::runtime_error
    // "Register: Field not found" when the register has no such field.
    const Field& operator[](const std::string& field_name) const;

    // The field named `field_name`, or nullptr: the non-throwing lookup.
    const Field* find_field(const std::string& field_name) const;

    // Adds a field. Returns false and changes nothing when a field of that name exists.
    bool add_field(const Field& field);

    // Adds an alias to an existing field; false when the register has no such field.
    bool add_field_alias(const std::string& field_name, const std::string& alias_name,
                         std::uint32_t value);

    // All fields, ordered by name.
    const std::map<std::string, Field>& get_fields() const { return fields_; }

    // The register's reset value: every field's default inserted at its bits (each
    // masked to its field's length); bits that no field describes are 0.
    std::uint32_t get_default_value() const;

    // The bits covered by at least one field.
    std::uint32_t get_described_mask() const;

private:
    std::string name_;
    std::uint32_t address_ = 0;
    std::map<std::string, Field> fields_;
};

}  // namespace vireo

// One entry of a constant register table. A table is a flat array of these records in a
// fixed order: a register entry, then the entries of its fields, each field entry followed
// by the entries of its aliases. Tables are passed around as a pointer to their first entry
// plus an entry count, and turned into a searchable RegisterMap when a controller needs one.
#pragma once

#include <cstdint>

namespace vireo {

// The three kinds of table entries, as stored in RegisterInfo::kind.
enum RegisterInfoKind : std::uint32_t {
    REGISTER_INFO_REGISTER = 0,
    REGISTER_INFO_FIELD = 1,
    REGISTER_INFO_ALIAS = 2,
};

// A plain record, so that whole tables are constant data with no start-up cost.
//   register: value_a = address,   value_b = 0,          value_c = 0
//   field:    value_a = first bit, value_b = bit length, value_c = default value
//   alias:    value_a = the alias value, value_b = value_c = 0
struct RegisterInfo {
    std::uint32_t kind;
    const char* name;  // NUL-terminated; register names may carry a block prefix ("erc/...")
    std::uint32_t value_a;
    std::uint32_t value_b;
    std::uint32_t value_c;
};

}  // namespace vireo

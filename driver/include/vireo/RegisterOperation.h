// One step of a register sequence, as the sensors' start-up, start and reset sequences are
// written: a plain write, a masked write, or a pause.
#pragma once

#include <cstdint>

namespace vireo {

struct RegisterOperation {
    // Kinds of operation.
    static constexpr uint32_t kWrite = 2;        // write `value` to `address`
    static constexpr uint32_t kMaskedWrite = 3;  // write the bits of `value` selected by `mask`
    static constexpr uint32_t kPause = 4;        // wait `delay` microseconds

    uint32_t kind = 0;
    uint32_t address = 0;
    uint32_t value = 0;
    uint32_t mask = 0;
    uint32_t delay = 0;  // microseconds

    friend bool operator==(const RegisterOperation&, const RegisterOperation&) = default;
};

}  // namespace vireo

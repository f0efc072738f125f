// A control frame: a 32-bit command followed by 32-bit words, sent to a device in one
// control transfer (UsbInterface::transferFrame), which replaces the words with its answer.
#pragma once

#include <cstdint>
#include <vector>

#include <vireo/hal_export.h>

namespace vireo {

class HAL_EXPORT CtrlFrame {
public:
    explicit CtrlFrame(uint32_t command) : command_(command) {}

    // Appends one 32-bit word to the frame.
    void push_back32(uint32_t word) { words_.push_back(word); }

    uint32_t command() const { return command_; }
    const std::vector<uint32_t>& words() const { return words_; }
    std::vector<uint32_t>& words() { return words_; }

private:
    uint32_t command_;
    std::vector<uint32_t> words_;
};

}  // namespace vireo

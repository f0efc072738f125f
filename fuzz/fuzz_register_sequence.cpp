// Register tables and register-operation sequences from arbitrary bytes, applied through a
// register controller to an in-memory device.
//
// Input layout: one byte T (the table's entry count, modulo 48), T entries of 7 bytes (kind,
// name: one of a few names or a one-letter name, three values), then operations of 7 to 9
// bytes each (kind, address, value, then a mask or a delay), then field writes of 3 bytes.
//
// The table must be taken or refused with std::invalid_argument, never crash. A sequence is
// applied in order whatever it holds: the device's registers end as a plain model of the
// writes and masked writes says, the result is false exactly when an operation was of an
// unknown kind, and no pause is taken on a device that skips them. Field writes by name
// change the field's bits only and read back as written (masked to the field's length).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <vireo/Interface.h>
#include <vireo/RegisterController.h>
#include <vireo/RegisterInfo.h>
#include <vireo/RegisterOperation.h>

#include "FuzzSupport.h"

namespace {

using namespace vireo;
using fuzz::check;

// Registers in a map: unwritten ones read as 0. Pauses may be skipped.
class MemoryDevice final : public Interface {
public:
    bool isConnected() const override { return true; }
    void setCameraSlot(uint64_t*) override {}
    std::vector<uint32_t> readRegisters(uint32_t address, uint32_t count) override {
        std::vector<uint32_t> values;
        for (uint32_t i = 0; i < count; ++i) values.push_back(registers[address + 4 * i]);
        return values;
    }
    bool writeRegister(uint32_t address, uint32_t value) override {
        registers[address] = value;
        return true;
    }
    bool skipsPauses() const override { return true; }
    std::unique_ptr<EndpointSource> openEndpoint(uint8_t, uint32_t) override { return nullptr; }

    std::map<uint32_t, uint32_t> registers;
};

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : at_(data), end_(data + size) {}
    size_t left() const { return static_cast<size_t>(end_ - at_); }
    uint8_t u8() { return at_ == end_ ? 0 : *at_++; }
    uint32_t u16() { return u8() | uint32_t{u8()} << 8; }
    uint32_t u32() { return u16() | u16() << 16; }

private:
    const uint8_t* at_;
    const uint8_t* end_;
};

const char* const kNames[] = {"roi_ctrl", "bias_diff", "erc/t_drop_lut_12", "enable", "", "a", "roi_ctrl"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in(data, size);
    const size_t entries = in.u8() % 48;
    std::vector<std::string> names;  // stable storage for the table's names
    names.reserve(entries);
    std::vector<RegisterInfo> table;
    for (size_t i = 0; i < entries; ++i) {
        const uint8_t kind = in.u8();
        const uint8_t nameChoice = in.u8();
        if (nameChoice < 7 * 32) {
            names.emplace_back(kNames[nameChoice % 7]);
        } else {
            names.emplace_back(std::string(1, static_cast<char>('a' + nameChoice % 8)));
        }
        const uint32_t a = in.u16();
        const uint32_t b = in.u8();
        const uint32_t c = in.u16() | (kind & 0x80u) << 24;
        table.push_back({kind % 4u, nameChoice == 255 ? nullptr : names.back().c_str(), a, b, c});
    }
    auto device = std::make_shared<MemoryDevice>();
    std::unique_ptr<RegisterController> controller;
    try {
        controller = std::make_unique<RegisterController>(device, table.data(), table.size(), "PSEE/IMX636/");
    } catch (const std::invalid_argument&) {
        controller = std::make_unique<RegisterController>(device, nullptr, 0, "PSEE/IMX636/");
    }

    // The sequence, against a model of the device.
    std::vector<RegisterOperation> sequence;
    std::map<uint32_t, uint32_t> model;
    bool expected = true;
    const size_t operations = in.left() / 9 / 2;
    for (size_t i = 0; i < operations; ++i) {
        RegisterOperation op;
        const uint8_t kind = in.u8();
        op.kind = kind < 240 ? RegisterOperation::kWrite + kind % 3 : kind;
        op.address = in.u16() << 2;
        op.value = in.u32();
        op.mask = op.kind == RegisterOperation::kMaskedWrite ? in.u16() * 0x10001u : 0;
        op.delay = op.kind == RegisterOperation::kPause ? in.u16() * 1000 : 0;
        if (op.kind == RegisterOperation::kWrite) model[op.address] = op.value;
        else if (op.kind == RegisterOperation::kMaskedWrite)
            model[op.address] = (model[op.address] & ~op.mask) | (op.value & op.mask);
        else if (op.kind != RegisterOperation::kPause) expected = false;
        sequence.push_back(op);
    }
    const auto before = std::chrono::steady_clock::now();
    const bool applied = controller->ApplyRegisterOperationSequence(sequence);
    check(std::chrono::steady_clock::now() - before < std::chrono::seconds(1), "a pause was taken on a device that skips them");
    check(applied == expected, "the sequence's result does not say whether every operation ran");
    for (const auto& [address, value] : model) {
        check(device->registers[address] == value, "a register does not hold what the sequence wrote");
    }

    // Field writes by name, on the map the table gave.
    const RegisterMap& map = controller->getRegisterMap();
    while (in.left() >= 3 && !map.empty()) {
        auto reg = map.begin();
        for (uint8_t skip = in.u8() % map.size(); skip > 0; --skip) ++reg;
        const Register& r = reg->second;
        if (r.get_fields().empty()) continue;
        auto field = r.get_fields().begin();
        for (uint8_t skip = in.u8() % r.get_fields().size(); skip > 0; --skip) ++field;
        const uint32_t value = in.u8() * 0x01010101u;
        const uint32_t old = device->registers[r.get_address()];
        // The prefixed form of a name (the prefix alone would name no register: not tried).
        const bool prefixed = (value & 1) && !r.get_name().empty();
        const std::string name = prefixed ? "PSEE/IMX636/" + r.get_name() : r.get_name();
        check(controller->writeRegisterField(name, field->first, value), "a field write by name failed");
        const uint32_t now = device->registers[r.get_address()];
        check(((now ^ old) & ~field->second.get_mask()) == 0, "a field write changed bits outside the field");
        const auto read = controller->readRegisterField(r.get_name(), field->first);
        check(read.has_value(), "a written field cannot be read");
        const uint32_t lengthMask = field->second.get_len() >= 32 ? ~0u : (1u << field->second.get_len()) - 1;
        check(*read == (value & lengthMask), "a field reads back another value");
    }
    return 0;
}

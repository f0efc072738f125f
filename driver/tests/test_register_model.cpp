// The register model on its own: field masks and the read-modify-write arithmetic, aliases,
// lookups and their failures, and building a RegisterMap from small hand-written tables,
// malformed ones included.
#include <vireo/Register.h>
#include <vireo/RegisterInfo.h>
#include <vireo/RegisterMap.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vireo {
namespace {

std::string messageOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no exception>";
}

TEST(RegisterField, DefaultConstructedIsEmpty) {
    const Register::Field field;
    EXPECT_EQ(field.get_name(), "");
    EXPECT_EQ(field.get_start(), 0);
    EXPECT_EQ(field.get_len(), 0);
    EXPECT_EQ(field.get_mask(), 0u);
    EXPECT_EQ(field.get_default_value(), 0u);
    EXPECT_TRUE(field.get_aliases().empty());
}

TEST(RegisterField, MaskCoversExactlyItsBits) {
    EXPECT_EQ(Register::Field("a", 0, 1, 0).get_mask(), 0x1u);
    EXPECT_EQ(Register::Field("b", 4, 8, 0).get_mask(), 0xFF0u);
    EXPECT_EQ(Register::Field("c", 16, 10, 0).get_mask(), 0x03FF0000u);
    EXPECT_EQ(Register::Field("d", 31, 1, 0).get_mask(), 0x80000000u);
    EXPECT_EQ(Register::Field("e", 0, 32, 0).get_mask(), 0xFFFFFFFFu);
}

TEST(RegisterField, MaskNeverReachesPastBit31) {
    // Bits that a 32-bit register does not have stay out of the mask instead of wrapping.
    EXPECT_EQ(Register::Field("a", 28, 8, 0).get_mask(), 0xF0000000u);
    EXPECT_EQ(Register::Field("b", 32, 1, 0).get_mask(), 0u);
    EXPECT_EQ(Register::Field("c", 200, 200, 0).get_mask(), 0u);
    EXPECT_EQ(Register::Field("d", 0, 255, 0).get_mask(), 0xFFFFFFFFu);
}

TEST(RegisterField, SettersRecomputeTheMask) {
    Register::Field field("f", 0, 4, 0);
    field.set_start(8);
    EXPECT_EQ(field.get_start(), 8);
    EXPECT_EQ(field.get_mask(), 0xF00u);
    field.set_len(2);
    EXPECT_EQ(field.get_len(), 2);
    EXPECT_EQ(field.get_mask(), 0x300u);
    field.set_len(0);
    EXPECT_EQ(field.get_mask(), 0u);
    EXPECT_EQ(field.get_start(), 8);
}

TEST(RegisterField, AddAliasInsertsOrOverwritesOneEntry) {
    Register::Field field("effective", 0, 32, 0, {{"enable", 0}});
    field.add_alias("disable", 0xFFFFFFFF);
    field.add_alias("enable", 7);
    ASSERT_EQ(field.get_aliases().size(), 2u);
    std::uint32_t value = 123;
    EXPECT_TRUE(field.find_alias("enable", value));
    EXPECT_EQ(value, 7u);
    EXPECT_TRUE(field.find_alias("disable", value));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    value = 55;
    EXPECT_FALSE(field.find_alias("Enable", value));
    EXPECT_EQ(value, 55u);
}

TEST(RegisterField, CopiesAreIndependent) {
    Register::Field original("f", 3, 2, 1, {{"on", 1}});
    Register::Field copy(original);
    copy.add_alias("off", 0);
    copy.set_len(5);
    EXPECT_EQ(original.get_aliases().size(), 1u);
    EXPECT_EQ(original.get_mask(), 0x18u);
    Register::Field assigned;
    assigned = original;
    EXPECT_EQ(assigned.get_name(), "f");
    EXPECT_EQ(assigned.get_mask(), 0x18u);
    EXPECT_EQ(assigned.get_default_value(), 1u);
    EXPECT_EQ(assigned.get_aliases(), original.get_aliases());
}

TEST(RegisterField, InsertReplacesOnlyTheFieldBits) {
    const Register::Field field("pad_sync", 16, 4, 0xF);
    EXPECT_EQ(field.insert_into(0xFFFFFFFF, 0xC), 0xFFFCFFFFu);
    EXPECT_EQ(field.insert_into(0x12345678, 0x0), 0x12305678u);
    EXPECT_EQ(field.insert_into(0, 0x5), 0x00050000u);
}

TEST(RegisterField, InsertMasksTheValueToTheFieldLength) {
    const Register::Field field("lut", 8, 5, 0);
    // 0xFF has bits above the field's 5: only 0x1F lands, the neighbours stay intact.
    EXPECT_EQ(field.insert_into(0xAAAAAAAA, 0xFF), 0xAAAABFAAu);
    const Register::Field top("top", 31, 1, 0);
    EXPECT_EQ(top.insert_into(0, 0xFFFFFFFF), 0x80000000u);
}

TEST(RegisterField, WholeWordFieldReplacesEverything) {
    const Register::Field field("effective", 0, 32, 0);
    EXPECT_EQ(field.insert_into(0x12345678, 0xCAFEBABE), 0xCAFEBABEu);
    EXPECT_EQ(field.extract_from(0xCAFEBABE), 0xCAFEBABEu);
}

TEST(RegisterField, ExtractReadsBackWhatInsertWrote) {
    const Register::Field field("stc_threshold", 1, 19, 0x2710);
    const std::uint32_t word = field.insert_into(0xFFFFFFFF, 0x2710);
    EXPECT_EQ(field.extract_from(word), 0x2710u);
    EXPECT_EQ(word & ~field.get_mask(), ~field.get_mask());
}

TEST(RegisterField, EmptyFieldNeitherWritesNorReads) {
    const Register::Field field("nothing", 5, 0, 0);
    EXPECT_EQ(field.insert_into(0x12345678, 0xFFFFFFFF), 0x12345678u);
    EXPECT_EQ(field.extract_from(0xFFFFFFFF), 0u);
    const Register::Field beyond("beyond", 32, 4, 0);
    EXPECT_EQ(beyond.insert_into(0x1, 0xF), 0x1u);
    EXPECT_EQ(beyond.extract_from(0xFFFFFFFF), 0u);
}

TEST(Register, ConstructionAndValue) {
    const Register empty;
    EXPECT_EQ(empty.get_name(), "");
    EXPECT_EQ(empty.get_address(), 0u);
    EXPECT_TRUE(empty.get_fields().empty());

    Register reg("bias/bias_diff", 0x1014);
    EXPECT_EQ(reg.get_name(), "bias/bias_diff");
    EXPECT_EQ(reg.get_address(), 0x1014u);
    reg.add_field(Register::Field("idac_ctl", 0, 8, 0x4D));
    EXPECT_EQ(reg.get_value(), 0u);
}

TEST(Register, FieldLookupIsExactAndThrowsWhenMissing) {
    Register reg("lifo_ctrl", 0xC);
    ASSERT_TRUE(reg.add_field(Register::Field("lifo_en", 0, 1, 0)));
    ASSERT_TRUE(reg.add_field(Register::Field("lifo_out_en", 1, 1, 0)));
    EXPECT_EQ(reg["lifo_out_en"].get_start(), 1);
    EXPECT_EQ(messageOf([&] { (void)reg["lifo"]; }), "Register: Field not found");
    EXPECT_EQ(messageOf([&] { (void)reg["LIFO_EN"]; }), "Register: Field not found");
    EXPECT_THROW((void)reg["lifo_en "], std::runtime_error);
    EXPECT_EQ(reg.find_field("lifo"), nullptr);
    EXPECT_EQ(reg.get_fields().size(), 2u);  // failed lookups created nothing
}

TEST(Register, AddFieldKeepsTheFirstOfTwoNames) {
    Register reg("r", 0x10);
    EXPECT_TRUE(reg.add_field(Register::Field("f", 0, 4, 1)));
    EXPECT_FALSE(reg.add_field(Register::Field("f", 8, 4, 2)));
    EXPECT_EQ(reg["f"].get_start(), 0);
    EXPECT_EQ(reg["f"].get_default_value(), 1u);
    EXPECT_TRUE(reg.add_field_alias("f", "max", 0xF));
    EXPECT_FALSE(reg.add_field_alias("g", "max", 0xF));
    EXPECT_EQ(reg["f"].get_aliases().at("max"), 0xFu);
}

TEST(Register, DefaultValueComposesTheFieldDefaults) {
    Register reg("roi_win_end_addr", 0x3C);
    reg.add_field(Register::Field("roi_win_end_x", 0, 11, 0x4FF));
    reg.add_field(Register::Field("roi_win_end_y", 16, 10, 0x2CF));
    EXPECT_EQ(reg.get_default_value(), 0x02CF04FFu);
    EXPECT_EQ(reg.get_described_mask(), 0x03FF07FFu);
    // A default wider than its field is cut to the field, not spilled into a neighbour.
    reg.add_field(Register::Field("wide", 11, 2, 0xFF));
    EXPECT_EQ(reg.get_default_value(), 0x02CF1CFFu);
}

const RegisterInfo kSmallTable[] = {
    {REGISTER_INFO_REGISTER, "ctrl", 0x0004, 0, 0},
    {REGISTER_INFO_FIELD, "enable", 0, 1, 1},
    {REGISTER_INFO_FIELD, "mode", 4, 3, 5},
    {REGISTER_INFO_ALIAS, "slow", 1, 0, 0},
    {REGISTER_INFO_ALIAS, "fast", 6, 0, 0},
    {REGISTER_INFO_REGISTER, "blk/counter", 0x0100, 0, 0},
    {REGISTER_INFO_FIELD, "counter", 0, 32, 0},
    {REGISTER_INFO_REGISTER, "blk/empty", 0x0200, 0, 0},
};

TEST(RegisterMap, BuildsRegistersFieldsAndAliasesFromATable) {
    const RegisterMap map(kSmallTable, std::size(kSmallTable));
    ASSERT_EQ(map.size(), 3u);
    const Register& ctrl = map["ctrl"];
    EXPECT_EQ(ctrl.get_address(), 0x4u);
    ASSERT_EQ(ctrl.get_fields().size(), 2u);
    EXPECT_EQ(ctrl["mode"].get_mask(), 0x70u);
    EXPECT_EQ(ctrl["mode"].get_default_value(), 5u);
    EXPECT_EQ(ctrl["mode"].get_aliases(),
              (std::map<std::string, std::uint32_t>{{"fast", 6}, {"slow", 1}}));
    EXPECT_TRUE(ctrl["enable"].get_aliases().empty());
    EXPECT_EQ(ctrl.get_default_value(), 0x51u);
    EXPECT_EQ(map["blk/counter"]["counter"].get_mask(), 0xFFFFFFFFu);
    EXPECT_TRUE(map["blk/empty"].get_fields().empty());
}

TEST(RegisterMap, LooksUpByNameAndByAddress) {
    const RegisterMap map(kSmallTable, std::size(kSmallTable));
    ASSERT_NE(map.find_by_address(0x100), nullptr);
    EXPECT_EQ(map.find_by_address(0x100)->get_name(), "blk/counter");
    EXPECT_EQ(map.find_by_address(0x104), nullptr);
    EXPECT_EQ(map.find_by_address(0x0), nullptr);
    EXPECT_EQ(map.find("blk/counter"), &map["blk/counter"]);
    ASSERT_NE(map.find_field("ctrl", "mode"), nullptr);
    EXPECT_EQ(map.find_field("ctrl", "mode")->get_start(), 4);
    EXPECT_EQ(map.find_field("ctrl", "nope"), nullptr);
    EXPECT_EQ(map.find_field("nope", "mode"), nullptr);
    EXPECT_TRUE(map.contains("ctrl"));
    EXPECT_FALSE(map.contains("counter"));
}

TEST(RegisterMap, MissingRegisterThrowsAndCreatesNothing) {
    const RegisterMap map(kSmallTable, std::size(kSmallTable));
    EXPECT_EQ(messageOf([&] { (void)map["missing"]; }), "RegisterController: Register not found");
    // Exact, case-sensitive, whole-string comparison: no prefix or case folding.
    EXPECT_THROW((void)map["CTRL"], std::runtime_error);
    EXPECT_THROW((void)map["blk/"], std::runtime_error);
    EXPECT_THROW((void)map["counter"], std::runtime_error);
    EXPECT_THROW((void)map["PSEE/IMX636/ctrl"], std::runtime_error);
    EXPECT_EQ(map.find("missing"), nullptr);
    EXPECT_EQ(map.size(), 3u);
}

TEST(RegisterMap, OrdersNamesBytewiseShorterFirst) {
    RegisterMap map;
    EXPECT_TRUE(map.empty());
    ASSERT_TRUE(map.add_register(Register("ab", 8)));
    ASSERT_TRUE(map.add_register(Register("a", 4)));
    ASSERT_TRUE(map.add_register(Register("B", 12)));
    ASSERT_TRUE(map.add_register(Register("a/b", 16)));
    std::vector<std::string> names;
    for (const auto& [name, reg] : map) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "a/b", "ab"}));
}

TEST(RegisterMap, AddRegisterRefusesTakenNameOrAddress) {
    RegisterMap map;
    ASSERT_TRUE(map.add_register(Register("r", 0x10)));
    EXPECT_FALSE(map.add_register(Register("r", 0x20)));
    EXPECT_FALSE(map.add_register(Register("s", 0x10)));
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(map["r"].get_address(), 0x10u);
    EXPECT_EQ(map.find_by_address(0x20), nullptr);
}

TEST(RegisterMap, CopiesKeepWorkingLookups) {
    RegisterMap copy;
    {
        const RegisterMap original(kSmallTable, std::size(kSmallTable));
        copy = original;
    }
    ASSERT_NE(copy.find_by_address(0x4), nullptr);
    EXPECT_EQ(copy.find_by_address(0x4)->get_name(), "ctrl");
    const RegisterMap moved(std::move(copy));
    EXPECT_EQ(moved.find_by_address(0x200)->get_name(), "blk/empty");
}

TEST(RegisterMap, RegisterEntryWithBitLengthIsAFieldOfThePreviousRegister) {
    const RegisterInfo table[] = {
        {REGISTER_INFO_REGISTER, "aps_blk_level", 0x5004, 0, 0},
        {REGISTER_INFO_REGISTER, "aps_blk_level_offset", 0, 10, 50},
    };
    const RegisterMap map(table, std::size(table));
    EXPECT_EQ(map.size(), 1u);
    EXPECT_FALSE(map.contains("aps_blk_level_offset"));
    EXPECT_EQ(map.find_by_address(0), nullptr);
    const Register::Field& offset = map["aps_blk_level"]["aps_blk_level_offset"];
    EXPECT_EQ(offset.get_start(), 0);
    EXPECT_EQ(offset.get_len(), 10);
    EXPECT_EQ(offset.get_default_value(), 50u);
}

TEST(RegisterMap, EmptyTableGivesEmptyMap) {
    EXPECT_TRUE(RegisterMap(nullptr, 0).empty());
    EXPECT_TRUE(RegisterMap(kSmallTable, 0).empty());
}

struct BadTable {
    const char* what;
    std::vector<RegisterInfo> entries;
    const char* message_part;
};

TEST(RegisterMap, RejectsMalformedTablesWithAClearMessage) {
    const std::vector<BadTable> cases = {
        {"field first", {{REGISTER_INFO_FIELD, "f", 0, 1, 0}},
         "entry 0: field \"f\" comes before any register"},
        {"alias before field",
         {{REGISTER_INFO_REGISTER, "r", 4, 0, 0}, {REGISTER_INFO_ALIAS, "a", 1, 0, 0}},
         "entry 1: alias \"a\" comes before any field"},
        {"null name", {{REGISTER_INFO_REGISTER, nullptr, 4, 0, 0}}, "entry 0: name is null"},
        {"unknown kind", {{REGISTER_INFO_REGISTER, "r", 4, 0, 0}, {7, "x", 0, 0, 0}},
         "entry 1: unknown kind 7"},
        {"duplicate register",
         {{REGISTER_INFO_REGISTER, "r", 4, 0, 0}, {REGISTER_INFO_REGISTER, "r", 8, 0, 0}},
         "entry 1: register \"r\" repeats"},
        {"duplicate address",
         {{REGISTER_INFO_REGISTER, "r", 4, 0, 0}, {REGISTER_INFO_REGISTER, "s", 4, 0, 0}},
         "entry 1: register \"s\" repeats"},
        {"duplicate field",
         {{REGISTER_INFO_REGISTER, "r", 4, 0, 0}, {REGISTER_INFO_FIELD, "f", 0, 1, 0},
          {REGISTER_INFO_FIELD, "f", 4, 1, 0}},
         "entry 2: field \"f\" appears twice in register \"r\""},
        {"field past bit 31",
         {{REGISTER_INFO_REGISTER, "r", 4, 0, 0}, {REGISTER_INFO_FIELD, "f", 30, 4, 0}},
         "entry 1: field \"f\" (first bit 30, length 4) does not fit"},
        {"huge start",
         {{REGISTER_INFO_REGISTER, "r", 4, 0, 0},
          {REGISTER_INFO_FIELD, "f", 0xFFFFFFF0u, 32, 0}},
         "does not fit"},
        {"length register first", {{REGISTER_INFO_REGISTER, "o", 0, 10, 50}},
         "entry 0: field \"o\" comes before any register"},
    };
    for (const BadTable& bad : cases) {
        SCOPED_TRACE(bad.what);
        const std::string message =
            messageOf([&] { RegisterMap map(bad.entries.data(), bad.entries.size()); });
        EXPECT_NE(message.find(bad.message_part), std::string::npos) << message;
        EXPECT_EQ(message.rfind("RegisterMap: ", 0), 0u) << message;
        EXPECT_THROW(RegisterMap(bad.entries.data(), bad.entries.size()), std::invalid_argument);
    }
    EXPECT_THROW(RegisterMap(nullptr, 3), std::invalid_argument);
}

}  // namespace
}  // namespace vireo

// The two constant register tables checked against an independent transcription of the
// sensor's register list: entry and block counts, every register in table order at its
// address, every named field at its bits with its default, the regular families, and the
// structural rules a controller relies on (unique addresses, fields inside 32 bits that
// never overlap, reserved fields named after their bits).
#include <vireo/RegisterMap.h>
#include <vireo/RegisterTables.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vireo {
namespace {

struct TableView {
    const RegisterInfo* entries = nullptr;
    std::size_t count = 0;
};

TableView imx636() {
    TableView view;
    view.entries = getImx636RegisterTable(view.count);
    return view;
}

const RegisterMap& imx636Map() {
    static const RegisterMap map = [] {
        const TableView table = imx636();
        return RegisterMap(table.entries, table.count);
    }();
    return map;
}

std::string blockOf(const std::string& register_name) {
    const auto slash = register_name.find('/');
    return slash == std::string::npos ? std::string() : register_name.substr(0, slash + 1);
}

std::string format(const char* pattern, unsigned value) {
    char text[64];
    std::snprintf(text, sizeof(text), pattern, value);
    return text;
}

// The register list of the sensor in table order, written out from the register manual's
// block descriptions (ranges expanded here, independently of the generator).
std::vector<std::pair<std::string, std::uint32_t>> expectedRegisters() {
    std::vector<std::pair<std::string, std::uint32_t>> regs = {
        {"roi_ctrl", 0x0004}, {"lifo_ctrl", 0x000C}, {"lifo_status", 0x0010},
        {"Reserved_0014", 0x0014}, {"spare0", 0x0018}, {"refractory_ctrl", 0x0020},
        {"roi_win_ctrl", 0x0034}, {"roi_win_start_addr", 0x0038}, {"roi_win_end_addr", 0x003C},
        {"dig_pad2_ctrl", 0x0044}, {"adc_control", 0x004C}, {"adc_status", 0x0050},
        {"adc_misc_ctrl", 0x0054}, {"temp_ctrl", 0x005C}, {"iph_mirr_ctrl", 0x0074},
        {"gcd_ctrl1", 0x0078}, {"reqy_qmon_ctrl", 0x0088}, {"reqy_qmon_status", 0x008C},
        {"gcd_shadow_ctrl", 0x0090}, {"gcd_shadow_status", 0x0094},
        {"gcd_shadow_counter", 0x0098}, {"stop_sequence_control", 0x00C8},
        {"bias/bias_fo", 0x1004}, {"bias/bias_hpf", 0x100C}, {"bias/bias_diff_on", 0x1010},
        {"bias/bias_diff", 0x1014}, {"bias/bias_diff_off", 0x1018}, {"bias/bias_refr", 0x1020},
        {"bias/bgen_ctrl", 0x1100},
    };
    auto range = [&](const char* pattern, unsigned first, unsigned last, std::uint32_t base) {
        for (unsigned i = first; i <= last; ++i) {
            regs.emplace_back(format(pattern, i), base + 4 * (i - first));
        }
    };
    range("roi/td_roi_x%02u", 0, 39, 0x2000);
    range("roi/td_roi_y%02u", 0, 22, 0x4000);
    for (const auto& reg : std::vector<std::pair<std::string, std::uint32_t>>{
             {"erc/Reserved_6000", 0x6000}, {"erc/in_drop_rate_control", 0x6004},
             {"erc/reference_period", 0x6008}, {"erc/td_target_event_rate", 0x600C},
             {"erc/erc_enable", 0x6028}, {"erc/Reserved_602C", 0x602C},
             {"erc/t_dropping_control", 0x6050}, {"erc/h_dropping_control", 0x6060},
             {"erc/v_dropping_control", 0x6070}}) {
        regs.push_back(reg);
    }
    range("erc/h_drop_lut_%02u", 0, 7, 0x6080);
    range("erc/v_drop_lut_%02u", 0, 7, 0x60C0);
    range("erc/t_drop_lut_%02u", 0, 255, 0x6400);
    for (std::uint32_t address = 0x6800; address <= 0x6B94; address += 4) {
        regs.emplace_back(format("erc/Reserved_%04X", address), address);
    }
    regs.insert(regs.end(), {{"edf/pipeline_control", 0x7000}, {"edf/trigger_in", 0x7004},
                             {"eoi/Reserved_8000", 0x8000}, {"ro/readout_ctrl", 0x9000},
                             {"ro/ro_fsm_ctrl", 0x9004}, {"ro/time_base_ctrl", 0x9008},
                             {"ro/dig_ctrl", 0x900C}, {"ro/dig_start_pos", 0x9010},
                             {"ro/dig_end_pos", 0x9014}, {"ro/ro_ctrl", 0x9028}});
    range("ro/area_x%u_addr", 0, 4, 0x902C);
    range("ro/area_y%u_addr", 0, 4, 0x9040);
    regs.insert(regs.end(), {{"ro/counter_ctrl", 0x9054}, {"ro/counter_timer_threshold", 0x9058}});
    range("ro/digital_mask_pixel_%02u", 0, 63, 0x9100);
    range("ro/area_cnt%02u", 0, 15, 0x9200);
    regs.insert(regs.end(), {
        {"ro/evt_vector_cnt_val", 0x9244},
        {"mipi_csi/mipi_control", 0xB000}, {"mipi_csi/mipi_packet_size", 0xB020},
        {"mipi_csi/mipi_packet_timeout", 0xB024}, {"mipi_csi/mipi_frame_period", 0xB028},
        {"mipi_csi/mipi_line_blanking", 0xB02C}, {"mipi_csi/mipi_frame_blanking", 0xB030},
        {"afk/pipeline_control", 0xC000}, {"afk/param", 0xC004}, {"afk/filter_period", 0xC008},
        {"afk/invalidation", 0xC0C0}, {"afk/initialization", 0xC0C4},
        {"afk/shadow_ctrl", 0xC0D4}, {"afk/shadow_timer_threshold", 0xC0D8},
        {"afk/shadow_status", 0xC0DC}, {"afk/total_evt_count", 0xC0E0},
        {"afk/flicker_evt_count", 0xC0E4}, {"afk/vector_evt_count", 0xC0E8},
        {"stc/pipeline_control", 0xD000}, {"stc/stc_param", 0xD004},
        {"stc/trail_param", 0xD008}, {"stc/timestamping", 0xD00C},
        {"stc/invalidation", 0xD0C0}, {"stc/initialization", 0xD0C4},
        {"stc/shadow_ctrl", 0xD0D4}, {"stc/shadow_timer_threshold", 0xD0D8},
        {"stc/shadow_status", 0xD0DC}, {"stc/total_evt_count", 0xD0E0},
        {"stc/stc_evt_count", 0xD0E4}, {"stc/trail_evt_count", 0xD0E8},
        {"stc/output_vector_count", 0xD0EC},
        {"slvs/slvs_control", 0xE000}, {"slvs/slvs_packet_size", 0xE020},
        {"slvs/slvs_packet_timeout", 0xE024}, {"slvs/slvs_line_blanking", 0xE02C},
        {"slvs/slvs_frame_blanking", 0xE030}, {"slvs/slvs_phy_logic_ctrl_00", 0xE150},
    });
    return regs;
}

struct NamedField {
    std::string reg;
    const char* field;
    unsigned hi;
    unsigned lo;
    std::uint32_t default_value;
};

// Every named field the driver addresses, with its bit range (hi:lo) and reset default.
const std::vector<NamedField>& namedFields() {
    static const std::vector<NamedField> fields = [] {
        std::vector<NamedField> list = {
            {"roi_ctrl", "roi_td_en", 1, 1, 0}, {"roi_ctrl", "roi_td_shadow_trigger", 5, 5, 0},
            {"roi_ctrl", "td_roi_roni_n_en", 6, 6, 1}, {"roi_ctrl", "px_td_rstn", 10, 10, 0},
            {"lifo_ctrl", "lifo_en", 0, 0, 0}, {"lifo_ctrl", "lifo_out_en", 1, 1, 0},
            {"lifo_ctrl", "lifo_cnt_en", 2, 2, 0},
            {"lifo_status", "lifo_ton", 28, 0, 0}, {"lifo_status", "lifo_ton_valid", 29, 29, 0},
            {"spare0", "gcd_rstn", 20, 20, 0},
            {"refractory_ctrl", "refr_counter", 27, 0, 0},
            {"refractory_ctrl", "refr_valid", 28, 28, 0},
            {"refractory_ctrl", "refr_cnt_en", 30, 30, 0},
            {"refractory_ctrl", "refr_en", 31, 31, 0},
            {"roi_win_ctrl", "roi_master_en", 0, 0, 0}, {"roi_win_ctrl", "roi_win_done", 1, 1, 0},
            {"roi_win_start_addr", "roi_win_start_x", 10, 0, 0},
            {"roi_win_start_addr", "roi_win_start_y", 25, 16, 0},
            {"roi_win_end_addr", "roi_win_end_x", 10, 0, 0x4FF},
            {"roi_win_end_addr", "roi_win_end_y", 25, 16, 0x2CF},
            {"dig_pad2_ctrl", "pad_sync", 19, 16, 0xF},
            {"adc_control", "adc_en", 0, 0, 0}, {"adc_control", "adc_clk_en", 1, 1, 0},
            {"adc_control", "adc_start", 2, 2, 0},
            {"adc_status", "adc_dac_dyn", 9, 0, 0}, {"adc_status", "adc_done_dyn", 11, 11, 0},
            {"adc_misc_ctrl", "adc_buf_cal_en", 1, 1, 0}, {"adc_misc_ctrl", "adc_rng", 11, 10, 0},
            {"adc_misc_ctrl", "adc_temp", 12, 12, 0},
            {"temp_ctrl", "temp_buf_cal_en", 0, 0, 0}, {"temp_ctrl", "temp_buf_en", 1, 1, 0},
            {"iph_mirr_ctrl", "iph_mirr_en", 0, 0, 0},
            {"iph_mirr_ctrl", "iph_mirr_amp_en", 1, 1, 1},
            {"gcd_ctrl1", "gcd_en", 0, 0, 0}, {"gcd_ctrl1", "gcd_diffamp_en", 1, 1, 0},
            {"gcd_ctrl1", "gcd_lpf_en", 2, 2, 0},
            {"gcd_shadow_ctrl", "gcd_irq_sw_override", 1, 1, 0},
            {"gcd_shadow_ctrl", "gcd_reset_on_copy", 2, 2, 0},
            {"gcd_shadow_status", "gcd_shadow_valid", 0, 0, 0},
            {"gcd_shadow_counter", "gcd_shadow_cnt_off", 15, 0, 0},
            {"gcd_shadow_counter", "gcd_shadow_cnt_on", 31, 16, 0},
            {"stop_sequence_control", "stop_sequence_start", 0, 0, 0},
            {"bias/bgen_ctrl", "burst_transfer", 0, 0, 0},
            {"erc/in_drop_rate_control", "cfg_event_delay_fifo_en", 0, 0, 0},
            {"erc/reference_period", "erc_reference_period", 9, 0, 0x80},
            {"erc/td_target_event_rate", "target_event_rate", 21, 0, 0x80},
            {"erc/erc_enable", "erc_en", 0, 0, 0},
            {"erc/t_dropping_control", "t_dropping_en", 0, 0, 0},
            {"erc/h_dropping_control", "h_dropping_en", 0, 0, 0},
            {"erc/v_dropping_control", "v_dropping_en", 0, 0, 0},
            {"edf/pipeline_control", "format", 1, 1, 0}, {"edf/trigger_in", "enable", 10, 10, 1},
            {"ro/readout_ctrl", "ro_td_self_test_en", 1, 1, 0},
            {"ro/readout_ctrl", "ro_inv_pol_td", 5, 5, 0},
            {"ro/ro_fsm_ctrl", "readout_wait", 15, 0, 0x1E},
            {"ro/time_base_ctrl", "time_base_enable", 0, 0, 0},
            {"ro/time_base_ctrl", "time_base_mode", 1, 1, 0},
            {"ro/time_base_ctrl", "external_mode", 2, 2, 0},
            {"ro/time_base_ctrl", "external_mode_enable", 3, 3, 0},
            {"ro/dig_ctrl", "dig_crop_enable", 2, 0, 0},
            {"ro/dig_ctrl", "dig_crop_reset_orig", 4, 4, 0},
            {"ro/dig_start_pos", "dig_crop_start_x", 10, 0, 0},
            {"ro/dig_start_pos", "dig_crop_start_y", 25, 16, 0},
            {"ro/dig_end_pos", "dig_crop_end_x", 10, 0, 0},
            {"ro/dig_end_pos", "dig_crop_end_y", 25, 16, 0},
            {"ro/ro_ctrl", "area_cnt_en", 0, 0, 0}, {"ro/ro_ctrl", "output_disable", 1, 1, 0},
            {"ro/ro_ctrl", "keep_th", 2, 2, 0},
            {"ro/area_x0_addr", "x0_addr", 10, 0, 0x000},
            {"ro/area_x1_addr", "x1_addr", 10, 0, 0x140},
            {"ro/area_x2_addr", "x2_addr", 10, 0, 0x280},
            {"ro/area_x3_addr", "x3_addr", 10, 0, 0x3C0},
            {"ro/area_x4_addr", "x4_addr", 10, 0, 0x500},
            {"ro/area_y0_addr", "y0_addr", 10, 0, 0x000},
            {"ro/area_y1_addr", "y1_addr", 10, 0, 0x0B4},
            {"ro/area_y2_addr", "y2_addr", 10, 0, 0x168},
            {"ro/area_y3_addr", "y3_addr", 10, 0, 0x21C},
            {"ro/area_y4_addr", "y4_addr", 10, 0, 0x2D0},
            {"ro/counter_ctrl", "count_en", 0, 0, 0},
            {"ro/counter_timer_threshold", "timer_threshold", 31, 0, 0x3E8},
            {"ro/evt_vector_cnt_val", "evt_vector_cnt_val", 31, 0, 0},
            {"afk/pipeline_control", "afk_bypass", 2, 2, 0},
            {"afk/param", "counter_low", 2, 0, 4}, {"afk/param", "counter_high", 5, 3, 6},
            {"afk/param", "invert", 6, 6, 0}, {"afk/param", "drop_disable", 7, 7, 0},
            {"afk/filter_period", "min_cutoff_period", 7, 0, 0x0F},
            {"afk/filter_period", "max_cutoff_period", 15, 8, 0x9C},
            {"afk/filter_period", "inverted_duty_cycle", 19, 16, 8},
            {"afk/invalidation", "dt_fifo_wait_time", 11, 0, 0x5A0},
            {"afk/initialization", "afk_req_init", 0, 0, 0},
            {"afk/initialization", "afk_flag_init_done", 2, 2, 0},
            {"afk/total_evt_count", "total_evt_count", 31, 0, 0},
            {"afk/flicker_evt_count", "flicker_evt_count", 31, 0, 0},
            {"afk/vector_evt_count", "vector_evt_count", 31, 0, 0},
            {"stc/pipeline_control", "stc_trail_bypass", 2, 2, 0},
            {"stc/stc_param", "stc_enable", 0, 0, 0},
            {"stc/stc_param", "stc_threshold", 19, 1, 0x2710},
            {"stc/stc_param", "disable_stc_cut_trail", 24, 24, 0},
            {"stc/trail_param", "trail_enable", 0, 0, 0},
            {"stc/trail_param", "trail_threshold", 19, 1, 0x186A0},
            {"stc/timestamping", "prescaler", 4, 0, 0xD},
            {"stc/timestamping", "multiplier", 8, 5, 1},
            {"stc/timestamping", "enable_last_ts_update_at_every_event", 16, 16, 0},
            {"stc/invalidation", "dt_fifo_wait_time", 11, 0, 4},
            {"stc/invalidation", "dt_fifo_timeout", 23, 12, 0x118},
            {"stc/initialization", "stc_req_init", 0, 0, 0},
            {"stc/initialization", "stc_flag_init_done", 2, 2, 0},
            {"stc/total_evt_count", "total_evt_count", 31, 0, 0},
            {"stc/stc_evt_count", "stc_evt_count", 31, 0, 0},
            {"stc/trail_evt_count", "trail_evt_count", 31, 0, 0},
            {"stc/output_vector_count", "output_vector_count", 31, 0, 0},
            {"mipi_csi/mipi_control", "mipi_csi_enable", 0, 0, 0},
            {"mipi_csi/mipi_control", "mipi_data_lane1", 3, 3, 1},
            {"mipi_csi/mipi_control", "mipi_data_lane2", 4, 4, 1},
            {"mipi_csi/mipi_control", "mipi_packet_timeout_enable", 5, 5, 0},
            {"mipi_csi/mipi_control", "line_blanking_clk_disable", 6, 6, 1},
            {"mipi_csi/mipi_control", "line_blanking_en", 8, 8, 1},
            {"mipi_csi/mipi_control", "frame_blanking_en", 9, 9, 0},
            {"mipi_csi/mipi_packet_size", "mipi_packet_size", 14, 0, 0x2000},
            {"mipi_csi/mipi_packet_timeout", "mipi_packet_timeout", 15, 0, 0x40},
            {"mipi_csi/mipi_frame_period", "mipi_frame_period", 15, 4, 0x7D},
            {"mipi_csi/mipi_line_blanking", "mipi_line_blanking", 7, 0, 0xA},
            {"mipi_csi/mipi_frame_blanking", "mipi_frame_blanking", 15, 0, 0},
            {"slvs/slvs_control", "slvs_llp_enable", 0, 0, 0},
            {"slvs/slvs_control", "slvs_packet_timeout_enable", 5, 5, 0},
            {"slvs/slvs_control", "slvs_line_blanking_en", 8, 8, 1},
            {"slvs/slvs_control", "slvs_frame_blanking_en", 9, 9, 0},
            {"slvs/slvs_packet_size", "slvs_packet_size", 13, 0, 0x1000},
            {"slvs/slvs_packet_timeout", "slvs_packet_timeout", 15, 0, 0x40},
            {"slvs/slvs_line_blanking", "slvs_line_blanking", 7, 0, 0xA},
            {"slvs/slvs_frame_blanking", "slvs_frame_blanking", 15, 0, 0},
            {"slvs/slvs_phy_logic_ctrl_00", "oportsel", 1, 0, 0},
            // The time-base register's reserved block is written by the time-base set-up.
            {"ro/time_base_ctrl", "Reserved_10_4", 10, 4, 0x64},
        };
        const char* biases[] = {"bias/bias_fo", "bias/bias_hpf", "bias/bias_diff_on",
                                "bias/bias_diff", "bias/bias_diff_off", "bias/bias_refr"};
        const std::uint32_t idac[] = {0x00, 0x00, 0x00, 0x4D, 0x00, 0x14};
        const std::uint32_t reserved[] = {0x3A1E8, 0x3A1FF, 0x1A163, 0x1A150, 0x1A137, 0x38296};
        for (int i = 0; i < 6; ++i) {
            list.push_back({biases[i], "idac_ctl", 7, 0, idac[i]});
            list.push_back({biases[i], "Reserved_27_8", 27, 8, reserved[i]});
            list.push_back({biases[i], "single_transfer", 28, 28, 0});
        }
        for (const std::string block : {"afk/", "stc/"}) {
            list.push_back({block + "shadow_ctrl", "timer_en", 0, 0, 0});
            list.push_back({block + "shadow_timer_threshold", "timer_threshold", 31, 0, 0x3E8});
            list.push_back({block + "shadow_status", "shadow_valid", 0, 0, 0});
            list.push_back({block + "shadow_status", "shadow_overrun", 1, 1, 0});
        }
        return list;
    }();
    return fields;
}

TEST(RegisterTables, Imx636EntryCountsByKind) {
    const TableView table = imx636();
    ASSERT_NE(table.entries, nullptr);
    EXPECT_EQ(table.count, 2879u);
    std::size_t counts[3] = {0, 0, 0};
    for (std::size_t i = 0; i < table.count; ++i) {
        ASSERT_LE(table.entries[i].kind, 2u) << "entry " << i;
        ++counts[table.entries[i].kind];
    }
    EXPECT_EQ(counts[REGISTER_INFO_REGISTER], 742u);
    EXPECT_EQ(counts[REGISTER_INFO_FIELD], 2011u);
    EXPECT_EQ(counts[REGISTER_INFO_ALIAS], 126u);
    EXPECT_EQ(imx636Map().size(), 742u);

    std::size_t again = 0;
    EXPECT_EQ(getImx636RegisterTable(again), table.entries);
    EXPECT_EQ(again, table.count);
}

TEST(RegisterTables, Imx636BlockCountsAndAddressRanges) {
    struct Block {
        std::size_t registers = 0, fields = 0, aliases = 0;
        std::uint32_t lowest = 0xFFFFFFFF, highest = 0;
    };
    std::map<std::string, Block> blocks;
    const TableView table = imx636();
    std::string block;
    for (std::size_t i = 0; i < table.count; ++i) {
        const RegisterInfo& entry = table.entries[i];
        if (entry.kind == REGISTER_INFO_REGISTER) {
            block = blockOf(entry.name);
            Block& b = blocks[block];
            ++b.registers;
            b.lowest = std::min(b.lowest, entry.value_a);
            b.highest = std::max(b.highest, entry.value_a);
        } else if (entry.kind == REGISTER_INFO_FIELD) {
            ++blocks[block].fields;
        } else {
            ++blocks[block].aliases;
        }
    }
    struct Expected {
        const char* block;
        std::size_t registers, fields, aliases;
        std::uint32_t lowest, highest;
    };
    const Expected expected[] = {
        {"", 22, 76, 0, 0x0004, 0x00C8},         {"bias/", 7, 20, 0, 0x1004, 0x1100},
        {"roi/", 63, 69, 126, 0x2000, 0x4058},   {"erc/", 511, 1509, 0, 0x6000, 0x6B94},
        {"edf/", 2, 7, 0, 0x7000, 0x7004},       {"eoi/", 1, 1, 0, 0x8000, 0x8000},
        {"ro/", 100, 247, 0, 0x9000, 0x9244},    {"mipi_csi/", 6, 16, 0, 0xB000, 0xB030},
        {"afk/", 11, 26, 0, 0xC000, 0xC0E8},     {"stc/", 13, 29, 0, 0xD000, 0xD0EC},
        {"slvs/", 6, 11, 0, 0xE000, 0xE150},
    };
    EXPECT_EQ(blocks.size(), std::size(expected));
    for (const Expected& e : expected) {
        SCOPED_TRACE(std::string("block '") + e.block + "'");
        ASSERT_EQ(blocks.count(e.block), 1u);
        const Block& b = blocks[e.block];
        EXPECT_EQ(b.registers, e.registers);
        EXPECT_EQ(b.fields, e.fields);
        EXPECT_EQ(b.aliases, e.aliases);
        EXPECT_EQ(b.lowest, e.lowest);
        EXPECT_EQ(b.highest, e.highest);
    }
}

TEST(RegisterTables, Imx636RegistersInTableOrderAtTheirAddresses) {
    const auto expected = expectedRegisters();
    ASSERT_EQ(expected.size(), 742u);
    const TableView table = imx636();
    std::size_t next = 0;
    for (std::size_t i = 0; i < table.count; ++i) {
        const RegisterInfo& entry = table.entries[i];
        if (entry.kind != REGISTER_INFO_REGISTER) {
            continue;
        }
        ASSERT_LT(next, expected.size());
        EXPECT_EQ(entry.name, expected[next].first) << "register #" << next;
        EXPECT_EQ(entry.value_a, expected[next].second) << expected[next].first;
        EXPECT_EQ(entry.value_b, 0u) << expected[next].first;
        EXPECT_EQ(entry.value_c, 0u) << expected[next].first;
        ++next;
    }
    EXPECT_EQ(next, expected.size());
}

TEST(RegisterTables, Imx636NamedFieldsAtTheirBitsWithTheirDefaults) {
    const RegisterMap& map = imx636Map();
    for (const NamedField& named : namedFields()) {
        SCOPED_TRACE(named.reg + "." + named.field);
        const Register::Field* field = map.find_field(named.reg, named.field);
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->get_start(), named.lo);
        EXPECT_EQ(field->get_len(), named.hi - named.lo + 1);
        EXPECT_EQ(field->get_default_value(), named.default_value);
    }
    EXPECT_GE(namedFields().size(), 150u);
}

TEST(RegisterTables, Imx636LookupOfRoiWordAndItsAliases) {
    const RegisterMap& map = imx636Map();
    const Register& reg = map["roi/td_roi_x00"];
    EXPECT_EQ(reg.get_address(), 0x2000u);
    const Register::Field& effective = reg["effective"];
    EXPECT_EQ(effective.get_start(), 0);
    EXPECT_EQ(effective.get_len(), 32);
    EXPECT_EQ(effective.get_mask(), 0xFFFFFFFFu);
    EXPECT_EQ(effective.get_aliases(),
              (std::map<std::string, std::uint32_t>{{"disable", 0xFFFFFFFF}, {"enable", 0}}));
    // Names are bare: the camera's prefix is not part of them.
    EXPECT_THROW((void)map["PSEE/IMX636/roi/td_roi_x00"], std::runtime_error);
    EXPECT_THROW((void)map["td_roi_x00"], std::runtime_error);
    EXPECT_THROW((void)reg["Effective"], std::runtime_error);
}

TEST(RegisterTables, Imx636RoiFamilyCarriesEveryAlias) {
    const RegisterMap& map = imx636Map();
    std::size_t roi_words = 0;
    for (const auto& [name, reg] : map) {
        if (blockOf(name) != "roi/") {
            continue;
        }
        SCOPED_TRACE(name);
        ++roi_words;
        const Register::Field* effective = reg.find_field("effective");
        ASSERT_NE(effective, nullptr);
        EXPECT_EQ(effective->get_mask(), 0xFFFFFFFFu);
        EXPECT_EQ(effective->get_default_value(), 0u);
        EXPECT_EQ(effective->get_aliases().size(), 2u);
        EXPECT_EQ(effective->get_aliases().at("enable"), 0u);
        EXPECT_EQ(effective->get_aliases().at("disable"), 0xFFFFFFFFu);
        // Any further field of a ROI word is an empty placeholder.
        for (const auto& [field_name, field] : reg.get_fields()) {
            if (field_name != "effective") {
                EXPECT_EQ(field.get_mask(), 0u) << field_name;
            }
        }
    }
    EXPECT_EQ(roi_words, 63u);
}

TEST(RegisterTables, Imx636DropLutFamilies) {
    const RegisterMap& map = imx636Map();
    for (const char axis : {'h', 'v'}) {
        for (unsigned i = 0; i < 8; ++i) {
            const Register& reg = map[format(axis == 'h' ? "erc/h_drop_lut_%02u"
                                                         : "erc/v_drop_lut_%02u", i)];
            for (unsigned k = 0; k < 4; ++k) {
                const std::string name =
                    std::string(1, axis) + format("lut%02u", 4 * i + k);
                SCOPED_TRACE(reg.get_name() + "." + name);
                const Register::Field* field = reg.find_field(name);
                ASSERT_NE(field, nullptr);
                EXPECT_EQ(field->get_start(), 8 * k);
                EXPECT_EQ(field->get_len(), 5);
            }
        }
    }
    for (unsigned i = 0; i < 256; ++i) {
        const Register& reg = map[format("erc/t_drop_lut_%02u", i)];
        EXPECT_EQ(reg.get_address(), 0x6400u + 4 * i);
        for (unsigned k = 0; k < 2; ++k) {
            const Register::Field* field = reg.find_field(format("tlut%03u", 2 * i + k));
            ASSERT_NE(field, nullptr) << reg.get_name();
            EXPECT_EQ(field->get_start(), 16 * k);
            EXPECT_EQ(field->get_len(), 9);
        }
    }
    EXPECT_NE(map.find_field("erc/t_drop_lut_255", "tlut511"), nullptr);
    EXPECT_EQ(map.find("erc/t_drop_lut_256"), nullptr);
}

TEST(RegisterTables, Imx636SingleFieldFamilies) {
    const RegisterMap& map = imx636Map();
    for (unsigned i = 0; i < 64; ++i) {
        const Register& reg = map[format("ro/digital_mask_pixel_%02u", i)];
        EXPECT_EQ(reg.get_address(), 0x9100u + 4 * i);
        EXPECT_EQ(reg.get_fields().size(), 1u) << reg.get_name();
    }
    for (unsigned i = 0; i < 16; ++i) {
        const Register& reg = map[format("ro/area_cnt%02u", i)];
        ASSERT_EQ(reg.get_fields().size(), 1u) << reg.get_name();
        const Register::Field& field = reg[format("area_cnt_val_%02u", i)];
        EXPECT_EQ(field.get_mask(), 0xFFFFFFFFu);
    }
}

TEST(RegisterTables, Imx636NoTwoRegistersShareAnAddress) {
    const TableView table = imx636();
    std::set<std::uint32_t> addresses;
    std::set<std::string> names;
    for (std::size_t i = 0; i < table.count; ++i) {
        const RegisterInfo& entry = table.entries[i];
        if (entry.kind != REGISTER_INFO_REGISTER) {
            continue;
        }
        EXPECT_TRUE(addresses.insert(entry.value_a).second) << entry.name;
        EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
        EXPECT_EQ(entry.value_a % 4, 0u) << entry.name;
        EXPECT_GE(entry.value_a, 0x0004u);
        EXPECT_LE(entry.value_a, 0xE150u);
    }
    for (const std::uint32_t address : addresses) {
        ASSERT_NE(imx636Map().find_by_address(address), nullptr);
    }
}

TEST(RegisterTables, Imx636FieldsFitAndNeverOverlap) {
    // Walks the raw table, so a duplicate field name that the map would fold is seen too.
    const TableView table = imx636();
    std::string reg;
    std::uint32_t used = 0;
    std::set<std::string> field_names;
    ASSERT_EQ(table.entries[0].kind, REGISTER_INFO_REGISTER);
    for (std::size_t i = 0; i < table.count; ++i) {
        const RegisterInfo& entry = table.entries[i];
        ASSERT_NE(entry.name, nullptr) << "entry " << i;
        ASSERT_NE(entry.name[0], '\0') << "entry " << i;
        if (entry.kind == REGISTER_INFO_REGISTER) {
            reg = entry.name;
            used = 0;
            field_names.clear();
            continue;
        }
        if (entry.kind == REGISTER_INFO_ALIAS) {
            EXPECT_NE(table.entries[i - 1].kind, REGISTER_INFO_REGISTER) << entry.name;
            continue;
        }
        SCOPED_TRACE(reg + "." + entry.name);
        EXPECT_LE(entry.value_a + entry.value_b, 32u);
        EXPECT_TRUE(field_names.insert(entry.name).second);
        const std::uint32_t mask = Register::Field::make_mask(
            static_cast<std::uint8_t>(entry.value_a), static_cast<std::uint8_t>(entry.value_b));
        EXPECT_EQ(used & mask, 0u);
        used |= mask;
        if (entry.value_b < 32) {
            EXPECT_EQ(entry.value_c >> entry.value_b, 0u) << "default wider than the field";
        }
    }
}

TEST(RegisterTables, Imx636ReservedFieldsAreNamedAfterTheirBits) {
    std::size_t placeholders = 0;
    for (const auto& [reg_name, reg] : imx636Map()) {
        for (const auto& [name, field] : reg.get_fields()) {
            if (name.rfind("Reserved_", 0) != 0) {
                continue;
            }
            if (name == "Reserved_none") {
                EXPECT_EQ(field.get_len(), 0) << reg_name;
                ++placeholders;
                continue;
            }
            const unsigned lo = field.get_start();
            const unsigned hi = lo + field.get_len() - 1;
            const std::string expected = field.get_len() == 1
                                             ? format("Reserved_%u", lo)
                                             : format("Reserved_%u", hi) + format("_%u", lo);
            EXPECT_EQ(name, expected) << reg_name;
        }
    }
    EXPECT_EQ(placeholders, 6u);
}

TEST(RegisterTables, Imx636ResetValuesOfKnownRegisters) {
    const RegisterMap& map = imx636Map();
    EXPECT_EQ(map["bias/bias_diff"].get_default_value(), 0x01A1504Du);
    EXPECT_EQ(map["roi_win_end_addr"].get_default_value(), 0x02CF04FFu);
    EXPECT_EQ(map["edf/trigger_in"].get_default_value(), 0x400u);
    EXPECT_EQ(map["afk/filter_period"].get_default_value(), 0x00089C0Fu);
    EXPECT_EQ(map["stc/invalidation"].get_default_value(), 0x00118004u);
}

TEST(RegisterTables, ApsCtrlTableAsListed) {
    std::size_t count = 0;
    const RegisterInfo* table = getApsCtrlRegisterTable(count);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(count, 10u);
    const RegisterInfo expected[] = {
        {0, "aps_ctrl", 0x5000, 0, 0},          {1, "aps_en", 0, 1, 0},
        {0, "aps_exposure", 0x5001, 0, 0},      {1, "aps_auto_exposure_en", 0, 1, 1},
        {0, "aps_shutter", 0x5002, 0, 0},       {1, "aps_shutter_sweep_time", 0, 20, 102},
        {0, "aps_white_balance", 0x5003, 0, 0}, {1, "aps_auto_white_balance_en", 0, 1, 1},
        {0, "aps_blk_level", 0x5004, 0, 0},     {0, "aps_blk_level_offset", 0, 10, 50},
    };
    for (std::size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(table[i].kind, expected[i].kind);
        EXPECT_STREQ(table[i].name, expected[i].name);
        EXPECT_EQ(table[i].value_a, expected[i].value_a);
        EXPECT_EQ(table[i].value_b, expected[i].value_b);
        EXPECT_EQ(table[i].value_c, expected[i].value_c);
    }
}

TEST(RegisterTables, ApsCtrlMapReadsTheLastEntryAsTheBlackLevelField) {
    std::size_t count = 0;
    const RegisterInfo* table = getApsCtrlRegisterTable(count);
    const RegisterMap map(table, count);
    ASSERT_EQ(map.size(), 5u);
    for (std::uint32_t address = 0x5000; address <= 0x5004; ++address) {
        EXPECT_NE(map.find_by_address(address), nullptr) << address;
    }
    EXPECT_EQ(map["aps_shutter"]["aps_shutter_sweep_time"].get_mask(), 0xFFFFFu);
    EXPECT_EQ(map["aps_shutter"].get_default_value(), 102u);
    EXPECT_EQ(map["aps_blk_level"]["aps_blk_level_offset"].get_mask(), 0x3FFu);
    EXPECT_EQ(map["aps_blk_level"].get_default_value(), 50u);
    EXPECT_FALSE(map.contains("aps_blk_level_offset"));
    EXPECT_EQ(map.find_by_address(0), nullptr);
}

}  // namespace
}  // namespace vireo

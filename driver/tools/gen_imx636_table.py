#!/usr/bin/env python3
"""Generates driver/src/regmap/Imx636RegisterTable.cpp, the IMX636 register table.

The table describes every register of the event sensor by name and address, each register's
bit fields (first bit, length, reset default) and the aliases of some fields. Named
registers and fields are listed below block by block; the regular families (ROI words, drop
LUTs, digital masks, area counters, the reserved ERC block) are produced by loops.

Bits that no named field describes are filled with reserved fields named
Reserved_<hi>_<lo> (or Reserved_<bit> for one bit). Each block of the sensor has a known
number of fields; the generator then adjusts the reserved fill of a block until its count
matches:
  * too many fields: reserved fields at the top of a register (covering bit 31) are dropped,
    in table order, and those bits stay undescribed;
  * too few fields: reserved ranges are split one bit at a time, registers without any named
    field first, in table order;
  * a block with no reserved bits left to split (the ROI block, whose words are one 32-bit
    field each) receives empty placeholder fields named Reserved_none (no bits, mask 0),
    on its last registers.
Regular families are never split or trimmed by the adjustment. The script checks every count and
invariant before it writes, and prints the per-block figures.

Usage: python3 driver/tools/gen_imx636_table.py [output.cpp]
       python3 driver/tools/gen_imx636_table.py --check [table.cpp]
The second form writes nothing: it exits with status 1 when the checked-in table differs
from what the script generates (the test suite runs it that way).
"""

import os
import sys

OUT_DEFAULT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "regmap",
                           "Imx636RegisterTable.cpp")

# Target counts per block: (registers, fields, aliases).
BLOCK_TARGETS = {
    "": (22, 76, 0),
    "bias/": (7, 20, 0),
    "roi/": (63, 69, 126),
    "erc/": (511, 1509, 0),
    "edf/": (2, 7, 0),
    "eoi/": (1, 1, 0),
    "ro/": (100, 247, 0),
    "mipi_csi/": (6, 16, 0),
    "afk/": (11, 26, 0),
    "stc/": (13, 29, 0),
    "slvs/": (6, 11, 0),
}
BLOCK_ORDER = list(BLOCK_TARGETS.keys())


class Field:
    def __init__(self, name, hi, lo, default=0, aliases=None, generated=False, family=False):
        self.name = name
        self.hi = hi
        self.lo = lo
        self.default = default
        self.aliases = aliases or []
        # generated: reserved fill that the count adjustment may split or drop.
        self.generated = generated
        self.family = family

    @property
    def length(self):
        return self.hi - self.lo + 1 if self.hi >= self.lo else 0


class Reg:
    def __init__(self, block, name, address, fields, family=False):
        self.block = block
        self.name = block + name
        self.address = address
        self.fields = fields
        self.family = family


def f(name, hi, lo=None, default=0, aliases=None):
    """A named field of bits hi:lo (a single bit when lo is omitted)."""
    return Field(name, hi, hi if lo is None else lo, default, aliases)


def reserved_name(hi, lo):
    return "Reserved_%d" % lo if hi == lo else "Reserved_%d_%d" % (hi, lo)


def fill_gaps(reg):
    """Adds reserved fields over every bit range that no field covers."""
    used = [False] * 32
    for fld in reg.fields:
        for bit in range(fld.lo, fld.hi + 1):
            assert not used[bit], "overlap in %s at bit %d" % (reg.name, bit)
            used[bit] = True
    bit = 0
    while bit < 32:
        if used[bit]:
            bit += 1
            continue
        lo = bit
        while bit < 32 and not used[bit]:
            bit += 1
        reg.fields.append(Field(reserved_name(bit - 1, lo), bit - 1, lo, 0, generated=True))
    reg.fields.sort(key=lambda x: (x.lo, x.hi))


def build_registers():
    regs = []

    def add(block, name, address, fields, family=False):
        regs.append(Reg(block, name, address, fields, family))

    # Pixel array, LIFO, refractory, ROI window, ADC, temperature, global detector control.
    b = ""
    add(b, "roi_ctrl", 0x0004, [f("roi_td_en", 1), f("roi_td_shadow_trigger", 5),
                                f("td_roi_roni_n_en", 6, default=1), f("px_td_rstn", 10)])
    add(b, "lifo_ctrl", 0x000C, [f("lifo_en", 0), f("lifo_out_en", 1), f("lifo_cnt_en", 2)])
    add(b, "lifo_status", 0x0010, [f("lifo_ton", 28, 0), f("lifo_ton_valid", 29)])
    add(b, "Reserved_0014", 0x0014, [])
    add(b, "spare0", 0x0018, [f("gcd_rstn", 20)])
    add(b, "refractory_ctrl", 0x0020, [f("refr_counter", 27, 0), f("refr_valid", 28),
                                       f("refr_cnt_en", 30), f("refr_en", 31)])
    add(b, "roi_win_ctrl", 0x0034, [f("roi_master_en", 0), f("roi_win_done", 1)])
    add(b, "roi_win_start_addr", 0x0038, [f("roi_win_start_x", 10, 0),
                                          f("roi_win_start_y", 25, 16)])
    add(b, "roi_win_end_addr", 0x003C, [f("roi_win_end_x", 10, 0, 0x4FF),
                                        f("roi_win_end_y", 25, 16, 0x2CF)])
    add(b, "dig_pad2_ctrl", 0x0044, [f("pad_sync", 19, 16, 0xF)])
    add(b, "adc_control", 0x004C, [f("adc_en", 0), f("adc_clk_en", 1), f("adc_start", 2)])
    add(b, "adc_status", 0x0050, [f("adc_dac_dyn", 9, 0), f("adc_done_dyn", 11)])
    add(b, "adc_misc_ctrl", 0x0054, [f("adc_buf_cal_en", 1), f("adc_rng", 11, 10),
                                     f("adc_temp", 12)])
    add(b, "temp_ctrl", 0x005C, [f("temp_buf_cal_en", 0), f("temp_buf_en", 1)])
    add(b, "iph_mirr_ctrl", 0x0074, [f("iph_mirr_en", 0), f("iph_mirr_amp_en", 1, default=1)])
    add(b, "gcd_ctrl1", 0x0078, [f("gcd_en", 0), f("gcd_diffamp_en", 1), f("gcd_lpf_en", 2)])
    add(b, "reqy_qmon_ctrl", 0x0088, [])
    add(b, "reqy_qmon_status", 0x008C, [])
    add(b, "gcd_shadow_ctrl", 0x0090, [f("gcd_irq_sw_override", 1), f("gcd_reset_on_copy", 2)])
    add(b, "gcd_shadow_status", 0x0094, [f("gcd_shadow_valid", 0)])
    add(b, "gcd_shadow_counter", 0x0098, [f("gcd_shadow_cnt_off", 15, 0),
                                          f("gcd_shadow_cnt_on", 31, 16)])
    add(b, "stop_sequence_control", 0x00C8, [f("stop_sequence_start", 0)])

    # Biases: an 8-bit current setting, a reserved block with its own reset pattern, and the
    # bit that latches a single bias.
    b = "bias/"
    biases = [("bias_fo", 0x1004, 0x00, 0x3A1E8), ("bias_hpf", 0x100C, 0x00, 0x3A1FF),
              ("bias_diff_on", 0x1010, 0x00, 0x1A163), ("bias_diff", 0x1014, 0x4D, 0x1A150),
              ("bias_diff_off", 0x1018, 0x00, 0x1A137), ("bias_refr", 0x1020, 0x14, 0x38296)]
    for name, address, idac, reserved in biases:
        add(b, name, address, [f("idac_ctl", 7, 0, idac), f("Reserved_27_8", 27, 8, reserved),
                               f("single_transfer", 28)])
    add(b, "bgen_ctrl", 0x1100, [f("burst_transfer", 0)])

    # Region of interest: one bit per column (x) or row (y), 32 per word.
    b = "roi/"
    for prefix, count, base in (("td_roi_x", 40, 0x2000), ("td_roi_y", 23, 0x4000)):
        for i in range(count):
            add(b, "%s%02d" % (prefix, i), base + 4 * i,
                [Field("effective", 31, 0, 0, [("enable", 0x0), ("disable", 0xFFFFFFFF)],
                       family=True)], family=True)

    # Event-rate controller.
    b = "erc/"
    add(b, "Reserved_6000", 0x6000, [])
    add(b, "in_drop_rate_control", 0x6004, [f("cfg_event_delay_fifo_en", 0)])
    add(b, "reference_period", 0x6008, [f("erc_reference_period", 9, 0, 0x80)])
    add(b, "td_target_event_rate", 0x600C, [f("target_event_rate", 21, 0, 0x80)])
    add(b, "erc_enable", 0x6028, [f("erc_en", 0)])
    add(b, "Reserved_602C", 0x602C, [])
    add(b, "t_dropping_control", 0x6050, [f("t_dropping_en", 0)])
    add(b, "h_dropping_control", 0x6060, [f("h_dropping_en", 0)])
    add(b, "v_dropping_control", 0x6070, [f("v_dropping_en", 0)])
    for axis, base in (("h", 0x6080), ("v", 0x60C0)):
        for i in range(8):
            fields = [Field("%slut%02d" % (axis, 4 * i + k), 8 * k + 4, 8 * k, family=True)
                      for k in range(4)]
            add(b, "%s_drop_lut_%02d" % (axis, i), base + 4 * i, fields, family=True)
    for i in range(256):
        fields = [Field("tlut%03d" % (2 * i + k), 16 * k + 8, 16 * k, family=True)
                  for k in range(2)]
        add(b, "t_drop_lut_%02d" % i, 0x6400 + 4 * i, fields, family=True)
    for address in range(0x6800, 0x6B94 + 1, 4):
        add(b, "Reserved_%04X" % address, address, [])

    b = "edf/"
    add(b, "pipeline_control", 0x7000, [f("format", 1)])
    add(b, "trigger_in", 0x7004, [f("enable", 10, default=1)])

    b = "eoi/"
    add(b, "Reserved_8000", 0x8000, [])

    # Readout.
    b = "ro/"
    add(b, "readout_ctrl", 0x9000, [f("ro_td_self_test_en", 1), f("ro_inv_pol_td", 5)])
    add(b, "ro_fsm_ctrl", 0x9004, [f("readout_wait", 15, 0, 0x1E)])
    add(b, "time_base_ctrl", 0x9008, [f("time_base_enable", 0), f("time_base_mode", 1),
                                      f("external_mode", 2), f("external_mode_enable", 3),
                                      # Reserved, but reset to 100 and rewritten with 100
                                      # whenever the time base is configured.
                                      f("Reserved_10_4", 10, 4, 0x64)])
    add(b, "dig_ctrl", 0x900C, [f("dig_crop_enable", 2, 0), f("dig_crop_reset_orig", 4)])
    add(b, "dig_start_pos", 0x9010, [f("dig_crop_start_x", 10, 0),
                                     f("dig_crop_start_y", 25, 16)])
    add(b, "dig_end_pos", 0x9014, [f("dig_crop_end_x", 10, 0), f("dig_crop_end_y", 25, 16)])
    add(b, "ro_ctrl", 0x9028, [f("area_cnt_en", 0), f("output_disable", 1), f("keep_th", 2)])
    for i, default in enumerate((0x000, 0x140, 0x280, 0x3C0, 0x500)):
        add(b, "area_x%d_addr" % i, 0x902C + 4 * i, [f("x%d_addr" % i, 10, 0, default)])
    for i, default in enumerate((0x000, 0x0B4, 0x168, 0x21C, 0x2D0)):
        add(b, "area_y%d_addr" % i, 0x9040 + 4 * i, [f("y%d_addr" % i, 10, 0, default)])
    add(b, "counter_ctrl", 0x9054, [f("count_en", 0)])
    add(b, "counter_timer_threshold", 0x9058, [f("timer_threshold", 31, 0, 0x3E8)])
    for i in range(64):
        name = "digital_mask_pixel_%02d" % i
        add(b, name, 0x9100 + 4 * i, [Field(name, 31, 0, family=True)], family=True)
    for i in range(16):
        add(b, "area_cnt%02d" % i, 0x9200 + 4 * i,
            [Field("area_cnt_val_%02d" % i, 31, 0, family=True)], family=True)
    add(b, "evt_vector_cnt_val", 0x9244, [f("evt_vector_cnt_val", 31, 0)])

    b = "mipi_csi/"
    add(b, "mipi_control", 0xB000, [f("mipi_csi_enable", 0), f("mipi_data_lane1", 3, default=1),
                                    f("mipi_data_lane2", 4, default=1),
                                    f("mipi_packet_timeout_enable", 5),
                                    f("line_blanking_clk_disable", 6, default=1),
                                    f("line_blanking_en", 8, default=1),
                                    f("frame_blanking_en", 9)])
    add(b, "mipi_packet_size", 0xB020, [f("mipi_packet_size", 14, 0, 0x2000)])
    add(b, "mipi_packet_timeout", 0xB024, [f("mipi_packet_timeout", 15, 0, 0x40)])
    add(b, "mipi_frame_period", 0xB028, [f("mipi_frame_period", 15, 4, 0x7D)])
    add(b, "mipi_line_blanking", 0xB02C, [f("mipi_line_blanking", 7, 0, 0xA)])
    add(b, "mipi_frame_blanking", 0xB030, [f("mipi_frame_blanking", 15, 0, 0)])

    # Anti-flicker and spatio-temporal contrast filters share the shadow-counter layout.
    def shadow(block, base):
        add(block, "shadow_ctrl", base, [f("timer_en", 0)])
        add(block, "shadow_timer_threshold", base + 4, [f("timer_threshold", 31, 0, 0x3E8)])
        add(block, "shadow_status", base + 8, [f("shadow_valid", 0), f("shadow_overrun", 1)])

    def counter(block, name, address):
        add(block, name, address, [f(name, 31, 0)])

    b = "afk/"
    add(b, "pipeline_control", 0xC000, [f("afk_bypass", 2)])
    add(b, "param", 0xC004, [f("counter_low", 2, 0, 4), f("counter_high", 5, 3, 6),
                             f("invert", 6), f("drop_disable", 7)])
    add(b, "filter_period", 0xC008, [f("min_cutoff_period", 7, 0, 0x0F),
                                     f("max_cutoff_period", 15, 8, 0x9C),
                                     f("inverted_duty_cycle", 19, 16, 8)])
    add(b, "invalidation", 0xC0C0, [f("dt_fifo_wait_time", 11, 0, 0x5A0)])
    add(b, "initialization", 0xC0C4, [f("afk_req_init", 0), f("afk_flag_init_done", 2)])
    shadow(b, 0xC0D4)
    counter(b, "total_evt_count", 0xC0E0)
    counter(b, "flicker_evt_count", 0xC0E4)
    counter(b, "vector_evt_count", 0xC0E8)

    b = "stc/"
    add(b, "pipeline_control", 0xD000, [f("stc_trail_bypass", 2)])
    add(b, "stc_param", 0xD004, [f("stc_enable", 0), f("stc_threshold", 19, 1, 0x2710),
                                 f("disable_stc_cut_trail", 24)])
    add(b, "trail_param", 0xD008, [f("trail_enable", 0), f("trail_threshold", 19, 1, 0x186A0)])
    add(b, "timestamping", 0xD00C, [f("prescaler", 4, 0, 0xD), f("multiplier", 8, 5, 1),
                                    f("enable_last_ts_update_at_every_event", 16)])
    add(b, "invalidation", 0xD0C0, [f("dt_fifo_wait_time", 11, 0, 4),
                                    f("dt_fifo_timeout", 23, 12, 0x118)])
    add(b, "initialization", 0xD0C4, [f("stc_req_init", 0), f("stc_flag_init_done", 2)])
    shadow(b, 0xD0D4)
    counter(b, "total_evt_count", 0xD0E0)
    counter(b, "stc_evt_count", 0xD0E4)
    counter(b, "trail_evt_count", 0xD0E8)
    counter(b, "output_vector_count", 0xD0EC)

    b = "slvs/"
    add(b, "slvs_control", 0xE000, [f("slvs_llp_enable", 0), f("slvs_packet_timeout_enable", 5),
                                    f("slvs_line_blanking_en", 8, default=1),
                                    f("slvs_frame_blanking_en", 9)])
    add(b, "slvs_packet_size", 0xE020, [f("slvs_packet_size", 13, 0, 0x1000)])
    add(b, "slvs_packet_timeout", 0xE024, [f("slvs_packet_timeout", 15, 0, 0x40)])
    add(b, "slvs_line_blanking", 0xE02C, [f("slvs_line_blanking", 7, 0, 0xA)])
    add(b, "slvs_frame_blanking", 0xE030, [f("slvs_frame_blanking", 15, 0, 0)])
    add(b, "slvs_phy_logic_ctrl_00", 0xE150, [f("oportsel", 1, 0)])

    for reg in regs:
        fill_gaps(reg)
    return regs


def field_count(regs):
    return sum(len(r.fields) for r in regs)


def drop_reserved(regs, excess):
    """Drops generated reserved fields, those covering bit 31 first, in table order."""
    def passes():
        yield lambda fld: fld.hi == 31
        yield lambda fld: True
    for accept in passes():
        for reg in regs:
            if excess == 0:
                return 0
            if reg.family or len(reg.fields) < 2:
                continue
            for fld in reg.fields:
                if fld.generated and accept(fld):
                    reg.fields.remove(fld)
                    excess -= 1
                    break
    return excess


def split_reserved(regs, missing):
    """Splits generated reserved ranges one bit at a time, registers without a named field
    first; each pass splits at most one range per register."""
    def order():
        bare = [r for r in regs if not r.family and all(x.generated for x in r.fields)]
        rest = [r for r in regs if not r.family and r not in bare]
        return bare + rest
    while missing > 0:
        progress = False
        for reg in order():
            if missing == 0:
                break
            for fld in reg.fields:
                if fld.generated and fld.length >= 2:
                    low = Field(reserved_name(fld.lo, fld.lo), fld.lo, fld.lo, 0, generated=True)
                    fld.lo += 1
                    fld.name = reserved_name(fld.hi, fld.lo)
                    reg.fields.append(low)
                    reg.fields.sort(key=lambda x: (x.lo, x.hi))
                    missing -= 1
                    progress = True
                    break
        if not progress:
            break
    # Nothing left to split: empty placeholders, last registers first.
    for reg in reversed(regs):
        if missing == 0:
            break
        reg.fields.append(Field("Reserved_none", -1, 0, 0, generated=True))
        missing -= 1
    return missing


def adjust(regs):
    report = []
    for block in BLOCK_ORDER:
        members = [r for r in regs if r.block == block]
        want_regs, want_fields, want_aliases = BLOCK_TARGETS[block]
        assert len(members) == want_regs, (block, len(members))
        have = field_count(members)
        if have > want_fields:
            assert drop_reserved(members, have - want_fields) == 0, block
        elif have < want_fields:
            assert split_reserved(members, want_fields - have) == 0, block
        aliases = sum(len(x.aliases) for r in members for x in r.fields)
        assert field_count(members) == want_fields, (block, field_count(members))
        assert aliases == want_aliases, (block, aliases)
        report.append((block or "(none)", len(members), field_count(members), aliases, have))
    return report


def check(regs):
    names = set()
    addresses = set()
    for reg in regs:
        assert reg.name not in names, reg.name
        assert reg.address not in addresses, reg.name
        assert reg.address % 4 == 0 and 0x0004 <= reg.address <= 0xE150, reg.name
        names.add(reg.name)
        addresses.add(reg.address)
        used = 0
        field_names = set()
        for fld in reg.fields:
            assert fld.name not in field_names, (reg.name, fld.name)
            field_names.add(fld.name)
            mask = ((1 << fld.length) - 1) << fld.lo if fld.length else 0
            assert mask >> 32 == 0, (reg.name, fld.name)
            assert used & mask == 0, (reg.name, fld.name)
            assert fld.default >> fld.length == 0, (reg.name, fld.name)
            used |= mask


def render(regs, report):
    lines = []
    out = lines.append
    out("// The IMX636 event-sensor register table: every register of the sensor with its")
    out("// address, bit fields and field aliases, as one constant array in table order (a")
    out("// register entry, then its fields, each field followed by its aliases).")
    out("//")
    out("// Generated by driver/tools/gen_imx636_table.py; edit the script, not this file.")
    out("// Per block (registers / fields / aliases):")
    for block, nregs, nfields, naliases, _ in report:
        out("//   %-10s %4d / %4d / %3d" % (block, nregs, nfields, naliases))
    out("#include <vireo/RegisterTables.h>")
    out("")
    out("namespace vireo {")
    out("namespace {")
    out("")
    out("constexpr std::uint32_t R = 0;  // register: address")
    out("constexpr std::uint32_t F = 1;  // field: first bit, length, default")
    out("constexpr std::uint32_t A = 2;  // alias: value")
    out("")
    total = 0
    body = []
    for reg in regs:
        body.append('    {R, "%s", 0x%04X, 0, 0},' % (reg.name, reg.address))
        total += 1
        for fld in reg.fields:
            start = fld.lo if fld.length else 0
            body.append('    {F, "%s", %d, %d, 0x%X},' % (fld.name, start, fld.length, fld.default))
            total += 1
            for alias, value in fld.aliases:
                body.append('    {A, "%s", 0x%X, 0, 0},' % (alias, value))
                total += 1
    out("constexpr RegisterInfo kImx636RegisterTable[%d] = {" % total)
    lines.extend(body)
    out("};")
    out("")
    out("}  // namespace")
    out("")
    out("const RegisterInfo* getImx636RegisterTable(std::size_t& count) {")
    out("    count = sizeof(kImx636RegisterTable) / sizeof(kImx636RegisterTable[0]);")
    out("    return kImx636RegisterTable;")
    out("}")
    out("")
    out("}  // namespace vireo")
    return "\n".join(lines) + "\n", total


def main():
    args = sys.argv[1:]
    check_only = bool(args) and args[0] == "--check"
    if check_only:
        args = args[1:]
    path = args[0] if args else OUT_DEFAULT
    regs = build_registers()
    report = adjust(regs)
    check(regs)
    text, total = render(regs, report)
    if check_only:
        with open(path) as handle:
            if handle.read() != text:
                print("%s is out of date: run %s" % (path, os.path.basename(__file__)))
                sys.exit(1)
        print("%s matches the generator (%d entries)" % (path, total))
        return
    with open(path, "w") as handle:
        handle.write(text)
    for block, nregs, nfields, naliases, before in report:
        print("%-10s registers %4d  fields %4d (fill gave %4d)  aliases %3d"
              % (block, nregs, nfields, before, naliases))
    print("entries %d -> %s" % (total, os.path.normpath(path)))


if __name__ == "__main__":
    main()

// Imx636ROI: the region of interest, a window of columns x rows whose events the sensor keeps
// (mode "roi") or drops (mode "roni", the complement).
//
// Register effects:
//   enable             roi_td_en of roi_ctrl
//   mode               td_roi_roni_n_en of roi_ctrl: 1 roi, 0 roni
//   x, x_width         column masks roi/td_roi_x00..x39 (32 columns each, bit 0 the lowest)
//   y, y_height        row masks roi/td_roi_y00..y22 (the last 16 bits lie beyond row 719)
// A mask bit set disables its line (the registers' alias "disable" sets all 32), so the
// reset value 0 opens the whole sensor. A window is written as every line outside it set;
// reading finds the first open line and counts the open lines that follow it. After the masks
// change, roi_td_shadow_trigger is set so the sensor loads them.
//
// Each coordinate is checked against the sensor on its own; a window that reaches past the
// far edge is clipped there when it is written, so x = 100 while the width is still 1280
// opens columns 100..1279. The window as asked is remembered per axis, so that the order of
// setting does not matter: from a window at 1000..1199, x_width = 640 opens 1000..1279, and a
// later x = 100 gives 100..739, not the 280 columns that fitted meanwhile. The remembered
// window is only used while the masks still hold its clipped form; once anything else changed
// them (another tool object, a sensor sequence) the masks are the truth again.
#include <vireo/Imx636Tools.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "ToolSupport.h"

namespace vireo {

namespace {

struct Axis {
    const char* prefix;  // register name without the two-digit index
    int lines;           // pixels along the axis
    int registers;       // mask registers along the axis
};

constexpr Axis kColumns{"roi/td_roi_x", kImx636Width, 40};
constexpr Axis kRows{"roi/td_roi_y", kImx636Height, 23};

std::string maskRegister(const Axis& axis, int index) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%02d", axis.prefix, index);
    return name;
}

struct Span {
    int start = 0;
    int length = 0;
    friend bool operator==(const Span&, const Span&) = default;
};

// The part of `span` that lies on the sensor. Starts are at most lines - 1 and lengths at
// least 1 (the parameters' ranges), so a clipped window keeps at least one line.
Span clipped(const Axis& axis, Span span) {
    span.length = std::min(span.length, axis.lines - span.start);
    return span;
}

// The span last asked for along one axis, shared by that axis's two coordinate setters.
using RequestedSpan = std::shared_ptr<std::optional<Span>>;

}  // namespace

namespace {

// Reads an axis's masks and returns its open span; std::nullopt when unreadable.
std::optional<Span> readSpan(RegisterController& controller, const Axis& axis) {
    Span span;
    bool inside = false;
    for (int r = 0; r < axis.registers; ++r) {
        const auto mask = controller.readRegister(maskRegister(axis, r));
        if (!mask) return std::nullopt;
        for (int bit = 0; bit < 32; ++bit) {
            const int line = r * 32 + bit;
            if (line >= axis.lines) break;
            const bool open = ((*mask >> bit) & 1u) == 0;
            if (open && span.length == 0 && !inside) {
                span.start = line;
                inside = true;
            }
            if (inside) {
                if (!open) return span;
                ++span.length;
            }
        }
    }
    return span;
}

// Writes the masks that open exactly [start, start + length).
bool writeSpan(RegisterController& controller, const Axis& axis, Span span) {
    bool ok = true;
    for (int r = 0; r < axis.registers; ++r) {
        uint32_t mask = 0;
        for (int bit = 0; bit < 32; ++bit) {
            const int line = r * 32 + bit;
            if (line < span.start || line >= span.start + span.length) mask |= 1u << bit;
        }
        ok = controller.writeRegister(maskRegister(axis, r), mask) && ok;
    }
    return ok;
}

}  // namespace

Imx636ROI::Imx636ROI(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    addParameter(tools::boolParameter("enable", "filter events by the window (roi_td_en of roi_ctrl)",
                                      fieldDefault("roi_ctrl", "roi_td_en") != 0),
                 [this]() -> std::optional<Value> {
                     const auto bit = readField("roi_ctrl", "roi_td_en");
                     if (!bit) return std::nullopt;
                     return Value(std::in_place_index<1>, *bit != 0);
                 },
                 [this](const Value& value) {
                     return writeFields("roi_ctrl", {{"roi_td_en", std::get<bool>(value) ? 1u : 0u}});
                 });
    addParameter(tools::enumParameter("mode", "roi keeps the events inside the window, roni those outside it "
                                              "(td_roi_roni_n_en of roi_ctrl)",
                                      {"roi", "roni"}, fieldDefault("roi_ctrl", "td_roi_roni_n_en") != 0 ? "roi" : "roni"),
                 [this]() -> std::optional<Value> {
                     const auto bit = readField("roi_ctrl", "td_roi_roni_n_en");
                     if (!bit) return std::nullopt;
                     return Value(std::in_place_index<0>, *bit != 0 ? "roi" : "roni");
                 },
                 [this](const Value& value) {
                     return writeFields("roi_ctrl",
                                        {{"td_roi_roni_n_en", std::get<std::string>(value) == "roi" ? 1u : 0u}});
                 });

    // One window coordinate: `isStart` picks the span's start or its length on `axis`. The
    // setters run under the tool's lock, which also guards `requested`.
    const auto addCoordinate = [this](const char* name, const char* description, const Axis& axis, bool isStart,
                                      const RequestedSpan& requested) {
        addParameter(
            tools::intParameter(name, description, isStart ? 0 : 1, isStart ? axis.lines - 1 : axis.lines,
                                isStart ? 0 : axis.lines),
            [this, axis, isStart]() -> std::optional<Value> {
                const auto span = readSpan(*controller_, axis);
                if (!span) return std::nullopt;
                return Value(std::in_place_index<3>, isStart ? span->start : span->length);
            },
            [this, name, axis, isStart, requested](const Value& value) {
                const auto held = readSpan(*controller_, axis);
                if (!held) return refuse(name, "the device cannot be read");
                std::optional<Span>& asked = *requested;
                Span window = asked && clipped(axis, *asked) == *held ? *asked : *held;
                (isStart ? window.start : window.length) = std::get<int>(value);
                const bool written = writeSpan(*controller_, axis, clipped(axis, window)) &&
                                     writeFields("roi_ctrl", {{"roi_td_shadow_trigger", 1}});
                if (written) {
                    asked = window;
                } else {
                    asked.reset();
                }
                return written;
            });
    };
    const auto columns = std::make_shared<std::optional<Span>>();
    const auto rows = std::make_shared<std::optional<Span>>();
    addCoordinate("x", "first column of the window (roi/td_roi_x00..x39)", kColumns, true, columns);
    addCoordinate("y", "first row of the window (roi/td_roi_y00..y22)", kRows, true, rows);
    addCoordinate("x_width", "columns in the window (roi/td_roi_x00..x39)", kColumns, false, columns);
    addCoordinate("y_height", "rows in the window (roi/td_roi_y00..y22)", kRows, false, rows);
}

const char* Imx636ROI::className() const { return "Imx636ROI"; }

ToolInfo Imx636ROI::getToolInfo() const {
    return tools::makeToolInfo(TOOL_ROI, {"enable", "mode", "x", "y", "x_width", "y_height"},
                               "ROI of DVS cameras with IMX636 sensor");
}

}  // namespace vireo

// Imx636EventTrailFilter: the spatio-temporal contrast (STC) and trail filters of the stc/
// block, which drop the bursts of events a single edge leaves behind.
//
// Register effects:
//   enable     stc_trail_bypass of stc/pipeline_control, inverted; the filter also counts as
//              off while neither stc_enable nor trail_enable is set (the reset state)
//   type       "trail":          trail_enable 1, stc_enable 0
//              "stc_cut_trail":  stc_enable 1, disable_stc_cut_trail 0, trail_enable 0
//              "stc_keep_trail": stc_enable 1, disable_stc_cut_trail 1, trail_enable 0
//   threshold  trail_threshold of stc/trail_param for "trail", stc_threshold of
//              stc/stc_param otherwise (us, 19 bits)
// Turning the filter off sets the bypass and leaves the type bits, so the type survives;
// changing the type of a filter that is off sets the bypass too, so it stays off.
#include <vireo/Imx636Tools.h>

#include "ToolSupport.h"

namespace vireo {

namespace {

struct FilterState {
    bool bypass = false;
    bool stc = false;
    bool trail = false;
    bool keepTrail = false;

    bool enabled() const { return !bypass && (stc || trail); }
    const char* type() const { return trail && !stc ? "trail" : (keepTrail ? "stc_keep_trail" : "stc_cut_trail"); }
};

}  // namespace

Imx636EventTrailFilter::Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    const auto readState = [this]() -> std::optional<FilterState> {
        const auto bypass = readField("stc/pipeline_control", "stc_trail_bypass");
        const auto stc = readField("stc/stc_param", "stc_enable");
        const auto keep = readField("stc/stc_param", "disable_stc_cut_trail");
        const auto trail = readField("stc/trail_param", "trail_enable");
        if (!bypass || !stc || !keep || !trail) return std::nullopt;
        return FilterState{*bypass != 0, *stc != 0, *trail != 0, *keep != 0};
    };
    // Sets the enable bits of `type`, keeping the threshold fields.
    const auto writeType = [this](const std::string& type) {
        const bool trail = type == "trail";
        return writeFields("stc/stc_param", {{"stc_enable", trail ? 0u : 1u},
                                             {"disable_stc_cut_trail", type == "stc_keep_trail" ? 1u : 0u}}) &&
               writeFields("stc/trail_param", {{"trail_enable", trail ? 1u : 0u}});
    };

    FilterState reset{fieldDefault("stc/pipeline_control", "stc_trail_bypass") != 0,
                      fieldDefault("stc/stc_param", "stc_enable") != 0,
                      fieldDefault("stc/trail_param", "trail_enable") != 0,
                      fieldDefault("stc/stc_param", "disable_stc_cut_trail") != 0};
    const bool resetIsTrail = std::string(reset.type()) == "trail";

    addParameter(
        tools::boolParameter("enable", "drop the trail events of moving edges (stc_trail_bypass of "
                                       "stc/pipeline_control, inverted, with the type's enable bit)",
                             reset.enabled()),
        [readState]() -> std::optional<Value> {
            const auto state = readState();
            if (!state) return std::nullopt;
            return Value(std::in_place_index<1>, state->enabled());
        },
        [this, readState, writeType](const Value& value) {
            const auto state = readState();
            if (!state) return refuse("enable", "the device cannot be read");
            if (!std::get<bool>(value)) return writeFields("stc/pipeline_control", {{"stc_trail_bypass", 1}});
            if (!state->stc && !state->trail && !writeType(state->type())) return false;
            return writeFields("stc/pipeline_control", {{"stc_trail_bypass", 0}});
        });

    addParameter(
        tools::enumParameter("type", "trail keeps the first event of a burst; stc_cut_trail and stc_keep_trail "
                                     "drop isolated events, cutting or keeping the trail after them",
                             {"trail", "stc_cut_trail", "stc_keep_trail"}, reset.type()),
        [readState]() -> std::optional<Value> {
            const auto state = readState();
            if (!state) return std::nullopt;
            return Value(std::in_place_index<0>, state->type());
        },
        [this, readState, writeType](const Value& value) {
            const auto state = readState();
            if (!state) return refuse("type", "the device cannot be read");
            if (!writeType(std::get<std::string>(value))) return false;
            if (!state->enabled()) return writeFields("stc/pipeline_control", {{"stc_trail_bypass", 1}});
            return true;
        });

    const int resetThreshold = static_cast<int>(
        resetIsTrail ? fieldDefault("stc/trail_param", "trail_threshold") : fieldDefault("stc/stc_param", "stc_threshold"));
    addParameter(
        tools::intParameter("threshold", "time window of the selected type in us (stc_threshold of stc/stc_param, "
                                         "or trail_threshold of stc/trail_param for trail)",
                            1, (1 << 19) - 1, resetThreshold),
        [this, readState]() -> std::optional<Value> {
            const auto state = readState();
            if (!state) return std::nullopt;
            const bool trail = std::string(state->type()) == "trail";
            const auto threshold = trail ? readField("stc/trail_param", "trail_threshold")
                                         : readField("stc/stc_param", "stc_threshold");
            if (!threshold) return std::nullopt;
            return Value(std::in_place_index<3>, static_cast<int>(*threshold));
        },
        [this, readState](const Value& value) {
            const auto state = readState();
            if (!state) return refuse("threshold", "the device cannot be read");
            const auto threshold = static_cast<uint32_t>(std::get<int>(value));
            if (std::string(state->type()) == "trail") {
                return writeFields("stc/trail_param", {{"trail_threshold", threshold}});
            }
            return writeFields("stc/stc_param", {{"stc_threshold", threshold}});
        });
}

const char* Imx636EventTrailFilter::className() const { return "Imx636EventTrailFilter"; }

ToolInfo Imx636EventTrailFilter::getToolInfo() const {
    return tools::makeToolInfo(TOOL_EVENT_TRAIL_FILTER, {"enable", "threshold", "type"},
                               "Event Trail Filter of DVS cameras with IMX636 sensor");
}

}  // namespace vireo

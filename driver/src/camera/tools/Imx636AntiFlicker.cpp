// Imx636AntiFlicker: the anti-flicker filter, which recognises pixels blinking at a
// frequency inside a band and drops their events (band-stop) or keeps only them (band-pass).
//
// Register effects:
//   enable          afk_bypass of afk/pipeline_control, inverted
//   mode            invert of afk/param: 0 band_stop, 1 band_pass
//   low_frequency   max_cutoff_period of afk/filter_period (the longest period of the band)
//   high_frequency  min_cutoff_period of afk/filter_period (the shortest period)
//   duty_cycle      inverted_duty_cycle of afk/filter_period, in sixteenths: 16 - duty * 16 / 100
//   start_threshold counter_high of afk/param: detections before a pixel counts as flickering
//   stop_threshold  counter_low of afk/param: level below which it stops counting as such
// The periods count 128 us steps (8 bits, 1 to 255), so a band edge is held as the period
// nearest to 1 / frequency and reads back as the frequency of that period.
#include <vireo/Imx636Tools.h>

#include <algorithm>
#include <cmath>

#include "ToolSupport.h"

namespace vireo {

namespace {

constexpr double kPeriodStep_us = 128.0;
constexpr uint32_t kMinPeriod = 1;
constexpr uint32_t kMaxPeriod = 255;

float frequencyOf(uint32_t period) {
    return period == 0 ? 0.0f : static_cast<float>(1e6 / (kPeriodStep_us * period));
}

uint32_t periodOf(float frequency_hz) {
    const double steps = 1e6 / (kPeriodStep_us * frequency_hz);
    return static_cast<uint32_t>(std::clamp<double>(std::round(steps), kMinPeriod, kMaxPeriod));
}

int dutyOf(uint32_t inverted) {
    return static_cast<int>(std::lround((16.0 - inverted) * 100.0 / 16.0));
}

uint32_t invertedOf(int duty_percent) {
    return static_cast<uint32_t>(std::clamp<long>(16 - std::lround(duty_percent * 16.0 / 100.0), 0, 15));
}

}  // namespace

const std::map<std::string, std::string>& Imx636AntiFlicker::parameterTable() {
    static const std::map<std::string, std::string> table{
        {"enable", "bool"},          {"mode", "enum"},          {"low_frequency", "float"},
        {"high_frequency", "float"}, {"duty_cycle", "int"},     {"start_threshold", "int"},
        {"stop_threshold", "int"},
    };
    return table;
}

Imx636AntiFlicker::Imx636AntiFlicker(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    const auto readBit = [this](const char* reg, const char* field, bool inverted) {
        return [this, reg, field, inverted]() -> std::optional<Value> {
            const auto bit = readField(reg, field);
            if (!bit) return std::nullopt;
            return Value(std::in_place_index<1>, (*bit != 0) != inverted);
        };
    };

    addParameter(tools::boolParameter("enable", "filter flickering pixels (afk_bypass of afk/pipeline_control, inverted)",
                                      fieldDefault("afk/pipeline_control", "afk_bypass") == 0),
                 readBit("afk/pipeline_control", "afk_bypass", true), [this](const Value& value) {
                     return writeFields("afk/pipeline_control", {{"afk_bypass", std::get<bool>(value) ? 0u : 1u}});
                 });

    addParameter(
        tools::enumParameter("mode", "band_stop drops the events of pixels flickering in the band, band_pass keeps "
                                     "only them (invert of afk/param)",
                             {"band_stop", "band_pass"}, fieldDefault("afk/param", "invert") != 0 ? "band_pass" : "band_stop"),
        [this]() -> std::optional<Value> {
            const auto invert = readField("afk/param", "invert");
            if (!invert) return std::nullopt;
            return Value(std::in_place_index<0>, *invert != 0 ? "band_pass" : "band_stop");
        },
        [this](const Value& value) {
            return writeFields("afk/param", {{"invert", std::get<std::string>(value) == "band_pass" ? 1u : 0u}});
        });

    const float lowest = frequencyOf(kMaxPeriod);
    const float highest = frequencyOf(kMinPeriod);
    addParameter(
        tools::floatParameter("low_frequency", "lower edge of the band in Hz (max_cutoff_period of afk/filter_period, "
                                               "128 us steps); below high_frequency",
                              lowest, highest, frequencyOf(fieldDefault("afk/filter_period", "max_cutoff_period"))),
        [this]() -> std::optional<Value> {
            const auto period = readField("afk/filter_period", "max_cutoff_period");
            if (!period) return std::nullopt;
            return Value(std::in_place_index<2>, frequencyOf(*period));
        },
        [this](const Value& value) {
            const uint32_t period = periodOf(std::get<float>(value));
            const auto other = readField("afk/filter_period", "min_cutoff_period");
            if (!other) return refuse("low_frequency", "the device cannot be read");
            if (period <= *other) return refuse("low_frequency", "the band's lower edge must stay below high_frequency");
            return writeFields("afk/filter_period", {{"max_cutoff_period", period}});
        });
    addParameter(
        tools::floatParameter("high_frequency", "upper edge of the band in Hz (min_cutoff_period of afk/filter_period, "
                                                "128 us steps); above low_frequency",
                              lowest, highest, frequencyOf(fieldDefault("afk/filter_period", "min_cutoff_period"))),
        [this]() -> std::optional<Value> {
            const auto period = readField("afk/filter_period", "min_cutoff_period");
            if (!period) return std::nullopt;
            return Value(std::in_place_index<2>, frequencyOf(*period));
        },
        [this](const Value& value) {
            const uint32_t period = periodOf(std::get<float>(value));
            const auto other = readField("afk/filter_period", "max_cutoff_period");
            if (!other) return refuse("high_frequency", "the device cannot be read");
            if (period >= *other) return refuse("high_frequency", "the band's upper edge must stay above low_frequency");
            return writeFields("afk/filter_period", {{"min_cutoff_period", period}});
        });

    addParameter(
        tools::intParameter("duty_cycle", "share of a flicker period a pixel is lit, in percent, held in 1/16 steps "
                                          "(inverted_duty_cycle of afk/filter_period)",
                            6, 100, dutyOf(fieldDefault("afk/filter_period", "inverted_duty_cycle"))),
        [this]() -> std::optional<Value> {
            const auto inverted = readField("afk/filter_period", "inverted_duty_cycle");
            if (!inverted) return std::nullopt;
            return Value(std::in_place_index<3>, dutyOf(*inverted));
        },
        [this](const Value& value) {
            return writeFields("afk/filter_period", {{"inverted_duty_cycle", invertedOf(std::get<int>(value))}});
        });

    addParameter(
        tools::intParameter("start_threshold", "detections before a pixel is treated as flickering "
                                               "(counter_high of afk/param); at least stop_threshold",
                            0, 7, static_cast<int>(fieldDefault("afk/param", "counter_high"))),
        [this]() -> std::optional<Value> {
            const auto count = readField("afk/param", "counter_high");
            if (!count) return std::nullopt;
            return Value(std::in_place_index<3>, static_cast<int>(*count));
        },
        [this](const Value& value) {
            const auto stop = readField("afk/param", "counter_low");
            if (!stop) return refuse("start_threshold", "the device cannot be read");
            if (std::get<int>(value) < static_cast<int>(*stop)) {
                return refuse("start_threshold", "must be at least stop_threshold");
            }
            return writeFields("afk/param", {{"counter_high", static_cast<uint32_t>(std::get<int>(value))}});
        });
    addParameter(
        tools::intParameter("stop_threshold", "detection level below which a pixel is no longer treated as "
                                              "flickering (counter_low of afk/param); at most start_threshold",
                            0, 7, static_cast<int>(fieldDefault("afk/param", "counter_low"))),
        [this]() -> std::optional<Value> {
            const auto count = readField("afk/param", "counter_low");
            if (!count) return std::nullopt;
            return Value(std::in_place_index<3>, static_cast<int>(*count));
        },
        [this](const Value& value) {
            const auto start = readField("afk/param", "counter_high");
            if (!start) return refuse("stop_threshold", "the device cannot be read");
            if (std::get<int>(value) > static_cast<int>(*start)) {
                return refuse("stop_threshold", "must be at most start_threshold");
            }
            return writeFields("afk/param", {{"counter_low", static_cast<uint32_t>(std::get<int>(value))}});
        });
}

const char* Imx636AntiFlicker::className() const { return "Imx636AntiFlicker"; }

ToolInfo Imx636AntiFlicker::getToolInfo() const {
    // The table is ordered by key, so its walk gives the names in ascending string order.
    std::vector<std::string> names;
    for (const auto& entry : parameterTable()) names.push_back(entry.first);
    return tools::makeToolInfo(TOOL_ANTI_FLICKER, std::move(names), "Anti flicker of DVS cameras with IMX636 sensor.");
}

}  // namespace vireo

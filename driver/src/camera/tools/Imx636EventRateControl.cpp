// Imx636EventRateControl: the event-rate controller, which drops events so that no more
// than a target count leaves the sensor per reference period.
//
// The rate limit is held as a target count of events (erc/td_target_event_rate) per
// reference period in microseconds (erc/reference_period). Setting a rate writes a period of
// 1000 us and a target of rate / 1000 rounded to the nearest count; reading computes
// target * 1e6 / period from both registers, so a period set by someone else reads right.
#include <vireo/Imx636Tools.h>

#include <cmath>
#include <limits>

#include "ToolSupport.h"

namespace vireo {

namespace {
constexpr uint32_t kReferencePeriod_us = 1000;
constexpr int kMinRate = 1000;
constexpr int kMaxRate = 1000000000;

// Events per second of `target` events per `period_us`; 0 for a zero period (no limit).
int64_t rateOf(uint32_t target, uint32_t period_us) {
    if (period_us == 0) return 0;
    const int64_t rate = static_cast<int64_t>(std::llround(static_cast<double>(target) * 1e6 / period_us));
    return std::min<int64_t>(rate, std::numeric_limits<int>::max());
}
}  // namespace

Imx636EventRateControl::Imx636EventRateControl(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    addParameter(
        tools::boolParameter("enable", "drop events above max_event_rate (erc_en of erc/erc_enable)",
                             fieldDefault("erc/erc_enable", "erc_en") != 0),
        [this]() -> std::optional<Value> {
            const auto enabled = readField("erc/erc_enable", "erc_en");
            if (!enabled) return std::nullopt;
            return Value(std::in_place_index<1>, *enabled != 0);
        },
        [this](const Value& value) {
            return writeFields("erc/erc_enable", {{"erc_en", std::get<bool>(value) ? 1u : 0u}});
        });

    const auto defaultRate = rateOf(fieldDefault("erc/td_target_event_rate", "target_event_rate"),
                                    fieldDefault("erc/reference_period", "erc_reference_period"));
    addParameter(
        tools::intParameter("max_event_rate",
                            "events per second let through while enabled, in steps of 1000 "
                            "(erc/td_target_event_rate per erc/reference_period)",
                            kMinRate, kMaxRate, static_cast<int>(defaultRate)),
        [this]() -> std::optional<Value> {
            const auto target = readField("erc/td_target_event_rate", "target_event_rate");
            const auto period = readField("erc/reference_period", "erc_reference_period");
            if (!target || !period) return std::nullopt;
            return Value(std::in_place_index<3>, static_cast<int>(rateOf(*target, *period)));
        },
        [this](const Value& value) {
            const auto target = static_cast<uint32_t>(
                std::llround(static_cast<double>(std::get<int>(value)) * kReferencePeriod_us / 1e6));
            return writeFields("erc/reference_period", {{"erc_reference_period", kReferencePeriod_us}}) &&
                   writeFields("erc/td_target_event_rate", {{"target_event_rate", target}});
        });
}

const char* Imx636EventRateControl::className() const { return "Imx636EventRateControl"; }

ToolInfo Imx636EventRateControl::getToolInfo() const {
    return tools::makeToolInfo(TOOL_EVENT_RATE_CONTROL, {"enable", "max_event_rate"},
                               "ERC of DVS cameras with IMX636 sensor");
}

}  // namespace vireo

// The sensor's on-chip filters as the simulated camera applies them: the region of interest,
// the event-rate controller and the trigger input's enable, decoded from the register file
// (sim/SensorRegisters.h). Events are filtered before they are encoded, so the stream stays
// valid EVT3 whatever is dropped, and a filter that lets everything through costs one test
// per slice.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include <vireo/SharedTypes.h>

#include "sim/SensorRegisters.h"

namespace vireo::sim {

class StreamFilter {
public:
    // Decodes the settings through `read(address)`, the current value of a register, for a
    // scene of `width` x `height` pixels. Lines beyond the sensor's masks count as open.
    template <class Read>
    void configure(Read read, uint16_t width, uint16_t height) {
        const uint32_t roiCtrl = read(reg::kRoiCtrlAddress);
        keepInside_ = (roiCtrl & reg::kRoiKeepInsideBit) != 0;
        const bool allColumns = decodeLines(read, reg::kRoiColumnMaskAddress, reg::kRoiColumnMaskCount, width, columnOpen_);
        const bool allRows = decodeLines(read, reg::kRoiRowMaskAddress, reg::kRoiRowMaskCount, height, rowOpen_);
        // A window covering the whole sensor in "keep inside" mode drops nothing.
        roi_ = (roiCtrl & reg::kRoiEnableBit) != 0 && !(keepInside_ && allColumns && allRows);

        const uint32_t period_us = read(reg::kErcReferencePeriodAddress) & reg::kErcReferencePeriodMask;
        const uint32_t target = read(reg::kErcTargetRateAddress) & reg::kErcTargetRateMask;
        // A zero reference period describes no rate at all: the controller lets everything pass.
        erc_ = (read(reg::kErcEnableAddress) & reg::kErcEnableBit) != 0 && period_us > 0;
        rate_ = erc_ ? static_cast<double>(target) * 1e6 / period_us : 0.0;
        credit_ = 0.0;

        triggers_ = (read(reg::kTriggerInAddress) & reg::kTriggerInEnableBit) != 0;
    }

    // True when apply would keep every event.
    bool passesAllEvents() const { return !roi_ && !erc_; }
    // Whether trigger edges reach the stream.
    bool triggersEnabled() const { return triggers_; }

    // Removes from `events`, the slice [begin_us, end_us) in time order, what the sensor
    // would drop; the order of the rest is kept.
    void apply(std::vector<Event2D>& events, uint64_t begin_us, uint64_t end_us) {
        if (roi_) {
            const auto outside = [this](const Event2D& e) {
                const bool inside = columnOpen_[e.x] != 0 && rowOpen_[e.y] != 0;
                return inside != keepInside_;
            };
            events.erase(std::remove_if(events.begin(), events.end(), outside), events.end());
        }
        if (erc_) limitRate(events, static_cast<double>(end_us - begin_us));
    }

private:
    template <class Read>
    static bool decodeLines(Read read, uint32_t address, uint32_t registers, uint16_t lines,
                            std::vector<uint8_t>& open) {
        open.assign(lines, 1);
        bool all = true;
        for (uint32_t r = 0; r < registers && r * 32 < lines; ++r) {
            const uint32_t mask = read(address + 4 * r);
            for (uint32_t bit = 0; bit < 32 && r * 32 + bit < lines; ++bit) {
                if ((mask >> bit) & 1u) {
                    open[r * 32 + bit] = 0;
                    all = false;
                }
            }
        }
        return all;
    }

    // Keeps at most the budget of this slice (the rate times its length, plus the fraction
    // left from the last slice), spread evenly over the slice's events as the controller's
    // dropping spreads over its reference period.
    void limitRate(std::vector<Event2D>& events, double span_us) {
        const double budget = rate_ * span_us / 1e6 + credit_;
        const size_t allowed = static_cast<size_t>(std::floor(budget));
        const size_t n = events.size();
        if (n > allowed) {
            for (size_t k = 0; k < allowed; ++k) events[k] = events[k * n / allowed];
            events.resize(allowed);
        }
        // Only the fraction carries over: capacity a quiet slice did not use is lost.
        credit_ = std::min(budget - static_cast<double>(events.size()), 1.0);
    }

    bool roi_ = false;
    bool keepInside_ = true;
    std::vector<uint8_t> columnOpen_;
    std::vector<uint8_t> rowOpen_;
    bool erc_ = false;
    double rate_ = 0.0;
    double credit_ = 0.0;
    bool triggers_ = true;
};

}  // namespace vireo::sim

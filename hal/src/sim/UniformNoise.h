// Pixels firing independently and uniformly over the sensor as a Poisson process of a given
// rate: the Random scene, and the background noise of the CircleGrid scene. Arrival times
// come from exponential gaps, so events are generated in time order and the stream does not
// depend on how time is sliced; only the few events sharing one microsecond are put in
// readout order.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include <vireo/SharedTypes.h>

namespace vireo::sim {

// Sensor readout order: time, then row, then column.
inline bool sensorOrder(const Event2D& a, const Event2D& b) {
    if (a.timestamp != b.timestamp) return a.timestamp < b.timestamp;
    if (a.y != b.y) return a.y < b.y;
    return a.x < b.x;
}

// splitmix64: fast, and good enough for scenery.
inline uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A uniform double in (0, 1).
inline double unitInterval(uint64_t& state) {
    return (static_cast<double>(splitmix64(state) >> 11) + 0.5) * 0x1.0p-53;
}

class UniformNoise {
public:
    // `rate` in events per second, larger than 0.
    UniformNoise(uint16_t width, uint16_t height, double rate, uint64_t seed)
        : width_(width), height_(height), mean_gap_us_(1e6 / rate), state_(seed) {
        next_us_ = drawGap();
    }

    // Appends the events in [begin_us, end_us) in sensor order. Time before `begin_us` that
    // was never asked for (a skip ahead) is skipped.
    void generate(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) {
        next_us_ = std::max(next_us_, static_cast<double>(begin_us));
        size_t group = out.size();  // first event of the current microsecond
        while (next_us_ < static_cast<double>(end_us)) {
            const auto t = static_cast<uint64_t>(next_us_);
            if (group < out.size() && out[group].timestamp != t) {
                sortGroup(out, group);
                group = out.size();
            }
            const uint64_t r = splitmix64(state_);
            out.emplace_back(static_cast<uint16_t>(((r & 0xFFFFFFFFu) * width_) >> 32),
                             static_cast<uint16_t>((((r >> 32) & 0x7FFFFFFFu) * height_) >> 31),
                             static_cast<uint8_t>(r >> 63), t);
            next_us_ += drawGap();
        }
        sortGroup(out, group);
    }

private:
    static void sortGroup(std::vector<Event2D>& out, size_t first) {
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(), sensorOrder);
    }

    double drawGap() { return -std::log(unitInterval(state_)) * mean_gap_us_; }

    uint64_t width_, height_;
    double mean_gap_us_;
    uint64_t state_;
    double next_us_ = 0;
};

}  // namespace vireo::sim

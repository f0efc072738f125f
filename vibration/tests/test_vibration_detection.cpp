// Tests of the blinking-frequency detector: lights inside the band are reported with their
// frequency once enough periods agree, everything else (lights outside the band, random
// flicker, a light that stopped, jitter beyond the tolerance) is not, and the result does not
// depend on how the stream is cut into ranges.
#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include <vireo/vibration.h>

namespace vireo {
namespace {

// Events of pixel (x, y) blinking at `hz` from `start_us` for `periods` periods: `burst`
// events at each rise and each fall (the light is on for the first half of a period), each
// transition late by up to `jitter_us` (drawn from `seed`).
std::vector<Event2D> blink(uint16_t x, uint16_t y, double hz, uint64_t start_us, int periods, int burst = 1,
                           uint32_t jitter_us = 0, uint32_t seed = 1) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<uint32_t> late(0, jitter_us);
    std::vector<Event2D> events;
    const double period = 1e6 / hz;
    for (int k = 0; k < 2 * periods; ++k) {
        const auto t = static_cast<uint64_t>(static_cast<double>(start_us) + k * period / 2) + late(random);
        for (int b = 0; b < burst; ++b) events.emplace_back(x, y, static_cast<uint8_t>(k % 2 == 0), t + b);
    }
    return events;
}

std::vector<Event2DFrequency> detect(VibrationDetection& detector, const std::vector<Event2D>& events) {
    std::vector<Event2DFrequency> out;
    detector.processEvents(events.data(), events.data() + events.size(), std::back_inserter(out));
    return out;
}

void mergeInto(std::vector<Event2D>& all, const std::vector<Event2D>& more) {
    all.insert(all.end(), more.begin(), more.end());
    std::stable_sort(all.begin(), all.end(), [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; });
}

TEST(VibrationDetection, ReportsALightInTheBandOnceEnoughPeriodsAgree) {
    for (const double hz : {100.0, 250.0, 500.0}) {
        VibrationDetection detector(64, 48, VibrationDetectionConfig(5, 80.0f, 600.0f, 50));
        const auto events = blink(10, 20, hz, 1000, 12, 3);
        const auto out = detect(detector, events);
        ASSERT_FALSE(out.empty()) << hz;
        // The first reported event is the burst of the fifth rise after the first one.
        EXPECT_EQ(out.front().timestamp, events[3 * 2 * 5].timestamp) << hz;
        // Every event from there on, repeated events of a burst included.
        EXPECT_EQ(out.size(), events.size() - 3 * 2 * 5) << hz;
        for (const auto& e : out) {
            EXPECT_EQ(e.x, 10);
            EXPECT_EQ(e.y, 20);
            EXPECT_NEAR(e.frequency, hz, hz * 0.01) << hz;
        }
        PeriodEstimation<float> estimation;
        ASSERT_TRUE(detector.getPeriodEstimation(10, 20, estimation));
        EXPECT_TRUE(estimation.blinking);
        EXPECT_NEAR(estimation.period_us, 1e6 / hz, 1.0);
        EXPECT_FALSE(detector.getPeriodEstimation(64, 0, estimation));
    }
}

TEST(VibrationDetection, NumberOfPeriodsSetsWhenAPixelCounts) {
    for (const uint16_t n : {1, 2, 5, 9}) {
        VibrationDetection detector(8, 8, VibrationDetectionConfig(n, 0.0f, 1000.0f, 20));
        const auto events = blink(1, 1, 200.0, 0, 12);
        const auto out = detect(detector, events);
        ASSERT_EQ(out.size(), events.size() - 2 * n) << n;
        EXPECT_EQ(out.front().timestamp, events[2 * n].timestamp) << n;
    }
}

TEST(VibrationDetection, RejectsLightsOutsideTheBand) {
    VibrationDetection detector(64, 48, VibrationDetectionConfig(5, 100.0f, 500.0f, 50));
    std::vector<Event2D> events = blink(1, 1, 1500.0, 0, 300, 2);  // too fast
    mergeInto(events, blink(2, 2, 40.0, 0, 12, 2));                  // too slow
    mergeInto(events, blink(3, 3, 520.0, 0, 40, 2));                 // just above
    EXPECT_TRUE(detect(detector, events).empty());
    // The bounds themselves are inside.
    VibrationDetection edges(64, 48, VibrationDetectionConfig(5, 100.0f, 500.0f, 50));
    std::vector<Event2D> inside = blink(4, 4, 100.0, 0, 10);
    mergeInto(inside, blink(5, 5, 500.0, 0, 40));
    const auto out = detect(edges, inside);
    EXPECT_TRUE(std::any_of(out.begin(), out.end(), [](const auto& e) { return e.x == 4; }));
    EXPECT_TRUE(std::any_of(out.begin(), out.end(), [](const auto& e) { return e.x == 5; }));
}

TEST(VibrationDetection, RejectsRandomFlickerAndNoise) {
    // 32 x 32 pixels toggling at random times (about 170 toggles per second each) and random
    // events over the whole sensor, for two seconds.
    std::mt19937_64 random(7);
    std::exponential_distribution<double> gap(1.0 / 3000.0);
    std::vector<Event2D> events;
    for (uint16_t y = 0; y < 32; ++y) {
        for (uint16_t x = 0; x < 32; ++x) {
            double t = gap(random);
            uint8_t polarity = 1;
            while (t < 2e6) {
                events.emplace_back(x, y, polarity, static_cast<uint64_t>(t));
                polarity ^= 1;
                t += gap(random);
            }
        }
    }
    std::uniform_int_distribution<int> px(0, 127), bit(0, 1);
    std::uniform_int_distribution<uint64_t> when(0, 2000000);
    for (int i = 0; i < 200000; ++i) {
        events.emplace_back(static_cast<uint16_t>(px(random)), static_cast<uint16_t>(px(random)),
                            static_cast<uint8_t>(bit(random)), when(random));
    }
    std::stable_sort(events.begin(), events.end(), [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; });
    VibrationDetection detector(128, 128, VibrationDetectionConfig(5, 50.0f, 1000.0f, 100));
    EXPECT_TRUE(detect(detector, events).empty());
}

TEST(VibrationDetection, JitterCountsWithinTheToleranceOnly) {
    const auto events = blink(3, 4, 200.0, 0, 30, 1, 80, 3);
    VibrationDetection loose(8, 8, VibrationDetectionConfig(5, 0.0f, 1000.0f, 160));
    EXPECT_FALSE(detect(loose, events).empty());
    VibrationDetection tight(8, 8, VibrationDetectionConfig(5, 0.0f, 1000.0f, 10));
    EXPECT_LT(detect(tight, events).size(), events.size() / 4);
}

TEST(VibrationDetection, ALightThatStoppedLeavesNothingBehind) {
    VibrationDetection detector(8, 8, VibrationDetectionConfig(3, 0.0f, 1000.0f, 50));
    auto events = blink(2, 2, 200.0, 0, 10);
    ASSERT_FALSE(detect(detector, events).empty());
    // Later stray events of the same pixel, of either polarity, are not blinking.
    const uint8_t last = events.back().polarity;
    const std::vector<Event2D> stray{{2, 2, last, 500000}, {2, 2, static_cast<uint8_t>(last ^ 1), 900000}};
    EXPECT_TRUE(detect(detector, stray).empty());
}

TEST(VibrationDetection, ALoneEventLateInAPeriodIsNotReported) {
    VibrationDetection detector(8, 8, VibrationDetectionConfig(3, 0.0f, 1000.0f, 50));
    auto events = blink(2, 2, 100.0, 0, 10);  // rises every 10 ms, falls 5 ms after
    // A stray brighter event 3 ms into the last lit half: not reported, the pixel blinks on.
    events.insert(events.end() - 1, Event2D(2, 2, 1, events[events.size() - 2].timestamp + 3000));
    const auto out = detect(detector, events);
    ASSERT_FALSE(out.empty());
    for (const auto& e : out) EXPECT_EQ(e.timestamp % 5000, 0u) << e.timestamp;
    EXPECT_EQ(out.back().timestamp, events.back().timestamp);
}

TEST(VibrationDetection, ResultDoesNotDependOnHowTheStreamIsCut) {
    std::vector<Event2D> events = blink(1, 1, 150.0, 0, 20, 2);
    mergeInto(events, blink(6, 3, 330.0, 77, 40, 3));
    VibrationDetection whole(8, 8, VibrationDetectionConfig(4, 100.0f, 400.0f, 30));
    const auto expected = detect(whole, events);
    ASSERT_FALSE(expected.empty());
    VibrationDetection cut(8, 8, VibrationDetectionConfig(4, 100.0f, 400.0f, 30));
    std::vector<Event2DFrequency> out;
    for (size_t i = 0; i < events.size(); i += 7) {
        const size_t end = std::min(events.size(), i + 7);
        cut.processEvents(events.data() + i, events.data() + end, std::back_inserter(out));
    }
    cut.processEvents(events.data(), events.data(), std::back_inserter(out));  // empty range
    EXPECT_EQ(out, expected);
    // The period form reports the same events.
    VibrationDetection periods(8, 8, VibrationDetectionConfig(4, 100.0f, 400.0f, 30));
    std::vector<Event2DPeriod<float>> withPeriods;
    periods.processEvents(events.data(), events.data() + events.size(), std::back_inserter(withPeriods));
    ASSERT_EQ(withPeriods.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(withPeriods[i].timestamp, expected[i].timestamp);
        EXPECT_NEAR(1e6f / withPeriods[i].period_us, expected[i].frequency, 1e-3f);
    }
    // reset forgets the history: the same stream starts counting again.
    whole.reset();
    EXPECT_EQ(detect(whole, events), expected);
}

TEST(VibrationDetection, SkipsEventsOutsideTheSensor) {
    VibrationDetection detector(8, 8, VibrationDetectionConfig(2, 0.0f, 1000.0f, 30));
    std::vector<Event2D> events = blink(8, 0, 200.0, 0, 10);
    mergeInto(events, blink(0, 8, 200.0, 0, 10));
    EXPECT_TRUE(detect(detector, events).empty());
}

TEST(VibrationDetection, RefusesSettingsItCannotUse) {
    EXPECT_THROW(VibrationDetection(0, 10, VibrationDetectionConfig()), std::invalid_argument);
    EXPECT_THROW(VibrationDetection(10, 0, VibrationDetectionConfig()), std::invalid_argument);
    EXPECT_THROW(VibrationDetection(10, 10, VibrationDetectionConfig(0, 0.0f, 100.0f, 10)), std::invalid_argument);
    EXPECT_THROW(VibrationDetection(10, 10, VibrationDetectionConfig(5, 100.0f, 100.0f, 10)), std::invalid_argument);
    EXPECT_THROW(VibrationDetection(10, 10, VibrationDetectionConfig(5, -1.0f, 100.0f, 10)), std::invalid_argument);
    EXPECT_THROW(VibrationDetection(10, 10, VibrationDetectionConfig(5, 0.0f, 100.0f, 0)), std::invalid_argument);
    try {
        VibrationDetection(10, 10, VibrationDetectionConfig(5, 0.0f, 100.0f, 0));
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("time_diff_tolerance"), std::string::npos) << error.what();
    }
    EXPECT_NO_THROW(VibrationDetection(1280, 720, VibrationDetectionConfig()));
}

}  // namespace
}  // namespace vireo

// The index build's block count (eight words at a time) against the word-by-word walks it
// stands for, on random word streams on the sensor and with words off it: vector words near the right edge and
// without a base, time words that do and do not reach the time of interest, rollovers. The
// event counts, the time words reported at or past the time of interest (with the count and
// vector state there) and the final state must be the same.
#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "../src/FileReader/Evt3Count.h"

namespace vireo::detail {
namespace {

struct Report {
    size_t word;
    uint64_t time;
    uint64_t events;
    bool hasVector;
    uint16_t vectorBase;
    uint8_t polarity;
    uint32_t low;

    friend bool operator==(const Report&, const Report&) = default;
};

// Words for a 1280 x 720 sensor. `vectorShare` and `timeShare` in 1/100; `offShare` in
// 1/10000: rows and columns past the sensor's edge.
std::vector<uint8_t> randomWords(uint32_t seed, size_t count, uint32_t vectorShare, uint32_t timeShare,
                                 uint32_t offShare = 0) {
    std::mt19937 rng(seed);
    auto uni = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    std::vector<uint8_t> out;
    auto put = [&out](uint32_t type, uint32_t payload) {
        out.push_back(static_cast<uint8_t>(payload & 0xFF));
        out.push_back(static_cast<uint8_t>((type << 4) | ((payload >> 8) & 0xF)));
    };
    uint32_t high = 0xFFE;  // a rollover comes soon
    while (out.size() / 2 < count) {
        if (offShare != 0 && uni(0, 9999) < offShare) {
            if (uni(0, 1)) {
                put(evt3::ADDR_Y, uni(720, 2047));
            } else {
                put(evt3::ADDR_X, uni(1280, 2047) | (uni(0, 1) << 11));
            }
            continue;
        }
        const uint32_t r = uni(0, 99);
        if (r < vectorShare) {
            const uint32_t k = uni(0, 9);
            if (k < 2) {
                // A base, often close to the right edge.
                put(evt3::VECT_BASE_X, (uni(0, 1) ? uni(1200, 1279) : uni(0, 1279)) | (uni(0, 1) << 11));
            } else {
                put(k < 7 ? evt3::VECT_12 : evt3::VECT_8, uni(0, 0xFFF));
            }
        } else if (r < vectorShare + timeShare) {
            if (uni(0, 30) == 0) {
                high = (high + 1) & 0xFFF;
                put(evt3::TIME_HIGH, high);
            } else {
                put(evt3::TIME_LOW, uni(0, 0xFFF));
            }
        } else {
            switch (uni(0, 5)) {
                case 0: put(evt3::ADDR_Y, uni(0, 719) | (uni(0, 1) << 11)); break;
                case 1: put(evt3::EXT_TRIGGER, uni(0, 0xFFF)); break;
                case 2: put(evt3::OTHERS, uni(0, 0xFFF)); break;
                default: put(evt3::ADDR_X, uni(0, 1279) | (uni(0, 1) << 11)); break;
            }
        }
    }
    return out;
}

ScanState startState(bool withBase) {
    ScanState s;
    s.timeKnown = true;
    s.timeBase = 0;
    s.high = 0xFFD;
    s.low = 17;
    s.rows.hasRow = true;
    s.rows.row = 5;
    s.rows.hasVector = withBase;
    s.rows.vectorBase = withBase ? 1250 : 0;
    s.rows.vectorPolarity = withBase ? 1 : 0;
    return s;
}

// Runs one of the two walks over `words`, in pieces of `pieceBytes`, with a time of interest
// that moves `period` µs past each time reported at or past it.
template <class Walk>
std::tuple<std::vector<Report>, ScanState, uint64_t> run(const std::vector<uint8_t>& words, ScanState s,
                                                         size_t pieceBytes, uint64_t period, Walk&& walk) {
    std::vector<Report> reports;
    uint64_t events = 3;
    uint64_t timeOfInterest = 0;
    const uint8_t* const begin = words.data();
    const auto onTime = [&](const uint8_t* word, uint64_t t) {
        if (t >= timeOfInterest) {
            reports.push_back({static_cast<size_t>(word - begin) / 2, t, events, s.rows.hasVector, s.rows.vectorBase,
                               s.rows.vectorPolarity, s.low});
            timeOfInterest = t + period;
        }
        return false;
    };
    for (size_t at = 0; at < words.size(); at += pieceBytes) {
        const size_t until = std::min(words.size(), at + pieceBytes);
        walk(begin + at, begin + until, s, events, timeOfInterest, onTime);
    }
    return {reports, s, events};
}

TEST(Evt3BlockCount, CountsAndReportsAsTheWordWalk) {
    const ClipTable& clips = clipTable(1280);
    struct Mix {
        uint32_t vectors, times;
    };
    for (const Mix mix : {Mix{0, 30}, Mix{40, 10}, Mix{70, 5}, Mix{10, 60}, Mix{0, 0}}) {
        for (uint32_t seed = 1; seed <= 6; ++seed) {
            const auto words = randomWords(seed * 97 + mix.vectors, 20000, mix.vectors, mix.times);
            for (const bool withBase : {false, true}) {
                // Odd piece sizes leave tails shorter than a block.
                for (const size_t piece : {size_t{8192}, size_t{998}, size_t{30}}) {
                    for (const uint64_t period : {uint64_t{0}, uint64_t{700}, uint64_t{50000}}) {
                        const auto expected = run(words, startState(withBase), piece, period,
                                                  [&](const uint8_t* p, const uint8_t* e, ScanState& s, uint64_t& n,
                                                      const uint64_t&, auto& onTime) {
                                                      onSensorWalk<false>(clips, p, e, s, n, kNoLimit, kNoLimit, onTime);
                                                  });
                        const auto got = run(words, startState(withBase), piece, period,
                                             [&](const uint8_t* p, const uint8_t* e, ScanState& s, uint64_t& n,
                                                 const uint64_t& toi, auto& onTime) {
                                                 countOnSensor(clips, scanGeometry(1280, 720), p, e, s, n, toi, onTime);
                                             });
                        const std::string what = "mix " + std::to_string(mix.vectors) + "/" +
                                                 std::to_string(mix.times) + " seed " + std::to_string(seed) +
                                                 " base " + std::to_string(withBase) + " piece " +
                                                 std::to_string(piece) + " period " + std::to_string(period);
                        ASSERT_EQ(std::get<2>(got), std::get<2>(expected)) << what;
                        ASSERT_EQ(std::get<0>(got), std::get<0>(expected)) << what;
                        const ScanState& a = std::get<1>(got);
                        const ScanState& b = std::get<1>(expected);
                        ASSERT_EQ(a.time(), b.time()) << what;
                        ASSERT_EQ(a.low, b.low) << what;
                        ASSERT_TRUE(a.rows == b.rows) << what;
                    }
                }
            }
        }
    }
}

TEST(Evt3BlockCount, IndexWalkWithWordsOffTheSensorCountsAsTheFullWalk) {
    // The index build's walk against the walk that follows every word, on streams with rows
    // and columns past the sensor's edge now and then (a piece goes word by word from the
    // first block that holds one), from states with and without the time and the row.
    const ScanGeometry g = scanGeometry(1280, 720);
    for (const uint32_t off : {uint32_t{2}, uint32_t{30}, uint32_t{400}}) {
        for (uint32_t seed = 1; seed <= 4; ++seed) {
            const auto words = randomWords(seed * 131 + off, 30000, 30, 15, off);
            for (const bool known : {false, true}) {
                ScanState start = known ? startState(true) : ScanState{};
                for (const size_t piece : {size_t{65536}, size_t{1000}}) {
                    const auto expected = run(words, start, piece, 300,
                                              [&](const uint8_t* p, const uint8_t* e, ScanState& s, uint64_t& n,
                                                  const uint64_t&, auto& onTime) {
                                                  walkWords<false>(g, p, e, s, n, kNoLimit, kNoLimit, onTime);
                                              });
                    const auto got = run(words, start, piece, 300,
                                         [&](const uint8_t* p, const uint8_t* e, ScanState& s, uint64_t& n,
                                             const uint64_t& toi, auto& onTime) { countWords(g, p, e, s, n, toi, onTime); });
                    const std::string what = "off " + std::to_string(off) + " seed " + std::to_string(seed) +
                                             " known " + std::to_string(known) + " piece " + std::to_string(piece);
                    ASSERT_EQ(std::get<2>(got), std::get<2>(expected)) << what;
                    ASSERT_EQ(std::get<0>(got), std::get<0>(expected)) << what;
                    const ScanState& a = std::get<1>(got);
                    const ScanState& b = std::get<1>(expected);
                    ASSERT_EQ(a.time(), b.time()) << what;
                    ASSERT_EQ(a.timeKnown, b.timeKnown) << what;
                    ASSERT_TRUE(a.rows == b.rows) << what;
                }
            }
        }
    }
}

}  // namespace
}  // namespace vireo::detail

// The decoder's state rules, word by word: no event before its row, vector base and time
// are known, time rollover and jitter, ignored word types, trigger ordering, statistics,
// words split across calls, priming, and bad input at the boundary.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "Evt3TestSupport.h"

using namespace vireo;
using namespace vireo::testing;
using namespace vireo::evt3;

namespace {

std::vector<uint8_t> bytesOf(std::initializer_list<uint16_t> words) {
    std::vector<uint8_t> out;
    for (uint16_t w : words) {
        out.push_back(static_cast<uint8_t>(w & 0xFF));
        out.push_back(static_cast<uint8_t>(w >> 8));
    }
    return out;
}

uint16_t W(uint16_t type, uint16_t payload) { return makeWord(type, payload); }

struct Fixture {
    Evt3Decoder decoder;
    Collector got;
    Fixture() { got.attach(decoder); }
    uint32_t run(std::initializer_list<uint16_t> words) { return decoder.decodeBuffer(bytesOf(words)); }
};

}  // namespace

TEST(Evt3Decoder, DecodesEachWordKindAsDescribed) {
    Fixture f;
    const uint32_t n = f.run({W(TIME_HIGH, 0x123), W(TIME_LOW, 0x456), W(ADDR_Y, 0x800 | 17),
                              W(ADDR_X, 0x800 | 1279), W(ADDR_X, 5), W(VECT_BASE_X, 0x800 | 100),
                              W(VECT_12, 0x801), W(VECT_8, 0xF81)});
    const uint64_t t = 0x123456;
    const std::vector<Event2D> expected = {
        {1279, 17, 1, t}, {5, 17, 0, t},
        {100, 17, 1, t}, {111, 17, 1, t},   // VECT_12 bits 0 and 11 from base 100
        {112, 17, 1, t}, {119, 17, 1, t},   // VECT_8 bits 0 and 7 from base 112; bits 11..8 unused
    };
    EXPECT_EQ(n, expected.size());
    EXPECT_EQ(f.got.events, expected);
    EXPECT_EQ(f.decoder.getLastTimestamp(), t);
    const RowState rs = f.decoder.getRowState();
    EXPECT_EQ(rs.row, 17);
    EXPECT_EQ(rs.vectorBase, 120);
    EXPECT_EQ(rs.vectorPolarity, 1);
}

TEST(Evt3Decoder, InventsNoRowTimeOrVectorBase) {
    Fixture f;
    // Pixel words before any TIME_HIGH, then before any ADDR_Y, then vectors before any
    // VECT_BASE_X: none of them produces an event.
    f.run({W(ADDR_Y, 3), W(ADDR_X, 1), W(TIME_LOW, 9), W(EXT_TRIGGER, 1)});
    f.decoder.reset();
    f.run({W(TIME_HIGH, 1), W(ADDR_X, 2), W(VECT_12, 0xFFF), W(ADDR_Y, 4), W(VECT_8, 0xFF),
           W(ADDR_X, 7), W(VECT_BASE_X, 10), W(VECT_8, 0x3)});
    const std::vector<Event2D> expected = {{7, 4, 0, 4096}, {10, 4, 0, 4096}, {11, 4, 0, 4096}};
    EXPECT_EQ(f.got.events, expected);
    EXPECT_EQ(f.got.items.size(), expected.size()) << "the trigger before any time is dropped";
}

TEST(Evt3Decoder, CountsRolloverOnlyOnALargeBackwardStep) {
    Fixture f;
    f.run({W(TIME_HIGH, 0xFFF), W(TIME_LOW, 0xFF0), W(ADDR_Y, 0), W(ADDR_X, 1),
           W(TIME_HIGH, 0x000), W(ADDR_X, 2),          // wrapped: 2^24 added, low kept
           W(TIME_HIGH, 0x010), W(TIME_HIGH, 0x00F),   // a small step back is jitter
           W(TIME_LOW, 0x001), W(ADDR_X, 3),
           W(TIME_LOW, 0x000), W(ADDR_X, 4)});         // TIME_LOW may step back too
    const uint64_t wrap = uint64_t{1} << 24;
    ASSERT_EQ(f.got.events.size(), 4u);
    EXPECT_EQ(f.got.events[0].timestamp, 0xFFFFF0u);
    EXPECT_EQ(f.got.events[1].timestamp, wrap + 0xFF0);
    EXPECT_EQ(f.got.events[2].timestamp, wrap + 0xF001);
    EXPECT_EQ(f.got.events[3].timestamp, wrap + 0xF000);
    // Exactly half the range back is not yet a rollover; one more is.
    f.run({W(TIME_HIGH, 0x80F), W(TIME_HIGH, 0x00F), W(ADDR_X, 5), W(TIME_HIGH, 0x810),
           W(TIME_HIGH, 0x00F), W(ADDR_X, 6)});
    EXPECT_EQ(f.got.events[4].timestamp, wrap + 0xF000);
    EXPECT_EQ(f.got.events[5].timestamp, 2 * wrap + 0xF000);
}

TEST(Evt3Decoder, SkipsReservedAndSensorSpecificWords) {
    // Some cameras interleave monitoring words (OTHERS with CONTINUED data) and reserved
    // types; inserted anywhere, with any payload, they change nothing.
    std::mt19937 rng(5);
    for (uint32_t seed = 1; seed <= 10; ++seed) {
        const auto items = randomItems(seed, 200, 1000);
        const auto clean = encodeItems(items);
        std::vector<uint8_t> noisy;
        const uint16_t junkTypes[] = {0x1, 0x9, 0xB, 0xC, 0xD, CONTINUED_4, CONTINUED_12};
        for (size_t i = 0; i < clean.size(); i += 2) {
            while (rng() % 3 == 0) {
                uint16_t junk;
                if (rng() % 2) {
                    junk = makeWord(junkTypes[rng() % 7], static_cast<uint16_t>(rng()));
                } else {
                    junk = makeWord(OTHERS, static_cast<uint16_t>(rng()));
                }
                noisy.push_back(static_cast<uint8_t>(junk));
                noisy.push_back(static_cast<uint8_t>(junk >> 8));
                if (junk >> 12 == OTHERS) {
                    for (uint32_t c = rng() % 3; c > 0; --c) {
                        const uint16_t more = makeWord(rng() % 2 ? CONTINUED_12 : CONTINUED_4, static_cast<uint16_t>(rng()));
                        noisy.push_back(static_cast<uint8_t>(more));
                        noisy.push_back(static_cast<uint8_t>(more >> 8));
                    }
                }
            }
            noisy.push_back(clean[i]);
            noisy.push_back(clean[i + 1]);
        }
        ASSERT_GT(noisy.size(), clean.size() * 5 / 4);
        Evt3Decoder decoder;
        Collector got;
        got.attach(decoder);
        decoder.decodeBuffer(noisy);
        EXPECT_TRUE(got.items == items) << "seed " << seed;
        // The backward look-up passes over them as well.
        Evt3Decoder prefix;
        for (size_t k = 0; k <= noisy.size(); k += 2 * 13) {
            prefix.reset();
            prefix.decodeBuffer(std::vector<uint8_t>(noisy.begin(), noisy.begin() + static_cast<std::ptrdiff_t>(k)));
            EXPECT_EQ(recoverRowState(noisy.data(), noisy.data() + k), prefix.getRowState());
        }
    }
}

TEST(Evt3Decoder, ClosesTheEventRangeBeforeEachTrigger) {
    Fixture f;
    std::vector<size_t> eventsSeenAtTrigger;
    std::vector<uint64_t> timeSeenAtTrigger;
    f.decoder.setTriggerInCallback([&](EventTriggerIn t) {
        eventsSeenAtTrigger.push_back(f.got.events.size());
        timeSeenAtTrigger.push_back(f.decoder.getLastTimestamp());
        f.got.items.emplace_back(t);
    });
    f.run({W(TIME_HIGH, 2), W(ADDR_Y, 1), W(ADDR_X, 1), W(ADDR_X, 2), W(EXT_TRIGGER, 0x301),
           W(TIME_LOW, 5), W(EXT_TRIGGER, 0xF00), W(ADDR_X, 3)});
    EXPECT_EQ(eventsSeenAtTrigger, (std::vector<size_t>{2, 2}));
    EXPECT_EQ(timeSeenAtTrigger, (std::vector<uint64_t>{8192, 8197})) << "the time is current inside callbacks";
    ASSERT_EQ(f.got.items.size(), 5u);
    EXPECT_EQ(std::get<EventTriggerIn>(f.got.items[2]), EventTriggerIn(3, 1, 8192));
    EXPECT_EQ(std::get<EventTriggerIn>(f.got.items[3]), EventTriggerIn(15, 0, 8197));
    EXPECT_EQ(f.got.ranges, 2u);
    EXPECT_FALSE(f.got.sawEmptyRange);
}

TEST(Evt3Decoder, HandsOutLargeBuffersInSeveralContiguousRanges) {
    // More events than the output buffer holds: several ranges, none lost, none empty.
    std::vector<uint16_t> words = {W(TIME_HIGH, 1), W(ADDR_Y, 9), W(VECT_BASE_X, 0)};
    const size_t vectors = 3 * Evt3Decoder::kOutputCapacity / 12;
    for (size_t i = 0; i < vectors; ++i) words.push_back(W(VECT_12, 0xFFF));
    std::vector<uint8_t> bytes;
    for (uint16_t w : words) { bytes.push_back(static_cast<uint8_t>(w)); bytes.push_back(static_cast<uint8_t>(w >> 8)); }
    Fixture f;
    EXPECT_EQ(f.decoder.decodeBuffer(bytes), vectors * 12);
    ASSERT_EQ(f.got.events.size(), vectors * 12);
    EXPECT_GE(f.got.ranges, 3u);
    EXPECT_FALSE(f.got.sawEmptyRange);
    for (size_t i = 0; i < f.got.events.size(); ++i) {
        ASSERT_EQ(f.got.events[i].x, static_cast<uint16_t>(i)) << i;  // x wraps at 2^16 like the base
    }
}

TEST(Evt3Decoder, JoinsWordsSplitAcrossCalls) {
    const auto bytes = bytesOf({W(TIME_HIGH, 7), W(ADDR_Y, 2), W(ADDR_X, 0x800 | 3)});
    Fixture f;
    for (uint8_t b : bytes) f.decoder.decodeBuffer(std::vector<uint8_t>{b});
    EXPECT_EQ(f.got.events, (std::vector<Event2D>{{3, 2, 1, 7 * 4096}}));
    EXPECT_EQ(f.decoder.getSecondStatistic(), bytes.size());
    // A pending half word is dropped by resetTimestamp: decoding restarts at a word.
    f.decoder.decodeBuffer(std::vector<uint8_t>{0x12});
    f.decoder.resetTimestamp(100);
    f.decoder.primeRowState(RowState{true, 4, false, 0, 0});
    f.decoder.decodeBuffer(bytesOf({W(ADDR_X, 6)}));
    EXPECT_EQ(f.got.events.back(), Event2D(6, 4, 0, 100));
}

TEST(Evt3Decoder, KeepsCumulativeStatistics) {
    Fixture f;
    f.run({W(TIME_HIGH, 1), W(ADDR_Y, 1), W(ADDR_X, 1), W(ADDR_X, 2)});
    f.decoder.setEventsStreamHandleCallback({});  // events still counted without a callback
    EXPECT_EQ(f.run({W(VECT_BASE_X, 0), W(VECT_8, 0x7)}), 3u);
    const uint8_t word[2] = {0x05, 0x20};  // ADDR_X 5
    EXPECT_EQ(f.decoder.decodeWordCounted(word, word + 2, 2), 1u);
    f.decoder.resetTimestamp(5);
    EXPECT_EQ(f.decoder.getFirstStatistic(), 6u);
    EXPECT_EQ(f.decoder.getSecondStatistic(), 14u);
    EXPECT_EQ(f.decoder.getLastTimestamp(), 5u);
}

TEST(Evt3Decoder, ResetTimestampPrimesTheFullTimeAndForgetsTheRow) {
    Fixture f;
    const uint64_t t = 5 * (uint64_t{1} << 24) + 0xABC123;
    f.run({W(TIME_HIGH, 3), W(ADDR_Y, 8)});
    f.decoder.resetTimestamp(t);
    EXPECT_EQ(f.decoder.getLastTimestamp(), t);
    f.run({W(ADDR_X, 1), W(ADDR_Y, 9), W(ADDR_X, 2), W(TIME_LOW, 0x124), W(ADDR_X, 3),
           W(TIME_HIGH, 0x001), W(ADDR_X, 4)});  // 0xABC -> 0x001: a rollover
    const std::vector<Event2D> expected = {
        {2, 9, 0, t}, {3, 9, 0, t + 1}, {4, 9, 0, 6 * (uint64_t{1} << 24) + 0x1124}};
    EXPECT_EQ(f.got.events, expected);
}

TEST(Evt3Decoder, RejectsBadInputAtTheBoundary) {
    Evt3Decoder d;
    const uint8_t word[2] = {0, 0x80};
    EXPECT_THROW(d.decodeWordCounted(word, word + 2, 4), std::invalid_argument);
    EXPECT_THROW(d.decodeWord(word + 2, word), std::invalid_argument);
    EXPECT_THROW(d.decodeWord(nullptr, word), std::invalid_argument);
    EXPECT_NO_THROW(d.decodeWord(nullptr, nullptr));
    EXPECT_EQ(d.decodeBuffer({}), 0u);
    EXPECT_EQ(d.getSecondStatistic(), 0u) << "rejected ranges are not counted";
    EXPECT_THROW(recoverRowState(word, word + 1), std::invalid_argument);
    EXPECT_THROW(recoverRowState(word + 2, word), std::invalid_argument);
}

TEST(BinarySearchTimestamp, FindsTheFirstEventAtOrAfterTheTime) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<Event2D> events(rng() % 40);
        uint64_t t = rng() % 5;
        for (auto& e : events) e.timestamp = (t += rng() % 3);  // duplicates on purpose
        for (uint64_t q = 0; q <= t + 2; ++q) {
            const Event2D* first = events.data();
            const Event2D* last = events.data() + events.size();
            const Event2D* expected = std::lower_bound(first, last, q,
                [](const Event2D& e, uint64_t v) { return e.timestamp < v; });
            ASSERT_EQ(binarySearchTimestamp(q, first, last), expected);
            ASSERT_EQ(binarySearchTimestamp(q, events.data(), events.data() + events.size()), events.data() + (expected - first));
        }
    }
    EXPECT_EQ(binarySearchTimestamp(5, static_cast<const Event2D*>(nullptr), nullptr), nullptr);
}

TEST(Evt3Decoder, StaysUsableAfterACallbackThrows) {
    Fixture f;
    f.decoder.setTriggerInCallback([](EventTriggerIn) { throw std::runtime_error("consumer failed"); });
    EXPECT_THROW(f.run({W(TIME_HIGH, 1), W(ADDR_Y, 6), W(ADDR_X, 1), W(EXT_TRIGGER, 1), W(ADDR_X, 2)}),
                 std::runtime_error);
    EXPECT_EQ(f.got.events, (std::vector<Event2D>{{1, 6, 0, 4096}})) << "events before the edge were delivered";
    // The state reached at the trigger word is kept: the next buffer continues the row and time.
    f.run({W(TIME_LOW, 3), W(ADDR_X, 9)});
    EXPECT_EQ(f.got.events.back(), Event2D(9, 6, 0, 4099));
}

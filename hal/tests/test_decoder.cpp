// The decoder's state rules, word by word: no event before its row, vector base and time
// are known, time rollover and jitter, ignored word types, trigger ordering, statistics,
// words split across calls, priming, bad input at the boundary, vector masks of every
// density against the reference decoder, and the sensor geometry (events outside it
// dropped and counted, the vector base kept within the format's range), and streams made up
// as a real sensor reads rows out (runs of pixel words between 32-column vector groups).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
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
    // More events than the output buffer holds: several ranges, none lost, none empty. Each
    // row is one run of full VECT_12 words over x 0 .. 2039.
    std::vector<uint16_t> words = {W(TIME_HIGH, 1)};
    const size_t rows = 3 * Evt3Decoder::kOutputCapacity / 2040 + 1;
    for (size_t r = 0; r < rows; ++r) {
        words.push_back(W(ADDR_Y, static_cast<uint16_t>(r)));
        words.push_back(W(VECT_BASE_X, 0));
        for (size_t i = 0; i < 170; ++i) words.push_back(W(VECT_12, 0xFFF));
    }
    std::vector<uint8_t> bytes;
    for (uint16_t w : words) { bytes.push_back(static_cast<uint8_t>(w)); bytes.push_back(static_cast<uint8_t>(w >> 8)); }
    Fixture f;
    EXPECT_EQ(f.decoder.decodeBuffer(bytes), rows * 2040);
    ASSERT_EQ(f.got.events.size(), rows * 2040);
    EXPECT_GE(f.got.ranges, 3u);
    EXPECT_FALSE(f.got.sawEmptyRange);
    for (size_t i = 0; i < f.got.events.size(); ++i) {
        ASSERT_EQ(f.got.events[i].x, i % 2040) << i;
        ASSERT_EQ(f.got.events[i].y, i / 2040) << i;
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

// Fixed fault: the decoder was told the sensor geometry but never used it. ADDR_X words gave
// x up to 2047 and rows up to 2047 on a 1280 x 720 sensor, and a run of vector words carried
// the base past 2047 and wrapped it at 65535, so consumers indexing images by x and y read
// and wrote outside them.
TEST(Evt3DecoderGeometry, DropsAndCountsEventsOutsideTheGivenSensor) {
    auto decoder = DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
    Collector got;
    got.attach(*decoder);
    const auto bytes = bytesOf({W(TIME_HIGH, 1), W(ADDR_Y, 17), W(ADDR_X, 1279), W(ADDR_X, 1280), W(ADDR_X, 2047),
                                W(VECT_BASE_X, 0x800 | 1276), W(VECT_12, 0xFFF),  // 1276 .. 1279 kept, 8 dropped
                                W(VECT_8, 0x01),                                   // 1288: dropped
                                W(ADDR_Y, 720), W(ADDR_X, 5), W(VECT_BASE_X, 0), W(VECT_8, 0x3),  // row 720
                                W(ADDR_Y, 719), W(ADDR_X, 6), W(VECT_8, 0x1)});     // base 8 on row 719
    EXPECT_EQ(decoder->decodeBuffer(bytes), 7u);
    const uint64_t t = 4096;
    const std::vector<Event2D> expected = {{1279, 17, 0, t}, {1276, 17, 1, t}, {1277, 17, 1, t}, {1278, 17, 1, t},
                                           {1279, 17, 1, t}, {6, 719, 0, t},   {8, 719, 0, t}};
    EXPECT_EQ(got.events, expected);
    EXPECT_EQ(decoder->getDroppedEventCount(), 2u + 8u + 1u + 1u + 2u);
    EXPECT_EQ(decoder->getFirstStatistic(), expected.size()) << "dropped events are not decoded events";

    // Without a geometry the format's whole range is kept; a piece left out keeps its range.
    Evt3Decoder full;
    EXPECT_EQ(full.decodeBuffer(bytes), 7u + 14u);
    EXPECT_EQ(full.getDroppedEventCount(), 0u);
    auto narrow = DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;width=6"));
    EXPECT_EQ(narrow->decodeBuffer(bytes), 1u + 2u) << "x 5 on row 720 and x 0, 1 of the last VECT_8 there";
    EXPECT_THROW(Evt3Decoder(0, 720), std::invalid_argument);
    EXPECT_EQ(Evt3Decoder(5000, 9000).getWidth(), 2048u);
}

TEST(Evt3DecoderGeometry, VectorBaseStopsAtTheLastColumnTheFormatCarries) {
    // A base of 1280 and 6000 full VECT_12 words: 72000 candidate pixels, of which the
    // format can carry the 768 from x 1280 to 2047. Past x 2047 no base is in force.
    std::vector<uint16_t> words = {W(TIME_HIGH, 1), W(ADDR_Y, 3), W(VECT_BASE_X, 1280)};
    words.insert(words.end(), 6000, W(VECT_12, 0xFFF));
    std::vector<uint8_t> bytes;
    for (uint16_t w : words) { bytes.push_back(static_cast<uint8_t>(w)); bytes.push_back(static_cast<uint8_t>(w >> 8)); }
    Evt3Decoder sensor(1280, 720);
    EXPECT_EQ(sensor.decodeBuffer(bytes), 0u);
    EXPECT_EQ(sensor.getDroppedEventCount(), 768u);
    EXPECT_FALSE(sensor.getRowState().hasVector);
    Fixture f;
    EXPECT_EQ(f.decoder.decodeBuffer(bytes), 768u);
    EXPECT_EQ(f.got.events.front().x, 1280);
    EXPECT_EQ(f.got.events.back().x, 2047);

    // A word across x 2047 keeps its pixels up to 2047; the words after it carry none, and a
    // new VECT_BASE_X starts a run again.
    f.got.events.clear();
    f.run({W(VECT_BASE_X, 2040), W(VECT_12, 0xFFF), W(VECT_8, 0xFF), W(VECT_BASE_X, 2), W(VECT_8, 0x1)});
    ASSERT_EQ(f.got.events.size(), 9u);
    EXPECT_EQ(f.got.events[7].x, 2047);
    EXPECT_EQ(f.got.events[8].x, 2);
    EXPECT_EQ(f.decoder.getDroppedEventCount(), 4u) << "bits 8 .. 11 of the word across x 2047";

    // Looking back gives the same state, and priming a base no word can carry leaves it unknown.
    const auto across = bytesOf({W(VECT_BASE_X, 2040), W(VECT_12, 0x1)});
    EXPECT_FALSE(recoverRowState(across.data(), across.data() + across.size()).hasVector);
    f.decoder.primeRowState(RowState{true, 3, true, 2048, 0});
    EXPECT_FALSE(f.decoder.getRowState().hasVector);
}

TEST(Evt3DecoderGeometry, AgreesWithTheReferenceOnRandomWordsForAnyGeometryAndCut) {
    const std::pair<uint32_t, uint32_t> geometries[] = {{1280, 720}, {2048, 2048}, {640, 480}, {1, 1}};
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        const auto bytes = randomWords(seed, 6000);
        for (const auto& [width, height] : geometries) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(width) + " x " + std::to_string(height));
            ReferenceDecoder reference;
            reference.width = width;
            reference.height = height;
            reference.bytes(bytes);
            Evt3Decoder decoder(width, height);
            Collector got;
            got.attach(decoder);
            // Cut at an odd place: a word split across the two calls.
            const size_t cut = (seed * 997) % bytes.size();
            uint64_t n = decoder.decodeBuffer(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
            n += decoder.decodeBuffer(std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(cut), bytes.end()));
            ASSERT_TRUE(got.items == reference.items);
            EXPECT_EQ(n, got.events.size());
            EXPECT_EQ(decoder.getDroppedEventCount(), reference.dropped);
            for (const Event2D& e : got.events) ASSERT_TRUE(e.x < width && e.y < height);
        }
    }
}

namespace {

// Decodes `bytes` in buffers of `cut` bytes on a `width` x `height` sensor and checks every
// item, the counts and the last time against the reference decoder; returns the events.
size_t expectAgreesWithReferenceInBuffers(const std::vector<uint8_t>& bytes, uint32_t width, uint32_t height,
                                          size_t cut) {
    ReferenceDecoder reference;
    reference.width = width;
    reference.height = height;
    reference.bytes(bytes);
    Evt3Decoder decoder(width, height);
    Collector got;
    got.attach(decoder);
    uint64_t n = 0;
    for (size_t pos = 0; pos < bytes.size(); pos += cut) {
        const auto last = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), pos + cut));
        n += decoder.decodeBuffer(std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(pos), last));
    }
    EXPECT_EQ(got.events.size(), eventsOf(reference.items).size());
    EXPECT_TRUE(got.items == reference.items);
    EXPECT_EQ(n, got.events.size());
    EXPECT_EQ(decoder.getDroppedEventCount(), reference.dropped);
    EXPECT_EQ(decoder.getLastTimestamp(), reference.time());
    return got.events.size();
}

}  // namespace

TEST(Evt3Decoder, AgreesWithTheReferenceOnVectorsOfEveryDensityAmongPixelAndTimeWords) {
    // Vector masks with every number of bits set, full ones included, at bases in the
    // middle of the sensor, across its right edge and across x 2047, among pixel, row and
    // time-low words in no fixed order (the mix of a busy and of a sparse sensor), decoded
    // in buffers of an odd size so that words and the output's chunks split anywhere.
    std::mt19937 rng(31);
    std::vector<uint8_t> bytes;
    const auto put = [&](uint16_t word) {
        bytes.push_back(static_cast<uint8_t>(word & 0xFF));
        bytes.push_back(static_cast<uint8_t>(word >> 8));
    };
    const auto maskOf = [&](uint32_t columns) {
        // A mask of `columns` bits with a uniformly drawn number of them set.
        const uint32_t bits = rng() % (columns + 1);
        uint32_t mask = 0;
        while (static_cast<uint32_t>(std::popcount(mask)) < bits) mask |= 1u << (rng() % columns);
        return static_cast<uint16_t>(mask);
    };
    size_t fullMasks = 0;
    put(W(TIME_HIGH, 0x100));
    for (uint32_t high = 0x101; bytes.size() < 120000; ++high) {
        for (int word = 0; word < 200; ++word) {
            const uint32_t pick = rng() % 10;
            if (pick < 2) {
                put(W(ADDR_Y, static_cast<uint16_t>((rng() & 0x800) | rng() % 800)));
            } else if (pick < 4) {
                put(W(ADDR_X, static_cast<uint16_t>((rng() & 0x800) | rng() % 1400)));
            } else if (pick < 5) {
                put(W(TIME_LOW, static_cast<uint16_t>(rng())));
            } else if (pick < 6) {
                const uint32_t where = rng() % 4;
                const uint32_t base = where == 0 ? 1279 - rng() % 30 : where == 1 ? 2047 - rng() % 30 : rng() % 1260;
                put(W(VECT_BASE_X, static_cast<uint16_t>((rng() & 0x800) | base)));
            } else {
                const bool twelve = rng() % 2 != 0;
                const uint16_t mask = maskOf(twelve ? 12 : 8);
                fullMasks += mask == (twelve ? 0xFFF : 0xFF);
                put(W(twelve ? VECT_12 : VECT_8, mask));
            }
        }
        put(W(TIME_HIGH, static_cast<uint16_t>(high & 0xFFF)));
    }
    ASSERT_GT(fullMasks, 100u);
    for (const auto& [width, height] : {std::pair<uint32_t, uint32_t>{1280, 720}, {2048, 2048}}) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
        expectAgreesWithReferenceInBuffers(bytes, width, height, 1001);
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(Evt3DecoderGeometry, ResumingOnRandomWordsGivesTheTailOfAFullDecode) {
    // The row and vector state looked back for at any word, with the time of a full decode
    // there, resumes exactly: runs that left the format's range included.
    for (uint32_t seed = 20; seed < 24; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const auto bytes = randomWords(seed, 3000);
        Evt3Decoder full(1280, 720);
        Collector fullItems;
        fullItems.attach(full);
        std::vector<size_t> itemsBefore;
        std::vector<uint64_t> timeBefore;
        std::vector<RowState> stateBefore;
        for (size_t i = 0; i < bytes.size(); i += 2) {
            itemsBefore.push_back(fullItems.items.size());
            timeBefore.push_back(full.getLastTimestamp());
            stateBefore.push_back(full.getRowState());
            full.decodeWord(bytes.data() + i, bytes.data() + i + 2);
        }
        Evt3Decoder resumed(1280, 720);
        for (size_t word = 0; word < bytes.size() / 2; word += 7) {
            const uint8_t* resumeAt = bytes.data() + 2 * word;
            ASSERT_EQ(recoverRowState(bytes.data(), resumeAt), stateBefore[word]) << "word " << word;
            if (timeBefore[word] < 4096) continue;  // before the first TIME_HIGH the time is not known
            Collector got;
            got.attach(resumed);
            resumed.resetTimestamp(timeBefore[word]);
            resumed.primeRowState(recoverRowState(bytes.data(), resumeAt));
            resumed.decodeBuffer(std::vector<uint8_t>(resumeAt, bytes.data() + bytes.size()));
            const std::vector<Item> expected(fullItems.items.begin() + static_cast<std::ptrdiff_t>(itemsBefore[word]),
                                             fullItems.items.end());
            ASSERT_TRUE(got.items == expected) << "resumed at word " << word;
        }
    }
}

TEST(Evt3DecoderGeometry, QuickLookFindsEveryWordOffTheSensor) {
    // Against a word-by-word test, over lengths and starts that cut the vectorised blocks
    // anywhere, with one off-sensor word planted at every position in turn.
    const auto plain = [](const std::vector<uint8_t>& bytes, size_t from, size_t to, uint32_t w, uint32_t h) {
        for (size_t i = from; i + 1 < to; i += 2) {
            const uint16_t word = static_cast<uint16_t>(bytes[i] | (bytes[i + 1] << 8));
            const uint32_t c = word & kMaxCoordinate;
            if ((word >> 12 == ADDR_Y && c >= h) || (word >> 12 == ADDR_X && c >= w)) return true;
        }
        return false;
    };
    std::mt19937 rng(9);
    for (const auto& [w, h] : {std::pair<uint32_t, uint32_t>{1280, 720}, {1, 1}, {2048, 2048}, {2047, 5}}) {
        // Words on the sensor only: pixels, rows, and everything else with any payload.
        std::vector<uint8_t> clean;
        for (int i = 0; i < 6000; ++i) {
            const uint32_t pick = rng() % 3;
            const uint16_t word = pick == 0   ? W(ADDR_Y, static_cast<uint16_t>((rng() & 0x800) | rng() % h))
                                  : pick == 1 ? W(ADDR_X, static_cast<uint16_t>((rng() & 0x800) | rng() % w))
                                              : W(static_cast<uint16_t>(3 + rng() % 13), static_cast<uint16_t>(rng()));
            clean.push_back(static_cast<uint8_t>(word));
            clean.push_back(static_cast<uint8_t>(word >> 8));
        }
        ASSERT_FALSE(hasOffSensorWord(clean.data(), clean.data() + clean.size(), w, h));
        if (w == 2048 && h == 2048) continue;  // nothing can be off the format's range
        for (size_t at = 0; at < clean.size(); at += 2 * (1 + rng() % 97)) {
            std::vector<uint8_t> bytes = clean;
            const uint16_t off = rng() % 2 && h < 2048 ? W(ADDR_Y, static_cast<uint16_t>(h + rng() % (2048 - h)))
                                                      : W(ADDR_X, static_cast<uint16_t>(0x800 | std::min<uint32_t>(w, 2047)));
            if ((off >> 12) == ADDR_X && w == 2048) continue;
            bytes[at] = static_cast<uint8_t>(off);
            bytes[at + 1] = static_cast<uint8_t>(off >> 8);
            const size_t from = 2 * (rng() % 40), to = bytes.size() - rng() % 80;
            ASSERT_EQ(hasOffSensorWord(bytes.data() + from, bytes.data() + to, w, h), plain(bytes, from, to, w, h))
                << w << " x " << h << ", word at " << at << " in [" << from << ", " << to << ")";
        }
    }
    const uint8_t word[2] = {0, 0};
    EXPECT_FALSE(hasOffSensorWord(word, word, 1280, 720));
    EXPECT_THROW(hasOffSensorWord(word, word + 2, 0, 720), std::invalid_argument);
    EXPECT_THROW(hasOffSensorWord(word, word + 2, 1280, 4096), std::invalid_argument);
    EXPECT_THROW(hasOffSensorWord(word + 2, word, 1280, 720), std::invalid_argument);
}

TEST(Evt3Decoder, AgreesWithTheReferenceOnRowsReadOutAsARealSensorDoes) {
    // The make-up of a real recording: rows of one to a few dozen pixel words with time-low
    // words among them, and vector groups of 32 columns (VECT_BASE_X, VECT_12, VECT_12,
    // VECT_8) whose masks hold mostly two or three bits, sometimes more, at bases up to and
    // across the sensor's right edge; now and then a row or a column off the sensor, a
    // group of another shape or a time-high word. Runs of every length, so that each word
    // kind ends a run of pixel words at every position in a block of eight; buffers of an
    // odd size.
    std::mt19937 rng(57);
    std::vector<uint8_t> bytes;
    const auto put = [&](uint16_t word) {
        bytes.push_back(static_cast<uint8_t>(word & 0xFF));
        bytes.push_back(static_cast<uint8_t>(word >> 8));
    };
    const auto sparseMask = [&](uint32_t columns, uint32_t bits) {
        uint32_t mask = 0;
        while (static_cast<uint32_t>(std::popcount(mask)) < bits) mask |= 1u << (rng() % columns);
        return mask;
    };
    size_t groups = 0;
    size_t groupsAtTheEdge = 0;
    uint32_t high = 0x200;
    put(W(TIME_HIGH, static_cast<uint16_t>(high)));
    while (bytes.size() < 400000) {
        const uint32_t pick = rng() % 20;
        if (pick < 9) {
            // A row: its ADDR_Y, then a run of pixel words with a time-low word now and then.
            const uint32_t y = rng() % 40 == 0 ? 720 + rng() % 100 : rng() % 720;
            put(W(ADDR_Y, static_cast<uint16_t>((rng() & 0x800) | y)));
            const uint32_t length = rng() % 4 == 0 ? rng() % 40 : rng() % 6;
            for (uint32_t i = 0; i < length; ++i) {
                if (rng() % 10 == 0) {
                    put(W(TIME_LOW, static_cast<uint16_t>(rng())));
                } else {
                    const uint32_t x = rng() % 200 == 0 ? 1280 + rng() % 700 : rng() % 1280;
                    put(W(ADDR_X, static_cast<uint16_t>((rng() & 0x800) | x)));
                }
            }
        } else if (pick < 17) {
            // A vector group, mostly well inside the sensor, some at or across its right edge.
            const uint32_t where = rng() % 4;
            const uint32_t base = where == 0 ? 1280 - 40 + rng() % 40 : where == 1 ? 2047 - rng() % 40 : rng() % 1240;
            groupsAtTheEdge += where == 0;
            const uint32_t bits = rng() % 8 == 0 ? rng() % 33 : 2 + rng() % 2;
            const uint32_t mask = sparseMask(32, bits);
            put(W(VECT_BASE_X, static_cast<uint16_t>((rng() & 0x800) | base)));
            put(W(VECT_12, static_cast<uint16_t>(mask & 0xFFF)));
            put(W(VECT_12, static_cast<uint16_t>((mask >> 12) & 0xFFF)));
            put(W(VECT_8, static_cast<uint16_t>(((mask >> 24) & 0xFF) | (rng() % 4 == 0 ? 0xF00 : 0))));
            ++groups;
        } else if (pick < 18) {
            // A group of another shape: a shorter run, or one more mask than a real sensor gives.
            put(W(VECT_BASE_X, static_cast<uint16_t>((rng() & 0x800) | rng() % 1280)));
            const uint32_t masks = 1 + rng() % 4;
            for (uint32_t i = 0; i < masks; ++i) {
                put(W(rng() % 3 == 0 ? VECT_8 : VECT_12, static_cast<uint16_t>(sparseMask(12, rng() % 4))));
            }
        } else if (pick < 19) {
            put(W(TIME_LOW, static_cast<uint16_t>(rng())));
        } else {
            high = (high + 1) & 0xFFF;
            put(W(TIME_HIGH, static_cast<uint16_t>(high)));
        }
    }
    ASSERT_GT(groups, 5000u);
    ASSERT_GT(groupsAtTheEdge, 1000u);
    for (const auto& [width, height] :
         {std::pair<uint32_t, uint32_t>{1280, 720}, {2048, 2048}, {1270, 700}, {640, 360}}) {
        for (const size_t cut : {size_t{1001}, size_t{131072}}) {
            SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + ", buffers of " + std::to_string(cut));
            ASSERT_GT(expectAgreesWithReferenceInBuffers(bytes, width, height, cut), 20000u);
            if (::testing::Test::HasFailure()) return;
        }
    }
}

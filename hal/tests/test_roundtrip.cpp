// Encode-then-decode round trips over random streams: every event and trigger edge comes
// back, in order, however the stream is cut into buffers, and decoding resumed at any word
// from primed state gives exactly what a decode from the start gives from there on.
#include <gtest/gtest.h>

#include "Evt3TestSupport.h"

using namespace vireo;
using namespace vireo::testing;

namespace {

std::vector<Item> decodeAll(const std::vector<uint8_t>& bytes) {
    Evt3Decoder decoder;
    Collector got;
    got.attach(decoder);
    decoder.decodeBuffer(bytes);
    EXPECT_FALSE(got.sawEmptyRange);
    return got.items;
}

// Starting times: near zero, and just before the 24-bit wire time rolls over.
constexpr uint64_t kNearRollover = (uint64_t{1} << 24) - 30000;

}  // namespace

TEST(RoundTrip, GivesBackEveryEventAndTriggerInOrder) {
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const uint64_t start = seed % 3 == 0 ? kNearRollover : seed * 17;
        const auto items = randomItems(seed, 400, start);
        const auto bytes = encodeItems(items, seed % 2 ? 0 : 37);
        const auto decoded = decodeAll(bytes);
        ASSERT_EQ(decoded.size(), items.size());
        EXPECT_TRUE(decoded == items);
        ReferenceDecoder reference;
        reference.bytes(bytes);
        EXPECT_TRUE(reference.items == items) << "the reference decoder disagrees";
    }
}

TEST(RoundTrip, FollowsTheTimeAcrossSeveralRollovers) {
    // Groups far apart in time: the wire time wraps several times.
    std::vector<Item> items;
    uint64_t t = kNearRollover;
    for (int i = 0; i < 40; ++i, t += 1'500'000) {
        items.emplace_back(Event2D(static_cast<uint16_t>(i), 3, 1, t));
        items.emplace_back(EventTriggerIn(2, static_cast<int16_t>(i % 2), t + 1));
    }
    const auto decoded = decodeAll(encodeItems(items));
    EXPECT_TRUE(decoded == items);
    ASSERT_FALSE(decoded.empty());
    EXPECT_GT(std::get<EventTriggerIn>(decoded.back()).timestamp, 3 * (uint64_t{1} << 24));
}

TEST(RoundTrip, AnyCutIntoTwoBuffersDecodesTheSame) {
    for (uint32_t seed = 100; seed < 106; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const auto items = randomItems(seed, 80, seed % 2 ? 5 : kNearRollover);
        const auto bytes = encodeItems(items, 11);
        Evt3Decoder decoder;
        for (size_t cut = 0; cut <= bytes.size(); cut += 2) {
            decoder.reset();
            Collector got;
            got.attach(decoder);
            const std::vector<uint8_t> head(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
            const std::vector<uint8_t> tail(bytes.begin() + static_cast<std::ptrdiff_t>(cut), bytes.end());
            const uint32_t n = decoder.decodeBuffer(head) + decoder.decodeBuffer(tail);
            ASSERT_TRUE(got.items == items) << "cut at byte " << cut;
            ASSERT_EQ(n, got.events.size());
        }
    }
}

TEST(RoundTrip, ResumingFromPrimedStateGivesTheEventsOfAFullDecode) {
    for (uint32_t seed = 200; seed < 206; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const auto items = randomItems(seed, 150, seed % 2 ? 9 : kNearRollover);
        const auto bytes = encodeItems(items, 23);
        // Items produced by the words before each word offset, and the time in force there.
        Evt3Decoder full;
        Collector fullItems;
        fullItems.attach(full);
        std::vector<size_t> itemsBefore;
        std::vector<uint64_t> timeBefore;
        for (size_t i = 0; i < bytes.size(); i += 2) {
            itemsBefore.push_back(fullItems.items.size());
            timeBefore.push_back(full.getLastTimestamp());
            full.decodeWord(bytes.data() + i, bytes.data() + i + 2);
        }
        ASSERT_TRUE(fullItems.items == items);
        // Word 0 is the first TIME_HIGH: from word 1 on, the time is known.
        Evt3Decoder resumed;
        for (size_t word = 1; word < bytes.size() / 2; ++word) {
            const uint8_t* resumeAt = bytes.data() + 2 * word;
            Collector got;
            got.attach(resumed);
            resumed.resetTimestamp(timeBefore[word]);
            resumed.primeRowState(evt3::recoverRowState(bytes.data(), resumeAt));
            resumed.decodeBuffer(std::vector<uint8_t>(resumeAt, bytes.data() + bytes.size()));
            const std::vector<Item> expected(items.begin() + static_cast<std::ptrdiff_t>(itemsBefore[word]), items.end());
            ASSERT_TRUE(got.items == expected) << "resumed at word " << word;
        }
    }
}

TEST(RoundTrip, RecoveredRowStateMatchesTheDecoderState) {
    const auto bytes = encodeItems(randomItems(7, 300, 100), 0);
    Evt3Decoder decoder;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        const evt3::RowState recovered = evt3::recoverRowState(bytes.data(), bytes.data() + i);
        ASSERT_EQ(recovered, decoder.getRowState()) << "at byte " << i;
        decoder.decodeWord(bytes.data() + i, bytes.data() + i + 2);
    }
}

TEST(RoundTrip, ResumingWithoutRowStateProducesNoInventedEvents) {
    // A resume after resetTimestamp alone must wait for the next ADDR_Y: every event it
    // gives is one the full decode gives, with the same row.
    const auto items = randomItems(31, 200, 50);
    const auto bytes = encodeItems(items);
    const auto all = eventsOf(items);
    Evt3Decoder decoder;
    for (size_t word = 3; word < bytes.size() / 2; word += 7) {
        Collector got;
        got.attach(decoder);
        decoder.resetTimestamp(0);
        decoder.decodeBuffer(std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(2 * word), bytes.end()));
        ASSERT_LE(got.events.size(), all.size());
        // What comes out is a tail of the full decode (times may differ before the first
        // time word, so compare positions only).
        for (size_t i = 0; i < got.events.size(); ++i) {
            const Event2D& a = got.events[got.events.size() - 1 - i];
            const Event2D& b = all[all.size() - 1 - i];
            ASSERT_TRUE(a.x == b.x && a.y == b.y && a.polarity == b.polarity) << "word " << word;
        }
    }
}

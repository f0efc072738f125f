// Decoding the real recording gives the published figures, whatever the buffer sizes the
// stream is cut into, and agrees event for event with the plain reference decoder.
#include <gtest/gtest.h>

#include <array>

#include "Evt3TestSupport.h"

using namespace vireo;
using namespace vireo::testing;

namespace {

struct Figures {
    uint64_t events = 0, positive = 0, sumX = 0, sumY = 0, sumT = 0;
    uint64_t firstT = 0, lastT = 0, below = 0, window = 0, maxX = 0, maxY = 0, triggers = 0;
    uint64_t returned = 0;
    bool ordered = true;

    void add(const Event2D& e) {
        if (events == 0) firstT = e.timestamp;
        if (events != 0 && e.timestamp < lastT) ordered = false;
        lastT = e.timestamp;
        ++events;
        positive += e.polarity;
        sumX += e.x;
        sumY += e.y;
        sumT += e.timestamp;
        below += e.timestamp < 11720000;
        window += e.timestamp >= 11722000 && e.timestamp < 11724000;
        maxX = std::max<uint64_t>(maxX, e.x);
        maxY = std::max<uint64_t>(maxY, e.y);
    }
};

Figures decodeInPieces(const std::vector<uint8_t>& body, size_t piece) {
    Figures f;
    Evt3Decoder decoder;
    decoder.setEventsStreamHandleCallback([&f](const Event2D* first, const Event2D* last) {
        for (const Event2D* e = first; e != last; ++e) f.add(*e);
    });
    decoder.setTriggerInCallback([&f](EventTriggerIn) { ++f.triggers; });
    std::vector<uint8_t> buffer;
    for (size_t pos = 0; pos < body.size(); pos += piece) {
        buffer.assign(body.begin() + static_cast<std::ptrdiff_t>(pos),
                      body.begin() + static_cast<std::ptrdiff_t>(std::min(body.size(), pos + piece)));
        f.returned += decoder.decodeBuffer(buffer);
    }
    EXPECT_EQ(decoder.getFirstStatistic(), f.events);
    EXPECT_EQ(decoder.getSecondStatistic(), body.size());
    EXPECT_GE(decoder.getLastTimestamp(), 11727457u);
    return f;
}

}  // namespace

TEST(SampleRecording, HeaderAndWordCountsMatchTheFigures) {
    size_t header = 0;
    const auto body = loadSampleBody(&header);
    if (!body) GTEST_SKIP() << "evt3_sample.raw not found beside the checkout";
    EXPECT_EQ(header, 166u);
    ASSERT_EQ(body->size(), 617886u);
    std::array<uint64_t, 16> byType{};
    for (size_t i = 0; i < body->size(); i += 2) ++byType[(*body)[i + 1] >> 4];
    EXPECT_EQ(byType[evt3::ADDR_Y], 59640u);
    EXPECT_EQ(byType[evt3::ADDR_X], 197550u);
    EXPECT_EQ(byType[evt3::VECT_BASE_X], 10527u);
    EXPECT_EQ(byType[evt3::VECT_12], 21242u);
    EXPECT_EQ(byType[evt3::VECT_8], 10621u);
    EXPECT_EQ(byType[evt3::TIME_LOW], 8812u);
    EXPECT_EQ(byType[evt3::TIME_HIGH], 551u);
}

TEST(SampleRecording, DecodesToThePublishedFiguresForEveryBufferSize) {
    const auto body = loadSampleBody();
    if (!body) GTEST_SKIP() << "evt3_sample.raw not found beside the checkout";
    // Odd sizes split words between calls; the large ones cover a USB transfer and the
    // whole body in one call.
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}, size_t{1001},
                         size_t{4096}, size_t{131072}, body->size()}) {
        SCOPED_TRACE("piece of " + std::to_string(piece) + " bytes");
        const Figures f = decodeInPieces(*body, piece);
        EXPECT_EQ(f.events, 219596u);
        EXPECT_EQ(f.returned, 219596u);
        EXPECT_EQ(f.positive, 115532u);
        EXPECT_EQ(f.sumX, 159113225u);
        EXPECT_EQ(f.sumY, 85638051u);
        EXPECT_EQ(f.firstT, 11718656u);
        EXPECT_EQ(f.lastT, 11727457u);
        EXPECT_EQ(f.sumT, 2574324900467u);
        EXPECT_EQ(f.below, 33950u);
        EXPECT_EQ(f.window, 49932u);
        EXPECT_EQ(f.triggers, 0u);
        EXPECT_EQ(f.maxX, 1279u);
        EXPECT_EQ(f.maxY, 719u);
        EXPECT_TRUE(f.ordered);
    }
}

TEST(SampleRecording, AgreesEventForEventWithTheReferenceDecoder) {
    const auto body = loadSampleBody();
    if (!body) GTEST_SKIP() << "evt3_sample.raw not found beside the checkout";
    ReferenceDecoder reference;
    reference.bytes(*body);
    Evt3Decoder decoder;
    Collector got;
    got.attach(decoder);
    decoder.decodeBuffer(*body);
    EXPECT_FALSE(got.sawEmptyRange);
    ASSERT_EQ(got.items.size(), reference.items.size());
    EXPECT_TRUE(got.items == reference.items);
    // The recording's own sensor keeps every event: a camera's decoder loses nothing.
    auto sensor = DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
    EXPECT_EQ(sensor->decodeBuffer(*body), 219596u);
    EXPECT_EQ(sensor->getDroppedEventCount(), 0u);
}

TEST(SampleRecording, WordByWordDecodingCountsLikeWholeBuffers) {
    const auto body = loadSampleBody();
    if (!body) GTEST_SKIP() << "evt3_sample.raw not found beside the checkout";
    Evt3Decoder decoder;
    uint64_t counted = 0;
    uint64_t lastTime = 0;
    bool timeWentBack = false;
    for (size_t i = 0; i < body->size(); i += 2) {
        counted += decoder.decodeWordCounted(body->data() + i, body->data() + i + 2, decoder.getWordSize());
        // Between a TIME_HIGH and the next TIME_LOW the time carries the previous low part,
        // so it may look up to one TIME_HIGH period ahead; it never goes further back.
        timeWentBack |= decoder.getLastTimestamp() + evt3::kTimeHighPeriod < lastTime;
        lastTime = decoder.getLastTimestamp();
    }
    EXPECT_EQ(counted, 219596u);
    EXPECT_FALSE(timeWentBack);
}

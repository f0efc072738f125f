// The encoder writes the shortest faithful word sequence: time words only when the time
// changes (one TIME_HIGH per 4096 µs step), ADDR_Y only when the row changes, vectors for
// dense runs and ADDR_X for the rest, a TIME_HIGH at the start of every buffer; and it
// refuses events it cannot represent.
#include <gtest/gtest.h>

#include <stdexcept>

#include "Evt3TestSupport.h"

using namespace vireo;
using namespace vireo::testing;
using namespace vireo::evt3;

namespace {

std::vector<uint16_t> wordsOf(const std::vector<uint8_t>& bytes) {
    std::vector<uint16_t> words;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) words.push_back(static_cast<uint16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return words;
}

uint16_t W(uint16_t type, uint16_t payload) { return makeWord(type, payload); }

}  // namespace

TEST(Evt3Encoder, WritesTimeAndRowOnlyWhenTheyChange) {
    Evt3Encoder enc;
    std::vector<uint8_t> out;
    const std::vector<Event2D> events = {{5, 3, 1, 0x12345}, {900, 3, 0, 0x12345}, {6, 4, 0, 0x12345},
                                         {7, 4, 0, 0x12346}, {8, 4, 1, 0x13001}};
    enc.encodeEvents(events, out);
    EXPECT_EQ(wordsOf(out), (std::vector<uint16_t>{
        W(TIME_HIGH, 0x12), W(TIME_LOW, 0x345), W(ADDR_Y, 3), W(ADDR_X, 0x800 | 5), W(ADDR_X, 900),
        W(ADDR_Y, 4), W(ADDR_X, 6), W(TIME_LOW, 0x346), W(ADDR_X, 7),
        W(TIME_HIGH, 0x13), W(TIME_LOW, 0x001), W(ADDR_X, 0x800 | 8)}));
    EXPECT_EQ(enc.currentTime(), 0x13001u);
    EXPECT_EQ(enc.wordCount(), 12u);
}

TEST(Evt3Encoder, SendsOneTimeHighPerStepAcrossAGap) {
    Evt3Encoder enc;
    std::vector<uint8_t> out;
    enc.encodeTime(0xFFE010, out);
    enc.encodeTime(0xFFE010, out);  // no change, no word
    enc.encodeTime((uint64_t{1} << 24) + 0x1010, out);
    EXPECT_EQ(wordsOf(out), (std::vector<uint16_t>{W(TIME_HIGH, 0xFFE), W(TIME_LOW, 0x010),
                                                    W(TIME_HIGH, 0xFFF), W(TIME_HIGH, 0x000),
                                                    W(TIME_HIGH, 0x001)}));
    Evt3Decoder dec;
    dec.decodeBuffer(out);
    EXPECT_EQ(dec.getLastTimestamp(), (uint64_t{1} << 24) + 0x1010);
}

TEST(Evt3Encoder, UsesVectorsForDenseRunsWithShortTails) {
    Evt3Encoder enc;
    std::vector<uint8_t> out;
    std::vector<Event2D> run;
    for (uint16_t x = 100; x < 121; ++x) run.emplace_back(x, 7, 1, 50);  // 21 pixels: 12 + 9
    for (uint16_t x = 200; x < 202; ++x) run.emplace_back(x, 7, 1, 50);  // 2 pixels: ADDR_X
    for (uint16_t x = 300; x < 310; x += 2) run.emplace_back(x, 7, 0, 50);  // 5 pixels over 9
    enc.encodeEvents(run, out);
    EXPECT_EQ(wordsOf(out), (std::vector<uint16_t>{
        W(TIME_HIGH, 0), W(TIME_LOW, 50), W(ADDR_Y, 7),
        W(VECT_BASE_X, 0x800 | 100), W(VECT_12, 0xFFF), W(VECT_12, 0x1FF),
        W(ADDR_X, 0x800 | 200), W(ADDR_X, 0x800 | 201),
        W(VECT_BASE_X, 300), W(VECT_12, 0x155)}));
    std::vector<Event2D> tail;
    for (uint16_t x = 0; x < 20; ++x) tail.emplace_back(x, 8, 0, 60);  // 12 + 8: VECT_8 tail
    out.clear();
    enc.encodeEvents(tail, out);
    EXPECT_EQ(wordsOf(out), (std::vector<uint16_t>{W(TIME_LOW, 60), W(ADDR_Y, 8), W(VECT_BASE_X, 0),
                                                    W(VECT_12, 0xFFF), W(VECT_8, 0xFF)}));
}

TEST(Evt3Encoder, KeepsTheOrderOfUnsortedAndRepeatedPixels) {
    const std::vector<Item> items = {Event2D(9, 1, 0, 4), Event2D(3, 1, 0, 4), Event2D(4, 1, 0, 4),
                                     Event2D(5, 1, 0, 4), Event2D(5, 1, 0, 4), Event2D(6, 1, 1, 4),
                                     Event2D(7, 1, 0, 4)};
    Evt3Decoder dec;
    Collector got;
    got.attach(dec);
    dec.decodeBuffer(encodeItems(items));
    EXPECT_TRUE(got.items == items);
}

TEST(Evt3Encoder, PrecedesEveryBufferWithTimeHigh) {
    Evt3Encoder enc;
    std::vector<uint8_t> out;
    enc.beginBuffer();  // nothing written yet: the first time words come anyway
    const std::vector<Event2D> a = {{1, 2, 0, 10}};
    enc.encodeEvents(a, out);
    enc.beginBuffer();
    enc.beginBuffer();
    const size_t cut = out.size();
    enc.encodeTrigger(EventTriggerIn(4, 1, 10), out);
    enc.beginBuffer();
    enc.encodeTime(4096 + 10, out);  // the due TIME_HIGH is the step itself
    EXPECT_EQ(wordsOf(out), (std::vector<uint16_t>{W(TIME_HIGH, 0), W(TIME_LOW, 10), W(ADDR_Y, 2), W(ADDR_X, 1),
                                                    W(TIME_HIGH, 0), W(EXT_TRIGGER, 0x401), W(TIME_HIGH, 1)}));
    // The second buffer alone, after a reset of the decoder to its time, decodes the edge.
    Evt3Decoder dec;
    Collector got;
    got.attach(dec);
    dec.resetTimestamp(10);
    dec.decodeBuffer(std::vector<uint8_t>(out.begin() + static_cast<std::ptrdiff_t>(cut), out.end()));
    ASSERT_EQ(got.items.size(), 1u);
    EXPECT_EQ(std::get<EventTriggerIn>(got.items[0]), EventTriggerIn(4, 1, 10));
    enc.reset();
    out.clear();
    enc.encodeEvents(a, out);
    EXPECT_EQ(wordsOf(out).size(), 4u) << "reset forgets time and row";
}

TEST(Evt3Encoder, RefusesEventsItCannotRepresent) {
    Evt3Encoder enc;
    std::vector<uint8_t> out;
    const std::vector<Event2D> ok = {{1, 1, 0, 100}};
    enc.encodeEvents(ok, out);
    const size_t written = out.size();
    const std::vector<std::vector<Event2D>> bad = {
        {{2048, 1, 0, 100}}, {{1, 2048, 0, 100}}, {{1, 1, 2, 100}}, {{1, 1, 0, 99}}};
    for (const auto& events : bad) {
        EXPECT_THROW(enc.encodeEvents(events, out), std::invalid_argument);
    }
    EXPECT_THROW(enc.encodeTrigger(EventTriggerIn(16, 0, 200), out), std::invalid_argument);
    EXPECT_THROW(enc.encodeTrigger(EventTriggerIn(-1, 0, 200), out), std::invalid_argument);
    EXPECT_THROW(enc.encodeTrigger(EventTriggerIn(0, 2, 200), out), std::invalid_argument);
    EXPECT_THROW(enc.encodeTime(50, out), std::invalid_argument);
    EXPECT_EQ(out.size(), written) << "refused input writes nothing";
    try {
        const std::vector<Event2D> e = {{3000, 1, 0, 100}};
        enc.encodeEvents(e, out);
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("3000"), std::string::npos) << e.what();
    }
}

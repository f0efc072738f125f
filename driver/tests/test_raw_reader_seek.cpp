// Tests of seeking and reading: reads by count and by duration checked against a
// sequential decode, random seeks by time and by event number followed by reads, checked
// event by event (on encoder-made recordings with triggers, rollover and cut buffers, and on
// word streams whose row and vector state runs across bookmarks), with an index built by
// the scan and one reloaded from its file, and the warnings and edges at either end.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <vireo/RawFileReader.h>
#include <vireo/test/StdoutCapture.h>

#include "RecordingTestSupport.h"

namespace vireo {
namespace {

using test::makeDecodedRecording;
using test::startOf;
using test::endOf;
using test::firstAtOrAfter;

void expectRun(const std::vector<Event2D>& got, const std::vector<Event2D>& events, size_t from,
               const std::string& what) {
    ASSERT_LE(from + got.size(), events.size()) << what;
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(got[i] == events[from + i]) << what << ": event " << from + i << " differs (read " << i << ")";
    }
}

// Random seeks by time and by event number, each followed by reads by count and by
// duration, all compared with the sequential decode.
void checkRandomSeeks(RawFileReader& reader, const std::vector<Event2D>& events, uint32_t seed, int rounds) {
    std::mt19937 rng(seed);
    const uint64_t start = startOf(reader);
    const uint64_t end = endOf(reader);
    for (int round = 0; round < rounds; ++round) {
        const uint64_t t = std::uniform_int_distribution<uint64_t>(start, end)(rng);
        ASSERT_TRUE(reader.seekTime(t)) << t;
        const size_t k = firstAtOrAfter(events, t);
        ASSERT_EQ(reader.getCurrentPosEventNum(), k) << "seekTime " << t;
        ASSERT_EQ(reader.getCurrentPosTimeStamp(), t);
        const size_t n = std::uniform_int_distribution<size_t>(1, 3000)(rng);
        const auto run = reader.getNEvents(n);
        ASSERT_EQ(run->size(), std::min(n, events.size() - k));
        expectRun(*run, events, k, "after seekTime " + std::to_string(t));
        // Then a time span from where the count read stopped.
        const size_t next = k + run->size();
        const uint64_t from = reader.getCurrentPosTimeStamp();
        const uint64_t d = std::uniform_int_distribution<uint64_t>(1, 5000)(rng);
        const auto span = reader.getNTimeEvents(d);
        const size_t until = std::max(next, firstAtOrAfter(events, std::min(from + d, end + 1)));
        if (from <= end) {
            ASSERT_EQ(span->size(), until - next) << "span after seekTime " << t;
            expectRun(*span, events, next, "span after seekTime " + std::to_string(t));
        }

        const uint64_t e = std::uniform_int_distribution<uint64_t>(0, events.size())(rng);
        ASSERT_TRUE(reader.seekNEvents(e)) << e;
        ASSERT_EQ(reader.getCurrentPosEventNum(), e);
        const auto byCount = reader.getNEvents(std::uniform_int_distribution<size_t>(1, 3000)(rng));
        expectRun(*byCount, events, e, "after seekNEvents " + std::to_string(e));
        ASSERT_EQ(byCount->size(), std::min<size_t>(byCount->size(), events.size() - e));
        if (e < events.size()) {
            ASSERT_FALSE(byCount->empty());
        }
        ASSERT_EQ(reader.getCurrentPosEventNum(), e + byCount->size());
    }
}

TEST(RawReaderReading, CountReadsConcatenateToTheWholeFile) {
    const auto rec = makeDecodedRecording("chunks.raw", test::encodedBody(21, 4000, 3000000));
    RawFileReader reader(rec.path);
    ASSERT_TRUE(reader.loadFile());
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{1000}, size_t{100000}}) {
        ASSERT_TRUE(reader.seekNEvents(0));
        std::vector<Event2D> all;
        const std::vector<Event2D>* shared = nullptr;
        while (true) {
            const uint64_t before = reader.getCurrentPosEventNum();
            auto run = reader.getNEvents(std::min<uint64_t>(chunk, rec.events.size() - before));
            if (run->empty()) break;
            if (shared) {
                ASSERT_EQ(run.get(), shared);  // the reader's own vector, refilled
            }
            shared = run.get();
            ASSERT_EQ(reader.getCurrentPosEventNum(), before + run->size());
            all.insert(all.end(), run->begin(), run->end());
        }
        ASSERT_EQ(all.size(), rec.events.size()) << chunk;
        EXPECT_TRUE(all == rec.events) << chunk;
    }
}

TEST(RawReaderReading, TimeSpanReadsConcatenateToTheWholeFile) {
    const auto rec = makeDecodedRecording("spans.raw", test::encodedBody(22, 4000, (1u << 24) - 400000));
    RawFileReader reader(rec.path);
    ASSERT_TRUE(reader.loadFile());
    for (uint64_t d : {uint64_t{1}, uint64_t{333}, uint64_t{2000}, uint64_t{50000}}) {
        ASSERT_TRUE(reader.seekTime(startOf(reader)));
        std::vector<Event2D> all;
        uint64_t t = startOf(reader);
        test::StdoutCapture quiet;  // the last span warns that it passes the end
        while (t <= endOf(reader)) {
            auto span = reader.getNTimeEvents(d);
            for (const Event2D& e : *span) {
                ASSERT_GE(e.timestamp, t);
                ASSERT_LT(e.timestamp, t + d);
            }
            all.insert(all.end(), span->begin(), span->end());
            t += d;
        }
        quiet.finish();
        ASSERT_EQ(all.size(), rec.events.size()) << d;
        EXPECT_TRUE(all == rec.events) << d;
    }
}

TEST(RawReaderReading, RequestsPastTheEndWarnAndClamp) {
    const auto rec = makeDecodedRecording("past.raw", test::encodedBody(23, 1500, 40000));
    RawFileReader reader(rec.path);
    ASSERT_TRUE(reader.loadFile());
    const size_t total = rec.events.size();
    ASSERT_TRUE(reader.seekNEvents(total - 10));
    {
        test::StdoutCapture out;
        const auto rest = reader.getNEvents(25);
        EXPECT_NE(out.finish().find("[warning] Requested number of events exceeds total number of events."),
                  std::string::npos);
        EXPECT_EQ(rest->size(), 10u);
        expectRun(*rest, rec.events, total - 10, "tail");
    }
    EXPECT_TRUE(reader.getNEvents(5)->empty());
    EXPECT_EQ(reader.getCurrentPosEventNum(), total);

    ASSERT_FALSE(reader.seekTime(endOf(reader) + 1));
    EXPECT_TRUE(reader.reachedEndOfEvents());
    {
        test::StdoutCapture out;
        const auto shared = reader.getNEvents(0);
        const auto none = reader.getNTimeEvents(100);
        EXPECT_NE(out.finish().find("Current read pos exceeds end timestamp."), std::string::npos);
        EXPECT_TRUE(none->empty());
        EXPECT_NE(none.get(), shared.get());
        EXPECT_EQ(reader.getCurrentPosEventNum(), total);
    }
    ASSERT_FALSE(reader.seekNEvents(total + 1));
    EXPECT_EQ(reader.getCurrentPosEventNum(), total + 1);
    {
        test::StdoutCapture out;
        EXPECT_TRUE(reader.getNEvents(3)->empty());
        EXPECT_NE(out.finish().find("Requested number of events exceeds total number of events."), std::string::npos);
    }
    EXPECT_TRUE(reader.getNEventsGivenStartTimeStamp(endOf(reader) + 5, 10)->empty());
    EXPECT_TRUE(reader.getNTimeEventsGivenStartEvent(total + 3, 10)->empty());
    {
        ASSERT_FALSE(reader.seekTime(startOf(reader) - 1));
        test::StdoutCapture out;
        EXPECT_TRUE(reader.getNTimeEvents(0)->empty());
        EXPECT_NE(out.finish().find("Requested interval is before start timestamp."), std::string::npos);
    }
    // A span crossing the end warns and gives what is left.
    ASSERT_TRUE(reader.seekTime(endOf(reader) - 10));
    test::StdoutCapture out;
    const auto last = reader.getNTimeEvents(1000);
    EXPECT_NE(out.finish().find("Requested interval exceeds end timestamp."), std::string::npos);
    const size_t k = firstAtOrAfter(rec.events, endOf(reader) - 10);
    EXPECT_EQ(last->size(), total - k);
}

TEST(RawReaderSeek, EdgesOfTheRecording) {
    const auto rec = makeDecodedRecording("edges.raw", test::encodedBody(24, 1500, 123456));
    RawFileReader reader(rec.path);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_EQ(reader.getCurrentPosEventNum(), 0u);
    EXPECT_EQ(reader.getCurrentPosTimeStamp(), startOf(reader));
    ASSERT_TRUE(reader.seekTime(startOf(reader)));
    EXPECT_EQ(reader.getCurrentPosEventNum(), 0u);
    // Fault mended: the end record stands at the end of the file, so seeking to the end
    // time skipped the events at that time; they are found from the record before it.
    ASSERT_TRUE(reader.seekTime(endOf(reader)));
    const size_t k = firstAtOrAfter(rec.events, endOf(reader));
    ASSERT_LT(k, rec.events.size());
    EXPECT_EQ(reader.getCurrentPosEventNum(), k);
    const auto lastTime = reader.getNEvents(rec.events.size());
    EXPECT_EQ(lastTime->size(), rec.events.size() - k);
    // seekNEvents(count) leaves nothing to read.
    ASSERT_TRUE(reader.seekNEvents(rec.events.size()));
    EXPECT_TRUE(reader.getNEvents(1)->empty());
    // The given-start forms seek, then read.
    const auto fromEvent = reader.getNEventsGivenStartEvent(1234, 50);
    expectRun(*fromEvent, rec.events, 1234, "getNEventsGivenStartEvent");
    EXPECT_EQ(fromEvent->size(), 50u);
    const uint64_t t = rec.events[5000].timestamp;
    const auto fromTime = reader.getNTimeEventsGivenStartTimeStamp(t, 100);
    const size_t a = firstAtOrAfter(rec.events, t), b = firstAtOrAfter(rec.events, t + 100);
    EXPECT_EQ(fromTime->size(), b - a);
    expectRun(*fromTime, rec.events, a, "getNTimeEventsGivenStartTimeStamp");
    const auto afterEvent = reader.getNTimeEventsGivenStartEvent(777, 10);
    expectRun(*afterEvent, rec.events, 777, "getNTimeEventsGivenStartEvent");
}

TEST(RawReaderSeek, SeekNEventsLandsInsideVectorWordsWithoutRepeating) {
    // Fault mended: the seek resumed at the word that reached n, whose events were then
    // delivered a second time. Dense runs make many events share one vector word.
    const auto rec = makeDecodedRecording("vectors.raw", test::encodedBody(25, 3000, 2000000));
    RawFileReader reader(rec.path);
    ASSERT_TRUE(reader.loadFile());
    for (uint64_t n = 1000; n < 1030; ++n) {
        const auto run = reader.getNEventsGivenStartEvent(n, 20);
        ASSERT_EQ(run->size(), 20u);
        expectRun(*run, rec.events, n, "getNEventsGivenStartEvent " + std::to_string(n));
        const auto next = reader.getNEvents(5);
        expectRun(*next, rec.events, n + 20, "continuation of " + std::to_string(n));
    }
}

TEST(RawReaderSeek, RandomSeeksMatchTheSequentialDecode) {
    const auto rec = makeDecodedRecording("random.raw", test::encodedBody(26, 20000, (1u << 24) - 2500000));
    ASSERT_GT(rec.events.back().timestamp, uint64_t{1} << 24);
    {
        RawFileReader built(rec.path);
        ASSERT_TRUE(built.loadFile());
        ASSERT_FALSE(built.isIndexReloaded());
        checkRandomSeeks(built, rec.events, 1, 150);
    }
    RawFileReader reloaded(rec.path);
    ASSERT_TRUE(reloaded.loadFile());
    ASSERT_TRUE(reloaded.isIndexReloaded());
    checkRandomSeeks(reloaded, rec.events, 2, 150);
}

TEST(RawReaderSeek, RowAndVectorStateCarryAcrossBookmarks) {
    // Fault mended: resuming with the time alone lost every pixel until the next row word,
    // and vector words until the next vector base. Here rows and bases run on for many
    // bookmarks, so a seek must take them from before its bookmark.
    const auto rec = makeDecodedRecording("soup.raw", test::wordSoupBody(27, 400000, (1u << 24) - 900000));
    ASSERT_GT(rec.events.size(), 100000u);
    {
        RawFileReader built(rec.path);
        ASSERT_TRUE(built.loadFile());
        uint64_t count = 0;
        built.getMaxEvents(count);
        ASSERT_EQ(count, rec.events.size());
        checkRandomSeeks(built, rec.events, 3, 150);
    }
    RawFileReader reloaded(rec.path);
    ASSERT_TRUE(reloaded.loadFile());
    ASSERT_TRUE(reloaded.isIndexReloaded());
    checkRandomSeeks(reloaded, rec.events, 4, 150);
}

TEST(RawReaderSeek, SingleRowRecordingSeeksFarFromItsOnlyRowWord) {
    // One row for the whole recording: the encoder writes its ADDR_Y once, at the start.
    std::vector<Event2D> events;
    std::mt19937 rng(28);
    uint64_t t = 50000;
    for (int i = 0; i < 60000; ++i) {
        t += std::uniform_int_distribution<uint64_t>(0, 40)(rng);
        events.emplace_back(static_cast<uint16_t>(std::uniform_int_distribution<int>(0, 1279)(rng)), 321,
                            static_cast<uint8_t>(i & 1), t);
    }
    Evt3Encoder encoder;
    std::vector<uint8_t> body;
    for (size_t i = 0; i < events.size(); i += 500) {
        encoder.beginBuffer();
        encoder.encodeEvents(events.data() + i, events.data() + std::min(events.size(), i + 500), body);
    }
    const auto rec = makeDecodedRecording("onerow.raw", body);
    ASSERT_EQ(rec.events.size(), events.size());
    RawFileReader built(rec.path);
    ASSERT_TRUE(built.loadFile());
    checkRandomSeeks(built, rec.events, 5, 60);
    RawFileReader reloaded(rec.path);
    ASSERT_TRUE(reloaded.loadFile());
    ASSERT_TRUE(reloaded.isIndexReloaded());
    checkRandomSeeks(reloaded, rec.events, 6, 60);
}

TEST(RawReaderSeek, ShortRecordingKeepsItsEvents) {
    // Fault mended: a recording shorter than one bookmark period had only its end record,
    // so reading started at the end of the file and gave nothing.
    std::vector<Event2D> events;
    for (uint16_t i = 0; i < 300; ++i) events.emplace_back(i, 7, 1, 9000 + i / 10);
    Evt3Encoder encoder;
    std::vector<uint8_t> body;
    encoder.encodeEvents(events, body);
    const auto rec = makeDecodedRecording("short.raw", body);
    RawFileReader reader(rec.path);
    ASSERT_TRUE(reader.loadFile());
    uint64_t count = 0;
    reader.getMaxEvents(count);
    EXPECT_EQ(count, 300u);
    const auto all = reader.getNEvents(300);
    ASSERT_EQ(all->size(), 300u);
    EXPECT_TRUE(*all == events);
}


TEST(RawReaderSeek, ASpanBeforeTheStartKeepsTheEventPosition) {
    // Fault mended (found by fuzzing): the events of a stream's first time words can lie
    // before the first bookmark's time, the recording's start. A reader sent to one of them
    // by event number answered a span ending before the start by setting its position to 0,
    // while its next read still gave that event.
    const std::vector<uint16_t> words = {
        0x8000, 0x6000, 0x0005, 0x280A, 0x280B, 0x280C,  // three events at 0 µs, row 5
        0x6005, 0x280D,                                  // one at 5 µs
        0x8001, 0x6010, 0x280E,                          // one at 4112 µs
        0x8003, 0x6020, 0x280F,                          // one at 12320 µs
    };
    const auto rec = makeDecodedRecording("before_start.raw", test::wordBytes(words));
    RawFileReader reader(rec.path);
    ASSERT_TRUE(reader.loadFile());
    ASSERT_EQ(rec.events.size(), 6u);
    ASSERT_LT(rec.events[1].timestamp + 1, startOf(reader));  // the case this test is about

    ASSERT_TRUE(reader.seekNEvents(1));
    {
        test::StdoutCapture out;
        EXPECT_TRUE(reader.getNTimeEvents(1)->empty());
        EXPECT_NE(out.finish().find("Requested interval is before start timestamp."), std::string::npos);
    }
    EXPECT_EQ(reader.getCurrentPosEventNum(), 1u);
    const auto next = reader.getNEvents(2);
    ASSERT_EQ(next->size(), 2u);
    EXPECT_TRUE((*next)[0] == rec.events[1]);
    EXPECT_TRUE((*next)[1] == rec.events[2]);
    EXPECT_EQ(reader.getCurrentPosEventNum(), 3u);
}

}  // namespace
}  // namespace vireo

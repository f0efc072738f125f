// Tests of the reader's read-ahead thread: random sequences of count and duration reads,
// seeks by time and by event number (inside and outside the recording) and their
// "given start" forms give the same events, positions and warnings with read-ahead off, on,
// and switched on and off between the calls, and the events of a sequential decode; a load
// or a cut while a piece is being decoded ahead, and destruction with one pending, leave
// nothing behind; off, the reader runs no thread. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <vireo/RawFileReader.h>
#include <vireo/test/StdoutCapture.h>

#include "RecordingTestSupport.h"

namespace vireo {
namespace {

using Recording = test::DecodedRecording;
using test::makeDecodedRecording;
using test::startOf;
using test::endOf;
using test::firstAtOrAfter;

// One call and what the reader gave and showed after it.
struct Step {
    std::string call;
    std::vector<Event2D> events;
    uint64_t time = 0;
    uint64_t eventNum = 0;
    bool atEnd = false;
    bool seekOk = true;
    std::vector<std::string> messages;  // the log lines without their clock prefix
};

struct Op {
    enum Kind { Count, Span, SeekTime, SeekEvent, CountFromTime, SpanFromEvent } kind;
    uint64_t where;  // a time or an event number
    uint64_t amount;  // a count or a duration
};

std::vector<Op> randomOps(uint32_t seed, int count, uint64_t start, uint64_t end, uint64_t events) {
    std::mt19937_64 rng(seed);
    auto uni = [&rng](uint64_t lo, uint64_t hi) { return std::uniform_int_distribution<uint64_t>(lo, hi)(rng); };
    // Small, middling and large amounts: within a slice, within a piece, across pieces.
    auto amount = [&](uint64_t small, uint64_t middle, uint64_t large) {
        switch (uni(0, 2)) {
            case 0: return uni(0, small);
            case 1: return uni(small, middle);
            default: return uni(middle, large);
        }
    };
    std::vector<Op> ops;
    for (int i = 0; i < count; ++i) {
        const uint64_t r = uni(0, 19);
        // Seeks land inside the recording mostly, sometimes just outside it.
        const uint64_t t = uni(0, 9) == 0 ? (uni(0, 1) ? end + uni(1, 50) : start - uni(1, 50)) : uni(start, end);
        const uint64_t e = uni(0, 9) == 0 ? events + uni(0, 3) : uni(0, events);
        if (r < 7) ops.push_back({Op::Count, 0, amount(20, 5000, 300000)});
        else if (r < 14) ops.push_back({Op::Span, 0, amount(30, 3000, 400000)});
        else if (r < 16) ops.push_back({Op::SeekTime, t, 0});
        else if (r < 18) ops.push_back({Op::SeekEvent, e, 0});
        else if (r < 19) ops.push_back({Op::CountFromTime, t, amount(20, 5000, 300000)});
        else ops.push_back({Op::SpanFromEvent, e, amount(30, 3000, 400000)});
    }
    return ops;
}

std::vector<std::string> messagesOf(test::StdoutCapture& capture) {
    std::vector<std::string> messages;
    for (const std::string& line : capture.lines()) {
        const size_t at = line.find("] ");
        messages.push_back(at == std::string::npos ? line : line.substr(at + 2));
    }
    return messages;
}

Step apply(RawFileReader& reader, const Op& op) {
    Step step;
    test::StdoutCapture capture;
    std::shared_ptr<std::vector<Event2D>> got;
    switch (op.kind) {
        case Op::Count:
            step.call = "getNEvents(" + std::to_string(op.amount) + ")";
            got = reader.getNEvents(op.amount);
            break;
        case Op::Span:
            step.call = "getNTimeEvents(" + std::to_string(op.amount) + ")";
            got = reader.getNTimeEvents(op.amount);
            break;
        case Op::SeekTime:
            step.call = "seekTime(" + std::to_string(op.where) + ")";
            step.seekOk = reader.seekTime(op.where);
            break;
        case Op::SeekEvent:
            step.call = "seekNEvents(" + std::to_string(op.where) + ")";
            step.seekOk = reader.seekNEvents(op.where);
            break;
        case Op::CountFromTime:
            step.call = "getNEventsGivenStartTimeStamp(" + std::to_string(op.where) + ", " + std::to_string(op.amount) + ")";
            got = reader.getNEventsGivenStartTimeStamp(op.where, op.amount);
            break;
        case Op::SpanFromEvent:
            step.call = "getNTimeEventsGivenStartEvent(" + std::to_string(op.where) + ", " + std::to_string(op.amount) + ")";
            got = reader.getNTimeEventsGivenStartEvent(op.where, op.amount);
            break;
    }
    step.messages = messagesOf(capture);
    if (got) step.events = *got;
    step.time = reader.getCurrentPosTimeStamp();
    step.eventNum = reader.getCurrentPosEventNum();
    step.atEnd = reader.reachedEndOfEvents();
    return step;
}

void expectSameStep(const Step& want, const Step& got, const std::string& what) {
    ASSERT_EQ(got.seekOk, want.seekOk) << what;
    ASSERT_EQ(got.events.size(), want.events.size()) << what;
    ASSERT_TRUE(got.events == want.events) << what;
    ASSERT_EQ(got.time, want.time) << what;
    ASSERT_EQ(got.eventNum, want.eventNum) << what;
    ASSERT_EQ(got.atEnd, want.atEnd) << what;
    ASSERT_EQ(got.messages, want.messages) << what;
}

// Runs the same random calls on a reader without read-ahead, one with it, and one that
// switches it on or off before about every third call; all three must agree at every
// step, and every read must give events of the sequential decode.
void checkSameWithAndWithoutReadAhead(const Recording& rec, uint32_t seed, int count) {
    RawFileReader plain(rec.path), ahead(rec.path), toggled(rec.path);
    ASSERT_TRUE(plain.loadFile());
    ahead.setReadAhead(true);
    ASSERT_TRUE(ahead.loadFile());
    ASSERT_TRUE(toggled.loadFile());
    EXPECT_FALSE(plain.isReadAheadEnabled());
    EXPECT_TRUE(ahead.isReadAheadEnabled());
    uint64_t maxEvents = 0;
    plain.getMaxEvents(maxEvents);
    ASSERT_EQ(maxEvents, rec.events.size());
    std::mt19937 rng(seed);
    const uint64_t start = startOf(plain), end = endOf(plain);
    const std::vector<Op> ops = randomOps(seed, count, start, end, maxEvents);
    // The event of the sequential decode that the stream gives next: seeks move it, reads
    // advance it (the reader's own counters can differ, as after a span before the start).
    size_t streamAt = 0;
    for (size_t i = 0; i < ops.size(); ++i) {
        if (rng() % 3 == 0) toggled.setReadAhead(!toggled.isReadAheadEnabled());
        const Op& op = ops[i];
        const Step want = apply(plain, op);
        const std::string what = "call " + std::to_string(i) + ": " + want.call;
        expectSameStep(want, apply(ahead, op), what + " with read-ahead");
        expectSameStep(want, apply(toggled, op), what + " with read-ahead switched");
        const bool byTime = op.kind == Op::SeekTime || op.kind == Op::CountFromTime;
        const bool byEvent = op.kind == Op::SeekEvent || op.kind == Op::SpanFromEvent;
        if (byTime && op.where >= start && op.where <= end) streamAt = firstAtOrAfter(rec.events, op.where);
        if (byEvent && op.where <= maxEvents) streamAt = static_cast<size_t>(op.where);
        ASSERT_LE(streamAt + want.events.size(), rec.events.size()) << what;
        ASSERT_TRUE(std::equal(want.events.begin(), want.events.end(),
                               rec.events.begin() + static_cast<std::ptrdiff_t>(streamAt)))
            << what << ": not the events of a sequential decode from event " << streamAt;
        streamAt += want.events.size();
    }
}

TEST(RawReaderReadAhead, EncodedRecordingGivesTheSameResultsOnOffAndSwitched) {
    const auto rec = makeDecodedRecording("encoded.raw", test::encodedBody(41, 130000, (1u << 24) - 3000000));
    ASSERT_GT(std::ifstream(rec.path, std::ios::ate | std::ios::binary).tellg(), 1 << 20);
    checkSameWithAndWithoutReadAhead(rec, 1, 150);
    checkSameWithAndWithoutReadAhead(rec, 2, 150);
}

TEST(RawReaderReadAhead, WordStreamWithLongLivedRowStateGivesTheSameResults) {
    const auto rec = makeDecodedRecording("soup.raw", test::wordSoupBody(42, 700000, 5000));
    checkSameWithAndWithoutReadAhead(rec, 3, 150);
}

// A load, a cut and a seek while a piece is being decoded ahead discard it: reading goes on
// exactly as without read-ahead.
TEST(RawReaderReadAhead, LoadCutAndSeekWhileReadingAheadDiscardThePiece) {
    const auto rec = makeDecodedRecording("reload.raw", test::encodedBody(44, 60000, 500000));
    RawFileReader reader(rec.path);
    reader.setReadAhead(true);
    ASSERT_TRUE(reader.loadFile());
    ASSERT_EQ(reader.getNEvents(1000)->size(), 1000u);  // leaves the next piece being decoded
    ASSERT_TRUE(reader.loadFile());
    EXPECT_TRUE(reader.isReadAheadEnabled());
    EXPECT_EQ(reader.getCurrentPosEventNum(), 0u);
    const auto first = reader.getNEvents(5000);
    ASSERT_EQ(first->size(), 5000u);
    EXPECT_TRUE(std::equal(first->begin(), first->end(), rec.events.begin()));

    const uint64_t start = startOf(reader);
    const uint64_t from = start + (endOf(reader) - start) / 3;
    const std::string cut = test::scratchPath("cut.raw");
    ASSERT_TRUE(reader.extractEvents(from, from + 20000, cut).ok);
    // The cut leaves the reader at its start, with the position of that seek.
    RawFileReader plain(rec.path);
    ASSERT_TRUE(plain.loadFile());
    ASSERT_TRUE(plain.seekTime(from));
    EXPECT_EQ(reader.getCurrentPosEventNum(), plain.getCurrentPosEventNum());
    EXPECT_TRUE(*reader.getNTimeEvents(7000) == *plain.getNTimeEvents(7000));
    EXPECT_TRUE(*reader.getNEvents(3000) == *plain.getNEvents(3000));

    ASSERT_TRUE(reader.seekNEvents(12345));
    const auto after = reader.getNEvents(10);
    EXPECT_TRUE(std::equal(after->begin(), after->end(), rec.events.begin() + 12345));
}

// Destroying a reader, or turning read-ahead off, while a piece is being decoded waits for
// it; a reader destroyed right after turning it on has nothing to wait for.
TEST(RawReaderReadAhead, DestructionAndSwitchingOffWhileAPieceIsPending) {
    const auto rec = makeDecodedRecording("destroy.raw", test::encodedBody(45, 120000, 100000));
    std::mt19937 rng(5);
    for (int round = 0; round < 12; ++round) {
        auto reader = std::make_unique<RawFileReader>(rec.path);
        reader->setReadAhead(true);
        ASSERT_TRUE(reader->loadFile());
        const size_t n = 1 + rng() % 20000;
        const auto run = reader->getNEvents(n);
        ASSERT_EQ(run->size(), n);
        ASSERT_TRUE(std::equal(run->begin(), run->end(), rec.events.begin()));
        if (round % 3 == 1) reader->seekNEvents(rng() % rec.events.size());
        if (round % 3 == 2) {
            // Off with a piece pending: the piece is kept and read next.
            reader->setReadAhead(false);
            EXPECT_FALSE(reader->isReadAheadEnabled());
            const auto next = reader->getNEvents(std::min<size_t>(300000, rec.events.size() - n));
            ASSERT_TRUE(std::equal(next->begin(), next->end(), rec.events.begin() + static_cast<std::ptrdiff_t>(n)));
        }
        reader.reset();
    }
    RawFileReader idle(rec.path);
    idle.setReadAhead(true);
}

// The number of threads of this process, from the kernel's view.
int threadCount() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

TEST(RawReaderReadAhead, OffByDefaultWithoutAThread) {
    const auto rec = makeDecodedRecording("threads.raw", test::encodedBody(46, 3000, 100000));
    // A sanitizer's runtime may start a helper thread of its own along with the process's
    // first one: one thread made and ended here keeps it out of the counts below.
    std::thread([] {}).join();
    const int before = threadCount();
    ASSERT_GT(before, 0);
    RawFileReader reader(rec.path);
    EXPECT_FALSE(reader.isReadAheadEnabled());
    ASSERT_TRUE(reader.loadFile());
    reader.getNEvents(1000);
    EXPECT_EQ(threadCount(), before);
    reader.setReadAhead(true);
    EXPECT_EQ(threadCount(), before + 1);
    reader.setReadAhead(true);  // already on: still one thread
    EXPECT_EQ(threadCount(), before + 1);
    reader.getNEvents(1000);
    reader.setReadAhead(false);
    EXPECT_EQ(threadCount(), before);
}

}  // namespace
}  // namespace vireo

// Cutting recordings: a cut opens with the RAW reader and decodes on its own to exactly the
// events of [start, end) of the source (timestamps modulo the 2^24 µs wire rollover), on
// generated recordings whose row and vector state lives across the cut point, across a
// rollover, and on the real recording; the fresh header; the failures and their messages.
#include <vireo/DvsFileReader.h>
#include <vireo/RawFileReader.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include <vireo/test/StdoutCapture.h>

#include "RecordingTestSupport.h"

namespace vireo {
namespace {

constexpr uint64_t kRollover = uint64_t{1} << 24;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<Event2D> inRange(const std::vector<Event2D>& events, uint64_t start, uint64_t end) {
    std::vector<Event2D> out;
    for (const auto& e : events) {
        if (e.timestamp >= start && e.timestamp < end) out.push_back(e);
    }
    return out;
}

// Every event of a loaded recording, in file order.
std::vector<Event2D> allEvents(DvsFileReader& reader) {
    uint64_t count = 0;
    reader.getMaxEvents(count);
    reader.seekNEvents(0);
    const auto events = reader.getNEvents(count);
    return *events;
}

// Cuts [start, end) of the loaded `source` to `path` and checks the cut against `expected`
// (the source's events of the range): same pixels and polarities event by event, and
// timestamps that differ from the source's by one multiple of 2^24 µs.
void expectCutHolds(RawFileReader& source, uint64_t start, uint64_t end, const std::string& path,
                    const std::vector<Event2D>& expected) {
    SCOPED_TRACE("cut [" + std::to_string(start) + ", " + std::to_string(end) + ")");
    {
        test::StdoutCapture quiet;
        ASSERT_TRUE(source.extractEventData(start, end, path));
    }
    auto cut = DvsFileReader::createFileReader(path);
    ASSERT_NE(cut, nullptr);
    std::vector<Event2D> got;
    {
        test::StdoutCapture quiet;
        ASSERT_TRUE(cut->loadFile());
        got = allEvents(*cut);
    }
    ASSERT_EQ(got.size(), expected.size());
    if (expected.empty()) return;
    const uint64_t shift = expected.front().timestamp - got.front().timestamp;
    EXPECT_EQ(shift % kRollover, 0u);
    for (size_t i = 0; i < got.size(); ++i) {
        const Event2D& g = got[i];
        const Event2D& e = expected[i];
        ASSERT_TRUE(g.x == e.x && g.y == e.y && g.polarity == e.polarity && g.timestamp + shift == e.timestamp)
            << "event " << i << ": got (" << g.x << ", " << g.y << ", " << int(g.polarity) << ", " << g.timestamp
            << "), source (" << e.x << ", " << e.y << ", " << int(e.polarity) << ", " << e.timestamp << ")";
    }
}

// Cuts of a generated body at seeded random ranges, each checked event by event.
void checkRandomCuts(const std::vector<uint8_t>& body, uint32_t seed, int cuts) {
    const std::string sourcePath = test::scratchPath("source.raw");
    test::writeFile(sourcePath, test::recorderHeader("SRC7"), body);
    const auto reference = test::referenceDecode(body);
    ASSERT_FALSE(reference.empty());
    RawFileReader source(sourcePath);
    {
        test::StdoutCapture quiet;
        ASSERT_TRUE(source.loadFile());
    }
    uint64_t first = 0;
    uint64_t last = 0;
    source.getStartTimeStamp(first);
    source.getEndTimeStamp(last);
    std::mt19937_64 random(seed);
    for (int i = 0; i < cuts; ++i) {
        uint64_t a = std::uniform_int_distribution<uint64_t>(first, last)(random);
        uint64_t b = std::uniform_int_distribution<uint64_t>(first, last)(random);
        if (a > b) std::swap(a, b);
        const auto expected = inRange(reference, a, b);
        if (expected.empty()) continue;
        expectCutHolds(source, a, b, test::scratchPath("cut" + std::to_string(i) + ".raw"), expected);
        if (::testing::Test::HasFatalFailure()) return;
    }
    // The reader still reads correctly after cutting.
    {
        test::StdoutCapture quiet;
        EXPECT_EQ(allEvents(source).size(), reference.size());
    }
}

TEST(EventCut, CutsOfAnEncodedRecordingAcrossTheRolloverHoldTheirEvents) {
    // Starts shortly before 2^24 µs: the time rolls over inside the recording.
    checkRandomCuts(test::encodedBody(21, 6000, kRollover - 150000), 5, 8);
}

TEST(EventCut, CutsWhereRowAndVectorStateLiveAcrossTheCutPointHoldTheirEvents) {
    // Rows and vector bases are set rarely and vector words run on past x = 2047.
    checkRandomCuts(test::wordSoupBody(8, 60000, 3 * kRollover + 12345), 9, 10);
}

TEST(EventCut, CutBeginsWithAFreshHeaderThenTheSourceBytes) {
    const std::string sourcePath = test::scratchPath("source.raw");
    std::string header = test::recorderHeader("SER-99");
    // A source of another geometry keeps it in the cut.
    const auto at = header.find("% geometry 1280x720");
    header.replace(at, 19, "% geometry 640x480");
    const auto body = test::encodedBody(4, 3000, 500000);
    test::writeFile(sourcePath, header, body);
    RawFileReader source(sourcePath);
    uint64_t first = 0;
    uint64_t last = 0;
    {
        test::StdoutCapture quiet;
        ASSERT_TRUE(source.loadFile());
    }
    source.getStartTimeStamp(first);
    source.getEndTimeStamp(last);
    const std::string cutPath = test::scratchPath("cut.raw");
    {
        test::StdoutCapture capture;
        ASSERT_TRUE(source.extractEventData(first + (last - first) / 3, first + (last - first) / 2, cutPath));
        EXPECT_TRUE(contains(capture.finish(), "extract event start time: " + std::to_string(first + (last - first) / 3)));
    }
    const auto bytes = test::readFile(cutPath);
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::vector<std::string> lines;
    for (std::string line; lines.size() < 14 && std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 14u);
    const std::vector<std::string> fixed{"% camera_integrator_name Vireo", "", "% evt 3.0",
                                         "% format EVT3; height = 480; width = 640", "% generation 4.2",
                                         "% geometry 640x480", "% integrator_name Vireo",
                                         "% plugin_integrator_name Vireo", "% plugin_name hal_plugin_vireo",
                                         "% sensor_generation 4.2", "% sensor_name IMX646",
                                         "% serial_number SER-99", "% system_ID 53", "% end"};
    for (size_t i = 0; i < 14; ++i) {
        if (i == 1) {
            EXPECT_EQ(lines[1].rfind("% date ", 0), 0u);
            EXPECT_EQ(lines[1].size(), 7u + 19u);
        } else {
            EXPECT_EQ(lines[i], fixed[i]);
        }
    }
    // After the header: a few state words, then a contiguous piece of the source body.
    const size_t headerBytes = static_cast<size_t>(in.tellg());
    const std::vector<uint8_t> cutBody(bytes.begin() + static_cast<std::ptrdiff_t>(headerBytes), bytes.end());
    bool found = false;
    for (size_t prefix = 0; prefix <= 8 && !found && prefix * 2 < cutBody.size(); ++prefix) {
        const auto tail = cutBody.begin() + static_cast<std::ptrdiff_t>(prefix * 2);
        for (size_t w = 0; w < prefix; ++w) {
            const uint16_t type = static_cast<uint16_t>(cutBody[w * 2 + 1] >> 4);
            EXPECT_TRUE(type == evt3::TIME_HIGH || type == evt3::TIME_LOW || type == evt3::ADDR_Y ||
                        type == evt3::VECT_BASE_X || type == evt3::VECT_12);
        }
        found = std::search(body.begin(), body.end(), tail, cutBody.end()) != body.end();
    }
    EXPECT_TRUE(found) << "the cut's body is not a piece of the source body after its state words";

    auto cut = DvsFileReader::createFileReader(cutPath);
    test::StdoutCapture quiet;
    ASSERT_TRUE(cut->loadFile());
    EXPECT_EQ(cut->getWidth(), 640);
    EXPECT_EQ(cut->getHeight(), 480);
    EXPECT_EQ(static_cast<RawFileReader&>(*cut).getSerialNumber(), "SER-99");
}

TEST(EventCut, RealRecordingCutsHoldTheirEvents) {
    const std::string sample = std::string(VIREO_SHARED_DATA_DIR) + "/evt3_sample.raw";
    if (!std::filesystem::exists(sample)) GTEST_SKIP() << "sample recording not present";
    const std::string sourcePath = test::scratchPath("sample.raw");
    std::filesystem::copy_file(sample, sourcePath);
    const auto bytes = test::readFile(sourcePath);
    const std::vector<uint8_t> body(bytes.begin() + 166, bytes.end());
    const auto reference = test::referenceDecode(body);
    RawFileReader source(sourcePath);
    {
        test::StdoutCapture quiet;
        ASSERT_TRUE(source.loadFile());
    }
    const auto published = inRange(reference, 11722000, 11724000);
    EXPECT_EQ(published.size(), 49932u);
    expectCutHolds(source, 11722000, 11724000, test::scratchPath("middle.raw"), published);
    expectCutHolds(source, 11718656, 11720000, test::scratchPath("first.raw"), inRange(reference, 11718656, 11720000));
    expectCutHolds(source, 11720003, 11727457, test::scratchPath("tail.raw"), inRange(reference, 11720003, 11727457));
}

TEST(EventCut, FailuresAreReportedAndWriteNothing) {
    const std::string sourcePath = test::scratchPath("source.raw");
    const auto body = test::encodedBody(6, 2000, 100000);
    test::writeFile(sourcePath, test::recorderHeader(), body);
    RawFileReader source(sourcePath);
    uint64_t first = 0;
    uint64_t last = 0;
    {
        test::StdoutCapture quiet;
        ASSERT_TRUE(source.loadFile());
    }
    source.getStartTimeStamp(first);
    source.getEndTimeStamp(last);
    const uint64_t middle = first + (last - first) / 2;
    struct Case {
        uint64_t start, end;
        std::string message;
    };
    const std::vector<Case> cases{
        {middle, middle, "[error] There is no data in the interval."},
        {middle, last + 1, "[error] No end timestamp found."},
        {first - 1, middle, "[error] No start timestamp found."},
        {last - 1, first + 1, "[error] Start time must be less than or equal to end time."},
    };
    for (const auto& c : cases) {
        const std::string path = test::scratchPath("never.raw");
        test::StdoutCapture capture;
        EXPECT_FALSE(source.extractEventData(c.start, c.end, path));
        EXPECT_TRUE(contains(capture.finish(), c.message)) << c.message;
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    {
        const std::string path = test::scratchPath("no") + "/such/folder/cut.raw";
        test::StdoutCapture capture;
        EXPECT_FALSE(source.extractEventData(first, middle, path));
        EXPECT_TRUE(contains(capture.finish(), "[error] Failed to open output file: " + path + "."));
    }
    {
        // Cutting onto the recording itself would truncate it while it is read.
        test::StdoutCapture capture;
        EXPECT_FALSE(source.extractEventData(first, middle, sourcePath));
        capture.finish();
        EXPECT_EQ(test::readFile(sourcePath).size(), test::recorderHeader().size() + body.size());
    }
}

TEST(EventCut, ACutStopsWhenAskedAndSaysWhyItFails) {
    // Fault mended: a cut could not be stopped early, and its failures came only as log lines
    // (or a bare exception) that a caller could not tell apart.
    const std::string sourcePath = test::scratchPath("source.raw");
    const auto body = test::wordSoupBody(3, 1500000, 2 * kRollover);
    ASSERT_GT(body.size(), size_t{2} << 20);
    test::writeFile(sourcePath, test::recorderHeader(), body);
    const auto reference = test::referenceDecode(body);
    RawFileReader source(sourcePath);
    uint64_t first = 0, last = 0;
    {
        test::StdoutCapture quiet;
        ASSERT_TRUE(source.loadFile());
    }
    source.getStartTimeStamp(first);
    source.getEndTimeStamp(last);
    {
        // Stopped after the first MiB: what was copied is a recording of its own, holding
        // the range's first events.
        const std::string path = test::scratchPath("stopped.raw");
        std::vector<uint64_t> done;
        RawFileReader::ExtractResult result;
        {
            test::StdoutCapture quiet;
            result = source.extractEvents(first, last, path, [&](uint64_t bytes, uint64_t total) {
                done.push_back(bytes);
                EXPECT_LT(bytes, total);
                return false;
            });
        }
        EXPECT_TRUE(result.stopped);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.failure, RawFileReader::ExtractResult::Failure::None);
        EXPECT_EQ(done, std::vector<uint64_t>{1u << 20});
        EXPECT_EQ(result.bytes, 1u << 20);
        RawFileReader cut(path);
        test::StdoutCapture quiet;
        ASSERT_TRUE(cut.loadFile());
        const auto got = allEvents(cut);
        const auto expected = inRange(reference, first, last);
        ASSERT_GT(got.size(), 1000u);
        ASSERT_LT(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_TRUE(got[i].x == expected[i].x && got[i].y == expected[i].y &&
                        (expected[i].timestamp - got[i].timestamp) % kRollover == 0)
                << "event " << i;
        }
    }
    const uint64_t middle = first + (last - first) / 2;
    using Failure = RawFileReader::ExtractResult::Failure;
    test::StdoutCapture quiet;
    {
        const auto result = source.extractEvents(middle, middle, test::scratchPath("none.raw"));
        EXPECT_EQ(result.failure, Failure::Range);
        EXPECT_EQ(result.error, "There is no data in the interval.");
    }
    {
        const auto result = source.extractEvents(first, middle, test::scratchPath("no") + "/folder/cut.raw");
        EXPECT_EQ(result.failure, Failure::Output);
        EXPECT_FALSE(result.outputOpened);
        EXPECT_EQ(result.error, std::strerror(ENOENT));
    }
    {
        // A full disk: the library keeps the failure's cause; the old call still throws.
        const auto result = source.extractEvents(first, last, "/dev/full");
        EXPECT_EQ(result.failure, Failure::Output);
        EXPECT_TRUE(result.outputOpened);
        EXPECT_EQ(result.error, std::strerror(ENOSPC));
        EXPECT_FALSE(result.ok);
        try {
            source.extractEventData(first, last, "/dev/full");
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Failed to write the expected number of bytes to the output file.");
        }
    }
    // The reader reads on as before.
    EXPECT_EQ(allEvents(source).size(), reference.size());
}

}  // namespace
}  // namespace vireo

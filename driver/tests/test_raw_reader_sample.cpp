// The real recording read through the reader: every published figure of a correct decode
// (count, first and last time, sums, windows by time), count reads whose concatenation is
// the whole file, and the same after reloading from the saved index. The recording is
// copied to the scratch folder first, since the index is written beside it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <vireo/RawFileReader.h>

#include "RecordingTestSupport.h"

namespace vireo {
namespace {

std::string sampleCopy() {
    const std::filesystem::path source = std::filesystem::path(VIREO_SHARED_DATA_DIR) / "evt3_sample.raw";
    if (!std::filesystem::exists(source)) return {};
    const std::string copy = test::scratchPath("evt3_sample.raw");
    std::filesystem::copy_file(source, copy, std::filesystem::copy_options::overwrite_existing);
    return copy;
}

void checkFigures(RawFileReader& reader) {
    uint64_t count = 0, start = 0, end = 0;
    reader.getMaxEvents(count);
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    EXPECT_EQ(count, 219596u);
    EXPECT_EQ(reader.getHeaderSize(), 166u);
    EXPECT_EQ(reader.getWidth(), 1280);
    EXPECT_EQ(reader.getHeight(), 720);

    // Count reads of an odd size, concatenated.
    ASSERT_TRUE(reader.seekNEvents(0));
    std::vector<Event2D> all;
    for (auto run = reader.getNEvents(7777); !run->empty(); run = reader.getNEvents(7777)) {
        all.insert(all.end(), run->begin(), run->end());
        if (all.size() >= count) break;
    }
    ASSERT_EQ(all.size(), 219596u);
    uint64_t polarity = 0, sumX = 0, sumY = 0, sumT = 0, maxX = 0, maxY = 0;
    for (const Event2D& e : all) {
        polarity += e.polarity;
        sumX += e.x;
        sumY += e.y;
        sumT += e.timestamp;
        maxX = std::max<uint64_t>(maxX, e.x);
        maxY = std::max<uint64_t>(maxY, e.y);
    }
    EXPECT_EQ(polarity, 115532u);
    EXPECT_EQ(sumX, 159113225u);
    EXPECT_EQ(sumY, 85638051u);
    EXPECT_EQ(sumT, 2574324900467u);
    EXPECT_EQ(maxX, 1279u);
    EXPECT_EQ(maxY, 719u);
    EXPECT_EQ(all.front().timestamp, 11718656u);
    EXPECT_EQ(all.back().timestamp, 11727457u);
    EXPECT_EQ(start, 11718656u);
    // The end time is the last time decoded, which the sensor's last TIME_LOW words carry
    // past the last event.
    EXPECT_GE(end, 11727457u);

    // Windows by time.
    EXPECT_EQ(reader.getNTimeEventsGivenStartTimeStamp(start, 11720000 - start)->size(), 33950u);
    EXPECT_EQ(reader.getNTimeEventsGivenStartTimeStamp(11722000, 2000)->size(), 49932u);
    ASSERT_TRUE(reader.seekTime(11722000));
    const uint64_t first = reader.getCurrentPosEventNum();
    const auto window = reader.getNTimeEvents(2000);
    ASSERT_EQ(window->size(), 49932u);
    for (size_t i = 0; i < window->size(); ++i) ASSERT_TRUE((*window)[i] == all[first + i]) << i;
}

TEST(SampleRecording, PublishedFiguresThroughTheReader) {
    const std::string path = sampleCopy();
    if (path.empty()) GTEST_SKIP() << "evt3_sample.raw is not available";
    {
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        EXPECT_FALSE(reader.isIndexReloaded());
        checkFigures(reader);
    }
    RawFileReader reloaded(path);
    ASSERT_TRUE(reloaded.loadFile());
    EXPECT_TRUE(reloaded.isIndexReloaded());
    checkFigures(reloaded);
}

}  // namespace
}  // namespace vireo

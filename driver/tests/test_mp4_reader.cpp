// The MP4 frame reader: the factory's extension rule, packet times, sequential reading to
// the end, frames by index (pixels compared with what was encoded), the shared image
// buffer, the out-of-range error and load failures. Videos come from the kit's encoder
// (time base 1/1000000, no B-frames) and from the ffmpeg tool (another time base,
// B-frames, several key frames; skipped when the tool is absent).
#include <vireo/ApsFileReader.h>
#include <vireo/DataToVideoConverter.h>
#include <vireo/Mp4FileReader.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <type_traits>

#include <gtest/gtest.h>

#include <vireo/test/StdoutCapture.h>

#include "test_video_support.h"

namespace vireo {
namespace {

using test::Bgr;
using test::pixelAt;
using test::videoScratchPath;

static_assert(!std::is_copy_constructible_v<Mp4FileReader>);
static_assert(!std::is_copy_assignable_v<Mp4FileReader>);

constexpr int kWidth = 64;
constexpr int kHeight = 48;

// The grey level of frame i of the test videos: far enough apart to tell frames apart
// after lossy coding.
uint8_t levelOf(int i) { return static_cast<uint8_t>(16 + 9 * i); }

// A frame of grey level `level` with a 16 x 16 block of the event colours in one corner.
std::vector<uint8_t> testImage(uint8_t level) {
    auto image = test::flatImage(kWidth, kHeight, level, level, level);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            uint8_t* p = &image[(static_cast<size_t>(y) * kWidth + x) * 3];
            const bool positive = x < 8;
            p[0] = positive ? 180 : 51;
            p[1] = positive ? 188 : 61;
            p[2] = positive ? 191 : 64;
        }
    }
    return image;
}

// Writes `frames` test images with the kit's encoder.
std::string makeKitVideo(const std::string& name, int frames) {
    const std::string path = videoScratchPath(name);
    DataToVideoConverter converter;
    converter.setConverterFrameSize(kHeight, kWidth, kHeight, kWidth);
    converter.setConverterFmt(VIDEO_PIX_FMT_BGR24, VIDEO_PIX_FMT_YUV420P);
    EXPECT_EQ(converter.initVideoConverter(path), 0);
    for (int i = 0; i < frames; ++i) {
        auto image = testImage(levelOf(i));
        EXPECT_EQ(converter.rgbToVideo(image.data()), 0);
    }
    test::StdoutCapture quiet;
    EXPECT_EQ(converter.flushAndCloseVideo(), 0);
    return path;
}

// Writes `frames` test images with the ffmpeg tool: 25 frames per second (time base
// 1/12800), up to 2 B-frames, a key frame every 8 frames. Empty when the tool fails.
std::string makeToolVideo(const std::string& name, int frames) {
    const std::string raw = videoScratchPath(name + ".bgr");
    {
        std::ofstream out(raw, std::ios::binary);
        for (int i = 0; i < frames; ++i) {
            const auto image = testImage(levelOf(i));
            out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        }
    }
    const std::string path = videoScratchPath(name);
    const auto result = test::runCommand("ffmpeg -nostdin -y -loglevel error -f rawvideo -pix_fmt bgr24 -s " +
                                         std::to_string(kWidth) + "x" + std::to_string(kHeight) + " -r 25 -i '" +
                                         raw + "' -c:v libx264 -bf 2 -g 8 -crf 10 -pix_fmt yuv420p '" + path + "'");
    return result.ok ? path : std::string();
}

// The grey level of a delivered frame, measured away from the colour block.
int levelIn(const ApsFrame& frame) { return pixelAt(frame.data, kWidth, kWidth - 8, kHeight - 8).g; }

// Which test frame a level belongs to (-1 when none is close).
int frameOfLevel(int level) {
    for (int i = 0; i < 26; ++i) {
        if (std::abs(level - levelOf(i)) <= 3) return i;
    }
    return -1;
}

TEST(Mp4Reader, FactoryChoosesByExactExtension) {
    auto reader = ApsFileReader::createFileReader("video/a.b.mp4");
    ASSERT_NE(reader, nullptr);
    EXPECT_NE(dynamic_cast<Mp4FileReader*>(reader.get()), nullptr);
    EXPECT_EQ(ApsFileReader::createFileReader("a.MP4"), nullptr);
    EXPECT_EQ(ApsFileReader::createFileReader("a.mov"), nullptr);
    EXPECT_EQ(ApsFileReader::createFileReader("a.mp4.bak"), nullptr);
    EXPECT_EQ(ApsFileReader::createFileReader("mp4"), nullptr);
    EXPECT_EQ(reader->getWidth(), 0);  // not loaded yet
}

TEST(Mp4Reader, ListsOnePacketTimePerFrameOfAKitVideo) {
    const std::string path = makeKitVideo("list.mp4", 10);
    auto reader = ApsFileReader::createFileReader(path);
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(reader->loadFile());
    EXPECT_EQ(reader->getWidth(), kWidth);
    EXPECT_EQ(reader->getHeight(), kHeight);
    std::vector<uint64_t> times{99};
    EXPECT_TRUE(reader->getTimeStamps(times));
    std::vector<uint64_t> expected;
    for (uint64_t i = 0; i < 10; ++i) expected.push_back(33333 * i);
    EXPECT_EQ(times, expected);
}

TEST(Mp4Reader, SequentialReadingDeliversEveryFrameInOrder) {
    const std::string path = makeKitVideo("sequential.mp4", 10);
    Mp4FileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    ApsFrame frame;
    int count = 0;
    while (reader.getNextFrame(frame)) {
        ASSERT_NE(frame.data, nullptr);
        EXPECT_EQ(frame.size, static_cast<uint32_t>(kWidth * kHeight * 3));
        EXPECT_EQ(frame.timestamp, 33333u * static_cast<uint64_t>(count));
        EXPECT_EQ(frame.syncTimestamp, frame.timestamp);
        EXPECT_EQ(frameOfLevel(levelIn(frame)), count) << "level " << levelIn(frame);
        ++count;
        ASSERT_LE(count, 10);
    }
    EXPECT_EQ(count, 10);
    EXPECT_FALSE(reader.getNextFrame(frame));  // stays at the end
}

TEST(Mp4Reader, FrameByIndexShowsThatFrameAndReadingGoesOnAfterIt) {
    const std::string path = makeKitVideo("byindex.mp4", 12);
    Mp4FileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    ApsFrame frame;
    // Forward, backward, the first and the last, and twice the same.
    for (int n : {7, 2, 11, 0, 5, 5, 11}) {
        ASSERT_TRUE(reader.getNFrame(n, frame)) << "frame " << n;
        EXPECT_EQ(frame.timestamp, 33333u * static_cast<uint64_t>(n));
        EXPECT_EQ(frameOfLevel(levelIn(frame)), n) << "level " << levelIn(frame);
    }
    ASSERT_TRUE(reader.getNFrame(3, frame));
    ASSERT_TRUE(reader.getNextFrame(frame));
    EXPECT_EQ(frame.timestamp, 33333u * 4);
    EXPECT_EQ(frameOfLevel(levelIn(frame)), 4);
}

TEST(Mp4Reader, EncodedColoursComeBackWithinCodecTolerance) {
    const std::string path = makeKitVideo("colours.mp4", 3);
    Mp4FileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    ApsFrame frame;
    ASSERT_TRUE(reader.getNFrame(2, frame));
    const Bgr positive = pixelAt(frame.data, kWidth, 3, 4);
    const Bgr negative = pixelAt(frame.data, kWidth, 12, 4);
    const Bgr background = pixelAt(frame.data, kWidth, 40, 30);
    EXPECT_TRUE(test::near(positive, {180, 188, 191}, 8)) << test::describe(positive);
    EXPECT_TRUE(test::near(negative, {51, 61, 64}, 8)) << test::describe(negative);
    EXPECT_TRUE(test::near(background, {levelOf(2), levelOf(2), levelOf(2)}, 4)) << test::describe(background);
}

TEST(Mp4Reader, OutOfRangeIndexThrows) {
    const std::string path = makeKitVideo("range.mp4", 4);
    Mp4FileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    ApsFrame frame;
    for (int n : {4, 5, -1}) {
        try {
            reader.getNFrame(n, frame);
            ADD_FAILURE() << "no exception for index " << n;
        } catch (const std::out_of_range& error) {
            EXPECT_STREQ(error.what(), "invalid vector subscript");
        }
    }
    // An unloaded reader has no frames at all.
    Mp4FileReader unloaded(path);
    EXPECT_THROW(unloaded.getNFrame(0, frame), std::out_of_range);
    EXPECT_FALSE(unloaded.getNextFrame(frame));
}

TEST(Mp4Reader, ConsecutiveFramesShareTheReadersImage) {
    const std::string path = makeKitVideo("shared.mp4", 3);
    Mp4FileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    ApsFrame first;
    ApsFrame second;
    ASSERT_TRUE(reader.getNextFrame(first));
    const int firstLevel = levelIn(first);
    ASSERT_TRUE(reader.getNextFrame(second));
    EXPECT_EQ(first.data, second.data);
    EXPECT_EQ(frameOfLevel(firstLevel), 0);
    EXPECT_EQ(frameOfLevel(levelIn(first)), 1);  // the first frame's pixels are gone
}

TEST(Mp4Reader, LoadFailsForMissingAndNonVideoFiles) {
    Mp4FileReader missing(videoScratchPath("missing.mp4"));
    EXPECT_FALSE(missing.loadFile());
    const std::string text = videoScratchPath("text.mp4");
    std::ofstream(text) << "not a video\n";
    Mp4FileReader notVideo(text);
    EXPECT_FALSE(notVideo.loadFile());
    ApsFrame frame;
    EXPECT_FALSE(notVideo.getNextFrame(frame));
    // A folder is not a video, whatever its name.
    const std::string folder = videoScratchPath("folder.mp4");
    std::filesystem::create_directories(folder);
    Mp4FileReader notFile(folder);
    test::StdoutCapture capture;
    EXPECT_FALSE(notFile.loadFile());
    EXPECT_NE(capture.finish().find("[error] " + folder + " is not a regular file."), std::string::npos);

    if (!test::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    const std::string audio = videoScratchPath("audio.mp4");
    ASSERT_TRUE(test::runCommand("ffmpeg -nostdin -y -loglevel error -f lavfi -i sine=duration=0.2 -c:a aac '" +
                                 audio + "'")
                    .ok);
    Mp4FileReader audioOnly(audio);
    EXPECT_FALSE(audioOnly.loadFile());
}

// The bytes of `path` with the parameter sets of its H.264 stream description (the avcC
// box) removed: the stream still announces its size, but nothing tells its pixel format and
// no packet can be decoded.
std::vector<char> withoutParameterSets(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string tag = "avcC";
    const auto at = std::search(bytes.begin(), bytes.end(), tag.begin(), tag.end());
    EXPECT_NE(at, bytes.end());
    if (at == bytes.end()) return bytes;
    // After the tag: version, profile, compatibility, level, length size, then the SPS count.
    at[9] = static_cast<char>(0xE0);  // no SPS
    at[10] = 0;                      // and the next byte, read as the PPS count: none
    return bytes;
}

TEST(Mp4Reader, FilesItCannotDecodeAreRefusedWithAMessage) {
    // Fault mended: a stream without a known pixel format went to FFmpeg's scaler, which
    // asserted and aborted the process.
    const std::string damaged = videoScratchPath("no-format.mp4");
    {
        const auto bytes = withoutParameterSets(makeKitVideo("source.mp4", 3));
        std::ofstream(damaged, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    Mp4FileReader reader(damaged);
    test::StdoutCapture capture;
    EXPECT_FALSE(reader.loadFile());
    const std::string log = capture.finish();
    EXPECT_NE(log.find("[error]"), std::string::npos) << log;
    EXPECT_NE(log.find(damaged), std::string::npos) << log;
    ApsFrame frame;
    EXPECT_FALSE(reader.getNextFrame(frame));
    EXPECT_THROW(reader.getNFrame(0, frame), std::out_of_range);
}

TEST(Mp4Reader, ReadsAToolVideoWithAnotherTimeBaseAndReorderedFrames) {
    if (!test::haveTool("ffmpeg") || !test::haveTool("ffprobe")) GTEST_SKIP() << "ffmpeg tools not installed";
    constexpr int kFrames = 25;
    const std::string path = makeToolVideo("tool.mp4", kFrames);
    ASSERT_FALSE(path.empty());
    const std::string timeBase = test::probeStream(path, "time_base")["time_base"];
    ASSERT_NE(timeBase, "1/1000000");
    const auto slash = timeBase.find('/');
    const uint64_t tbNum = std::stoull(timeBase.substr(0, slash));
    const uint64_t tbDen = std::stoull(timeBase.substr(slash + 1));

    Mp4FileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    std::vector<uint64_t> times;
    reader.getTimeStamps(times);
    ASSERT_EQ(times.size(), static_cast<size_t>(kFrames));
    std::vector<uint64_t> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_NE(sorted, times) << "expected B-frames: packet order differs from display order";
    // Display index of a packet time: its rank among all packet times.
    auto displayIndex = [&](uint64_t pts) {
        return static_cast<int>(std::lower_bound(sorted.begin(), sorted.end(), pts) - sorted.begin());
    };
    auto micros = [&](uint64_t pts) { return pts * 1000000 * tbNum / tbDen; };

    // Sequential reading delivers every frame, the ones held by the decoder at the end too.
    ApsFrame frame;
    std::vector<uint64_t> delivered;
    while (reader.getNextFrame(frame)) {
        // A packet that completes no frame leaves `frame` as it was.
        if (frame.data == nullptr || (!delivered.empty() && delivered.back() == frame.timestamp)) continue;
        delivered.push_back(frame.timestamp);
        const int index = static_cast<int>(delivered.size()) - 1;
        EXPECT_EQ(frame.timestamp, micros(sorted[static_cast<size_t>(index)]));
        EXPECT_EQ(frameOfLevel(levelIn(frame)), index) << "level " << levelIn(frame);
        ASSERT_LE(delivered.size(), static_cast<size_t>(kFrames));
    }
    EXPECT_EQ(delivered.size(), static_cast<size_t>(kFrames));

    // Every frame by index, in a scrambled order, across key frames.
    for (int step = 0; step < kFrames; ++step) {
        const int n = (step * 7 + 3) % kFrames;
        ASSERT_TRUE(reader.getNFrame(n, frame)) << "frame " << n;
        const int shown = displayIndex(times[static_cast<size_t>(n)]);
        EXPECT_EQ(frame.timestamp, micros(times[static_cast<size_t>(n)])) << "frame " << n;
        EXPECT_EQ(frameOfLevel(levelIn(frame)), shown) << "frame " << n << " level " << levelIn(frame);
    }
}

}  // namespace
}  // namespace vireo

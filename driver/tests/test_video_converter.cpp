// The video encoder: frame times of BGR24 and NV12 input (including times past 2^31 µs),
// the container and codec of the file as ffprobe sees them, empty videos, the format and
// initialisation errors with their messages, and the NV12 to BGR24 conversion.
#include <vireo/DataToVideoConverter.h>
#include <vireo/Mp4FileReader.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <type_traits>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <vireo/test/StdoutCapture.h>

#include "test_video_support.h"

namespace vireo {
namespace {

using test::Bgr;
using test::pixelAt;
using test::videoScratchPath;

static_assert(!std::is_copy_constructible_v<DataToVideoConverter>);
static_assert(!std::is_copy_assignable_v<DataToVideoConverter>);

constexpr int kWidth = 64;
constexpr int kHeight = 48;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A converter for small BGR24 images, initialised on `path`.
void openBgr(DataToVideoConverter& converter, const std::string& path) {
    converter.setConverterFrameSize(kHeight, kWidth, kHeight, kWidth);
    converter.setConverterFmt(VIDEO_PIX_FMT_BGR24, VIDEO_PIX_FMT_YUV420P);
    ASSERT_EQ(converter.initVideoConverter(path), 0);
}

// An NV12 image of one colour given as Y, U, V.
std::vector<uint8_t> flatNv12(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
    std::vector<uint8_t> image(static_cast<size_t>(width) * height * 3 / 2, y);
    for (size_t i = static_cast<size_t>(width) * height; i < image.size(); i += 2) {
        image[i] = u;
        image[i + 1] = v;
    }
    return image;
}

TEST(VideoConverter, BgrFramesAreTimedEvery33333Microseconds) {
    const std::string path = videoScratchPath("frames.mp4");
    DataToVideoConverter converter;
    openBgr(converter, path);
    EXPECT_EQ(converter.getNextPts(), 0);
    constexpr int kFrames = 12;
    for (int i = 0; i < kFrames; ++i) {
        auto image = test::flatImage(kWidth, kHeight, static_cast<uint8_t>(20 * i), 90, 200);
        ASSERT_EQ(converter.rgbToVideo(image.data()), 0) << "frame " << i;
        EXPECT_EQ(converter.getNextPts(), 33333 * (i + 1));
    }
    test::StdoutCapture capture;
    EXPECT_EQ(converter.flushAndCloseVideo(), 0);
    EXPECT_TRUE(contains(capture.finish(), "Video created successfully"));
    ASSERT_TRUE(std::filesystem::exists(path));

    if (!test::haveTool("ffprobe")) GTEST_SKIP() << "ffprobe not installed";
    auto stream = test::probeStream(path, "codec_name,width,height,time_base,has_b_frames");
    EXPECT_EQ(stream["codec_name"], "h264");
    EXPECT_EQ(stream["width"], std::to_string(kWidth));
    EXPECT_EQ(stream["height"], std::to_string(kHeight));
    EXPECT_EQ(stream["time_base"], "1/1000000");
    EXPECT_EQ(stream["has_b_frames"], "0");
    EXPECT_TRUE(contains(test::probeFormat(path), "mp4"));
    std::vector<int64_t> expected;
    for (int i = 0; i < kFrames; ++i) expected.push_back(33333LL * i);
    EXPECT_EQ(test::probeFrameTimes(path), expected);
}

// Writes `frames` flat BGR24 frames of distinct colours and closes the video.
void writeBgrVideo(const std::string& path, int frames) {
    DataToVideoConverter converter;
    openBgr(converter, path);
    for (int i = 0; i < frames; ++i) {
        auto image = test::flatImage(kWidth, kHeight, static_cast<uint8_t>(20 * i), 90, 200);
        ASSERT_EQ(converter.rgbToVideo(image.data()), 0) << "frame " << i;
    }
    test::StdoutCapture quiet;
    ASSERT_EQ(converter.flushAndCloseVideo(), 0);
}

TEST(VideoConverter, EveryFrameLastsOneFrameSpanSoAOneFrameVideoReadsBack) {
    // Fault mended: frames had no duration, so the last one lasted 0 s and a video of one
    // frame showed nothing (no decoder gave its frame back).
    const std::string single = videoScratchPath("single.mp4");
    writeBgrVideo(single, 1);
    Mp4FileReader reader(single);
    ASSERT_TRUE(reader.loadFile());
    ApsFrame frame;
    ASSERT_TRUE(reader.getNFrame(0, frame));
    EXPECT_EQ(frame.timestamp, 0u);
    ASSERT_NE(frame.data, nullptr);
    EXPECT_TRUE(test::near(pixelAt(frame.data, kWidth, 10, 10), {0, 90, 200}, 8))
        << test::describe(pixelAt(frame.data, kWidth, 10, 10));

    if (!test::haveTool("ffprobe")) GTEST_SKIP() << "ffprobe not installed";
    const std::string several = videoScratchPath("several.mp4");
    writeBgrVideo(several, 7);
    EXPECT_EQ(test::probeStream(single, "duration_ts")["duration_ts"], "33333");
    EXPECT_EQ(test::probeStream(several, "duration_ts")["duration_ts"], std::to_string(7 * 33333));
    const auto packets = test::runCommand("ffprobe -v error -select_streams v:0 -show_entries packet=duration"
                                          " -of csv=p=0 '" + several + "'");
    EXPECT_EQ(test::outputLines(packets.output), std::vector<std::string>(7, "33333"));
    // ffmpeg extracts the single frame as an image.
    if (!test::haveTool("ffmpeg")) return;
    const std::string image = videoScratchPath("single.png");
    EXPECT_TRUE(test::runCommand("ffmpeg -nostdin -y -loglevel error -i '" + single + "' '" + image + "'").ok);
    EXPECT_TRUE(std::filesystem::exists(image));
}

TEST(VideoConverter, WritingAndReadingVideosLeaveFfmpegsLogLevelAlone) {
    // Fault mended: the first converter or reader lowered FFmpeg's log level for the whole
    // process. The check runs in a fresh process, where nothing has touched the level yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const int before = av_log_get_level();
            const std::string path = videoScratchPath("level.mp4");
            writeBgrVideo(path, 2);
            Mp4FileReader reader(path);
            ApsFrame frame;
            const bool read = reader.loadFile() && reader.getNFrame(1, frame);
            std::exit(read && before == AV_LOG_INFO && av_log_get_level() == before ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(VideoConverter, Nv12FramesTakeGivenTimesAndContinueFromThem) {
    const std::string path = videoScratchPath("nv12.mp4");
    DataToVideoConverter converter;
    converter.setConverterFrameSize(kHeight, kWidth, kHeight, kWidth);
    converter.setConverterFmt(VIDEO_PIX_FMT_NV12, VIDEO_PIX_FMT_YUV420P);
    ASSERT_EQ(converter.initVideoConverter(path), 0);
    auto image = flatNv12(kWidth, kHeight, 120, 100, 150);
    // Times past 2^31 µs (about 36 minutes into a recording) keep increasing.
    const int64_t late = (int64_t{1} << 31) - 40000;
    const std::vector<int64_t> given{0, 100000, -1, late, -1, -1};
    for (int64_t t : given) ASSERT_EQ(converter.nv12ToViedo(image.data(), t), 0);
    EXPECT_EQ(converter.getNextPts(), late + 3 * 33333);
    ASSERT_EQ(converter.flushAndCloseVideo(), 0);

    if (!test::haveTool("ffprobe")) GTEST_SKIP() << "ffprobe not installed";
    const std::vector<int64_t> expected{0, 100000, 133333, late, late + 33333, late + 66666};
    EXPECT_EQ(test::probeFrameTimes(path), expected);
}

TEST(VideoConverter, FlushRightAfterInitWritesAnEmptyVideo) {
    const std::string path = videoScratchPath("empty.mp4");
    DataToVideoConverter converter;
    openBgr(converter, path);
    test::StdoutCapture capture;
    EXPECT_EQ(converter.flushAndCloseVideo(), 0);
    EXPECT_TRUE(contains(capture.finish(), "Video created successfully"));
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_GT(std::filesystem::file_size(path), 0u);
    if (!test::haveTool("ffprobe")) GTEST_SKIP() << "ffprobe not installed";
    // A readable MP4; the muxer leaves a track without samples out of the file.
    EXPECT_TRUE(contains(test::probeFormat(path), "mp4"));
    EXPECT_TRUE(test::probeFrameTimes(path).empty());
}

TEST(VideoConverter, WrongSourceFormatIsRefusedWithoutEncoding) {
    const std::string path = videoScratchPath("wrong.mp4");
    DataToVideoConverter converter;
    converter.setConverterFrameSize(kHeight, kWidth, kHeight, kWidth);
    converter.setConverterFmt(VIDEO_PIX_FMT_NV12, VIDEO_PIX_FMT_YUV420P);
    ASSERT_EQ(converter.initVideoConverter(path), 0);
    auto bgr = test::flatImage(kWidth, kHeight, 1, 2, 3);
    {
        test::StdoutCapture capture;
        EXPECT_EQ(converter.rgbToVideo(bgr.data()), -1);
        EXPECT_TRUE(contains(capture.finish(), "[error] Sws scale fmt is not AV_PIX_FMT_BGR24"));
    }
    EXPECT_EQ(converter.getNextPts(), 0);

    DataToVideoConverter bgrConverter;
    openBgr(bgrConverter, videoScratchPath("wrong2.mp4"));
    test::StdoutCapture capture;
    EXPECT_EQ(bgrConverter.nv12ToViedo(bgr.data(), -1), -1);
    EXPECT_TRUE(contains(capture.finish(), "[error] Sws scale fmt is not AV_PIX_FMT_NV12"));
    EXPECT_EQ(bgrConverter.getNextPts(), 0);
}

TEST(VideoConverter, InitialisationFailuresAreReported) {
    {
        DataToVideoConverter converter;
        converter.setConverterFrameSize(kHeight, kWidth, kHeight, kWidth);
        converter.setConverterFmt(VIDEO_PIX_FMT_BGR24, VIDEO_PIX_FMT_YUV420P);
        test::StdoutCapture capture;
        EXPECT_EQ(converter.initVideoConverter(videoScratchPath("video.notacontainer")), -1);
        EXPECT_TRUE(contains(capture.finish(), "[error] Failed to create output context."));
    }
    {
        // The folder does not exist: the file cannot be created.
        DataToVideoConverter converter;
        converter.setConverterFrameSize(kHeight, kWidth, kHeight, kWidth);
        converter.setConverterFmt(VIDEO_PIX_FMT_BGR24, VIDEO_PIX_FMT_YUV420P);
        const std::string path = videoScratchPath("missing") + "/folder/out.mp4";
        test::StdoutCapture capture;
        EXPECT_EQ(converter.initVideoConverter(path), -1);
        EXPECT_TRUE(contains(capture.finish(), "[error] Failed to open output file: " + path));
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    {
        // Odd sizes cannot be encoded in 4:2:0: the encoder refuses to open.
        DataToVideoConverter converter;
        converter.setConverterFrameSize(47, 63, 47, 63);
        converter.setConverterFmt(VIDEO_PIX_FMT_BGR24, VIDEO_PIX_FMT_YUV420P);
        test::StdoutCapture capture;
        EXPECT_EQ(converter.initVideoConverter(videoScratchPath("odd.mp4")), -1);
        EXPECT_TRUE(contains(capture.finish(), "[error] Failed to open the H.264 encoder."));
    }
}

TEST(VideoConverter, UnknownFormatsAndEmptySizesAreRefusedWithoutAborting) {
    // Fault mended: FFmpeg's scaler asserted (and ended the process) on a pixel format it does
    // not know; the set-up results were not checked.
    struct Case {
        int srcFormat, dstFormat, width, height;
        const char* logged;
        const char* cause;
    };
    const Case cases[] = {
        {-1, VIDEO_PIX_FMT_YUV420P, kWidth, kHeight, "[error] Video converter has no scaler", "no conversion from"},
        {VIDEO_PIX_FMT_BGR24, -1, kWidth, kHeight, "[error] Failed to open the H.264 encoder.", "does not take"},
        {VIDEO_PIX_FMT_BGR24, VIDEO_PIX_FMT_YUV420P, 0, 0, "[error] Failed to open the H.264 encoder.",
         "does not take 0 x 0 frames"},
    };
    for (const Case& c : cases) {
        DataToVideoConverter converter;
        converter.setConverterFrameSize(c.height, c.width, c.height, c.width);
        converter.setConverterFmt(c.srcFormat, c.dstFormat);
        const std::string path = videoScratchPath("refused.mp4");
        test::StdoutCapture capture;
        EXPECT_EQ(converter.initVideoConverter(path), -1);
        EXPECT_TRUE(contains(capture.finish(), c.logged)) << c.logged;
        EXPECT_TRUE(contains(converter.getLastError(), c.cause)) << converter.getLastError();
        EXPECT_FALSE(std::filesystem::exists(path));  // refused before the file is made
        auto image = test::flatImage(kWidth, kHeight, 1, 2, 3);
        EXPECT_EQ(converter.nv12ToRGB(image.data(), image.data()), 0);  // no scaler: nothing done
    }
}

TEST(VideoConverter, AFullDiskFailsTheVideo) {
    // Fault mended: write results were not checked; a video on a full disk "was created
    // successfully".
    const std::string path = videoScratchPath("full.mp4");
    std::filesystem::create_symlink("/dev/full", path);
    DataToVideoConverter converter;
    test::StdoutCapture capture;
    converter.setConverterFrameSize(kHeight, kWidth, kHeight, kWidth);
    converter.setConverterFmt(VIDEO_PIX_FMT_BGR24, VIDEO_PIX_FMT_YUV420P);
    // The header may still fit the file's buffer: the failure comes at the first write.
    if (converter.initVideoConverter(path) == 0) {
        auto image = test::flatImage(kWidth, kHeight, 1, 2, 3);
        for (int i = 0; i < 100 && !converter.hasWriteFailed(); ++i) converter.rgbToVideo(image.data());
        EXPECT_EQ(converter.flushAndCloseVideo(), -1);
    }
    EXPECT_TRUE(converter.hasWriteFailed());
    EXPECT_TRUE(contains(converter.getLastError(), std::strerror(ENOSPC))) << converter.getLastError();
    const std::string log = capture.finish();
    EXPECT_FALSE(contains(log, "Video created successfully")) << log;
    auto image = test::flatImage(kWidth, kHeight, 1, 2, 3);
    EXPECT_EQ(converter.rgbToVideo(image.data()), -1);
}

TEST(VideoConverter, CallsOutOfOrderFailInsteadOfCrashing) {
    DataToVideoConverter converter;
    converter.setConverterFrameSize(kHeight, kWidth, kHeight, kWidth);
    converter.setConverterFmt(VIDEO_PIX_FMT_BGR24, VIDEO_PIX_FMT_YUV420P);
    auto image = test::flatImage(kWidth, kHeight, 1, 2, 3);
    test::StdoutCapture capture;
    EXPECT_EQ(converter.rgbToVideo(image.data()), -1);
    EXPECT_EQ(converter.flushAndCloseVideo(), -1);
    const std::string path = videoScratchPath("twice.mp4");
    EXPECT_EQ(converter.initVideoConverter(path), 0);
    EXPECT_EQ(converter.initVideoConverter(path), -1);
    // Sizes changed after initialisation: the frames are too small for the new images.
    converter.setConverterFrameSize(kHeight * 2, kWidth * 2, kHeight * 2, kWidth * 2);
    auto large = test::flatImage(kWidth * 2, kHeight * 2, 1, 2, 3);
    EXPECT_EQ(converter.rgbToVideo(large.data()), -1);
    converter.setConverterFmt(VIDEO_PIX_FMT_BGR24, VIDEO_PIX_FMT_YUV420P);
    EXPECT_EQ(converter.rgbToVideo(large.data()), -1);
    EXPECT_EQ(converter.getNextPts(), 0);
    EXPECT_EQ(converter.flushAndCloseVideo(), 0);
    EXPECT_EQ(converter.flushAndCloseVideo(), -1);  // closed: nothing left to finish
    EXPECT_EQ(converter.rgbToVideo(image.data()), -1);
    capture.finish();
}

TEST(VideoConverter, DestroyingAnUnfinishedConverterReleasesTheFile) {
    const std::string path = videoScratchPath("unfinished.mp4");
    {
        DataToVideoConverter converter;
        openBgr(converter, path);
        auto image = test::flatImage(kWidth, kHeight, 10, 20, 30);
        ASSERT_EQ(converter.rgbToVideo(image.data()), 0);
    }
    // The file stays as far as it was written; it can be removed (nothing holds it).
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::remove(path));
}

TEST(VideoConverter, Nv12ToRgbConvertsColoursWithoutEncoding) {
    constexpr int kW = 32;
    constexpr int kH = 16;
    DataToVideoConverter converter;
    converter.setConverterFrameSize(kH, kW, kH, kW);
    converter.setConverterFmt(VIDEO_PIX_FMT_NV12, VIDEO_PIX_FMT_BGR24);
    // Left half grey (Y 126, neutral chroma), right half a saturated red (BT.601, limited
    // range: Y 81, U 90, V 240 is close to (0, 0, 255)).
    std::vector<uint8_t> nv12(kW * kH * 3 / 2);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) nv12[y * kW + x] = x < kW / 2 ? 126 : 81;
    }
    for (int y = 0; y < kH / 2; ++y) {
        for (int x = 0; x < kW; x += 2) {
            uint8_t* uv = &nv12[kW * kH + y * kW + x];
            uv[0] = x < kW / 2 ? 128 : 90;
            uv[1] = x < kW / 2 ? 128 : 240;
        }
    }
    std::vector<uint8_t> bgr(kW * kH * 3, 0);
    EXPECT_EQ(converter.nv12ToRGB(nv12.data(), bgr.data()), 0);
    for (int y : {0, kH / 2, kH - 1}) {
        const Bgr grey = pixelAt(bgr.data(), kW, 2, y);
        EXPECT_TRUE(test::near(grey, {128, 128, 128}, 6)) << test::describe(grey);
        const Bgr red = pixelAt(bgr.data(), kW, kW - 3, y);
        EXPECT_TRUE(test::near(red, {0, 0, 255}, 8)) << test::describe(red);
    }
    EXPECT_EQ(converter.getNextPts(), 0);
}

}  // namespace
}  // namespace vireo

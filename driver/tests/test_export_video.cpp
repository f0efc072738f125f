// Rendering recordings to video: the frame image of a span (colours, geometry, the last
// event at a pixel wins), one frame per non-empty 33333 µs span timed 0, 33333, ...,
// the colours read back from the MP4, ranges without events, failures, and the real
// recording at its full geometry.
#include <vireo/EventDataExport.h>
#include <vireo/Evt3Encoder.h>
#include <vireo/Mp4FileReader.h>
#include <vireo/RawFileReader.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>

#include <gtest/gtest.h>

#include <vireo/test/StdoutCapture.h>

#include "RecordingTestSupport.h"
#include "test_video_support.h"

namespace vireo {
namespace {

using test::Bgr;
using test::pixelAt;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr uint64_t kStart = 1000000;  // µs, the recording's first span
const Bgr kPositive{180, 188, 191};
const Bgr kNegative{51, 61, 64};
const Bgr kBackground{112, 112, 112};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A square of 8 x 8 events of one polarity at (x0, y0), all at time t.
void addSquare(std::vector<Event2D>& events, int x0, int y0, uint8_t polarity, uint64_t t) {
    for (int y = y0; y < y0 + 8; ++y) {
        for (int x = x0; x < x0 + 8; ++x) events.emplace_back(x, y, polarity, t);
    }
}

// The events of span k (k = 0, 1, ...): a positive square whose place tells the span, a
// negative square, and one square covered twice: negative first, then positive later in
// the span (it must show positive), and one the other way round (it must show negative).
std::vector<Event2D> spanEvents(int k) {
    const uint64_t t0 = kStart + 33333u * static_cast<uint64_t>(k);
    std::vector<Event2D> events;
    addSquare(events, 8 + 16 * k, 16, 1, t0 + 10);
    addSquare(events, 8 + 16 * k, 48, 0, t0 + 10);
    addSquare(events, 200, 100, 0, t0 + 100);
    addSquare(events, 240, 100, 1, t0 + 100);
    addSquare(events, 200, 100, 1, t0 + 20000);
    addSquare(events, 240, 100, 0, t0 + 20000);
    return events;
}

// A 320 x 240 recording with events in spans 0..9 except 3, 4 and 5 (a pause of 0.1 s).
std::string makeRecording(std::vector<int>& spansWithEvents) {
    Evt3Encoder encoder;
    std::vector<uint8_t> body;
    encoder.encodeTime(kStart, body);
    for (int k = 0; k < 10; ++k) {
        if (k >= 3 && k <= 5) continue;
        spansWithEvents.push_back(k);
        auto events = spanEvents(k);
        std::stable_sort(events.begin(), events.end(),
                         [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; });
        encoder.encodeEvents(events, body);
    }
    std::string header = test::recorderHeader();
    header.replace(header.find("% geometry 1280x720"), 19, "% geometry 320x240");
    const std::string path = test::scratchPath("events.raw");
    test::writeFile(path, header, body);
    return path;
}

TEST(EventExport, RenderingPaintsPolaritiesOnGreyAndSkipsOutsideEvents) {
    std::vector<uint8_t> image{1, 2, 3};
    eventsToRgbData(nullptr, image, 4, 2);
    EXPECT_EQ(image, (std::vector<uint8_t>{1, 2, 3}));
    eventsToRgbData(std::make_shared<std::vector<Event2D>>(), image, 4, 2);
    EXPECT_EQ(image, (std::vector<uint8_t>{1, 2, 3}));

    auto events = std::make_shared<std::vector<Event2D>>(std::vector<Event2D>{
        {0, 0, 1, 5}, {3, 1, 0, 6}, {4, 0, 1, 7} /* outside */, {1, 2, 0, 7} /* outside */, {2, 1, 0, 8},
        {2, 1, 7, 9} /* any non-zero polarity is positive, and the later event wins */});
    eventsToRgbData(events, image, 4, 2);
    ASSERT_EQ(image.size(), 4u * 2u * 3u);
    auto at = [&](int x, int y) { return pixelAt(image.data(), 4, x, y); };
    EXPECT_TRUE(test::near(at(0, 0), kPositive, 0));
    EXPECT_TRUE(test::near(at(3, 1), kNegative, 0));
    EXPECT_TRUE(test::near(at(2, 1), kPositive, 0));
    int background = 0;
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 4; ++x) background += test::near(at(x, y), kBackground, 0) ? 1 : 0;
    }
    EXPECT_EQ(background, 5);
}

TEST(EventExport, OneFramePerSpanWithEventsShowingTheirColours) {
    std::vector<int> spans;
    const std::string rawPath = makeRecording(spans);
    RawFileReader reader(rawPath);
    const std::string videoPath = test::videoScratchPath("export.mp4");
    {
        test::StdoutCapture capture;
        ASSERT_TRUE(reader.loadFile());
        ASSERT_TRUE(reader.exportEventDataToVideo(kStart, kStart + 10 * 33333, videoPath));
        const std::string log = capture.finish();
        EXPECT_TRUE(contains(log, "[info] Exporting event data to video..."));
        EXPECT_TRUE(contains(log, "[info] Video created successfully"));
    }
    if (test::haveTool("ffprobe")) {
        auto stream = test::probeStream(videoPath, "codec_name,width,height");
        EXPECT_EQ(stream["codec_name"], "h264");
        EXPECT_EQ(stream["width"], std::to_string(kWidth));
        EXPECT_EQ(stream["height"], std::to_string(kHeight));
        EXPECT_TRUE(contains(test::probeFormat(videoPath), "mp4"));
        std::vector<int64_t> expected;
        for (size_t i = 0; i < spans.size(); ++i) expected.push_back(33333 * static_cast<int64_t>(i));
        EXPECT_EQ(test::probeFrameTimes(videoPath), expected);  // the pause adds no frame
    }

    Mp4FileReader video(videoPath);
    ASSERT_TRUE(video.loadFile());
    ApsFrame frame;
    for (size_t i = 0; i < spans.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i) + " of span " + std::to_string(spans[i]));
        ASSERT_TRUE(video.getNFrame(static_cast<int32_t>(i), frame));
        EXPECT_EQ(frame.timestamp, 33333u * i);
        auto expectColour = [&](int x, int y, const Bgr& want) {
            const Bgr got = pixelAt(frame.data, kWidth, x, y);
            EXPECT_TRUE(test::near(got, want, 10)) << "at (" << x << ", " << y << "): " << test::describe(got);
        };
        const int k = spans[i];
        expectColour(8 + 16 * k + 4, 20, kPositive);
        expectColour(8 + 16 * k + 4, 52, kNegative);
        expectColour(204, 104, kPositive);  // negative, then positive later in the span
        expectColour(244, 104, kNegative);  // positive, then negative
        expectColour(8 + 16 * ((k + 1) % 10) + 4, 20, kBackground);  // other spans' squares are not kept
        expectColour(300, 200, kBackground);
    }
}

TEST(EventExport, RangesWithoutEventsGiveAVideoWithoutFrames) {
    std::vector<int> spans;
    const std::string rawPath = makeRecording(spans);
    RawFileReader reader(rawPath);
    test::StdoutCapture capture;
    ASSERT_TRUE(reader.loadFile());
    const std::string same = test::videoScratchPath("same.mp4");
    EXPECT_TRUE(reader.exportEventDataToVideo(kStart + 5, kStart + 5, same));
    const std::string pause = test::videoScratchPath("pause.mp4");
    EXPECT_TRUE(reader.exportEventDataToVideo(kStart + 3 * 33333, kStart + 6 * 33333, pause));
    EXPECT_TRUE(contains(capture.finish(), "Video created successfully"));
    for (const auto& path : {same, pause}) {
        EXPECT_TRUE(std::filesystem::exists(path));
        if (test::haveTool("ffprobe")) {
            EXPECT_TRUE(test::probeFrameTimes(path).empty()) << path;
        }
    }
}

TEST(EventExport, RangesBeyondTheRecordingStopAtItsEnds) {
    std::vector<int> spans;
    const std::string rawPath = makeRecording(spans);
    RawFileReader reader(rawPath);
    const std::string path = test::videoScratchPath("all.mp4");
    std::vector<uint64_t> progress;
    {
        test::StdoutCapture quiet;
        ASSERT_TRUE(reader.loadFile());
        // An end at the far end of time would otherwise mean 5e14 spans.
        ASSERT_TRUE(exportEventsToVideo(reader, 0, std::numeric_limits<uint64_t>::max(), path,
                                        [&](uint64_t done, uint64_t total) {
                                            progress.push_back(done);
                                            EXPECT_LE(done, total);
                                        }));
    }
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_LE(progress.size(), 11u);
    Mp4FileReader video(path);
    ASSERT_TRUE(video.loadFile());
    std::vector<uint64_t> times;
    video.getTimeStamps(times);
    EXPECT_EQ(times.size(), spans.size());
}

TEST(EventExport, EncoderSetUpFailureIsReported) {
    std::vector<int> spans;
    const std::string rawPath = makeRecording(spans);
    RawFileReader reader(rawPath);
    test::StdoutCapture capture;
    ASSERT_TRUE(reader.loadFile());
    EXPECT_FALSE(reader.exportEventDataToVideo(kStart, kStart + 33333, test::videoScratchPath("video.nocontainer")));
    EXPECT_TRUE(contains(capture.finish(), "[error] Video converter initialization failed, please confirm that the "
                                           "input file is correct."));
}

TEST(EventExport, AnExportStopsWhenAskedWithACompleteVideo) {
    // Fault mended: an export could not be stopped early (Ctrl-C left a half-written file).
    std::vector<int> spans;
    const std::string rawPath = makeRecording(spans);
    RawFileReader reader(rawPath);
    const std::string path = test::videoScratchPath("stopped.mp4");
    VideoExportResult result;
    {
        test::StdoutCapture quiet;
        ASSERT_TRUE(reader.loadFile());
        int calls = 0;
        result = renderEventsToVideo(reader, kStart, kStart + 10 * 33333, path,
                                     [&](uint64_t, uint64_t) { return ++calls < 2; });
    }
    EXPECT_TRUE(result.ok);
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(result.frames, 2u);  // spans 0 and 1 hold events
    EXPECT_EQ(result.rendered_us, 2u * 33333);
    Mp4FileReader video(path);
    ASSERT_TRUE(video.loadFile());
    std::vector<uint64_t> times;
    video.getTimeStamps(times);
    EXPECT_EQ(times, (std::vector<uint64_t>{0, 33333}));
    ApsFrame frame;
    EXPECT_TRUE(video.getNFrame(1, frame));
}

TEST(EventExport, AVideoThatCannotBeWrittenFails) {
    // Fault mended: on a full disk the export still said it succeeded.
    std::vector<int> spans;
    const std::string rawPath = makeRecording(spans);
    RawFileReader reader(rawPath);
    const std::string path = test::videoScratchPath("full.mp4");
    std::filesystem::create_symlink("/dev/full", path);
    test::StdoutCapture capture;
    ASSERT_TRUE(reader.loadFile());
    const auto result = renderEventsToVideo(reader, kStart, kStart + 10 * 33333, path);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.fileFailed) << result.error;
    EXPECT_EQ(result.error, std::string("writing the file failed: ") + std::strerror(ENOSPC));
    EXPECT_FALSE(reader.exportEventDataToVideo(kStart, kStart + 10 * 33333, path));
    const std::string log = capture.finish();
    EXPECT_TRUE(contains(log, "[error]")) << log;
    EXPECT_FALSE(contains(log, "Video created successfully")) << log;
}

TEST(EventExport, RealRecordingRendersAtItsGeometry) {
    const std::string sample = std::string(VIREO_SHARED_DATA_DIR) + "/evt3_sample.raw";
    if (!std::filesystem::exists(sample)) GTEST_SKIP() << "sample recording not present";
    const std::string rawPath = test::scratchPath("sample.raw");
    std::filesystem::copy_file(sample, rawPath);
    RawFileReader reader(rawPath);
    const std::string path = test::videoScratchPath("sample.mp4");
    {
        test::StdoutCapture quiet;
        ASSERT_TRUE(reader.loadFile());
        // 11718656 .. 11727457 µs: the first span holds everything up to 11751989.
        ASSERT_TRUE(reader.exportEventDataToVideo(11718656, 11727458, path));
    }
    Mp4FileReader video(path);
    ASSERT_TRUE(video.loadFile());
    EXPECT_EQ(video.getWidth(), 1280);
    EXPECT_EQ(video.getHeight(), 720);
    std::vector<uint64_t> times;
    video.getTimeStamps(times);
    EXPECT_EQ(times, std::vector<uint64_t>{0});
}

}  // namespace
}  // namespace vireo

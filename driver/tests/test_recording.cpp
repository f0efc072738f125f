// Recording to RAW files: the file is the recorder's header followed by exactly the raw
// bytes the camera delivered while recording (checked byte for byte against a replayed
// body), with the pre-trigger cache's segments first; the edge cases of starting, stopping
// and failing; two cameras recording at once; and the bookmark index written at the stop,
// checked against the one the reader builds by scanning the same file.
//
// The cameras replay a generated body whose time spans more than half of the sensor's
// 24-bit clock, so that each loop of the replay reads as a clock rollover and time keeps
// rising. Every camera decodes the bytes it delivers, so its decoder's byte count tells how
// far into the (looped) body the stream had come when it stopped.
#include <vireo/DvsCameraPrivate.h>
#include <vireo/RawFileReader.h>
#include <vireo/UsbInterface.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include <vireo/test/StdoutCapture.h>

#include "CameraTestAccess.h"
#include "RecordingTestSupport.h"
#include "test_camera_support.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using Access = DvsCameraPrivateTestAccess;
using test::PluggedCamera;
using test::waitFor;

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr size_t kHeaderLines = 15;

// A simulated VireoHeron opened by the test itself, with its decoder's byte count.
class RecordingHeron : public test::TestHeron {
public:
    using test::TestHeron::TestHeron;
    uint64_t deliveredBytes() const { return decoder->getSecondStatistic(); }
    uint64_t sensorTime_us() const { return decoder->getLastTimestamp(); }
};

CameraDescription findDescription(const std::string& serial) {
    for (const auto& desc : UsbInterface::findUsbDvsCamera(1205, 1)) {
        if (desc.serial == serial) return desc;
    }
    return {};
}

// A folder of the build's scratch space for the running test, emptied at first use.
fs::path scratchFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path dir = fs::path(VIREO_TEST_SCRATCH_DIR) / "recording" /
                         (std::string(info->test_suite_name()) + "." + info->name());
    static std::string prepared;
    if (prepared != dir.string()) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        prepared = dir.string();
    }
    return dir;
}

// A steady stream: every 100 us a time-high, time-low and row word, then `pixels` single
// pixel events, from 1 s for `span_us`. Rows and columns come from `seed`.
std::vector<uint8_t> steadyBody(uint32_t seed, uint64_t span_us, int pixels) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    auto put = [&out](uint32_t type, uint32_t payload) { test::appendWord(out, type, payload); };
    for (uint64_t t = 1000000; t < 1000000 + span_us; t += 100) {
        put(0x8, static_cast<uint32_t>((t >> 12) & 0xFFF));
        put(0x6, static_cast<uint32_t>(t & 0xFFF));
        put(0x0, rng() % 720);
        for (int i = 0; i < pixels; ++i) put(0x2, (rng() % 1280) | ((rng() & 1) << 11));
    }
    return out;
}

// The events a decoder finds in bytes of a steady stream: the pixel words met once a time
// and a row are known (the stream may begin anywhere in a step).
uint64_t steadyEvents(const std::vector<uint8_t>& bytes) {
    uint64_t events = 0;
    bool time = false, row = false;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        switch (bytes[i + 1] >> 4) {
            case 0x8: time = true; break;
            case 0x0: row = true; break;
            case 0x2: events += (time && row) ? 1 : 0; break;
            default: break;
        }
    }
    return events;
}

// Replays a steady body: 10.2 s of sensor time (more than half the 24-bit clock) in 4 MiB.
struct ReplayBody {
    std::vector<uint8_t> body;
    std::string path;

    explicit ReplayBody(uint32_t seed, const std::string& name = "replayed.raw")
        : body(steadyBody(seed, 10200000, 17)), path((scratchFolder() / name).string()) {
        test::writeFile(path, test::recorderHeader("REPLAY"), body);
    }

    sim::SimulatedCameraConfig config(const std::string& serial = {}) const {
        sim::SimulatedCameraConfig c = test::fastCameraConfig(serial);
        c.scene = sim::SceneType::Replay;
        c.replay_path = path;
        return c;
    }

    // Bytes [begin, end) of the body looped for ever.
    std::vector<uint8_t> looped(uint64_t begin, uint64_t end) const {
        std::vector<uint8_t> out;
        out.reserve(end - begin);
        while (begin < end) {
            const uint64_t at = begin % body.size();
            const uint64_t n = std::min<uint64_t>(end - begin, body.size() - at);
            out.insert(out.end(), body.begin() + static_cast<std::ptrdiff_t>(at),
                       body.begin() + static_cast<std::ptrdiff_t>(at + n));
            begin += n;
        }
        return out;
    }
};

// A RAW file split into its header lines and its body.
struct RawFile {
    std::vector<std::string> lines;
    std::vector<uint8_t> body;
};

RawFile readRawFile(const std::string& path) {
    RawFile file;
    const std::vector<uint8_t> bytes = test::readFile(path);
    size_t pos = 0;
    while (file.lines.size() < kHeaderLines && pos < bytes.size()) {
        const auto end = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(pos), bytes.end(), uint8_t{'\n'});
        if (end == bytes.end()) break;
        file.lines.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(pos), end);
        pos = static_cast<size_t>(end - bytes.begin()) + 1;
    }
    file.body.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos), bytes.end());
    return file;
}

// The recorder's header lines, with the loss line's count `lostBuffers` (ten digits).
void expectRecorderHeader(const RawFile& file, const std::string& serial, uint64_t lostBuffers = 0) {
    char loss[64];
    std::snprintf(loss, sizeof loss, "%% vireo_lost_buffers %010llu", static_cast<unsigned long long>(lostBuffers));
    const std::vector<std::string> expected{
        "% camera_integrator_name Vireo", "% date ", "% evt 3.0", "% format EVT3; height = 720; width = 1280",
        "% generation 4.2", "% geometry 1280x720", "% integrator_name Vireo", "% plugin_integrator_name Vireo",
        "% plugin_name hal_plugin_vireo", "% sensor_generation 4.2", "% sensor_name IMX646",
        "% serial_number " + serial, "% system_ID 53", loss, "% end"};
    ASSERT_EQ(file.lines.size(), kHeaderLines);
    for (size_t i = 0; i < kHeaderLines; ++i) {
        if (i == 1) {
            EXPECT_TRUE(std::regex_match(file.lines[i], std::regex("% date \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d")))
                << file.lines[i];
        } else {
            EXPECT_EQ(file.lines[i], expected[i]);
        }
    }
}

// The body must equal `expected` byte for byte; the first difference is reported.
void expectSameBytes(const std::vector<uint8_t>& body, const std::vector<uint8_t>& expected) {
    ASSERT_EQ(body.size(), expected.size());
    const auto diff = std::mismatch(body.begin(), body.end(), expected.begin());
    EXPECT_TRUE(diff.first == body.end()) << "first difference at byte " << (diff.first - body.begin());
}

uint64_t readerEvents(const std::string& path) {
    RawFileReader reader(path);
    if (!reader.loadFile()) return UINT64_MAX;
    uint64_t events = 0;
    reader.getMaxEvents(events);
    return events;
}

std::vector<std::string> fileNames(const std::deque<std::string>& paths) {
    std::vector<std::string> names;
    for (const auto& p : paths) names.push_back(fs::path(p).filename().string());
    return names;
}

bool folderIsEmpty(const fs::path& dir) { return !fs::exists(dir) || fs::is_empty(dir); }

// The bookmark index ("<name>.dsmark.tmp") of the recording "<name>.raw".
std::string indexPathOf(const std::string& rawPath) { return rawPath.substr(0, rawPath.size() - 4) + ".dsmark.tmp"; }

// An opened replaying camera whose segments go to the test's own folder.
struct ReplayCamera {
    ReplayBody replay;
    PluggedCamera plugged;
    RecordingHeron camera;
    fs::path segments;

    explicit ReplayCamera(uint32_t seed, const std::string& tag = "a")
        : replay(seed, "replayed-" + tag + ".raw"),
          plugged(replay.config()),
          camera(findDescription(plugged.serial)),
          segments(scratchFolder() / ("segments-" + tag)) {
        EXPECT_EQ(camera.init(), 0);
        EXPECT_TRUE(camera.setSegmentDirectory(segments.string()));
    }
    ~ReplayCamera() { camera.stop(); }

    bool waitForBytes(uint64_t bytes) {
        return waitFor([&] { return camera.deliveredBytes() >= bytes; });
    }
};

// Where in the looped body, between `from` and `to`, the stretch `bytes` begins (its first
// 256 bytes match); UINT64_MAX when nowhere.
uint64_t findStretch(const ReplayBody& replay, const std::vector<uint8_t>& bytes, uint64_t from, uint64_t to) {
    const uint64_t period = replay.body.size();
    const size_t probe = std::min<size_t>(256, bytes.size());
    for (uint64_t at = from & ~uint64_t{1}; at <= to; at += 2) {
        if (bytes[0] != replay.body[at % period]) continue;
        const std::vector<uint8_t> candidate = replay.looped(at, at + probe);
        if (std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(probe), candidate.begin())) return at;
    }
    return UINT64_MAX;
}

// ---- the file's content --------------------------------------------------------------------

TEST(Recording, FileHoldsExactlyTheBytesDeliveredWhileRecording) {
    ReplayCamera rec(11);
    const std::string out = (scratchFolder() / "out.raw").string();
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(3 * kMiB));
    const uint64_t beforeStart = rec.camera.deliveredBytes();
    ASSERT_EQ(rec.camera.startRecording(out), 0);
    const uint64_t atStart = rec.camera.deliveredBytes();
    // More than two hand-overs of 10 MiB, then the partly filled buffer.
    ASSERT_TRUE(rec.waitForBytes(atStart + 25 * kMiB));
    ASSERT_EQ(rec.camera.stopRecording(), 0);
    const uint64_t afterStop = rec.camera.deliveredBytes();
    ASSERT_EQ(rec.camera.stop(), 0);

    const RawFile file = readRawFile(out);
    expectRecorderHeader(file, rec.plugged.serial);
    // The body is one stretch of the stream. It begins with a buffer handled while
    // startRecording ran, and ends with the last buffer taken before stopRecording. The
    // decoder's byte count trails the recording's tap by the transfer being decoded (128 KiB),
    // at either end.
    constexpr uint64_t kTransfer = 131072;
    ASSERT_GE(file.body.size(), 25 * kMiB - kTransfer);
    const uint64_t found = findStretch(rec.replay, file.body, beforeStart - kTransfer, atStart + kTransfer);
    ASSERT_NE(found, UINT64_MAX) << "the body does not begin where the recording started";
    EXPECT_LE(found + file.body.size(), afterStop + kTransfer);
    expectSameBytes(file.body, rec.replay.looped(found, found + file.body.size()));
    EXPECT_EQ(readerEvents(out), steadyEvents(file.body));
    EXPECT_EQ(sim::droppedBuffers(rec.plugged.serial).value_or(1), 0u);
    // The segments are consumed and their folder is empty.
    EXPECT_TRUE(rec.camera.getSegmentFiles().empty());
    EXPECT_TRUE(folderIsEmpty(rec.segments));
}

TEST(Recording, RecordingStartedBeforeStartHoldsEveryDeliveredByteAndEvent) {
    ReplayCamera rec(12);
    const std::string out = (scratchFolder() / "whole.raw").string();
    std::atomic<uint64_t> events{0};
    rec.camera.addEventsStreamHandleCallback([&](const Event2D* first, const Event2D* last) {
        events.fetch_add(static_cast<uint64_t>(last - first));
    });
    ASSERT_EQ(rec.camera.startRecording(out), 0);
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(12 * kMiB));
    // stop() ends the recording after the camera thread's last buffer: nothing is left out.
    ASSERT_EQ(rec.camera.stop(), 0);
    const uint64_t delivered = rec.camera.deliveredBytes();

    const RawFile file = readRawFile(out);
    expectRecorderHeader(file, rec.plugged.serial);
    expectSameBytes(file.body, rec.replay.looped(0, delivered));
    EXPECT_EQ(readerEvents(out), events.load());
    EXPECT_EQ(steadyEvents(file.body), events.load());
}

TEST(Recording, TwoCamerasRecordingAtOnceKeepTheirOwnBytes) {
    ReplayBody bodyA(21, "replayed-a.raw");
    ReplayBody bodyB(22, "replayed-b.raw");
    const std::string pid = std::to_string(::getpid());
    PluggedCamera pluggedA(bodyA.config("RECA" + pid));
    PluggedCamera pluggedB(bodyB.config("RECB" + pid));
    RecordingHeron a(findDescription(pluggedA.serial));
    RecordingHeron b(findDescription(pluggedB.serial));
    ASSERT_EQ(a.init(), 0);
    ASSERT_EQ(b.init(), 0);
    // Default segment folders: one per camera, named after its serial.
    EXPECT_NE(a.getSegmentDirectory(), b.getSegmentDirectory());
    EXPECT_NE(a.getSegmentDirectory().find(pluggedA.serial), std::string::npos);

    const std::string outA = (scratchFolder() / "a.raw").string();
    const std::string outB = (scratchFolder() / "b.raw").string();
    ASSERT_EQ(a.startRecording(outA), 0);
    ASSERT_EQ(b.startRecording(outB), 0);
    ASSERT_EQ(a.start(), 0);
    ASSERT_EQ(b.start(), 0);
    ASSERT_TRUE(waitFor([&] { return a.deliveredBytes() >= 12 * kMiB && b.deliveredBytes() >= 12 * kMiB; }));
    ASSERT_EQ(a.stop(), 0);
    ASSERT_EQ(b.stop(), 0);

    const RawFile fileA = readRawFile(outA);
    const RawFile fileB = readRawFile(outB);
    expectRecorderHeader(fileA, pluggedA.serial);
    expectRecorderHeader(fileB, pluggedB.serial);
    expectSameBytes(fileA.body, bodyA.looped(0, a.deliveredBytes()));
    expectSameBytes(fileB.body, bodyB.looped(0, b.deliveredBytes()));
    // The default folders are removed once their segments are consumed.
    EXPECT_FALSE(fs::exists(a.getSegmentDirectory()));
    EXPECT_FALSE(fs::exists(b.getSegmentDirectory()));
}

// ---- the pre-trigger cache -----------------------------------------------------------------

// Within one loop, the replayed body streams 400 kB per second of sensor time (40 bytes
// every 100 us); the jump back to its start reads as a clock rollover, a gap in time.
constexpr uint64_t kReplayBytesPerSecond = 400000;

// The index in a segment's name ("12vireo.raw.tmp" -> 12).
uint64_t segmentIndexOf(const std::string& name) { return std::stoull(name.substr(0, name.find('v'))); }

TEST(RecordingCache, SegmentsRotateThroughARingAndLeadALaterRecording) {
    ReplayCamera rec(31);
    const std::string out = (scratchFolder() / "triggered.raw").string();
    const uint64_t loop = rec.replay.body.size();
    // The recording starts from the camera thread once the ring has turned many times, at
    // least 5 s into a loop of the body, so that its cache holds no jump of the replay.
    std::atomic<bool> armed{false};
    std::atomic<uint64_t> atStart{0};
    rec.camera.addEventsStreamHandleCallback([&](const Event2D*, const Event2D*) {
        const uint64_t at = rec.camera.deliveredBytes();
        if (!armed.load() || atStart.load() != 0 || at % loop < 5 * kReplayBytesPerSecond) return;
        if (at % loop > 9 * kReplayBytesPerSecond) return;
        EXPECT_EQ(rec.camera.startRecording(out), 0);
        atStart = at;
    });
    rec.camera.setFileCacheTime(3);
    ASSERT_EQ(rec.camera.start(), 0);
    // Segments hold at most a second of sensor time; after 20 s the ring has turned many
    // times. Its names stay few (the lowest free indexes are reused), and every file the
    // ring dropped is gone from the disk.
    std::set<std::string> seen;
    ASSERT_TRUE(waitFor([&] {
        for (const auto& name : fileNames(rec.camera.getSegmentFiles())) seen.insert(name);
        return rec.camera.deliveredBytes() >= 20 * kReplayBytesPerSecond;
    }));
    const std::vector<std::string> ring = fileNames(rec.camera.getSegmentFiles());
    ASSERT_FALSE(ring.empty());
    EXPECT_EQ(std::set<std::string>(ring.begin(), ring.end()).size(), ring.size());
    for (const auto& name : seen) EXPECT_LE(segmentIndexOf(name), 7u) << name;
    size_t onDisk = 0;
    for (const auto& entry : fs::directory_iterator(rec.segments)) onDisk += entry.is_regular_file() ? 1 : 0;
    EXPECT_LE(onDisk, 8u);

    armed = true;
    ASSERT_TRUE(waitFor([&] { return atStart.load() != 0; }));
    ASSERT_TRUE(rec.waitForBytes(atStart + 4 * kMiB));
    ASSERT_EQ(rec.camera.stop(), 0);
    const uint64_t delivered = rec.camera.deliveredBytes();

    const RawFile file = readRawFile(out);
    expectRecorderHeader(file, rec.plugged.serial);
    ASSERT_LE(file.body.size(), delivered);
    // The body reaches back between the cache's three seconds and four before the recording
    // started (give or take the transfer being decoded then), and holds everything up to the
    // stop (stop() ends the recording once the camera thread has decoded its last buffer).
    const uint64_t begin = delivered - file.body.size();
    EXPECT_GE(atStart + 131072, begin + 3 * kReplayBytesPerSecond);
    EXPECT_LE(atStart, begin + 4 * kReplayBytesPerSecond + 131072);
    expectSameBytes(file.body, rec.replay.looped(begin, delivered));
    // stop() ended the cache too and deleted its files.
    EXPECT_TRUE(rec.camera.getSegmentFiles().empty());
    EXPECT_TRUE(folderIsEmpty(rec.segments));
}

TEST(RecordingCache, ZeroCacheTimeEndsTheCacheAndDeletesItsSegments) {
    ReplayCamera rec(32);
    rec.camera.setFileCacheTime(2);
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(22 * kMiB));
    ASSERT_TRUE(waitFor([&] { return !rec.camera.getSegmentFiles().empty(); }));
    rec.camera.setFileCacheTime(0);
    EXPECT_TRUE(rec.camera.getSegmentFiles().empty());
    EXPECT_TRUE(folderIsEmpty(rec.segments));

    // A recording now holds nothing from before its start.
    const std::string out = (scratchFolder() / "after.raw").string();
    const uint64_t before = rec.camera.deliveredBytes();
    ASSERT_EQ(rec.camera.startRecording(out), 0);
    ASSERT_TRUE(rec.waitForBytes(rec.camera.deliveredBytes() + 2 * kMiB));
    ASSERT_EQ(rec.camera.stop(), 0);
    const uint64_t delivered = rec.camera.deliveredBytes();
    const RawFile file = readRawFile(out);
    ASSERT_GT(file.body.size(), 0u);
    ASSERT_LE(file.body.size(), delivered - before);
    expectSameBytes(file.body, rec.replay.looped(delivered - file.body.size(), delivered));
}

TEST(RecordingCache, GoesOnWithANewRingAfterARecording) {
    ReplayCamera rec(33);
    rec.camera.setFileCacheTime(2);
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(12 * kMiB));
    const std::string out = (scratchFolder() / "first.raw").string();
    ASSERT_EQ(rec.camera.startRecording(out), 0);
    EXPECT_FALSE(rec.camera.setSegmentDirectory((scratchFolder() / "elsewhere").string()));
    const uint64_t atStart = rec.camera.deliveredBytes();
    ASSERT_TRUE(rec.waitForBytes(atStart + 2 * kMiB));
    ASSERT_EQ(rec.camera.stopRecording(), 0);
    const RawFile file = readRawFile(out);
    EXPECT_GT(file.body.size(), 2 * kMiB);
    // The recording consumed the cache; a new ring runs while the camera does, from index 0
    // again (not past the recording's own file) and through few names. The ring drops its
    // oldest segment just before it opens the next one under the freed name, so a single
    // look may fall in between and miss a name: the test waits until index 0 is listed.
    std::vector<std::string> ring;
    EXPECT_TRUE(waitFor([&] {
        ring = fileNames(rec.camera.getSegmentFiles());
        return std::find(ring.begin(), ring.end(), "0vireo.raw.tmp") != ring.end();
    })) << "the new ring never used index 0";
    for (const auto& name : ring) EXPECT_LE(segmentIndexOf(name), 5u) << name;
    ASSERT_EQ(rec.camera.stop(), 0);
    EXPECT_TRUE(rec.camera.getSegmentFiles().empty());
    EXPECT_TRUE(folderIsEmpty(rec.segments));
}

// Fault mended: a buffer reached the record thread only once 10 MiB were collected, and a
// segment ended at the first write a second after it began, so at low data rates the cache
// reached back far more than asked (about 30 s for a 2 s cache at 0.1 M events/s). A cache
// of N seconds now begins between N and N + 1 seconds of sensor time before startRecording,
// at a low rate as at a high one.
TEST(RecordingCache, ReachesBackTheCacheTimeAtLowAndHighRates) {
    constexpr uint64_t kCache_us = 2000000;
    constexpr uint64_t kStartAt_us = 3200000;
    for (const double rate : {1e5, 1e6}) {
        SCOPED_TRACE(rate);
        auto config = test::fastCameraConfig();
        config.event_rate = rate;
        PluggedCamera plugged(config);
        RecordingHeron camera(findDescription(plugged.serial));
        ASSERT_EQ(camera.init(), 0);
        const std::string tag = std::to_string(static_cast<int>(rate));
        ASSERT_TRUE(camera.setSegmentDirectory((scratchFolder() / ("segments-" + tag)).string()));
        const std::string out = (scratchFolder() / ("cached-" + tag + ".raw")).string();
        camera.setFileCacheTime(static_cast<unsigned short>(kCache_us / 1000000));

        // The recording is started and stopped on the camera thread, so at a sensor time
        // that is known exactly (the simulated camera waits while its reader is busy).
        std::atomic<int> phase{0};
        uint64_t startedAt = 0;
        int started = 1, stopped = 1;
        camera.addEventsStreamHandleCallback([&](const Event2D*, const Event2D* last) {
            const uint64_t t = (last - 1)->timestamp;
            if (phase == 0 && t >= kStartAt_us) {
                startedAt = camera.sensorTime_us();
                started = camera.startRecording(out);
                phase = 1;
            } else if (phase == 1 && t >= startedAt + 200000) {
                stopped = camera.stopRecording();
                phase = 2;
            }
        });
        ASSERT_EQ(camera.start(), 0);
        ASSERT_TRUE(waitFor([&] { return phase.load() == 2; }));
        ASSERT_EQ(camera.stop(), 0);
        EXPECT_EQ(started, 0);
        EXPECT_EQ(stopped, 0);

        const RawFile file = readRawFile(out);
        expectRecorderHeader(file, plugged.serial);
        const std::vector<Event2D> events = test::referenceDecode(file.body);
        ASSERT_FALSE(events.empty());
        // A body that begins mid-stream places its first events in time once its first
        // time words have come: within one time-high period (4096 us) of where it begins.
        const int64_t reach = static_cast<int64_t>(startedAt) - static_cast<int64_t>(events.front().timestamp);
        EXPECT_GE(reach, static_cast<int64_t>(kCache_us) - 4096);
        EXPECT_LE(reach, static_cast<int64_t>(kCache_us) + 1000000 + 4096);
        EXPECT_GE(events.back().timestamp, startedAt + 200000);
    }
}

// ---- edge cases and failures ---------------------------------------------------------------

// Fault mended: startRecording zero-filled a pool of ten 10 MiB buffers before it raised
// the recording flag, tens of milliseconds whose data no recording held. The pool starts
// empty and lends buffers as the camera thread needs them (their room reserved, not filled).
TEST(RecordingEdges, StartRecordingBuildsNoBuffersAhead) {
    ReplayCamera rec(45);
    const std::string out = (scratchFolder() / "quick.raw").string();
    ASSERT_EQ(rec.camera.startRecording(out), 0);
    EXPECT_EQ(Access::idleRawBuffers(rec.camera), 0u);
    EXPECT_EQ(Access::currentRawBufferBytes(rec.camera), 0u);
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(2 * kMiB));
    ASSERT_EQ(rec.camera.stop(), 0);
    const RawFile file = readRawFile(out);
    expectSameBytes(file.body, rec.replay.looped(0, rec.camera.deliveredBytes()));
}

TEST(RecordingEdges, DroppingTheCameraWritesItsRecording) {
    ReplayBody replay(44);
    PluggedCamera plugged(replay.config());
    const std::string out = (scratchFolder() / "dropped.raw").string();
    {
        RecordingHeron camera(findDescription(plugged.serial));
        ASSERT_EQ(camera.init(), 0);
        ASSERT_TRUE(camera.setSegmentDirectory((scratchFolder() / "segments").string()));
        ASSERT_EQ(camera.startRecording(out), 0);
        ASSERT_EQ(camera.start(), 0);
        ASSERT_TRUE(waitFor([&] { return camera.deliveredBytes() >= kMiB; }));
    }
    // Every byte the camera took, from the first: a prefix of the looped body.
    const RawFile file = readRawFile(out);
    expectRecorderHeader(file, plugged.serial);
    ASSERT_GE(file.body.size(), kMiB);
    expectSameBytes(file.body, replay.looped(0, file.body.size()));
}

TEST(RecordingEdges, NoDataGivesTheHeaderOnly) {
    ReplayCamera rec(41);
    const std::string out = (scratchFolder() / "empty.raw").string();
    ASSERT_EQ(rec.camera.startRecording(out), 0);
    ASSERT_EQ(rec.camera.stopRecording(), 0);
    const RawFile file = readRawFile(out);
    expectRecorderHeader(file, rec.plugged.serial);
    EXPECT_TRUE(file.body.empty());
    EXPECT_EQ(readerEvents(out), 0u);
}

TEST(RecordingEdges, RecordingTwiceIsRefusedAndStopWithoutRecordingDoesNothing) {
    ReplayCamera rec(42);
    const fs::path dir = scratchFolder() / "outputs";
    fs::create_directories(dir);
    EXPECT_EQ(rec.camera.stopRecording(), 0);
    EXPECT_TRUE(fs::is_empty(dir));

    ASSERT_EQ(rec.camera.startRecording((dir / "first.raw").string()), 0);
    test::StdoutCapture capture;
    EXPECT_EQ(rec.camera.startRecording((dir / "second.raw").string()), -1);
    EXPECT_NE(capture.finish().find("Do not save again while saving."), std::string::npos);
    EXPECT_EQ(rec.camera.stopRecording(), 0);
    EXPECT_TRUE(fs::exists(dir / "first.raw"));
    EXPECT_FALSE(fs::exists(dir / "second.raw"));
    EXPECT_EQ(rec.camera.stopRecording(), 0);
    // A new recording may start once the first has ended.
    EXPECT_EQ(rec.camera.startRecording((dir / "third.raw").string()), 0);
    EXPECT_EQ(rec.camera.stopRecording(), 0);
    EXPECT_TRUE(fs::exists(dir / "third.raw"));
}

TEST(RecordingEdges, OutputThroughALinkIsWrittenToItsTarget) {
    ReplayCamera rec(43);
    const fs::path target = scratchFolder() / "target.raw";
    const fs::path link = scratchFolder() / "link.raw";
    test::writeBytes(target.string(), {1, 2, 3});
    fs::create_symlink(target, link);
    ASSERT_EQ(rec.camera.startRecording(link.string()), 0);
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(kMiB));
    ASSERT_EQ(rec.camera.stop(), 0);
    // The link stays a link; the recording replaced the target's content.
    EXPECT_TRUE(fs::is_symlink(link));
    const RawFile file = readRawFile(target.string());
    expectRecorderHeader(file, rec.plugged.serial);
    expectSameBytes(file.body, rec.replay.looped(0, rec.camera.deliveredBytes()));
}

TEST(RecordingEdges, OperationsBeforeInitThrow) {
    PluggedCamera plugged;
    RecordingHeron camera(findDescription(plugged.serial));
    for (int which = 0; which < 2; ++which) {
        try {
            if (which == 0) camera.startRecording((scratchFolder() / "never.raw").string());
            if (which == 1) camera.stopRecording();
            ADD_FAILURE() << "no exception from operation " << which;
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Camera is not inited");
        }
    }
    EXPECT_FALSE(fs::exists(scratchFolder() / "never.raw"));
    // The cache may be set before init; the camera is still dropped cleanly (its record
    // thread joined, no segment written).
    ASSERT_TRUE(camera.setSegmentDirectory((scratchFolder() / "segments").string()));
    camera.setFileCacheTime(2);
    EXPECT_TRUE(camera.getSegmentFiles().empty());
}

TEST(RecordingFailures, UnopenableOutputKeepsTheSegmentsForTheNextRecording) {
    ReplayCamera rec(51);
    const std::string bad = (scratchFolder() / "missing-folder" / "lost.raw").string();
    const std::string good = (scratchFolder() / "kept.raw").string();
    ASSERT_EQ(rec.camera.startRecording(bad), 0);
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(13 * kMiB));
    test::StdoutCapture capture;
    EXPECT_EQ(rec.camera.stop(), -1);  // the recording it ended could not be written
    EXPECT_NE(capture.finish().find("Unable to open " + bad + " for writing"), std::string::npos);
    const uint64_t firstRun = rec.camera.deliveredBytes();
    const auto kept = rec.camera.getSegmentFiles();
    ASSERT_FALSE(kept.empty());
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(name)) << name;

    // The next recording writes new segments beside the kept ones and begins with them.
    ASSERT_EQ(rec.camera.startRecording(good), 0);
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(firstRun + 3 * kMiB));
    ASSERT_EQ(rec.camera.stop(), 0);
    const uint64_t secondRun = rec.camera.deliveredBytes() - firstRun;

    const RawFile file = readRawFile(good);
    expectRecorderHeader(file, rec.plugged.serial);
    ASSERT_EQ(file.body.size(), firstRun + secondRun);
    const std::vector<uint8_t> first(file.body.begin(), file.body.begin() + static_cast<std::ptrdiff_t>(firstRun));
    expectSameBytes(first, rec.replay.looped(0, firstRun));
    // The second run resumes the replay somewhere after the first (buffers queued at the
    // stop are dropped): find where, then compare all of it.
    const std::vector<uint8_t> second(file.body.begin() + static_cast<std::ptrdiff_t>(firstRun), file.body.end());
    const uint64_t resume = findStretch(rec.replay, second, firstRun, firstRun + rec.replay.body.size());
    ASSERT_NE(resume, UINT64_MAX);
    expectSameBytes(second, rec.replay.looped(resume, resume + secondRun));
    EXPECT_EQ(readerEvents(good), steadyEvents(file.body));
    EXPECT_TRUE(rec.camera.getSegmentFiles().empty());
    EXPECT_TRUE(folderIsEmpty(rec.segments));
}

TEST(RecordingFailures, FailedOutputWriteIsReportedAndKeepsTheData) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to stand for a full disk";
    ReplayCamera rec(52);
    ASSERT_EQ(rec.camera.startRecording("/dev/full"), 0);
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(2 * kMiB));
    ASSERT_EQ(rec.camera.stop(), -1);
    const uint64_t delivered = rec.camera.deliveredBytes();
    ASSERT_FALSE(rec.camera.getSegmentFiles().empty());

    // Recorded again (no new data: the camera is stopped), the kept data reaches a good file.
    const std::string good = (scratchFolder() / "rescued.raw").string();
    ASSERT_EQ(rec.camera.startRecording(good), 0);
    ASSERT_EQ(rec.camera.stopRecording(), 0);
    const RawFile file = readRawFile(good);
    expectSameBytes(file.body, rec.replay.looped(0, delivered));
}

TEST(RecordingFailures, UnwritableSegmentMakesStopRecordingFail) {
    ReplayCamera rec(53);
    // A folder stands where the first segment file should go: it cannot be opened.
    fs::create_directories(rec.segments / "0vireo.raw.tmp");
    const std::string out = (scratchFolder() / "partial.raw").string();
    test::StdoutCapture capture;
    ASSERT_EQ(rec.camera.startRecording(out), 0);
    ASSERT_EQ(rec.camera.start(), 0);
    // The first hand-over finds no file; the next ones go to a file of another name.
    ASSERT_TRUE(rec.waitForBytes(26 * kMiB));
    EXPECT_EQ(rec.camera.stopRecording(), -1);
    const std::string log = capture.finish();
    EXPECT_NE(log.find("0vireo.raw.tmp for writing"), std::string::npos) << log;
    EXPECT_TRUE(fs::is_directory(rec.segments / "0vireo.raw.tmp"));  // not ours to delete
    ASSERT_EQ(rec.camera.stop(), 0);
    // What could be written is in the file: the stream after the first hand-over. A
    // transfer of this stream spans more than the 100 ms of sensor time after which the
    // collected bytes are handed over, so the first hand-over is the first transfer.
    const RawFile file = readRawFile(out);
    // The transfer that found no file is the recording's loss, and its header says so.
    expectRecorderHeader(file, rec.plugged.serial, 1);
    EXPECT_EQ(rec.camera.getRecordingLostBuffers(), 1u);
    ASSERT_GT(file.body.size(), 0u);
    const uint64_t found = findStretch(rec.replay, file.body, 2, 2 * 131072);
    ASSERT_NE(found, UINT64_MAX);
    expectSameBytes(file.body, rec.replay.looped(found, found + file.body.size()));
    // A recording that lost data gets no index: the reader scans what is there.
    EXPECT_FALSE(fs::exists(indexPathOf(out)));
    EXPECT_FALSE(fs::exists(test::companionPathOf(out)));
}

// ---- the bookmark index written at the stop -------------------------------------------------

// The recorder's index and companion beside `path` must be the very bytes the reader writes
// when it scans the recording itself (the recorder's files deleted first), over at least
// `minBookmarks` bookmarks.
void expectTheReadersOwnIndex(const std::string& path, size_t minBookmarks) {
    const std::string indexPath = indexPathOf(path);
    const std::string companionPath = test::companionPathOf(path);
    const std::vector<uint8_t> index = test::readFile(indexPath);
    const std::vector<uint8_t> companion = test::readFile(companionPath);
    ASSERT_FALSE(index.empty()) << "no index beside " << path;
    ASSERT_FALSE(companion.empty()) << "no companion beside " << path;
    fs::remove(indexPath);
    fs::remove(companionPath);
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_FALSE(reader.isIndexReloaded());
    EXPECT_GE(RawFileReaderTestPeer::bookmarks(reader).size(), minBookmarks);
    EXPECT_TRUE(test::readFile(indexPath) == index) << "the index differs from the reader's";
    EXPECT_TRUE(test::readFile(companionPath) == companion) << "the companion differs from the reader's";
}

// The replayed stream gets a bookmark about every 4 ms of its sensor time, where its time
// high word moves on: some 600 per MiB.
constexpr size_t kBookmarksPerMiB = 500;

TEST(RecordingIndex, CacheSegmentsCopiedIntoTheRecordingAreIndexed) {
    ReplayCamera rec(62);
    const std::string out = (scratchFolder() / "cached.raw").string();
    rec.camera.setFileCacheTime(2);
    ASSERT_EQ(rec.camera.start(), 0);
    // Enough segments for the cache to reach back its two seconds.
    ASSERT_TRUE(waitFor([&] { return rec.camera.getSegmentFiles().size() >= 4; }));
    ASSERT_EQ(rec.camera.startRecording(out), 0);
    const uint64_t atStart = rec.camera.deliveredBytes();
    ASSERT_TRUE(rec.waitForBytes(atStart + kMiB));
    const uint64_t beforeStop = rec.camera.deliveredBytes();
    ASSERT_EQ(rec.camera.stopRecording(), 0);
    ASSERT_EQ(rec.camera.stop(), 0);
    // The cache's two seconds and more (800 kB) lead the recording's own bytes.
    EXPECT_GT(readRawFile(out).body.size(), beforeStop - atStart + kReplayBytesPerSecond);
    expectTheReadersOwnIndex(out, 3 * kBookmarksPerMiB / 2);
}

TEST(RecordingIndex, LongRecordingStartedMidStreamGetsTheReadersIndex) {
    ReplayCamera rec(63);
    const std::string out = (scratchFolder() / "long.raw").string();
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(kMiB));
    // Mid-stream, the file's first words come before any time or row is known; three loops
    // of the 4 MiB body follow, over which the sensor's clock rolls over.
    ASSERT_EQ(rec.camera.startRecording(out), 0);
    ASSERT_TRUE(rec.waitForBytes(rec.camera.deliveredBytes() + 3 * rec.replay.body.size()));
    ASSERT_EQ(rec.camera.stopRecording(), 0);
    ASSERT_EQ(rec.camera.stop(), 0);
    expectTheReadersOwnIndex(out, 11 * kBookmarksPerMiB);
}

TEST(RecordingIndex, FreshRecordingOpensWithoutAScanAndReadsAsAFullDecode) {
    ReplayCamera rec(64);
    const std::string out = (scratchFolder() / "fresh.raw").string();
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(kMiB / 2));
    ASSERT_EQ(rec.camera.startRecording(out), 0);
    ASSERT_TRUE(rec.waitForBytes(rec.camera.deliveredBytes() + 2 * kMiB));
    ASSERT_EQ(rec.camera.stopRecording(), 0);
    ASSERT_EQ(rec.camera.stop(), 0);

    const std::vector<Event2D> expected = test::referenceDecode(readRawFile(out).body);
    ASSERT_GT(expected.size(), 100000u);
    RawFileReader reader(out);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_TRUE(reader.isIndexReloaded());
    uint64_t count = 0;
    ASSERT_TRUE(reader.getMaxEvents(count));
    EXPECT_EQ(count, expected.size());
    const auto all = reader.getNEvents(expected.size());
    ASSERT_TRUE(all);
    EXPECT_TRUE(*all == expected) << "the events differ from a full decode";
    // A seek resumes at a bookmark with the row and vector state of the companion.
    for (const size_t at : {expected.size() / 3, expected.size() - 500}) {
        const uint64_t t = expected[at].timestamp;
        const size_t first = static_cast<size_t>(
            std::find_if(expected.begin(), expected.end(), [&](const Event2D& e) { return e.timestamp >= t; }) -
            expected.begin());
        ASSERT_TRUE(reader.seekTime(t)) << t;
        const auto got = reader.getNEvents(400);
        ASSERT_TRUE(got);
        const std::vector<Event2D> want(expected.begin() + static_cast<std::ptrdiff_t>(first),
                                        expected.begin() + static_cast<std::ptrdiff_t>(std::min(first + 400, expected.size())));
        EXPECT_TRUE(*got == want) << "after a seek to " << t;
    }
}

TEST(RecordingIndex, IndexThatCannotBeWrittenLeavesTheRecordingWholeAndReadable) {
    ReplayCamera rec(65);
    const std::string out = (scratchFolder() / "noindex.raw").string();
    // A folder stands where the index file should go.
    fs::create_directories(indexPathOf(out));
    ASSERT_EQ(rec.camera.startRecording(out), 0);
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(kMiB));
    test::StdoutCapture capture;
    EXPECT_EQ(rec.camera.stopRecording(), 0);
    const std::string log = capture.finish();
    EXPECT_NE(log.find("bookmark index was not saved"), std::string::npos) << log;
    ASSERT_EQ(rec.camera.stop(), 0);
    EXPECT_TRUE(fs::is_directory(indexPathOf(out)));  // not the recorder's to delete
    EXPECT_FALSE(fs::exists(test::companionPathOf(out)));

    const RawFile file = readRawFile(out);
    expectSameBytes(file.body, rec.replay.looped(0, file.body.size()));
    RawFileReader reader(out);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_FALSE(reader.isIndexReloaded());
    uint64_t count = 0;
    ASSERT_TRUE(reader.getMaxEvents(count));
    EXPECT_EQ(count, steadyEvents(file.body));
}

TEST(RecordingIndex, AssembledRecordingGetsNoIndexAndDropsTheReplacedFilesOne) {
    ReplayCamera rec(66);
    const fs::path target = scratchFolder() / "target.raw";
    const fs::path link = scratchFolder() / "link.raw";
    test::writeBytes(target.string(), {1, 2, 3});
    fs::create_symlink(target, link);
    // The index files of an earlier recording at the output path.
    test::writeBytes(indexPathOf(link.string()), {4, 5, 6});
    test::writeBytes(test::companionPathOf(link.string()), {7, 8, 9});
    ASSERT_EQ(rec.camera.startRecording(link.string()), 0);
    ASSERT_EQ(rec.camera.start(), 0);
    ASSERT_TRUE(rec.waitForBytes(kMiB));
    ASSERT_EQ(rec.camera.stop(), 0);
    // Written through the link by copying: no index, and none of the file it replaced.
    EXPECT_FALSE(fs::exists(indexPathOf(link.string())));
    EXPECT_FALSE(fs::exists(test::companionPathOf(link.string())));
    EXPECT_FALSE(fs::exists(indexPathOf(target.string())));
    RawFileReader reader(link.string());
    ASSERT_TRUE(reader.loadFile());
    EXPECT_FALSE(reader.isIndexReloaded());
}

}  // namespace
}  // namespace vireo

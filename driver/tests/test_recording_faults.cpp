// Recordings that meet a full disk, for the event camera and the fusion camera: the
// recording stops with its error logged and readable by the application, the file keeps
// every whole word written before the failure (a valid RAW file whose events are the ones
// the camera delivered up to there), no index is left that would be wrong, the camera
// goes on streaming, and a new recording can begin.
//
// The disk is the recorder's write seam limited to a number of bytes (WriteFault). Where the
// test runs inside a mount namespace with a small file system mounted for it
// (VIREO_SMALL_DISK names the folder, see tests/support/with_fault_mounts.sh), the same checks run
// on a disk that really fills up.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <vireo/DvsCameraManager.h>
#include <vireo/DvsCameraPrivate.h>
#include <vireo/Mp4FileReader.h>
#include <vireo/RawFileReader.h>
#include <vireo/SimulatedCamera.h>
#include <vireo/TandemCamera.h>
#include <vireo/test/StdoutCapture.h>

#include "CameraTestAccess.h"
#include "FusionCameraTestAccess.h"
#include "RecordingTestSupport.h"
#include "test_camera_support.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using test::PluggedCamera;
using test::waitFor;

constexpr uint64_t kMiB = uint64_t{1} << 20;

// A RAW file's header (up to and with "% end\n") and body.
struct RawParts {
    std::string header;
    std::vector<uint8_t> body;
};

RawParts splitRaw(const std::string& path) {
    const std::vector<uint8_t> bytes = test::readFile(path);
    const std::string text(bytes.begin(), bytes.end());
    const size_t end = text.find("% end\n");
    RawParts parts;
    if (end == std::string::npos) return parts;
    parts.header = text.substr(0, end + 6);
    parts.body.assign(bytes.begin() + static_cast<std::ptrdiff_t>(end + 6), bytes.end());
    return parts;
}

// Every event the reader decodes from `path` (empty when it cannot load it).
std::vector<Event2D> readerDecode(const std::string& path) {
    RawFileReader reader(path);
    if (!reader.loadFile()) return {};
    uint64_t count = 0;
    reader.getMaxEvents(count);
    const auto events = reader.getNEventsGivenStartEvent(0, count);
    return events ? *events : std::vector<Event2D>{};
}

// The partial file must be a valid recording of the stream's first bytes: its body the
// delivered bytes from the first on, with no torn word at the end, and the reader's events
// those of a decode of the delivered stream as far as the body reaches, which are the first
// events the camera handed to its callback.
void expectValidPrefix(const std::string& path, const std::vector<uint8_t>& delivered,
                       const std::vector<Event2D>& handedOut) {
    const RawParts parts = splitRaw(path);
    ASSERT_FALSE(parts.header.empty()) << path << " has no RAW header";
    ASSERT_GT(parts.body.size(), 0u);
    EXPECT_EQ(parts.body.size() % 2, 0u) << "a torn word ends " << path;
    ASSERT_LE(parts.body.size(), delivered.size());
    const auto diff = std::mismatch(parts.body.begin(), parts.body.end(), delivered.begin());
    EXPECT_TRUE(diff.first == parts.body.end()) << "first difference at byte " << (diff.first - parts.body.begin());

    const std::vector<uint8_t> prefix(delivered.begin(), delivered.begin() + static_cast<std::ptrdiff_t>(parts.body.size()));
    const std::vector<Event2D> expected = test::referenceDecode(prefix);
    const std::vector<Event2D> read = readerDecode(path);
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(read.size(), expected.size());
    EXPECT_TRUE(read == expected);
    // The callback's events are kept up to a bound: the file's must begin with all of them.
    const size_t compared = std::min(read.size(), handedOut.size());
    ASSERT_GT(compared, 0u);
    EXPECT_TRUE(std::equal(read.begin(), read.begin() + static_cast<std::ptrdiff_t>(compared), handedOut.begin()))
        << "the file's events are not the camera's";
}

// Keeps the first `cap` events a callback receives and counts all of them.
struct EventTap {
    explicit EventTap(size_t keep) : cap(keep) {}
    void add(const Event2D* first, const Event2D* last) {
        std::lock_guard<std::mutex> lock(mutex);
        const auto n = static_cast<size_t>(last - first);
        total += n;
        if (kept.size() < cap) kept.insert(kept.end(), first, first + std::min(n, cap - kept.size()));
    }
    uint64_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return total;
    }
    std::vector<Event2D> events() {
        std::lock_guard<std::mutex> lock(mutex);
        return kept;
    }
    const size_t cap;
    std::mutex mutex;
    std::vector<Event2D> kept;
    uint64_t total = 0;
};

// A test folder on the small disk when the test runs with one (emptied first: an earlier
// test filled it), else in the scratch space.
fs::path testFolder(const std::string& name) {
    if (const char* small = std::getenv("VIREO_SMALL_DISK")) {
        for (const auto& entry : fs::directory_iterator(small)) fs::remove_all(entry.path());
        const fs::path dir = fs::path(small) / name;
        fs::create_directories(dir);
        return dir;
    }
    return fs::path(test::scratchPath(name));
}

// The log written meanwhile; shown on standard error when the test ends before finish()
// (an assertion failed), so that neither the failure nor the log is lost.
class LogCapture {
public:
    std::string finish() {
        done = true;
        return capture.finish();
    }
    ~LogCapture() {
        if (!done) std::fputs(capture.finish().c_str(), stderr);
    }

private:
    test::StdoutCapture capture;
    bool done = false;
};

fs::path makeFolder(const std::string& name) {
    const fs::path dir = testFolder(name);
    fs::create_directories(dir);
    return dir;
}

// The bytes the recorder's header takes (its date has a fixed width).
size_t headerBytes(const std::string& serial) { return test::recorderHeaderWithLoss(serial).size(); }

// ---- the event camera --------------------------------------------------------------------

struct OpenedEventCamera {
    PluggedCamera plugged;
    DvsCameraManager manager;
    std::shared_ptr<DvsCamera> camera;
    DvsCameraPrivate* recorder = nullptr;
    std::shared_ptr<EventTap> tap = std::make_shared<EventTap>(4000000);

    explicit OpenedEventCamera(const std::string& serial) : plugged(test::fastCameraConfig(serial)) {
        manager.updateCameras();
        camera = manager.openCamera(plugged.serial);
        recorder = dynamic_cast<DvsCameraPrivate*>(camera.get());
        if (camera) {
            auto kept = tap;
            camera->addEventsStreamHandleCallback([kept](const Event2D* f, const Event2D* l) { kept->add(f, l); });
        }
    }
    ~OpenedEventCamera() {
        if (camera) camera->stop();
    }
};

void recordEventCameraOntoAFullDisk(OpenedEventCamera& opened, const fs::path& dir, uint64_t room) {
    DvsCameraPrivate& recorder = *opened.recorder;
    const std::string serial = opened.plugged.serial;
    const std::string out = (dir / "full.raw").string();
    ASSERT_TRUE(recorder.setSegmentDirectory((dir / "segments").string()));
    if (room > 0) DvsCameraPrivateTestAccess::limitDisk(recorder, std::make_shared<WriteFault>(room));
    ASSERT_TRUE(sim::captureDelivered(serial, true));
    LogCapture capture;
    ASSERT_EQ(recorder.startRecording(out), 0);
    EXPECT_TRUE(recorder.isRecording());
    ASSERT_EQ(recorder.start(), 0);

    // The disk fills: the recording stops by itself, and says why.
    ASSERT_TRUE(waitFor([&] { return !recorder.isRecording(); })) << "the recording never met the full disk";
    ASSERT_TRUE(sim::captureDelivered(serial, false));
    EXPECT_NE(recorder.recordingError().find("No space left on device"), std::string::npos)
        << recorder.recordingError();

    // The camera goes on streaming.
    const uint64_t seen = opened.tap->count();
    EXPECT_TRUE(waitFor([&] { return opened.tap->count() > seen + 100000; })) << "no events after the failure";
    EXPECT_TRUE(opened.camera->isConnected());

    EXPECT_EQ(recorder.stopRecording(), -1);
    const std::string log = capture.finish();
    EXPECT_NE(log.find("No space left on device"), std::string::npos) << log;
    EXPECT_NE(log.find("Recording " + out + " is incomplete"), std::string::npos) << log;
    EXPECT_FALSE(recorder.isRecording());

    // The recorder writes no index for a file that lost its end (the reader makes its own).
    EXPECT_FALSE(fs::exists(test::indexPathOf(out)));
    EXPECT_FALSE(fs::exists(test::companionPathOf(out)));
    expectValidPrefix(out, sim::capturedEventBytes(serial), opened.tap->events());
    // The folder keeps no segment: the partial file is the recording.
    EXPECT_TRUE(recorder.getSegmentFiles().empty());
}

TEST(RecordingOnAFullDisk, EventCameraStopsKeepsAValidFileAndStreamsOn) {
    if (std::getenv("VIREO_SMALL_DISK")) GTEST_SKIP() << "the limited write seam runs outside the small disk";
    OpenedEventCamera opened("FULL-DVS");
    ASSERT_NE(opened.recorder, nullptr);
    const fs::path dir = makeFolder("dvs");
    // Room for the header and 3 MiB and one byte: the write that crosses it is torn, and the
    // odd byte goes.
    const uint64_t room = headerBytes(opened.plugged.serial) + 3 * kMiB + 1;
    recordEventCameraOntoAFullDisk(opened, dir, room);
    EXPECT_EQ(splitRaw((dir / "full.raw").string()).body.size(), 3 * kMiB);

    // With room again, the next recording is whole and indexed.
    DvsCameraPrivateTestAccess::limitDisk(*opened.recorder, nullptr);
    const std::string next = (dir / "next.raw").string();
    const uint64_t before = opened.tap->count();
    ASSERT_EQ(opened.recorder->startRecording(next), 0);
    EXPECT_TRUE(opened.recorder->recordingError().empty());
    ASSERT_TRUE(waitFor([&] { return opened.tap->count() > before + 200000; }));
    ASSERT_EQ(opened.recorder->stopRecording(), 0);
    RawFileReader reader(next);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_TRUE(reader.isIndexReloaded());
    EXPECT_GT(test::countOf(reader), 0u);
}

TEST(RecordingOnAFullDisk, AStoppedRecordingIsEndedByTheNextStart) {
    if (std::getenv("VIREO_SMALL_DISK")) GTEST_SKIP() << "the limited write seam runs outside the small disk";
    OpenedEventCamera opened("FULL-DVS2");
    ASSERT_NE(opened.recorder, nullptr);
    DvsCameraPrivate& recorder = *opened.recorder;
    const fs::path dir = makeFolder("dvs2");
    ASSERT_TRUE(recorder.setSegmentDirectory((dir / "segments").string()));
    DvsCameraPrivateTestAccess::limitDisk(recorder, std::make_shared<WriteFault>(headerBytes("FULL-DVS2") + kMiB));
    ASSERT_EQ(recorder.start(), 0);
    ASSERT_EQ(recorder.startRecording((dir / "first.raw").string()), 0);
    ASSERT_TRUE(waitFor([&] { return !recorder.isRecording(); }));
    // The disk stays full: the next recording cannot even write its header, and stops too.
    ASSERT_EQ(recorder.startRecording((dir / "second.raw").string()), 0);
    EXPECT_TRUE(waitFor([&] { return !recorder.isRecording(); }));
    EXPECT_NE(recorder.recordingError().find("second"), std::string::npos) << recorder.recordingError();
    EXPECT_EQ(recorder.stopRecording(), -1);
    // The first file was ended by the second start, as written.
    const RawParts first = splitRaw((dir / "first.raw").string());
    EXPECT_EQ(first.body.size(), kMiB);
    EXPECT_FALSE(readerDecode((dir / "first.raw").string()).empty());
}

TEST(RecordingOnAFullDisk, EventCameraOnARealSmallDisk) {
    if (!std::getenv("VIREO_SMALL_DISK")) {
        GTEST_SKIP() << "no small file system was mounted for this test (run through with_fault_mounts.sh)";
    }
    OpenedEventCamera opened("SMALL-DVS");
    ASSERT_NE(opened.recorder, nullptr);
    recordEventCameraOntoAFullDisk(opened, makeFolder("dvs-real"), 0);
}

// ---- the fusion camera -------------------------------------------------------------------

sim::SimulatedCameraConfig fusionConfig(const std::string& serial) {
    sim::SimulatedCameraConfig config;
    config.serial = serial;
    config.vendor_id = sim::kFusionVendorId;
    config.product_id = sim::kFusionProductId;
    config.scene = sim::SceneType::MovingEdge;
    config.edge_speed = 2000;
    config.real_time = false;
    config.frame_rate_hz = 10;
    config.exposure_us = 20000;
    config.seed = 5;
    return config;
}

struct OpenedFusionCamera {
    PluggedCamera plugged;
    DvsCameraManager manager;
    std::shared_ptr<FusionCamera> camera;
    TandemFusionCamera* tandem = nullptr;
    std::shared_ptr<EventTap> tap = std::make_shared<EventTap>(4000000);
    std::shared_ptr<std::atomic<uint64_t>> frames = std::make_shared<std::atomic<uint64_t>>(0);

    explicit OpenedFusionCamera(const std::string& serial) : plugged(fusionConfig(serial)) {
        manager.updateCameras();
        camera = manager.openFusionCamera(plugged.serial);
        tandem = dynamic_cast<TandemFusionCamera*>(camera.get());
        if (camera) {
            auto kept = tap;
            camera->addEventsStreamHandleCallback([kept](const Event2D* f, const Event2D* l) { kept->add(f, l); });
            auto count = frames;
            camera->addApsFrameCallback([count](const ApsFrame&) { ++*count; });
        }
    }
    ~OpenedFusionCamera() {
        if (camera) camera->stop(STREAM_BOTH);
    }
};

void recordFusionCameraOntoAFullDisk(OpenedFusionCamera& opened, const fs::path& dir, uint64_t room) {
    TandemFusionCamera& camera = *opened.tandem;
    const std::string serial = opened.plugged.serial;
    const std::string base = (dir / "take").string();
    if (room > 0) FusionCameraTestAccess::limitDisk(camera, std::make_shared<WriteFault>(room));
    ASSERT_TRUE(sim::captureDelivered(serial, true));
    LogCapture capture;
    ASSERT_EQ(camera.startRecording(base, STREAM_BOTH), 0);
    EXPECT_TRUE(camera.isRecording(STREAM_BOTH));
    ASSERT_EQ(camera.start(STREAM_BOTH), 0);

    ASSERT_TRUE(waitFor([&] { return !camera.isRecording(STREAM_DVS); })) << "the recording never met the full disk";
    ASSERT_TRUE(sim::captureDelivered(serial, false));
    EXPECT_NE(camera.recordingError().find("No space left on device"), std::string::npos) << camera.recordingError();

    // Both streams go on.
    const uint64_t seen = opened.tap->count();
    const uint64_t framesSeen = opened.frames->load();
    EXPECT_TRUE(waitFor([&] { return opened.tap->count() > seen + 100000 && opened.frames->load() > framesSeen + 2; }));

    EXPECT_EQ(camera.stopRecording(STREAM_DVS), -1);
    const std::string log = capture.finish();
    EXPECT_NE(log.find("No space left on device"), std::string::npos) << log;
    EXPECT_NE(log.find("could not be written whole"), std::string::npos) << log;
    EXPECT_FALSE(camera.isRecording(STREAM_DVS));
    if (room > 0) {
        // The video had its own room: it goes on, and is complete at its stop.
        EXPECT_TRUE(camera.isRecording(STREAM_APS));
        EXPECT_EQ(camera.stopRecording(STREAM_APS), 0);
        Mp4FileReader video(base + ".mp4");
        ASSERT_TRUE(video.loadFile());
        std::vector<uint64_t> times;
        video.getTimeStamps(times);
        EXPECT_GE(times.size(), 2u);
    } else {
        // On the real disk the video met it too: it failed (or ended) without hanging.
        camera.stopRecording(STREAM_APS);
        EXPECT_FALSE(camera.isRecording(STREAM_APS));
    }

    EXPECT_FALSE(fs::exists(test::indexPathOf(base + ".raw")));
    EXPECT_FALSE(fs::exists(test::companionPathOf(base + ".raw")));
    expectValidPrefix(base + ".raw", sim::capturedEventBytes(serial), opened.tap->events());
}

TEST(RecordingOnAFullDisk, FusionCameraStopsTheEventFileKeepsItValidAndStreamsOn) {
    if (std::getenv("VIREO_SMALL_DISK")) GTEST_SKIP() << "the limited write seam runs outside the small disk";
    OpenedFusionCamera opened("FULL-FUSION");
    ASSERT_NE(opened.tandem, nullptr);
    const fs::path dir = makeFolder("fusion");
    const uint64_t room = headerBytes(opened.plugged.serial) + 2 * kMiB + 1;
    recordFusionCameraOntoAFullDisk(opened, dir, room);
    EXPECT_EQ(splitRaw((dir / "take.raw").string()).body.size(), 2 * kMiB);

    // With room again, a new recording of both streams is whole.
    FusionCameraTestAccess::limitDisk(*opened.tandem, nullptr);
    const std::string next = (dir / "next").string();
    const uint64_t frames = opened.frames->load();
    ASSERT_EQ(opened.tandem->startRecording(next, STREAM_BOTH), 0);
    EXPECT_TRUE(opened.tandem->recordingError().empty());
    ASSERT_TRUE(waitFor([&] { return opened.frames->load() > frames + 3; }));
    ASSERT_EQ(opened.tandem->stopRecording(STREAM_BOTH), 0);
    RawFileReader reader(next + ".raw");
    ASSERT_TRUE(reader.loadFile());
    EXPECT_TRUE(reader.isIndexReloaded());
    EXPECT_GT(test::countOf(reader), 0u);
}

TEST(RecordingOnAFullDisk, FusionCameraWithoutRoomForTheHeaderRefusesToStart) {
    OpenedFusionCamera opened("FULL-FUSION2");
    ASSERT_NE(opened.tandem, nullptr);
    const fs::path dir = makeFolder("fusion2");
    FusionCameraTestAccess::limitDisk(*opened.tandem, std::make_shared<WriteFault>(10));
    test::StdoutCapture capture;
    EXPECT_EQ(opened.tandem->startRecording((dir / "none").string(), STREAM_BOTH), -1);
    const std::string log = capture.finish();
    EXPECT_NE(log.find("No space left on device"), std::string::npos) << log;
    EXPECT_FALSE(opened.tandem->isRecording(STREAM_DVS));
    EXPECT_FALSE(opened.tandem->isRecording(STREAM_APS));
    EXPECT_FALSE(fs::exists(dir / "none.mp4"));
}

TEST(RecordingOnAFullDisk, FusionCameraOnARealSmallDisk) {
    if (!std::getenv("VIREO_SMALL_DISK")) {
        GTEST_SKIP() << "no small file system was mounted for this test (run through with_fault_mounts.sh)";
    }
    OpenedFusionCamera opened("SMALL-FUSION");
    ASSERT_NE(opened.tandem, nullptr);
    recordFusionCameraOntoAFullDisk(opened, makeFolder("fusion-real"), 0);
}

// ---- folders that take no file -----------------------------------------------------------
//
// Tests run as root, whom permissions do not stop: a folder takes no file when a plain file
// stands where the folder should be (always), or when it is a read-only mount (through
// with_fault_mounts.sh).

struct UnwritableFolder {
    std::string folder;
    std::string reason;  // strerror of the error creating a file there
};

std::vector<UnwritableFolder> unwritableFolders(const std::string& name) {
    const fs::path dir = fs::path(test::scratchPath(name));
    fs::create_directories(dir);
    test::writeBytes((dir / "plain").string(), {1, 2, 3});
    std::vector<UnwritableFolder> folders{{(dir / "plain").string(), std::strerror(ENOTDIR)}};
    if (const char* readOnly = std::getenv("VIREO_READONLY_DIR")) folders.push_back({readOnly, std::strerror(EROFS)});
    return folders;
}

TEST(UnwritableFolders, EventCameraRecordingFailsAtTheStopSayingWhyAndKeepsItsData) {
    OpenedEventCamera opened("RO-DVS");
    ASSERT_NE(opened.recorder, nullptr);
    DvsCameraPrivate& recorder = *opened.recorder;
    ASSERT_TRUE(recorder.setSegmentDirectory((fs::path(test::scratchPath("segments"))).string()));
    ASSERT_EQ(recorder.start(), 0);
    for (const auto& folder : unwritableFolders("dvs-folders")) {
        SCOPED_TRACE(folder.folder);
        const std::string out = folder.folder + "/out.raw";
        // The output is opened at the stop; the data goes to the segment folder meanwhile.
        ASSERT_EQ(recorder.startRecording(out), 0);
        const uint64_t seen = opened.tap->count();
        ASSERT_TRUE(waitFor([&] { return opened.tap->count() > seen + 200000; }));
        test::StdoutCapture capture;
        EXPECT_EQ(recorder.stopRecording(), -1);
        const std::string log = capture.finish();
        EXPECT_NE(log.find("Unable to open " + out + " for writing: " + folder.reason), std::string::npos) << log;
        EXPECT_FALSE(fs::exists(out));
        // The recorded data stays in the segments, which lead the next recording.
        const auto kept = recorder.getSegmentFiles();
        ASSERT_FALSE(kept.empty());
        for (const auto& name : kept) EXPECT_GT(fs::file_size(name), 0u) << name;
    }
    const std::string rescued = test::scratchPath("rescued.raw");
    ASSERT_EQ(recorder.startRecording(rescued), 0);
    ASSERT_EQ(recorder.stopRecording(), 0);
    EXPECT_TRUE(recorder.getSegmentFiles().empty());
    EXPECT_FALSE(readerDecode(rescued).empty());
}

TEST(UnwritableFolders, FusionCameraRecordingIsRefusedAtTheStartSayingWhy) {
    OpenedFusionCamera opened("RO-FUSION");
    ASSERT_NE(opened.tandem, nullptr);
    for (const auto& folder : unwritableFolders("fusion-folders")) {
        SCOPED_TRACE(folder.folder);
        for (const STREAM_TYPE type : {STREAM_DVS, STREAM_APS, STREAM_BOTH}) {
            test::StdoutCapture capture;
            EXPECT_EQ(opened.tandem->startRecording(folder.folder + "/take", type), -1);
            const std::string log = capture.finish();
            const std::string expected = type == STREAM_DVS ? folder.folder + "/take.raw for writing: " + folder.reason
                                                            : "Failed to open output file: " + folder.folder + "/take.mp4";
            EXPECT_NE(log.find(expected), std::string::npos) << log;
            EXPECT_FALSE(opened.tandem->isRecording(STREAM_DVS));
            EXPECT_FALSE(opened.tandem->isRecording(STREAM_APS));
            EXPECT_EQ(opened.tandem->stopRecording(STREAM_BOTH), 0);  // nothing runs
        }
    }
}

TEST(UnwritableFolders, ReaderInAReadOnlyFolderReadsWithItsIndexInMemoryAndWarnsOnce) {
    const char* readOnly = std::getenv("VIREO_READONLY_DIR");
    const char* source = std::getenv("VIREO_READONLY_SOURCE");
    if (!readOnly || !source) {
        GTEST_SKIP() << "no read-only folder was mounted for this test (run through with_fault_mounts.sh)";
    }
    const std::vector<uint8_t> body = test::encodedBody(31, 4000, 16000000);
    test::writeFile(std::string(source) + "/kept.raw", test::recorderHeader(), body);
    const std::string path = std::string(readOnly) + "/kept.raw";
    const std::vector<Event2D> expected = test::referenceDecode(body);
    for (int open = 0; open < 2; ++open) {
        test::StdoutCapture capture;
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        const std::string log = capture.finish();
        EXPECT_FALSE(reader.isIndexReloaded());
        EXPECT_EQ(reader.getIndexWriteError(), std::strerror(EROFS));
        // One line tells that the index was not saved, and why.
        size_t lines = 0;
        for (size_t at = log.find(test::indexPathOf(path)); at != std::string::npos;
             at = log.find(test::indexPathOf(path), at + 1)) {
            ++lines;
        }
        EXPECT_EQ(lines, 1u) << log;
        EXPECT_NE(log.find(std::strerror(EROFS)), std::string::npos) << log;
        ASSERT_EQ(test::countOf(reader), expected.size());
        ASSERT_TRUE(reader.seekNEvents(expected.size() / 2));
        const auto events = reader.getNEvents(500);
        ASSERT_TRUE(events);
        ASSERT_EQ(events->size(), 500u);
        EXPECT_TRUE(std::equal(events->begin(), events->end(), expected.begin() + static_cast<std::ptrdiff_t>(expected.size() / 2)));
    }
    EXPECT_FALSE(fs::exists(test::indexPathOf(std::string(source) + "/kept.raw")));
}

TEST(UnwritableFolders, CutsAndVideosIntoAFolderThatTakesNoFileFailSayingWhy) {
    const std::vector<uint8_t> body = test::encodedBody(32, 3000, 1000000);
    const test::DecodedRecording recording = test::makeDecodedRecording("source.raw", body);
    RawFileReader reader(recording.path);
    ASSERT_TRUE(reader.loadFile());
    const uint64_t start = test::startOf(reader), end = test::endOf(reader);
    for (const auto& folder : unwritableFolders("export-folders")) {
        SCOPED_TRACE(folder.folder);
        const auto cut = reader.extractEvents(start, end, folder.folder + "/cut.raw");
        EXPECT_FALSE(cut.ok);
        EXPECT_FALSE(cut.outputOpened);
        EXPECT_EQ(cut.failure, RawFileReader::ExtractResult::Failure::Output);
        EXPECT_NE(cut.error.find(folder.reason), std::string::npos) << cut.error;
        EXPECT_FALSE(fs::exists(folder.folder + "/cut.raw"));

        test::StdoutCapture capture;
        EXPECT_FALSE(reader.exportEventDataToVideo(start, end, folder.folder + "/video.mp4"));
        const std::string log = capture.finish();
        EXPECT_NE(log.find("Failed to open output file: " + folder.folder + "/video.mp4"), std::string::npos) << log;
        EXPECT_NE(log.find(folder.reason), std::string::npos) << log;
        EXPECT_FALSE(fs::exists(folder.folder + "/video.mp4"));
    }
}

}  // namespace
}  // namespace vireo

// vireo info, cut and video as a user runs them, on recordings generated here: inputs that are
// no recordings, header values that are not numbers, outputs that cannot be written (a
// missing folder, a folder, a path under a regular file, a full disk imitated by a file-size
// limit or by a link to /dev/full), a geometry the encoder refuses, an index that cannot be
// saved, and Ctrl-C. Each failure must be one line naming the file and the cause, and leave
// nothing under the output's name.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <vireo/Evt3Encoder.h>
#include <vireo/Mp4FileReader.h>

namespace vireo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A folder of its own for the running test, emptied first.
std::string scratchFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path dir = fs::path(VIREO_TEST_SCRATCH_DIR) / "data-commands" /
                         (std::string(info->test_suite_name()) + "." + info->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

// The names in `dir` other than `keep`: what a command left behind.
std::vector<std::string> namesIn(const std::string& dir, const std::vector<std::string>& keep) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (std::find(keep.begin(), keep.end(), name) == keep.end()) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A running `vireo` with its standard output and error read through pipes.
class Tool {
public:
    // Starts vireo with `args`. With `fileSizeLimit` the files it writes cannot grow past that
    // many bytes (a write beyond fails with EFBIG, as on a full disk).
    explicit Tool(const std::vector<std::string>& args, rlim_t fileSizeLimit = RLIM_INFINITY) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            close(out[0]);
            close(err[0]);
            close(out[1]);
            close(err[1]);
            if (fileSizeLimit != RLIM_INFINITY) {
                rlimit limit{};
                getrlimit(RLIMIT_FSIZE, &limit);
                limit.rlim_cur = fileSizeLimit;
                setrlimit(RLIMIT_FSIZE, &limit);
                std::signal(SIGXFSZ, SIG_IGN);
            }
            std::vector<char*> argv{const_cast<char*>(VIREO_TOOL)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(VIREO_TOOL, argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        outFd_ = out[0];
        errFd_ = err[0];
    }
    ~Tool() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            finish();
        }
        if (outFd_ >= 0) close(outFd_);
        if (errFd_ >= 0) close(errFd_);
    }
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;

    // Reads output until standard error holds `text` or the tool ends; false when it did not
    // appear within `seconds`.
    bool waitForError(const std::string& text, int seconds = 120) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (err_.find(text) == std::string::npos) {
            if (Clock::now() >= deadline || !readSome(100)) return err_.find(text) != std::string::npos;
        }
        return true;
    }
    void signal(int number) { kill(pid_, number); }
    // Reads everything to the end and waits for the exit status (128 + n for signal n).
    int finish() {
        while (readSome(-1)) {
        }
        int raw = 0;
        waitpid(pid_, &raw, 0);
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return status_;
    }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    // Reads what is ready on either pipe within `timeoutMs`; false once both are closed.
    bool readSome(int timeoutMs) {
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (outFd_ < 0 && errFd_ < 0) return false;
        if (poll(fds, 2, timeoutMs) < 0 && errno != EINTR) return false;
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? outFd_ : errFd_;
            if (fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0) {
                (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(got));
            } else {
                close(fd);
                fd = -1;
            }
        }
        return outFd_ >= 0 || errFd_ >= 0;
    }

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    int status_ = -1;
    std::string out_, err_;
};

struct Result {
    int status = -1;
    std::string out, err;
};

Result run(const std::vector<std::string>& args, rlim_t fileSizeLimit = RLIM_INFINITY) {
    Tool tool(args, fileSizeLimit);
    Result result;
    result.status = tool.finish();
    result.out = tool.out();
    result.err = tool.err();
    return result;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The lines of standard error that are not progress lines ("indexing ...", "rendering ...").
std::vector<std::string> messageLines(const std::string& err) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        if (end == std::string::npos) end = err.size();
        const std::string line = err.substr(start, end - start);
        if (line.rfind("indexing ", 0) != 0 && line.rfind("rendering ", 0) != 0) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// Besides progress, the command said exactly `line`, and the library logged no error of its own.
void expectOneErrorLine(const Result& result, const std::string& line) {
    EXPECT_EQ(messageLines(result.err), std::vector<std::string>{line}) << result.err;
    EXPECT_FALSE(contains(result.out, "[error]")) << result.out;
}

// Writes a recording of `seconds` seconds at `width` x `height` with `perSpan` random events
// every 33333 µs, from 1 s on; with `holeBytes`, that many zero bytes (words that only set
// the row to 0; the file stays sparse) stand before the data of the middle second.
std::string writeRecording(const std::string& path, double seconds, int width = 1280, int height = 720,
                           int perSpan = 50, uint64_t holeBytes = 0, const std::string& geometry = "") {
    std::mt19937 rng(7);
    Evt3Encoder encoder;
    std::vector<uint8_t> before, after;
    const uint64_t start = 1000000;
    const auto spans = static_cast<uint64_t>(seconds * 30);
    for (uint64_t k = 0; k < spans; ++k) {
        std::vector<Event2D> events;
        for (int i = 0; i < perSpan; ++i) {
            events.emplace_back(static_cast<uint16_t>(rng() % static_cast<unsigned>(std::max(width, 1))),
                                static_cast<uint16_t>(rng() % static_cast<unsigned>(std::max(height, 1))),
                                static_cast<uint8_t>(rng() % 2),
                                start + k * 33333 + static_cast<uint64_t>(i) * 33000 / static_cast<uint64_t>(perSpan));
        }
        auto& body = k < spans / 2 ? before : after;
        encoder.encodeEvents(events, body);
    }
    std::ofstream out(path, std::ios::binary);
    out << "% evt 3.0\n% geometry "
        << (geometry.empty() ? std::to_string(width) + "x" + std::to_string(height) : geometry) << "\n% end\n";
    out.write(reinterpret_cast<const char*>(before.data()), static_cast<std::streamsize>(before.size()));
    if (holeBytes > 0) out.seekp(static_cast<std::streamoff>(holeBytes), std::ios::cur);
    out.write(reinterpret_cast<const char*>(after.data()), static_cast<std::streamsize>(after.size()));
    return path;
}

// ---------------------------------------------------------------------------- vireo info

TEST(VireoInfo, RefusesWhatIsNoRecording) {
    // Fault mended: a folder was described as a recording of 9223372036854775807 bytes, and an
    // index was written beside it.
    const std::string dir = scratchFolder();
    fs::create_directories(dir + "/folder.raw");
    const Result folder = run({"info", dir + "/folder.raw"});
    EXPECT_EQ(folder.status, 1);
    expectOneErrorLine(folder, "vireo info: cannot open \"" + dir + "/folder.raw\": it is a folder");
    const Result missing = run({"info", dir + "/missing.raw"});
    EXPECT_EQ(missing.status, 1);
    expectOneErrorLine(missing, "vireo info: cannot open \"" + dir + "/missing.raw\": No such file or directory");
    EXPECT_EQ(namesIn(dir, {}), std::vector<std::string>{"folder.raw"});
}

TEST(VireoInfo, NamesTheFileAndTheValueOfAHeaderThatIsNotANumber) {
    // Fault mended: the command ended in "vireo info: stoi".
    const std::string dir = scratchFolder();
    const std::string path = writeRecording(dir + "/bad.raw", 0.2, 64, 48, 10, 0, "widex48");
    const Result result = run({"info", path});
    EXPECT_EQ(result.status, 1);
    expectOneErrorLine(result, "vireo info: " + path + ": the header's \"% geometry\" width \"wide\" is not a number");
}

TEST(VireoInfo, SaysWhyTheIndexCouldNotBeSavedAndLeavesNoIndexFile) {
    // Fault mended: a failed index write was reported as "index file ..." (with an empty index
    // file left beside the recording) and logged without the file's name.
    const std::string dir = scratchFolder();
    const std::string path = writeRecording(dir + "/run.raw", 1.0);
    const Result limited = run({"info", path}, 64);
    EXPECT_EQ(limited.status, 0) << limited.err;
    EXPECT_TRUE(contains(limited.out, "index           built by a scan, not saved: cannot write " + dir +
                                          "/run.dsmark.tmp (File too large)\n"))
        << limited.out;
    EXPECT_FALSE(contains(limited.out, "[error]")) << limited.out;
    EXPECT_EQ(namesIn(dir, {}), std::vector<std::string>{"run.raw"});

    fs::create_symlink("/dev/full", dir + "/run.dsmark.tmp");
    const Result full = run({"info", path});
    EXPECT_EQ(full.status, 0) << full.err;
    EXPECT_TRUE(contains(full.out, "not saved: cannot write " + dir + "/run.dsmark.tmp (No space left on device)"))
        << full.out;
    EXPECT_TRUE(fs::is_symlink(dir + "/run.dsmark.tmp"));

    fs::remove(dir + "/run.dsmark.tmp");
    const Result saved = run({"info", path});
    EXPECT_TRUE(contains(saved.out, "index           built by a scan, saved as " + dir + "/run.dsmark.tmp\n"))
        << saved.out;
    EXPECT_TRUE(contains(run({"info", path}).out, "index           reloaded from " + dir + "/run.dsmark.tmp\n"));
}

// ----------------------------------------------------------------------------- vireo cut

TEST(VireoCut, OutputsItCannotWriteAreNamedWithTheirCause) {
    // Fault mended: after the failure was logged the command said "nothing was cut: [..) must
    // hold events and lie within the recording", naming the wrong cause.
    const std::string dir = scratchFolder();
    const std::string input = writeRecording(dir + "/in.raw", 1.0);
    fs::create_directories(dir + "/folder.raw");
    std::ofstream(dir + "/file") << "a regular file\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir + "/missing/cut.raw", std::strerror(ENOENT)},
        {dir + "/folder.raw", "it is a folder"},
        {dir + "/file/cut.raw", std::strerror(ENOTDIR)},
        {input, "it is the recording being read"},
    };
    const auto size = fs::file_size(input);
    for (const auto& [output, cause] : cases) {
        const Result result = run({"cut", input, output, "1100000", "1500000"});
        EXPECT_EQ(result.status, 1) << output;
        expectOneErrorLine(result, "vireo cut: cannot write \"" + output + "\": " + cause);
    }
    EXPECT_EQ(fs::file_size(input), size);
    EXPECT_EQ(namesIn(dir, {}), (std::vector<std::string>{"file", "folder.raw", "in.raw"}));
    EXPECT_TRUE(fs::is_empty(dir + "/folder.raw"));

    // A range outside the recording is the range's fault, and says so.
    const Result range = run({"cut", input, dir + "/cut.raw", "9000000", "9500000"});
    EXPECT_EQ(range.status, 1);
    EXPECT_TRUE(contains(range.err, "vireo cut: nothing was cut: [9000000, 9500000) must hold events")) << range.err;
    EXPECT_FALSE(fs::exists(dir + "/cut.raw"));
}

TEST(VireoCut, AFullDiskLeavesNothingUnderTheOutputsName) {
    // Fault mended: a partial cut.raw stayed under its final name.
    const std::string dir = scratchFolder();
    const std::string input = writeRecording(dir + "/in.raw", 4.0, 1280, 720, 3000);
    ASSERT_GT(fs::file_size(input), 1u << 20);
    ASSERT_EQ(run({"info", input}).status, 0);  // the index exists before the limit applies
    const Result limited = run({"cut", input, dir + "/cut.raw", "1000000", "4900000"}, 256 << 10);
    EXPECT_EQ(limited.status, 1);
    expectOneErrorLine(limited, "vireo cut: cannot write \"" + dir + "/cut.raw\": " + std::strerror(EFBIG));
    EXPECT_EQ(namesIn(dir, {}), (std::vector<std::string>{"in.dsmark.state", "in.dsmark.tmp", "in.raw"}));

    // A device is written through: a link to /dev/full stays a link.
    fs::create_symlink("/dev/full", dir + "/full.raw");
    const Result full = run({"cut", input, dir + "/full.raw", "1000000", "4900000"});
    EXPECT_EQ(full.status, 1);
    expectOneErrorLine(full, "vireo cut: cannot write \"" + dir + "/full.raw\": " + std::strerror(ENOSPC));
    EXPECT_TRUE(fs::is_symlink(dir + "/full.raw"));

    // With room, the same cut is written and reads back.
    const Result written = run({"cut", input, dir + "/cut.raw", "1000000", "4900000"});
    EXPECT_EQ(written.status, 0) << written.err;
    EXPECT_TRUE(contains(written.out, "wrote " + dir + "/cut.raw: ")) << written.out;
    EXPECT_EQ(namesIn(dir, {"in.raw", "in.dsmark.tmp", "in.dsmark.state", "full.raw"}),
              (std::vector<std::string>{"cut.dsmark.state", "cut.dsmark.tmp", "cut.raw"}));
}

// A recording big enough for its indexing to show progress (past 64 MiB, mostly a sparse
// hole) and to take a while: a signal sent at the first progress line comes before the end.
std::string writeLargeRecording(const std::string& dir) {
    return writeRecording(dir + "/large.raw", 2.0, 1280, 720, 50, uint64_t{384} << 20);
}

void expectCutStoppedBy(int signal, const char* name) {
    const std::string dir = scratchFolder();
    const std::string input = writeLargeRecording(dir);
    Tool tool({"cut", input, dir + "/cut.raw", "1000000", "2900000"});
    ASSERT_TRUE(tool.waitForError("indexing ")) << tool.err();
    tool.signal(signal);
    EXPECT_EQ(tool.finish(), 128 + signal) << tool.err();
    EXPECT_TRUE(contains(tool.err(), "vireo cut: stopped by " + std::string(name) + ": nothing was cut (\"" + dir +
                                         "/cut.raw\" was not written)\n"))
        << tool.err();
    EXPECT_EQ(namesIn(dir, {"large.raw", "large.dsmark.tmp", "large.dsmark.state"}), std::vector<std::string>{});
}

TEST(VireoCut, FirstCtrlCStopsTheCutAndWritesNothing) {
    expectCutStoppedBy(SIGINT, "SIGINT");
    expectCutStoppedBy(SIGTERM, "SIGTERM");
}

// ---------------------------------------------------------------------------- vireo video

TEST(VireoVideo, RendersWithoutFfmpegsOwnNotes) {
    const std::string dir = scratchFolder();
    const std::string input = writeRecording(dir + "/in.raw", 0.5, 320, 240);
    const Result result = run({"video", input, dir + "/out.mp4"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.out, "wrote " + dir + "/out.mp4: 15 frames of 320 x 240, 0.500 s of video"))
        << result.out;
    // x264 and FFmpeg print notes such as "[libx264 @ 0x...] profile High" at their default level.
    EXPECT_FALSE(contains(result.err, " @ 0x")) << result.err;
    EXPECT_EQ(namesIn(dir, {"in.raw", "in.dsmark.tmp", "in.dsmark.state"}), std::vector<std::string>{"out.mp4"});
}

TEST(VireoVideo, FailuresAreNamedWithTheirCauseAndLeaveNoVideo) {
    // Fault mended: every encoder failure was blamed on "an .mp4 in a folder that exists?", a
    // folder was rendered as a recording without events, and a full disk left an empty .mp4
    // under its final name.
    const std::string dir = scratchFolder();
    const std::string input = writeRecording(dir + "/in.raw", 1.0, 1280, 720, 2000);
    ASSERT_EQ(run({"info", input}).status, 0);  // the index exists before any limit applies
    fs::create_directories(dir + "/folder.raw");
    const Result folder = run({"video", dir + "/folder.raw", dir + "/out.mp4"});
    EXPECT_EQ(folder.status, 1);
    expectOneErrorLine(folder, "vireo video: cannot open \"" + dir + "/folder.raw\": it is a folder");

    const Result missing = run({"video", input, dir + "/missing/out.mp4"});
    EXPECT_EQ(missing.status, 1);
    expectOneErrorLine(missing, "vireo video: cannot write \"" + dir + "/missing/out.mp4\": " + std::strerror(ENOENT));

    const std::string flat = writeRecording(dir + "/flat.raw", 0.2, 0, 0, 10);
    const Result zero = run({"video", flat, dir + "/out.mp4"});
    EXPECT_EQ(zero.status, 1);
    // A recording without pixels is refused when it is opened, before any encoder is asked.
    expectOneErrorLine(zero, "vireo video: " + flat + ": the header's \"% geometry\" width \"0\" is out of range");

    const Result limited = run({"video", input, dir + "/out.mp4"}, 64 << 10);
    EXPECT_EQ(limited.status, 1);
    expectOneErrorLine(limited, "vireo video: cannot write the video \"" + dir +
                                    "/out.mp4\": writing the file failed: " + std::strerror(EFBIG));

    fs::create_symlink("/dev/full", dir + "/full.mp4");
    const Result full = run({"video", input, dir + "/full.mp4"});
    EXPECT_EQ(full.status, 1);
    expectOneErrorLine(full, "vireo video: cannot write the video \"" + dir +
                                 "/full.mp4\": writing the file failed: " + std::strerror(ENOSPC));
    EXPECT_TRUE(fs::is_symlink(dir + "/full.mp4"));

    EXPECT_EQ(namesIn(dir, {}),
              (std::vector<std::string>{"flat.raw", "folder.raw", "full.mp4", "in.dsmark.state", "in.dsmark.tmp",
                                        "in.raw"}));
}

TEST(VireoVideo, FirstCtrlCKeepsACompleteVideoOfTheFramesSoFar) {
    const std::string dir = scratchFolder();
    const std::string input = writeRecording(dir + "/in.raw", 20.0);
    const std::string output = dir + "/out.mp4";
    Tool tool({"video", input, output});
    ASSERT_TRUE(tool.waitForError("rendering " + output + ": ")) << tool.err();
    tool.signal(SIGINT);
    EXPECT_EQ(tool.finish(), 0) << tool.err();
    EXPECT_TRUE(contains(tool.err(), "vireo video: stopped by SIGINT; the video ends after ")) << tool.err();
    const std::string prefix = "wrote " + output + ": ";
    ASSERT_TRUE(contains(tool.out(), prefix)) << tool.out();
    const uint64_t frames = std::stoull(tool.out().substr(tool.out().find(prefix) + prefix.size()));
    EXPECT_GT(frames, 0u);
    EXPECT_LT(frames, 600u);
    EXPECT_EQ(namesIn(dir, {"in.raw", "in.dsmark.tmp", "in.dsmark.state"}), std::vector<std::string>{"out.mp4"});

    // The video is complete: every frame it lists decodes, the last one too.
    Mp4FileReader video(output);
    ASSERT_TRUE(video.loadFile());
    std::vector<uint64_t> times;
    video.getTimeStamps(times);
    EXPECT_EQ(times.size(), frames);
    ApsFrame frame;
    EXPECT_TRUE(video.getNFrame(static_cast<int32_t>(frames) - 1, frame));
}

TEST(VireoVideo, ASecondSignalAbortsWithoutAVideoUnderItsName) {
    const std::string dir = scratchFolder();
    const std::string input = writeRecording(dir + "/in.raw", 20.0);
    const std::string output = dir + "/out.mp4";
    Tool tool({"video", input, output});
    ASSERT_TRUE(tool.waitForError("rendering " + output + ": ")) << tool.err();
    // Sent together, both arrive before the first one's clean stop ends: whichever is handled
    // second ends the process at once.
    tool.signal(SIGINT);
    tool.signal(SIGTERM);
    const int status = tool.finish();
    EXPECT_TRUE(status == 128 + SIGINT || status == 128 + SIGTERM) << status << "\n" << tool.err();
    EXPECT_FALSE(fs::exists(output));
}

}  // namespace
}  // namespace vireo

// What the two recording paths of `vireo record` share (the event camera's in RecordCommand.cpp,
// the fusion camera's in FusionRecordCommand.cpp): the statistics reports their progress lines
// follow, the interruptible waits, and the checks of an output made before a camera opens.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <vireo/SharedTypes.h>

#include "Interrupt.h"

namespace vireo::app::recording {

using Clock = std::chrono::steady_clock;

// How often the waits look at the interrupt flag: a signal cannot wake a condition variable.
constexpr auto kPollPeriod = std::chrono::milliseconds(50);
// The statistics report once per second; a report due this close to the end of the recording
// is waited for, so that the last progress line lands on the duration.
constexpr auto kReportPeriod = std::chrono::seconds(1);
constexpr auto kLastReportSlack = std::chrono::milliseconds(100);

// One report of the camera's statistics: cumulative events and raw bytes decoded, the
// camera's transfers lost (dropped by the host's queue or by the recording) and frames the
// host dropped, when it arrived, and its number (0: no report yet).
struct Report {
    uint64_t events = 0;
    uint64_t bytes = 0;
    uint64_t lost = 0;
    uint64_t framesDropped = 0;
    Clock::time_point time{};
    uint64_t number = 0;
};

// The transfers of the camera's event stream a statistics report counts as lost to a
// recording: those the host's queue dropped and those the recording could not keep.
inline uint64_t lostBuffers(const DsStatisticInfo& info) { return info.droppedBuffers + info.recordingLostBuffers; }

// ", lost 12 buffers" (and ", 3 frames dropped") for a progress line; empty when nothing was lost.
inline std::string lossFigures(uint64_t buffers, uint64_t frames = 0) {
    std::string text;
    if (buffers > 0) text += ", lost " + std::to_string(buffers) + (buffers == 1 ? " buffer" : " buffers");
    if (frames > 0) text += ", " + std::to_string(frames) + (frames == 1 ? " frame" : " frames") + " dropped";
    return text;
}

// The reports of the statistics thread, for the command's thread to wait on.
class Reports {
public:
    void add(const DsStatisticInfo& info) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const uint64_t framesDropped = info.droppedFrames + info.recordingLostFrames;
            latest_ = Report{info.first, info.second, lostBuffers(info), framesDropped, Clock::now(), latest_.number + 1};
        }
        arrived_.notify_all();
    }

    Report latest() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return latest_;
    }

    // The first report after report number `seen`, or nothing when `until` passes, a signal
    // interrupts or `stillStreaming` turns false first.
    template <class StillStreaming>
    std::optional<Report> waitAfter(uint64_t seen, Clock::time_point until, StillStreaming stillStreaming) const {
        std::unique_lock<std::mutex> lock(mutex_);
        while (latest_.number <= seen) {
            const auto now = Clock::now();
            if (now >= until || interrupted() || !stillStreaming()) return std::nullopt;
            arrived_.wait_until(lock, std::min(until, now + kPollPeriod));
        }
        return latest_;
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    Report latest_;
};

// Waits until `until`, returning early (false) when a signal arrives.
inline bool waitUninterrupted(Clock::time_point until) {
    while (Clock::now() < until) {
        if (interrupted()) return false;
        std::this_thread::sleep_until(std::min(until, Clock::now() + kPollPeriod));
    }
    return !interrupted();
}

inline std::string folderOf(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

// Fails (std::runtime_error) unless OUT can be written: its folder exists and takes a new
// file, and an existing OUT is a file that may be replaced. Nothing is left behind.
inline void checkOutput(const std::string& path) {
    namespace fs = std::filesystem;
    const std::string folder = folderOf(path);
    const auto refuse = [&path](const std::string& reason) {
        return std::runtime_error("cannot write \"" + path + "\": " + reason);
    };
    std::error_code error;
    if (!fs::exists(folder, error)) throw refuse("the folder \"" + folder + "\" does not exist");
    if (!fs::is_directory(folder, error)) throw refuse("\"" + folder + "\" is not a folder");
    if (fs::is_directory(path, error)) throw refuse("it is a folder");
    // Replacing a file needs only the folder's permission; a write-protected one is kept.
    if (fs::exists(path, error) && ::access(path.c_str(), W_OK) != 0) {
        throw refuse(std::string("the file exists and is write-protected (") + std::strerror(errno) + ")");
    }
    // Permissions, a read-only file system or a full inode table show only when a file is made.
    const std::string probe = (fs::path(folder) / (".vireo-record-probe-" + std::to_string(::getpid()))).string();
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        const int code = errno;
        // EEXIST: a probe of this process id left by a killed run; the folder takes files.
        if (code != EEXIST) throw refuse("no file can be created in \"" + folder + "\" (" + std::strerror(code) + ")");
    } else {
        ::close(fd);
        ::unlink(probe.c_str());
    }
}

// Bytes of the RAW header ('%' lines up to "% end") at the start of `path`; nothing when the
// file cannot be read or has no complete header.
inline std::optional<uint64_t> rawHeaderBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    uint64_t bytes = 0;
    while (in.peek() == '%' && std::getline(in, line)) {
        bytes += line.size() + 1;
        if (line == "% end") return bytes;
    }
    return std::nullopt;
}

inline const char* signalName(int signal) { return signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : "a signal"; }

}  // namespace vireo::app::recording

namespace vireo::app {

class CommandLine;

// `vireo record OUT --fusion ...`, parsed by runRecord: records a fusion camera to OUT.raw
// and OUT.mp4 (FusionRecordCommand.cpp).
int runFusionRecord(const CommandLine& line);

}  // namespace vireo::app

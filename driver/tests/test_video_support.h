// Shared helpers of the video tests: scratch paths unique per test, running the ffmpeg and
// ffprobe command-line tools (tests that need them skip when they are absent), and images
// of known content.
#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vireo::test {

// A path under the scratch folder named after the running test and `suffix`.
inline std::string videoScratchPath(const std::string& suffix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::filesystem::path dir = std::filesystem::path(VIREO_TEST_SCRATCH_DIR) / "video";
    std::filesystem::create_directories(dir);
    const std::string name = std::string(info->test_suite_name()) + "_" + info->name() + "_" + suffix;
    const auto path = dir / name;
    std::filesystem::remove(path);
    return path.string();
}

// Runs `command` through the shell (its standard error discarded): whether it exited with
// status 0, and what it wrote to standard output.
struct CommandResult {
    bool ok = false;
    std::string output;
};

inline CommandResult runCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

inline bool haveTool(const std::string& tool) {
    return runCommand("command -v " + tool + " >/dev/null").ok;
}

// The output lines of a command.
inline std::vector<std::string> outputLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

// Entries of the first video stream as ffprobe reports them ("codec_name", "width",
// "time_base", ...), in one call; an entry ffprobe does not give is absent.
inline std::map<std::string, std::string> probeStream(const std::string& path, const std::string& entries) {
    const auto result = runCommand("ffprobe -v error -select_streams v:0 -show_entries stream=" + entries +
                                   " -of default=nw=1 '" + path + "'");
    std::map<std::string, std::string> values;
    for (const auto& line : outputLines(result.output)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

// The container's format names ("mov,mp4,m4a,..."), empty when ffprobe cannot read the file.
inline std::string probeFormat(const std::string& path) {
    const auto result = runCommand("ffprobe -v error -show_entries format=format_name -of default=nw=1:nk=1 '" +
                                   path + "'");
    const auto lines = outputLines(result.output);
    return result.ok && !lines.empty() ? lines.front() : std::string();
}

// The presentation times of the decoded frames of the first video stream, in the stream's
// time base, in display order.
inline std::vector<int64_t> probeFrameTimes(const std::string& path) {
    const auto result = runCommand("ffprobe -v error -select_streams v:0 -show_entries frame=pts"
                                   " -of csv=p=0 '" + path + "'");
    std::vector<int64_t> times;
    for (const auto& line : outputLines(result.output)) times.push_back(std::stoll(line));
    return times;
}

// A packed BGR24 image of `width` x `height` pixels, all of colour (b, g, r).
inline std::vector<uint8_t> flatImage(int width, int height, uint8_t b, uint8_t g, uint8_t r) {
    std::vector<uint8_t> image(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < image.size(); i += 3) {
        image[i] = b;
        image[i + 1] = g;
        image[i + 2] = r;
    }
    return image;
}

// The (b, g, r) bytes of pixel (x, y) of a packed BGR24 image `width` pixels wide.
struct Bgr {
    int b = 0, g = 0, r = 0;
};
inline Bgr pixelAt(const uint8_t* image, int width, int x, int y) {
    const uint8_t* p = image + (static_cast<size_t>(y) * width + x) * 3;
    return {p[0], p[1], p[2]};
}
inline bool near(const Bgr& got, const Bgr& want, int tolerance) {
    return std::abs(got.b - want.b) <= tolerance && std::abs(got.g - want.g) <= tolerance &&
           std::abs(got.r - want.r) <= tolerance;
}
inline std::string describe(const Bgr& c) {
    return "(" + std::to_string(c.b) + ", " + std::to_string(c.g) + ", " + std::to_string(c.r) + ")";
}

}  // namespace vireo::test

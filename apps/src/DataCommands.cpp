// The data commands' input checks and staged outputs (see DataCommands.h).
#include "DataCommands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "CommandLine.h"

namespace vireo::app {
namespace fs = std::filesystem;

uint64_t parseMicroseconds(const std::string& text, const char* what) {
    const double value = parseNumber(text, what);
    if (value < 0 || value != std::floor(value) || value > 1.8e19) {
        throw UsageError(std::string(what) + " must be a whole number of microseconds, not \"" + text + "\"");
    }
    return static_cast<uint64_t>(value);
}

const char* signalText(int signal) { return signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : "a signal"; }

void requireReadableFile(const std::string& path) {
    auto refuse = [&](const std::string& cause) {
        throw std::runtime_error("cannot open \"" + path + "\": " + cause);
    };
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) refuse(error ? error.message() : std::strerror(ENOENT));
    if (fs::is_directory(status)) refuse("it is a folder");
    if (!fs::is_regular_file(status)) refuse("it is not a regular file");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) refuse(std::strerror(errno));
    ::close(fd);
}

StagedOutput::StagedOutput(std::string path, const std::string& input) : path_(std::move(path)) {
    auto refuse = [&](const std::string& cause) {
        throw std::runtime_error("cannot write \"" + path_ + "\": " + cause);
    };
    std::error_code error;
    // A link keeps pointing where it points: the file it names is the one replaced.
    fs::path target = path_;
    if (fs::is_symlink(fs::symlink_status(target, error)) && fs::exists(target, error)) {
        target = fs::canonical(target, error);
        if (error) refuse(error.message());
    }
    const fs::file_status status = fs::status(target, error);
    if (fs::is_directory(status)) refuse("it is a folder");
    if (fs::exists(status) && fs::equivalent(target, input, error)) refuse("it is the recording being read");
    target_ = target.string();
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        // A device or a pipe cannot be renamed onto; there is no file to leave half-written.
        writePath_ = path_;
        return;
    }
    // Beside the output, so that the rename stays on one file system; hidden, unique to this
    // process, and with the output's extension, which chooses the video container.
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string name = ".";
    name.append(target.filename().string()).append(".").append(std::to_string(::getpid()));
    name.append(".part").append(target.extension().string());
    writePath_ = (folder / name).string();
    int fd = ::open(writePath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        // Left by an aborted command that had the same process id.
        ::unlink(writePath_.c_str());
        fd = ::open(writePath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    if (fd < 0) refuse(std::strerror(errno));
    ::close(fd);
    staged_ = true;
}

StagedOutput::~StagedOutput() {
    if (staged_) ::unlink(writePath_.c_str());
}

void StagedOutput::commit() {
    if (!staged_) return;
    staged_ = false;
    if (std::rename(writePath_.c_str(), target_.c_str()) != 0) {
        const std::string cause = std::strerror(errno);
        ::unlink(writePath_.c_str());
        throw std::runtime_error("cannot write \"" + path_ + "\": " + cause);
    }
}

}  // namespace vireo::app

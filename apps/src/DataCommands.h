// What the data commands (info, cut, video) share: their time arguments, the files they read
// and write, and the quiet they keep around the library's own log lines. A recording they
// read must be a regular file that can be read: a folder or a device opens like a file but
// is no recording. What they write goes to a temporary file beside the output and takes the
// output's name only once it is complete, so that a command that fails, or is stopped by
// Ctrl-C, leaves nothing half-written under that name.
#pragma once

#include <cstdint>
#include <string>

#include <vireo/Logger.h>

namespace vireo::app {

// Sets the logger's level while it lives: the commands report failures themselves, in one
// line each, so the library's lines about the same failure stay quiet.
class LogLevelScope {
public:
    explicit LogLevelScope(LogLevelType level) : saved_(Logger::Instance().getLogLevel()) {
        Logger::Instance().setLogLevel(level);
    }
    ~LogLevelScope() { Logger::Instance().setLogLevel(saved_); }
    LogLevelScope(const LogLevelScope&) = delete;
    LogLevelScope& operator=(const LogLevelScope&) = delete;

private:
    LogLevelType saved_;
};

// A time argument: a whole number of microseconds. UsageError naming `what` otherwise.
uint64_t parseMicroseconds(const std::string& text, const char* what);

// "SIGINT" or "SIGTERM", the signals that stop a command.
const char* signalText(int signal);

// Throws std::runtime_error "cannot open "PATH": <cause>" unless `path` names a regular
// file this process can read (a folder, a device, a missing or unreadable file is refused).
void requireReadableFile(const std::string& path);

// An output file written under a temporary name and renamed at the end.
class StagedOutput {
public:
    // Prepares to write `path`: creates an empty hidden file beside it, with the same
    // extension (".out.mp4.<pid>.part.mp4"), which the command writes. A link is followed:
    // the file it points to is replaced. A device or a pipe at `path` is written directly.
    // Throws std::runtime_error "cannot write "PATH": <cause>" when `path` is a folder or the
    // recording `input` itself, or when no file can be created beside it (a missing folder,
    // one that cannot be written, a path under a regular file).
    StagedOutput(std::string path, const std::string& input);
    // Removes the temporary file unless `commit` gave it its name.
    ~StagedOutput();
    StagedOutput(const StagedOutput&) = delete;
    StagedOutput& operator=(const StagedOutput&) = delete;

    // Where the command writes.
    const std::string& writePath() const { return writePath_; }
    // Gives the complete file the output's name (replacing what was there). Throws
    // std::runtime_error naming the output and the cause when that fails; the temporary
    // file is removed then.
    void commit();

private:
    std::string path_;       // the output's name, as given
    std::string target_;     // the file that takes the output's name (a link's target)
    std::string writePath_;  // the temporary file, or the output itself when written through
    bool staged_ = false;    // writePath_ is a temporary file of ours
};

}  // namespace vireo::app

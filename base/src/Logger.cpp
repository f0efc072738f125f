// Logger: printf-style calls become single console lines through spdlog.
//
// The write path of one call:
//   1. the level is compared with the floor first, so a dropped message costs nothing;
//   2. the text is formatted into a 1024-byte stack buffer (longer text is cut);
//   3. the buffer goes to spdlog as a finished message, never as a format string, so braces
//      in user text are printed as they stand;
//   4. spdlog filters by its own level and its sink serialises whole lines across threads.
#include <vireo/Logger.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "LoggerCore.h"

namespace vireo {
namespace {

constexpr const char* kLoggerName = "my_logger";
constexpr const char* kPattern = "[%H:%M:%S.%e] [%^%l%$] %v";
constexpr std::size_t kMessageBufferSize = 1024;

spdlog::level::level_enum backendLevel(int32_t level) {
    switch (level) {
        case LOG_TRACE: return spdlog::level::trace;
        case LOG_DEBUG: return spdlog::level::debug;
        case LOG_WARN: return spdlog::level::warn;
        case LOG_ERROR: return spdlog::level::err;
        case LOG_CRITICAL: return spdlog::level::critical;
        default: return spdlog::level::info;
    }
}

// The part of a path after its last '/' or '\'.
const char* baseName(const char* path) {
    if (path == nullptr) return "";
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    return base;
}

}  // namespace

LoggerCore::LoggerCore() {
    // An application may already have registered a logger under our name; share it then
    // rather than let spdlog throw on the duplicate.
    backend = spdlog::get(kLoggerName);
    if (!backend) {
        backend = spdlog::stdout_color_mt(kLoggerName, spdlog::color_mode::automatic);
    }
    backend->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        kPattern, spdlog::pattern_time_type::local));
    backend->set_level(spdlog::level::info);
    floor.store(LOG_INFO);
}

Logger& Logger::Instance() {
    static Logger instance;
    return instance;
}

Logger::Logger() : core(new LoggerCore()), level(LOG_INFO) {}

Logger::~Logger() { delete core; }

void Logger::log_(LogLevelType lvl, const char* file, int line, const char* format, ...) {
    if (static_cast<int32_t>(lvl) < core->floor.load(std::memory_order_relaxed)) return;

    char message[kMessageBufferSize];
    message[0] = '\0';
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(message, sizeof(message), format, args);
        va_end(args);
    }

    try {
        const spdlog::string_view_t text(message, std::strlen(message));
        if (lvl == LOG_TRACE || lvl == LOG_DEBUG) {
            core->backend->log(backendLevel(lvl), "[{}]:[{}]:{}", baseName(file), line, text);
        } else {
            core->backend->log(backendLevel(lvl), text);
        }
    } catch (...) {
        // Logging never throws into the caller (camera and record threads log too).
    }
}

void Logger::setLogLevel(LogLevelType lvl) {
    level = lvl;
    const bool known = lvl >= LOG_TRACE && lvl <= LOG_CRITICAL;
    // The floor follows the level so that asking for debug or trace lines gets them, and
    // higher levels are dropped before formatting. Unknown values behave as info.
    core->floor.store(known ? static_cast<int32_t>(lvl) : static_cast<int32_t>(LOG_INFO));
    core->backend->set_level(backendLevel(lvl));
}

LogLevelType Logger::getLogLevel() { return level; }

}  // namespace vireo

// The process-wide console logger of the kit. One instance, reached through
// Logger::Instance(), turns a printf-style call into one line on standard output:
//   [13:05:09.042] [info] Camera event stream start.
// Messages below the logger's floor are dropped before any formatting; messages are cut to
// 1023 characters; braces in a message are printed as they stand.
#pragma once

#include <vireo/SharedTypes.h>
#include <vireo/groundwork_export.h>

namespace vireo {

class LoggerCore;

class GROUNDWORK_EXPORT Logger {
public:
    // The one logger, constructed on first use (safe to call from several threads at once).
    static Logger& Instance();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Formats `format` with the arguments by printf rules and writes one line.
    // `file` and `line` name the call site; they appear only in trace and debug lines, as
    // "[<file base name>]:[<line>]:<message>". Levels 3, 4 and 5 print as warning, error
    // and critical; 2 and any level above 5 print as info; trace and debug lines are
    // written only once setLogLevel has asked for them.
    void log_(LogLevelType level, const char* file, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

    // Sets the lowest level written. LOG_TRACE and LOG_DEBUG also lower the floor below
    // which messages are dropped unformatted; a value outside 0..5 is stored as given
    // (getLogLevel returns it) and behaves as LOG_INFO.
    void setLogLevel(LogLevelType level);

    // The value last given to setLogLevel; LOG_INFO before any call.
    LogLevelType getLogLevel();

private:
    Logger();
    ~Logger();

    LoggerCore* core;
    LogLevelType level;
};

}  // namespace vireo

// Convenience macros that pass the caller's file and line.
#define VIREO_LOG(level, ...) ::vireo::Logger::Instance().log_((level), __FILE__, __LINE__, __VA_ARGS__)
#define VIREO_LOG_TRACE(...) VIREO_LOG(::vireo::LOG_TRACE, __VA_ARGS__)
#define VIREO_LOG_DEBUG(...) VIREO_LOG(::vireo::LOG_DEBUG, __VA_ARGS__)
#define VIREO_LOG_INFO(...) VIREO_LOG(::vireo::LOG_INFO, __VA_ARGS__)
#define VIREO_LOG_WARN(...) VIREO_LOG(::vireo::LOG_WARN, __VA_ARGS__)
#define VIREO_LOG_ERROR(...) VIREO_LOG(::vireo::LOG_ERROR, __VA_ARGS__)
#define VIREO_LOG_CRITICAL(...) VIREO_LOG(::vireo::LOG_CRITICAL, __VA_ARGS__)

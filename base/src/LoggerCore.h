// The logger's private half: the floor below which messages are dropped unformatted, and
// the spdlog logger that owns the coloured console sink and the line pattern.
#pragma once

#include <atomic>
#include <memory>

#include <spdlog/logger.h>

namespace vireo {

class LoggerCore {
public:
    LoggerCore();

    // Lowest level let through by Logger::log_; atomic because setLogLevel may move it
    // while other threads log.
    std::atomic<int32_t> floor{2};
    std::shared_ptr<spdlog::logger> backend;
};

}  // namespace vireo

// The bounds of the tests' waits. A wait's time-out only tells a hang from a slow run; a
// ThreadSanitizer build runs the same code many times slower, so there every bound is
// stretched (VIREO_TEST_TIME_SCALE, a whole number of at least 1, overrides the factor).
// Speed itself is measured by the benchmarks, never by these bounds.
#pragma once

#include <chrono>
#include <cstdlib>

namespace vireo::test {

inline long waitScale() {
    static const long scale = [] {
#if defined(__SANITIZE_THREAD__)
#define VIREO_TEST_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VIREO_TEST_THREAD_SANITIZER 1
#endif
#endif
#if defined(VIREO_TEST_THREAD_SANITIZER)
        long value = 5;
#else
        long value = 1;
#endif
        if (const char* text = std::getenv("VIREO_TEST_TIME_SCALE")) value = std::strtol(text, nullptr, 10);
        return value >= 1 ? value : 1;
    }();
    return scale;
}

// `timeout` stretched by the build's (or the environment's) factor.
inline std::chrono::milliseconds waitBound(std::chrono::milliseconds timeout) { return timeout * waitScale(); }

}  // namespace vireo::test

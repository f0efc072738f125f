// The console logger: exact line shape, level names and filtering, truncation, braces,
// the trace/debug line form, and whole lines under concurrent logging.
#include <vireo/Logger.h>

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <vireo/test/StdoutCapture.h>

namespace vireo {
namespace {

using test::StdoutCapture;

const std::string kTime = R"(\[\d{2}:\d{2}:\d{2}\.\d{3}\] )";

// Matches a whole line "[hh:mm:ss.mmm] [<level>] <message>".
::testing::AssertionResult isLine(const std::string& line, const std::string& level,
                                  const std::string& message) {
    if (line.size() < 15 || !std::regex_match(line.substr(0, 15), std::regex(kTime))) {
        return ::testing::AssertionFailure() << "bad time prefix in: " << line;
    }
    const std::string expected_rest = "[" + level + "] " + message;
    if (line.substr(15) != expected_rest) {
        return ::testing::AssertionFailure() << "line: " << line << "\nexpected rest: " << expected_rest;
    }
    return ::testing::AssertionSuccess();
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { logger().setLogLevel(LOG_INFO); }
    void TearDown() override { logger().setLogLevel(LOG_INFO); }
    static Logger& logger() { return Logger::Instance(); }
};

TEST_F(LoggerTest, InstanceIsOneObject) {
    EXPECT_EQ(&Logger::Instance(), &Logger::Instance());
}

TEST_F(LoggerTest, DefaultSettingsWriteInfoAndDropDebugAndTrace) {
    StdoutCapture capture;
    logger().log_(LOG_TRACE, "a.cpp", 1, "trace %d", 1);
    logger().log_(LOG_DEBUG, "a.cpp", 2, "debug %d", 2);
    logger().log_(LOG_INFO, "a.cpp", 3, "Camera event stream start.");
    logger().log_(static_cast<LogLevelType>(-3), "a.cpp", 4, "negative");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(isLine(lines[0], "info", "Camera event stream start."));
    EXPECT_EQ(logger().getLogLevel(), LOG_INFO);
}

TEST_F(LoggerTest, LevelNamesAndUnknownLevelPrintsAsInfo) {
    StdoutCapture capture;
    logger().log_(LOG_INFO, "f.cpp", 1, "i");
    logger().log_(LOG_WARN, "f.cpp", 1, "w");
    logger().log_(LOG_ERROR, "f.cpp", 1, "Tool not found");
    logger().log_(LOG_CRITICAL, "f.cpp", 1, "c");
    logger().log_(static_cast<LogLevelType>(9), "f.cpp", 1, "nine");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(isLine(lines[0], "info", "i"));
    EXPECT_TRUE(isLine(lines[1], "warning", "w"));
    EXPECT_TRUE(isLine(lines[2], "error", "Tool not found"));
    EXPECT_TRUE(isLine(lines[3], "critical", "c"));
    EXPECT_TRUE(isLine(lines[4], "info", "nine"));
}

TEST_F(LoggerTest, FileAndLineNeverShowAtInfoAndAbove) {
    StdoutCapture capture;
    logger().log_(LOG_INFO, "/deep/path/camera.cpp", 120, "Camera serial: %s", "A1");
    logger().log_(LOG_INFO, "C:\\src\\other.cpp", 7, "Camera serial: %s", "A1");
    logger().log_(LOG_INFO, nullptr, 0, "Camera serial: %s", "A1");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) EXPECT_TRUE(isLine(line, "info", "Camera serial: A1"));
}

TEST_F(LoggerTest, ErrorLevelDropsInfoAndWarning) {
    logger().setLogLevel(LOG_ERROR);
    EXPECT_EQ(logger().getLogLevel(), LOG_ERROR);
    StdoutCapture capture;
    logger().log_(LOG_INFO, "f.cpp", 1, "info");
    logger().log_(LOG_WARN, "f.cpp", 1, "warn");
    logger().log_(LOG_ERROR, "f.cpp", 1, "err");
    logger().log_(LOG_CRITICAL, "f.cpp", 1, "crit");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(isLine(lines[0], "error", "err"));
    EXPECT_TRUE(isLine(lines[1], "critical", "crit"));
}

TEST_F(LoggerTest, LevelOutsideTableIsKeptAndBehavesAsInfo) {
    logger().setLogLevel(LOG_ERROR);
    logger().setLogLevel(static_cast<LogLevelType>(7));
    EXPECT_EQ(static_cast<int>(logger().getLogLevel()), 7);
    StdoutCapture capture;
    logger().log_(LOG_DEBUG, "f.cpp", 1, "debug");
    logger().log_(LOG_INFO, "f.cpp", 1, "back");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(isLine(lines[0], "info", "back"));
}

TEST_F(LoggerTest, DebugAndTraceLinesCarryFileBaseNameAndLine) {
    logger().setLogLevel(LOG_TRACE);
    StdoutCapture capture;
    logger().log_(LOG_DEBUG, "/src/driver/DvsCamera.cpp", 42, "Camera serial: %s", "X9");
    logger().log_(LOG_TRACE, "C:\\src\\Reader.cpp", 7, "word {%d}", 3);
    logger().log_(LOG_DEBUG, "plain.cpp", 1, "plain");
    logger().log_(LOG_INFO, "plain.cpp", 1, "info still plain");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(isLine(lines[0], "debug", "[DvsCamera.cpp]:[42]:Camera serial: X9"));
    EXPECT_TRUE(isLine(lines[1], "trace", "[Reader.cpp]:[7]:word {3}"));
    EXPECT_TRUE(isLine(lines[2], "debug", "[plain.cpp]:[1]:plain"));
    EXPECT_TRUE(isLine(lines[3], "info", "info still plain"));

    logger().setLogLevel(LOG_DEBUG);
    StdoutCapture second;
    logger().log_(LOG_TRACE, "f.cpp", 1, "trace hidden at debug");
    logger().log_(LOG_DEBUG, "f.cpp", 2, "shown");
    const auto debug_lines = second.lines();
    ASSERT_EQ(debug_lines.size(), 1u);
    EXPECT_TRUE(isLine(debug_lines[0], "debug", "[f.cpp]:[2]:shown"));
}

// %n stores how many characters were formatted so far: it tells whether formatting ran.
TEST_F(LoggerTest, DroppedLevelsAreNeverFormatted) {
    int formatted = -1;
    {
        StdoutCapture capture;
        logger().log_(LOG_DEBUG, "f.cpp", 1, "abc%n", &formatted);
        EXPECT_TRUE(capture.finish().empty());
    }
    EXPECT_EQ(formatted, -1);

    logger().setLogLevel(LOG_ERROR);
    {
        StdoutCapture capture;
        logger().log_(LOG_WARN, "f.cpp", 1, "abc%n", &formatted);
        EXPECT_TRUE(capture.finish().empty());
    }
    EXPECT_EQ(formatted, -1);

    logger().setLogLevel(LOG_INFO);
    {
        StdoutCapture capture;
        logger().log_(LOG_INFO, "f.cpp", 1, "abc%n", &formatted);
        capture.finish();
    }
    EXPECT_EQ(formatted, 3);
}

TEST_F(LoggerTest, LongMessagesAreCutTo1023Characters) {
    const std::string long_text(3000, 'x');
    StdoutCapture capture;
    logger().log_(LOG_INFO, "f.cpp", 1, "%s", long_text.c_str());
    logger().log_(LOG_INFO, "f.cpp", 1, "%s", std::string(1023, 'y').c_str());
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(isLine(lines[0], "info", std::string(1023, 'x')));
    EXPECT_TRUE(isLine(lines[1], "info", std::string(1023, 'y')));
}

TEST_F(LoggerTest, BracesArePrintedAsTheyStand) {
    StdoutCapture capture;
    logger().log_(LOG_INFO, "f.cpp", 1, "config {} and {0} and {:>5}");
    logger().log_(LOG_ERROR, "f.cpp", 1, "%s", "{unbalanced");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(isLine(lines[0], "info", "config {} and {0} and {:>5}"));
    EXPECT_TRUE(isLine(lines[1], "error", "{unbalanced"));
}

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 300;
    StdoutCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string filler(60, static_cast<char>('a' + t));
            for (int i = 0; i < kLinesPerThread; ++i) {
                Logger::Instance().log_(LOG_INFO, "f.cpp", 1, "thread %d line %d %s", t, i,
                                        filler.c_str());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesPerThread));

    const std::regex shape(kTime + R"(\[info\] thread (\d) line (\d+) ([a-z]{60}))");
    std::map<int, int> next_line;
    for (const auto& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(m[3].str(), std::string(60, static_cast<char>('a' + t)));
        // Each thread's lines appear complete and in the order that thread wrote them.
        EXPECT_EQ(std::stoi(m[2]), next_line[t]++);
    }
}

}  // namespace
}  // namespace vireo

// Command-line parsing of the vireo tool: options, positionals and the errors users see.
#include "CommandLine.h"

#include <gtest/gtest.h>

namespace vireo::app {
namespace {

TEST(CommandLine, SeparatesPositionalsOptionsAndFlags) {
    const CommandLine line({"in.raw", "--start", "1.5", "out.mp4", "--force"}, {"start"}, {"force"});
    EXPECT_EQ(line.positionals(), (std::vector<std::string>{"in.raw", "out.mp4"}));
    EXPECT_EQ(line.option("start"), "1.5");
    EXPECT_EQ(line.numberOption("start"), 1.5);
    EXPECT_FALSE(line.option("end").has_value());
    EXPECT_TRUE(line.hasFlag("force"));
}

TEST(CommandLine, RejectsBadInputWithClearMessages) {
    EXPECT_THROW(CommandLine({"--bogus"}, {"start"}), UsageError);
    EXPECT_THROW(CommandLine({"--start"}, {"start"}), UsageError);
    const CommandLine line({"--start", "12abc"}, {"start"});
    try {
        line.numberOption("start");
        FAIL() << "a non-number was accepted";
    } catch (const UsageError& error) {
        EXPECT_STREQ(error.what(), "--start expects a number, got \"12abc\"");
    }
    EXPECT_THROW(parseNumber("", "x"), UsageError);
    EXPECT_THROW(parseNumber("inf", "x"), UsageError);
    EXPECT_THROW(CommandLine({"a", "b"}, {}).expectPositionals(1, 1, "tool A"), UsageError);
    EXPECT_NO_THROW(CommandLine({"a"}, {}).expectPositionals(1, 1, "tool A"));
}

}  // namespace
}  // namespace vireo::app

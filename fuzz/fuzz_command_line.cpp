// The vireo tool's argument parser on arbitrary arguments. Input layout: one byte choosing
// the option sets of one of the tool's commands, then the arguments separated by NUL bytes.
//
// Parsing either succeeds or throws UsageError; nothing else. A parse that succeeds accounts
// for every argument: each "--name" of a known option is consumed as a flag or with its
// value, everything else is a positional, in order. parseNumber takes only whole finite
// numbers and gives what strtod gives.
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "FuzzSupport.h"

namespace {

using namespace vireo::app;
using vireo::fuzz::check;

struct OptionSets {
    std::set<std::string> values;
    std::set<std::string> flags;
    bool shortOutput;
};

// The option sets the tool's commands parse with.
const OptionSets kCommands[] = {
    {{}, {}, false},                                              // cut, info, video, demo
    {{}, {"simulate"}, false},                                    // list, tools
    {{"duration", "camera", "cache"}, {"simulate", "fusion"}, false},  // record
    {{"target", "size", "spacing", "o", "dpi"}, {}, true},        // pattern
    {{"target", "size", "spacing", "window", "locator", "eps", "min-pts", "min-freq", "max-freq", "o"}, {}, true},  // calibrate
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const OptionSets& sets = kCommands[data[0] % (sizeof(kCommands) / sizeof(kCommands[0]))];
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (size > 1) args.push_back(current);
    const std::vector<std::string> given = sets.shortOutput ? expandOutputShortForm(args) : args;

    try {
        const CommandLine line(given, sets.values, sets.flags);
        // Walk the arguments the way the parser's contract describes and compare.
        size_t positional = 0;
        for (size_t i = 0; i < given.size(); ++i) {
            const std::string& arg = given[i];
            const bool option = arg.size() > 2 && arg.rfind("--", 0) == 0;
            if (!option) {
                check(positional < line.positionals().size() && line.positionals()[positional] == arg,
                      "a positional argument is lost or out of order");
                ++positional;
                continue;
            }
            const std::string name = arg.substr(2);
            if (sets.flags.count(name)) {
                check(line.hasFlag(name), "a flag given is not set");
            } else {
                check(sets.values.count(name) == 1, "an unknown option was accepted");
                check(i + 1 < given.size(), "an option without a value was accepted");
                ++i;
                const auto value = line.option(name);
                check(value.has_value(), "an option given has no value");
            }
        }
        check(positional == line.positionals().size(), "positionals that were never given");
        for (const std::string& name : sets.values) {
            if (const auto value = line.option(name)) {
                try {
                    const double number = parseNumber(*value, "--" + name);
                    check(std::isfinite(number), "a number that is not finite was accepted");
                    check(number == std::strtod(value->c_str(), nullptr), "a number parses to another value");
                    check(line.numberOption(name) == number, "numberOption disagrees with parseNumber");
                } catch (const UsageError&) {
                }
            }
        }
        try {
            line.expectPositionals(1, 2, "vireo fuzz");
            check(positional >= 1 && positional <= 2, "a positional count outside the range was accepted");
        } catch (const UsageError&) {
            check(positional < 1 || positional > 2, "a positional count inside the range was refused");
        }
    } catch (const UsageError&) {
    }
    return 0;
}

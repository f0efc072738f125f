// Command-line parsing shared by the subcommands of the vireo tool: positional arguments
// and "--name value" / "--flag" options, with clear errors for anything unexpected.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace vireo::app {

// Thrown for bad command-line input; main prints its message as one line and exits 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CommandLine {
public:
    // Splits `args` into positionals and options. `value_options` take the next argument as
    // their value; `flag_options` take none. Any other "--" argument is a UsageError.
    CommandLine(const std::vector<std::string>& args, const std::set<std::string>& value_options,
                const std::set<std::string>& flag_options = {});

    const std::vector<std::string>& positionals() const { return positionals_; }
    bool hasFlag(const std::string& name) const { return flags_.count(name) > 0; }
    std::optional<std::string> option(const std::string& name) const;

    // The option's value; UsageError naming the option and giving `usage` when it is absent.
    std::string requiredOption(const std::string& name, const std::string& usage) const;

    // The option as a number; UsageError naming the option when it is not one.
    std::optional<double> numberOption(const std::string& name) const;

    // Fails with a UsageError unless the positional count lies in [min_count, max_count].
    void expectPositionals(size_t min_count, size_t max_count, const std::string& usage) const;

private:
    std::vector<std::string> positionals_;
    std::map<std::string, std::string> values_;
    std::set<std::string> flags_;
};

// `args` with each "-o" written as "--o": the short form users expect for an output, for
// commands that take their output as the option "o".
std::vector<std::string> expandOutputShortForm(std::vector<std::string> args);

// Parses a whole decimal or floating-point number; UsageError naming `what` otherwise.
double parseNumber(const std::string& text, const std::string& what);

}  // namespace vireo::app

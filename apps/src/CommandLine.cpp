// Command-line parsing for the vireo tool.
#include "CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace vireo::app {

CommandLine::CommandLine(const std::vector<std::string>& args,
                         const std::set<std::string>& value_options,
                         const std::set<std::string>& flag_options) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() > 2 && arg.rfind("--", 0) == 0) {
            const std::string name = arg.substr(2);
            if (flag_options.count(name)) {
                flags_.insert(name);
            } else if (value_options.count(name)) {
                if (i + 1 >= args.size()) throw UsageError("option --" + name + " needs a value");
                values_[name] = args[++i];
            } else {
                throw UsageError("unknown option " + arg);
            }
        } else {
            positionals_.push_back(arg);
        }
    }
}

std::optional<std::string> CommandLine::option(const std::string& name) const {
    const auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

std::string CommandLine::requiredOption(const std::string& name, const std::string& usage) const {
    const auto value = option(name);
    if (!value) throw UsageError((name.size() > 1 ? "--" : "-") + name + " is required (usage: " + usage + ")");
    return *value;
}

std::optional<double> CommandLine::numberOption(const std::string& name) const {
    const auto text = option(name);
    if (!text) return std::nullopt;
    return parseNumber(*text, "--" + name);
}

void CommandLine::expectPositionals(size_t min_count, size_t max_count,
                                    const std::string& usage) const {
    if (positionals_.size() < min_count || positionals_.size() > max_count) {
        throw UsageError("usage: " + usage);
    }
}

std::vector<std::string> expandOutputShortForm(std::vector<std::string> args) {
    for (auto& arg : args) {
        if (arg == "-o") arg = "--o";
    }
    return args;
}

double parseNumber(const std::string& text, const std::string& what) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE ||
        !std::isfinite(value)) {
        throw UsageError(what + " expects a number, got \"" + text + "\"");
    }
    return value;
}

}  // namespace vireo::app

// Parsing of raw event stream format texts such as "EVT3;height=720;width=1280".
#include <vireo/RawEventStreamFormat.h>

#include <charconv>
#include <stdexcept>
#include <string_view>

namespace vireo {
namespace {

std::string_view trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

[[noreturn]] void fail(const std::string& text, const std::string& why) {
    throw std::invalid_argument("RawEventStreamFormat: " + why + " in \"" + text + "\"");
}

std::optional<uint32_t> positiveDimension(const std::string& text,
                                          const std::map<std::string, std::string>& options,
                                          const std::string& key) {
    const auto it = options.find(key);
    if (it == options.end()) return std::nullopt;
    const std::string& value = it->second;
    uint32_t parsed = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    if (ec != std::errc() || end != value.data() + value.size() || parsed == 0) {
        fail(text, key + " must be a positive integer, got '" + value + "'");
    }
    return parsed;
}

}  // namespace

RawEventStreamFormat::RawEventStreamFormat(const char* text)
    : RawEventStreamFormat(std::string(text ? text : "")) {}

RawEventStreamFormat::RawEventStreamFormat(const std::string& text) : text_(text) {
    std::string_view rest(text_);
    bool first = true;
    while (true) {
        const size_t cut = rest.find(';');
        const std::string_view piece = trim(rest.substr(0, cut));
        if (first) {
            if (piece.empty()) fail(text_, "empty format name");
            name_ = std::string(piece);
            first = false;
        } else if (!piece.empty()) {
            const size_t eq = piece.find('=');
            if (eq == std::string_view::npos) fail(text_, "piece '" + std::string(piece) + "' has no '='");
            const std::string_view key = trim(piece.substr(0, eq));
            if (key.empty()) fail(text_, "piece '" + std::string(piece) + "' has an empty key");
            options_[std::string(key)] = std::string(trim(piece.substr(eq + 1)));
        }
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    width_ = positiveDimension(text_, options_, "width");
    height_ = positiveDimension(text_, options_, "height");
}

std::optional<std::string> RawEventStreamFormat::get(const std::string& key) const {
    const auto it = options_.find(key);
    if (it == options_.end()) return std::nullopt;
    return it->second;
}

}  // namespace vireo

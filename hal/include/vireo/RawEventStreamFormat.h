// The description of a raw event stream as a camera or a RAW file gives it, for example
// "EVT3;height=720;width=1280": the format name, then `key=value` pieces separated by ';'.
// `DecoderFactory` reads it to pick a decoder.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <vireo/hal_export.h>

namespace vireo {

class HAL_EXPORT RawEventStreamFormat {
public:
    // Parses `text`. Blanks around the name, keys and values are ignored; later duplicates of
    // a key replace earlier ones; empty pieces (";;", a trailing ';') are skipped. Throws
    // std::invalid_argument naming the text when the format name is empty, a piece has no
    // '=' or an empty key, or "width"/"height" is present but not a positive integer.
    RawEventStreamFormat(const std::string& text);  // NOLINT: implicit from text on purpose
    RawEventStreamFormat(const char* text);         // NOLINT

    // The format name as written, e.g. "EVT3".
    const std::string& name() const { return name_; }
    // The text the format was parsed from.
    const std::string& toString() const { return text_; }
    // Every key=value piece, by key.
    const std::map<std::string, std::string>& options() const { return options_; }
    // The value of `key`, or std::nullopt when the text has no such piece.
    std::optional<std::string> get(const std::string& key) const;
    // The "width" / "height" pieces in pixels, or std::nullopt when absent.
    std::optional<uint32_t> width() const { return width_; }
    std::optional<uint32_t> height() const { return height_; }

private:
    std::string text_;
    std::string name_;
    std::map<std::string, std::string> options_;
    std::optional<uint32_t> width_;
    std::optional<uint32_t> height_;
};

}  // namespace vireo

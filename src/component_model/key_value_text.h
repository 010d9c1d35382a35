// The "Key=Value" line format of property files and registry records.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarselctl {

/// One line per entry, ended by LF. In keys and values a backslash is written "\\", CR "\r"
/// and LF "\n"; in keys "=" is written "\=", so the first bare "=" ends the key. Text is
/// UTF-8 and passes through byte for byte otherwise.
std::string FormatKeyValueLine(std::string_view key, std::string_view value);

/// Entries of a whole text in file order. Empty lines are skipped and a CR before the LF is
/// dropped (an editor may have added it). Throws std::runtime_error naming the line for a
/// line without "=" or with an unknown escape.
std::vector<std::pair<std::string, std::string>> ParseKeyValueText(std::string_view text);

}  // namespace tarselctl

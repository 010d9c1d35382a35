#include "component_model/key_value_text.h"

#include <stdexcept>

namespace tarselctl {

namespace {

void Escape(std::string& out, std::string_view text, bool isKey) {
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '=':
                if (isKey) {
                    out += "\\=";
                    break;
                }
                [[fallthrough]];
            default: out.push_back(c);
        }
    }
}

[[noreturn]] void Malformed(std::size_t lineNumber, const char* why) {
    throw std::runtime_error("line " + std::to_string(lineNumber) + ": " + why);
}

}  // namespace

std::string FormatKeyValueLine(std::string_view key, std::string_view value) {
    std::string line;
    line.reserve(key.size() + value.size() + 2);
    Escape(line, key, true);
    line.push_back('=');
    Escape(line, value, false);
    line.push_back('\n');
    return line;
}

std::vector<std::pair<std::string, std::string>> ParseKeyValueText(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> entries;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;

        std::string key, value;
        std::string* target = &key;
        bool haveSeparator = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '\\') {
                if (++i == line.size()) Malformed(lineNumber, "backslash at the end of the line");
                switch (line[i]) {
                    case '\\': target->push_back('\\'); break;
                    case 'r': target->push_back('\r'); break;
                    case 'n': target->push_back('\n'); break;
                    case '=': target->push_back('='); break;
                    default: Malformed(lineNumber, "unknown escape");
                }
            } else if (c == '=' && !haveSeparator) {
                haveSeparator = true;
                target = &value;
            } else {
                target->push_back(c);
            }
        }
        if (!haveSeparator) Malformed(lineNumber, "no '=' after the key");
        entries.emplace_back(std::move(key), std::move(value));
    }
    return entries;
}

}  // namespace tarselctl

#include "remote_listing.h"

#include "ascii_case.h"

#include <array>
#include <cctype>
#include <limits>

namespace tarselftp {

namespace {

bool IsDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// A decimal size; nullopt for anything but digits, and for a value past 64 bits instead of a
// wrapped one that would make mirror take a huge file for a small one.
std::optional<std::uint64_t> ParseSize(std::string_view s) {
    if (!IsDigits(s)) return std::nullopt;
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (char c : s) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kMax - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string_view WithoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    return line;
}

bool IsMonth(std::string_view s) {
    static constexpr std::array<std::string_view, 12> kMonths = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    for (auto month : kMonths)
        if (EqualsIgnoreCase(s, month)) return true;
    return false;
}

bool IsDay(std::string_view s) { return s.size() <= 2 && IsDigits(s); }

// "12:00", "9:05" or a year "2020".
bool IsTimeOrYear(std::string_view s) {
    if (s.size() == 4 && IsDigits(s)) return true;
    const auto colon = s.find(':');
    if (colon == std::string_view::npos) return false;
    const auto hours = s.substr(0, colon), minutes = s.substr(colon + 1);
    return hours.size() <= 2 && IsDigits(hours) && minutes.size() == 2 && IsDigits(minutes);
}

// The mode column: a type letter and nine permission letters, perhaps followed by an ACL or
// extended-attribute mark ('+', '@', '.').
std::optional<RemoteEntry::Kind> KindFromMode(std::string_view mode) {
    if (mode.size() < 10 || mode.size() > 11) return std::nullopt;
    for (char c : mode.substr(1, 9))
        if (std::string_view("rwxsStTlL-").find(c) == std::string_view::npos) return std::nullopt;
    if (mode.size() == 11 && std::string_view("+@.").find(mode[10]) == std::string_view::npos)
        return std::nullopt;
    switch (mode[0]) {
        case '-': return RemoteEntry::Kind::File;
        case 'd': return RemoteEntry::Kind::Directory;
        case 'l': return RemoteEntry::Kind::Link;
        case 'b': case 'c': case 'p': case 's': case 'D': return RemoteEntry::Kind::Other;
        default: return std::nullopt;
    }
}

struct Token {
    std::string_view text;
    std::size_t end;  // offset just past the token in the line
};

}  // namespace

std::optional<RemoteEntry> ParseUnixListLine(std::string_view line) {
    line = WithoutLineEnd(line);
    // mode, links, owner, [group], size, month, day, time: the name starts after at most
    // nine columns, so only those are split and a long hostile line costs one pass.
    constexpr std::size_t kMaxColumns = 9;
    std::array<Token, kMaxColumns> tokens{};
    std::size_t count = 0, pos = 0;
    while (count < kMaxColumns) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        if (pos == line.size()) break;
        const std::size_t start = pos;
        while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
        tokens[count++] = {line.substr(start, pos - start), pos};
    }
    if (count < 2) return std::nullopt;  // blank, "total N", or nothing readable
    const auto kind = KindFromMode(tokens[0].text);
    if (!kind) return std::nullopt;

    // The month column is found by its shape: size before it, day and time after. With
    // the group column it is the sixth column, without it the fifth.
    for (std::size_t m = 3; m + 2 < count; ++m) {
        if (!IsDigits(tokens[m - 1].text) || !IsMonth(tokens[m].text) ||
            !IsDay(tokens[m + 1].text) || !IsTimeOrYear(tokens[m + 2].text))
            continue;
        // One blank separates the time from the name; any further blanks are the name's.
        std::size_t nameStart = tokens[m + 2].end;
        if (nameStart < line.size()) ++nameStart;
        std::string_view name = line.substr(nameStart);
        if (*kind == RemoteEntry::Kind::Link) {
            const auto arrow = name.find(" -> ");
            if (arrow != std::string_view::npos) name = name.substr(0, arrow);
        }
        if (name.empty() || name == "." || name == "..") return std::nullopt;
        RemoteEntry entry;
        entry.name = std::string(name);
        entry.kind = *kind;
        // A device's "major, minor" pair is no size.
        if (*kind != RemoteEntry::Kind::Other) entry.size = ParseSize(tokens[m - 1].text);
        return entry;
    }
    return std::nullopt;
}

std::optional<RemoteEntry> ParseMlsdLine(std::string_view line) {
    line = WithoutLineEnd(line);
    // Fact values hold no blank, so the first blank ends the facts and the rest, blanks
    // and ';' included, is the name.
    const auto blank = line.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    std::string_view facts = line.substr(0, blank);
    const std::string_view name = line.substr(blank + 1);
    if (name.empty()) return std::nullopt;

    RemoteEntry entry;
    entry.name = std::string(name);
    while (!facts.empty()) {
        const auto semicolon = facts.find(';');
        const std::string_view fact = facts.substr(0, semicolon);
        facts = semicolon == std::string_view::npos ? std::string_view() : facts.substr(semicolon + 1);
        const auto equals = fact.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = fact.substr(0, equals), value = fact.substr(equals + 1);
        if (EqualsIgnoreCase(key, "type")) {
            if (EqualsIgnoreCase(value, "cdir") || EqualsIgnoreCase(value, "pdir")) return std::nullopt;
            if (EqualsIgnoreCase(value, "file")) entry.kind = RemoteEntry::Kind::File;
            else if (EqualsIgnoreCase(value, "dir")) entry.kind = RemoteEntry::Kind::Directory;
            else if (StartsWithIgnoreCase(value, "OS.unix=slink") ||
                     StartsWithIgnoreCase(value, "OS.unix=symlink"))
                entry.kind = RemoteEntry::Kind::Link;
            else entry.kind = RemoteEntry::Kind::Other;
        } else if (EqualsIgnoreCase(key, "size")) {
            entry.size = ParseSize(value);
        }
    }
    return entry;
}

bool IsSafeEntryName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || byte < 0x20 || byte == 0x7F) return false;
    }
    return true;
}

}  // namespace tarselftp

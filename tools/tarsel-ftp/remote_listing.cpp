#include "remote_listing.h"

#include <cctype>
#include <ctime>

namespace tarselftp {

std::optional<RemoteEntry> ParseRemoteListingLine(std::string_view line, bool mlsd, std::int64_t now) {
    tarselctl::ListingParseOptions options;
    // An MLSD reply is facts only: a line that happens to look like ls output is still read
    // as facts, so a hostile name cannot pass for another entry.
    options.format = mlsd ? tarselctl::ListingFormat::Mlsd : tarselctl::ListingFormat::Auto;
    options.now = now;
    return tarselctl::ParseListingLine(line, options);
}

std::vector<RemoteEntry> ParseRemoteListing(const std::vector<std::string>& lines, bool mlsd,
                                            std::size_t* unreadable) {
    std::vector<RemoteEntry> entries;
    const std::int64_t now = std::time(nullptr);
    for (const std::string& line : lines) {
        if (auto entry = ParseRemoteListingLine(line, mlsd, now)) entries.push_back(std::move(*entry));
        else if (unreadable && !NamesNoEntry(line)) ++*unreadable;
    }
    return entries;
}

bool NamesNoEntry(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty()) return true;
    std::string lower(line);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.rfind("total", 0) == 0 && lower.find_first_not_of(" 0123456789", 5) == std::string::npos) return true;
    if (lower.size() >= 2 && (lower.ends_with(" .") || lower.ends_with(" ..") || lower == "." || lower == ".."))
        return true;
    // MLSD: the facts end at the first blank, the name follows it.
    const std::string facts = lower.substr(0, lower.find(' '));
    return facts.find("type=cdir") != std::string::npos || facts.find("type=pdir") != std::string::npos;
}

bool HasExactTime(const RemoteEntry& entry) {
    return entry.modified && entry.modifiedPrecision == tarselctl::ListingTimePrecision::Second;
}

bool IsSafeEntryName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || byte < 0x20 || byte == 0x7F) return false;
    }
    return true;
}

std::optional<std::string> QuotedDirectory(std::string_view text) {
    const auto open = text.find('"');
    if (open == std::string_view::npos) return std::nullopt;
    std::string dir;
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] != '"') {
            dir += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
            dir += '"';
            ++i;
        } else {
            return dir;
        }
    }
    return std::nullopt;
}

}  // namespace tarselftp

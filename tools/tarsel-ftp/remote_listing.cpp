#include "remote_listing.h"

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

std::vector<RemoteEntry> ParseRemoteListing(const std::vector<std::string>& lines, bool mlsd) {
    std::vector<RemoteEntry> entries;
    const std::int64_t now = std::time(nullptr);
    for (const std::string& line : lines)
        if (auto entry = ParseRemoteListingLine(line, mlsd, now)) entries.push_back(std::move(*entry));
    return entries;
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

}  // namespace tarselftp

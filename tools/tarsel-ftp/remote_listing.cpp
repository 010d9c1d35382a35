#include "remote_listing.h"

namespace tarselftp {

std::optional<RemoteEntry> ParseRemoteListingLine(std::string_view line, bool mlsd, std::int64_t now) {
    tarselctl::ListingParseOptions options;
    // An MLSD reply is facts only: a line that happens to look like ls output is still read
    // as facts, so a hostile name cannot pass for another entry.
    options.format = mlsd ? tarselctl::ListingFormat::Mlsd : tarselctl::ListingFormat::Auto;
    options.now = now;
    return tarselctl::ParseListingLine(line, options);
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

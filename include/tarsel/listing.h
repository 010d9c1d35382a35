// Lines of a directory listing (the text of DirData) read into entries. Pure text
// processing: no socket, no file, no clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

/// What an entry is. Unknown: the line does not say (an MLSD line without a type fact).
enum class ListingEntryType { Unknown, File, Directory, Link, Device, Other };

/// How exact a listed modification time is.
enum class ListingTimePrecision {
    /// Seconds, in UTC (an MLSD/MLST "modify" fact).
    Second,
    /// Hour and minute on the server's clock, whose zone the listing does not give; the
    /// year is inferred (ls shows none for recent files). Taken as if it were UTC.
    Minute,
    /// A day only ("Jan 01 2020"), on the server's clock; taken as midnight UTC.
    Day,
};

/// One entry of a listing. Every optional is empty when the line does not tell it.
template <typename Char>
struct BasicListingEntry {
    std::basic_string<Char> name;
    ListingEntryType type = ListingEntryType::Unknown;
    /// Bytes; a device's "major, minor" pair and sizes beyond 64 bits give none.
    std::optional<std::uint64_t> size;
    /// Seconds since 1970-01-01 00:00:00 UTC, as exact as modifiedPrecision says.
    std::optional<std::int64_t> modified;
    ListingTimePrecision modifiedPrecision = ListingTimePrecision::Second;
    /// Unix permission bits (07777) from an ls mode column or an MLSD UNIX.mode fact.
    std::optional<std::uint32_t> mode;
    /// The MLSD "perm" fact as sent ("adfrw"): what the server lets this user do.
    std::optional<std::basic_string<Char>> permissions;
    /// The MLSD "unique" fact: the same value names the same file under any path.
    std::optional<std::basic_string<Char>> unique;
    /// Where a link points ("name -> target" of ls, "OS.unix=slink:target" of MLSD).
    std::optional<std::basic_string<Char>> linkTarget;
};

/// Entries as hosts receive listing lines (DirData text).
using ListingEntry = BasicListingEntry<char16_t>;
/// Entries of lines held as UTF-8 bytes.
using ListingEntryUtf8 = BasicListingEntry<char>;

/// Which form a line is read in. Auto tells them apart by shape: MLSD facts
/// ("type=file;... name"), a Unix mode column ("-rw-r--r--"), or an MS-DOS date ("12-08-26").
enum class ListingFormat { Auto, Unix, MsDos, Mlsd };

struct TARSEL_API ListingParseOptions {
    ListingFormat format = ListingFormat::Auto;
    /// The present time (seconds since 1970, UTC) that the year of a Unix line showing
    /// "Mon DD HH:MM" is inferred from: the latest year that puts the date no more than a
    /// day after it. Without it such lines give no modification time.
    std::optional<std::int64_t> now;
};

/// One listing line (a trailing CR/LF is ignored). Empty for lines that name no entry:
/// blank lines, "total N", unreadable lines, "." and "..", and MLSD's cdir and pdir.
/// Unix forms: with or without the group column, "HH:MM" or a year, names with blanks,
/// links with their target, devices. MS-DOS/IIS form: "12-08-26  09:15PM  <DIR>  name" or
/// with a size in place of <DIR>. MLSD and MLST facts: type, size, modify, perm, unique,
/// UNIX.mode, matched without regard to case (RFC 3659). Each call costs one pass over
/// the line.
TARSEL_API std::optional<ListingEntry> ParseListingLine(std::u16string_view line,
                                             const ListingParseOptions& options = {});
/// The same for a line held as UTF-8 (or any ASCII-compatible) bytes.
TARSEL_API std::optional<ListingEntryUtf8> ParseListingLine(std::string_view line,
                                                 const ListingParseOptions& options = {});

/// Seconds since 1970 (UTC) of a calendar date and time; empty for a day or time out of
/// range (month 1-12, the day within its month, 0-23, 0-59, 0-60 for a leap second).
TARSEL_API std::optional<std::int64_t> UtcSeconds(int year, int month, int day, int hour, int minute, int second);

}  // namespace tarselctl

TARSEL_API_END

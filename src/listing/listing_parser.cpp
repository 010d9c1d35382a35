// Listing lines of the three forms servers send (Unix ls -l, MS-DOS/IIS, MLSD facts) read
// into one entry type. Every byte is the server's: columns are bounded, numbers checked for
// overflow, and a line of any length costs one pass.
#include <tarsel/listing.h>

#include <array>
#include <limits>

namespace tarselctl {

namespace {

template <typename Char>
using View = std::basic_string_view<Char>;

template <typename Char>
bool IsBlank(Char c) { return c == Char(' ') || c == Char('\t'); }

template <typename Char>
bool IsDigit(Char c) { return c >= Char('0') && c <= Char('9'); }

template <typename Char>
bool IsDigits(View<Char> s) {
    if (s.empty()) return false;
    for (Char c : s)
        if (!IsDigit(c)) return false;
    return true;
}

template <typename Char>
Char LowerAscii(Char c) { return c >= Char('A') && c <= Char('Z') ? Char(c - 'A' + 'a') : c; }

// `ascii` is lower case.
template <typename Char>
bool EqualsIgnoreCase(View<Char> text, std::string_view ascii) {
    if (text.size() != ascii.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (LowerAscii(text[i]) != Char(static_cast<unsigned char>(ascii[i]))) return false;
    return true;
}

template <typename Char>
bool StartsWithIgnoreCase(View<Char> text, std::string_view ascii) {
    return text.size() >= ascii.size() && EqualsIgnoreCase(text.substr(0, ascii.size()), ascii);
}

// A decimal number; empty for anything but digits, and for a value past 64 bits instead of
// a wrapped one that would make a huge file look small.
template <typename Char>
std::optional<std::uint64_t> ParseNumber(View<Char> s) {
    if (!IsDigits(s)) return std::nullopt;
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (Char c : s) {
        const auto digit = static_cast<std::uint64_t>(c - Char('0'));
        if (value > (kMax - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// A fixed-width field of digits, for dates: "2020", "09".
template <typename Char>
std::optional<int> FixedNumber(View<Char> s, std::size_t width) {
    if (s.size() != width || !IsDigits(s)) return std::nullopt;
    int value = 0;
    for (Char c : s) value = value * 10 + static_cast<int>(c - Char('0'));
    return value;
}

template <typename Char>
View<Char> WithoutLineEnd(View<Char> line) {
    while (!line.empty() && (line.back() == Char('\r') || line.back() == Char('\n'))) line.remove_suffix(1);
    return line;
}

template <typename Char>
std::basic_string<Char> Text(View<Char> s) { return std::basic_string<Char>(s); }

constexpr std::int64_t kSecondsPerDay = 86400;

// ---- Unix ls -l

template <typename Char>
std::optional<int> MonthNumber(View<Char> s) {
    static constexpr std::array<std::string_view, 12> kMonths = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    for (std::size_t i = 0; i < kMonths.size(); ++i)
        if (EqualsIgnoreCase(s, kMonths[i])) return static_cast<int>(i) + 1;
    return std::nullopt;
}

template <typename Char>
bool IsDay(View<Char> s) { return !s.empty() && s.size() <= 2 && IsDigits(s); }

// "12:00", "9:05" or a year "2020": hour, minute or year.
struct TimeColumn {
    std::optional<int> year;
    int hour = 0;
    int minute = 0;
};

template <typename Char>
std::optional<TimeColumn> ReadTimeOrYear(View<Char> s) {
    if (s.size() == 4 && IsDigits(s)) return TimeColumn{FixedNumber(s, 4), 0, 0};
    const auto colon = s.find(Char(':'));
    if (colon == View<Char>::npos) return std::nullopt;
    const View<Char> hours = s.substr(0, colon), minutes = s.substr(colon + 1);
    if (hours.empty() || hours.size() > 2 || !IsDigits(hours)) return std::nullopt;
    const auto minute = FixedNumber(minutes, 2);
    if (!minute) return std::nullopt;
    return TimeColumn{std::nullopt, *FixedNumber(hours, hours.size()), *minute};
}

// The mode column: a type letter and nine permission letters, perhaps followed by an ACL or
// extended-attribute mark ('+', '@', '.').
struct ModeColumn {
    ListingEntryType type;
    std::uint32_t bits;
};

template <typename Char>
std::optional<ModeColumn> ReadMode(View<Char> mode) {
    if (mode.size() < 10 || mode.size() > 11) return std::nullopt;
    if (mode.size() == 11 && mode[10] != Char('+') && mode[10] != Char('@') && mode[10] != Char('.'))
        return std::nullopt;
    ModeColumn column{};
    switch (static_cast<char32_t>(mode[0])) {
    case U'-': column.type = ListingEntryType::File; break;
    case U'd': column.type = ListingEntryType::Directory; break;
    case U'l': column.type = ListingEntryType::Link; break;
    case U'b': case U'c': column.type = ListingEntryType::Device; break;
    case U'p': case U's': case U'D': column.type = ListingEntryType::Other; break;
    default: return std::nullopt;
    }
    // Three triples of read, write and execute; the execute letter also carries set-id
    // ('s' with execute, 'S' without) and sticky ('t', 'T') bits, 'l' mandatory locking.
    static constexpr std::array<std::uint32_t, 3> kSpecial = {04000, 02000, 01000};
    for (int triple = 0; triple < 3; ++triple) {
        const int shift = 6 - 3 * triple;
        const Char r = mode[1 + 3 * triple], w = mode[2 + 3 * triple], x = mode[3 + 3 * triple];
        if (r == Char('r')) column.bits |= 4u << shift;
        else if (r != Char('-')) return std::nullopt;
        if (w == Char('w')) column.bits |= 2u << shift;
        else if (w != Char('-')) return std::nullopt;
        const std::uint32_t special = kSpecial[static_cast<std::size_t>(triple)];
        const Char withExecute = triple < 2 ? Char('s') : Char('t');
        const Char withoutExecute = triple < 2 ? Char('S') : Char('T');
        if (x == Char('x')) column.bits |= 1u << shift;
        else if (x == withExecute) column.bits |= (1u << shift) | special;
        else if (x == withoutExecute) column.bits |= special;
        // Mandatory locking shows as set-group-id without group execute.
        else if (triple == 1 && (x == Char('l') || x == Char('L'))) column.bits |= special;
        else if (x != Char('-')) return std::nullopt;
    }
    return column;
}

template <typename Char>
struct Token {
    View<Char> text;
    std::size_t end;  // offset just past the token in the line
};

// A date of a year-less line lies in the past, give or take a day of clock and zone skew:
// the latest year that does not put it further ahead of `now`.
std::optional<std::int64_t> InferYear(int month, int day, int hour, int minute, std::int64_t now) {
    const std::int64_t days = now >= 0 ? now / kSecondsPerDay : (now - kSecondsPerDay + 1) / kSecondsPerDay;
    // The civil year of `now`, from its day count (1970 + 400-year cycles of 146097 days).
    std::int64_t year = 1970 + days * 400 / 146097;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto start = UtcSeconds(static_cast<int>(year + 1), 1, 1, 0, 0, 0);
        if (start && *start <= now) ++year;
        else break;
    }
    while (year > 1) {
        const auto start = UtcSeconds(static_cast<int>(year), 1, 1, 0, 0, 0);
        if (start && *start > now) --year;
        else break;
    }
    for (std::int64_t y = year; y >= year - 4; --y) {
        const auto when = UtcSeconds(static_cast<int>(y), month, day, hour, minute, 0);
        // Feb 29 is only in leap years: look further back.
        if (when && *when <= now + kSecondsPerDay) return when;
    }
    return std::nullopt;
}

template <typename Char>
std::optional<BasicListingEntry<Char>> ParseUnix(View<Char> line, const ListingParseOptions& options) {
    // mode, links, owner, [group], size, month, day, time: the name starts after at most
    // nine columns, so only those are split.
    constexpr std::size_t kMaxColumns = 9;
    std::array<Token<Char>, kMaxColumns> tokens{};
    std::size_t count = 0, pos = 0;
    while (count < kMaxColumns) {
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        if (pos == line.size()) break;
        const std::size_t start = pos;
        while (pos < line.size() && !IsBlank(line[pos])) ++pos;
        tokens[count++] = {line.substr(start, pos - start), pos};
    }
    if (count < 2) return std::nullopt;
    const auto mode = ReadMode(tokens[0].text);
    if (!mode) return std::nullopt;

    // The month column is found by its shape: size before it, day and time after. With
    // the group column it is the sixth column, without it the fifth.
    for (std::size_t m = 3; m + 2 < count; ++m) {
        const auto month = MonthNumber(tokens[m].text);
        if (!IsDigits(tokens[m - 1].text) || !month || !IsDay(tokens[m + 1].text)) continue;
        const auto time = ReadTimeOrYear(tokens[m + 2].text);
        if (!time) continue;
        // One blank separates the time from the name; any further blanks are the name's.
        std::size_t nameStart = tokens[m + 2].end;
        if (nameStart < line.size()) ++nameStart;
        View<Char> name = line.substr(nameStart);
        BasicListingEntry<Char> entry;
        if (mode->type == ListingEntryType::Link) {
            static constexpr Char kArrow[] = {Char(' '), Char('-'), Char('>'), Char(' ')};
            const auto arrow = name.find(View<Char>(kArrow, 4));
            if (arrow != View<Char>::npos) {
                entry.linkTarget = Text(name.substr(arrow + 4));
                name = name.substr(0, arrow);
            }
        }
        if (name.empty()) return std::nullopt;
        if (name.size() <= 2 && name.find_first_not_of(Char('.')) == View<Char>::npos) return std::nullopt;
        entry.name = Text(name);
        entry.type = mode->type;
        entry.mode = mode->bits;
        // A device's "major, minor" pair is no size.
        if (mode->type != ListingEntryType::Device) entry.size = ParseNumber(tokens[m - 1].text);
        const int day = *FixedNumber(tokens[m + 1].text, tokens[m + 1].text.size());
        if (time->year) {
            entry.modified = UtcSeconds(*time->year, *month, day, 0, 0, 0);
            entry.modifiedPrecision = ListingTimePrecision::Day;
        } else if (options.now) {
            entry.modified = InferYear(*month, day, time->hour, time->minute, *options.now);
            entry.modifiedPrecision = ListingTimePrecision::Minute;
        }
        return entry;
    }
    return std::nullopt;
}

// ---- MS-DOS / IIS: "12-08-26  09:15PM  <DIR>  name", "01-01-2020  12:00  1234 name"

template <typename Char>
std::optional<BasicListingEntry<Char>> ParseMsDos(View<Char> line) {
    std::size_t pos = 0;
    auto next = [&]() -> View<Char> {
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        const std::size_t start = pos;
        while (pos < line.size() && !IsBlank(line[pos])) ++pos;
        return line.substr(start, pos - start);
    };
    const View<Char> date = next(), clock = next(), sizeOrDir = next();
    if (sizeOrDir.empty()) return std::nullopt;
    // MM-DD-YY or MM-DD-YYYY.
    if (date.size() != 8 && date.size() != 10) return std::nullopt;
    if (date[2] != Char('-') || date[5] != Char('-')) return std::nullopt;
    const auto month = FixedNumber(date.substr(0, 2), 2), day = FixedNumber(date.substr(3, 2), 2);
    auto year = FixedNumber(date.substr(6), date.size() - 6);
    if (!month || !day || !year) return std::nullopt;
    // Two-digit years: the window Windows itself uses for them.
    if (date.size() == 8) *year += *year < 70 ? 2000 : 1900;
    // HH:MM with AM/PM, or 24-hour HH:MM.
    View<Char> hm = clock;
    std::optional<bool> pm;
    if (hm.size() >= 2 && (EqualsIgnoreCase(hm.substr(hm.size() - 2), "am") ||
                           EqualsIgnoreCase(hm.substr(hm.size() - 2), "pm"))) {
        pm = LowerAscii(hm[hm.size() - 2]) == Char('p');
        hm.remove_suffix(2);
    }
    const auto time = ReadTimeOrYear(hm);
    if (!time || time->year) return std::nullopt;
    int hour = time->hour;
    if (pm) {
        if (hour < 1 || hour > 12) return std::nullopt;
        hour = hour % 12 + (*pm ? 12 : 0);
    }
    BasicListingEntry<Char> entry;
    if (EqualsIgnoreCase(sizeOrDir, "<dir>")) {
        entry.type = ListingEntryType::Directory;
    } else if (IsDigits(sizeOrDir)) {
        entry.type = ListingEntryType::File;
        entry.size = ParseNumber(sizeOrDir);
    } else {
        return std::nullopt;
    }
    // IIS pads the size column; the name starts after the padding.
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    const View<Char> name = line.substr(pos);
    if (name.empty()) return std::nullopt;
    if (name.size() <= 2 && name.find_first_not_of(Char('.')) == View<Char>::npos) return std::nullopt;
    entry.name = Text(name);
    entry.modified = UtcSeconds(*year, *month, *day, hour, time->minute, 0);
    entry.modifiedPrecision = ListingTimePrecision::Minute;
    return entry;
}

// ---- MLSD / MLST facts: "type=file;size=46;modify=20200101000000; name"

// YYYYMMDDHHMMSS, perhaps followed by ".sss".
template <typename Char>
std::optional<std::int64_t> ParseModify(View<Char> value) {
    if (value.size() > 14 && value[14] == Char('.') && IsDigits(value.substr(15))) value = value.substr(0, 14);
    if (value.size() != 14 || !IsDigits(value)) return std::nullopt;
    return UtcSeconds(*FixedNumber(value.substr(0, 4), 4), *FixedNumber(value.substr(4, 2), 2),
                      *FixedNumber(value.substr(6, 2), 2), *FixedNumber(value.substr(8, 2), 2),
                      *FixedNumber(value.substr(10, 2), 2), *FixedNumber(value.substr(12, 2), 2));
}

template <typename Char>
std::optional<std::uint32_t> ParseOctalMode(View<Char> value) {
    if (value.empty() || value.size() > 6) return std::nullopt;
    std::uint32_t bits = 0;
    for (Char c : value) {
        if (c < Char('0') || c > Char('7')) return std::nullopt;
        bits = bits * 8 + static_cast<std::uint32_t>(c - Char('0'));
    }
    if (bits > 07777) return std::nullopt;
    return bits;
}

// Where the facts end: at the first "; ", since a value may hold blanks (pure-ftpd's
// "type=OS.unix=slink:a b;") but the name is what follows the facts' last ';' and its blank.
// A line without facts starts with its blank. Returns the offset of that blank.
template <typename Char>
std::size_t FactsEnd(View<Char> line) {
    static constexpr Char kEnd[] = {Char(';'), Char(' ')};
    const auto end = line.find(View<Char>(kEnd, 2));
    return end == View<Char>::npos ? line.find(Char(' ')) : end + 1;
}

template <typename Char>
bool LooksLikeFacts(View<Char> facts) {
    return !facts.empty() && facts.back() == Char(';') && facts.find(Char('=')) != View<Char>::npos;
}

template <typename Char>
std::optional<BasicListingEntry<Char>> ParseMlsd(View<Char> line) {
    // An MLST reply's entry line is indented by one blank.
    if (!line.empty() && line[0] == Char(' ')) {
        const View<Char> rest = line.substr(1);
        if (LooksLikeFacts(rest.substr(0, FactsEnd(rest)))) line = rest;
    }
    const auto blank = FactsEnd(line);
    if (blank == View<Char>::npos) return std::nullopt;
    View<Char> facts = line.substr(0, blank);
    const View<Char> name = line.substr(blank + 1);
    if (name.empty()) return std::nullopt;
    // "." and ".." are never entries, whatever type a server gives them: a walk that took
    // "type=dir; .." for a directory would leave the tree it was asked to copy.
    if (name.size() <= 2 && name.find_first_not_of(Char('.')) == View<Char>::npos) return std::nullopt;

    BasicListingEntry<Char> entry;
    entry.name = Text(name);
    std::optional<std::uint64_t> sizd;
    while (!facts.empty()) {
        const auto semicolon = facts.find(Char(';'));
        const View<Char> fact = facts.substr(0, semicolon);
        facts = semicolon == View<Char>::npos ? View<Char>() : facts.substr(semicolon + 1);
        const auto equals = fact.find(Char('='));
        if (equals == View<Char>::npos) continue;
        const View<Char> key = fact.substr(0, equals), value = fact.substr(equals + 1);
        if (EqualsIgnoreCase(key, "type")) {
            if (EqualsIgnoreCase(value, "cdir") || EqualsIgnoreCase(value, "pdir")) return std::nullopt;
            if (EqualsIgnoreCase(value, "file")) {
                entry.type = ListingEntryType::File;
            } else if (EqualsIgnoreCase(value, "dir")) {
                entry.type = ListingEntryType::Directory;
            } else if (StartsWithIgnoreCase(value, "os.unix=slink") ||
                       StartsWithIgnoreCase(value, "os.unix=symlink")) {
                entry.type = ListingEntryType::Link;
                const auto colon = value.find(Char(':'));
                if (colon != View<Char>::npos && colon + 1 < value.size())
                    entry.linkTarget = Text(value.substr(colon + 1));
            } else if (StartsWithIgnoreCase(value, "os.unix=blkdev") ||
                       StartsWithIgnoreCase(value, "os.unix=chardev")) {
                entry.type = ListingEntryType::Device;
            } else {
                entry.type = ListingEntryType::Other;
            }
        } else if (EqualsIgnoreCase(key, "size")) {
            entry.size = ParseNumber(value);
        } else if (EqualsIgnoreCase(key, "sizd")) {
            sizd = ParseNumber(value);
        } else if (EqualsIgnoreCase(key, "modify")) {
            entry.modified = ParseModify(value);
            entry.modifiedPrecision = ListingTimePrecision::Second;
        } else if (EqualsIgnoreCase(key, "perm")) {
            entry.permissions = Text(value);
        } else if (EqualsIgnoreCase(key, "unique")) {
            entry.unique = Text(value);
        } else if (EqualsIgnoreCase(key, "unix.mode")) {
            entry.mode = ParseOctalMode(value);
        }
    }
    // The "sizd" fact some servers give directories instead of "size".
    if (!entry.size && entry.type == ListingEntryType::Directory) entry.size = sizd;
    return entry;
}

template <typename Char>
ListingFormat Detect(View<Char> line) {
    const View<Char> first = line.substr(0, line.find(Char(' ')));
    if (first.find(Char('=')) != View<Char>::npos) return ListingFormat::Mlsd;
    if (first.empty() && line.size() > 1) {
        const View<Char> rest = line.substr(1);
        if (LooksLikeFacts(rest.substr(0, FactsEnd(rest)))) return ListingFormat::Mlsd;
    }
    if (!first.empty() && IsDigit(first[0])) return ListingFormat::MsDos;
    return ListingFormat::Unix;
}

template <typename Char>
std::optional<BasicListingEntry<Char>> Parse(View<Char> line, const ListingParseOptions& options) {
    line = WithoutLineEnd(line);
    ListingFormat format = options.format;
    if (format == ListingFormat::Auto) format = Detect(line);
    switch (format) {
    case ListingFormat::Mlsd: return ParseMlsd(line);
    case ListingFormat::MsDos: return ParseMsDos(line);
    default: return ParseUnix(line, options);
    }
}

}  // namespace

std::optional<std::int64_t> UtcSeconds(int year, int month, int day, int hour, int minute, int second) {
    if (month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 60)
        return std::nullopt;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int monthDays = kDays[static_cast<std::size_t>(month - 1)] + (month == 2 && leap ? 1 : 0);
    if (day > monthDays) return std::nullopt;
    // Days from the civil calendar: years counted from March so that February ends them.
    const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t monthFromMarch = month > 2 ? month - 3 : month + 9;
    const std::int64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t days = era * 146097 + dayOfEra - 719468;
    return days * kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

std::optional<ListingEntry> ParseListingLine(std::u16string_view line, const ListingParseOptions& options) {
    return Parse<char16_t>(line, options);
}

std::optional<ListingEntryUtf8> ParseListingLine(std::string_view line, const ListingParseOptions& options) {
    return Parse<char>(line, options);
}

}  // namespace tarselctl

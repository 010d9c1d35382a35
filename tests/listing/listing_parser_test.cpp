// Listing lines as vsftpd, pure-ftpd, proftpd and pyftpdlib send them (LIST and MLSD), the
// MS-DOS form, and hostile input cut at every byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tarsel/listing.h>
#include <tarsel/types.h>

namespace tarselctl {
namespace {

using Type = ListingEntryType;
using Precision = ListingTimePrecision;

// 2026-12-08 14:00:00 UTC: the day the server lines below were taken.
constexpr std::int64_t kNow = 1796738400;

ListingParseOptions At(std::int64_t now, ListingFormat format = ListingFormat::Auto) {
    ListingParseOptions options;
    options.format = format;
    options.now = now;
    return options;
}

struct Expected {
    std::string name;
    Type type;
    std::optional<std::uint64_t> size;
    std::optional<std::int64_t> modified;
    Precision precision;
    std::optional<std::uint32_t> mode;
    std::optional<std::string> linkTarget = std::nullopt;
};

void ExpectEntry(std::string_view line, const Expected& want, const ListingParseOptions& options = At(kNow)) {
    SCOPED_TRACE(std::string(line));
    const auto entry = ParseListingLine(line, options);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->name, want.name);
    EXPECT_EQ(entry->type, want.type);
    EXPECT_EQ(entry->size, want.size);
    EXPECT_EQ(entry->modified, want.modified);
    if (want.modified) { EXPECT_EQ(entry->modifiedPrecision, want.precision); }
    EXPECT_EQ(entry->mode, want.mode);
    EXPECT_EQ(entry->linkTarget, want.linkTarget);
    // The UTF-16 reading of the same line says the same.
    const auto wide = ParseListingLine(std::u16string_view(FromUtf8(line)), options);
    ASSERT_TRUE(wide.has_value());
    EXPECT_EQ(ToUtf8(wide->name), want.name);
    EXPECT_EQ(wide->type, want.type);
    EXPECT_EQ(wide->size, want.size);
    EXPECT_EQ(wide->modified, want.modified);
    EXPECT_EQ(wide->mode, want.mode);
}

constexpr std::int64_t kDec08 = 1796737560;      // 2026-12-08 13:46
constexpr std::int64_t kJan02Day = 1577923200;   // 2020-01-02
constexpr std::int64_t kDec08Exact = 1796737612; // 2026-12-08 13:46:52
constexpr std::int64_t kJan02Exact = 1577934245; // 2020-01-02 03:04:05
const std::string kJapanese = "日本語-é.txt";

// ---- lines taken from the servers the interop tests run

TEST(ListingParser, UnixLinesOfTheFourServers) {
    // vsftpd: numeric owner, two-digit day.
    ExpectEntry("lrwxrwxrwx    1 0        0              15 Dec 08 13:46 link -> two  blanks.txt\r\n",
                {"link", Type::Link, 15, kDec08, Precision::Minute, 0777, "two  blanks.txt"});
    ExpectEntry("drwxr-xr-x    2 0        0            4096 Dec 08 13:46 sub dir\r\n",
                {"sub dir", Type::Directory, 4096, kDec08, Precision::Minute, 0755});
    ExpectEntry("-rw-r--r--    1 0        0               6 Jan 02  2020 two  blanks.txt\r\n",
                {"two  blanks.txt", Type::File, 6, kJan02Day, Precision::Day, 0644});
    // pure-ftpd: wide columns, day padded by a blank.
    ExpectEntry("-rw-r--r--    1 0          0                   1 Dec  8 13:46 " + kJapanese,
                {kJapanese, Type::File, 1, kDec08, Precision::Minute, 0644});
    ExpectEntry("-rw-r--r--    1 0          0                   6 Jan  2  2020 two  blanks.txt",
                {"two  blanks.txt", Type::File, 6, kJan02Day, Precision::Day, 0644});
    // proftpd and pyftpdlib: named owners.
    ExpectEntry("lrwxrwxrwx   1 root     root           15 Dec  8 13:46 link -> two  blanks.txt",
                {"link", Type::Link, 15, kDec08, Precision::Minute, 0777, "two  blanks.txt"});
    ExpectEntry("drwxr-xr-x   2 root     root         4096 Dec 08 13:46 sub dir",
                {"sub dir", Type::Directory, 4096, kDec08, Precision::Minute, 0755});
}

TEST(ListingParser, MlsdLinesOfTheThreeServersThatOfferIt) {
    // pure-ftpd: sizd for directories, a link target with blanks inside the facts.
    ExpectEntry("type=dir;sizd=4096;modify=20261208134652;UNIX.mode=0755;unique=fe00g516024; sub dir\r\n",
                {"sub dir", Type::Directory, 4096, kDec08Exact, Precision::Second, 0755});
    ExpectEntry("type=OS.unix=slink:two  blanks.txt;size=15;modify=20261208134652;UNIX.mode=0777;"
                "unique=fe00g516029; link",
                {"link", Type::Link, 15, kDec08Exact, Precision::Second, 0777, "two  blanks.txt"});
    ExpectEntry("type=file;size=6;modify=20200102030405;UNIX.mode=0644;unique=fe00g516025; two  blanks.txt",
                {"two  blanks.txt", Type::File, 6, kJan02Exact, Precision::Second, 0644});
    // proftpd: facts in another order, a symlink without target.
    ExpectEntry("modify=20261208134652;perm=adfr;size=15;type=OS.unix=symlink;unique=FE00U516039;"
                "UNIX.group=0;UNIX.groupname=nogroup;UNIX.mode=0777;UNIX.owner=0;UNIX.ownername=ftp; link",
                {"link", Type::Link, 15, kDec08Exact, Precision::Second, 0777});
    // pyftpdlib: no mode, perm and unique.
    const std::string line = "modify=20261208134652;perm=radfwMT;size=1;type=file;unique=fe00g516093; " + kJapanese;
    ExpectEntry(line, {kJapanese, Type::File, 1, kDec08Exact, Precision::Second, std::nullopt});
    const auto entry = ParseListingLine(line);
    EXPECT_EQ(entry->permissions, "radfwMT");
    EXPECT_EQ(entry->unique, "fe00g516093");
    for (const char* line : {"type=cdir;sizd=4096;modify=20261208134652;UNIX.mode=0755;unique=fe00g516020; .",
                             "modify=20261208134652;perm=fle;type=pdir;unique=FE00U514023; .."})
        EXPECT_FALSE(ParseListingLine(line).has_value()) << line;
}

// ---- the forms in general

TEST(ListingParser, UnixColumnsTheServersVaryIn) {
    ExpectEntry("-rw-r--r--   1 owner    46 Jan  1  2020 no group",
                {"no group", Type::File, 46, 1577836800, Precision::Day, 0644});
    ExpectEntry("drwxr-xr-x+  3 ftp ftp 4096 feb 29 2024 acl",
                {"acl", Type::Directory, 4096, 1709164800, Precision::Day, 0755});
    // A device: "major, minor" is no size.
    ExpectEntry("crw-rw-rw-   1 root root 1, 3 Jan  1  2020 null",
                {"null", Type::Device, std::nullopt, 1577836800, Precision::Day, 0666});
    // Set-id and sticky bits with and without execute.
    ExpectEntry("-rwsr-Sr-T 1 a b 1 Jan 1 2020 x", {"x", Type::File, 1, 1577836800, Precision::Day, 06744 | 01000});
    ExpectEntry("drwxrwxrwt 1 a b 1 Jan 1 2020 tmp", {"tmp", Type::Directory, 1, 1577836800, Precision::Day, 01777});
    // Only links are cut at the arrow; one blank after the time, the rest is the name's.
    ExpectEntry("-rw-r--r-- 1 ftp ftp 7 Jan 01 2020 x -> y", {"x -> y", Type::File, 7, 1577836800, Precision::Day, 0644});
    ExpectEntry("-rw-r--r-- 1 ftp ftp 3 Jan 01 2020  leading", {" leading", Type::File, 3, 1577836800, Precision::Day, 0644});
    ExpectEntry("-rw-r--r-- 1 ftp ftp 5 Jan 01 2020 7 Feb 02 2021 z",
                {"7 Feb 02 2021 z", Type::File, 5, 1577836800, Precision::Day, 0644});
    ExpectEntry("-rw-r--r-- 1 ftp ftp 5 Jan 01 2020 ...", {"...", Type::File, 5, 1577836800, Precision::Day, 0644});
}

TEST(ListingParser, AYearlessDateIsTheLatestThatIsNotInTheFuture) {
    const std::string line = "-rw-r--r-- 1 a b 1 Dec 08 13:46 x";
    ExpectEntry(line, {"x", Type::File, 1, kDec08, Precision::Minute, 0644});
    // A day ahead is clock or zone skew; more is last year.
    ExpectEntry("-rw-r--r-- 1 a b 1 Dec 09 13:46 x", {"x", Type::File, 1, 1796823960, Precision::Minute, 0644});
    ExpectEntry("-rw-r--r-- 1 a b 1 Dec 10 13:46 x", {"x", Type::File, 1, 1765374360, Precision::Minute, 0644});
    // February 29 goes back to the last leap year.
    ExpectEntry("-rw-r--r-- 1 a b 1 Feb 29 12:00 x", {"x", Type::File, 1, 1709208000, Precision::Minute, 0644});
    // Early in January, December is last year's.
    const std::int64_t jan1st2027 = 1798761600 + 3600;
    ExpectEntry("-rw-r--r-- 1 a b 1 Dec 31 23:00 x",
                {"x", Type::File, 1, 1798758000, Precision::Minute, 0644}, At(jan1st2027));
    // Without the present time there is no year to give.
    const auto unknown = ParseListingLine(std::string_view(line), ListingParseOptions{});
    ASSERT_TRUE(unknown.has_value());
    EXPECT_FALSE(unknown->modified.has_value());
    // A day its month does not have: the entry stands, its time is unknown.
    const auto impossible = ParseListingLine(std::string_view("-rw-r--r-- 1 a b 1 Feb 31  2020 y"));
    ASSERT_TRUE(impossible.has_value());
    EXPECT_EQ(impossible->name, "y");
    EXPECT_FALSE(impossible->modified.has_value());
}

TEST(ListingParser, MsDosLines) {
    ExpectEntry("12-08-26  09:15PM       <DIR>          pub", {"pub", Type::Directory, std::nullopt, 1796764500, Precision::Minute, std::nullopt});
    ExpectEntry("08-12-26  09:15PM                 1234 a file.txt\r\n",
                {"a file.txt", Type::File, 1234, 1786569300, Precision::Minute, std::nullopt});
    ExpectEntry("12-31-1999  12:05AM  7 y2k", {"y2k", Type::File, 7, 946598700, Precision::Minute, std::nullopt});
    ExpectEntry("12-31-99  00:05  7 y2k", {"y2k", Type::File, 7, 946598700, Precision::Minute, std::nullopt});
    for (const char* line : {"12-08-26  13:15PM  <DIR>  x", "12-08-26  09:15PM  <FILE>  x", "12-08-26  09:15PM  12",
                             "1-08-26  09:15PM  12 x", "12-08-26  09:15PM       <DIR>          ."})
        EXPECT_FALSE(ParseListingLine(std::string_view(line)).has_value()) << line;
}

TEST(ListingParser, MlsdAndMlstFactsInAnyCase) {
    ExpectEntry("SIZE=7;TYPE=FILE; a;b=c d", {"a;b=c d", Type::File, 7, std::nullopt, Precision::Second, std::nullopt});
    // MLST's entry line is indented by one blank.
    ExpectEntry(" Type=file;Modify=20200102030405.123;Unix.Mode=4755; /pub/x",
                {"/pub/x", Type::File, std::nullopt, kJan02Exact, Precision::Second, 04755});
    ExpectEntry("type=OS.unix=blkdev; sda", {"sda", Type::Device, std::nullopt, std::nullopt, Precision::Second, std::nullopt});
    ExpectEntry("type=OS.unix=fifo; p", {"p", Type::Other, std::nullopt, std::nullopt, Precision::Second, std::nullopt});
    // No facts at all; facts the line does not carry stay unknown.
    ExpectEntry(" bare", {"bare", Type::Unknown, std::nullopt, std::nullopt, Precision::Second, std::nullopt},
                At(kNow, ListingFormat::Mlsd));
    ExpectEntry("junk;;type=file; x", {"x", Type::File, std::nullopt, std::nullopt, Precision::Second, std::nullopt});
    // Values out of range are unknown, not wrong.
    ExpectEntry("type=file;modify=20201301000000;size=-1;unix.mode=9999; bad",
                {"bad", Type::File, std::nullopt, std::nullopt, Precision::Second, std::nullopt});
    ExpectEntry("type=file;modify=2020010203040; short", {"short", Type::File, std::nullopt, std::nullopt, Precision::Second, std::nullopt});
}

TEST(ListingParser, LinesThatNameNoEntry) {
    for (const char* line : {"total 12", "", "   ", "\r\n", "garbage line here",
                             "drwxr-xr-x 2 ftp ftp 4096 Jan 01 2020 .", "drwxr-xr-x 2 ftp ftp 4096 Jan 01 2020 ..",
                             "-rw-r--r-- 1 ftp ftp 46 Jan 01 2020",     // no name
                             "-rw-r--r-- 1 ftp ftp 46 Foo 01 2020 x",   // no month
                             "-rw-r--r-- 1 ftp ftp 46 Jan 123 2020 x",  // no day
                             "-rw-r--r-- 1 ftp ftp 46 Jan 01 20:0 x",   // no time
                             "-rw-r--r-- 1 ftp ftp 4x6 Jan 01 2020 x",  // no size
                             "?rw-r--r-- 1 ftp ftp 46 Jan 01 2020 x",   // no type
                             "-rw-r--r--x 1 ftp ftp 46 Jan 01 2020 x",  // no mode
                             "-rwxq-x--- 1 ftp ftp 46 Jan 01 2020 x",   // no permission letter
                             "type=cdir; .", "Type=PDIR;modify=1; ..", "type=file;size=4;", "type=file;size=4; ",
                             "type=dir; ..", "type=dir; .", "type=c\xa1ir; ."})
        EXPECT_FALSE(ParseListingLine(std::string_view(line)).has_value()) << line;
}

TEST(ListingParser, SizesPastSixtyFourBitsAreUnknownNotWrapped) {
    ExpectEntry("-rw-r--r-- 1 ftp ftp 18446744073709551615 Jan 01 2020 max",
                {"max", Type::File, UINT64_MAX, 1577836800, Precision::Day, 0644});
    ExpectEntry("-rw-r--r-- 1 ftp ftp 18446744073709551616 Jan 01 2020 wrap",
                {"wrap", Type::File, std::nullopt, 1577836800, Precision::Day, 0644});
    ExpectEntry("type=file;size=99999999999999999999999; huge",
                {"huge", Type::File, std::nullopt, std::nullopt, Precision::Second, std::nullopt});
}

TEST(ListingParser, UtcSecondsOfCalendarDates) {
    EXPECT_EQ(UtcSeconds(1970, 1, 1, 0, 0, 0), 0);
    EXPECT_EQ(UtcSeconds(1969, 12, 31, 23, 59, 59), -1);
    EXPECT_EQ(UtcSeconds(2020, 1, 2, 3, 4, 5), kJan02Exact);
    EXPECT_EQ(UtcSeconds(2000, 2, 29, 0, 0, 0), 951782400);
    for (auto bad : {UtcSeconds(2001, 2, 29, 0, 0, 0), UtcSeconds(1900, 2, 29, 0, 0, 0), UtcSeconds(2020, 0, 1, 0, 0, 0),
                     UtcSeconds(2020, 13, 1, 0, 0, 0), UtcSeconds(2020, 4, 31, 0, 0, 0), UtcSeconds(2020, 1, 1, 24, 0, 0),
                     UtcSeconds(2020, 1, 1, 0, 60, 0), UtcSeconds(2020, 1, 1, 0, 0, 61)})
        EXPECT_FALSE(bad.has_value());
}

// Cut at every byte, each real line parses without fault; once the cut lies inside the name
// what comes out agrees with the whole line: the name is a prefix of the whole name (or of
// name and link target, until the arrow is whole), type, size and time are the whole line's.
// Cut earlier, a line may read as another (shorter facts, a name of a column's rest).
TEST(ListingParser, EveryPrefixOfARealLineParsesSanely) {
    const std::vector<std::string> lines = {
        "lrwxrwxrwx    1 0        0              15 Dec 08 13:46 link -> two  blanks.txt\r\n",
        "-rw-r--r--    1 0          0                   1 Dec  8 13:46 " + kJapanese + "\r\n",
        "-rw-r--r--   1 root     root            6 Jan 02  2020 two  blanks.txt\r\n",
        "type=OS.unix=slink:two  blanks.txt;size=15;modify=20261208134652;UNIX.mode=0777;unique=fe00g516029; link\r\n",
        "modify=20261208134652;perm=radfwMT;size=1;type=file;unique=fe00g516093; " + kJapanese + "\r\n",
        "12-08-26  09:15PM                 1234 a file.txt\r\n",
    };
    for (const std::string& line : lines) {
        const auto whole = ParseListingLine(std::string_view(line), At(kNow));
        ASSERT_TRUE(whole.has_value()) << line;
        const std::string full = whole->name + (whole->type == Type::Link && whole->linkTarget && line[0] == 'l'
                                                    ? " -> " + *whole->linkTarget
                                                    : "");
        const std::size_t nameStart = line.rfind(full);
        ASSERT_NE(nameStart, std::string::npos);
        for (std::size_t n = 0; n <= line.size(); ++n) {
            const std::string_view cut = std::string_view(line).substr(0, n);
            const auto entry = ParseListingLine(cut, At(kNow));
            const auto wide = ParseListingLine(std::u16string_view(FromUtf8(cut)), At(kNow));
            EXPECT_EQ(entry.has_value(), wide.has_value()) << n;
            if (!entry || n <= nameStart) continue;
            SCOPED_TRACE(std::string(cut));
            EXPECT_EQ(full.rfind(entry->name, 0), 0u);
            EXPECT_EQ(entry->type, whole->type);
            EXPECT_EQ(entry->size, whole->size);
            EXPECT_EQ(entry->modified, whole->modified);
            EXPECT_EQ(wide->type, entry->type);
        }
    }
}

TEST(ListingParser, HostileLongLinesCostOnePassAndKeepTheirName) {
    const std::string blanks(2'000'000, ' ');
    const auto entry = ParseListingLine("-rw-r--r-- 1 ftp ftp 1 Jan 01 2020 a" + blanks + "b");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->name.size(), blanks.size() + 2);
    std::string columns;
    for (int i = 0; i < 500'000; ++i) columns += "1 ";
    EXPECT_FALSE(ParseListingLine("-rw-r--r-- " + columns + "x").has_value());
    std::string facts;
    for (int i = 0; i < 500'000; ++i) facts += "a=b;";
    const auto many = ParseListingLine(facts + "size=5; n");
    ASSERT_TRUE(many.has_value());
    EXPECT_EQ(many->size, 5u);
    EXPECT_EQ(many->type, Type::Unknown);
}

}  // namespace
}  // namespace tarselctl

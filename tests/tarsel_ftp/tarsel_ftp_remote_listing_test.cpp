// Directory listing lines as LIST and MLSD replies carry them, and which names are safe to
// create locally.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "remote_listing.h"

namespace tarselftp {
namespace {

using Kind = RemoteEntry::Kind;

void ExpectEntry(const std::optional<RemoteEntry>& entry, const std::string& name, Kind kind,
                 std::optional<std::uint64_t> size) {
    ASSERT_TRUE(entry.has_value()) << name;
    EXPECT_EQ(entry->name, name);
    EXPECT_EQ(entry->kind, kind) << name;
    EXPECT_EQ(entry->size, size) << name;
}

TEST(TarselFtpRemoteListing, UnixLinesOfTheCommonServers) {
    // vsftpd (numeric owners, year), proftpd, pure-ftpd (wide columns), pyftpdlib.
    ExpectEntry(ParseUnixListLine("-rw-r--r--    1 0        0              46 Jan 01  2020 fox.txt"),
                "fox.txt", Kind::File, 46);
    ExpectEntry(ParseUnixListLine("drwxr-xr-x   2 ftp      ftp          4096 Dec 07 19:06 pub"),
                "pub", Kind::Directory, 4096);
    ExpectEntry(ParseUnixListLine("-rw-r--r--    1 1000       1000          67108871 Jan  1 12:00 big.bin\r\n"),
                "big.bin", Kind::File, 67108871);
    ExpectEntry(ParseUnixListLine("-rw-rw-r--   1 user     group          12 Mar 05  9:07 a"),
                "a", Kind::File, 12);
    // No group column; an ACL mark after the mode.
    ExpectEntry(ParseUnixListLine("-rw-r--r--   1 owner    46 Jan  1 12:00 no group"),
                "no group", Kind::File, 46);
    ExpectEntry(ParseUnixListLine("drwxr-xr-x+  3 ftp ftp 4096 feb 29 2024 acl"),
                "acl", Kind::Directory, 4096);
    // A device's "major, minor" is no size.
    ExpectEntry(ParseUnixListLine("crw-rw-rw-   1 root root 1, 3 Jan  1  2020 null"),
                "null", Kind::Other, std::nullopt);
}

TEST(TarselFtpRemoteListing, UnixNamesKeepTheirBlanksAndLinksLoseTheirTarget) {
    ExpectEntry(ParseUnixListLine("-rw-r--r-- 1 ftp ftp 3 Jan 01 2020 two  blanks "),
                "two  blanks ", Kind::File, 3);
    ExpectEntry(ParseUnixListLine("-rw-r--r-- 1 ftp ftp 3 Jan 01 2020  leading"),
                " leading", Kind::File, 3);
    ExpectEntry(ParseUnixListLine("-rw-r--r-- 1 ftp ftp 9 Jan 01 12:00 日本語 ファイル.txt"),
                "日本語 ファイル.txt", Kind::File, 9);
    ExpectEntry(ParseUnixListLine("lrwxrwxrwx 1 ftp ftp 7 Jan 01 2020 link -> target"),
                "link", Kind::Link, 7);
    ExpectEntry(ParseUnixListLine("lrwxrwxrwx 1 ftp ftp 7 Jan 01 2020 a b -> c -> d"),
                "a b", Kind::Link, 7);
    // Only links are cut at the arrow.
    ExpectEntry(ParseUnixListLine("-rw-r--r-- 1 ftp ftp 7 Jan 01 2020 x -> y"),
                "x -> y", Kind::File, 7);
    // A name shaped like a date column is still just the name.
    ExpectEntry(ParseUnixListLine("-rw-r--r-- 1 ftp ftp 5 Jan 01 2020 7 Feb 02 2021 z"),
                "7 Feb 02 2021 z", Kind::File, 5);
}

TEST(TarselFtpRemoteListing, UnixLinesThatNameNoEntry) {
    for (const char* line : {"total 12", "", "   ", "\r\n", "garbage line here",
                             "drwxr-xr-x 2 ftp ftp 4096 Jan 01 2020 .",
                             "drwxr-xr-x 2 ftp ftp 4096 Jan 01 2020 ..",
                             "-rw-r--r-- 1 ftp ftp 46 Jan 01 2020",      // no name
                             "-rw-r--r-- 1 ftp ftp 46 Foo 01 2020 x",    // no month
                             "-rw-r--r-- 1 ftp ftp 46 Jan 123 2020 x",   // no day
                             "-rw-r--r-- 1 ftp ftp 46 Jan 01 20:0 x",    // no time
                             "-rw-r--r-- 1 ftp ftp 4x6 Jan 01 2020 x",   // no size
                             "?rw-r--r-- 1 ftp ftp 46 Jan 01 2020 x",    // no type
                             "-rw-r--r--x 1 ftp ftp 46 Jan 01 2020 x",   // no mode
                             "01-01-20  12:00AM       <DIR>          pub"})
        EXPECT_FALSE(ParseUnixListLine(line).has_value()) << line;
}

TEST(TarselFtpRemoteListing, SizesPastSixtyFourBitsAreDroppedNotWrapped) {
    ExpectEntry(ParseUnixListLine("-rw-r--r-- 1 ftp ftp 18446744073709551615 Jan 01 2020 max"),
                "max", Kind::File, UINT64_MAX);
    ExpectEntry(ParseUnixListLine("-rw-r--r-- 1 ftp ftp 18446744073709551616 Jan 01 2020 wrap"),
                "wrap", Kind::File, std::nullopt);
    ExpectEntry(ParseUnixListLine("-rw-r--r-- 1 ftp ftp 99999999999999999999999 Jan 01 2020 huge"),
                "huge", Kind::File, std::nullopt);
    ExpectEntry(ParseMlsdLine("type=file;size=18446744073709551616; wrap"), "wrap", Kind::File,
                std::nullopt);
    ExpectEntry(ParseMlsdLine("type=file;size=-1; neg"), "neg", Kind::File, std::nullopt);
}

TEST(TarselFtpRemoteListing, MlsdFactsInAnyCaseAndOrder) {
    ExpectEntry(ParseMlsdLine("type=file;size=46;modify=20200101000000;perm=r; fox.txt"),
                "fox.txt", Kind::File, 46);
    ExpectEntry(ParseMlsdLine("Type=dir;Modify=20200101000000; sub dir"), "sub dir",
                Kind::Directory, std::nullopt);
    ExpectEntry(ParseMlsdLine("SIZE=7;TYPE=FILE; a;b=c d\r\n"), "a;b=c d", Kind::File, 7);
    ExpectEntry(ParseMlsdLine("type=OS.unix=slink:/x; l"), "l", Kind::Link, std::nullopt);
    ExpectEntry(ParseMlsdLine("type=OS.unix=symlink;size=3; l2"), "l2", Kind::Link, 3);
    ExpectEntry(ParseMlsdLine("type=OS.unix=blkdev; sda"), "sda", Kind::Other, std::nullopt);
    // No facts at all, and facts without '='.
    ExpectEntry(ParseMlsdLine(" bare"), "bare", Kind::Other, std::nullopt);
    ExpectEntry(ParseMlsdLine("junk;;type=file; x"), "x", Kind::File, std::nullopt);
    ExpectEntry(ParseMlsdLine("type=file; 日本語 ファイル.txt"), "日本語 ファイル.txt", Kind::File,
                std::nullopt);
}

TEST(TarselFtpRemoteListing, MlsdLinesThatNameNoEntry) {
    for (const char* line : {"type=cdir; .", "Type=PDIR;modify=1; ..", "type=cdir;size=4; /pub",
                             "", "type=file;size=4;", "type=file;size=4; "})
        EXPECT_FALSE(ParseMlsdLine(line).has_value()) << line;
}

TEST(TarselFtpRemoteListing, OnlyPlainComponentsAreSafeNames) {
    for (const char* name : {"fox.txt", "sub dir", "日本語 ファイル.txt", "..x", "...", ".hidden", "a\\b"})
        EXPECT_TRUE(IsSafeEntryName(name)) << name;
    for (std::string name : {std::string(""), std::string("."), std::string(".."),
                             std::string("../etc"), std::string("/etc/passwd"), std::string("a/"),
                             std::string("a\nb"), std::string("a\rb"), std::string("a\x1b[2J"),
                             std::string("a\x7f"), std::string("a\0b", 3), std::string("\t")})
        EXPECT_FALSE(IsSafeEntryName(name)) << name;
}

TEST(TarselFtpRemoteListing, EveryPrefixOfALineParsesSanely) {
    // Lines cut at every byte: no crash, and whatever comes out is a prefix of the name.
    const std::string unix = "lrwxrwxrwx   1 ftp      ftp             7 Jan 01  2020 日本 x -> target";
    for (std::size_t n = 0; n <= unix.size(); ++n) {
        const auto entry = ParseUnixListLine(std::string_view(unix).substr(0, n));
        // Until the arrow is whole the target may still show in the name.
        if (entry) { EXPECT_EQ(std::string("日本 x -> target").rfind(entry->name, 0), 0u) << n; }
    }
    const std::string mlsd = "type=file;size=1234;modify=20200101000000; 日本 x";
    for (std::size_t n = 0; n <= mlsd.size(); ++n) {
        const auto entry = ParseMlsdLine(std::string_view(mlsd).substr(0, n));
        if (!entry) continue;
        EXPECT_EQ(std::string("日本 x").rfind(entry->name, 0), 0u) << n;
        // A cut size is a smaller number, never a bigger one.
        if (entry->size) { EXPECT_LE(*entry->size, 1234u) << n; }
    }
}

TEST(TarselFtpRemoteListing, HostileLongLinesCostOnePass) {
    // Millions of columns before or inside the name: parsed quickly, name kept whole.
    const std::string blanks(4'000'000, ' ');
    const auto entry = ParseUnixListLine("-rw-r--r-- 1 ftp ftp 1 Jan 01 2020 a" + blanks + "b");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->name.size(), blanks.size() + 2);
    std::string columns;
    for (int i = 0; i < 1'000'000; ++i) columns += "1 ";
    EXPECT_FALSE(ParseUnixListLine("-rw-r--r-- " + columns + "x").has_value());
    std::string facts;
    for (int i = 0; i < 1'000'000; ++i) facts += "a=b;";
    ExpectEntry(ParseMlsdLine(facts + "size=5; n"), "n", Kind::Other, 5);
}

}  // namespace
}  // namespace tarselftp

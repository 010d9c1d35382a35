// Directory listing lines as LIST and MLSD replies carry them, and which names are safe to
// create locally.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "remote_listing.h"

namespace tarselftp {
namespace {

TEST(TarselFtpRemoteListing, MlsdRepliesAreReadAsFactsOnly) {
    // A name in an MLSD reply that looks like an ls line stays a name.
    const auto entry = ParseRemoteListingLine("type=file;size=1; -rw-r--r-- 1 a b 9 Jan 01 2020 x", true, 0);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->name, "-rw-r--r-- 1 a b 9 Jan 01 2020 x");
    EXPECT_EQ(entry->size, 1u);
    // LIST replies come in either of the two human forms.
    EXPECT_EQ(ParseRemoteListingLine("12-08-26  09:15PM  <DIR>  pub", false, 0)->type, RemoteType::Directory);
    EXPECT_EQ(ParseRemoteListingLine("drwxr-xr-x 2 a b 1 Jan 01 2020 pub", false, 0)->type, RemoteType::Directory);
    EXPECT_TRUE(HasExactTime(*ParseRemoteListingLine("type=file;modify=20200101000000; x", true, 0)));
    EXPECT_FALSE(HasExactTime(*ParseRemoteListingLine("-rw-r--r-- 1 a b 1 Jan 01 2020 x", false, 0)));
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

}  // namespace
}  // namespace tarselftp

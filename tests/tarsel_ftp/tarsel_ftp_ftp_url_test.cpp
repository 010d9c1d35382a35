// ftp:// URLs on the command line: their parts, and the ones refused before anything is sent.
#include <gtest/gtest.h>

#include <string>

#include "ftp_url.h"

namespace tarselftp {
namespace {

FtpUrl Parse(const std::string& text) {
    const ParsedUrl parsed = ParseFtpUrl(text);
    EXPECT_TRUE(parsed.url.has_value()) << text << ": " << parsed.error;
    EXPECT_EQ(parsed.error, "") << text;
    return parsed.url.value_or(FtpUrl{});
}

void ExpectRefused(const std::string& text) {
    const ParsedUrl parsed = ParseFtpUrl(text);
    EXPECT_FALSE(parsed.url.has_value()) << text;
    EXPECT_NE(parsed.error, "") << text;
}

TEST(TarselFtpFtpUrl, AllPartsDecoded) {
    const FtpUrl url = Parse("FTP://us%40er:p%3Aa@ss@example.com:2121/pub/%E6%97%A5 x;type=i");
    EXPECT_EQ(url.user, "us@er");
    EXPECT_EQ(url.password, "p:a@ss");  // the last '@' ends the user part
    EXPECT_EQ(url.host, "example.com");
    EXPECT_EQ(url.port, "2121");
    EXPECT_EQ(url.path, "pub/日 x");

    const FtpUrl bare = Parse("ftp://h");
    EXPECT_EQ(bare.user, "");
    EXPECT_EQ(bare.password, std::nullopt);
    EXPECT_EQ(bare.port, std::nullopt);
    EXPECT_EQ(bare.path, "");

    EXPECT_EQ(Parse("ftp://u:@h").password, "");
    EXPECT_EQ(Parse("ftp://u@h").password, std::nullopt);
    EXPECT_EQ(Parse("ftp://u@h").user, "u");
    // '+' is no blank outside HTML forms.
    EXPECT_EQ(Parse("ftp://a+b@h").user, "a+b");
}

TEST(TarselFtpFtpUrl, PathIsTheTextAfterTheAuthoritysSlash) {
    EXPECT_EQ(Parse("ftp://h/").path, "");
    EXPECT_EQ(Parse("ftp://h/pub/x").path, "pub/x");
    EXPECT_EQ(Parse("ftp://h//abs").path, "/abs");
    EXPECT_EQ(Parse("ftp://h/%2Fabs").path, "/abs");
    EXPECT_EQ(Parse("ftp://h/dir/").path, "dir/");
    // The type suffix only at the end, in any case; an escaped ';' is part of the name.
    EXPECT_EQ(Parse("ftp://h/x;type=A").path, "x");
    EXPECT_EQ(Parse("ftp://h/x;type=d").path, "x");
    EXPECT_EQ(Parse("ftp://h/x;type=z").path, "x;type=z");
    EXPECT_EQ(Parse("ftp://h/x%3Btype=i").path, "x;type=i");
    EXPECT_EQ(Parse("ftp://h/;type=i").path, "");
}

TEST(TarselFtpFtpUrl, HostsAndPorts) {
    const FtpUrl v6 = Parse("ftp://[::1]:21/f");
    EXPECT_EQ(v6.host, "::1");
    EXPECT_EQ(v6.port, "21");
    EXPECT_EQ(Parse("ftp://[2001:db8::10]").host, "2001:db8::10");
    EXPECT_EQ(Parse("ftp://[::ffff:127.0.0.1]/").host, "::ffff:127.0.0.1");
    EXPECT_EQ(Parse("ftp://h:1").port, "1");
    EXPECT_EQ(Parse("ftp://h:65535").port, "65535");
    EXPECT_EQ(Parse("ftp://h:00021").port, "21");
    EXPECT_EQ(Parse("ftp://h:/x").port, std::nullopt);  // empty: the default port

    for (const char* text : {"ftp://", "ftp:///path", "ftp://u:p@", "ftp://u@:21/x", "ftp://[]:21",
                             "ftp://h:0", "ftp://h:65536", "ftp://h:99999999999",
                             "ftp://h:99999999999999999999999999", "ftp://h:-1", "ftp://h:2 1",
                             "ftp://h:21x", "ftp://[::1", "ftp://[::1]x", "ftp://[fe80::1%eth0]",
                             "ftp://::1/", "ftp://h h/", "ftp://h%41/", "ftp://h\r\nDELE x/"})
        ExpectRefused(text);
}

TEST(TarselFtpFtpUrl, EscapesThatWouldSmuggleACommandAreRefused) {
    for (const char* text : {"ftp://h/x%0D%0ADELE%20y", "ftp://h/x%0a", "ftp://h/x%00",
                             "ftp://u%0D%0APASS@h/", "ftp://u:p%0aSITE@h/", "ftp://h/x\ny",
                             "ftp://h/%", "ftp://h/%4", "ftp://h/%zz", "ftp://h/x%4g",
                             "ftp://u%@h", "ftp://u:%@h"})
        ExpectRefused(text);
    ExpectRefused(std::string("ftp://h/a\0b", 11));
    // Other control bytes are a file name's business.
    EXPECT_EQ(Parse("ftp://h/a%09b").path, "a\tb");
}

TEST(TarselFtpFtpUrl, OtherTextIsNoUrlAndNoError) {
    for (const char* text : {"", "example.com", "ftp:/h", "ftp:", "http://h/", "sftp://h",
                             " ftp://h", "ftp//h"}) {
        const ParsedUrl parsed = ParseFtpUrl(text);
        EXPECT_FALSE(parsed.url.has_value()) << text;
        EXPECT_EQ(parsed.error, "") << text;
    }
}

TEST(TarselFtpFtpUrl, ErrorsNeverQuoteThePassword) {
    const ParsedUrl parsed = ParseFtpUrl("ftp://u:s3cret@h:0/");
    EXPECT_EQ(parsed.error.find("s3cret"), std::string::npos) << parsed.error;
}

TEST(TarselFtpFtpUrl, EveryPrefixParsesSanely) {
    // Cut anywhere: either an error, or parts that are prefixes of the whole URL's parts.
    const std::string full = "ftp://user:pa%20ss@[2001:db8::1]:2121/pub/%E6%97%A5.txt;type=i";
    for (std::size_t n = 0; n <= full.size(); ++n) {
        const ParsedUrl parsed = ParseFtpUrl(std::string_view(full).substr(0, n));
        if (n < 6) {
            EXPECT_FALSE(parsed.url.has_value()) << n;
            continue;
        }
        EXPECT_NE(parsed.url.has_value(), !parsed.error.empty()) << n;
        // Until the '@' the user part reads as a host and port.
        if (!parsed.url || n <= full.find('@')) continue;
        EXPECT_EQ(std::string("2001:db8::1").rfind(parsed.url->host, 0), 0u) << n;
        EXPECT_EQ(std::string("pub/日.txt;type=i").rfind(parsed.url->path, 0), 0u) << n;
        if (parsed.url->port) { EXPECT_EQ(std::string("2121").rfind(*parsed.url->port, 0), 0u) << n; }
    }
}

}  // namespace
}  // namespace tarselftp

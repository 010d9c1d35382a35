// ~/.netrc: which entry a host and login choose, and files refused for their permissions.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "netrc_file.h"

namespace tarselftp {
namespace {

constexpr const char* kNetrc = R"(machine ftp.example.com login alice password "a secret"
machine FTP.example.com login bob password bobpw account acct
machine other.org
  login carol
  password carolpw
macdef init
machine ftp.example.com login mallory password fromthemacro
cd /pub

machine nologin.net password "q\"uo\\te"
default login anonymous password guest@
)";

TEST(TarselFtpNetrcFile, MachineAndLoginChooseTheEntry) {
    auto entry = FindNetrcEntry(kNetrc, "ftp.example.com", std::nullopt);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->login, "alice");
    EXPECT_EQ(entry->password, "a secret");
    EXPECT_EQ(entry->account, std::nullopt);

    // A given login passes over the first entry for the host; names compare in any case.
    entry = FindNetrcEntry(kNetrc, "Ftp.Example.Com", "bob");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->password, "bobpw");
    EXPECT_EQ(entry->account, "acct");

    // Fields spread over lines.
    entry = FindNetrcEntry(kNetrc, "other.org", std::nullopt);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->login, "carol");
    EXPECT_EQ(entry->password, "carolpw");

    // An entry without a login fits any login and hands it back.
    entry = FindNetrcEntry(kNetrc, "nologin.net", "dave");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->login, "dave");
    EXPECT_EQ(entry->password, "q\"uo\\te");
}

TEST(TarselFtpNetrcFile, DefaultOnlyWhenNoMachineMatches) {
    auto entry = FindNetrcEntry(kNetrc, "unknown.host", std::nullopt);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->login, "anonymous");
    EXPECT_EQ(entry->password, "guest@");
    // A login that no machine entry has falls to the default only if the default has it.
    entry = FindNetrcEntry(kNetrc, "ftp.example.com", "anonymous");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->password, "guest@");
    EXPECT_FALSE(FindNetrcEntry(kNetrc, "ftp.example.com", "eve"));
    // A default written before the machines does not hide them.
    entry = FindNetrcEntry("default login d password dp\nmachine h login m password mp", "h",
                           std::nullopt);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->login, "m");
    EXPECT_FALSE(FindNetrcEntry("machine h login m", "x", std::nullopt));
    EXPECT_FALSE(FindNetrcEntry("", "h", std::nullopt));
}

TEST(TarselFtpNetrcFile, MacroBodiesAreNotReadAsEntries) {
    // The macro's "machine ftp.example.com login mallory" is text, not an entry.
    EXPECT_FALSE(FindNetrcEntry(kNetrc, "ftp.example.com", "mallory"));
    // A macro at the end of the file runs to its end, CRLF lines end it as well.
    EXPECT_FALSE(FindNetrcEntry("macdef m\nmachine h login x password y", "h", std::nullopt));
    EXPECT_FALSE(FindNetrcEntry("machine h login a macdef", "x", std::nullopt));
    auto entry = FindNetrcEntry("machine h login a\r\nmacdef m\r\nmachine h login b\r\n\r\n"
                                "password p\r\n", "h", std::nullopt);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->login, "a");
    EXPECT_EQ(entry->password, "p");  // the entry goes on after the macro
}

TEST(TarselFtpNetrcFile, TruncatedAndOddText) {
    // An unterminated quote runs to the end of the text.
    auto entry = FindNetrcEntry("machine h login u password \"open ended\nx", "h", std::nullopt);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->password, "open ended\nx");
    // A keyword without its value, fields before any machine, unknown words.
    entry = FindNetrcEntry("login stray password stray machine h port 21 login u password", "h",
                           std::nullopt);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->login, "u");
    EXPECT_EQ(entry->password, std::nullopt);
    EXPECT_FALSE(FindNetrcEntry("machine", "h", std::nullopt));
    EXPECT_FALSE(FindNetrcEntry("machine \"\" login u", "h", std::nullopt));

    // Every prefix of a file: no crash, and a found entry is one of the file's.
    const std::string text = kNetrc;
    for (std::size_t n = 0; n <= text.size(); ++n) {
        const auto found = FindNetrcEntry(std::string_view(text).substr(0, n), "ftp.example.com", "bob");
        if (found) { EXPECT_TRUE(found->login == "bob" || found->login == "anonymous") << n; }
    }
}

class TarselFtpNetrcFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        m_Dir = std::filesystem::temp_directory_path() /
                ("tarsel_netrc_test_" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_Dir);
        m_Path = (m_Dir / "netrc").string();
    }
    void TearDown() override { std::filesystem::remove_all(m_Dir); }

    void Write(const std::string& text, mode_t mode) {
        std::ofstream(m_Path, std::ios::binary | std::ios::trunc) << text;
        ASSERT_EQ(::chmod(m_Path.c_str(), mode), 0);
    }

    std::filesystem::path m_Dir;
    std::string m_Path;
};

TEST_F(TarselFtpNetrcFileOnDisk, PrivateFileIsRead) {
    Write("machine h login u password p\n", 0600);
    const NetrcLookup found = LookUpNetrc(m_Path, "h", std::nullopt);
    EXPECT_EQ(found.error, "");
    ASSERT_TRUE(found.entry);
    EXPECT_EQ(found.entry->password, "p");
    // No entry for the host: nothing, no error.
    const NetrcLookup none = LookUpNetrc(m_Path, "x", std::nullopt);
    EXPECT_FALSE(none.entry);
    EXPECT_EQ(none.error, "");
}

TEST_F(TarselFtpNetrcFileOnDisk, MissingFileIsNoError) {
    const NetrcLookup found = LookUpNetrc((m_Dir / "absent").string(), "h", std::nullopt);
    EXPECT_FALSE(found.entry);
    EXPECT_EQ(found.error, "");
}

TEST_F(TarselFtpNetrcFileOnDisk, SecretsInAFileOthersCanReadOrWriteAreRefused) {
    for (mode_t mode : {0640, 0620, 0604, 0602, 0666}) {
        Write("machine h login u password p\n", mode);
        const NetrcLookup found = LookUpNetrc(m_Path, "h", std::nullopt);
        EXPECT_FALSE(found.entry) << std::oct << mode;
        EXPECT_NE(found.error.find("permissions too open"), std::string::npos) << found.error;
        Write("machine h login u account a\n", mode);
        EXPECT_FALSE(LookUpNetrc(m_Path, "h", std::nullopt).entry) << std::oct << mode;
    }
    // A login alone is no secret, and an open file is fine for an entry without one.
    Write("machine h login u\nmachine s login v password p\n", 0644);
    const NetrcLookup found = LookUpNetrc(m_Path, "h", std::nullopt);
    EXPECT_EQ(found.error, "");
    ASSERT_TRUE(found.entry);
    EXPECT_EQ(found.entry->login, "u");
}

TEST_F(TarselFtpNetrcFileOnDisk, FileOfAnotherOwnerIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file away needs root";
    Write("machine h login u password p\n", 0600);
    ASSERT_EQ(::chown(m_Path.c_str(), 12345, 12345), 0);
    const NetrcLookup found = LookUpNetrc(m_Path, "h", std::nullopt);
    EXPECT_FALSE(found.entry);
    EXPECT_NE(found.error, "");
}

TEST_F(TarselFtpNetrcFileOnDisk, UnreadableOrOddFilesAreErrors) {
    // A directory where the file should be.
    const NetrcLookup dir = LookUpNetrc(m_Dir.string(), "h", std::nullopt);
    EXPECT_FALSE(dir.entry);
    EXPECT_NE(dir.error, "");
    // Too large to be a netrc.
    Write(std::string(2 * 1024 * 1024, ' ') + "machine h login u password p\n", 0600);
    const NetrcLookup big = LookUpNetrc(m_Path, "h", std::nullopt);
    EXPECT_FALSE(big.entry);
    EXPECT_NE(big.error, "");
}

TEST_F(TarselFtpNetrcFileOnDisk, AFifoIsRefusedWithoutWaitingForAWriter) {
    const std::string fifo = (m_Dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto lookup = std::async(std::launch::async, [&] { return LookUpNetrc(fifo, "h", std::nullopt); });
    if (lookup.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Lets a reader stuck in open() go, so that the failure is reported, not a hang.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
        ADD_FAILURE() << "reading a FIFO as ~/.netrc waited for a writer";
    }
    const NetrcLookup found = lookup.get();
    EXPECT_FALSE(found.entry);
    EXPECT_NE(found.error.find("not a regular file"), std::string::npos) << found.error;
}

}  // namespace
}  // namespace tarselftp

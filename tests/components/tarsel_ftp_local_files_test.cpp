// tarsel-ftp's local files: what a download leaves on disk, and how an upload reads blocks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "download_file.h"
#include "upload_source.h"

namespace tarselftp {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class TarselFtpLocalFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarsel-ftp-files-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    static void WriteFile(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::string Write(DownloadFile& file, const std::string& bytes) {
        return file.Write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }

    fs::path dir_;
};

TEST_F(TarselFtpLocalFiles, DownloadTakesItsNameOnlyOnSuccess) {
    const std::string local = Path("file.bin");
    WriteFile(local, "old content");
    DownloadFile d;
    ASSERT_EQ(d.Prepare(local, std::nullopt), "");
    ASSERT_EQ(Write(d, "new "), "");
    ASSERT_EQ(Write(d, "bytes"), "");
    // While it runs the old file is still there and the new bytes are elsewhere.
    EXPECT_EQ(ReadFile(local), "old content");
    EXPECT_EQ(ReadFile(local + ".part"), "new bytes");
    ASSERT_EQ(d.Finish(true), "");
    EXPECT_EQ(ReadFile(local), "new bytes");
    EXPECT_FALSE(fs::exists(local + ".part"));
}

TEST_F(TarselFtpLocalFiles, FailedDownloadLeavesNoHalfFileAndKeepsTheOldOne) {
    const std::string kept = Path("kept.bin");
    WriteFile(kept, "old content");
    DownloadFile d;
    ASSERT_EQ(d.Prepare(kept, std::nullopt), "");
    ASSERT_EQ(Write(d, "half"), "");
    ASSERT_EQ(d.Finish(false), "");
    EXPECT_EQ(ReadFile(kept), "old content");
    EXPECT_FALSE(fs::exists(kept + ".part"));

    // Refused before the first byte: nothing is created at all.
    const std::string fresh = Path("fresh.bin");
    ASSERT_EQ(d.Prepare(fresh, std::nullopt), "");
    ASSERT_EQ(d.Finish(false), "");
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_FALSE(fs::exists(fresh + ".part"));
}

TEST_F(TarselFtpLocalFiles, EmptyDownloadCreatesAnEmptyFile) {
    const std::string local = Path("empty.bin");
    DownloadFile d;
    ASSERT_EQ(d.Prepare(local, std::nullopt), "");
    ASSERT_EQ(d.Finish(true), "");
    ASSERT_TRUE(fs::exists(local));
    EXPECT_EQ(fs::file_size(local), 0u);
}

TEST_F(TarselFtpLocalFiles, ResumeWritesFromTheOffsetIntoTheFileItself) {
    const std::string local = Path("resume.bin");
    WriteFile(local, "0123456789");
    DownloadFile d;
    ASSERT_EQ(d.Prepare(local, 4), "");
    ASSERT_EQ(Write(d, "ab"), "");
    // Bytes beyond the offset are replaced, not kept after the resumed data.
    EXPECT_EQ(ReadFile(local), "0123ab");
    // A failed resume keeps what arrived: the next rest can continue from there.
    ASSERT_EQ(d.Finish(false), "");
    EXPECT_EQ(ReadFile(local), "0123ab");

    EXPECT_THAT(d.Prepare(local, 7), HasSubstr("has only 6 bytes"));
    EXPECT_THAT(d.Prepare(Path("missing.bin"), 1), HasSubstr("has only 0 bytes"));
    ASSERT_EQ(d.Prepare(Path("new.bin"), 0), "");
    ASSERT_EQ(Write(d, "xyz"), "");
    ASSERT_EQ(d.Finish(true), "");
    EXPECT_EQ(ReadFile(Path("new.bin")), "xyz");
}

TEST_F(TarselFtpLocalFiles, DevicesAreWrittenDirectlyAndDirectoriesRefused) {
    DownloadFile d;
    ASSERT_EQ(d.Prepare("/dev/null", std::nullopt), "");
    ASSERT_EQ(Write(d, "discarded"), "");
    ASSERT_EQ(d.Finish(true), "");
    EXPECT_FALSE(fs::exists("/dev/null.part"));

    EXPECT_THAT(d.Prepare(dir_.string(), std::nullopt), HasSubstr("is a directory"));
}

TEST_F(TarselFtpLocalFiles, UploadReadsBlocksWithoutALoneLastByte) {
    const std::string path = Path("up.bin");
    std::string content(11, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i);
    WriteFile(path, content);

    UploadSource u;
    ASSERT_EQ(u.Open(path, 5), "");
    tarselctl::ByteArray block(1, 0);
    std::string sent;
    std::vector<std::size_t> sizes;
    for (;;) {
        ASSERT_EQ(u.Next(block), "");
        if (block.empty()) break;
        sizes.push_back(block.size());
        sent.append(block.begin(), block.end());
    }
    EXPECT_THAT(sizes, ::testing::ElementsAre(5, 6));
    EXPECT_EQ(sent, content);
}

TEST_F(TarselFtpLocalFiles, UploadRefusesWhatCannotGoThroughTheProtocol) {
    UploadSource u;
    WriteFile(Path("one.bin"), "x");
    EXPECT_THAT(u.Open(Path("one.bin"), 64), HasSubstr("1-byte file cannot be uploaded"));
    EXPECT_THAT(u.Open(Path("absent.bin"), 64), HasSubstr("cannot read"));
    EXPECT_THAT(u.Open(dir_.string(), 64), HasSubstr("not a regular file"));

    WriteFile(Path("empty.bin"), "");
    ASSERT_EQ(u.Open(Path("empty.bin"), 64), "");
    tarselctl::ByteArray block(1, 0);
    ASSERT_EQ(u.Next(block), "");
    EXPECT_TRUE(block.empty());
}

TEST_F(TarselFtpLocalFiles, UploadOfAFileThatShrinksFails) {
    const std::string path = Path("shrinks.bin");
    WriteFile(path, std::string(100, 'z'));
    UploadSource u;
    ASSERT_EQ(u.Open(path, 40), "");
    tarselctl::ByteArray block;
    ASSERT_EQ(u.Next(block), "");
    ASSERT_EQ(::truncate(path.c_str(), 50), 0);
    EXPECT_THAT(u.Next(block), HasSubstr("became shorter"));
    EXPECT_TRUE(block.empty());
}

}  // namespace
}  // namespace tarselftp

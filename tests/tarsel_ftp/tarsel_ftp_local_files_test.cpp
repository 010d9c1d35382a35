// tarsel-ftp's local files: what a download leaves on disk, and how an upload reads blocks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "download_file.h"
#include "upload_source.h"

namespace tarselftp {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

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
    /// The names in the test's directory, sorted.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
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
    EXPECT_EQ(ReadFile(d.WritePath()), "new bytes");
    EXPECT_THAT(d.WritePath(), StartsWith(local + "."));
    ASSERT_EQ(d.Finish(true), "");
    EXPECT_EQ(ReadFile(local), "new bytes");
    EXPECT_THAT(Entries(), ElementsAre("file.bin"));
}

TEST_F(TarselFtpLocalFiles, FailedDownloadKeepsItsBytesAsAPartAndTheOldFileAsItWas) {
    const std::string kept = Path("kept.bin");
    WriteFile(kept, "old content");
    DownloadFile d;
    ASSERT_EQ(d.Prepare(kept, std::nullopt), "");
    ASSERT_EQ(Write(d, "half"), "");
    ASSERT_EQ(d.Finish(false), "");
    EXPECT_EQ(ReadFile(kept), "old content");
    EXPECT_EQ(d.KeptPart(), Path("kept.bin.part"));
    EXPECT_EQ(ReadFile(Path("kept.bin.part")), "half");

    // A second failure does not replace the part that is there: it may hold more.
    ASSERT_EQ(d.Prepare(kept, std::nullopt), "");
    ASSERT_EQ(Write(d, "x"), "");
    ASSERT_EQ(d.Finish(false), "");
    EXPECT_EQ(d.KeptPart(), "");
    EXPECT_EQ(ReadFile(Path("kept.bin.part")), "half");
    EXPECT_THAT(Entries(), ElementsAre("kept.bin", "kept.bin.part"));

    // Refused before the first byte: nothing is created at all.
    const std::string fresh = Path("fresh.bin");
    ASSERT_EQ(d.Prepare(fresh, std::nullopt), "");
    ASSERT_EQ(d.Finish(false), "");
    EXPECT_THAT(Entries(), ElementsAre("kept.bin", "kept.bin.part"));
}

TEST_F(TarselFtpLocalFiles, AResumedPartTakesTheFinalNameOnlyWhenWhole) {
    const std::string local = Path("big.iso");
    WriteFile(local, "user's old file");
    WriteFile(Path("big.iso.part"), "0123");
    DownloadFile d;
    // More bytes skipped than the part holds: refused before anything is asked.
    EXPECT_THAT(d.Prepare(local, 5, true), HasSubstr("has only 4 bytes"));
    ASSERT_EQ(d.Prepare(local, 4, true), "");
    ASSERT_EQ(Write(d, "45"), "");
    ASSERT_EQ(d.Finish(false), "");
    EXPECT_EQ(ReadFile(Path("big.iso.part")), "012345") << "a second interruption keeps what came";
    EXPECT_EQ(ReadFile(local), "user's old file");
    ASSERT_EQ(d.Prepare(local, 6, true), "");
    ASSERT_EQ(Write(d, "6789"), "");
    d.SetModifiedOnSuccess(1577934245);
    ASSERT_EQ(d.Finish(true), "");
    EXPECT_EQ(ReadFile(local), "0123456789");
    EXPECT_THAT(Entries(), ElementsAre("big.iso"));
    struct stat st {};
    ASSERT_EQ(::stat(local.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1577934245);

    // A link in the part's place is not written through.
    fs::create_symlink(Path("big.iso"), Path("x.part"));
    EXPECT_THAT(d.Prepare(Path("x"), 1, true), HasSubstr("not a regular file"));
}

// A file of the user's under the name an older version gave the temporary file, or a
// symbolic link there, is neither written, followed nor removed.
TEST_F(TarselFtpLocalFiles, DownloadNeverTouchesFilesItDidNotCreate) {
    const std::string local = Path("doc.txt"), part = Path("doc.txt.part");
    for (const bool link : {false, true}) {
        for (const bool success : {false, true}) {
            SCOPED_TRACE(std::string(link ? "link" : "file") + (success ? ", success" : ", failure"));
            fs::remove(local);
            fs::remove(part);
            WriteFile(Path("elsewhere"), "the user's own");
            if (link) fs::create_symlink(Path("elsewhere"), part);
            else WriteFile(part, "the user's own");
            DownloadFile d;
            ASSERT_EQ(d.Prepare(local, std::nullopt), "");
            ASSERT_EQ(Write(d, "downloaded"), "");
            ASSERT_EQ(d.Finish(success), "");
            EXPECT_EQ(ReadFile(part), "the user's own");
            EXPECT_EQ(ReadFile(Path("elsewhere")), "the user's own");
            EXPECT_EQ(fs::is_symlink(part), link);
            EXPECT_EQ(fs::exists(local), success);
            if (success) {
                EXPECT_EQ(ReadFile(local), "downloaded");
            }
            EXPECT_EQ(Entries().size(), success ? 3u : 2u) << "no temporary file is left";
        }
    }
}

// A temporary file replaced while the download runs (a link or another file put in its
// place) is not the download's any more: it is neither removed nor renamed over LOCAL.
TEST_F(TarselFtpLocalFiles, AReplacedTemporaryFileIsLeftAlone) {
    const std::string local = Path("doc.txt");
    WriteFile(local, "old content");
    WriteFile(Path("secret"), "must survive");
    for (const bool success : {false, true}) {
        SCOPED_TRACE(success ? "success" : "failure");
        DownloadFile d;
        ASSERT_EQ(d.Prepare(local, std::nullopt), "");
        ASSERT_EQ(Write(d, "new"), "");
        const std::string temporary = d.WritePath();
        ASSERT_EQ(::unlink(temporary.c_str()), 0);
        fs::create_symlink(Path("secret"), temporary);
        const std::string error = d.Finish(success);
        if (success) {
            EXPECT_THAT(error, HasSubstr("was replaced during the download"));
        } else {
            EXPECT_EQ(error, "");
        }
        EXPECT_TRUE(fs::is_symlink(temporary));
        EXPECT_EQ(ReadFile(local), "old content");
        EXPECT_EQ(ReadFile(Path("secret")), "must survive");
        fs::remove(temporary);
    }
}

TEST(TarselFtpTemporaryPath, StaysBesideTheTargetAndWithinTheLongestFileName) {
    EXPECT_EQ(TemporaryDownloadPath("doc.txt", "u1"), "doc.txt.u1.part");
    EXPECT_EQ(TemporaryDownloadPath("/a/b.c/doc", "u1"), "/a/b.c/doc.u1.part");
    EXPECT_EQ(TemporaryDownloadPath("../x", "u1"), "../x.u1.part");
    // A name that is already as long as a file name may be is shortened, the folder is not.
    const std::string longName(255, 'n');
    const std::string path = TemporaryDownloadPath("dir/" + longName, "12345678");
    EXPECT_EQ(path, "dir/" + std::string(255 - 14, 'n') + ".12345678.part");
    EXPECT_EQ(path.size() - 4, 255u);
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

TEST_F(TarselFtpLocalFiles, UploadTakesAnyContentAndRefusesWhatIsNoFile) {
    UploadSource u;
    // A lone zero byte is data too: the last block is marked by AtEnd, not by its content.
    WriteFile(Path("zero.bin"), std::string(1, '\0'));
    ASSERT_EQ(u.Open(Path("zero.bin"), 64), "");
    tarselctl::ByteArray zero;
    ASSERT_EQ(u.Next(zero), "");
    EXPECT_EQ(zero, tarselctl::ByteArray{0});
    EXPECT_TRUE(u.AtEnd());
    WriteFile(Path("one.bin"), "x");
    ASSERT_EQ(u.Open(Path("one.bin"), 64), "");
    tarselctl::ByteArray only(1, 0);
    ASSERT_EQ(u.Next(only), "");
    EXPECT_EQ(only, tarselctl::ByteArray{'x'});
    ASSERT_EQ(u.Next(only), "");
    EXPECT_TRUE(only.empty());

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

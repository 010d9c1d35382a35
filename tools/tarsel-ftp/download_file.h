// The local side of one download: where the bytes of GetData go, and what is left on disk
// when the download ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <fcntl.h>
#include <sys/types.h>

namespace tarselftp {

/// Where a fresh download to `local` is written until it has succeeded: beside `local`, in
/// the same directory (the final rename then stays on one file system), named
/// "NAME.UNIQUE.part" after the last component NAME of `local`. NAME is shortened, byte by
/// byte, when the whole name would be longer than a file name may be (255 bytes).
std::string TemporaryDownloadPath(std::string_view local, std::string_view unique);

/// Where an interrupted download to `local` is kept for `get -c`: "LOCAL.part" (NAME
/// shortened as above when needed).
std::string PartialDownloadPath(std::string_view local);

/// A fresh download is written to a temporary file of its own (TemporaryDownloadPath, with
/// a random UNIQUE) and renamed to LOCAL only when it has succeeded, so that a failed or
/// aborted download never leaves a half file under the final name. What a failed download
/// to a user's name brought is kept as LOCAL.part (PartialDownloadPath), unless such a file
/// exists already, so that `get -c` can fetch only the rest. The temporary file is
/// created exclusively, never through a symbolic link, and only a file this object created
/// is ever renamed or removed: a file of the user's that happens to carry such a name is
/// never touched. A resumed download (rest) writes into LOCAL itself from the restart offset
/// on. "-" writes to standard output, and a LOCAL that exists and is no regular file (a
/// device such as /dev/null, a pipe) is written directly.
class DownloadFile {
public:
    DownloadFile() = default;
    ~DownloadFile();
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    /// Checks that the download can go to `local` before anything is asked of the server.
    /// Creates nothing. Returns an error message, empty when fine.
    /// `fromPart`: a resumed download continues LOCAL.part, which must be a regular file of at
    /// least restOffset bytes, and renames it to LOCAL once whole.
    std::string Prepare(const std::string& local, std::optional<std::uint64_t> restOffset,
                        bool fromPart = false);
    /// A fresh download to the file `name` in the open directory `directoryFd`, which this
    /// object takes over (and closes at Finish, or now on an error): mirror's way to write
    /// below its target without following links. `shownDirectory` names the directory in
    /// messages. What is there already under `name` must be a regular file; a symbolic link,
    /// a device or a pipe is refused, never written through.
    std::string PrepareIn(int directoryFd, const std::string& name, const std::string& shownDirectory);
    /// Writes one block; the first one opens the file. Error message or "".
    std::string Write(const std::uint8_t* data, std::size_t size);
    /// Ends the download: on success the file takes its final name (an empty download
    /// creates it now), otherwise a fresh download's partial file is removed. Nothing is
    /// created for a download that failed before its first byte. Error message or "".
    std::string Finish(bool success);

    bool IsOpen() const { return fd_ >= 0; }
    /// The modification time (seconds since 1970, UTC) the finished file is given.
    void SetModifiedOnSuccess(std::optional<std::int64_t> time) { modified_ = time; }
    /// The partial file the last failed Finish kept, for the user to be told; "" if none.
    const std::string& KeptPart() const { return keptPart_; }
    std::uint64_t BytesWritten() const { return written_; }

    /// The file the bytes go to now (the temporary file of a fresh download once opened).
    std::string WritePath() const { return shownDirectory_ + writePath_; }

private:
    std::string Open();
    std::string CreateTemporaryFile();
    /// Whether writePath_ is still the temporary file this object created.
    bool IsOurTemporaryFile() const;
    std::string CloseFd();
    void CloseDirectory();
    /// writePath_ or local_ as messages show them.
    std::string Shown(const std::string& name) const { return shownDirectory_ + name; }

    enum class Mode { None, Part, Resume, ResumePart, Direct, StandardOutput };
    Mode mode_ = Mode::None;
    /// Where the file goes, and the temporary file beside it; both relative to directoryFd_
    /// (AT_FDCWD: the current directory, as the user's paths are).
    int directoryFd_ = AT_FDCWD;
    std::string local_;
    std::string writePath_;
    /// "dir/" in front of the names above in messages when directoryFd_ is mirror's.
    std::string shownDirectory_;
    std::uint64_t offset_ = 0;
    std::uint64_t written_ = 0;
    int fd_ = -1;
    bool opened_ = false;
    /// A failed fresh download keeps its bytes as LOCAL.part (downloads to a user's name).
    bool keepPartial_ = false;
    std::optional<std::int64_t> modified_;
    std::string keptPart_;
    bool created_ = false;
    dev_t createdDevice_ = 0;
    ino_t createdInode_ = 0;
};

}  // namespace tarselftp

// The local side of one download: where the bytes of GetData go, and what is left on disk
// when the download ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarselftp {

/// A fresh download is written to "LOCAL.part" and renamed to LOCAL only when it has
/// succeeded, so that a failed or aborted download never leaves a half file under the final
/// name. A resumed download (rest) writes into LOCAL itself from the restart offset on.
/// "-" writes to standard output, and a LOCAL that exists and is no regular file (a device
/// such as /dev/null, a pipe) is written directly.
class DownloadFile {
public:
    DownloadFile() = default;
    ~DownloadFile();
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    /// Checks that the download can go to `local` before anything is asked of the server.
    /// Creates nothing. Returns an error message, empty when fine.
    std::string Prepare(const std::string& local, std::optional<std::uint64_t> restOffset);
    /// Writes one block; the first one opens the file. Error message or "".
    std::string Write(const std::uint8_t* data, std::size_t size);
    /// Ends the download: on success the file takes its final name (an empty download
    /// creates it now), otherwise a fresh download's partial file is removed. Nothing is
    /// created for a download that failed before its first byte. Error message or "".
    std::string Finish(bool success);

    bool IsOpen() const { return fd_ >= 0; }
    std::uint64_t BytesWritten() const { return written_; }

private:
    std::string Open();
    std::string CloseFd();

    enum class Mode { None, Part, Resume, Direct, StandardOutput };
    Mode mode_ = Mode::None;
    std::string local_;
    std::string writePath_;
    std::uint64_t offset_ = 0;
    std::uint64_t written_ = 0;
    int fd_ = -1;
    bool opened_ = false;
    bool created_ = false;
};

}  // namespace tarselftp

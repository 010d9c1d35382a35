#include "download_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarselftp {

namespace {
std::string SystemError(const std::string& what, const std::string& path, int error) {
    return what + " '" + path + "': " + std::strerror(error);
}
}  // namespace

DownloadFile::~DownloadFile() { (void)CloseFd(); }

std::string DownloadFile::Prepare(const std::string& local, std::optional<std::uint64_t> restOffset) {
    (void)CloseFd();
    mode_ = Mode::None;
    local_ = local;
    offset_ = restOffset.value_or(0);
    written_ = 0;
    opened_ = false;
    created_ = false;

    if (local == "-") {
        mode_ = Mode::StandardOutput;
        return {};
    }
    struct stat st {};
    const bool exists = ::stat(local.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return SystemError("cannot use", local, errno);
    if (exists && S_ISDIR(st.st_mode)) return "'" + local + "' is a directory";
    if (exists && !S_ISREG(st.st_mode)) {
        // Devices and pipes have no final name to protect; they take the bytes as they come.
        mode_ = Mode::Direct;
        writePath_ = local;
        return {};
    }
    if (restOffset) {
        // Resuming continues the local file: it must hold at least the bytes skipped.
        const std::uint64_t have = exists ? static_cast<std::uint64_t>(st.st_size) : 0;
        if (have < offset_)
            return "cannot resume at " + std::to_string(offset_) + ": '" + local + "' has only " +
                   std::to_string(have) + " bytes";
        mode_ = Mode::Resume;
        writePath_ = local;
        return {};
    }
    mode_ = Mode::Part;
    writePath_ = local + ".part";
    return {};
}

std::string DownloadFile::Open() {
    (void)CloseFd();
    opened_ = true;
    switch (mode_) {
    case Mode::None:
        return "no download prepared";
    case Mode::StandardOutput:
        // Listing text may sit in stdio's buffer; it must come out before the file's bytes.
        std::fflush(stdout);
        fd_ = ::dup(STDOUT_FILENO);
        if (fd_ < 0) return SystemError("cannot write", "-", errno);
        return {};
    case Mode::Direct:
        fd_ = ::open(writePath_.c_str(), O_WRONLY | O_CLOEXEC);
        break;
    case Mode::Resume:
        fd_ = ::open(writePath_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ >= 0 && (::ftruncate(fd_, static_cast<off_t>(offset_)) != 0 ||
                         ::lseek(fd_, static_cast<off_t>(offset_), SEEK_SET) < 0)) {
            const int error = errno;
            (void)CloseFd();
            return SystemError("cannot resume", writePath_, error);
        }
        break;
    case Mode::Part:
        fd_ = ::open(writePath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        created_ = fd_ >= 0;
        break;
    }
    if (fd_ < 0) return SystemError("cannot write", writePath_, errno);
    return {};
}

std::string DownloadFile::Write(const std::uint8_t* data, std::size_t size) {
    if (fd_ < 0) {
        if (opened_) return "download file is not open";
        if (std::string error = Open(); !error.empty()) return error;
    }
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return SystemError("cannot write", mode_ == Mode::StandardOutput ? "-" : writePath_,
                               errno);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        written_ += static_cast<std::uint64_t>(n);
    }
    return {};
}

std::string DownloadFile::CloseFd() {
    if (fd_ < 0) return {};
    const int fd = fd_;
    fd_ = -1;
    // A delayed write error (a full disk on a network file system) shows only at close.
    if (::close(fd) != 0 && errno != EINTR) return SystemError("cannot write", writePath_, errno);
    return {};
}

std::string DownloadFile::Finish(bool success) {
    std::string error;
    if (success && !opened_ && mode_ != Mode::None) error = Open();
    if (std::string closeError = CloseFd(); error.empty()) error = closeError;
    if (mode_ == Mode::Part && created_) {
        if (success && error.empty()) {
            if (::rename(writePath_.c_str(), local_.c_str()) != 0) {
                error = SystemError("cannot rename '" + writePath_ + "' to", local_, errno);
                ::unlink(writePath_.c_str());
            }
        } else {
            ::unlink(writePath_.c_str());
        }
    }
    created_ = false;
    opened_ = false;
    mode_ = Mode::None;
    return error;
}

}  // namespace tarselftp

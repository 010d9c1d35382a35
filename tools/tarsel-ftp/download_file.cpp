#include "download_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace tarselftp {

namespace {
std::string SystemError(const std::string& what, const std::string& path, int error) {
    return what + " '" + path + "': " + std::strerror(error);
}

// Longest file name (one path component) the usual Linux file systems take.
constexpr std::size_t kNameMax = 255;
// Names tried before giving up; each is taken only when the name is free.
constexpr int kCreateAttempts = 100;

std::string RandomUnique() {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    std::string unique(8, '\0');
    for (char& c : unique) c = kLetters[pick(random)];
    return unique;
}
}  // namespace

std::string TemporaryDownloadPath(std::string_view local, std::string_view unique) {
    const std::size_t slash = local.rfind('/');
    const std::string_view directory =
        slash == std::string_view::npos ? std::string_view() : local.substr(0, slash + 1);
    std::string_view name = local.substr(directory.size());
    const std::string suffix = "." + std::string(unique) + ".part";
    const std::size_t room = kNameMax > suffix.size() ? kNameMax - suffix.size() : 0;
    if (name.size() > room) name = name.substr(0, room);
    return std::string(directory) + std::string(name) + suffix;
}

std::string PartialDownloadPath(std::string_view local) {
    // The unique part is what TemporaryDownloadPath puts before ".part"; without one the
    // name is "NAME.part".
    std::string path = TemporaryDownloadPath(local, "");
    const std::size_t dots = path.rfind("..part");
    if (dots != std::string::npos && dots + 6 == path.size()) path.erase(dots, 1);
    return path;
}

DownloadFile::~DownloadFile() {
    (void)CloseFd();
    CloseDirectory();
}

void DownloadFile::CloseDirectory() {
    if (directoryFd_ != AT_FDCWD) ::close(directoryFd_);
    directoryFd_ = AT_FDCWD;
    shownDirectory_.clear();
}

std::string DownloadFile::PrepareIn(int directoryFd, const std::string& name,
                                    const std::string& shownDirectory) {
    (void)CloseFd();
    CloseDirectory();
    mode_ = Mode::None;
    directoryFd_ = directoryFd;
    shownDirectory_ = shownDirectory.empty() || shownDirectory.back() == '/' ? shownDirectory
                                                                             : shownDirectory + "/";
    local_ = name;
    offset_ = 0;
    written_ = 0;
    opened_ = false;
    created_ = false;
    keepPartial_ = false;
    modified_.reset();
    keptPart_.clear();
    writePath_.clear();
    std::string error;
    struct stat st {};
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        error = "'" + Shown(name) + "' is no file name";
    } else if (::fstatat(directoryFd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        // The rename at the end would replace a link rather than follow it, but the user put
        // it there: it is reported, not quietly swapped for a file.
        if (S_ISLNK(st.st_mode)) error = "'" + Shown(name) + "' is a symbolic link; nothing is written through it";
        else if (S_ISDIR(st.st_mode)) error = "'" + Shown(name) + "' is a directory";
        else if (!S_ISREG(st.st_mode)) error = "'" + Shown(name) + "' is not a regular file";
    } else if (errno != ENOENT) {
        error = SystemError("cannot use", Shown(name), errno);
    }
    if (error.empty() && ::faccessat(directoryFd_, ".", W_OK | X_OK, 0) != 0)
        error = SystemError("cannot write", Shown(name), errno);
    if (!error.empty()) {
        CloseDirectory();
        return error;
    }
    mode_ = Mode::Part;
    return {};
}

std::string DownloadFile::Prepare(const std::string& local, std::optional<std::uint64_t> restOffset,
                                  bool fromPart) {
    (void)CloseFd();
    CloseDirectory();
    mode_ = Mode::None;
    local_ = local;
    offset_ = restOffset.value_or(0);
    written_ = 0;
    opened_ = false;
    created_ = false;
    keepPartial_ = false;
    modified_.reset();
    keptPart_.clear();

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
    if (restOffset && fromPart) {
        writePath_ = PartialDownloadPath(local);
        struct stat part {};
        if (::lstat(writePath_.c_str(), &part) != 0) return SystemError("cannot resume", writePath_, errno);
        if (!S_ISREG(part.st_mode)) return "'" + writePath_ + "' is not a regular file; nothing is written through it";
        if (static_cast<std::uint64_t>(part.st_size) < offset_)
            return "cannot resume at " + std::to_string(offset_) + ": '" + writePath_ + "' has only " +
                   std::to_string(part.st_size) + " bytes";
        mode_ = Mode::ResumePart;
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
    // The temporary file goes beside LOCAL: a directory that is missing or closed to us is
    // told now, under the name the user gave, before the server is asked for anything.
    const auto slash = local.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : local.substr(0, slash);
    if (::access(parent.c_str(), W_OK | X_OK) != 0) return SystemError("cannot write", local, errno);
    mode_ = Mode::Part;
    keepPartial_ = true;
    writePath_.clear();  // named when the first block creates it
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
        fd_ = ::openat(directoryFd_, writePath_.c_str(), O_WRONLY | O_CLOEXEC);
        break;
    case Mode::ResumePart:
    case Mode::Resume:
        // The partial file is ours by name only: it is never created here, and a link put
        // in its place is not followed.
        fd_ = mode_ == Mode::ResumePart
                  ? ::openat(directoryFd_, writePath_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC)
                  : ::openat(directoryFd_, writePath_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ >= 0 && (::ftruncate(fd_, static_cast<off_t>(offset_)) != 0 ||
                         ::lseek(fd_, static_cast<off_t>(offset_), SEEK_SET) < 0)) {
            const int error = errno;
            (void)CloseFd();
            return SystemError("cannot resume", Shown(writePath_), error);
        }
        break;
    case Mode::Part:
        return CreateTemporaryFile();
    }
    if (fd_ < 0) return SystemError("cannot write", Shown(writePath_), errno);
    return {};
}

std::string DownloadFile::CreateTemporaryFile() {
    // O_EXCL takes only a name that nothing has yet, so no file of the user's is truncated,
    // and together with O_NOFOLLOW no symbolic link leads the bytes somewhere else.
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        writePath_ = TemporaryDownloadPath(local_, RandomUnique());
        fd_ = ::openat(directoryFd_, writePath_.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) return SystemError("cannot write", Shown(writePath_), errno);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int error = errno;
        (void)CloseFd();
        ::unlinkat(directoryFd_, writePath_.c_str(), 0);  // created just now, and not yet handed to anyone
        return SystemError("cannot write", Shown(writePath_), error);
    }
    created_ = true;
    createdDevice_ = st.st_dev;
    createdInode_ = st.st_ino;
    return {};
}

bool DownloadFile::IsOurTemporaryFile() const {
    struct stat st {};
    return created_ && ::fstatat(directoryFd_, writePath_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode) &&
           st.st_dev == createdDevice_ && st.st_ino == createdInode_;
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
            return SystemError("cannot write", mode_ == Mode::StandardOutput ? "-" : Shown(writePath_),
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
    if (::close(fd) != 0 && errno != EINTR) return SystemError("cannot write", Shown(writePath_), errno);
    return {};
}

std::string DownloadFile::Finish(bool success) {
    if (mode_ != Mode::None) keptPart_.clear();
    std::string error;
    if (success && !opened_ && mode_ != Mode::None) error = Open();
    if (success && error.empty() && fd_ >= 0 && modified_ &&
        (mode_ == Mode::Part || mode_ == Mode::Resume || mode_ == Mode::ResumePart)) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(*modified_), 0}};
        if (::futimens(fd_, times) != 0) error = SystemError("cannot set the time of", Shown(writePath_), errno);
    }
    if (std::string closeError = CloseFd(); error.empty()) error = closeError;
    if (mode_ == Mode::Part && created_) {
        // Something else under the temporary name (it was replaced while the download ran)
        // is neither renamed over LOCAL nor removed.
        const bool ours = IsOurTemporaryFile();
        if (!ours) {
            if (success && error.empty())
                error = "'" + Shown(writePath_) + "' was replaced during the download; '" +
                        Shown(local_) + "' is left as it was";
        } else if (success && error.empty()) {
            if (::renameat(directoryFd_, writePath_.c_str(), directoryFd_, local_.c_str()) != 0) {
                error = SystemError("cannot rename '" + Shown(writePath_) + "' to", Shown(local_), errno);
                ::unlinkat(directoryFd_, writePath_.c_str(), 0);
            }
        } else if (keepPartial_ && written_ > 0 &&
                   ::renameat2(directoryFd_, writePath_.c_str(), directoryFd_,
                               PartialDownloadPath(local_).c_str(), RENAME_NOREPLACE) == 0) {
            // Never over an existing LOCAL.part: that may hold more than this attempt got.
            keptPart_ = Shown(PartialDownloadPath(local_));
        } else {
            ::unlinkat(directoryFd_, writePath_.c_str(), 0);
        }
    } else if (mode_ == Mode::ResumePart && success && error.empty()) {
        if (::renameat(directoryFd_, writePath_.c_str(), directoryFd_, local_.c_str()) != 0)
            error = SystemError("cannot rename '" + Shown(writePath_) + "' to", Shown(local_), errno);
    } else if (mode_ == Mode::ResumePart && opened_) {
        keptPart_ = Shown(writePath_);
    }
    created_ = false;
    opened_ = false;
    mode_ = Mode::None;
    CloseDirectory();
    return error;
}

}  // namespace tarselftp

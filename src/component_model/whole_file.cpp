#include "component_model/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace tarselctl {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what, const std::filesystem::path& path) {
    throw std::system_error(errno, std::generic_category(), what + " " + path.string());
}

// Closes the descriptor and removes the temporary file unless the rename went through.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string name) : name_(std::move(name)) {
        std::vector<char> buffer(name_.begin(), name_.end());
        buffer.push_back('\0');
        fd_ = ::mkstemp(buffer.data());
        if (fd_ < 0) ThrowErrno("cannot create a temporary file for", name_);
        name_.assign(buffer.data());
    }
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(name_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return fd_; }
    const std::string& name() const { return name_; }
    void CloseChecked() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) ThrowErrno("cannot close", name_);
    }
    void Committed() { committed_ = true; }

private:
    std::string name_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        ThrowErrno("cannot open", path);
    }
    std::string contents;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int saved = errno;
            ::close(fd);
            errno = saved;
            ThrowErrno("cannot read", path);
        }
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return contents;
}

void ReplaceFileAtomically(const std::filesystem::path& path, std::string_view contents) {
    const std::filesystem::path directory =
        path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    TemporaryFile temp((directory / ("." + path.filename().string() + ".XXXXXX")).string());

    mode_t mode = 0644;
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
    if (::fchmod(temp.fd(), mode) != 0) ThrowErrno("cannot set the mode of", temp.name());

    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = ::write(temp.fd(), contents.data() + written, contents.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno("cannot write", temp.name());
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(temp.fd()) != 0) ThrowErrno("cannot flush", temp.name());
    temp.CloseChecked();
    if (::rename(temp.name().c_str(), path.c_str()) != 0) ThrowErrno("cannot replace", path);
    temp.Committed();

    // The rename itself lives in the directory; flush it too so the new name survives a crash.
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

}  // namespace tarselctl

#include "confined_directory.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarselftp {

namespace {
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
}  // namespace

OpenedDirectory OpenDirectoryBelow(const std::string& root, std::string_view below, bool create) {
    if (create) {
        std::error_code ec;
        std::filesystem::create_directories(root, ec);
        if (ec) return {-1, "cannot make the directory '" + root + "': " + ec.message()};
    }
    int fd = ::open(root.c_str(), kDirectoryFlags);
    if (fd < 0) return {-1, "cannot open the directory '" + root + "': " + std::strerror(errno)};
    std::string shown = root;
    while (!below.empty()) {
        const std::size_t slash = below.find('/');
        const std::string name(below.substr(0, slash));
        below = slash == std::string_view::npos ? std::string_view() : below.substr(slash + 1);
        if (name.empty()) continue;
        shown += (shown.empty() || shown.back() == '/' ? "" : "/") + name;
        if (name == "." || name == "..") {
            ::close(fd);
            return {-1, "'" + shown + "' leads out of '" + root + "'"};
        }
        if (create && ::mkdirat(fd, name.c_str(), 0777) != 0 && errno != EEXIST) {
            const int error = errno;
            ::close(fd);
            return {-1, "cannot make the directory '" + shown + "': " + std::strerror(error)};
        }
        const int next = ::openat(fd, name.c_str(), kDirectoryFlags | O_NOFOLLOW);
        const int error = errno;
        if (next < 0) {
            // O_NOFOLLOW on a link gives ELOOP (ENOTDIR with O_DIRECTORY on some systems):
            // lstat tells which the user should hear about.
            struct stat st {};
            const bool isLink = ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
            ::close(fd);
            if (isLink) return {-1, "'" + shown + "' is a symbolic link; nothing is written through it"};
            if (error == ENOTDIR) return {-1, "'" + shown + "' is not a directory"};
            return {-1, "cannot open the directory '" + shown + "': " + std::strerror(error)};
        }
        ::close(fd);
        fd = next;
    }
    return {fd, {}};
}

}  // namespace tarselftp

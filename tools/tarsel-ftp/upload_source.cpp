#include "upload_source.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "upload_block_plan.h"

namespace tarselftp {

UploadSource::~UploadSource() { Close(); }

std::string UploadSource::Open(const std::string& path, std::uint32_t chunk) {
    Close();
    path_ = path;
    chunk_ = chunk < 2 ? 2 : chunk;
    size_ = 0;
    read_ = 0;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return "cannot read '" + path + "': " + std::strerror(errno);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int error = errno;
        Close();
        return "cannot read '" + path + "': " + std::strerror(error);
    }
    if (!S_ISREG(st.st_mode)) {
        // Without a known length the last block could not be kept from being one byte.
        Close();
        return "'" + path + "' is not a regular file";
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    return {};
}

std::string UploadSource::OpenStandardInput(std::uint32_t chunk) {
    Close();
    path_ = "standard input";
    chunk_ = chunk < 2 ? 2 : chunk;
    size_ = 0;
    read_ = 0;
    fd_ = ::dup(STDIN_FILENO);
    if (fd_ < 0) return std::string("cannot read standard input: ") + std::strerror(errno);
    stream_ = true;
    streamEnded_ = false;
    ahead_.clear();
    const std::string error = FillAhead(2);
    if (!error.empty()) {
        Close();
        return error;
    }
    return {};
}

std::string UploadSource::FillAhead(std::size_t want) {
    while (!streamEnded_ && ahead_.size() < want) {
        char buffer[65536];
        const std::size_t room = std::min(sizeof buffer, want - ahead_.size());
        const ssize_t n = ::read(fd_, buffer, room);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // The control asks for the block now; a pipe that is behind is waited for.
                pollfd p{fd_, POLLIN, 0};
                (void)::poll(&p, 1, -1);
                continue;
            }
            return std::string("cannot read standard input: ") + std::strerror(errno);
        }
        if (n == 0) streamEnded_ = true;
        ahead_.append(buffer, static_cast<std::size_t>(n));
    }
    return {};
}

std::string UploadSource::NextFromStream(tarselctl::ByteArray& block) {
    // Two bytes stay behind until the input has ended, so the last block holds at least two.
    const std::string error = FillAhead(static_cast<std::size_t>(chunk_) + 2);
    if (!error.empty()) {
        block.clear();
        return error;
    }
    const std::size_t give = streamEnded_ ? ahead_.size() : chunk_;
    block.assign(ahead_.begin(), ahead_.begin() + static_cast<std::ptrdiff_t>(give));
    ahead_.erase(0, give);
    read_ += give;
    return {};
}

std::string UploadSource::Next(tarselctl::ByteArray& block) {
    if (stream_ && fd_ >= 0) return NextFromStream(block);
    if (fd_ < 0) {
        block.clear();
        return "upload file is not open";
    }
    const std::uint64_t want = NextBlockSize(size_ - read_, chunk_);
    block.resize(static_cast<std::size_t>(want));
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd_, block.data() + got, block.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            block.clear();
            return "cannot read '" + path_ + "': " + std::strerror(error);
        }
        if (n == 0) {
            block.clear();
            return "'" + path_ + "' became shorter while it was uploaded";
        }
        got += static_cast<std::size_t>(n);
    }
    read_ += got;
    return {};
}

std::string UploadSource::SkipTo(std::uint64_t offset) {
    if (fd_ < 0 || stream_) return "upload file is not open";
    if (offset > size_) return "'" + path_ + "' is shorter than the " + std::to_string(offset) + " bytes already sent";
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0)
        return "cannot read '" + path_ + "': " + std::strerror(errno);
    read_ = offset;
    return {};
}

void UploadSource::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    stream_ = false;
    ahead_.clear();
}

}  // namespace tarselftp

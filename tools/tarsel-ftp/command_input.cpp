#include "command_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <asio/error.hpp>
#include <asio/post.hpp>

namespace tarselftp {

CommandInput::CommandInput(asio::io_context& io, LineHandler onLine, EndHandler onEnd)
    : io_(io), onLine_(std::move(onLine)), onEnd_(std::move(onEnd)) {}

CommandInput::~CommandInput() { Stop(); }

void CommandInput::Start() {
    savedFlags_ = ::fcntl(STDIN_FILENO, F_GETFL);
    const int fd = ::dup(STDIN_FILENO);
    asio::error_code ec;
    if (fd >= 0) {
        stream_ = std::make_unique<asio::posix::stream_descriptor>(io_);
        stream_->assign(fd, ec);
        if (ec) ::close(fd);
    }
    if (fd < 0 || ec) {
        // No readable standard input: the same as an empty one.
        stream_.reset();
        asio::post(io_, [this] {
            if (!stopped_) onEnd_();
        });
        return;
    }
    ReadMore();
}

void CommandInput::ReadMore() {
    stream_->async_read_some(asio::buffer(chunk_), [this](const asio::error_code& ec, std::size_t n) {
        if (stopped_ || ec == asio::error::operation_aborted) return;
        if (n > 0) Deliver(n);
        if (stopped_) return;
        if (ec) {
            // End of input (or an unreadable one): a last line without LF still counts.
            if (!pending_.empty()) {
                std::string last = std::move(pending_);
                pending_.clear();
                onLine_(std::move(last));
                if (stopped_) return;
            }
            onEnd_();
            return;
        }
        ReadMore();
    });
}

void CommandInput::Deliver(std::size_t n) {
    pending_.append(chunk_.data(), n);
    std::size_t start = 0;
    for (;;) {
        const std::size_t lf = pending_.find('\n', start);
        if (lf == std::string::npos) break;
        std::string line = pending_.substr(start, lf - start);
        start = lf + 1;
        onLine_(std::move(line));
        if (stopped_) return;
    }
    pending_.erase(0, start);
}

void CommandInput::Stop() {
    if (stopped_) return;
    stopped_ = true;
    if (stream_) {
        asio::error_code ignored;
        stream_->cancel(ignored);
        stream_->close(ignored);
    }
    if (savedFlags_ >= 0) ::fcntl(STDIN_FILENO, F_SETFL, savedFlags_);
}

}  // namespace tarselftp

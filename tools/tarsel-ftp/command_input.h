// Command lines read from standard input without ever blocking the event loop.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

namespace tarselftp {

/// Reads standard input through the io_context and hands over one line at a time (without
/// its LF). Works for terminals, pipes and regular files alike. The descriptor's file status
/// flags are shared with the shell that started the program, so they are put back as they
/// were when reading stops.
class CommandInput {
public:
    using LineHandler = std::function<void(std::string line)>;
    using EndHandler = std::function<void()>;

    CommandInput(asio::io_context& io, LineHandler onLine, EndHandler onEnd);
    ~CommandInput();
    CommandInput(const CommandInput&) = delete;
    CommandInput& operator=(const CommandInput&) = delete;

    void Start();
    /// No more lines are delivered, and no end either.
    void Stop();

private:
    void ReadMore();
    void Deliver(std::size_t n);

    asio::io_context& io_;
    LineHandler onLine_;
    EndHandler onEnd_;
    std::unique_ptr<asio::posix::stream_descriptor> stream_;
    std::array<char, 4096> chunk_{};
    std::string pending_;
    int savedFlags_ = -1;
    bool stopped_ = false;
};

}  // namespace tarselftp

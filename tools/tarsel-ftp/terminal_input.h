// Command lines typed at a terminal: a prompt, line editing, history and completion through
// GNU readline, fed from the io_context so that the control never waits on the keyboard.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

namespace tarselftp {

/// Uses readline's callback interface: the io_context reports standard input readable, and
/// readline is handed one character at a time. Readline keeps global state, so only one
/// TerminalInput may exist at a time.
///
/// The prompt is shown only when the session asks for the next line; while a command runs
/// the terminal is left in its normal mode, so a shell command or a password prompt of
/// another program behaves as usual, and typed lines wait in the terminal's buffer.
class TerminalInput {
public:
    using LineHandler = std::function<void(std::string line)>;
    using EndHandler = std::function<void()>;
    using SecretHandler = std::function<void(std::optional<std::string>)>;

    TerminalInput(asio::io_context& io, LineHandler onLine, EndHandler onEnd);
    ~TerminalInput();
    TerminalInput(const TerminalInput&) = delete;
    TerminalInput& operator=(const TerminalInput&) = delete;

    /// Shows the prompt and reads one line; the line (or the end, Ctrl-D) arrives through the
    /// handlers. Does nothing while a line is being read already.
    void Prompt(const std::string& prompt = "tarsel> ");
    /// Where Tab finds remote names (directories end in '/'): asked on each Tab, so it must
    /// answer at once from what it holds.
    /// The names of a remote directory ("" the current one), as far as they are known yet.
    using RemoteNames = std::function<std::vector<std::string>(const std::string& directory)>;
    void SetRemoteNames(RemoteNames source);
    /// Reads one line without showing what is typed; it is not kept in the history.
    void AskSecret(const std::string& prompt, SecretHandler done);
    /// Ctrl-C: the line being typed is dropped and the prompt shown again (a secret being
    /// typed is given up). False when no line was being read.
    bool Interrupt();
    /// No more lines: the terminal is put back as it was.
    void Stop();

private:
    static void OnReadlineLine(char* line);
    void Install(const std::string& prompt, bool secret);
    void Uninstall();
    void Watch();
    void Deliver(char* line);

    asio::io_context& io_;
    LineHandler onLine_;
    EndHandler onEnd_;
    SecretHandler onSecret_;
    std::unique_ptr<asio::posix::stream_descriptor> stdin_;
    std::string historyFile_;
    std::string prompt_;
    /// Lines (and secrets) handed over so far: a prompt asked for before the last of them
    /// is not shown.
    std::uint64_t linesDelivered_ = 0;
    bool installed_ = false;
    bool secret_ = false;
    bool stopped_ = false;
    bool watching_ = false;
};

}  // namespace tarselftp

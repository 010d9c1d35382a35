#include "terminal_input.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <unistd.h>

#include <readline/history.h>
#include <readline/readline.h>

#include <asio/post.hpp>

#include "command_line.h"

namespace tarselftp {

namespace {

TerminalInput* g_input = nullptr;
TerminalInput::RemoteNames g_remoteNames;
const char* g_secretPrompt = "";
constexpr int kHistoryLines = 1000;

// While a secret is typed, readline draws the prompt and nothing of the line.
void HiddenRedisplay() {
    std::fprintf(rl_outstream ? rl_outstream : stdout, "\r%s\x1b[K", g_secretPrompt);
    std::fflush(rl_outstream ? rl_outstream : stdout);
}

char* CommandNameGenerator(const char* text, int state) {
    static std::vector<std::string> matches;
    static std::size_t next = 0;
    if (state == 0) {
        matches = CompleteCommandName(text);
        next = 0;
    }
    if (next >= matches.size()) return nullptr;
    return ::strdup(matches[next++].c_str());
}

char* RemoteNameGenerator(const char* text, int state) {
    static std::vector<std::string> matches;
    static std::size_t next = 0;
    if (state == 0) {
        matches = CompleteRemoteName(g_remoteNames ? g_remoteNames(CompletionDirectory(text)) : std::vector<std::string>(), text);
        next = 0;
        // A directory is completed without the blank, so that its contents can follow.
        if (matches.size() == 1 && !matches[0].empty() && matches[0].back() == '/')
            rl_completion_append_character = '\0';
    }
    if (next >= matches.size()) return nullptr;
    return ::strdup(matches[next++].c_str());
}

// The first word, and the word after help, complete to a command name; the arguments of
// commands that name remote files to the names in the remote directory; every other word
// to a local file name.
char** CompleteWord(const char* text, int start, int /*end*/) {
    const Words before = SplitWords(std::string_view(rl_line_buffer, static_cast<std::size_t>(start)));
    const bool commandName =
        before.words.empty() ||
        (before.words.size() == 1 && (before.words[0] == "help" || before.words[0] == "?"));
    if (commandName) {
        rl_attempted_completion_over = 1;
        return rl_completion_matches(text, CommandNameGenerator);
    }
    if (g_remoteNames && TakesRemoteName(before.words)) {
        rl_attempted_completion_over = 1;
        return rl_completion_matches(text, RemoteNameGenerator);
    }
    return nullptr;
}

}  // namespace

TerminalInput::TerminalInput(asio::io_context& io, LineHandler onLine, EndHandler onEnd)
    : io_(io), onLine_(std::move(onLine)), onEnd_(std::move(onEnd)) {
    g_input = this;
    rl_readline_name = "tarsel-ftp";
    // The program's own loop takes the signals; readline must not install handlers.
    rl_catch_signals = 0;
    rl_catch_sigwinch = 0;
    rl_attempted_completion_function = CompleteWord;
    using_history();
    if (const char* home = std::getenv("HOME"); home && *home) {
        historyFile_ = std::string(home) + "/.tarsel_ftp_history";
        (void)read_history(historyFile_.c_str());
    }
    const int fd = ::dup(STDIN_FILENO);
    if (fd >= 0) {
        stdin_ = std::make_unique<asio::posix::stream_descriptor>(io_);
        asio::error_code ec;
        stdin_->assign(fd, ec);
        if (ec) {
            ::close(fd);
            stdin_.reset();
        }
    }
}

TerminalInput::~TerminalInput() {
    Stop();
    if (g_input == this) g_input = nullptr;
}

void TerminalInput::Install(const std::string& prompt, bool secret) {
    if (stopped_ || installed_) return;
    prompt_ = prompt;
    secret_ = secret;
    if (secret) {
        g_secretPrompt = prompt_.c_str();
        rl_redisplay_function = HiddenRedisplay;
    } else {
        rl_redisplay_function = rl_redisplay;
    }
    installed_ = true;
    rl_callback_handler_install(prompt_.c_str(), &TerminalInput::OnReadlineLine);
    Watch();
}

void TerminalInput::Uninstall() {
    if (!installed_) return;
    installed_ = false;
    rl_callback_handler_remove();
    rl_redisplay_function = rl_redisplay;
}

void TerminalInput::Prompt(const std::string& prompt) {
    // Posted: the session asks from inside the handler of the line before, and readline
    // must have returned from that callback before it is installed again. The request is
    // for the line after the last one delivered: a line that arrives while it waits in the
    // loop (typed as the command before it ended) starts a command, and a prompt shown then
    // would stand before that command's output. The session asks again when it is done.
    const std::uint64_t after = linesDelivered_;
    asio::post(io_, [this, prompt, after] {
        if (!installed_ && !onSecret_ && linesDelivered_ == after) Install(prompt, false);
    });
}

void TerminalInput::SetRemoteNames(RemoteNames source) { g_remoteNames = std::move(source); }

void TerminalInput::AskSecret(const std::string& prompt, SecretHandler done) {
    if (stopped_) {
        done(std::nullopt);
        return;
    }
    Uninstall();
    onSecret_ = std::move(done);
    asio::post(io_, [this, prompt] { Install(prompt, true); });
}

bool TerminalInput::Interrupt() {
    if (!installed_) return false;
    if (secret_) {
        Uninstall();
        std::fputs("\n", rl_outstream ? rl_outstream : stdout);
        SecretHandler done = std::move(onSecret_);
        onSecret_ = nullptr;
        if (done) done(std::nullopt);
        return true;
    }
    rl_free_line_state();
    rl_callback_sigcleanup();
    rl_replace_line("", 0);
    std::fputs("\n", rl_outstream ? rl_outstream : stdout);
    rl_on_new_line();
    rl_redisplay();
    return true;
}

void TerminalInput::Watch() {
    if (!stdin_ || watching_ || stopped_) return;
    watching_ = true;
    stdin_->async_wait(asio::posix::stream_descriptor::wait_read, [this](const asio::error_code& ec) {
        watching_ = false;
        if (ec || stopped_ || !installed_) return;
        rl_callback_read_char();
        if (installed_) Watch();
    });
}

void TerminalInput::OnReadlineLine(char* line) {
    if (g_input) g_input->Deliver(line);
    else std::free(line);
}

void TerminalInput::Deliver(char* raw) {
    ++linesDelivered_;
    const bool secret = secret_;
    Uninstall();
    std::optional<std::string> line;
    if (raw) {
        line = raw;
        std::free(raw);
    }
    if (secret) {
        std::fputs("\n", rl_outstream ? rl_outstream : stdout);
        SecretHandler done = std::move(onSecret_);
        onSecret_ = nullptr;
        if (done) done(std::move(line));
        return;
    }
    if (!line) {
        // Ctrl-D on an empty line: the end of the session, as with a closed pipe.
        std::fputs("\n", rl_outstream ? rl_outstream : stdout);
        onEnd_();
        return;
    }
    if (line->find_first_not_of(" \t") != std::string::npos) {
        const HIST_ENTRY* last = history_length > 0 ? history_get(history_base + history_length - 1) : nullptr;
        if (!last || *line != last->line) add_history(line->c_str());
    }
    onLine_(std::move(*line));
}

void TerminalInput::Stop() {
    if (stopped_) return;
    Uninstall();
    stopped_ = true;
    if (stdin_) {
        asio::error_code ignored;
        stdin_->cancel(ignored);
        stdin_->close(ignored);
    }
    if (!historyFile_.empty() && write_history(historyFile_.c_str()) == 0)
        (void)history_truncate_file(historyFile_.c_str(), kHistoryLines);
    if (onSecret_) {
        SecretHandler done = std::move(onSecret_);
        onSecret_ = nullptr;
        done(std::nullopt);
    }
}

}  // namespace tarselftp

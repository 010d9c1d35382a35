// The commands run on this side without the server (help, lcd, !, passive, open, ...).
#include "ftp_session.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ascii_case.h"
#include "ftp_url.h"

extern char** environ;

namespace tarselftp {

namespace fs = std::filesystem;
using tarselctl::AutomationError;
using tarselctl::FromUtf8;
using tarselctl::ToUtf8;

bool FtpSession::ExecuteLocal(const Command& command) {
    const auto onOff = [&](bool current) {
        if (command.args.empty()) return !current;
        return EqualsIgnoreCase(command.args[0], "on");
    };
    switch (command.verb) {
    case Verb::Help: {
        const std::string text = command.args.empty() ? HelpText() : HelpText(command.args[0]);
        if (text.empty()) {
            Fail(Fault::Local, "", "help", "no command '" + command.args[0] + "'");
            return true;
        }
        Print(text);
        return true;
    }
    case Verb::Lcd: {
        const std::string dir = command.args.empty() ? HomeDirectory() : command.args[0];
        if (::chdir(dir.c_str()) != 0) {
            Fail(Fault::Local, "", "", "cannot change to '" + dir + "': " + std::strerror(errno));
            return true;
        }
        std::error_code ec;
        const fs::path here = fs::current_path(ec);
        if (interactive_ && !ec) Note("Local directory now " + here.string());
        return true;
    }
    case Verb::Lpwd: {
        std::error_code ec;
        const fs::path here = fs::current_path(ec);
        if (ec) Fail(Fault::Local, "", "", "cannot tell the local directory: " + ec.message());
        else Print(here.string() + "\n");
        return true;
    }
    case Verb::Shell:
        StartShell(command);
        return true;
    case Verb::Passive: {
        const bool on = onOff(control_.get_Passive() != tarselctl::False);
        control_.put_Passive(on ? tarselctl::True : tarselctl::False);
        if (interactive_) Note(std::string("Passive mode ") + (on ? "on." : "off."));
        return true;
    }
    case Verb::Set:
        ExecuteSet(command);
        return true;
    case Verb::Alias:
        ExecuteAlias(command);
        return true;
    case Verb::Bookmark:
        ExecuteBookmark(command);
        return true;
    case Verb::Type: {
        // Only the property: the TYPE line goes out before the next transfer that needs it.
        if (command.args.empty()) {
            const std::u16string type = control_.get_Filetype();
            Print(std::string(type == u"A" ? "ascii" : type == u"I" ? "binary" : "none (the server's default)") + "\n");
            return true;
        }
        const std::string wanted = AsciiLower(command.args[0]);
        if (wanted != "a" && wanted != "ascii" && wanted != "i" && wanted != "binary" && wanted != "image") {
            Fail(Fault::Local, "", "type", "takes ascii or binary, not '" + command.args[0] + "'");
            return true;
        }
        const bool ascii = wanted == "a" || wanted == "ascii";
        control_.put_Filetype(ascii ? u"A" : u"I");
        options_.type = ascii ? "A" : "I";
        if (interactive_) Note(std::string("Transfer type ") + (ascii ? "ascii." : "binary."));
        return true;
    }
    case Verb::Verbose:
        options_.verbose = onOff(options_.verbose);
        if (interactive_) Note(std::string("Verbose mode ") + (options_.verbose ? "on." : "off."));
        return true;
    case Verb::Rest:
        pendingRest_ = command.offset;
        return true;
    case Verb::WalkNext:
        RunWalkStep(command);
        return true;
    case Verb::Abort:  // taken as it arrives (AddLine)
        return true;
    case Verb::Mput:
        if (!connected_) return false;
        ExpandMput(command);
        return true;
    case Verb::Open: {
        if (connected_) {
            Fail(Fault::Local, "", "open", "already connected to " + options_.host + " (close first)");
            return true;
        }
        // open NAME: a bookmark of that name, before any host of that name.
        std::string named = command.args[0];
        if (command.args.size() == 1 && named.find_first_of(".:/[") == std::string::npos) {
            const std::map<std::string, std::string> marks = ReadBookmarks();
            if (const auto it = marks.find(named); it != marks.end()) named = it->second;
        }
        const ParsedUrl url = ParseFtpUrl(named);
        if (!url.error.empty()) {
            Fail(Fault::Local, "", "open", url.error);
            return true;
        }
        if (url.url) {
            options_.host = url.url->host;
            if (url.url->port) control_.put_port(FromUtf8(*url.url->port));
            if (url.url->implicitTls) options_.tls = "implicit";
            options_.userGiven = !url.url->user.empty();
            options_.user = options_.userGiven ? url.url->user : "anonymous";
            options_.passwordGiven = url.url->password.has_value();
            options_.password = url.url->password ? *url.url->password
                                : options_.userGiven ? std::string() : std::string("tarsel@");
            if (!url.url->path.empty()) {
                Command cd{Verb::Cd, {url.url->path}};
                queue_.push_front(std::move(cd));
            }
        } else {
            const HostAndPort target = SplitHostAndPort(command.args[0]);
            if (!target.error.empty()) {
                Fail(Fault::Local, "", "open", target.error);
                return true;
            }
            if (target.port && command.args.size() == 2 && *target.port != command.args[1]) {
                Fail(Fault::Local, "", "open", "two different ports given");
                return true;
            }
            const std::string previousHost = options_.host;
            const tarselctl::String previousPort = control_.get_port();
            options_.host = target.port ? target.host : command.args[0];
            if (target.port) control_.put_port(FromUtf8(*target.port));
            if (command.args.size() == 2) control_.put_port(FromUtf8(command.args[1]));
            if (options_.host != previousHost || control_.get_port() != previousPort) {
                // A login belongs to its server: another one is logged in to as ~/.netrc says,
                // else anonymously, never with the password given for the last.
                const Options given;
                options_.user = given.user;
                options_.password = given.password;
                options_.userGiven = options_.passwordGiven = false;
            }
        }
        try {
            BeginConnect();
        } catch (const AutomationError& e) {
            Fail(Fault::Local, "", "open", ToUtf8(e.Description()));
        }
        return true;
    }
    case Verb::Quit:
        if (connected_) return false;
        queue_.clear();
        inputEnded_ = true;
        if (onInputUnwanted_) onInputUnwanted_();
        Finish();
        return true;
    default:
        return false;
    }
}

void FtpSession::StartShell(const Command& command) {
    std::string shell = "/bin/sh";
    if (const char* s = std::getenv("SHELL"); s && *s) shell = s;
    std::vector<std::string> argv = {shell};
    if (!command.args.empty()) {
        argv = {"/bin/sh", "-c", command.args[0]};
    }
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    output_.Flush();
    pid_t pid = -1;
    // Watched before the child exists, so its end cannot slip past.
    asio::error_code ec;
    childSignal_.add(SIGCHLD, ec);
    const int rc = ::posix_spawn(&pid, raw[0], nullptr, nullptr, raw.data(), environ);
    if (rc != 0) {
        Fail(Fault::Local, "", "!", "cannot run " + argv[0] + ": " + std::strerror(rc));
        return;
    }
    shellPid_ = pid;
    phase_ = Phase::Shell;
    // The loop goes on serving the control (keep-alive, a server's close) while the
    // command runs; its end arrives as SIGCHLD.
    auto watch = std::make_shared<std::function<void()>>();
    *watch = [this, watch] {
        childSignal_.async_wait([this, watch](const asio::error_code& error, int) {
            if (error || shellPid_ < 0) return;
            int status = 0;
            const pid_t done = ::waitpid(shellPid_, &status, WNOHANG);
            if (done == 0) {
                (*watch)();
                return;
            }
            shellPid_ = -1;
            phase_ = connected_ ? Phase::Ready : Phase::Closed;
            if (done > 0 && WIFEXITED(status) && WEXITSTATUS(status) != 0)
                Fail(Fault::Local, "", "!", "the command exited with status " +
                                                std::to_string(WEXITSTATUS(status)));
            else if (done > 0 && WIFSIGNALED(status))
                Fail(Fault::Local, "", "!", std::string("the command was ended by signal ") +
                                                std::to_string(WTERMSIG(status)));
            StartNext();
        });
    };
    (*watch)();
}

}  // namespace tarselftp

// tarsel-ftp: a command-line FTP client built on the tarsel control, shaped like the
// classic ftp client. One thread, one io_context: the control, standard input and the
// interrupt key are all served by the same loop.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

#include "command_input.h"
#include "command_line.h"
#include "ftp_session.h"
#include "session_output.h"
#include "settings_file.h"
#include "terminal_input.h"

namespace {

// `get "pub/my file"`: a name is quoted back into the command language.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// $TARSEL_FTP_RC, else $XDG_CONFIG_HOME/tarsel-ftp/rc, else ~/.config/tarsel-ftp/rc; ""
// when it is not there.
std::string StartupFile() {
    std::string path;
    if (const char* rc = std::getenv("TARSEL_FTP_RC"); rc && *rc) path = rc;
    else if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
        path = std::string(config) + "/tarsel-ftp/rc";
    else if (const char* home = std::getenv("HOME"); home && *home)
        path = std::string(home) + "/.config/tarsel-ftp/rc";
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? path : std::string();
}

}  // namespace

static int Run(int argc, char** argv) {
    using namespace tarselftp;

    const ParsedOptions parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "tarsel-ftp: %s\n%s", parsed.error.c_str(), UsageText().c_str());
        return 1;
    }
    const Options& options = parsed.options;
    if (options.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (options.manual) {
        std::fputs(ManualPage(TARSEL_FTP_VERSION).c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("tarsel-ftp %s\n", TARSEL_FTP_VERSION);
        return 0;
    }
    const bool stdinIsTerminal = ::isatty(STDIN_FILENO) == 1;
    // A URL's PATH ending in '/' is a directory to change to. Any other PATH is found out
    // after the login: a directory is changed to, as lftp does; a file is fetched and the
    // program ends, as the classic client does. Commands from standard input wait for that.
    const bool urlUndecided = !options.urlPath.empty() && options.urlPath.back() != '/';
    const bool interactive = stdinIsTerminal && !options.script;
    if (options.host.empty() && !interactive && !options.script && options.saveSettingsFile) {
        // Settings are written without a server: nothing else was asked for.
        asio::io_context io;
        tarselctl::AsioPlatform platform(io);
        tarselctl::tarsel control(platform);
        std::string error = options.settingsFile ? LoadSettings(control, *options.settingsFile) : "";
        StandardOutput output;
        FtpSession session(io, control, options, output);
        if (error.empty() && !session.Start()) return 1;
        if (error.empty()) error = SaveSettings(control, *options.saveSettingsFile);
        if (!error.empty()) std::fprintf(stderr, "tarsel-ftp: %s\n", error.c_str());
        return error.empty() ? 0 : 1;
    }
    if (options.host.empty() && !interactive && !options.script) {
        std::fprintf(stderr, "tarsel-ftp: no HOST given\n%s", UsageText().c_str());
        return 1;
    }
    // A reader that goes away must show up as a write error, not end the program unasked.
    std::signal(SIGPIPE, SIG_IGN);

    asio::io_context io;
    tarselctl::AsioPlatform platform(io);
    tarselctl::tarsel control(platform);
    if (options.settingsFile) {
        const std::string error = LoadSettings(control, *options.settingsFile);
        if (!error.empty()) {
            std::fprintf(stderr, "tarsel-ftp: %s: %s\n", options.settingsFile->c_str(), error.c_str());
            return 1;
        }
    }
    StandardOutput output;
    FtpSession session(io, control, options, output);
    session.SetInteractive(interactive);
    session.SetPlatform(platform);
    session.SetCommandsFromStandardInput(!options.script);

    // The terminal serves typed commands and hidden passwords; a pipe serves lines only.
    std::unique_ptr<TerminalInput> terminal;
    std::unique_ptr<CommandInput> piped;
    if (stdinIsTerminal) {
        terminal = std::make_unique<TerminalInput>(
            io, [&](std::string line) { session.AddLine(line); }, [&] { session.EndOfInput(); });
        session.SetSecretAsker([&](const std::string& prompt, TerminalInput::SecretHandler done) {
            terminal->AskSecret(prompt, std::move(done));
        });
    }
    if (!interactive && !options.script) {
        piped = std::make_unique<CommandInput>(
            io, [&](std::string line) { session.AddLine(line); }, [&] { session.EndOfInput(); });
    }

    asio::signal_set interrupts(io, SIGINT);
    std::function<void()> waitForInterrupt = [&] {
        interrupts.async_wait([&](const asio::error_code& ec, int) {
            if (ec) return;
            // At the prompt Ctrl-C only drops the line being typed.
            if (!(interactive && terminal && terminal->Interrupt())) session.Interrupt();
            if (!session.Finished()) waitForInterrupt();
        });
    };
    waitForInterrupt();

    auto stopInput = [&] {
        if (piped) piped->Stop();
        if (terminal && !interactive) terminal->Stop();
    };
    session.OnInputUnwanted([&] {
        if (piped) piped->Stop();
    });
    if (interactive) {
        session.OnWaitingForLine([&] { terminal->Prompt(session.PromptText()); });
        session.SetRemoteCompletion(true);
        terminal->SetRemoteNames([&](const std::string& directory) { return session.RemoteNames(directory); });
    }
    session.OnFinished([&] {
        stopInput();
        if (terminal) terminal->Stop();
        asio::error_code ignored;
        interrupts.cancel(ignored);
        io.stop();
    });

    bool pipeWaits = false;
    if (urlUndecided) {
        session.SetStartPath(options.urlPath, [&](bool directory) {
            if (directory && std::exchange(pipeWaits, false)) piped->Start();
            if (!directory) session.EndOfInput();
        });
    } else if (!options.urlPath.empty()) {
        session.AddLine("cd " + Quoted(options.urlPath));
    }
    const bool started = session.Start();
    // Start has applied the options, whether or not the connection could be started.
    if (options.saveSettingsFile) {
        const std::string error = SaveSettings(control, *options.saveSettingsFile);
        if (!error.empty()) {
            std::fprintf(stderr, "tarsel-ftp: %s: %s\n", options.saveSettingsFile->c_str(),
                         error.c_str());
        }
    }
    if (!started) return session.ExitStatus();
    // The start-up file, then -e: before the first command of any other source.
    if (!options.noStartupFile) {
        const std::string rc = StartupFile();
        if (!rc.empty()) {
            std::ifstream in(rc);
            for (std::string line; std::getline(in, line);) session.AddLine(line);
        }
    }
    if (options.firstCommands)
        for (const std::string& line : SplitScript(*options.firstCommands)) session.AddLine(line);
    if (options.script) {
        for (const std::string& line : SplitScript(*options.script)) session.AddLine(line);
        session.EndOfInput();
    } else if (piped) {
        if (urlUndecided) pipeWaits = true;
        else piped->Start();
    } else if (session.WaitingForLine()) {
        terminal->Prompt();
    }
    io.run();

    if (!session.Finished()) {
        std::fputs("tarsel-ftp: the event loop ended before the connection closed\n", stderr);
        return 1;
    }
    return session.ExitStatus();
}

int main(int argc, char** argv) {
    // The session turns every refusal of the control into an error line; this is the last
    // line of defence, so that nothing a user or a server sends can end the program with an
    // abort and a core instead of a message and exit status 1.
    try {
        return Run(argc, argv);
    } catch (const tarselctl::AutomationError& e) {
        std::fprintf(stderr, "tarsel-ftp: internal error: %s (%d)\n",
                     tarselctl::ToUtf8(e.Description()).c_str(), static_cast<int>(e.Number()));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarsel-ftp: internal error: %s\n", e.what());
    }
    return 1;
}

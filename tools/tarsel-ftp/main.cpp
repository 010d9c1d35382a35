// tarsel-ftp: a command-line FTP client built on the tarsel control, shaped like the
// classic ftp client. One thread, one io_context: the control, standard input and the
// interrupt key are all served by the same loop.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

#include "command_input.h"
#include "command_line.h"
#include "ftp_session.h"
#include "settings_file.h"

int main(int argc, char** argv) {
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
    FtpSession session(io, control, options);
    CommandInput input(
        io, [&](std::string line) { session.AddLine(line); }, [&] { session.EndOfInput(); });

    asio::signal_set interrupts(io, SIGINT);
    std::function<void()> waitForInterrupt = [&] {
        interrupts.async_wait([&](const asio::error_code& ec, int) {
            if (ec) return;
            session.Interrupt();
            if (!session.Finished()) waitForInterrupt();
        });
    };
    waitForInterrupt();

    session.OnInputUnwanted([&] { input.Stop(); });
    session.OnFinished([&] {
        input.Stop();
        asio::error_code ignored;
        interrupts.cancel(ignored);
        io.stop();
    });

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
    if (options.script) {
        for (const std::string& line : SplitScript(*options.script)) session.AddLine(line);
        session.EndOfInput();
    } else {
        input.Start();
    }
    io.run();

    if (!session.Finished()) {
        std::fputs("tarsel-ftp: the event loop ended before the connection closed\n", stderr);
        return 1;
    }
    return session.ExitStatus();
}

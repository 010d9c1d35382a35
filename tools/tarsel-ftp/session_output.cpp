#include "session_output.h"

#include <cstdio>

#include <sys/ioctl.h>
#include <unistd.h>

namespace tarselftp {

StandardOutput::StandardOutput()
    : outIsTerminal_(::isatty(STDOUT_FILENO) == 1), errIsTerminal_(::isatty(STDERR_FILENO) == 1) {}

void StandardOutput::ClearMeter() {
    if (!meterShown_) return;
    meterShown_ = false;
    std::fputs("\r\x1b[K", stderr);
}

void StandardOutput::Out(std::string_view text) {
    // The meter shares the terminal with standard output when both go to it.
    if (outIsTerminal_) ClearMeter();
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void StandardOutput::Err(std::string_view text) {
    ClearMeter();
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
}

void StandardOutput::Meter(std::string_view line) {
    if (line.empty()) {
        ClearMeter();
        return;
    }
    if (outIsTerminal_) std::fflush(stdout);
    std::fputs("\r", stderr);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputs("\x1b[K", stderr);
    std::fflush(stderr);
    meterShown_ = true;
}

int StandardOutput::MeterWidth() const {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 10) return size.ws_col - 1;
    return 79;
}

void StandardOutput::Flush() {
    std::fflush(stdout);
    std::fflush(stderr);
}

}  // namespace tarselftp

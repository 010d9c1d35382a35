// scale_bench: many tarsel controls on one io_context, as a host serving many servers would
// run them.
//
//   scale_bench login HOST PORT N            log N controls in, then report the resident
//                                            memory each idle, logged-in control adds
//   scale_bench get HOST PORT N FILE         log N controls in, then download FILE on all of
//                                            them at once (passive mode, binary, discarded)
//
// The controls run on the Asio platform, or with TARSEL_PLATFORM=posix on the POSIX platform
// driven by the epoll loop. Logs in as anonymous. At most kLoginsInFlight logins run at once: a burst of thousands of
// connection attempts overflows the server's listen queue, and the dropped attempts are then
// retried by the kernel after one, three, seven seconds, which would measure the kernel's
// back-off instead of the client. Prints one line of key=value pairs for bench/scale_bench.sh;
// exits 1 when a session failed.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/loops/epoll_loop.h>
#include <tarsel/posix_platform.h>
#include <tarsel/tarsel.h>

#include "scale_report.h"

namespace {

using tarselctl::ByteArray;
using tarselctl::FromUtf8;
using tarselctl::Integer;
using tarselctl::Long;
using tarselctl::String;
using tarselctl::ToUtf8;

constexpr std::size_t kLoginsInFlight = 64;
/// Seconds of silence after which a session counts as failed (connect, reply, data).
constexpr tarselctl::Long kStallSeconds = 30;

class Bench;

/// One control and what it has done so far.
class Session : public tarselctl::tarselEvents {
public:
    Session(Bench& bench, tarselctl::Platform& platform) : bench_(bench), control_(platform) {
        control_.Advise(*this);
    }
    tarselctl::tarsel& Control() { return control_; }
    std::uint64_t Bytes() const { return bytes_; }
    bool LoggedIn() const { return loggedIn_; }

    void CommandDone(Integer code, const String& FtpCommand, const String& msg) override;
    void GetData(ByteArray& Data) override { bytes_ += Data.size(); }
    void DisConnected(Long code, const String& msg) override;

private:
    Bench& bench_;
    tarselctl::tarsel control_;
    std::uint64_t bytes_ = 0;
    bool loggedIn_ = false;
    bool ended_ = false;
};

/// Reports the first few failures only: thousands of identical lines would hide the table.
void Complain(const std::string& what, Long code, const String& msg) {
    static int told = 0;
    if (++told <= 5) std::cerr << what << ": " << code << " " << ToUtf8(msg) << "\n";
}

class Bench {
public:
    Bench(std::string host, std::string port, std::size_t n)
        : host_(FromUtf8(host)), port_(FromUtf8(port)), n_(n), asioPlatform_(io_),
          posixPlatform_(epoll_) {
        const char* which = std::getenv("TARSEL_PLATFORM");
        posix_ = which != nullptr && std::string(which) == "posix";
    }

    /// Opens sessions until all N are logged in (or failed); returns the seconds it took.
    double LogInAll() {
        sessions_.reserve(n_);
        const auto start = std::chrono::steady_clock::now();
        while (sessions_.size() < n_ && sessions_.size() < kLoginsInFlight) OpenNext();
        while (settled_ < n_) RunOne();
        return Seconds(start);
    }

    /// Downloads `file` on every logged-in session at once; returns the seconds it took.
    double GetAll(const std::string& file) {
        settled_ = 0;
        const String name = FromUtf8(file);
        const auto start = std::chrono::steady_clock::now();
        std::size_t started = 0;
        for (auto& s : sessions_) {
            if (!s->LoggedIn()) continue;
            s->Control().GetFile(name, u"-");
            ++started;
        }
        while (settled_ < started) RunOne();
        return Seconds(start);
    }

    void LoggedIn(bool ok) {
        if (!ok) ++failures_;
        ++settled_;
        if (sessions_.size() < n_) OpenNext();
    }
    void Downloaded(bool ok) {
        if (!ok) ++failures_;
        ++settled_;
    }

    std::size_t Failures() const { return failures_; }
    std::uint64_t Bytes() const {
        std::uint64_t sum = 0;
        for (const auto& s : sessions_) sum += s->Bytes();
        return sum;
    }

private:
    void RunOne() {
        if (posix_)
            epoll_.RunOnce(posixPlatform_, std::chrono::seconds(1));
        else
            io_.run_one();
    }

    static double Seconds(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    void OpenNext() {
        sessions_.push_back(std::make_unique<Session>(
            *this, posix_ ? static_cast<tarselctl::Platform&>(posixPlatform_) : asioPlatform_));
        tarselctl::tarsel& control = sessions_.back()->Control();
        control.InitProperties();
        control.put_port(port_);
        control.put_Passive(tarselctl::True);
        control.TraceOn = tarselctl::False;
        // A session the server stops answering fails after these seconds instead of holding
        // the whole run (pyftpdlib drops sessions whose passive listener cannot bind once the
        // machine runs out of ports).
        control.put_ConnectTimeout(kStallSeconds);
        control.put_TransTimeout(kStallSeconds);
        control.put_ReplyTimeout(kStallSeconds);
        control.Connect(host_, u"anonymous", u"bench@example.org");
    }

    String host_;
    String port_;
    std::size_t n_;
    asio::io_context io_;
    tarselctl::AsioPlatform asioPlatform_;
    tarselctl::EpollLoop epoll_;
    tarselctl::PosixPlatform posixPlatform_;
    bool posix_ = false;
    std::vector<std::unique_ptr<Session>> sessions_;
    std::size_t settled_ = 0;
    std::size_t failures_ = 0;
};

void Session::CommandDone(Integer code, const String& FtpCommand, const String& msg) {
    if (FtpCommand == u"Connect") {
        if (code != 0) Complain("login refused", code, msg);
        loggedIn_ = code == 0;
        bench_.LoggedIn(loggedIn_);
    } else if (FtpCommand == u"GetFile") {
        if (code != 0) Complain("download failed", code, msg);
        bench_.Downloaded(code == 0);
    }
}

void Session::DisConnected(Long code, const String& msg) {
    if (ended_) return;
    ended_ = true;
    loggedIn_ = false;
    Complain("disconnected", code, msg);
    // Counts as the end of whatever the session was doing, so the bench never waits for it.
    if (control_.get_FtpCommand() == u"GetFile")
        bench_.Downloaded(false);
    else if (control_.get_FtpCommand() == u"Connect")
        bench_.LoggedIn(false);
}

int Usage() {
    std::cerr << "usage: scale_bench login HOST PORT N\n"
                 "       scale_bench get HOST PORT N FILE\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) return Usage();
    const std::string mode = argv[1];
    const std::size_t n = std::strtoul(argv[4], nullptr, 10);
    if (n == 0 || (mode != "login" && mode != "get") || (mode == "get" && argc < 6)) return Usage();

    const long baseKib = benchusage::ResidentKib();
    Bench bench(argv[2], argv[3], n);
    return benchusage::RunScalePhases("tarsel", mode, n, bench, mode == "get" ? argv[5] : "", baseKib);
}

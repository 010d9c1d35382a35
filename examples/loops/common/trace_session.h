// The dialogue every <loop>_host example runs, whatever loop drives it, so that the traces of
// two loops can be compared:
//   1. log in, list the remote file's directory, download the file;
//   2. upload what was downloaded to REMOTE.up;
//   3. upload it again to REMOTE.cut, calling Abort from inside the third PutData;
//   4. disconnect;
//   5. connect to a server that never greets (a listening socket of this program's that
//      nobody accepts from) with ReplyTimeout 1: the reply time-out ends that connection.
// Every event is printed on one line (UTF-8), as examples/connect does.
//
// FTPS: TARSEL_TLS_MODE=explicit or implicit secures the session, checking the server's
// certificate against the CA file in TARSEL_TLS_CA when that is set.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>

#include <tarsel/tarsel.h>

namespace loop_examples {

using tarselctl::ByteArray;
using tarselctl::FromUtf8;
using tarselctl::Integer;
using tarselctl::Long;
using tarselctl::String;
using tarselctl::ToUtf8;

class TraceSession : public tarselctl::tarselEvents {
public:
    TraceSession(tarselctl::tarsel& control, std::string remote, std::string local)
        : control_(control), remote_(std::move(remote)), local_(std::move(local)) {
        cookie_ = control_.Advise(*this);
    }
    ~TraceSession() override {
        control_.Unadvise(cookie_);
        if (file_ != nullptr) std::fclose(file_);
        if (silent_ >= 0) ::close(silent_);
    }

    /// Starts the dialogue (argv: HOST PORT USER PASSWORD); false when Connect refused at once.
    bool Start(const char* host, const char* port, const char* user, const char* password) {
        control_.put_port(FromUtf8(port));
        control_.put_ConnectTimeout(10);
        // Socket diagnostics carry ports and addresses that differ from run to run.
        control_.TraceOn = tarselctl::False;
        if (const char* mode = std::getenv("TARSEL_TLS_MODE")) control_.put_TlsMode(FromUtf8(mode));
        if (const char* ca = std::getenv("TARSEL_TLS_CA")) control_.put_TlsCaFile(FromUtf8(ca));
        return Connect(host, user, password);
    }
    bool Finished() const { return step_ == Step::Done; }
    /// Called once when the dialogue ends (for a loop that is left from a callback).
    std::function<void()> onFinished;
    /// Every step did what it was meant to: the download and the upload succeeded, the
    /// aborted upload ended early, and the silent server's connection ended by time-out.
    bool Succeeded() const { return downloaded_ && uploaded_ && aborted_ && timedOut_; }
    /// Ends a dialogue that took too long.
    void GiveUp() {
        std::cerr << "no end within the time allowed; giving up\n";
        control_.Abend();
        Finish();
    }

    void Trace(const String& msg) override { Print("Trace", ToUtf8(msg)); }
    void Connected() override { Print("Connected", ""); }
    void DisConnected(Long code, const String& msg) override {
        Print("DisConnected", std::to_string(code) + ", " + ToUtf8(msg));
        if (step_ == Step::Silent) {
            timedOut_ = code == -1 && msg == u"reply timeout(timer)";
            Finish();
        } else if (step_ != Step::Done) {
            ConnectSilent();
        }
    }
    void CommandDone(Integer code, const String& op, const String& msg) override {
        Print("CommandDone", std::to_string(code) + ", " + ToUtf8(op) + ", " + ToUtf8(msg));
        if (step_ == Step::Silent || op == u"DisConnect") return;
        if (op == u"Connect" && code == 0) {
            const auto slash = remote_.rfind('/');
            control_.Dir(slash == std::string::npos ? String() : FromUtf8(remote_.substr(0, slash + 1)));
            return;
        }
        if (op == u"Dir" && code == 0) {
            control_.GetFile(FromUtf8(remote_), FromUtf8(local_));
            return;
        }
        if (op == u"GetFile") downloaded_ = code == 0 && !failed_;
        if (op == u"GetFile" && downloaded_) {
            step_ = Step::Upload;
            control_.PutFile(FromUtf8(remote_ + ".up"), FromUtf8(local_));
            return;
        }
        if (op == u"PutFile" && step_ == Step::Upload) {
            uploaded_ = code == 0 && !failed_;
            step_ = Step::AbortedUpload;
            control_.PutFile(FromUtf8(remote_ + ".cut"), FromUtf8(local_));
            return;
        }
        if (step_ == Step::AbortedUpload) aborted_ = abortCalled_;
        // The end of the session (or of a failed step): DisConnected starts step 5.
        if (control_.get_FtpCommand().empty()) return;
        try {
            control_.DisConnect();
        } catch (const tarselctl::AutomationError&) {
            control_.Abend();
        }
    }
    void GetOpen(const String& file) override {
        Print("GetOpen", ToUtf8(file));
        Open(file, "wb");
    }
    void GetData(ByteArray& data) override {
        Print("GetData", std::to_string(data.size()) + " bytes");
        if (file_ != nullptr && std::fwrite(data.data(), 1, data.size(), file_) != data.size())
            failed_ = true;
    }
    void GetClose() override {
        Print("GetClose", "");
        Close();
    }
    void PutOpen(const String& file) override {
        Print("PutOpen", ToUtf8(file));
        blocks_ = 0;
        Open(file, "rb");
    }
    void PutData(ByteArray& data) override {
        data.resize(kBlock);
        const std::size_t got = file_ != nullptr ? std::fread(data.data(), 1, kBlock, file_) : 0;
        data.resize(got);
        // A short block is the last: EndUpload sends it as data whatever it holds (a lone 0
        // byte too); an empty one ends the upload.
        if (got > 0 && got < kBlock) control_.EndUpload();
        Print("PutData", std::to_string(got) + " bytes");
        if (step_ == Step::AbortedUpload && ++blocks_ == 3) {
            Print("host", "Abort");
            abortCalled_ = true;
            control_.Abort();
        }
    }
    void PutClose() override {
        Print("PutClose", "");
        Close();
    }
    void DirOpen() override { Print("DirOpen", ""); }
    void DirData(String& line) override { Print("DirData", ToUtf8(line)); }
    void DirClose() override { Print("DirClose", ""); }
    void TransError(Long code, const String& description, const String& where) override {
        Print("TransError", std::to_string(code) + ", " + ToUtf8(description) + ", " + ToUtf8(where));
        if (step_ != Step::AbortedUpload) failed_ = true;
    }

private:
    enum class Step { Download, Upload, AbortedUpload, Silent, Done };
    static constexpr std::size_t kBlock = 64 * 1024;

    static void Print(const char* event, const std::string& arguments) {
        std::cout << event;
        if (!arguments.empty()) std::cout << ": " << arguments;
        std::cout << '\n' << std::flush;
    }

    bool Connect(const char* host, const char* user, const char* password) {
        try {
            control_.Connect(FromUtf8(host), FromUtf8(user), FromUtf8(password));
        } catch (const tarselctl::AutomationError& e) {
            std::cerr << "Connect failed: " << e.Number() << " " << ToUtf8(e.Description()) << '\n';
            return false;
        }
        return true;
    }

    /// Step 5: a server that takes the connection and never greets. The kernel completes the
    /// connection into the listening socket's backlog; nothing ever reads or writes it.
    void ConnectSilent() {
        step_ = Step::Silent;
        silent_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (silent_ < 0 || ::bind(silent_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(silent_, 1) != 0 ||
            ::getsockname(silent_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::cerr << "no listening socket for the silent server\n";
            Finish();
            return;
        }
        // The silent server speaks no TLS either: a plain connection, waiting for its greeting.
        control_.put_TlsMode(u"");
        control_.put_ReplyTimeout(1);
        control_.put_port(FromUtf8(std::to_string(ntohs(address.sin_port))));
        Print("host", "Connect to a server that never greets, ReplyTimeout 1");
        if (!Connect("127.0.0.1", "anonymous", "guest@")) Finish();
    }
    void Finish() {
        if (step_ == Step::Done) return;
        step_ = Step::Done;
        if (onFinished) onFinished();
    }

    void Open(const String& file, const char* mode) {
        file_ = std::fopen(ToUtf8(file).c_str(), mode);
        if (file_ == nullptr) {
            failed_ = true;
            control_.Abort();
        }
    }
    void Close() {
        if (file_ != nullptr && std::fclose(file_) != 0) failed_ = true;
        file_ = nullptr;
    }

    tarselctl::tarsel& control_;
    std::string remote_, local_;
    Long cookie_ = 0;
    std::FILE* file_ = nullptr;
    int silent_ = -1;
    int blocks_ = 0;
    Step step_ = Step::Download;
    bool downloaded_ = false, uploaded_ = false, aborted_ = false, timedOut_ = false;
    bool failed_ = false, abortCalled_ = false;
};

}  // namespace loop_examples

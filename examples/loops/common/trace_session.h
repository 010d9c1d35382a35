// The dialogue every <loop>_host example runs, whatever loop drives it: log in, list the
// remote file's directory, download the file, disconnect. Every event is printed on one line
// (UTF-8), as examples/connect does, so that the traces of two loops can be compared.
//
// FTPS: TARSEL_TLS_MODE=explicit or implicit secures the session, checking the server's
// certificate against the CA file in TARSEL_TLS_CA when that is set.
#pragma once

#include <cstdio>
#include <cstdlib>
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
        if (out_ != nullptr) std::fclose(out_);
    }

    /// Starts the dialogue (argv: HOST PORT USER PASSWORD); false when Connect refused at once.
    bool Start(const char* host, const char* port, const char* user, const char* password) {
        control_.put_port(FromUtf8(port));
        control_.put_ConnectTimeout(10);
        // Socket diagnostics carry ports and addresses that differ from run to run.
        control_.TraceOn = tarselctl::False;
        if (const char* mode = std::getenv("TARSEL_TLS_MODE")) control_.put_TlsMode(FromUtf8(mode));
        if (const char* ca = std::getenv("TARSEL_TLS_CA")) control_.put_TlsCaFile(FromUtf8(ca));
        try {
            control_.Connect(FromUtf8(host), FromUtf8(user), FromUtf8(password));
        } catch (const tarselctl::AutomationError& e) {
            std::cerr << "Connect failed: " << e.Number() << " " << ToUtf8(e.Description()) << '\n';
            return false;
        }
        return true;
    }
    bool Finished() const { return finished_; }
    bool Succeeded() const { return downloaded_; }
    /// Ends a dialogue that took too long.
    void GiveUp() {
        std::cerr << "no end within the time allowed; giving up\n";
        control_.Abend();
        finished_ = true;
    }

    void Trace(const String& msg) override { Print("Trace", ToUtf8(msg)); }
    void Connected() override { Print("Connected", ""); }
    void DisConnected(Long code, const String& msg) override {
        Print("DisConnected", std::to_string(code) + ", " + ToUtf8(msg));
        finished_ = true;
    }
    void CommandDone(Integer code, const String& op, const String& msg) override {
        Print("CommandDone", std::to_string(code) + ", " + ToUtf8(op) + ", " + ToUtf8(msg));
        if (op == u"DisConnect") return;
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
        control_.DisConnect();
    }
    void GetOpen(const String& file) override {
        Print("GetOpen", ToUtf8(file));
        out_ = std::fopen(ToUtf8(file).c_str(), "wb");
        if (out_ == nullptr) {
            failed_ = true;
            control_.Abort();
        }
    }
    void GetData(ByteArray& data) override {
        Print("GetData", std::to_string(data.size()) + " bytes");
        if (out_ != nullptr && std::fwrite(data.data(), 1, data.size(), out_) != data.size())
            failed_ = true;
    }
    void GetClose() override {
        Print("GetClose", "");
        if (out_ != nullptr && std::fclose(out_) != 0) failed_ = true;
        out_ = nullptr;
    }
    void DirOpen() override { Print("DirOpen", ""); }
    void DirData(String& line) override { Print("DirData", ToUtf8(line)); }
    void DirClose() override { Print("DirClose", ""); }
    void TransError(Long code, const String& description, const String& where) override {
        Print("TransError", std::to_string(code) + ", " + ToUtf8(description) + ", " + ToUtf8(where));
        failed_ = true;
    }

private:
    static void Print(const char* event, const std::string& arguments) {
        std::cout << event;
        if (!arguments.empty()) std::cout << ": " << arguments;
        std::cout << '\n' << std::flush;
    }

    tarselctl::tarsel& control_;
    std::string remote_, local_;
    Long cookie_ = 0;
    std::FILE* out_ = nullptr;
    bool finished_ = false, downloaded_ = false, failed_ = false;
};

}  // namespace loop_examples

// connect_example: the smallest useful host of the tarsel control.
//
//   connect_example HOST PORT USER PASSWORD
//
// Connects, logs in, prints every event the control raises (UTF-8, one line each), then
// disconnects politely. Exits 0 when the login succeeded and the server closed the connection
// after QUIT; 1 when the login was refused or the connection failed; 2 on a usage error.
//
// The control never blocks: each call returns at once and everything else happens inside the
// event handlers below, while main() runs the Asio loop that delivers socket events and timer
// ticks. The handlers call back into the control (DisConnect from inside CommandDone), which
// is how a host chains operations.
#include <chrono>
#include <iostream>
#include <string>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

namespace {

using tarselctl::ByteArray;
using tarselctl::FromUtf8;
using tarselctl::Integer;
using tarselctl::Long;
using tarselctl::String;
using tarselctl::ToUtf8;

/// Prints each event and drives the session: log in, then quit.
class ConsoleHost : public tarselctl::tarselEvents {
public:
    explicit ConsoleHost(tarselctl::tarsel& control) : control_(control) {}

    bool Finished() const { return finished_; }
    bool Succeeded() const { return loggedIn_ && quitAcknowledged_ && disconnectCode_ == 0; }

    void Trace(const String& msg) override { Print("Trace", ToUtf8(msg)); }
    void Connected() override { Print("Connected", ""); }
    void DisConnected(Long code, const String& msg) override {
        Print("DisConnected", std::to_string(code) + ", " + ToUtf8(msg));
        disconnectCode_ = code;
        finished_ = true;
    }
    void CommandDone(Integer code, const String& FtpCommand, const String& msg) override {
        Print("CommandDone", std::to_string(code) + ", " + ToUtf8(FtpCommand) + ", " + ToUtf8(msg));
        if (FtpCommand == u"Connect") {
            loggedIn_ = code == 0;
            // A refused login leaves the connection open and idle: say goodbye either way.
            Quit();
        } else if (FtpCommand == u"DisConnect") {
            quitAcknowledged_ = code == 0;
        }
    }
    void GetOpen(const String& SaveFileName) override { Print("GetOpen", ToUtf8(SaveFileName)); }
    void GetData(ByteArray& Data) override { Print("GetData", std::to_string(Data.size()) + " bytes"); }
    void GetClose() override { Print("GetClose", ""); }
    void PutOpen(const String& LoadFileName) override { Print("PutOpen", ToUtf8(LoadFileName)); }
    void PutData(ByteArray& Data) override {
        Print("PutData", "");
        Data.clear();  // this host uploads nothing
    }
    void PutClose() override { Print("PutClose", ""); }
    void DirOpen() override { Print("DirOpen", ""); }
    void DirData(String& Data) override { Print("DirData", ToUtf8(Data)); }
    void DirClose() override { Print("DirClose", ""); }
    void TransError(Long Ecode, const String& Description, const String& Where) override {
        Print("TransError", std::to_string(Ecode) + ", " + ToUtf8(Description) + ", " + ToUtf8(Where));
    }

private:
    static void Print(const char* event, const std::string& arguments) {
        std::cout << event;
        if (!arguments.empty()) std::cout << ": " << arguments;
        std::cout << '\n' << std::flush;
    }

    void Quit() {
        try {
            control_.DisConnect();
        } catch (const tarselctl::AutomationError& e) {
            std::cerr << "DisConnect failed: " << ToUtf8(e.Description()) << '\n';
            control_.Abend();
        }
    }

    tarselctl::tarsel& control_;
    bool finished_ = false;
    bool loggedIn_ = false;
    bool quitAcknowledged_ = false;
    Long disconnectCode_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: connect_example HOST PORT USER PASSWORD\n";
        return 2;
    }

    asio::io_context io;
    tarselctl::AsioPlatform platform(io);
    tarselctl::tarsel control(platform);
    control.InitProperties();
    ConsoleHost host(control);
    const Long cookie = control.Advise(host);

    control.put_port(FromUtf8(argv[2]));
    control.put_ConnectTimeout(10);
    // Socket diagnostics are interesting in an example; turn them off with TraceOn = False.
    control.TraceOn = tarselctl::True;

    try {
        control.Connect(FromUtf8(argv[1]), FromUtf8(argv[3]), FromUtf8(argv[4]));
    } catch (const tarselctl::AutomationError& e) {
        std::cerr << "Connect failed: " << e.Number() << " " << ToUtf8(e.Description()) << " ("
                  << ToUtf8(e.Source()) << ")\n";
        return 1;
    }

    // The loop stands in for the host's message loop; the limit keeps a silent server from
    // holding the example forever.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!host.Finished() && std::chrono::steady_clock::now() < deadline) {
        io.run_one_for(std::chrono::milliseconds(100));
    }
    if (!host.Finished()) {
        std::cerr << "no answer within 60 seconds; giving up\n";
        control.Abend();
    }

    control.Unadvise(cookie);
    return host.Succeeded() ? 0 : 1;
}

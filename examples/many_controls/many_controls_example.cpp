// many_controls_example: several controls on one io_context, one thread, no locks.
//
//   many_controls_example HOST PORT COUNT
//
// Each control logs in, asks for the working directory and quits, all at the same time;
// the loop serves every connection as its events come. The program ends when the last
// connection has closed.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

using namespace tarselctl;

class Session : public tarselEvents {
public:
    Session(AsioPlatform& platform, int number, int& open) : ftp_(platform), number_(number), open_(open) {
        ftp_.InitProperties();
        cookie_ = ftp_.Advise(*this);
    }
    ~Session() override { ftp_.Unadvise(cookie_); }

    void Start(const String& host, const String& port) {
        ftp_.put_port(port);
        ftp_.put_Passive(True);
        ftp_.Connect(host, u"anonymous", u"guest@");
        ++open_;
    }
    bool Succeeded() const { return ok_; }

    void CommandDone(Integer code, const String& op, const String& msg) override {
        if (op == u"Connect" && code == 0) {
            ftp_.Pwd();
        } else if (op == u"Pwd") {
            std::printf("session %d: %s\n", number_, ToUtf8(msg).c_str());
            ok_ = code == 0;
            ftp_.DisConnect();
        } else if (op != u"DisConnect") {
            std::fprintf(stderr, "session %d: %s %d %s\n", number_, ToUtf8(op).c_str(), code, ToUtf8(msg).c_str());
            ftp_.DisConnect();
        }
    }
    void DisConnected(Long, const String&) override { --open_; }

private:
    tarsel ftp_;
    int number_;
    int& open_;
    Long cookie_ = 0;
    bool ok_ = false;
};

int main(int argc, char** argv) {
    if (argc != 4 || std::atoi(argv[3]) < 1) {
        std::fprintf(stderr, "usage: many_controls_example HOST PORT COUNT\n");
        return 2;
    }
    asio::io_context io;
    AsioPlatform platform(io);
    int open = 0;
    std::vector<std::unique_ptr<Session>> sessions;
    for (int i = 0; i < std::atoi(argv[3]); ++i) {
        sessions.push_back(std::make_unique<Session>(platform, i + 1, open));
        try {
            sessions.back()->Start(FromUtf8(argv[1]), FromUtf8(argv[2]));
        } catch (const AutomationError& e) {
            std::fprintf(stderr, "session %d: %s\n", i + 1, ToUtf8(e.Description()).c_str());
        }
    }
    // run() returns once no connection, timer or pending work is left.
    io.run();
    int failed = 0;
    for (const auto& s : sessions) failed += s->Succeeded() ? 0 : 1;
    return failed == 0 ? 0 : 1;
}

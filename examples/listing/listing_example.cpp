// listing_example: print the long listing of a remote directory, one line per DirData.
//
//   listing_example HOST PORT [DIRECTORY]
//
// Lines arrive one by one as the data connection delivers them (never the whole listing at
// once), decoded by SysCode; "UTF8" here, for servers with UTF-8 names.
#include <cstdio>
#include <string>

#include <asio/io_context.hpp>
#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

using namespace tarselctl;

class Listing : public tarselEvents {
public:
    Listing(tarsel& ftp, asio::io_context& io, String dir) : ftp_(ftp), io_(io), dir_(std::move(dir)) {}

    bool Succeeded() const { return done_; }

    void CommandDone(Integer code, const String& op, const String& msg) override {
        if (op == u"DisConnect") return;
        if (code != 0) std::fprintf(stderr, "%s: %d %s\n", ToUtf8(op).c_str(), code, ToUtf8(msg).c_str());
        if (op == u"Connect" && code == 0) {
            ftp_.Dir(dir_);
            return;
        }
        if (op == u"Dir") done_ = code == 0 && !failed_;
        ftp_.DisConnect();
    }
    void DirData(String& line) override { std::printf("%s\n", ToUtf8(line).c_str()); }
    void TransError(Long code, const String& description, const String& where) override {
        std::fprintf(stderr, "transfer: %d %s (%s)\n", code, ToUtf8(description).c_str(), ToUtf8(where).c_str());
        failed_ = true;
    }
    void DisConnected(Long, const String&) override { io_.stop(); }

private:
    tarsel& ftp_;
    asio::io_context& io_;
    String dir_;
    bool failed_ = false;
    bool done_ = false;
};

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: listing_example HOST PORT [DIRECTORY]\n");
        return 2;
    }
    asio::io_context io;
    AsioPlatform platform(io);
    tarsel ftp(platform);
    ftp.InitProperties();
    Listing host(ftp, io, argc == 4 ? FromUtf8(argv[3]) : String());
    const Long cookie = ftp.Advise(host);
    ftp.put_port(FromUtf8(argv[2]));
    ftp.put_Passive(True);
    ftp.put_SysCode(u"UTF8");
    try {
        ftp.Connect(FromUtf8(argv[1]), u"anonymous", u"guest@");
    } catch (const AutomationError& e) {
        std::fprintf(stderr, "%s: %s\n", ToUtf8(e.Source()).c_str(), ToUtf8(e.Description()).c_str());
        return 1;
    }
    io.run();
    ftp.Unadvise(cookie);
    return host.Succeeded() ? 0 : 1;
}

// first_host HOST PORT FILE: print FILE from an anonymous FTP server on standard output.
#include <cstdio>

#include <asio/io_context.hpp>
#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

using namespace tarselctl;

struct Host : tarselEvents {
    tarsel& ftp;
    asio::io_context& io;
    String file;
    bool failed = false, ok = false;
    Host(tarsel& f, asio::io_context& i, String name) : ftp(f), io(i), file(std::move(name)) {}

    // Each step starts from the event that ends the one before; nothing here waits.
    void CommandDone(Integer code, const String& op, const String&) override {
        if (op == u"Connect" && code == 0) return ftp.GetFile(file, u"-");
        if (op == u"GetFile") ok = code == 0 && !failed;
        if (ftp.IsIdle()) ftp.DisConnect();
    }
    void GetData(ByteArray& data) override { std::fwrite(data.data(), 1, data.size(), stdout); }
    void TransError(Long, const String&, const String&) override { failed = true; }
    void DisConnected(Long, const String&) override { io.stop(); }
};

int main(int argc, char** argv) {
    if (argc != 4) return std::fprintf(stderr, "usage: first_host HOST PORT FILE\n"), 2;
    asio::io_context io;
    AsioPlatform platform(io);
    tarsel ftp(platform);
    ftp.InitProperties();
    Host host(ftp, io, FromUtf8(argv[3]));
    ftp.Advise(host);
    ftp.put_port(FromUtf8(argv[2]));
    ftp.put_Passive(True);
    ftp.Connect(FromUtf8(argv[1]), u"anonymous", u"guest@");
    io.run();
    return host.ok ? 0 : 1;
}

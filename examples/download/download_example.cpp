// download_example: fetch one file and keep it only if the whole download succeeded.
//
//   download_example HOST PORT REMOTE LOCAL
//
// Each step is started by the event that ends the step before it. The local file is opened
// by GetOpen and removed again when the server refuses the file, the transfer fails or the
// connection is lost, so a failed download never leaves an empty or partial file behind.
#include <cstdio>
#include <string>

#include <asio/io_context.hpp>
#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

using namespace tarselctl;

class Download : public tarselEvents {
public:
    Download(tarsel& ftp, asio::io_context& io, String remote, std::string local)
        : ftp_(ftp), io_(io), remote_(std::move(remote)), local_(std::move(local)) {}

    bool Succeeded() const { return done_; }

    void CommandDone(Integer code, const String& op, const String& msg) override {
        if (op == u"DisConnect") return;  // the server's close follows as DisConnected
        if (code != 0) std::fprintf(stderr, "%s: %d %s\n", ToUtf8(op).c_str(), code, ToUtf8(msg).c_str());
        if (op == u"Connect" && code == 0) {
            ftp_.GetFile(remote_, FromUtf8(local_));
            return;
        }
        if (op == u"GetFile") {
            // A TransError before CommandDone(0) means the file is not what the server has
            // (a lost connection gives TransError and CommandDone(-1)).
            done_ = code == 0 && !failed_;
            if (!done_) RemoveFile();
        }
        if (ftp_.IsIdle()) ftp_.DisConnect();
    }
    void GetOpen(const String& localFile) override {
        out_ = std::fopen(ToUtf8(localFile).c_str(), "wb");
        created_ = out_ != nullptr;
        if (out_ == nullptr) {
            std::perror(ToUtf8(localFile).c_str());
            failed_ = true;
            ftp_.Abort();
        }
    }
    void GetData(ByteArray& data) override {
        if (out_ != nullptr && std::fwrite(data.data(), 1, data.size(), out_) != data.size()) failed_ = true;
    }
    void GetClose() override {
        if (out_ != nullptr && std::fclose(out_) != 0) failed_ = true;
        out_ = nullptr;
    }
    void TransError(Long code, const String& description, const String& where) override {
        std::fprintf(stderr, "transfer: %d %s (%s)\n", code, ToUtf8(description).c_str(), ToUtf8(where).c_str());
        failed_ = true;
    }
    void DisConnected(Long code, const String& msg) override {
        if (code != 0) std::fprintf(stderr, "connection lost: %d %s\n", code, ToUtf8(msg).c_str());
        if (!done_) RemoveFile();
        io_.stop();
    }

private:
    void RemoveFile() {
        if (created_) std::remove(local_.c_str());
        created_ = false;
    }

    tarsel& ftp_;
    asio::io_context& io_;
    String remote_;
    std::string local_;
    std::FILE* out_ = nullptr;
    bool created_ = false;
    bool failed_ = false;
    bool done_ = false;
};

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: download_example HOST PORT REMOTE LOCAL\n");
        return 2;
    }
    asio::io_context io;
    AsioPlatform platform(io);
    tarsel ftp(platform);
    ftp.InitProperties();
    Download host(ftp, io, FromUtf8(argv[3]), argv[4]);
    const Long cookie = ftp.Advise(host);

    ftp.put_port(FromUtf8(argv[2]));
    ftp.put_Passive(True);
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

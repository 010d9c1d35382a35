// upload_example: send a local file block by block, in constant memory.
//
//   upload_example HOST PORT LOCAL REMOTE
//
// PutData asks for each block in turn. A block is any number of bytes; the end of the upload
// is an empty array (or the array left as handed over: one element of value 0), so a lone
// zero byte is never handed over on its own: the blocks here always hold at least two bytes
// until the last one, and a file that is one zero byte is refused.
#include <cstdio>
#include <string>
#include <sys/stat.h>

#include <asio/io_context.hpp>
#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

using namespace tarselctl;

class Upload : public tarselEvents {
public:
    Upload(tarsel& ftp, asio::io_context& io, std::FILE* in, long long size, String remote)
        : ftp_(ftp), io_(io), in_(in), left_(size), remote_(std::move(remote)) {}

    bool Succeeded() const { return done_; }

    void CommandDone(Integer code, const String& op, const String& msg) override {
        if (op == u"DisConnect") return;
        if (code != 0) std::fprintf(stderr, "%s: %d %s\n", ToUtf8(op).c_str(), code, ToUtf8(msg).c_str());
        if (op == u"Connect" && code == 0) {
            ftp_.PutFile(remote_);  // the remote name comes first
            return;
        }
        if (op == u"PutFile") done_ = code == 0 && !failed_;
        ftp_.DisConnect();
    }
    void PutData(ByteArray& data) override {
        // Blocks of 64 KiB; a last lone byte goes with the block before it.
        long long want = left_ <= kBlock + 1 ? left_ : kBlock;
        data.resize(static_cast<std::size_t>(want));
        if (want > 0 && std::fread(data.data(), 1, data.size(), in_) != data.size()) {
            failed_ = true;
            want = 0;
        }
        if (want == 0) data.clear();  // the end of the upload
        left_ -= want;
    }
    void TransError(Long code, const String& description, const String& where) override {
        std::fprintf(stderr, "transfer: %d %s (%s)\n", code, ToUtf8(description).c_str(), ToUtf8(where).c_str());
        failed_ = true;
    }
    void DisConnected(Long code, const String& msg) override {
        if (code != 0) std::fprintf(stderr, "connection lost: %d %s\n", code, ToUtf8(msg).c_str());
        io_.stop();
    }

private:
    static constexpr long long kBlock = 64 * 1024;
    tarsel& ftp_;
    asio::io_context& io_;
    std::FILE* in_;
    long long left_;
    String remote_;
    bool failed_ = false;
    bool done_ = false;
};

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: upload_example HOST PORT LOCAL REMOTE\n");
        return 2;
    }
    std::FILE* in = std::fopen(argv[3], "rb");
    struct stat st {};
    if (in == nullptr || ::fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s: not a readable file\n", argv[3]);
        return 1;
    }
    if (st.st_size == 1 && std::fgetc(in) == 0) {
        std::fprintf(stderr, "%s: a single zero byte cannot be told from the end signal\n", argv[3]);
        return 1;
    }
    std::rewind(in);
    asio::io_context io;
    AsioPlatform platform(io);
    tarsel ftp(platform);
    ftp.InitProperties();
    Upload host(ftp, io, in, st.st_size, FromUtf8(argv[4]));
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
    std::fclose(in);
    return host.Succeeded() ? 0 : 1;
}

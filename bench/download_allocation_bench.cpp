// Heap allocations of a download through the control, per 64 KiB block of the file: a
// control on the POSIX platform and its epoll loop downloads from a small FTP server of this
// program's own over loopback, and every malloc, calloc and realloc of the process is
// counted while the download runs (operator new ends in malloc). A steady state that
// allocates nothing per block shows as a figure that falls towards 0 as the file grows;
// bench/allocation_count.sh measures tarsel-ftp the same way from outside.
//
// The server runs on a thread of its own with blocking sockets and writes the file from one
// fixed buffer, so it adds no allocation per block to the count.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include <tarsel/loops/epoll_loop.h>
#include <tarsel/posix_platform.h>
#include <tarsel/tarsel.h>

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* block, std::size_t size);

namespace {
std::atomic<unsigned long> gAllocations{0};
}  // namespace

extern "C" void* malloc(std::size_t size) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* block, std::size_t size) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}

namespace {

using namespace tarselctl;

constexpr std::size_t kBlock = 64 * 1024;

int ListenOnLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port = ntohs(address.sin_port);
    return fd;
}

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

/// An FTP server for one control connection: any login, TYPE, PASV, RETR of `fileBytes`
/// bytes whatever the name, QUIT.
class LoopbackFtpServer {
public:
    explicit LoopbackFtpServer(std::size_t fileBytes) : fileBytes_(fileBytes) {
        listener_ = ListenOnLoopback(port_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LoopbackFtpServer() {
        ::shutdown(listener_, SHUT_RDWR);
        if (control_ >= 0) ::shutdown(control_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    int Port() const { return port_; }

private:
    void Serve() {
        control_ = ::accept(listener_, nullptr, nullptr);
        if (control_ < 0) return;
        Reply("220 ready");
        std::string pending;
        char chunk[4096];
        for (;;) {
            const std::size_t lf = pending.find('\n');
            if (lf == std::string::npos) {
                const ssize_t got = ::recv(control_, chunk, sizeof chunk, 0);
                if (got <= 0) break;
                pending.append(chunk, static_cast<std::size_t>(got));
                continue;
            }
            const std::string verb = pending.substr(0, 4);
            pending.erase(0, lf + 1);
            if (verb == "USER") Reply("331 password");
            else if (verb == "PASS") Reply("230 logged in");
            else if (verb == "TYPE") Reply("200 type set");
            else if (verb == "PASV") Passive();
            else if (verb == "RETR") Send();
            else if (verb == "QUIT") { Reply("221 bye"); break; }
            else Reply("502 not here");
        }
        ::close(control_);
    }

    void Reply(const char* line) {
        std::string text = std::string(line) + "\r\n";
        SendAll(control_, text.data(), text.size());
    }

    void Passive() {
        int port = 0;
        if (data_ >= 0) ::close(data_);
        data_ = ListenOnLoopback(port);
        const std::string reply = "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                                  std::to_string(port % 256) + ")";
        Reply(reply.c_str());
    }

    void Send() {
        Reply("150 opening");
        const int connection = ::accept(data_, nullptr, nullptr);
        for (std::size_t left = fileBytes_; connection >= 0 && left > 0;) {
            const std::size_t n = left < kBlock ? left : kBlock;
            if (!SendAll(connection, block_, n)) break;
            left -= n;
        }
        if (connection >= 0) ::close(connection);
        ::close(data_);
        data_ = -1;
        Reply("226 done");
    }

    std::size_t fileBytes_;
    int listener_ = -1;
    int control_ = -1;
    int data_ = -1;
    int port_ = 0;
    char block_[kBlock] = {};
    std::thread thread_;
};

class Host : public tarselEvents {
public:
    void CommandDone(Integer code, const String&, const String&) override {
        done = true;
        this->code = code;
    }
    void DisConnected(Long, const String&) override {
        done = true;
        code = -1;
    }
    void GetData(ByteArray& data) override { bytes += data.size(); }

    bool done = false;
    Integer code = 0;
    std::uint64_t bytes = 0;
};

void RunUntilDone(EpollLoop& loop, PosixPlatform& platform, Host& host) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!host.done && std::chrono::steady_clock::now() < limit)
        loop.RunOnce(platform, std::chrono::milliseconds(100));
}

// One logged-in control; each iteration downloads `state.range(0)` MiB.
void BM_DownloadAllocationsPerBlock(benchmark::State& state) {
    const std::size_t fileBytes = static_cast<std::size_t>(state.range(0)) * 1024 * 1024;
    LoopbackFtpServer server(fileBytes);
    EpollLoop loop;
    PosixPlatform platform(loop);
    tarsel control(platform);
    Host host;
    control.Advise(host);
    control.put_port(FromUtf8(std::to_string(server.Port())));
    control.put_Passive(True);
    control.Connect(u"127.0.0.1", u"bench", u"bench");
    RunUntilDone(loop, platform, host);
    if (host.code != 0) {
        state.SkipWithError("the login failed");
        return;
    }
    unsigned long allocations = 0;
    std::uint64_t blocks = 0;
    for (auto _ : state) {
        host.done = false;
        host.bytes = 0;
        const unsigned long before = gAllocations.load();
        control.GetFile(u"file.bin");
        RunUntilDone(loop, platform, host);
        allocations += gAllocations.load() - before;
        if (host.code != 0 || host.bytes != fileBytes) {
            state.SkipWithError("the download failed");
            return;
        }
        blocks += fileBytes / kBlock;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fileBytes));
    state.counters["allocations"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    state.counters["per_64KiB_block"] = static_cast<double>(allocations) / static_cast<double>(blocks);
    control.Abend();
}

BENCHMARK(BM_DownloadAllocationsPerBlock)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// The control fuzzer's network on real sockets: the POSIX platform on the epoll loop, with the
// far end of every connection played by loopback sockets of the harness's own. Timers and
// converters stay the scripted ones, so that Tick steps mean what they do on the fake
// platform and a run takes no wall-clock time.
//
// Every connection the control opens is sent to the harness (its host and port are
// replaced): the control connection to one listener, passive data connections to another, so
// that whatever address a mutated reply names, nothing else on the machine is reached.
// After each step the loop runs until nothing is left to do.
#pragma once

#include <fcntl.h>
#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <tarsel/loops/epoll_loop.h>
#include <tarsel/posix_platform.h>

#include "support/fake_platform.h"
#include "support/fake_soquet.h"

namespace tarselctl::fuzzing {

/// A socket of the POSIX platform, seen through: its connects go to the harness, its state
/// and what the control sends on it are recorded. `mirror` holds the sends (as `sends` and
/// `sent` of a scripted socket), for the rules that read them.
class RealSoquet final : public Soquet, private SoquetEvents {
public:
    enum class State { Idle, Connecting, Connected, Listening };

    RealSoquet(std::unique_ptr<Soquet> inner, const std::string& name, Long redirect)
        : inner_(std::move(inner)), mirror(name), redirect_(redirect) {
        inner_->SetEvents(this);
    }

    void SetEvents(SoquetEvents* sink) override { sink_ = sink; }
    void ConnectTo(const String&, const String&, const String&) override {
        state = State::Connecting;
        inner_->ConnectTo(u"127.0.0.1", FromUtf8(std::to_string(redirect_)), u"0");
    }
    void Listen(const String& port) override {
        inner_->Listen(port);
        state = State::Listening;
    }
    void ListenAt(const String& host, const String& port) override {
        inner_->ListenAt(host, port);
        state = State::Listening;
    }
    void Accept(Long requestId) override {
        state = State::Connecting;
        inner_->Accept(requestId);
    }
    void CloseSocket() override {
        state = State::Idle;
        inner_->CloseSocket();
    }
    void Send(const std::string& data) override {
        mirror.sends.push_back(data);
        mirror.sent += data;
        inner_->Send(data);
    }
    Long get_LocalAddress() const override { return inner_->get_LocalAddress(); }
    Long get_LocalPort() const override { return inner_->get_LocalPort(); }
    Boolean get_SendReady() const override { return inner_->get_SendReady(); }
    Boolean get_IsClosed() const override { return inner_->get_IsClosed(); }
    String get_LocalHost() const override { return inner_->get_LocalHost(); }
    String get_RemoteHost() const override { return inner_->get_RemoteHost(); }
    String get_RequestHost(Long requestId) const override { return inner_->get_RequestHost(requestId); }
    Integer get_SocketVersion() const override { return inner_->get_SocketVersion(); }
    void put_SetupPhase(Boolean value) override { inner_->put_SetupPhase(value); }
    void StartTls(const TlsClientSettings& settings, const Soquet* resumeFrom) override {
        const auto* from = dynamic_cast<const RealSoquet*>(resumeFrom);
        inner_->StartTls(settings, from != nullptr ? from->inner_.get() : nullptr);
    }
    Boolean get_IsSecured() const override { return inner_->get_IsSecured(); }
    Boolean get_CloseNotified() const override { return inner_->get_CloseNotified(); }

    State state = State::Idle;
    FakeSoquet mirror;

private:
    void OnConnected() override {
        state = State::Connected;
        if (sink_) sink_->OnConnected();
    }
    void OnReceived(std::string& data) override {
        if (sink_) sink_->OnReceived(data);
    }
    void OnReceivedBytes(ByteArray& data) override {
        if (sink_) sink_->OnReceivedBytes(data);
    }
    void OnSendDone() override {
        if (sink_) sink_->OnSendDone();
    }
    void OnClosed() override {
        state = State::Idle;
        if (sink_) sink_->OnClosed();
    }
    void OnAcceptRequest(Long requestId) override {
        if (sink_) sink_->OnAcceptRequest(requestId);
    }
    void OnError(Long number, const String& text1, const String& text2) override {
        if (sink_) sink_->OnError(number, text1, text2);
    }
    void OnDiagnostic(const String& text) override {
        if (sink_) sink_->OnDiagnostic(text);
    }
    void OnSecured() override {
        if (sink_) sink_->OnSecured();
    }

    std::unique_ptr<Soquet> inner_;
    SoquetEvents* sink_ = nullptr;
    Long redirect_;
};

/// The platform, the loop and the far ends. The control creates its three sockets first (the
/// control connection, the listener, the data connection), as on every platform.
class RealNetwork final : public Platform {
public:
    RealNetwork() : control_(Listener()), data_(Listener()) {}
    ~RealNetwork() override {
        for (int fd : {control_, data_, controlPeer_, dataPeer_})
            if (fd >= 0) ::close(fd);
    }
    RealNetwork(const RealNetwork&) = delete;
    RealNetwork& operator=(const RealNetwork&) = delete;

    std::unique_ptr<Soquet> CreateSoquet() override {
        // The first goes to the control connection's listener, the others to the data one's.
        const int to = sockets.empty() ? control_ : data_;
        auto s = std::make_unique<RealSoquet>(posix_.CreateSoquet(), "Soquet" + std::to_string(sockets.size() + 1),
                                              LocalPort(to));
        sockets.push_back(s.get());
        return s;
    }
    std::unique_ptr<Codawa> CreateCodawa() override { return fake.CreateCodawa(); }
    std::unique_ptr<Timer> CreateTimer() override { return fake.CreateTimer(); }
    void ShowMessageBox(const String& text) override { fake.ShowMessageBox(text); }
    void ReportHandlerException(std::exception_ptr) override {}

    /// The server's end of the control connection writes `bytes` (once it is taken).
    void ServerSends(const std::string& bytes) { Write(controlPeer_, bytes); }
    /// The server's end of the data connection writes `bytes`; false when there is none.
    bool DataSends(const std::string& bytes) { return Write(dataPeer_, bytes); }
    bool HasDataPeer() const { return dataPeer_ >= 0; }
    /// The control connection reaches the server: its waiting connection is taken.
    void Greet() { Take(control_, controlPeer_); }
    /// A passive data connection reaches the server.
    void DataUp() { Take(data_, dataPeer_); }
    /// The server ends connection 0 (control) or 2 (data), in order or with a reset.
    void Close(std::size_t which, bool reset) {
        int& fd = which == 0 ? controlPeer_ : dataPeer_;
        if (fd < 0) return;
        if (reset) {
            const linger abortive{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        }
        ::close(fd);
        fd = -1;
        Settle();
    }
    /// The server connects to the control's listener (from 127.0.0.2, an address that is not
    /// the server's, when `stranger`), as the new data connection.
    void ConnectToListener(bool stranger) {
        RealSoquet* listener = sockets.size() > 1 ? sockets[1] : nullptr;
        if (listener == nullptr || listener->state != RealSoquet::State::Listening) return;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in from = Address(stranger ? 0x7F000002 : 0x7F000001, 0);
        sockaddr_in to = Address(0x7F000001, static_cast<unsigned short>(listener->get_LocalPort()));
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            if (fd >= 0) ::close(fd);
            return;
        }
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        if (dataPeer_ >= 0) ::close(dataPeer_);
        dataPeer_ = fd;
        Settle();
    }
    /// Runs the loop until nothing more happens, reading whatever the control wrote.
    void Settle() {
        for (int turn = 0; turn < 1000; ++turn) {
            const bool drained = Drain(controlPeer_) | Drain(dataPeer_);
            if (!loop_.RunOnce(posix_, std::chrono::milliseconds(0)) && !drained) return;
        }
    }

    FakePlatform fake;
    std::vector<RealSoquet*> sockets;

private:
    static sockaddr_in Address(std::uint32_t host, unsigned short port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(host);
        a.sin_port = htons(port);
        return a;
    }
    static int Listener() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a = Address(0x7F000001, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0) std::abort();
        return fd;
    }
    static Long LocalPort(int fd) {
        sockaddr_in a{};
        socklen_t length = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        return ntohs(a.sin_port);
    }
    void Take(int listener, int& peer) {
        Settle();
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (peer >= 0) ::close(peer);
        peer = fd;
        Settle();
    }
    bool Write(int& fd, const std::string& bytes) {
        if (fd < 0) return false;
        // A control that reads no more (its connection is going) leaves the rest unsent.
        for (std::size_t at = 0, stalls = 0; at < bytes.size() && stalls < 3;) {
            const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN) return false;
            stalls = n > 0 ? 0 : stalls + 1;
            if (n > 0) at += static_cast<std::size_t>(n);
            Settle();
        }
        Settle();
        return true;
    }
    /// Reads what the control sent; true when something came.
    static bool Drain(int fd) {
        if (fd < 0) return false;
        char buffer[65536];
        bool any = false;
        while (::recv(fd, buffer, sizeof buffer, 0) > 0) any = true;
        return any;
    }

    EpollLoop loop_;
    PosixPlatform posix_{loop_};
    int control_, data_;
    int controlPeer_ = -1, dataPeer_ = -1;
};

}  // namespace tarselctl::fuzzing

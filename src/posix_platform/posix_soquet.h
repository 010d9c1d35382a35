// The socket component on non-blocking POSIX sockets and OpenSSL, on the host's loop.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <openssl/ssl.h>

#include <tarsel/soquet.h>

#include "asio_platform/tls_client_context.h"
#include "posix_platform/posix_services.h"

namespace tarselctl {

/// One Soquet instance of a PosixPlatform: an outgoing connection, an accepted one, or a
/// listener, one at a time.
///
/// It keeps every promise AsioSoquet documents (events, their order, error numbers and steps,
/// diagnostics, TLS and its background close), on descriptors the host's loop watches:
///  - The socket decides what each descriptor waits for. A plain connection waits to read
///    while reading is on and to write while bytes are queued; a TLS operation waits in
///    whichever direction OpenSSL asks for (a read may need the socket writable, and a write
///    readable), each side recorded apart so that neither hides the other.
///  - Nothing is raised inside Send or StartTls: bytes go out, and the handshake starts, when
///    the host reports the socket writable. OnConnected of an accepted connection and the
///    failure of an unusable CA file are deferred to the end of the turn.
///  - One read per readiness: up to kReadSize bytes into the platform's shared buffer for a
///    plain connection, one TLS record into the connection's own buffer for a secured one
///    (plaintext OpenSSL already holds is read before the turn ends).
///  - Names are resolved with c-ares; numeric addresses are used as they are.
class PosixSoquet final : public Soquet {
public:
    explicit PosixSoquet(std::shared_ptr<PosixServices> services);
    ~PosixSoquet() override;
    PosixSoquet(const PosixSoquet&) = delete;
    PosixSoquet& operator=(const PosixSoquet&) = delete;

    void SetEvents(SoquetEvents* sink) override { sink_ = sink; }

    void ConnectTo(const String& host, const String& port, const String& localPort) override;
    void Listen(const String& port) override;
    void ListenAt(const String& host, const String& port) override;
    void Accept(Long requestId) override;
    void CloseSocket() override;
    void Send(const std::string& data) override;

    Long get_LocalAddress() const override;
    Long get_LocalPort() const override;
    Boolean get_SendReady() const override;
    Boolean get_IsClosed() const override;
    String get_LocalHost() const override;
    String get_RemoteHost() const override;
    String get_RequestHost(Long requestId) const override;
    Integer get_SocketVersion() const override { return 210; }
    void put_SetupPhase(Boolean value) override { setupPhase_ = value; }
    void StartTls(const TlsClientSettings& settings, const Soquet* resumeFrom) override;
    Boolean get_IsSecured() const override;
    Boolean get_CloseNotified() const override { return closeNotified_ ? True : False; }

    static constexpr std::size_t kReadSize = 64 * 1024;
    static constexpr std::size_t kTlsReadSize = 16 * 1024;
    static constexpr std::chrono::milliseconds kCloseBound{2000};

private:
    enum class Phase { Resolving, Connecting, Open };
    enum class Tls { None, Waiting, Handshaking, Secured };

    /// One connection or attempt. Its descriptor's watch holds it, so a secured connection
    /// closed by CloseSocket lives on until its close_notify is out.
    struct Connection final : ReadyHandler, std::enable_shared_from_this<Connection> {
        explicit Connection(Reactor& r) : reactor(r) {}
        ~Connection() override;
        void OnReady(int fd, bool readable, bool writable) override;
        /// Tells the reactor the union of what the read and the write side wait for.
        void UpdateWatch();

        Reactor& reactor;
        /// Cleared when the connection ends or the instance goes.
        PosixSoquet* owner = nullptr;
        Phase phase = Phase::Resolving;
        int fd = -1;
        bool resolving = false;
        std::uint64_t lookup = 0;
        std::vector<sockaddr_storage> endpoints;
        std::size_t nextEndpoint = 0;
        int lastConnectError = 0;

        std::deque<std::string> sendQueue;
        /// Bytes of the front entry already written.
        std::size_t frontSent = 0;
        /// Reading is on (from OnConnected, paused while TLS starts).
        bool reading = false;
        /// What the read side and the write side (sending, handshake, close) wait for.
        WatchFor readWait = WatchFor::None;
        WatchFor writeWait = WatchFor::None;

        Tls tls = Tls::None;
        std::size_t plainQueued = 0;
        std::shared_ptr<TlsClientContext> tlsContext;
        TlsSessionSlot newestSession;
        SSL* ssl = nullptr;
        ByteArray tlsReadBuffer;

        /// Detached by CloseSocket while secured: finishing its writes and close_notify.
        bool closing = false;
        bool notifySent = false;
        Reactor::TimerId closeTimer = 0;
    };

    struct Listener final : ReadyHandler, std::enable_shared_from_this<Listener> {
        void OnReady(int fd, bool readable, bool writable) override;
        PosixSoquet* owner = nullptr;
        int fd = -1;
        std::uint64_t key = 0;
    };

    using ConnectionPtr = std::shared_ptr<Connection>;
    using ListenerPtr = std::shared_ptr<Listener>;

    bool MakeIdle();
    void DropConnection(bool graceful = false);
    void DropListener();
    void Fail(Long number, const std::string& text, const char* step);
    void FailErrno(int error, const char* step);

    void OnResolved(const ConnectionPtr& c, int status, const std::string& text,
                    std::vector<sockaddr_storage> endpoints);
    void ConnectToEndpoints(const ConnectionPtr& c, std::vector<sockaddr_storage> endpoints);
    /// Starts the next endpoint's attempt; fails the connection when none is left.
    void TryNextEndpoint(const ConnectionPtr& c);
    void OnConnectReady(const ConnectionPtr& c);
    void AnnounceOpen(const ConnectionPtr& c);
    void StartRead(const ConnectionPtr& c);
    void ReadPlain(const ConnectionPtr& c);
    /// After the bytes of a read went out: the next read, or the handshake asked for.
    void AfterDelivery(const ConnectionPtr& c);
    static bool CanWrite(const Connection& c);
    /// Asks to be told when the socket takes bytes, if bytes wait and nothing is waiting yet.
    static void KickWrite(Connection& c);
    void PumpWrite(const ConnectionPtr& c);
    void PeerClosed(bool notified);

    // TLS (posix_soquet_tls.cpp)
    void BeginHandshakeWhenIdle(const ConnectionPtr& c);
    void Handshake(const ConnectionPtr& c);
    void OnHandshakeFailed(const ConnectionPtr& c, int sslError);
    void ReadSecured(const ConnectionPtr& c);
    /// Writes the front of the queue protected: bytes written, 0 to wait, -1 after a failure.
    static long WriteSecured(Connection& c, std::string& failure, Long& number);
    static void BeginClosing(const ConnectionPtr& c);
    static void ContinueClosing(const ConnectionPtr& c, bool readable);
    static void FinishClosing(const ConnectionPtr& c);

    void OnAcceptReady(const ListenerPtr& l);

    /// Raises one event; false when its handler destroyed the instance.
    template <class F>
    bool Raise(F&& call) {
        if (sink_ == nullptr) return true;
        std::weak_ptr<char> life = life_;
        call(*sink_);
        return !life.expired();
    }
    bool Diagnostic(const String& text);

    std::shared_ptr<PosixServices> services_;
    Reactor& reactor_;
    SoquetEvents* sink_ = nullptr;
    ConnectionPtr conn_;
    ListenerPtr listener_;
    Boolean setupPhase_ = False;
    bool closeNotified_ = false;
    std::shared_ptr<char> life_ = std::make_shared<char>(0);
};

}  // namespace tarselctl

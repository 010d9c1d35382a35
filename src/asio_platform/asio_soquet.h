// The socket component on standalone Asio TCP sockets.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>

#include <tarsel/soquet.h>

#include "asio_platform/pending_accepts.h"
#include "asio_platform/shared_read_buffer.h"
#include "asio_platform/tls_client_context.h"
#include "asio_platform/tls_transport.h"

namespace tarselctl {

/// One Soquet instance on an asio::io_context: an outgoing connection, an accepted one, or a
/// listener, one at a time.
///
/// Threading: the io_context is the host's message loop. Every call must be made on the
/// thread that runs it, and every event is raised on that thread, either inside a completion
/// handler or synchronously inside the call named below. Nothing here blocks: names are
/// resolved with async_resolve (a numeric address is taken as it is), connections made with async_connect, bytes written with
/// async_write and read after async_wait has found the socket readable (a secured connection
/// reads with async_read_some). The io_context must outlive every instance.
///
/// What the control relies on, and how this class keeps it:
///  - CloseSocket on an instance with a connection, an accepted connection, or a connection
///    attempt (resolving or connecting) raises OnClosed before it returns. Closing a listener
///    or an idle instance raises nothing. ConnectTo, Listen and Accept close whatever the
///    instance had first, with the same events.
///  - No event of a connection arrives after that connection ended: each connection has its
///    own shared state whose back pointer to the instance is cleared when it ends, and every
///    completion handler checks it. The same clearing makes destroying an instance with
///    operations pending safe, and lets a sink close or destroy the instance from inside any
///    event: the handler stops as soon as the pointer is gone.
///  - An outgoing connection ends in OnConnected, or in OnError (step "resolve" or "connect")
///    then OnClosed. A peer close raises OnClosed alone; a read or write error raises OnError
///    ("read" / "write") then OnClosed. The connection is already closed while OnError runs
///    (IsClosed is True there, and a CloseSocket from that handler raises nothing), so exactly
///    one OnClosed follows.
///  - Error numbers are the system's error codes (errno values: ECONNREFUSED is 111 on Linux;
///    resolver failures carry the resolver's code), text 1 is the system's message, text 2
///    the step that failed: "resolve", "connect", "read", "write", "listen" or "accept".
///  - ConnectTo checks its arguments at once: a port that is no number from 1 to 65535
///    (blanks around the digits allowed) and an empty host raise AutomationError 380 with the
///    source "Soquet". The third argument is a local-port hint and is ignored: binding the
///    data connection to port 20 would need privileges. Resolved IPv4 addresses are tried
///    before IPv6 ones because PORT and PASV speak IPv4 only.
///  - One OnReceivedBytes per completed read; the next read starts only after the handler has
///    returned, and only if the instance still holds the same connection. Reading starts
///    after OnConnected has been raised. A plain connection holds no read buffer: once its
///    socket is readable it reads, without blocking, up to kReadSize bytes into the
///    platform's SharedReadBuffer, and OnReceivedBytes hands that buffer out. A secured
///    connection reads into a buffer of its own of kTlsReadSize bytes (one TLS record).
///  - Send copies all the bytes and queues them behind a write in flight; SendReady is False
///    until every queued byte is written; one OnSendDone follows each Send, in order. A Send
///    during a connection attempt is queued and written once connected; a Send with no
///    connection or attempt is ignored.
///  - ListenAt binds the numeric address given ("" or Listen: 0.0.0.0, every interface) on
///    the given port ("0": any free port); LocalPort is valid on return. A port that is no
///    number from 0 to 65535 or a host that is no numeric address raises AutomationError 380
///    (source "Soquet"); no name is ever resolved here, since that would block. A failure to
///    bind or listen raises AutomationError(errno, "Soquet", system message) from the call,
///    after whatever the instance had is closed and before any other event; the instance is
///    then idle, LocalPort 0, and no event follows. Every accepted connection is announced by
///    OnAcceptRequest(id) and parked in the platform's PendingAccepts (which see for how long:
///    a request nobody takes is closed in a later turn of the loop while the listener goes on
///    listening). An accept failure raises OnError(…, "accept") and the listener takes no
///    more connections. Listeners never raise OnClosed.
///  - Accept(id), on any instance of the same platform, takes the parked connection over and
///    raises OnConnected posted, never inside the call: the host that closes the listener and
///    accepts from inside OnAcceptRequest gets OnConnected after its handler has returned.
///    IsClosed is False from the Accept on. An unknown or expired id raises OnDiagnostic only.
///  - IsClosed is True while a connection attempt is under way (resolving or connecting: no
///    open connection yet, though CloseSocket still ends the attempt and raises OnClosed),
///    for a listener and for an idle instance; False from OnConnected, or from Accept, until
///    the connection ends.
///  - LocalHost and RemoteHost are the numeric addresses of the two ends of an open
///    connection ("" otherwise, listeners included); RequestHost(id) is the peer address of a
///    request of this listener that is still waiting ("" once taken, dropped or unknown). An
///    IPv4-mapped IPv6 address is written in its IPv4 form.
///  - LocalAddress is the IPv4 address of the local end, first octet in the most significant
///    byte (127.0.0.1 gives 0x7F000001), 0 with no connection or an IPv6 one. LocalPort is the
///    port of the listener or of the connection's local end, 0 otherwise. SocketVersion is
///    210. SetupPhase is stored and never read.
///  - StartTls on an open connection secures it as the TLS client (TLS 1.2 or newer). Bytes
///    given to Send before StartTls are written in the clear first; the handshake begins once
///    they are written and no plain read is pending (a pending one is cancelled; bytes it had
///    already received are still delivered). Sends from StartTls on wait and go out protected
///    after OnSecured. Reading pauses during the handshake and resumes after OnSecured. A
///    failed handshake raises OnError(kTlsNotVerified when the certificate was refused, else
///    kTlsHandshakeFailed; OpenSSL's reason; "tls") then OnClosed. A CA file that cannot be
///    read fails the same way, in a later turn of the loop, never inside the call. StartTls
///    with no open connection, or a second time, does nothing.
///  - Session resumption: each connection keeps the newest session its server handed out
///    (with TLS 1.3 the tickets arrive after the handshake), and StartTls offers the session
///    of `resumeFrom` when that is a secured AsioSoquet; connections with equal settings
///    share one OpenSSL context.
///  - CloseSocket (or destroying the instance) on a secured connection raises OnClosed at
///    once as for any connection; the connection then lives on in the background, detached
///    from the instance: it writes what Sends had queued, sends close_notify without waiting
///    for the peer's, half-closes the socket and discards what still arrives until the peer
///    closes too (closing with bytes unread would reset the connection and lose the end of
///    an upload at the peer); the socket is closed when the peer has closed, or after
///    kCloseBound whatever happens. A peer's
///    close with or without close_notify is an ordinary close (OnClosed alone); a TLS error
///    while secured is a read or write error whose number is OpenSSL's code.
///  - OnDiagnostic texts (plain ASCII apart from a host name given by the caller):
///    "connecting to HOST:PORT", "trying ADDRESS:PORT", "connected to ADDRESS:PORT",
///    "accepted ADDRESS:PORT", "closed by peer", "listening on ADDRESS:PORT",
///    "connection request ID from ADDRESS:PORT", "no connection request ID",
///    "secured with VERSION, new session" / "…, resumed session".
class AsioSoquet final : public Soquet {
public:
    /// `reads` is the platform's read buffer; without one the instance makes its own.
    AsioSoquet(asio::io_context& io, std::shared_ptr<PendingAccepts> accepts,
               std::shared_ptr<SharedReadBuffer> reads = nullptr);
    ~AsioSoquet() override;
    AsioSoquet(const AsioSoquet&) = delete;
    AsioSoquet& operator=(const AsioSoquet&) = delete;

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

    /// Most bytes asked of one plain read. Small enough that the shared buffer stays in the
    /// processor's cache while a download streams through it: reads of 256 KiB (what an
    /// autotuned loopback window can hold) made one download about a third slower.
    static constexpr std::size_t kReadSize = 64 * 1024;
    /// Bytes of a secured connection's read buffer: one TLS record's plaintext, the most
    /// one read can return.
    static constexpr std::size_t kTlsReadSize = 16 * 1024;
    /// How long a secured connection closed by CloseSocket may take to write what was queued
    /// and its close_notify before its socket is closed regardless.
    static constexpr std::chrono::milliseconds kCloseBound{2000};

private:
    enum class Phase { Resolving, Connecting, Open };
    /// Where TLS stands on an open connection: not asked for; asked for, waiting for plain
    /// writes and reads to finish; handshaking; secured.
    enum class Tls { None, Waiting, Handshaking, Secured };

    /// State of one connection or connection attempt, kept alive by its pending handlers.
    struct Connection {
        explicit Connection(asio::io_context& io) : resolver(io), socket(io), closeTimer(io) {}
        /// The instance this connection belongs to; cleared when the connection ends or the
        /// instance goes, after which its handlers do nothing.
        AsioSoquet* owner = nullptr;
        Phase phase = Phase::Resolving;
        asio::ip::tcp::resolver resolver;
        asio::ip::tcp::socket socket;
        /// Only while secured; plain reads use the platform's shared buffer.
        ByteArray tlsReadBuffer;
        /// Bytes of each Send not yet written; the front one is in flight while `writing`.
        std::deque<std::string> sendQueue;
        bool writing = false;
        bool reading = false;

        Tls tls = Tls::None;
        /// How many of the front entries of sendQueue were sent before StartTls and so go out
        /// in the clear.
        std::size_t plainQueued = 0;
        /// A pending plain read was cancelled so that the handshake can begin.
        bool readCancelled = false;
        std::shared_ptr<TlsClientContext> tlsContext;
        TlsSessionSlot newestSession;
        /// Set after `socket`, so destroyed before it.
        std::optional<asio::ssl::stream<TlsTransport>> stream;

        /// Detached by CloseSocket while secured: finishing its writes and close_notify.
        bool closing = false;
        bool shuttingDown = false;
        asio::steady_timer closeTimer;
    };

    /// State of one listening acceptor, kept alive by its pending accept.
    struct Listener {
        explicit Listener(asio::io_context& io) : acceptor(io) {}
        AsioSoquet* owner = nullptr;
        asio::ip::tcp::acceptor acceptor;
        std::uint64_t key = 0;
    };

    using ConnectionPtr = std::shared_ptr<Connection>;
    using ListenerPtr = std::shared_ptr<Listener>;

    /// Ends whatever the instance holds, raising OnClosed for a connection; false when a
    /// handler of that event destroyed the instance or started something new on it.
    bool MakeIdle();
    /// Detaches and closes the connection without raising anything; `graceful` lets a secured
    /// one finish its writes and send close_notify in the background.
    void DropConnection(bool graceful = false);
    /// Detaches and closes the listener and its waiting requests without raising anything.
    void DropListener();

    void OnResolved(const ConnectionPtr& c, const asio::error_code& ec,
                    asio::ip::tcp::resolver::results_type results);
    /// Tries the endpoints in turn, IPv4 ones first.
    void ConnectToEndpoints(const ConnectionPtr& c, std::vector<asio::ip::tcp::endpoint> endpoints);
    void OnConnectDone(const ConnectionPtr& c, const asio::error_code& ec,
                       const asio::ip::tcp::endpoint& endpoint);
    /// Raises OnConnected for an open connection, then starts reading.
    void AnnounceOpen(const ConnectionPtr& c);
    void StartRead(const ConnectionPtr& c);
    /// The socket is readable (or the wait ended with `ec`): reads what is waiting into the
    /// shared buffer and hands it on.
    void OnReadable(const ConnectionPtr& c, const asio::error_code& ec);
    /// A read ended: `data` holds its bytes when `ec` is clear.
    void OnReadDone(const ConnectionPtr& c, const asio::error_code& ec, ByteArray& data);
    /// True when the front of the send queue may be written now.
    static bool CanWrite(const Connection& c);
    static void StartWrite(const ConnectionPtr& c);
    void OnWriteDone(const ConnectionPtr& c, const asio::error_code& ec);
    /// Ends the connection after an error: OnError, then OnClosed.
    void Fail(const asio::error_code& ec, const char* step);
    void Fail(Long number, const std::string& text, const char* step);

    /// Begins the handshake once no plain write or read is pending.
    void BeginHandshakeWhenIdle(const ConnectionPtr& c);
    void OnHandshakeDone(const ConnectionPtr& c, const asio::error_code& ec);
    /// The background close of a detached secured connection: queued writes, close_notify,
    /// then the socket closed, bounded by kCloseBound.
    static void BeginClosing(const ConnectionPtr& c);
    static void ContinueClosing(const ConnectionPtr& c);
    static void LingerUntilPeerCloses(const ConnectionPtr& c);
    static void DiscardUntilPeerCloses(const ConnectionPtr& c);
    static void FinishClosing(const ConnectionPtr& c);

    void StartAccept(const ListenerPtr& l);
    void OnAcceptDone(const ListenerPtr& l, const asio::error_code& ec,
                      asio::ip::tcp::socket socket);

    /// Raises one event; false when its handler destroyed the instance.
    template <class F>
    bool Raise(F&& call);
    bool Diagnostic(const String& text);

    asio::io_context& io_;
    std::shared_ptr<PendingAccepts> accepts_;
    std::shared_ptr<SharedReadBuffer> reads_;
    SoquetEvents* sink_ = nullptr;
    ConnectionPtr conn_;
    ListenerPtr listener_;
    Boolean setupPhase_ = False;
    /// The last connection's peer ended it with close_notify (see get_CloseNotified).
    bool closeNotified_ = false;
    /// Expires with the instance: lets code that raised an event see whether it still exists.
    std::shared_ptr<char> life_ = std::make_shared<char>(0);
};

}  // namespace tarselctl

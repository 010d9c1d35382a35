#include "asio_platform/asio_soquet.h"

#include <algorithm>
#include <vector>

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/ssl/error.hpp>
#include <asio/write.hpp>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "asio_platform/port_text.h"

namespace tarselctl {

using asio::ip::tcp;

namespace {

String Decimal(long long value) { return FromUtf8(std::to_string(value)); }

/// An IPv4-mapped IPv6 address in its IPv4 form, so that a dual-stack end and an IPv4 end
/// of the same host write the same text.
asio::ip::address Unmapped(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

String AddressText(const asio::ip::address& address) {
    return FromUtf8(Unmapped(address).to_string());
}

String EndpointText(const tcp::endpoint& endpoint) {
    return AddressText(endpoint.address()) + u":" + Decimal(endpoint.port());
}

AutomationError InvalidArgument(const char16_t* description) {
    return AutomationError(380, u"Soquet", description);
}

}  // namespace

AsioSoquet::AsioSoquet(asio::io_context& io, std::shared_ptr<PendingAccepts> accepts,
                       std::shared_ptr<SharedReadBuffer> reads)
    : io_(io),
      accepts_(std::move(accepts)),
      reads_(reads ? std::move(reads) : std::make_shared<SharedReadBuffer>()) {}

AsioSoquet::~AsioSoquet() {
    if (conn_) DropConnection(true);
    if (listener_) DropListener();
}

template <class F>
bool AsioSoquet::Raise(F&& call) {
    if (sink_ == nullptr) return true;
    std::weak_ptr<char> life = life_;
    call(*sink_);
    return !life.expired();
}

bool AsioSoquet::Diagnostic(const String& text) {
    return Raise([&](SoquetEvents& s) { s.OnDiagnostic(text); });
}

// ---- ending what the instance holds

void AsioSoquet::DropConnection(bool graceful) {
    ConnectionPtr c = std::move(conn_);
    c->owner = nullptr;
    if (graceful && c->tls == Tls::Secured) {
        BeginClosing(c);
        return;
    }
    asio::error_code ignored;
    c->resolver.cancel();
    c->socket.close(ignored);
}

void AsioSoquet::DropListener() {
    ListenerPtr l = std::move(listener_);
    l->owner = nullptr;
    asio::error_code ignored;
    l->acceptor.close(ignored);
    accepts_->DropListener(l->key);
}

void AsioSoquet::CloseSocket() {
    if (listener_) DropListener();
    if (conn_) {
        DropConnection(true);
        Raise([](SoquetEvents& s) { s.OnClosed(); });
    }
}

bool AsioSoquet::MakeIdle() {
    std::weak_ptr<char> life = life_;
    CloseSocket();
    // A handler of OnClosed that connected or listened again has the last word.
    return !life.expired() && !conn_ && !listener_;
}

void AsioSoquet::Fail(const asio::error_code& ec, const char* step) {
    Fail(ec.value(), ec.message(), step);
}

void AsioSoquet::Fail(Long number, const std::string& text, const char* step) {
    DropConnection();
    const String text1 = FromUtf8(text);
    const String text2 = FromUtf8(step);
    if (!Raise([&](SoquetEvents& s) { s.OnError(number, text1, text2); })) return;
    Raise([](SoquetEvents& s) { s.OnClosed(); });
}

// ---- outgoing connections

void AsioSoquet::ConnectTo(const String& host, const String& port, const String& localPort) {
    (void)localPort;  // binding the local end to port 20 would need privileges
    const auto number = ParsePortText(port, false);
    if (!number) throw InvalidArgument(u"Invalid port");
    // The resolver reads an empty name as "this machine"; a NUL would cut the name short.
    if (host.empty() || host.find(u'\0') != String::npos) throw InvalidArgument(u"Invalid host");
    if (!MakeIdle()) return;
    closeNotified_ = false;

    auto c = std::make_shared<Connection>(io_);
    c->owner = this;
    c->phase = Phase::Resolving;
    conn_ = c;
    // A numeric address needs no resolver. The resolver answers from its one background
    // thread, and each answer costs a look at the machine's interfaces there: with many
    // sessions connecting at once it was most of the time their logins took. The connection
    // starts at once (its outcome is still reported in a later turn of the loop): a passive
    // data connection is then on its way before the transfer command goes out, and the
    // server finds it waiting instead of waiting for it.
    asio::error_code numeric;
    const asio::ip::address address = asio::ip::make_address(ToUtf8(host), numeric);
    if (!numeric) {
        if (!Diagnostic(u"connecting to " + host + u":" + Decimal(*number))) return;
        // The diagnostic's handler may have closed or reused this instance.
        if (c->owner) ConnectToEndpoints(c, {tcp::endpoint(address, *number)});
        return;
    }
    c->resolver.async_resolve(
        ToUtf8(host), std::to_string(*number), tcp::resolver::numeric_service,
        [c](const asio::error_code& ec, tcp::resolver::results_type results) {
            if (c->owner) c->owner->OnResolved(c, ec, std::move(results));
        });
    Diagnostic(u"connecting to " + host + u":" + Decimal(*number));
}

void AsioSoquet::OnResolved(const ConnectionPtr& c, const asio::error_code& ec,
                            tcp::resolver::results_type results) {
    if (ec) {
        Fail(ec, "resolve");
        return;
    }
    std::vector<tcp::endpoint> endpoints;
    for (const auto& entry : results) endpoints.push_back(entry.endpoint());
    // The control announces its address in PORT and reads one from PASV, both IPv4 only.
    std::stable_partition(endpoints.begin(), endpoints.end(),
                          [](const tcp::endpoint& e) { return e.address().is_v4(); });
    ConnectToEndpoints(c, std::move(endpoints));
}

void AsioSoquet::ConnectToEndpoints(const ConnectionPtr& c, std::vector<tcp::endpoint> endpoints) {
    c->phase = Phase::Connecting;
    asio::async_connect(c->socket, endpoints,
                        [c](const asio::error_code& ec2, const tcp::endpoint& endpoint) {
                            if (c->owner) c->owner->OnConnectDone(c, ec2, endpoint);
                        });
    if (!endpoints.empty()) Diagnostic(u"trying " + EndpointText(endpoints.front()));
}

void AsioSoquet::OnConnectDone(const ConnectionPtr& c, const asio::error_code& ec,
                               const tcp::endpoint& endpoint) {
    if (ec) {
        Fail(ec, "connect");
        return;
    }
    // Announced while still an attempt: the connection counts as open from OnConnected on.
    Diagnostic(u"connected to " + EndpointText(endpoint));
    if (!c->owner) return;
    c->phase = Phase::Open;
    asio::error_code ignored;
    // Command lines are written whole; waiting to coalesce them only delays the dialogue.
    c->socket.set_option(tcp::no_delay(true), ignored);
    // Reads are made only once the socket is readable and must never wait.
    c->socket.non_blocking(true, ignored);
    if (!c->sendQueue.empty()) StartWrite(c);
    AnnounceOpen(c);
}

void AsioSoquet::AnnounceOpen(const ConnectionPtr& c) {
    Raise([](SoquetEvents& s) { s.OnConnected(); });
    // Reading waits for OnConnected so that no data can arrive before it; a handshake begun
    // there reads by itself and starts the reading after OnSecured.
    if (!c->owner || c->tls != Tls::None) return;
    StartRead(c);
}

// ---- reading and writing

void AsioSoquet::StartRead(const ConnectionPtr& c) {
    c->reading = true;
    if (c->tls == Tls::Secured) {
        // The TLS layer decrypts straight into the buffer it is given, and may keep the read
        // pending across several socket reads, so a secured connection cannot borrow the
        // shared buffer.
        c->tlsReadBuffer.resize(kTlsReadSize);
        c->stream->async_read_some(asio::buffer(c->tlsReadBuffer),
                                   [c](const asio::error_code& ec, std::size_t n) {
                                       c->reading = false;
                                       if (!c->owner) return;
                                       c->tlsReadBuffer.resize(n);
                                       c->owner->OnReadDone(c, ec, c->tlsReadBuffer);
                                   });
        return;
    }
    c->socket.async_wait(tcp::socket::wait_read, [c](const asio::error_code& ec) {
        c->reading = false;
        if (c->owner) c->owner->OnReadable(c, ec);
    });
}

void AsioSoquet::OnReadable(const ConnectionPtr& c, const asio::error_code& waitError) {
    if (waitError) {
        ByteArray none;
        OnReadDone(c, waitError, none);
        return;
    }
    // One read returns at most what the kernel holds, so the buffer is sized to that: a reply
    // line costs a few bytes of buffer, a download up to kReadSize.
    asio::error_code ec;
    const std::size_t waiting = c->socket.available(ec);
    const std::size_t size = std::clamp<std::size_t>(ec ? kReadSize : waiting, 1, kReadSize);
    // Held here: a handler of OnReceived may destroy this instance and its reference.
    const std::shared_ptr<SharedReadBuffer> reads = reads_;
    SharedReadBuffer::Loan loan(*reads, size);
    ByteArray& data = loan.Buffer();
    const std::size_t n = c->socket.read_some(asio::buffer(data), ec);
    if (ec == asio::error::would_block) {
        // Readable without bytes to read: a spurious wake-up.
        c->reading = false;
        if (c->tls == Tls::Waiting)
            BeginHandshakeWhenIdle(c);
        else
            StartRead(c);
        return;
    }
    data.resize(n);
    OnReadDone(c, ec, data);
}

void AsioSoquet::OnReadDone(const ConnectionPtr& c, const asio::error_code& ec,
                            ByteArray& data) {
    if (ec == asio::error::operation_aborted && c->tls == Tls::Waiting) {
        BeginHandshakeWhenIdle(c);
        return;
    }
    // A TLS peer that closes without close_notify truncates the stream. It is a close all the
    // same; whether the data before it is whole is for the control to judge, which asks
    // CloseNotified (eof on a secured stream is the peer's close_notify).
    if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) {
        closeNotified_ = ec == asio::error::eof && c->tls == Tls::Secured;
        DropConnection();
        if (!Diagnostic(u"closed by peer")) return;
        Raise([](SoquetEvents& s) { s.OnClosed(); });
        return;
    }
    if (ec) {
        Fail(ec, "read");
        return;
    }
    Raise([&](SoquetEvents& s) { s.OnReceivedBytes(data); });
    if (!c->owner) return;
    if (c->tls == Tls::Waiting || c->tls == Tls::Handshaking) {
        // StartTls came before or inside this event: the handshake reads from here on.
        BeginHandshakeWhenIdle(c);
        return;
    }
    if (c->tls == Tls::Secured) {
        StartRead(c);
        return;
    }
    // While data flows the next bytes are usually there already: try to read them in the
    // next turn of the loop, behind whatever else is waiting, and wait for readability only
    // when none have come. This saves a round through the reactor per read of a download.
    c->reading = true;
    asio::post(io_, [c] {
        c->reading = false;
        if (c->owner) c->owner->OnReadable(c, asio::error_code());
    });
}

void AsioSoquet::Send(const std::string& data) {
    if (!conn_) return;
    conn_->sendQueue.push_back(data);
    if (CanWrite(*conn_)) StartWrite(conn_);
}

bool AsioSoquet::CanWrite(const Connection& c) {
    if (c.phase != Phase::Open || c.writing || c.sendQueue.empty()) return false;
    return c.tls == Tls::None || c.tls == Tls::Secured || c.plainQueued > 0;
}

void AsioSoquet::StartWrite(const ConnectionPtr& c) {
    c->writing = true;
    auto done = [c](const asio::error_code& ec, std::size_t) {
        if (c->owner) {
            c->owner->OnWriteDone(c, ec);
        } else if (c->closing) {
            c->writing = false;
            if (ec) {
                FinishClosing(c);
                return;
            }
            c->sendQueue.pop_front();
            ContinueClosing(c);
        }
    };
    // The deque keeps the front string in place while later Sends are appended behind it.
    if (c->tls == Tls::Secured && c->plainQueued == 0)
        asio::async_write(*c->stream, asio::buffer(c->sendQueue.front()), std::move(done));
    else
        asio::async_write(c->socket, asio::buffer(c->sendQueue.front()), std::move(done));
}

void AsioSoquet::OnWriteDone(const ConnectionPtr& c, const asio::error_code& ec) {
    c->writing = false;
    if (ec) {
        Fail(ec, "write");
        return;
    }
    c->sendQueue.pop_front();
    if (c->plainQueued > 0) --c->plainQueued;
    // The next write goes out before the event so that the socket is never left idle.
    if (CanWrite(*c)) StartWrite(c);
    Raise([](SoquetEvents& s) { s.OnSendDone(); });
    if (c->owner && c->tls == Tls::Waiting) BeginHandshakeWhenIdle(c);
}

// ---- TLS

void AsioSoquet::StartTls(const TlsClientSettings& settings, const Soquet* resumeFrom) {
    if (!conn_ || conn_->phase != Phase::Open || conn_->tls != Tls::None) return;
    const ConnectionPtr c = conn_;
    c->tls = Tls::Waiting;
    c->plainQueued = c->sendQueue.size();

    // The session to offer, and the context to share when the settings are the same.
    TlsSessionSlot resume;
    const auto* from = dynamic_cast<const AsioSoquet*>(resumeFrom);
    if (from != nullptr && from->conn_ && from->conn_->tls == Tls::Secured) {
        const Connection& other = *from->conn_;
        resume = TlsClientContext::NewestSession(from->conn_->stream->native_handle(),
                                                 other.newestSession);
        if (other.tlsContext->SameSettings(settings)) c->tlsContext = other.tlsContext;
    }
    std::string error;
    if (!c->tlsContext) c->tlsContext = TlsClientContext::Make(settings, error);
    if (!c->tlsContext) {
        // Reported in a later turn: the caller is usually inside an event of this connection.
        asio::post(io_, [c, error] {
            if (c->owner) c->owner->Fail(kTlsHandshakeFailed, error, "tls");
        });
        return;
    }
    c->stream.emplace(TlsTransport(c->socket, c->closing), c->tlsContext->Context());
    c->tlsContext->Prepare(c->stream->native_handle(), &c->newestSession, resume.get());
    BeginHandshakeWhenIdle(c);
}

void AsioSoquet::BeginHandshakeWhenIdle(const ConnectionPtr& c) {
    // A plain write finishing calls back here; so does a plain read ending. Without a stream
    // the settings were unusable and the failure is on its way.
    if (c->tls != Tls::Waiting || c->writing || !c->stream) return;
    if (c->reading) {
        // The server sends nothing before our hello, so this read would wait for ever.
        if (!c->readCancelled) {
            c->readCancelled = true;
            asio::error_code ignored;
            c->socket.cancel(ignored);
        }
        return;
    }
    c->tls = Tls::Handshaking;
    c->stream->async_handshake(asio::ssl::stream_base::client,
                               [c](const asio::error_code& ec) {
                                   if (c->owner) c->owner->OnHandshakeDone(c, ec);
                               });
}

void AsioSoquet::OnHandshakeDone(const ConnectionPtr& c, const asio::error_code& ec) {
    SSL* ssl = c->stream->native_handle();
    if (ec) {
        const long verdict = SSL_get_verify_result(ssl);
        if (c->tlsContext->Settings().verify && verdict != X509_V_OK) {
            Fail(kTlsNotVerified,
                 std::string("certificate verify failed (") +
                     X509_verify_cert_error_string(verdict) + ")",
                 "tls");
        } else {
            Fail(kTlsHandshakeFailed, ec.message(), "tls");
        }
        return;
    }
    c->tls = Tls::Secured;
    if (CanWrite(*c)) StartWrite(c);
    if (!Diagnostic(u"secured with " + FromUtf8(SSL_get_version(ssl)) +
                    (SSL_session_reused(ssl) ? u", resumed session" : u", new session")))
        return;
    if (!c->owner) return;
    Raise([](SoquetEvents& s) { s.OnSecured(); });
    if (!c->owner) return;
    StartRead(c);
}

void AsioSoquet::BeginClosing(const ConnectionPtr& c) {
    c->closing = true;
    c->closeTimer.expires_after(kCloseBound);
    c->closeTimer.async_wait([c](const asio::error_code& ec) {
        if (ec != asio::error::operation_aborted) FinishClosing(c);
    });
    ContinueClosing(c);
}

void AsioSoquet::ContinueClosing(const ConnectionPtr& c) {
    if (c->writing || c->shuttingDown || !c->socket.is_open()) return;
    if (!c->sendQueue.empty()) {
        StartWrite(c);
        return;
    }
    c->shuttingDown = true;
    // Ends the pending read; with `closing` set the shutdown's own read ends at once too, so
    // only our close_notify is exchanged.
    asio::error_code ignored;
    c->socket.cancel(ignored);
    c->stream->async_shutdown([c](const asio::error_code&) { LingerUntilPeerCloses(c); });
}

void AsioSoquet::LingerUntilPeerCloses(const ConnectionPtr& c) {
    if (!c->socket.is_open()) return;
    // Closing a socket with received bytes unread (a session ticket, say) makes the kernel
    // reset the connection, and a reset makes the peer drop what it has not read yet: the end
    // of an upload. So half-close, and discard what still comes until the peer closes.
    asio::error_code ec;
    c->socket.shutdown(tcp::socket::shutdown_send, ec);
    if (ec) {
        FinishClosing(c);
        return;
    }
    DiscardUntilPeerCloses(c);
}

void AsioSoquet::DiscardUntilPeerCloses(const ConnectionPtr& c) {
    c->socket.async_wait(tcp::socket::wait_read, [c](const asio::error_code& ec) {
        if (ec || !c->socket.is_open()) {
            FinishClosing(c);
            return;
        }
        // One read per wake-up: a peer that keeps sending must not hold the loop, and the
        // close bound still ends it.
        char discarded[4096];
        asio::error_code readError;
        c->socket.read_some(asio::buffer(discarded), readError);
        if (readError && readError != asio::error::would_block)
            FinishClosing(c);
        else
            DiscardUntilPeerCloses(c);
    });
}

void AsioSoquet::FinishClosing(const ConnectionPtr& c) {
    c->closeTimer.cancel();
    asio::error_code ignored;
    c->socket.close(ignored);
}

Boolean AsioSoquet::get_IsSecured() const {
    return conn_ && conn_->tls == Tls::Secured ? True : False;
}

// ---- listening and accepting

void AsioSoquet::Listen(const String& port) { ListenAt(String(), port); }

void AsioSoquet::ListenAt(const String& host, const String& port) {
    const auto number = ParsePortText(port, true);
    if (!number) throw InvalidArgument(u"Invalid port");
    asio::ip::address address = asio::ip::address_v4::any();
    if (!host.empty()) {
        // Only numeric addresses: resolving a name here would block the loop. A NUL would
        // cut the text short and bind an address nobody asked for.
        asio::error_code ec;
        if (host.find(u'\0') != String::npos) throw InvalidArgument(u"Invalid host");
        address = asio::ip::make_address(ToUtf8(host), ec);
        if (ec) throw InvalidArgument(u"Invalid host");
        address = Unmapped(address);
    }
    if (!MakeIdle()) return;

    auto l = std::make_shared<Listener>(io_);
    l->owner = this;
    l->key = accepts_->NewListenerKey();
    listener_ = l;

    const tcp::endpoint endpoint(address, *number);
    asio::error_code ec;
    l->acceptor.open(endpoint.protocol(), ec);
    if (!ec) l->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) l->acceptor.bind(endpoint, ec);
    if (!ec) l->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        // Raised from the call, so that the caller learns of it before it announces a port.
        DropListener();
        throw AutomationError(ec.value(), u"Soquet", FromUtf8(ec.message()));
    }
    StartAccept(l);
    asio::error_code ignored;
    Diagnostic(u"listening on " + EndpointText(l->acceptor.local_endpoint(ignored)));
}

void AsioSoquet::StartAccept(const ListenerPtr& l) {
    l->acceptor.async_accept([l](const asio::error_code& ec, tcp::socket socket) {
        if (l->owner) l->owner->OnAcceptDone(l, ec, std::move(socket));
    });
}

void AsioSoquet::OnAcceptDone(const ListenerPtr& l, const asio::error_code& ec,
                              tcp::socket socket) {
    if (ec) {
        // Accepting again at once could spin on a lasting failure such as a full file table.
        const String text1 = FromUtf8(ec.message());
        Raise([&](SoquetEvents& s) { s.OnError(ec.value(), text1, u"accept"); });
        return;
    }
    asio::error_code ignored;
    const tcp::endpoint remote = socket.remote_endpoint(ignored);
    // Held here because a handler below may destroy this instance and its reference.
    std::shared_ptr<PendingAccepts> accepts = accepts_;
    const Long id = accepts->Add(std::move(socket), l->key);
    asio::post(io_, [weak = std::weak_ptr<PendingAccepts>(accepts), id] {
        if (auto registry = weak.lock()) registry->Drop(id);
    });

    Diagnostic(u"connection request " + Decimal(id) + u" from " + EndpointText(remote));
    if (!l->owner) return;
    {
        PendingAccepts::Announcement announcing(*accepts, id);
        Raise([&](SoquetEvents& s) { s.OnAcceptRequest(id); });
    }
    if (!l->owner) return;
    StartAccept(l);
}

void AsioSoquet::Accept(Long requestId) {
    std::optional<tcp::socket> socket = accepts_->Take(requestId);
    if (!socket) {
        Diagnostic(u"no connection request " + Decimal(requestId));
        return;
    }
    if (!MakeIdle()) return;
    closeNotified_ = false;

    auto c = std::make_shared<Connection>(io_);
    c->socket = std::move(*socket);
    c->owner = this;
    c->phase = Phase::Open;
    conn_ = c;
    asio::error_code ignored;
    c->socket.set_option(tcp::no_delay(true), ignored);
    c->socket.non_blocking(true, ignored);
    // OnConnected is posted: the host usually accepts from inside the listener's
    // OnAcceptRequest and should finish that handler before the transfer begins.
    asio::post(io_, [c] {
        AsioSoquet* self = c->owner;
        if (self == nullptr) return;
        asio::error_code ec;
        const tcp::endpoint remote = c->socket.remote_endpoint(ec);
        self->Diagnostic(u"accepted " + EndpointText(remote));
        if (!c->owner) return;
        self->AnnounceOpen(c);
    });
}

// ---- properties

Long AsioSoquet::get_LocalAddress() const {
    if (!conn_ || conn_->phase != Phase::Open) return 0;
    asio::error_code ec;
    const asio::ip::address address = conn_->socket.local_endpoint(ec).address();
    if (ec) return 0;
    if (address.is_v4()) return static_cast<Long>(address.to_v4().to_uint());
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return static_cast<Long>(
            asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_uint());
    }
    return 0;
}

Long AsioSoquet::get_LocalPort() const {
    asio::error_code ec;
    if (listener_ && listener_->acceptor.is_open()) {
        const tcp::endpoint local = listener_->acceptor.local_endpoint(ec);
        return ec ? 0 : local.port();
    }
    if (conn_ && conn_->phase == Phase::Open) {
        const tcp::endpoint local = conn_->socket.local_endpoint(ec);
        return ec ? 0 : local.port();
    }
    return 0;
}

Boolean AsioSoquet::get_SendReady() const {
    return conn_ && conn_->phase == Phase::Open && conn_->sendQueue.empty() ? True : False;
}

Boolean AsioSoquet::get_IsClosed() const {
    return conn_ && conn_->phase == Phase::Open ? False : True;
}

String AsioSoquet::get_LocalHost() const {
    if (!conn_ || conn_->phase != Phase::Open) return String();
    asio::error_code ec;
    const tcp::endpoint local = conn_->socket.local_endpoint(ec);
    return ec ? String() : AddressText(local.address());
}

String AsioSoquet::get_RemoteHost() const {
    if (!conn_ || conn_->phase != Phase::Open) return String();
    asio::error_code ec;
    const tcp::endpoint remote = conn_->socket.remote_endpoint(ec);
    return ec ? String() : AddressText(remote.address());
}

String AsioSoquet::get_RequestHost(Long requestId) const {
    if (!listener_) return String();
    const std::optional<asio::ip::address> peer = accepts_->Peer(requestId, listener_->key);
    if (!peer || peer->is_unspecified()) return String();
    return AddressText(*peer);
}

}  // namespace tarselctl

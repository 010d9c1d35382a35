#include "posix_platform/posix_soquet.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "asio_platform/port_text.h"
#include "posix_platform/socket_address.h"

namespace tarselctl {

namespace {

String Decimal(long long value) { return FromUtf8(std::to_string(value)); }

AutomationError InvalidArgument(const char16_t* description) {
    return AutomationError(380, u"Soquet", description);
}

std::string SystemText(int error) { return std::strerror(error); }

int NewSocket(int family) {
    return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
}

void NoDelay(int fd) {
    // Command lines are written whole; waiting to coalesce them only delays the dialogue.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

WatchFor Union(WatchFor a, WatchFor b) {
    return static_cast<WatchFor>(static_cast<int>(a) | static_cast<int>(b));
}

bool Matches(WatchFor wait, bool readable, bool writable) {
    return (wait == WatchFor::Read && readable) || (wait == WatchFor::Write && writable);
}

}  // namespace

// ---- the connection's descriptor

PosixSoquet::Connection::~Connection() {
    if (ssl != nullptr) SSL_free(ssl);
    // Only a connection the reactor drops as it goes still has its descriptor here.
    if (fd >= 0) ::close(fd);
}

void PosixSoquet::Connection::UpdateWatch() {
    if (fd >= 0) reactor.Rewatch(fd, Union(readWait, writeWait));
}

void PosixSoquet::Connection::OnReady(int, bool readable, bool writable) {
    // Held for the call: the owner may drop the connection from inside any event.
    const ConnectionPtr self = shared_from_this();
    if (closing) {
        ContinueClosing(self, readable);
        return;
    }
    if (owner == nullptr) return;
    PosixSoquet* o = owner;
    if (phase == Phase::Connecting) {
        if (writable) o->OnConnectReady(self);
        return;
    }
    const bool doWrite = Matches(writeWait, readable, writable);
    const bool doRead = Matches(readWait, readable, writable);
    if (doWrite) {
        if (tls == Tls::Handshaking)
            o->Handshake(self);
        else
            o->PumpWrite(self);
    }
    if (doRead && owner == o && o->conn_.get() == this && reading) {
        if (tls == Tls::Secured)
            o->ReadSecured(self);
        else
            o->ReadPlain(self);
    }
}

// ---- the instance

PosixSoquet::PosixSoquet(std::shared_ptr<PosixServices> services)
    : services_(std::move(services)), reactor_(*services_->reactor) {}

PosixSoquet::~PosixSoquet() {
    if (conn_) DropConnection(true);
    if (listener_) DropListener();
}

bool PosixSoquet::Diagnostic(const String& text) {
    return Raise([&](SoquetEvents& s) { s.OnDiagnostic(text); });
}

void PosixSoquet::DropConnection(bool graceful) {
    ConnectionPtr c = std::move(conn_);
    c->owner = nullptr;
    if (c->resolving) services_->resolver.Cancel(c->lookup);
    c->resolving = false;
    if (graceful && c->tls == Tls::Secured && c->fd >= 0) {
        BeginClosing(c);
        return;
    }
    if (c->fd >= 0) {
        reactor_.Forget(c->fd);
        ::close(c->fd);
        c->fd = -1;
    }
}

void PosixSoquet::DropListener() {
    ListenerPtr l = std::move(listener_);
    l->owner = nullptr;
    if (l->fd >= 0) {
        reactor_.Forget(l->fd);
        ::close(l->fd);
        l->fd = -1;
    }
    services_->accepts.DropListener(l->key);
}

void PosixSoquet::CloseSocket() {
    if (listener_) DropListener();
    if (conn_) {
        DropConnection(true);
        Raise([](SoquetEvents& s) { s.OnClosed(); });
    }
}

bool PosixSoquet::MakeIdle() {
    std::weak_ptr<char> life = life_;
    CloseSocket();
    return !life.expired() && !conn_ && !listener_;
}

void PosixSoquet::Fail(Long number, const std::string& text, const char* step) {
    DropConnection();
    const String text1 = FromUtf8(text);
    const String text2 = FromUtf8(step);
    if (!Raise([&](SoquetEvents& s) { s.OnError(number, text1, text2); })) return;
    Raise([](SoquetEvents& s) { s.OnClosed(); });
}

void PosixSoquet::FailErrno(int error, const char* step) { Fail(error, SystemText(error), step); }

void PosixSoquet::PeerClosed(bool notified) {
    closeNotified_ = notified;
    DropConnection();
    if (!Diagnostic(u"closed by peer")) return;
    Raise([](SoquetEvents& s) { s.OnClosed(); });
}

// ---- outgoing connections

void PosixSoquet::ConnectTo(const String& host, const String& port, const String& localPort) {
    (void)localPort;  // binding the local end to port 20 would need privileges
    const auto number = ParsePortText(port, false);
    if (!number) throw InvalidArgument(u"Invalid port");
    if (host.empty() || host.find(u'\0') != String::npos) throw InvalidArgument(u"Invalid host");
    if (!MakeIdle()) return;
    closeNotified_ = false;

    auto c = std::make_shared<Connection>(reactor_);
    c->owner = this;
    conn_ = c;
    const std::string name = ToUtf8(host);
    if (const auto endpoint = NumericEndpoint(name, *number)) {
        if (!Diagnostic(u"connecting to " + host + u":" + Decimal(*number))) return;
        if (c->owner) ConnectToEndpoints(c, {*endpoint});
        return;
    }
    c->resolving = true;
    std::weak_ptr<Connection> weak = c;
    c->lookup = services_->resolver.Resolve(
        name, *number,
        [weak](int status, const std::string& text, std::vector<sockaddr_storage> endpoints) {
            const ConnectionPtr held = weak.lock();
            if (!held || held->owner == nullptr) return;
            held->resolving = false;
            held->owner->OnResolved(held, status, text, std::move(endpoints));
        });
    Diagnostic(u"connecting to " + host + u":" + Decimal(*number));
}

void PosixSoquet::OnResolved(const ConnectionPtr& c, int status, const std::string& text,
                             std::vector<sockaddr_storage> endpoints) {
    if (status != 0) {
        Fail(status, text, "resolve");
        return;
    }
    // The control announces its address in PORT and reads one from PASV, both IPv4 only.
    std::stable_partition(endpoints.begin(), endpoints.end(), IsIpv4);
    ConnectToEndpoints(c, std::move(endpoints));
}

void PosixSoquet::ConnectToEndpoints(const ConnectionPtr& c,
                                     std::vector<sockaddr_storage> endpoints) {
    c->phase = Phase::Connecting;
    c->endpoints = std::move(endpoints);
    c->nextEndpoint = 0;
    c->lastConnectError = ENOENT;
    TryNextEndpoint(c);
    if (c->owner && c->nextEndpoint == 1)
        Diagnostic(u"trying " + EndpointText(c->endpoints.front()));
}

void PosixSoquet::TryNextEndpoint(const ConnectionPtr& c) {
    while (c->nextEndpoint < c->endpoints.size()) {
        const sockaddr_storage& endpoint = c->endpoints[c->nextEndpoint++];
        const int fd = NewSocket(endpoint.ss_family);
        if (fd < 0) {
            c->lastConnectError = errno;
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&endpoint), EndpointLength(endpoint)) == 0 ||
            errno == EINPROGRESS) {
            c->fd = fd;
            c->writeWait = WatchFor::Write;
            reactor_.Watch(fd, c, WatchFor::Write);
            return;
        }
        c->lastConnectError = errno;
        ::close(fd);
    }
    // Reported in a later turn, as an attempt's outcome always is.
    std::weak_ptr<Connection> weak = c;
    reactor_.Defer([weak] {
        const ConnectionPtr held = weak.lock();
        if (held && held->owner) held->owner->FailErrno(held->lastConnectError, "connect");
    });
}

void PosixSoquet::OnConnectReady(const ConnectionPtr& c) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0 && !PeerEnd(c->fd)) return;  // not connected yet: a stale readiness
    if (error != 0) {
        reactor_.Forget(c->fd);
        ::close(c->fd);
        c->fd = -1;
        c->lastConnectError = error;
        TryNextEndpoint(c);
        return;
    }
    const sockaddr_storage endpoint = c->endpoints[c->nextEndpoint - 1];
    Diagnostic(u"connected to " + EndpointText(endpoint));
    if (!c->owner) return;
    c->phase = Phase::Open;
    NoDelay(c->fd);
    c->writeWait = WatchFor::None;
    KickWrite(*c);
    c->UpdateWatch();
    AnnounceOpen(c);
}

void PosixSoquet::AnnounceOpen(const ConnectionPtr& c) {
    Raise([](SoquetEvents& s) { s.OnConnected(); });
    // Reading waits for OnConnected so that no data can arrive before it; a handshake begun
    // there starts the reading after OnSecured.
    if (!c->owner || c->tls != Tls::None) return;
    StartRead(c);
}

// ---- reading and writing

void PosixSoquet::StartRead(const ConnectionPtr& c) {
    c->reading = true;
    c->readWait = WatchFor::Read;
    c->UpdateWatch();
    if (c->tls == Tls::Secured && SSL_has_pending(c->ssl)) {
        // Plaintext OpenSSL holds already: the descriptor will not tell of it.
        std::weak_ptr<Connection> weak = c;
        reactor_.Defer([weak] {
            const ConnectionPtr held = weak.lock();
            if (held && held->owner && held->reading && held->tls == Tls::Secured)
                held->owner->ReadSecured(held);
        });
    }
}

void PosixSoquet::ReadPlain(const ConnectionPtr& c) {
    // One read returns at most what the kernel holds, so the buffer is sized to that.
    int waiting = 0;
    const std::size_t size = ::ioctl(c->fd, FIONREAD, &waiting) == 0
                                 ? std::clamp<std::size_t>(waiting, 1, kReadSize)
                                 : kReadSize;
    // Held here: a handler of OnReceived may destroy this instance and its reference.
    const std::shared_ptr<PosixServices> services = services_;
    SharedReadBuffer::Loan loan(services->reads, size);
    ByteArray& data = loan.Buffer();
    const ssize_t n = ::read(c->fd, data.data(), size);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        FailErrno(errno, "read");
        return;
    }
    if (n == 0) {
        PeerClosed(false);
        return;
    }
    data.resize(static_cast<std::size_t>(n));
    Raise([&](SoquetEvents& s) { s.OnReceivedBytes(data); });
    AfterDelivery(c);
}

void PosixSoquet::AfterDelivery(const ConnectionPtr& c) {
    if (!c->owner) return;
    // StartTls came inside the event: the handshake reads from here on.
    if (c->tls == Tls::Waiting) BeginHandshakeWhenIdle(c);
}

void PosixSoquet::Send(const std::string& data) {
    if (!conn_) return;
    conn_->sendQueue.push_back(data);
    KickWrite(*conn_);
    conn_->UpdateWatch();
}

bool PosixSoquet::CanWrite(const Connection& c) {
    if (c.phase != Phase::Open || c.sendQueue.empty()) return false;
    return c.tls == Tls::None || c.tls == Tls::Secured || c.plainQueued > 0;
}

void PosixSoquet::KickWrite(Connection& c) {
    if (c.writeWait == WatchFor::None && CanWrite(c)) c.writeWait = WatchFor::Write;
}

void PosixSoquet::PumpWrite(const ConnectionPtr& c) {
    c->writeWait = WatchFor::None;
    while (c->owner && CanWrite(*c)) {
        std::string& front = c->sendQueue.front();
        std::size_t written = 0;
        if (front.size() == c->frontSent) {
            // An empty Send completes like any other.
        } else if (c->tls == Tls::Secured && c->plainQueued == 0) {
            std::string failure;
            Long number = 0;
            const long n = WriteSecured(*c, failure, number);
            if (n < 0) {
                Fail(number, failure, "write");
                return;
            }
            if (n == 0) break;  // WriteSecured noted what it waits for
            written = static_cast<std::size_t>(n);
        } else {
            const ssize_t n = ::send(c->fd, front.data() + c->frontSent,
                                     front.size() - c->frontSent, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    c->writeWait = WatchFor::Write;
                    break;
                }
                FailErrno(errno, "write");
                return;
            }
            written = static_cast<std::size_t>(n);
        }
        c->frontSent += written;
        if (c->frontSent < front.size()) continue;
        c->sendQueue.pop_front();
        c->frontSent = 0;
        if (c->plainQueued > 0) --c->plainQueued;
        if (!Raise([](SoquetEvents& s) { s.OnSendDone(); })) return;
    }
    if (!c->owner) return;
    c->UpdateWatch();
    if (c->tls == Tls::Waiting) BeginHandshakeWhenIdle(c);
}

// ---- listening and accepting

void PosixSoquet::Listen(const String& port) { ListenAt(String(), port); }

void PosixSoquet::ListenAt(const String& host, const String& port) {
    const auto number = ParsePortText(port, true);
    if (!number) throw InvalidArgument(u"Invalid port");
    sockaddr_storage endpoint = *NumericEndpoint("0.0.0.0", *number);
    if (!host.empty()) {
        // Only numeric addresses: resolving a name here would block the loop.
        if (host.find(u'\0') != String::npos) throw InvalidArgument(u"Invalid host");
        const auto numeric = NumericEndpoint(ToUtf8(host), *number);
        if (!numeric) throw InvalidArgument(u"Invalid host");
        endpoint = *numeric;
    }
    if (!MakeIdle()) return;

    auto l = std::make_shared<Listener>();
    l->owner = this;
    l->key = services_->accepts.NewListenerKey();
    listener_ = l;

    int error = 0;
    l->fd = NewSocket(endpoint.ss_family);
    if (l->fd < 0) error = errno;
    const int on = 1;
    if (!error && ::setsockopt(l->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) error = errno;
    if (!error && ::bind(l->fd, reinterpret_cast<const sockaddr*>(&endpoint), EndpointLength(endpoint)) != 0)
        error = errno;
    if (!error && ::listen(l->fd, SOMAXCONN) != 0) error = errno;
    if (error) {
        // Raised from the call, so that the caller learns of it before it announces a port.
        DropListener();
        throw AutomationError(error, u"Soquet", FromUtf8(SystemText(error)));
    }
    reactor_.Watch(l->fd, l, WatchFor::Read);
    if (const auto local = LocalEnd(l->fd)) Diagnostic(u"listening on " + EndpointText(*local));
}

void PosixSoquet::Listener::OnReady(int, bool readable, bool) {
    if (owner != nullptr && readable)
        owner->OnAcceptReady(shared_from_this());
}

void PosixSoquet::OnAcceptReady(const ListenerPtr& l) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(l->fd, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED)
            return;
        // Accepting again at once could spin on a lasting failure such as a full file table.
        reactor_.Rewatch(l->fd, WatchFor::None);
        const String text1 = FromUtf8(SystemText(error));
        Raise([&](SoquetEvents& s) { s.OnError(error, text1, u"accept"); });
        return;
    }
    // Held here because a handler below may destroy this instance and its reference.
    const std::shared_ptr<PosixServices> services = services_;
    const Long id = services->accepts.Add(fd, l->key, peer);
    reactor_.Defer([weak = std::weak_ptr<PosixServices>(services), id] {
        if (auto held = weak.lock()) held->accepts.Drop(id);
    });
    Diagnostic(u"connection request " + Decimal(id) + u" from " + EndpointText(peer));
    if (!l->owner) return;
    FdAccepts::Announcement announcing(services->accepts, id);
    Raise([&](SoquetEvents& s) { s.OnAcceptRequest(id); });
}

void PosixSoquet::Accept(Long requestId) {
    const int fd = services_->accepts.Take(requestId);
    if (fd < 0) {
        Diagnostic(u"no connection request " + Decimal(requestId));
        return;
    }
    if (!MakeIdle()) {
        ::close(fd);
        return;
    }
    closeNotified_ = false;

    auto c = std::make_shared<Connection>(reactor_);
    c->owner = this;
    c->phase = Phase::Open;
    c->fd = fd;
    conn_ = c;
    NoDelay(fd);
    reactor_.Watch(fd, c, WatchFor::None);
    // Deferred: the host usually accepts from inside the listener's OnAcceptRequest and
    // should finish that handler before the transfer begins.
    std::weak_ptr<Connection> weak = c;
    reactor_.Defer([weak] {
        const ConnectionPtr held = weak.lock();
        if (!held || held->owner == nullptr) return;
        PosixSoquet* self = held->owner;
        const auto remote = PeerEnd(held->fd);
        self->Diagnostic(u"accepted " + (remote ? EndpointText(*remote) : String(u":0")));
        if (!held->owner) return;
        KickWrite(*held);
        held->UpdateWatch();
        self->AnnounceOpen(held);
    });
}

// ---- properties

Long PosixSoquet::get_LocalAddress() const {
    if (!conn_ || conn_->phase != Phase::Open) return 0;
    const auto local = LocalEnd(conn_->fd);
    return local ? static_cast<Long>(Ipv4Value(*local)) : 0;
}

Long PosixSoquet::get_LocalPort() const {
    int fd = -1;
    if (listener_ && listener_->fd >= 0) fd = listener_->fd;
    else if (conn_ && conn_->phase == Phase::Open) fd = conn_->fd;
    if (fd < 0) return 0;
    const auto local = LocalEnd(fd);
    return local ? PortOf(*local) : 0;
}

Boolean PosixSoquet::get_SendReady() const {
    return conn_ && conn_->phase == Phase::Open && conn_->sendQueue.empty() ? True : False;
}

Boolean PosixSoquet::get_IsClosed() const {
    return conn_ && conn_->phase == Phase::Open ? False : True;
}

String PosixSoquet::get_LocalHost() const {
    if (!conn_ || conn_->phase != Phase::Open) return String();
    const auto local = LocalEnd(conn_->fd);
    return local ? AddressText(*local) : String();
}

String PosixSoquet::get_RemoteHost() const {
    if (!conn_ || conn_->phase != Phase::Open) return String();
    const auto remote = PeerEnd(conn_->fd);
    return remote ? AddressText(*remote) : String();
}

String PosixSoquet::get_RequestHost(Long requestId) const {
    if (!listener_) return String();
    const auto peer = services_->accepts.Peer(requestId, listener_->key);
    return peer ? AddressText(*peer) : String();
}

}  // namespace tarselctl

// TLS on the POSIX socket: the handshake, protected reads and writes, and the background
// close with close_notify. OpenSSL works on the descriptor itself; what it waits for is
// handed to the host's loop through the connection's read and write sides.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "posix_platform/posix_soquet.h"

namespace tarselctl {

namespace {

/// What `sslError` (SSL_get_error's verdict) means, in OpenSSL's words where it has some.
std::string SslText(int sslError, Long& number) {
    const unsigned long code = ERR_peek_last_error();
    if (code != 0) {
        number = static_cast<Long>(code);
        const char* reason = ERR_reason_error_string(code);
        if (reason != nullptr) return reason;
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        return text;
    }
    if (sslError == SSL_ERROR_SYSCALL && errno != 0) {
        number = errno;
        return std::strerror(errno);
    }
    number = sslError;
    return sslError == SSL_ERROR_SYSCALL ? "stream truncated" : "TLS error";
}

/// The wait OpenSSL asks for, or None when `sslError` is a failure.
WatchFor WaitOf(int sslError) {
    if (sslError == SSL_ERROR_WANT_READ) return WatchFor::Read;
    if (sslError == SSL_ERROR_WANT_WRITE) return WatchFor::Write;
    return WatchFor::None;
}

}  // namespace

void PosixSoquet::StartTls(const TlsClientSettings& settings, const Soquet* resumeFrom) {
    if (!conn_ || conn_->phase != Phase::Open || conn_->tls != Tls::None) return;
    const ConnectionPtr c = conn_;
    c->tls = Tls::Waiting;
    c->plainQueued = c->sendQueue.size();
    // Reading pauses: the server says nothing before our hello, and after OnSecured the
    // bytes are protected ones.
    c->reading = false;
    c->readWait = WatchFor::None;
    c->UpdateWatch();

    TlsSessionSlot resume;
    const auto* from = dynamic_cast<const PosixSoquet*>(resumeFrom);
    if (from != nullptr && from->conn_ && from->conn_->tls == Tls::Secured) {
        const Connection& other = *from->conn_;
        resume = TlsClientContext::NewestSession(other.ssl, other.newestSession);
        if (other.tlsContext->SameSettings(settings)) c->tlsContext = other.tlsContext;
    }
    std::string error;
    if (!c->tlsContext) c->tlsContext = TlsClientContext::Make(settings, error);
    if (c->tlsContext) {
        c->ssl = SSL_new(c->tlsContext->Context().native_handle());
        if (c->ssl == nullptr) error = "cannot start TLS";
    }
    if (c->ssl == nullptr) {
        // Reported at the end of the turn: the caller is usually inside an event of this
        // connection.
        std::weak_ptr<Connection> weak = c;
        reactor_.Defer([weak, error] {
            const ConnectionPtr held = weak.lock();
            if (held && held->owner) held->owner->Fail(kTlsHandshakeFailed, error, "tls");
        });
        return;
    }
    SSL_set_fd(c->ssl, c->fd);
    SSL_set_connect_state(c->ssl);
    SSL_set_mode(c->ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    c->tlsContext->Prepare(c->ssl, &c->newestSession, resume.get());
    BeginHandshakeWhenIdle(c);
}

void PosixSoquet::BeginHandshakeWhenIdle(const ConnectionPtr& c) {
    // Plain bytes queued before StartTls go out first; the last one written calls back here.
    if (c->tls != Tls::Waiting || c->plainQueued > 0 || c->ssl == nullptr) return;
    c->tls = Tls::Handshaking;
    // The hello goes out when the host finds the socket writable, never inside a call.
    c->writeWait = WatchFor::Write;
    c->UpdateWatch();
}

void PosixSoquet::Handshake(const ConnectionPtr& c) {
    ERR_clear_error();
    const int result = SSL_do_handshake(c->ssl);
    if (result != 1) {
        const int sslError = SSL_get_error(c->ssl, result);
        const WatchFor wait = WaitOf(sslError);
        if (wait == WatchFor::None) {
            OnHandshakeFailed(c, sslError);
            return;
        }
        c->writeWait = wait;
        c->UpdateWatch();
        return;
    }
    c->tls = Tls::Secured;
    c->writeWait = WatchFor::None;
    KickWrite(*c);
    c->UpdateWatch();
    if (!Diagnostic(u"secured with " + FromUtf8(SSL_get_version(c->ssl)) +
                    (SSL_session_reused(c->ssl) ? u", resumed session" : u", new session")))
        return;
    if (!c->owner) return;
    Raise([](SoquetEvents& s) { s.OnSecured(); });
    if (!c->owner) return;
    StartRead(c);
}

void PosixSoquet::OnHandshakeFailed(const ConnectionPtr& c, int sslError) {
    const long verdict = SSL_get_verify_result(c->ssl);
    if (c->tlsContext->Settings().verify && verdict != X509_V_OK) {
        Fail(kTlsNotVerified,
             std::string("certificate verify failed (") + X509_verify_cert_error_string(verdict) + ")",
             "tls");
        return;
    }
    Long number = 0;
    Fail(kTlsHandshakeFailed, SslText(sslError, number), "tls");
}

void PosixSoquet::ReadSecured(const ConnectionPtr& c) {
    c->tlsReadBuffer.resize(kTlsReadSize);
    ERR_clear_error();
    errno = 0;
    const int n = SSL_read(c->ssl, c->tlsReadBuffer.data(), static_cast<int>(kTlsReadSize));
    if (n > 0) {
        c->tlsReadBuffer.resize(static_cast<std::size_t>(n));
        Raise([&](SoquetEvents& s) { s.OnReceivedBytes(c->tlsReadBuffer); });
        if (!c->owner || !c->reading) return;
        c->readWait = WatchFor::Read;
        c->UpdateWatch();
        if (SSL_has_pending(c->ssl)) StartRead(c);
        return;
    }
    const int sslError = SSL_get_error(c->ssl, n);
    const WatchFor wait = WaitOf(sslError);
    if (wait != WatchFor::None) {
        c->readWait = wait;
        c->UpdateWatch();
        return;
    }
    if (sslError == SSL_ERROR_ZERO_RETURN) {
        PeerClosed(true);
        return;
    }
    // A TLS peer that closes without close_notify truncates the stream. It is a close all the
    // same; whether the data before it is whole is for the control to judge (CloseNotified).
    const unsigned long code = ERR_peek_last_error();
    const bool eof = (sslError == SSL_ERROR_SYSCALL && code == 0 && errno == 0) ||
                     (sslError == SSL_ERROR_SSL && ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
    if (eof) {
        PeerClosed(false);
        return;
    }
    Long number = 0;
    const std::string text = SslText(sslError, number);
    Fail(number, text, "read");
}

long PosixSoquet::WriteSecured(Connection& c, std::string& failure, Long& number) {
    const std::string& front = c.sendQueue.front();
    ERR_clear_error();
    errno = 0;
    const int n = SSL_write(c.ssl, front.data() + c.frontSent,
                            static_cast<int>(front.size() - c.frontSent));
    if (n > 0) return n;
    const int sslError = SSL_get_error(c.ssl, n);
    const WatchFor wait = WaitOf(sslError);
    if (wait != WatchFor::None) {
        c.writeWait = wait;
        return 0;
    }
    failure = SslText(sslError, number);
    return -1;
}

void PosixSoquet::BeginClosing(const ConnectionPtr& c) {
    c->closing = true;
    c->reading = false;
    c->readWait = WatchFor::None;
    c->writeWait = WatchFor::None;
    c->closeTimer = c->reactor.At(Reactor::Clock::now() + kCloseBound, [c] { FinishClosing(c); });
    ContinueClosing(c, false);
}

void PosixSoquet::ContinueClosing(const ConnectionPtr& c, bool readable) {
    if (c->fd < 0) return;
    if (c->notifySent) {
        if (!readable) return;
        // Closing a socket with received bytes unread (a session ticket, say) makes the
        // kernel reset the connection, and a reset makes the peer drop what it has not read
        // yet: the end of an upload. So the socket is half-closed, and what still comes is
        // discarded, one read per wake-up, until the peer closes or the bound runs out.
        char discarded[4096];
        const ssize_t n = ::read(c->fd, discarded, sizeof discarded);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            FinishClosing(c);
        return;
    }
    c->writeWait = WatchFor::None;
    while (!c->sendQueue.empty()) {
        if (c->frontSent < c->sendQueue.front().size()) {
            std::string failure;
            Long number = 0;
            const long n = WriteSecured(*c, failure, number);
            if (n < 0) {
                FinishClosing(c);
                return;
            }
            if (n == 0) {
                c->UpdateWatch();
                return;
            }
            c->frontSent += static_cast<std::size_t>(n);
            if (c->frontSent < c->sendQueue.front().size()) continue;
        }
        c->sendQueue.pop_front();
        c->frontSent = 0;
    }
    ERR_clear_error();
    const int result = SSL_shutdown(c->ssl);
    if (result < 0) {
        const WatchFor wait = WaitOf(SSL_get_error(c->ssl, result));
        if (wait == WatchFor::None) {
            FinishClosing(c);
            return;
        }
        c->writeWait = wait;
        c->UpdateWatch();
        return;
    }
    // Our close_notify is out; the peer's is not waited for.
    c->notifySent = true;
    if (::shutdown(c->fd, SHUT_WR) != 0) {
        FinishClosing(c);
        return;
    }
    c->readWait = WatchFor::Read;
    c->UpdateWatch();
}

void PosixSoquet::FinishClosing(const ConnectionPtr& c) {
    c->reactor.Cancel(c->closeTimer);
    if (c->fd < 0) return;
    c->reactor.Forget(c->fd);
    ::close(c->fd);
    c->fd = -1;
}

Boolean PosixSoquet::get_IsSecured() const {
    return conn_ && conn_->tls == Tls::Secured ? True : False;
}

}  // namespace tarselctl

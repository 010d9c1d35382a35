// The TLS client configuration shared by the connections that use the same settings.
#pragma once

#include <memory>
#include <string>

#include <asio/ssl/context.hpp>

#include <tarsel/soquet.h>

namespace tarselctl {

/// The newest session of one connection, as the server last handed it out (with TLS 1.3 the
/// session tickets come after the handshake); what a later connection offers to resume.
using TlsSessionSlot = std::shared_ptr<SSL_SESSION>;

/// An OpenSSL client context made from TlsClientSettings: TLS 1.2 or newer, the trusted CAs,
/// and a hook that keeps each connection's newest session in its TlsSessionSlot.
class TlsClientContext {
public:
    /// The context for `settings`; nullptr with `error` set when the CA file cannot be read.
    static std::shared_ptr<TlsClientContext> Make(const TlsClientSettings& settings,
                                                  std::string& error);

    const TlsClientSettings& Settings() const { return settings_; }
    asio::ssl::context& Context() { return context_; }
    bool SameSettings(const TlsClientSettings& other) const;

    /// Readies one connection's SSL object before its handshake: the name or address the
    /// certificate must carry, the server name indication (names only), the slot that keeps
    /// its sessions, and the session to offer for resumption (may be null).
    void Prepare(SSL* ssl, TlsSessionSlot* slot, SSL_SESSION* resume) const;

    /// The session `ssl` last received: its slot's, or the one OpenSSL holds.
    static TlsSessionSlot NewestSession(SSL* ssl, const TlsSessionSlot& slot);

    explicit TlsClientContext(const TlsClientSettings& settings);

private:
    TlsClientSettings settings_;
    asio::ssl::context context_;
};

}  // namespace tarselctl

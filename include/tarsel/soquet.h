// The event-driven TCP socket component.
#pragma once

#include <string>

#include <tarsel/types.h>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

/// How a connection is secured with TLS, this end being the client.
struct TARSEL_API TlsClientSettings {
    /// Check the server's certificate chain against the trusted CAs, and its name.
    bool verify = true;
    /// PEM file of trusted CA certificates; empty: the system's default store.
    std::string caFile;
    /// The host name or numeric address the certificate must carry. A name is also sent as
    /// the server name indication; an address is matched against the certificate's IP
    /// addresses.
    std::string serverName;
};

/// OnError numbers of a TLS handshake that failed (step "tls"); text 1 is the TLS library's
/// reason.
inline constexpr Long kTlsHandshakeFailed = -10;
/// The server's certificate was refused: not signed by a trusted CA, expired, or made out to
/// another name.
inline constexpr Long kTlsNotVerified = -11;

/// What a socket instance reports. Every event arrives on the event-loop thread.
class TARSEL_API SoquetEvents {
public:
    virtual ~SoquetEvents() = default;
    /// An outgoing connection is up, or an accepted one has been taken over.
    virtual void OnConnected() {}
    /// Bytes arrived (one event per read). The handler may consume or keep `data`.
    virtual void OnReceived(std::string& data) { (void)data; }
    /// Bytes arrived, as in OnReceived, held as bytes rather than text. A platform raises one
    /// of the two for each read; one that reads into bytes raises this, which lets a download
    /// reach a byte consumer without another copy. By default the bytes go on to OnReceived,
    /// so a handler that knows only OnReceived hears everything.
    virtual void OnReceivedBytes(ByteArray& data) {
        std::string text(data.begin(), data.end());
        OnReceived(text);
    }
    /// A Send completed; the socket takes more.
    virtual void OnSendDone() {}
    /// The connection ended: peer close, error, or CloseSocket.
    virtual void OnClosed() {}
    /// A listener has a connection waiting, announced by `requestId`.
    virtual void OnAcceptRequest(Long requestId) { (void)requestId; }
    /// An error: system error number, system message, the step that failed.
    virtual void OnError(Long number, const String& text1, const String& text2) {
        (void)number; (void)text1; (void)text2;
    }
    /// Diagnostic text.
    virtual void OnDiagnostic(const String& text) { (void)text; }
    /// The TLS handshake begun by StartTls has completed: from here on Send and OnReceived
    /// carry protected bytes.
    virtual void OnSecured() {}
};

/// One TCP endpoint: an outgoing connection, an accepted one, or a listener.
///
/// Guarantees the control relies on:
///  - CloseSocket on an instance with a connection or a connection attempt raises OnClosed
///    before it returns; closing a listener or an idle instance raises nothing. A listener
///    never raises OnClosed, and nothing of a connection is raised after its OnClosed.
///  - An outgoing connection ends in OnConnected, or in OnError followed by OnClosed; a peer
///    close raises OnClosed; a read or write error raises OnError then OnClosed.
///  - IsClosed is True while a connection attempt is under way (there is no open connection
///    yet), for a listener and for an idle instance; it is False only from OnConnected, or
///    from the Accept of a waiting request, until the connection ends.
///  - Send takes all the bytes; SendReady is False until they are written; one OnSendDone
///    follows each Send. A Send while a write is in flight is queued behind it.
///  - A connection request announced by OnAcceptRequest that no instance accepts is closed by
///    the listener, which goes on listening: a peer is refused by not accepting it.
///  - Addresses are given as text in their numeric form ("127.0.0.1", "::1"); an IPv4-mapped
///    IPv6 address is given in its IPv4 form, so the texts of two ends compare equal.
class TARSEL_API Soquet {
public:
    virtual ~Soquet() = default;

    /// Where this instance reports its events (nullptr: nowhere).
    virtual void SetEvents(SoquetEvents* sink) = 0;

    /// Starts connecting. `port` is decimal text, blanks around the digits allowed; a port
    /// that is no number from 1 to 65535 raises AutomationError at once. Never blocks.
    virtual void ConnectTo(const String& host, const String& port, const String& localPort) = 0;
    /// Listens on every interface: the same as ListenAt("", port).
    virtual void Listen(const String& port) = 0;
    /// Listens at the local address `host` ("" = every interface) on `port` ("0": any free
    /// port); LocalPort is valid on return. A failure to listen raises AutomationError(system
    /// error number, "Soquet", system message) from the call, before anything else happens;
    /// LocalPort is then 0 and no event follows.
    virtual void ListenAt(const String& host, const String& port) = 0;
    /// Takes over the connection announced by a listener's OnAcceptRequest, then OnConnected.
    virtual void Accept(Long requestId) = 0;
    virtual void CloseSocket() = 0;
    virtual void Send(const std::string& data) = 0;

    /// IPv4 address of the local end, most significant byte = first octet.
    virtual Long get_LocalAddress() const = 0;
    virtual Long get_LocalPort() const = 0;
    virtual Boolean get_SendReady() const = 0;
    /// True when there is no open connection.
    virtual Boolean get_IsClosed() const = 0;
    /// Text address of the local end of the connection ("127.0.0.1", "::1"); "" with none.
    virtual String get_LocalHost() const = 0;
    /// Text address of the peer of the connection; "" with none.
    virtual String get_RemoteHost() const = 0;
    /// Text address of the peer of a waiting connection request announced by OnAcceptRequest
    /// on this listener; "" when the id is unknown or taken.
    virtual String get_RequestHost(Long requestId) const = 0;
    virtual Integer get_SocketVersion() const = 0;
    virtual void put_SetupPhase(Boolean value) = 0;

    /// Starts TLS as the client on the open connection (from OnConnected on). It ends in
    /// OnSecured, or in OnError(kTlsHandshakeFailed or kTlsNotVerified, reason, "tls") then
    /// OnClosed. Bytes given to Send before OnSecured are written protected once secured
    /// (bytes of a Send made before StartTls and still queued go out in the clear first, as
    /// the peer expects them before its handshake).
    /// `resumeFrom`: another instance of the same platform whose secured connection's session
    /// the handshake offers to resume (FTP servers often require a data connection to resume
    /// the control connection's session); nullptr, or one with no session, starts a new one.
    /// On a secured connection CloseSocket still raises OnClosed before it returns; the
    /// close_notify alert is then sent, once queued bytes are written, without waiting for the
    /// peer's. A peer that closes without close_notify raises OnClosed as any close does;
    /// CloseNotified tells the two apart.
    virtual void StartTls(const TlsClientSettings& settings, const Soquet* resumeFrom) = 0;
    /// True from OnSecured until the connection ends.
    virtual Boolean get_IsSecured() const = 0;
    /// From the OnClosed of a secured connection until the next ConnectTo or Accept: True
    /// when the peer ended the connection with TLS close_notify. False when the TCP
    /// connection ended without it (a truncation anyone in the path can forge), when this end
    /// closed it, and for plain connections. A platform that cannot tell gives False.
    virtual Boolean get_CloseNotified() const { return False; }
};

}  // namespace tarselctl

TARSEL_API_END

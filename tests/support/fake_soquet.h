// A scripted socket: records what the control asks of it and raises the events a test chooses.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <tarsel/soquet.h>
#include <tarsel/types.h>

namespace tarselctl {

/// Stand-in for one socket instance. Every call of the control is appended, as one readable
/// line, to a call log that may be shared with the other instances, so a test can check the
/// order of calls across sockets. The test raises events with the trigger methods.
///
/// Connection state follows the documented guarantees of the real component:
///  - ConnectTo makes the instance "connecting"; IsClosed stays True until the test calls
///    Connect(), because a connection attempt is no open connection. Accept takes a
///    connection that is already up: the instance is "connecting" until the test raises
///    OnConnected with Connect(), but IsClosed is False from the Accept on.
///  - ConnectTo, Listen, ListenAt and Accept end whatever the instance had first, with the
///    OnClosed of a connection or an attempt (argument errors are raised before that).
///  - CloseSocket on a connecting or connected instance marks it closed and then raises
///    OnClosed before returning; on an idle or listening instance it raises nothing. The
///    instance is already closed while OnClosed runs, so a nested CloseSocket from inside the
///    handler raises nothing more.
///  - LocalHost and RemoteHost give `localHost` and `remoteHost` while the connection is open
///    (IsClosed False by the rules above), "" otherwise. RequestHost(id) gives the peer of a
///    request announced with AcceptRequest while that trigger runs and the instance listens:
///    like the real listener, which closes a request nobody took, the fake forgets it after
///    the announcement. It cannot see an Accept made on another instance.
///  - A trigger on an instance without a sink does nothing at all, state included.
class FakeSoquet final : public Soquet {
public:
    enum class State { Idle, Connecting, Connected, Listening };

    /// Number of the error ConnectTo and Listen raise for a port they cannot use.
    static constexpr Long kBadPortError = 380;

    /// `name` prefixes every log line ("Soquet1"); `callLog` is the shared log, or nullptr for
    /// a log of the instance's own.
    explicit FakeSoquet(std::string name, std::vector<std::string>* callLog = nullptr);
    ~FakeSoquet() override;
    FakeSoquet(const FakeSoquet&) = delete;
    FakeSoquet& operator=(const FakeSoquet&) = delete;

    // ---- the socket interface, as the control sees it
    void SetEvents(SoquetEvents* sink) override;
    void ConnectTo(const String& host, const String& port, const String& localPort) override;
    void Listen(const String& port) override;
    void ListenAt(const String& host, const String& port) override;
    void Accept(Long requestId) override;
    void CloseSocket() override;
    void Send(const std::string& data) override;
    Long get_LocalAddress() const override { return localAddress; }
    Long get_LocalPort() const override { return localPort; }
    Boolean get_SendReady() const override { return sendReady; }
    Boolean get_IsClosed() const override { return isClosed; }
    String get_LocalHost() const override { return IsOpen() ? localHost : String(); }
    String get_RemoteHost() const override { return IsOpen() ? remoteHost : String(); }
    String get_RequestHost(Long requestId) const override;
    Integer get_SocketVersion() const override { return socketVersion; }
    void put_SetupPhase(Boolean value) override;
    void StartTls(const TlsClientSettings& settings, const Soquet* resumeFrom) override;
    Boolean get_IsSecured() const override { return secured ? True : False; }
    Boolean get_CloseNotified() const override { return closeNotified_ ? True : False; }

    // ---- properties the test may set at any time
    /// 127.0.0.1, most significant byte first.
    Long localAddress = 0x7F000001;
    /// The two ends of an open connection as LocalHost and RemoteHost give them.
    String localHost = u"127.0.0.1";
    String remoteHost = u"127.0.0.1";
    /// Set by Listen; a listen on "0" takes `freePort`.
    Long localPort = 0;
    /// The port a listen on "0" picks.
    Long freePort = 50123;
    Boolean sendReady = True;
    /// Kept in step with the state by the calls and triggers; a test may overwrite it.
    Boolean isClosed = True;
    Integer socketVersion = 209;
    /// When true, Send makes SendReady False until the test calls SendDone().
    bool sendBlocksUntilDone = false;
    /// ConnectTo / Listen / ListenAt raise AutomationError(errorNumber, "Soquet",
    /// errorDescription); a listen fails as the real one does, after the instance went idle.
    bool throwOnConnect = false;
    bool throwOnListen = false;
    Long errorNumber = 10061;
    String errorDescription = u"Connection refused";

    // ---- what the control did
    /// Every byte handed to Send, in order.
    std::string sent;
    /// The argument of each Send call.
    std::vector<std::string> sends;
    /// `sent` cut at each CR LF; text after the last CR LF, if any, is the final element.
    std::vector<std::string> SentLines() const;
    /// Forgets `sent` and `sends` (the call log is the platform's).
    void ClearSent();

    // ---- triggers: raise an event into the registered sink
    /// The connection is up: state connected, IsClosed False, then OnConnected.
    void Connect();
    /// Bytes arrived: OnReceived with a copy of `bytes`.
    void Receive(std::string_view bytes);
    /// Bytes arrived, handed over as bytes: OnReceivedBytes with a copy of `bytes`.
    void ReceiveBytes(std::string_view bytes);
    /// A send completed: SendReady True, then OnSendDone.
    void SendDone();
    /// The peer or the network ended the connection: state idle, IsClosed True, then OnClosed.
    /// A secured connection ends with the peer's close_notify when `peerCloseNotify` is set.
    void Close();
    bool peerCloseNotify = true;
    /// A listener has a connection waiting from `peerHost` (what RequestHost gives during the
    /// event).
    void AcceptRequest(Long requestId, String peerHost = u"127.0.0.1");
    void Error(Long number, const String& text1, const String& text2);
    void Diagnostic(const String& text);
    /// The TLS handshake asked for by StartTls completed: IsSecured True, then OnSecured.
    void Secure();

    // ---- inspection
    /// The settings of the last StartTls, and the instance it offered to resume from.
    TlsClientSettings tlsSettings;
    const Soquet* tlsResumeFrom = nullptr;
    /// StartTls was called on the current connection; Secure() completes it.
    bool tlsRequested = false;
    bool secured = false;
    State state() const { return state_; }
    SoquetEvents* sink() const { return sink_; }
    const std::string& name() const { return name_; }
    /// The log this instance writes to.
    const std::vector<std::string>& calls() const { return *log_; }
    /// Runs when the instance is destroyed (the platform uses it to forget the instance).
    std::function<void()> onDestroyed;

    /// Bytes as a readable log argument: CR, LF and TAB as \r \n \t, other control and
    /// non-ASCII bytes as \xNN.
    static std::string Escape(std::string_view bytes);

private:
    bool closeNotified_ = false;
    void Log(std::string line);
    /// An open connection: IsClosed False by the rules of the real component.
    bool IsOpen() const {
        return state_ == State::Connected || (state_ == State::Connecting && accepted_);
    }
    /// Ends what the instance holds, raising OnClosed for a connection or an attempt; false
    /// when a handler of that event destroyed the instance or started something new on it.
    bool EndCurrent();
    /// Listen and ListenAt after their log line.
    void StartListening(const String& port);

    std::string name_;
    std::vector<std::string> ownLog_;
    std::vector<std::string>* log_;
    SoquetEvents* sink_ = nullptr;
    State state_ = State::Idle;
    /// The connection came from Accept, so it is open before OnConnected.
    bool accepted_ = false;
    /// Requests being announced on this listener: id to peer address.
    std::map<Long, String> requests_;
    /// Expires with the instance: lets a trigger see whether its handler destroyed it.
    std::shared_ptr<char> life_ = std::make_shared<char>(0);
};

}  // namespace tarselctl

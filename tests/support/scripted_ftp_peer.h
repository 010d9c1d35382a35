// A scripted FTP server on 127.0.0.1 for loopback tests of the control over real TCP.
//
// The peer runs on the same io_context as the control, so a test drives both by running that
// loop (bounded: see RunUntil in tests/asio_platform/loopback.h). It accepts one control
// connection, runs its greeting script, then answers each command line it receives with a
// script chosen for that line, and records every line exactly as it arrived.
//
//   ScriptedFtpPeer peer(io);
//   peer.On("USER", FtpScript().Reply("331 password please"));
//   peer.On("PASS", FtpScript().Reply("230 welcome"));
//   peer.On("QUIT", FtpScript().Reply("221 bye").Close());
//   control.put_port(peer.Port());
//   control.Connect(u"127.0.0.1", u"anonymous", u"guest@");
//   ... run the loop ...
//   EXPECT_THAT(peer.lines, ElementsAre("USER anonymous", "PASS guest@", "QUIT"));
//
// Choosing the script for a line: the scripts queued with Next() are used first, one per
// line, in order; then the standing script of the line's command word (On(), matched on the
// first blank-separated word, upper-cased); otherwise "502 not scripted". Lines that arrive
// while a script is still running wait and are answered in turn, so a script that stalls
// leaves every later line unanswered (but recorded).
//
// Passive data connections: a script step PassiveReply() opens a data listener on 127.0.0.1
// port 0 and sends the 227 reply that names it. The listener takes the first connection made
// to it; later steps wait for it (AwaitData), send on it (DataSend), close it (DataClose) or
// wait for the client to close it (AwaitDataClosed). Bytes the client sends on it are kept in
// `dataReceived`. In active mode, ActiveConnect() makes the data connection to the address of
// the last PORT line instead (ActiveConnectFrom() from a chosen local address, as a stranger
// on the network would), and the same data steps apply.
//
// Hostile servers: Trickle() sends a reply one byte per write, DataSendForever() streams on
// the data connection until the client closes it, DataReset() drops the data connection with
// a reset, and SilentPort is a port whose connection attempts are never answered.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <tarsel/types.h>

namespace tarselctl::testing {

/// What the peer does, step by step, in answer to one line (or as its greeting).
class FtpScript {
public:
    enum class Kind {
        Send,             ///< write `bytes` on the control connection
        Pause,            ///< wait `pause`
        Close,            ///< close the control connection in an orderly way
        Reset,            ///< drop the control connection with a reset (RST)
        Stall,            ///< never go on
        PassiveReply,     ///< open a data listener and send "227 ... (127,0,0,1,p1,p2)"
        ActiveConnect,    ///< connect to the address of the last PORT line received
        AwaitData,        ///< wait until the client has connected to the data listener
        DataSend,         ///< write `bytes` on the data connection
        DataClose,        ///< close the data connection
        AwaitDataClosed,  ///< wait until the client has closed the data connection
        DataSendForever,  ///< write `bytes` on the data connection again and again until it ends
        DataReset,        ///< drop the data connection with a reset (RST)
    };
    struct Step {
        Kind kind;
        std::string bytes;
        std::chrono::milliseconds pause{0};
    };

    /// Sends `line` followed by CR LF.
    FtpScript& Reply(const std::string& line);
    /// Sends exactly `bytes`, in one write.
    FtpScript& Raw(const std::string& bytes);
    /// Sends `pieces` one write each, with `gap` between them, so that the client's reads
    /// see them apart (the connection does not coalesce: the peer sets no-delay).
    FtpScript& Pieces(const std::vector<std::string>& pieces,
                      std::chrono::milliseconds gap = std::chrono::milliseconds(40));
    /// Sends `bytes` one byte per write, `gap` apart.
    FtpScript& Trickle(const std::string& bytes,
                       std::chrono::milliseconds gap = std::chrono::milliseconds(1));
    FtpScript& Pause(std::chrono::milliseconds span);
    FtpScript& Close();
    FtpScript& Reset();
    FtpScript& Stall();
    FtpScript& PassiveReply();
    /// PassiveReply whose 227 names `address` ("127,0,0,2") instead of the listener's own
    /// 127.0.0.1; the listener is still on 127.0.0.1.
    FtpScript& PassiveReplyNaming(const std::string& address);
    /// Active mode: connects to the address of the last PORT line and goes on once the
    /// connection is up (or has failed: then `dataAccepted` stays false).
    FtpScript& ActiveConnect();
    /// ActiveConnect from the local address `source` (for example "127.0.0.2").
    FtpScript& ActiveConnectFrom(const std::string& source);
    FtpScript& AwaitData();
    FtpScript& DataSend(const std::string& bytes);
    FtpScript& DataClose();
    FtpScript& AwaitDataClosed();
    /// Writes `chunk` on the data connection over and over; goes on once the client has ended
    /// the connection (or there is none).
    FtpScript& DataSendForever(const std::string& chunk);
    FtpScript& DataReset();

    const std::vector<Step>& Steps() const { return steps_; }

private:
    std::vector<Step> steps_;
};

/// The scripted server. Create it before the control so that it outlives the control's
/// sockets' handlers on the shared io_context.
class ScriptedFtpPeer {
public:
    explicit ScriptedFtpPeer(asio::io_context& io);
    ~ScriptedFtpPeer();
    ScriptedFtpPeer(const ScriptedFtpPeer&) = delete;
    ScriptedFtpPeer& operator=(const ScriptedFtpPeer&) = delete;

    /// The control port, as the control's `port` property takes it.
    String Port() const;
    std::uint16_t PortNumber() const;

    /// What the peer sends when the client connects (default: "220 scripted peer ready").
    /// An empty script sends nothing at all.
    void Greeting(FtpScript script);
    /// The next received line is answered with `script` (queued, first in first out).
    void Next(FtpScript script);
    /// Every line whose command word is `word` is answered with `script`, unless Next()
    /// scripts are pending.
    void On(const std::string& word, FtpScript script);

    // ---- what happened
    /// Every command line received, without its CR LF, in order.
    std::vector<std::string> lines;
    /// Every byte received on the control connection.
    std::string received;
    /// Every byte received on the data connection(s).
    std::string dataReceived;
    /// Bytes written on the data connection(s).
    std::size_t dataSent = 0;
    bool accepted = false;           ///< a control connection was accepted
    bool clientClosed = false;       ///< the client ended the control connection
    bool dataAccepted = false;       ///< a data connection was accepted (or made, in active mode)
    bool dataClientClosed = false;   ///< the client ended the data connection

    /// True while a script runs or waits; false when the peer is waiting for a line.
    bool Busy() const { return running_.has_value(); }

private:
    struct Running {
        std::vector<FtpScript::Step> steps;
        std::size_t next = 0;
    };

    void Accept();
    void Read();
    void ReadData();
    void TakeLines();
    void StartScript(const FtpScript& script);
    void Continue();
    /// Runs the step at the head of the running script; false when it finished at once.
    bool RunStep(const FtpScript::Step& step);
    void StepDone();
    void OpenPassive();
    void ConnectActive(const std::string& source);
    void SendForever();
    void AfterEvent();

    asio::io_context& io_;
    asio::ip::tcp::acceptor acceptor_;
    std::optional<asio::ip::tcp::socket> control_;
    std::optional<asio::ip::tcp::acceptor> dataAcceptor_;
    std::optional<asio::ip::tcp::socket> data_;
    asio::steady_timer timer_;
    std::string readBuffer_, dataBuffer_, pendingText_, writing_, dataWriting_;
    /// The connection DataSendForever writes on: a new one is not written to by the old loop.
    std::uint64_t dataSerial_ = 0;

    FtpScript greeting_;
    std::deque<FtpScript> next_;
    std::map<std::string, FtpScript> byWord_;
    std::deque<std::string> waitingLines_;
    std::optional<Running> running_;
    /// The step under way is waiting for an event (accept, close) rather than a completion.
    bool awaiting_ = false;
    /// Every handler holds a weak copy; a handler that outlives the peer does nothing.
    std::shared_ptr<char> life_ = std::make_shared<char>();
};

/// A port on 127.0.0.1 whose connection attempts get no answer at all, as behind a firewall
/// that drops them: its listener is never accepted from and its backlog is full.
class SilentPort {
public:
    SilentPort();
    ~SilentPort();
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;
    bool Ok() const { return ok_; }
    std::uint16_t Number() const { return port_; }

private:
    int listener_ = -1;
    bool ok_ = false;
    std::uint16_t port_ = 0;
    std::vector<int> fillers_;
};

}  // namespace tarselctl::testing

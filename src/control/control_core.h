// The control's core: the dialogue state, the child sockets and timers, and the outbox through
// which every event reaches the host. The public class tarsel forwards to it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <tarsel/tarsel.h>

#include "codeconv/code_setting.h"
#include "command/command_word.h"
#include "control/dialogue.h"
#include "control/outbox_event.h"

namespace tarselctl {

class Utf8StreamConverter;

class TARSEL_INTERNAL ControlCore {
public:
    ControlCore(Platform& platform, Boolean& traceOn);
    ~ControlCore();
    ControlCore(const ControlCore&) = delete;
    ControlCore& operator=(const ControlCore&) = delete;

    // ---- events
    Long Advise(tarselEvents& sink);
    void Unadvise(Long cookie);

    // ---- properties
    /// The facade's TraceOn, which the host writes directly.
    Boolean& TraceOn;

    String get_port() const { return m_Port; }
    void put_port(const String& value) { m_Port = value; }
    Boolean get_Passive() const { return m_Passive; }
    void put_Passive(Boolean value) { m_Passive = value != False ? True : False; }
    String get_Account() const { return m_Account; }
    void put_Account(const String& value);
    String get_Rest() const { return m_Rest; }
    void put_Rest(const String& value);
    String get_PreCommand() const { return m_PreCommand; }
    void put_PreCommand(const String& value);
    String get_Copyright() const { return m_Copyright; }
    void put_Copyright(const String& value) { (void)value; }
    String get_Filetype() const { return m_Filetype; }
    void put_Filetype(const String& value);
    String get_FileCode() const { return m_FileCode.Text(); }
    void put_FileCode(const String& value);
    String get_SysCode() const { return m_SysCode.Text(); }
    void put_SysCode(const String& value);
    String get_FtpCommand() const;
    Long get_NoopTime() const { return m_NoopTime; }
    void put_NoopTime(Long value);
    Long get_ConnectTimeout() const { return m_ConnectTimeout; }
    void put_ConnectTimeout(Long value) { m_ConnectTimeout = value; }
    Long get_TransTimeout() const { return m_TransTimeout; }
    void put_TransTimeout(Long value) { m_TransTimeout = value; }
    Long get_ReplyTimeout() const { return m_ReplyTimeout; }
    void put_ReplyTimeout(Long value) { m_ReplyTimeout = value; }
    Boolean get_DataPeerCheck() const { return m_DataPeerCheck; }
    void put_DataPeerCheck(Boolean value) { m_DataPeerCheck = value != False ? True : False; }
    String get_TlsMode() const { return m_TlsMode.Text(); }
    void put_TlsMode(const String& value);
    String get_TlsCaFile() const { return m_TlsCaFile; }
    void put_TlsCaFile(const String& value) { m_TlsCaFile = value; }
    Boolean get_TlsVerify() const { return m_TlsVerify; }
    void put_TlsVerify(Boolean value) { m_TlsVerify = value != False ? True : False; }
    String get_HostCode() const { return m_HostCode.Text(); }
    void put_HostCode(const String& value);
    Boolean get_TlsAllowClearData() const { return m_TlsAllowClearData; }
    void put_TlsAllowClearData(Boolean value) { m_TlsAllowClearData = value != False ? True : False; }
    String get_DirCommand() const { return m_DirCommand.Text(); }
    void put_DirCommand(const String& value);
    Boolean get_PasvAddress() const { return m_PasvAddress; }
    void put_PasvAddress(Boolean value) { m_PasvAddress = value != False ? True : False; }
    Boolean get_TypeOnce() const { return m_TypeOnce; }
    void put_TypeOnce(Boolean value) { m_TypeOnce = value != False ? True : False; }
    Boolean IsIdle() const { return Idle() ? True : False; }
    String get_Label1() const { return m_Label1; }
    std::int64_t AnnouncedFileSize() const { return m_Carry.announcedSize; }
    std::uint64_t DataBytes() const { return m_Carry.dataReceived; }
    const String& LastReply() const { return m_LastReply; }
    const std::vector<String>& Features() const { return m_Features; }
    const String& TypeInForce() const { return m_TypeInForce; }
    String LastCommand() const { return m_Sent == Word::Other ? m_SentOther : String(WordText(m_Sent)); }
    void EndUpload();

    // ---- connection

    void Connect(const String& RemoteHost, const String& Username, const String& Password);
    void Login(const String& Username, const String& Password);
    void DisConnect();
    void Abend();
    void Abort();

    // ---- simple commands (operation name reported by CommandDone in quotes)
    void Cd(const String& Directory);
    void Cwd(const String& Directory);
    void Pwd();
    void FileSize(const String& File);
    void Noop();
    void Delete(const String& File);
    void MkDir(const String& Directory);
    void RmDir(const String& Directory);
    void Rename(const String& FileFrom, const String& FileTo);
    void SiteCommand(const String& LocalCommand);
    void QuoteCommand(const String& ExtraCommand);

    // ---- transfers: TYPE, then PORT/EPRT or PASV/EPSV, then the transfer command. Events:
    void Dir(const String& File = String());
    void Ls(const String& File = String());
    void GetFile(const String& File, const String& LocalFile = String());
    void PutFile(const String& File, const String& LocalFile = String());
    void AppendFile(const String& File);

    // ---- lifecycle with the host's property storage
    void InitProperties();
    void ReadProperties(PropertyBag& bag);
    void WriteProperties(PropertyBag& bag) const;
    void Resize(Long width, Long height);
    Long get_Width() const { return m_Width; }
    Long get_Height() const { return m_Height; }
    void ShowAboutBox();

private:
    friend struct tarselInspector;  // white-box access for the unit tests
    class SoquetSink;

    // ---- member state (declaration order as documented)
    Long m_NoopTime = 0;
    Long m_NoopCountdown = -1;
    Long m_TimeoutKind = 0;
    Long m_TimeoutCountdown = -1;
    Long m_ConnectTimeout = 0;
    Long m_TransTimeout = 0;
    String m_Port;
    Long m_DisconnectCode = 0;
    String m_DisconnectMsg;
    String m_ReplyBuffer;
    String m_ReplyLine;
    String m_Copyright;
    String m_Password;
    String m_Filetype;
    String m_LocalFile;
    String m_SendPending;
    TextSetting<SysCode> m_SysCode{SysCode::Euc};
    TextSetting<FileCode> m_FileCode{FileCode::Bin};
    std::string m_RecvRaw;
    Long m_DataPhase = 0;
    String m_Rest;
    String m_Account;
    Boolean m_Passive = False;
    String m_PreCommand;
    Long m_PutReady = 0;
    /// The host or the control itself is leaving this connection (QUIT): errors of its close
    /// are no reason of their own.
    Boolean m_Quitting = False;
    Long m_CloseCount = 0;
    Long m_ReplyTimeout = 0;
    Boolean m_DataPeerCheck = True;
    /// The three digits of the multi-line reply under way; empty outside one.
    String m_MultiLineCode;
    /// Characters at the front of m_ReplyBuffer already searched for a line end.
    std::size_t m_ReplyScanned = 0;
    /// Reply time-out countdown in ticks of Timer2; -1 = not counting.
    Long m_ReplyCountdown = -1;
    /// The countdown of m_TimeoutKind is running on Timer2 (which also carries the reply wait).
    Boolean m_TimeoutArmed = False;
    TextSetting<TlsMode> m_TlsMode{TlsMode::None};
    String m_TlsCaFile;
    Boolean m_TlsVerify = True;
    TextSetting<HostCode> m_HostCode{HostCode::Sjis};
    Boolean m_TlsAllowClearData = False;
    TextSetting<DirCommand> m_DirCommand{DirCommand::List};
    /// A passive data connection goes to the address the 227 names (True), or to the control
    /// connection's peer whatever the 227 names (False).
    Boolean m_PasvAddress = False;
    Boolean m_TypeOnce = False;
    /// The dialogue's state: changed by SetState only.
    Dialogue m_State = Dialogue::Closed;
    /// The command word sent last on this connection (None before the first), and its text
    /// when it is none the control knows.
    Word m_Sent = Word::None;
    String m_SentOther;
#ifndef NDEBUG
    /// The last changes of m_State, oldest first, for a debugger or a test to read.
    std::vector<std::pair<Dialogue, Dialogue>> m_StateChanges;
#endif
    /// The host name or address given to Connect: what the server's certificate must name.
    String m_RemoteHost;
    /// TlsMode as it was at Connect, for the connection under way.
    TlsMode m_ConnectionTls = TlsMode::None;
    /// The server accepted PROT P: every data connection is secured.
    Boolean m_DataProtected = False;
    /// One entry of the command queue: a line for the server, or a step of the control's
    /// own that the sender takes at its turn.
    struct QueuedStep {
        enum class Kind {
            Line,              ///< `line` goes to the server
            ActiveModeSetup,   ///< open the listener and send its PORT or EPRT line
            EndOfPreCommands,  ///< the pre-command lines are through; the login follows
        };
        Kind kind = Kind::Line;
        String line;
    };
    /// What the running operation owns, from BeginOperation to the next one: its command
    /// queue and the facts of its dialogue. Nothing of it outlives the operation.
    struct RunningOperation {
        Operation kind = Operation::None;
        std::deque<QueuedStep> queue;
        /// The host's pre-command lines are being sent (their replies are the host's to judge).
        Boolean inPreCommands = False;
        /// The transfer's final reply, kept until its data connection closes.
        String doneReply;
        /// The first refusal that came after ABOR (the transfer command's own answer, as a rule).
        String abortRefusal;
        /// Abort came before the transfer opened: it dropped the operation's transfer command
        /// before it was sent, or closed the data connection before it was up.
        Boolean abortedBeforeTransfer = False;
        /// An active-mode data connection came up before its transfer command was sent.
        Boolean earlyDataConnection = False;
        /// The data address of the last PASV or EPSV reply.
        String pasvHost, pasvPort;
        /// The type of a TYPE line whose answer is due.
        String typeSent;
        /// Starts `next`, with nothing of the last operation left.
        void Begin(Operation next);
    };
    RunningOperation m_Op;
    /// What one transfer carries from its command to its end. The next transfer command
    /// replaces it whole, so nothing of a broken transfer (bytes, flags, a converter's
    /// state) can reach the next file.
    struct TransferCarry {
        /// Listing bytes; those before dirStart are delivered, those before dirScanned hold
        /// no CR LF.
        std::string dirBuffer;
        std::size_t dirStart = 0;
        std::size_t dirScanned = 0;
        /// Download bytes that ended inside a multibyte character.
        std::string getRemainder;
        /// Upload bytes that ended inside a multibyte character, sent in front of the next
        /// block.
        std::string putRemainder;
        /// The last kept upload bytes are on their way; the next completed send ends the
        /// upload.
        Boolean putEnding = False;
        /// The host has ended the upload's data (its end signal from PutData).
        Boolean putFinished = False;
        /// The host called EndUpload: the next block it leaves is the last, whatever it holds.
        Boolean putLastBlock = False;
        /// A TransError has been raised for this transfer.
        Boolean transErrorRaised = False;
        /// Bytes the download's data connection delivered, before any conversion.
        std::uint64_t dataReceived = 0;
        /// The size the preliminary reply to RETR announced ("(N bytes)"); -1 when none.
        std::int64_t announcedSize = -1;
        /// The restart offset the download started from.
        std::uint64_t offset = 0;
        /// The control ended the data connection itself (Abort, a refusal, the end of the
        /// control connection, a time-out): that end says nothing of whether the data was
        /// whole.
        Boolean cutByControl = False;
        /// The data connection's TCP connection came up (a passive connect succeeded, or a
        /// server's connection was accepted).
        Boolean connected = False;
        /// Seconds the data-connection time-out that last fired had; bounds the wait for the
        /// final reply after it when ReplyTimeout is 0.
        Long replyWaitAfterTimeout = 0;
        /// File-content conversions that involve UTF-8 (none when neither side is UTF-8);
        /// dropped once their replacements have been reported.
        std::unique_ptr<Utf8StreamConverter> downloadText, uploadText;
    };
    TransferCarry m_Carry;
    /// The transfer open on the host's side.
    std::shared_ptr<HostTransfer> m_HostTransfer;
    String m_Label1;
    /// The last complete reply, every line of it; the lines of the one under way.
    String m_LastReply, m_ReplyKept;
    /// The feature lines of the connection's last answer to FEAT.
    std::vector<String> m_Features;
    /// The TYPE the server accepted last on this connection ("" while unknown).
    String m_TypeInForce;
    Long m_Width = 0;
    Long m_Height = 0;

    /// DisConnected's code when the server's replies broke the dialogue.
    static constexpr Long kDialogueBroken = -13;
    /// Ticks of Timer2 the control waits for the answer to a QUIT or ABOR of its own.
    static constexpr Long kGraceTicks = 2;

    // ---- named values of three state members
    /// m_DataPhase: how far the data transfer of the running operation has come.
    enum DataPhaseValue : Long {
        kNoTransfer = 0,    ///< no transfer runs
        kTransferSent = 1,  ///< the transfer command is sent; its data connection is not up
        kDataOpen = 2,      ///< the data connection is open
        kDataClosed = 3,    ///< the data connection closed before the final reply came
    };
    /// m_TimeoutKind: which time-out Timer2 counts down.
    enum TimeoutKindValue : Long {
        kNoTimeout = 0,
        kControlConnectTimeout = 1,  ///< the control connection's connect (ConnectTimeout)
        kDataConnectTimeout = 2,     ///< the data connection's connect (ConnectTimeout)
        kTransferTimeout = 3,        ///< data stalled on an open data connection (TransTimeout)
    };
    /// m_PutReady: an upload's first PutData is asked for once both bits are set.
    enum PutReadyBits : Long {
        kPutReplied = 1,     ///< the server's preliminary reply to STOR or APPE came
        kPutDataOpen = 2,    ///< the data connection is open and PutOpen was raised
        kPutStartable = 3,
    };

    // ---- child components (Soquet1 control connection, Soquet2 active-mode listener,
    //      Soquet3 data connection; Codawa1 command channel, Codawa2 file contents;
    //      Timer1 keep-alive, Timer2 time-outs)
    Platform& m_Platform;
    std::unique_ptr<SoquetSink> m_Sink1, m_Sink2, m_Sink3;
    std::unique_ptr<Soquet> Soquet1, Soquet2, Soquet3;
    std::unique_ptr<Codawa> Codawa1, Codawa2;
    std::unique_ptr<Timer> Timer1, Timer2;
    std::map<Long, tarselEvents*> m_Sinks;
    Long m_NextCookie = 1;

    // ---- the outbox (control/outbox.cpp): every entry into the control (a host call, a
    //      socket event, a timer tick) is a Step; the events its state changes raise wait in
    //      the outbox, and the outermost step hands them to the sinks, in order, as it ends.
    class Step;
    class Entry;
    /// The outbox's two order rules: nothing of a connection after its DisConnected, nothing
    /// of an operation's transfer after its CommandDone.
    enum class EventGate : std::uint8_t {
        NoOperation,   ///< no operation's CommandDone is owed: transfer events are dropped
        Operation,     ///< an operation has begun and its CommandDone is not yet posted
        Disconnected,  ///< DisConnected is posted and no Connect has begun since
    };
    EventGate m_Gate = EventGate::NoOperation;
    std::vector<OutboxEvent> m_Outbox;
    std::size_t m_OutboxNext = 0;
    int m_StepDepth = 0;
    /// Events posted and events taken out for delivery since the control was made: a state
    /// read while events wait is the state after the first m_EventsPosted of them.
    std::uint64_t m_EventsPosted = 0, m_EventsDelivered = 0;
    void Raise(OutboxEvent event);
    void DeliverOutbox() noexcept;
    void Deliver(OutboxEvent& event) noexcept;
    template <class F>
    void CallSinks(F&& call) noexcept;
    void RaiseTrace(const String& msg);
    void RaiseDiagnostic(const String& prefix, const String& text);
    /// The one place m_State changes (and with it, optionally, m_Sent).
    void SetState(Dialogue to);
    void SetSent(Word word, const String& text = String());
    /// The connection is idle: no operation runs on it.
    bool Idle() const { return m_State == Dialogue::Idle || m_State == Dialogue::Parting; }
    /// The name FtpCommand shows and the trace of each line sent carries.
    String OperationText() const;
    /// The one place m_DataPhase and m_PutReady change; each change is traced as a
    /// diagnostic, so a transcript shows the transfer's progress.
    void SetDataPhase(Long phase);
    void SetPutReady(Long bits);

    // ---- command queue and sender (command/command_queue.cpp)
    void BeginOperation(Operation operation);
    /// The operation has ended: "DONE" until it is idle.
    void FinishOperation();
    void QueueCommand(const String& line);
    void QueueCommandFirst(const String& line);
    void QueueStep(QueuedStep::Kind kind);
    void SendNextCommand();
    bool TransferCommandIsNext() const;
    /// Traces and sends one command line.
    void TraceAndSendLine(const String& line, const String& traceText);
    void SendLine(const String& text);
    void SendRaw(const String& text);
    void Soquet1_OnSendDone();

    // ---- reply interpreter (command/reply_interpreter.cpp)
    void Soquet1_OnReceived(std::string& data);
    void InterpretReplyLine();
    void SecureOrRefuse(const String& line);
    /// Ends the running operation with the code and text of `line`: a refusal, or a reply
    /// its command cannot have.
    void RefuseReply(const String& line);
    /// The dialogue cannot go on (a malformed reply, or one that leaves a transfer's state
    /// unknown): QUIT, then the connection closes at its reply or after a short grace, and
    /// DisConnected reports `code` and `reason`.
    void EndDialogue(Long code, const String& reason);
    /// The transfer's data connection failed after its command was sent: ABOR, so that the
    /// server's answer ends the operation.
    void AbortFailedTransfer();
    void AbortReply(const String& line);
    void AbortGraceOver();
    void EndOperation(Integer code, const String& text, bool positive);

    // ---- connection lifecycle (command/connection_lifecycle.cpp)
    void Soquet1_OnConnected();
    void Soquet1_OnClosed();
    void Soquet1_OnError(Long number, const String& text1, const String& text2);
    void Soquet1_OnDiagnostic(const String& text);
    void Soquet1_OnSecured();
    void AnnounceConnected();
    void StartControlTls();
    TlsClientSettings TlsSettings() const;
    bool IsIPv6Connection() const;
    void RefuseUnsafeText(const String& source, std::initializer_list<const String*> args) const;

    // ---- simple commands (command/simple_commands.cpp)
    void RunOperation(Operation operation, std::initializer_list<String> lines);

    // ---- timers (command/timer_switches.cpp, command/keepalive_timeouts.cpp)
    void StartNoopTimer();
    void StopNoopTimer();
    void StartTimeoutTimer(Long kind);
    void StopTimeoutTimer();
    void StartReplyTimer(Long seconds);
    void StopReplyTimer();
    void UpdateTimer2();
    void Timer1_Tick();
    void Timer2_Tick();
    void TimeoutExpired();

    // ---- data connection setup (transfer/data_connection.cpp)
    /// The sender's one entry into data connections: the active-mode set-up, PASV and the
    /// transfer commands.
    void SendDataCommand(QueuedStep step);
    void ListenFailed(Long number, const String& description);
    bool HoldEarlyDataConnection();
    void OpenHeldDataConnection();
    String ActiveModeSetup();
    void PassiveModeSetup(const String& replyLine);
    /// The control connection's peer address; "" when the socket cannot give it.
    String ControlPeer() const;
    void Soquet2_OnAcceptRequest(Long requestId);
    void Soquet2_OnError(Long number, const String& text1, const String& text2);
    void Soquet2_OnDiagnostic(const String& text);

    // ---- transfer methods (transfer/transfer_methods.cpp)
    void StartTransfer(Operation operation, const std::vector<String>& lines, const String& transferLine);
    /// Protected data is asked for but not in force (error 70).
    bool DataUnprotected() const;
    /// The TYPE line a transfer or FileSize sends for `type`: none for "" and, with
    /// TypeOnce, none for the type the connection already has.
    std::vector<String> TypeLines(const String& type) const;

    // ---- data channel (transfer/data_channel.cpp)
    void ResetTransferCarry();
    void Soquet3_OnConnected();
    void Soquet3_OnReceived(std::string& data);
    void Soquet3_OnReceivedBytes(ByteArray& data);
    void DataArrived(std::string_view data, ByteArray* asBytes);
    void Soquet3_OnSendDone();
    void Soquet3_OnClosed();
    void Soquet3_OnError(Long number, const String& text1, const String& text2);
    void Soquet3_OnDiagnostic(const String& text);
    void Soquet3_OnSecured();
    void DataConnectionReady();
    void ReportReplacedCharacters();
    void ReportCutShort(Word side, bool cutMidLine, bool alreadyFailed);
    void EndDataConnection();
    void CloseHostSide();
    void DeliverListingLines();
    void RaiseTransError(Long code, const String& description, const String& where);
    void StartUploadIfReady();
    void UploadStep();
    void SendUploadBlock(const ByteArray& data);
    /// `transfer` is still the one open on the host's side.
    bool IsCurrent(const std::weak_ptr<HostTransfer>& transfer) const;
    /// The command word of the transfer open on the host's side; None when none.
    Word HostSide() const;

    // ---- character-code settings (codeconv/)
    std::string ConvertDownload();
    std::string ConvertUpload(const ByteArray& block);
    /// The upload's end: what is still kept or held back, converted as far as it forms text.
    std::string FinishUpload();
    String ConvertListingLine(const std::string& line);
    /// Refuses a stored setting no writer understands (error 54) and sets both converters'
    /// codes from the typed settings.
    void ApplyCodesToConverters();
    void ApplySysCode();
    void ApplyFileCode();
    void PrepareTextConverters();
    std::string EncodeCommandText(String& text);
    String DecodeReplyBytes();
};

}  // namespace tarselctl

// The tarsel control: an FTP client that never blocks and reports every step through events.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <tarsel/codawa.h>
#include <tarsel/platform.h>
#include <tarsel/soquet.h>
#include <tarsel/types.h>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

class PropertyBag;
class TARSEL_INTERNAL ControlCore;  // the implementation; not exported

/// The control's events. Every member does nothing by default; handlers may call back into
/// the control (any method, Abort, Abend, DisConnect, Connect after Abend, property writes).
/// By-reference arguments carry back what the handler left in them. An exception that leaves
/// a handler is caught by the control, which finishes its step (the other sinks still get
/// the event, the transfer's events stay whole) and then hands the exception to
/// Platform::ReportHandlerException: with AsioPlatform it leaves io_context::run(), after
/// which run() may be called again.
///
/// Order guarantees, whatever the server sends and whatever a handler calls:
///  - each transfer raises its open event (GetOpen, PutOpen, DirOpen), any number of data
///    events, then exactly one close event (GetClose, PutClose, DirClose), and nothing of
///    that transfer after its close; bytes and lines already received are never dropped;
///  - CommandDone of a transfer comes after its close event;
///  - DisConnected is the last event of a connection, after every close event of it.
///
/// Every TransError, CommandDone and DisConnected code and every AutomationError number is
/// listed once, with its Where and msg texts, in docs/host-guide.md ("Error numbers and
/// codes"). A TransError before CommandDone(0) means the transfer did not do what the host
/// asked.
///
/// Replies each command takes: USER 230, 331 (PASS follows) and 332 (ACCT follows when
/// Account is set); PASS 230, 202 and 332; ACCT 230 and 202; REST and RNFR 3xx; the
/// transfer commands 1xx, then 2xx; every other command the control composes, 2xx. Another
/// 2xx or 3xx ends the operation with CommandDone(its code, ...), as a refusal does, and the
/// connection stays; so does a 332 while Account is empty (no empty ACCT is sent). The
/// host's own lines (QuoteCommand, PreCommand) take any 2xx or 3xx.
///
/// A passive data connection that cannot connect once its transfer command went out (the
/// server never sees it, and may wait for it) is followed by ABOR, after its TransError:
/// the operation ends at the server's 2xx to ABOR with the code and text of the refusal
/// that came before it (often 426), or with -1 when the server only confirmed the ABOR.
/// When a single answer comes within a short grace (about two seconds), the operation ends
/// with it; when none comes, the control leaves with QUIT (TransError(-7), CommandDone(-1),
/// DisConnected(-1, "reply timeout(timer)")).
///
/// This interface is frozen: a later event comes in an interface derived from it, so that
/// hosts built against this header keep their layout (docs/host-guide.md, "How the event
/// interface grows").
class tarselEvents {
public:
    virtual ~tarselEvents() = default;
    /// Every command line sent ("Operation>>LINE", the password shown as ***) and every reply
    /// line received, always; the control's diagnostics ("---" first) only while TraceOn is
    /// true: socket texts, time-outs, and its own state changes ("---data:phase:sent|open|
    /// closed|none", "---upload:gate:...", "---timer2:kind:...").
    virtual void Trace(const String& msg) { (void)msg; }
    /// The control connection is up (after the TLS handshake with TlsMode "implicit"); the
    /// login follows and ends with CommandDone(..., "Connect", ...).
    virtual void Connected() {}
    /// The control connection has closed, whoever closed it; the last event of a connection.
    /// An operation that ran when the server closed the connection or it failed has ended
    /// before, with TransError(-7) and CommandDone(-1). code 0 and an empty msg for an
    /// orderly close (after QUIT, or by the server, also in the middle of an operation); the
    /// socket's error number and "text(step)" when it failed; the control's own codes are in
    /// docs/host-guide.md.
    virtual void DisConnected(Long code, const String& msg) { (void)code; (void)msg; }
    /// The end of an operation: code 0 on success, the server's three-digit reply code when
    /// it refused, -1 when a passive-mode reply held no usable address (or no listener could
    /// be opened, after TransError "listen"). FtpCommand is the operation's name ("Connect",
    /// "User", "Cd", "Size", "Quote", "GetFile", ...), msg the text of the final reply after
    /// its code. The control is idle again when this is raised: the handler may start the
    /// next operation. Except after TransError(-7): then code is -1, msg the reason the
    /// connection ended ("connection lost" when none was given), and DisConnected follows.
    virtual void CommandDone(Integer code, const String& FtpCommand, const String& msg) {
        (void)code; (void)FtpCommand; (void)msg;
    }
    /// A download's data connection is open; SaveFileName is the LocalFile given to GetFile.
    virtual void GetOpen(const String& SaveFileName) { (void)SaveFileName; }
    /// Downloaded bytes as they arrive, converted by FileCode; the handler may keep or move
    /// them (what it leaves in Data is not used again).
    virtual void GetData(ByteArray& Data) { (void)Data; }
    virtual void GetClose() {}
    /// An upload's data connection is open; LoadFileName is the LocalFile given to PutFile
    /// (empty for AppendFile). PutData follows once the server's preliminary reply is in.
    virtual void PutOpen(const String& LoadFileName) { (void)LoadFileName; }
    /// Asks for the next block of an upload. Data arrives holding one element of value 0; the
    /// handler replaces it with the next bytes, of any length (one byte is a block too). The
    /// end of the upload is an empty array, or the array left as handed over (one element
    /// of value 0): so a lone 0 byte cannot be a block of its own; send it with its
    /// neighbours, or end the upload with EndUpload, which takes any block as data. The next
    /// PutData comes once the block has been written.
    virtual void PutData(ByteArray& Data) { (void)Data; }
    virtual void PutClose() {}
    /// A listing's data connection is open (Dir, Ls).
    virtual void DirOpen() {}
    /// One listing line, without its line end, decoded by SysCode.
    virtual void DirData(String& Data) { (void)Data; }
    virtual void DirClose() {}
    /// A fault of the data connection or a time-out, before the operation's CommandDone
    /// (codes in docs/host-guide.md). Where names the step ("connect", "recv", "send",
    /// "listen", "timer", "data", "host", "tls").
    virtual void TransError(Long Ecode, const String& Description, const String& Where) {
        (void)Ecode; (void)Description; (void)Where;
    }
};

/// The control. One instance holds one control connection and at most one data connection.
/// Every method queues its command lines, sends the first and returns; the rest is driven by
/// socket events and one-second timer ticks on the thread that runs the platform's loop.
class tarsel {
public:
    explicit tarsel(Platform& platform);
    ~tarsel();
    tarsel(const tarsel&) = delete;
    tarsel& operator=(const tarsel&) = delete;

    // ---- events
    /// Registers a sink; returns its cookie (never 0).
    Long Advise(tarselEvents& sink);
    /// Removes a sink; an unknown cookie is ignored. Safe from inside an event handler.
    void Unadvise(Long cookie);

    // ---- properties
    /// Gates the diagnostic traces (socket texts, time-outs); command and reply traces always run.
    Boolean TraceOn = True;

    /// The server's port, as text ("21"). Persisted.
    String get_port() const;
    void put_port(const String& value);
    /// False (the start value): active data connections (PORT, or EPRT on IPv6); true:
    /// passive ones (PASV, or EPSV on IPv6). Any non-zero value counts as true and reads back
    /// as True (-1). Persisted.
    Boolean get_Passive() const;
    void put_Passive(Boolean value);
    /// Sent with ACCT when the server answers the login with 332. Persisted.
    String get_Account() const;
    /// Refuses (error 5) text with CR, LF, NUL or a character the server's code cannot write.
    void put_Account(const String& value);
    /// Restart offset (decimal text) sent as REST before the next GetFile's RETR; it serves
    /// that one download only and is cleared when its data connection ends. Not persisted.
    String get_Rest() const;
    /// Refuses unsafe text as put_Account does.
    void put_Rest(const String& value);
    /// Lines sent right after the greeting, before the login; a refusal of one ends their
    /// run and the login goes on. Persisted.
    String get_PreCommand() const;
    /// Lines joined by CR LF; refuses a line that put_Account would refuse.
    void put_PreCommand(const String& value);
    String get_Copyright() const;
    /// Accepts any value and keeps the banner.
    void put_Copyright(const String& value);
    /// The TYPE sent before GetFile, PutFile, AppendFile and FileSize: "I" (the start value),
    /// "A", or "" (no TYPE line). Matched on the first letter; others: error 54. Persisted.
    String get_Filetype() const;
    void put_Filetype(const String& value);
    /// The code of file contents on the server: "BIN" (the start value: bytes unchanged),
    /// "SJIS", "EUC", "JIS" or "UTF8"; text is converted to and from HostCode. Others: error
    /// 54. Persisted.
    String get_FileCode() const;
    void put_FileCode(const String& value);
    /// The code of commands, replies and listings on the server: "EUC" (the start value),
    /// "SJIS" or "UTF8". Others: error 54. Persisted.
    String get_SysCode() const;
    void put_SysCode(const String& value);
    /// The name of the running operation ("GetFile", ...), "DONE" once one has ended, ""
    /// when not connected.
    String get_FtpCommand() const;
    /// Seconds of idleness after which a NOOP keeps the connection alive (its CommandDone
    /// reports "Noop"); 0 or less: never. Persisted.
    Long get_NoopTime() const;
    void put_NoopTime(Long value);
    /// Seconds a control or data connection may take to open; then DisConnected(-1,
    /// "connect timeout(timer)") or TransError(-1, "connect timeout", "timer"). 0: no limit.
    /// Not persisted.
    Long get_ConnectTimeout() const;
    void put_ConnectTimeout(Long value);
    /// Seconds an open data connection may go without moving data; then TransError(-2,
    /// "trans timeout", "timer") and the data connection is closed. 0: no limit. Not persisted.
    Long get_TransTimeout() const;
    void put_TransTimeout(Long value);
    /// Seconds to wait for a complete reply on the control connection after it opened or a
    /// line was sent; when they pass, the control connection is closed and DisConnected
    /// carries -1 and "reply timeout(timer)". 0 or less: wait without limit. Not persisted.
    Long get_ReplyTimeout() const;
    void put_ReplyTimeout(Long value);
    /// True (the default): an active-mode data connection is taken only from the address of
    /// the server the control connection goes to. Persisted.
    Boolean get_DataPeerCheck() const;
    void put_DataPeerCheck(Boolean value);
    /// "" (plain FTP), "explicit" (AUTH TLS after the greeting, then PBSZ 0 and PROT P after
    /// the login, so that data connections are protected too) or "implicit" (TLS from the
    /// first byte). Other values: error 54. Matched without regard to case. Persisted.
    String get_TlsMode() const;
    void put_TlsMode(const String& value);
    /// PEM file of the CAs trusted for the server's certificate; "" for the system's store.
    /// Persisted.
    String get_TlsCaFile() const;
    void put_TlsCaFile(const String& value);
    /// True (the default): the server's certificate must be signed by a trusted CA and made
    /// out to the host name or address given to Connect. Persisted.
    Boolean get_TlsVerify() const;
    void put_TlsVerify(Boolean value);
    /// The code of file contents on the host's side: "SJIS" (the default) or "UTF8". Other
    /// values: error 54. Persisted.
    String get_HostCode() const;
    void put_HostCode(const String& value);
    /// False (the default): on a TLS control connection (TlsMode "explicit" or "implicit")
    /// no data connection goes in the clear; while the server has not accepted PROT P (it
    /// refused PBSZ or PROT, or no login has succeeded since) the transfer methods raise
    /// error 70. True: the host accepts data connections in the clear when the server
    /// refuses protection (PROT P is still asked for after every login). Persisted.
    Boolean get_TlsAllowClearData() const;
    void put_TlsAllowClearData(Boolean value);
    /// The command Dir lists with: "LIST" (the default; lines as the server formats them)
    /// or "MLSD" (RFC 3659 facts, one entry a line, times in UTC; see tarsel/listing.h).
    /// Matched without regard to case; other values: error 54. Persisted.
    String get_DirCommand() const;
    void put_DirCommand(const String& value);
    /// False (the default): a passive data connection goes to the address the control
    /// connection reaches, whatever address the server's 227 reply names (its port is
    /// taken); a reply that could send the data connection to another host, the FTP
    /// bounce, is never followed. True: the 227's address is connected to, for the rare
    /// server whose data connections come from another host. EPSV names no address and
    /// always uses the control connection's. Any non-zero value counts as True. Persisted.
    Boolean get_PasvAddress() const;
    void put_PasvAddress(Boolean value);
    /// True while connected and no operation runs: the only state in which the operation
    /// methods are accepted.
    Boolean IsIdle() const;
    /// Caption of the status label.
    String get_Label1() const;
    /// The file size the server's preliminary reply to the running or last download
    /// announced ("(N bytes)"), as the server wrote it; -1 when it gave none. Reset by the
    /// next transfer command.
    std::int64_t AnnouncedSize() const;
    /// The bytes the running or last transfer's data connection has brought, as the server
    /// sent them (before FileCode converts them). Reset by the next transfer command.
    std::uint64_t DataBytes() const;
    /// Every line of the last complete reply, preliminary ones aside, joined by CR LF (a
    /// multi-line reply such as FEAT's whole, up to 64 KiB). Read it in CommandDone.
    String LastReply() const;
    /// The features the server listed in this connection's last answer to FEAT (sent with
    /// QuoteCommand(u"FEAT")), one line each without its leading blank, as the server wrote
    /// them ("MDTM", "REST STREAM", "MLST type*;size*;"). Empty before FEAT, after a refused
    /// one, and from each Connect and each end of the connection on.
    std::vector<String> Features() const;
    /// Whether Features() holds `name` as the first word of a line, compared without regard
    /// to case: HasFeature(u"UTF8"), HasFeature(u"MLST").
    bool HasFeature(const String& name) const;
    /// The TYPE the server has accepted last on this connection ("I", "A", upper-cased as
    /// sent), whoever sent it (Filetype before a transfer, TYPE A before Dir and Ls, or
    /// QuoteCommand); "" while unknown: before any TYPE, from the moment a TYPE line is sent
    /// until its 2xx, after a TYPE the server did not accept, and from each Connect and each
    /// end of the connection on. A host that wants a type the connection already has may set
    /// Filetype to "" for the next transfer and save a round trip.
    String TypeInForce() const;
    /// The command word of the line the control sent last ("RETR", "REST", "PASV"; "PORT" or
    /// "EPRT" for the active-mode set-up), upper-cased; "" from Connect until the first line
    /// goes out. In CommandDone it names the command the final reply answered.
    String LastCommand() const;

    // ---- connection
    // Every operation method below raises AutomationError 17 "Not Idling" (source: its
    // operation name) unless IsIdle() is true, and error 5 (source: the operation name) for
    // "Invalid Argument" for an argument with CR, LF, NUL or a character SysCode cannot
    // write; nothing is sent then.
    // Otherwise it sends its first line and returns; the operation ends with CommandDone.

    /// Opens the control connection to RemoteHost (a name, an IPv4 address, or an IPv6
    /// address with or without brackets) at `port` and logs in: PreCommand lines, then USER
    /// Username, PASS Password on 331, ACCT Account on 332 (explicit TLS: AUTH TLS first,
    /// PBSZ 0 and PROT P after the login). Events: Connected, the Trace of each line, then
    /// CommandDone(code, "Connect", text); a connection that fails gives DisConnected only.
    /// Errors: 59 "AlreadyConnected" while a connection is open or opening; 5 for unsafe
    /// text in the arguments, Account or PreCommand; 54 for a stored Filetype, SysCode, FileCode,
    /// HostCode or TlsMode that is not understood (see ReadProperties); the socket
    /// layer's error (source "TARSEL_Connect()") when the connection cannot even start.
    void Connect(const String& RemoteHost, const String& Username, const String& Password);
    /// Logs in again on the open connection: USER, PASS on 331, ACCT on 332; on a TLS
    /// connection then PBSZ 0 and PROT P, as after Connect's login (a login after a refused
    /// one protects the data connections too). Reports "User".
    void Login(const String& Username, const String& Password);
    /// The orderly end: when idle, sends QUIT (CommandDone(0, "DisConnect", text)); at its
    /// 2xx the control closes the connection, whether or not the server does, and
    /// DisConnected(0, "") follows. Does nothing when already closed; while an operation runs
    /// it raises 17 "Not Idling" (use Abend).
    void DisConnect();
    /// Closes the control connection at once, whatever runs: the open transfer's close event,
    /// then DisConnected, are raised before Abend returns. Never raises. Connect may follow.
    void Abend();
    /// Ends the running transfer: closes its data connection (its close event is raised) and
    /// drops the operation's lines not yet sent. The server's reply then ends the operation
    /// (often 426). Abort before the transfer opened (before the transfer command was sent,
    /// or while its data connection is still connecting, in its TLS handshake or awaited by
    /// the listener) opens no transfer; a positive reply then gives TransError(-5, "transfer
    /// aborted", "host") before the operation's CommandDone. Does nothing when no transfer
    /// runs; never raises.
    void Abort();
    /// Ends the running upload with an end signal no content can imitate: called from inside
    /// PutData, the block the handler leaves in Data is the last one and is sent as data
    /// whatever it holds (a lone 0 byte too; an empty array adds nothing). Called between two
    /// PutData events, the block of the next one is the last. Does nothing when no upload is
    /// open on the host's side; never raises.
    void EndUpload();

    // ---- simple commands (operation name reported by CommandDone in quotes)
    /// "Cd": CWD Directory ("." when empty), then PWD; msg is the PWD reply's text.
    void Cd(const String& Directory);
    /// "Cwd": CWD Directory.
    void Cwd(const String& Directory);
    /// "Pwd": PWD; msg is the reply's text (the directory in double quotes first).
    void Pwd();
    /// "Size": TYPE Filetype (when set), then SIZE File; msg is the size as text.
    void FileSize(const String& File);
    /// "Noop": NOOP.
    void Noop();
    /// "Delete": DELE File.
    void Delete(const String& File);
    /// "MkDir": MKD Directory.
    void MkDir(const String& Directory);
    /// "RmDir": RMD Directory.
    void RmDir(const String& Directory);
    /// "Rename": RNFR FileFrom, then RNTO FileTo.
    void Rename(const String& FileFrom, const String& FileTo);
    /// "Site": SITE LocalCommand.
    void SiteCommand(const String& LocalCommand);
    /// "Quote": ExtraCommand as it stands (no data connection is opened for it).
    void QuoteCommand(const String& ExtraCommand);

    // ---- transfers: TYPE, then PORT/EPRT or PASV/EPSV, then the transfer command. Events:
    // the open event, data events, one close event, then CommandDone (TransError before it
    // when the data connection failed or timed out).
    // On a TLS control connection whose server has not accepted PROT P, each of them raises
    // AutomationError 70 "Data Not Protected" (source: the operation name) and sends nothing,
    // unless TlsAllowClearData is True: its data would cross in the clear.
    /// "Dir": TYPE A, LIST [File] (or MLSD [File], see DirCommand); lines arrive in DirOpen,
    /// DirData..., DirClose.
    void Dir(const String& File = String());
    /// "Ls": TYPE A, NLST [File]; as Dir.
    void Ls(const String& File = String());
    /// "GetFile": downloads the remote File: TYPE Filetype, REST Rest (when set), RETR File.
    /// LocalFile is only handed back in GetOpen: the control writes no file.
    void GetFile(const String& File, const String& LocalFile = String());
    /// "PutFile": uploads to the remote File (the remote name first, unlike `put LOCAL
    /// REMOTE` of command-line clients): TYPE Filetype, STOR File. The bytes are asked for in
    /// PutData; LocalFile is only handed back in PutOpen.
    void PutFile(const String& File, const String& LocalFile = String());
    /// "AppendFile": as PutFile with APPE File.
    void AppendFile(const String& File);

    // ---- lifecycle with the host's property storage
    /// Sets every persisted property to its default, as for a new control on a form.
    void InitProperties();
    /// Reads the persisted properties (missing keys take their defaults). Filetype, SysCode,
    /// FileCode, TlsMode and HostCode are taken as their writers take them ("euc" loads as
    /// "EUC"); a stored text their writer would refuse is kept as stored, without error, and
    /// Connect then raises error 54 with the property as source. Booleans load as True or
    /// False. Account and PreCommand load as stored and are checked by Connect.
    void ReadProperties(PropertyBag& bag);
    /// Writes every persisted property.
    void WriteProperties(PropertyBag& bag) const;
    /// The host changed the control's size (host units); it goes back to 32 x 32 pixels.
    void Resize(Long width, Long height);
    Long get_Width() const;
    Long get_Height() const;
    void ShowAboutBox();

private:
    friend struct tarselInspector;  // white-box access for the unit tests
    /// Everything else: the dialogue state, the sockets, timers and the outbox.
    std::unique_ptr<ControlCore> m_Core;
};

}  // namespace tarselctl

TARSEL_API_END

// One run of tarsel-ftp: the control's event sink and the sequence of commands it works off.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <tarsel/tarsel.h>

#include "command_line.h"
#include "download_file.h"
#include "mget_job.h"
#include "mirror_job.h"
#include "parallel_run.h"
#include "progress_meter.h"
#include "session_output.h"
#include "session_setup.h"
#include "tree_walk.h"
#include "upload_source.h"

namespace tarselftp {

/// Drives the control from a list of commands. Exactly one command runs at a time; the next
/// one starts once the control has reported the end of the current one. Everything happens
/// on the io_context's thread, inside the control's events or the input's callbacks.
///
/// Many-file commands (mget, mput, mirror) are broken into steps as they go: a listing step
/// that ends puts the transfers it found at the front of the queue, so a directory tree is
/// walked one listing at a time and never held whole.
class FtpSession : public tarselctl::tarselEvents, private MirrorJob::Host, private MgetJob::Host {
public:
    /// Asks the user for a secret (a password) without echo; the answer, or nothing when
    /// the user gave up, arrives later through the callback.
    using SecretAsker =
        std::function<void(const std::string& prompt, std::function<void(std::optional<std::string>)>)>;

    FtpSession(asio::io_context& io, tarselctl::tarsel& control, const Options& options,
               SessionOutput& output);
    ~FtpSession() override;
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;

    /// Interactive: a failed command does not end the session, a lost connection leaves it
    /// unconnected, success is reported in a line, and Ctrl-C aborts only what runs.
    void SetInteractive(bool interactive) { interactive_ = interactive; }
    void SetSecretAsker(SecretAsker asker) { askSecret_ = std::move(asker); }
    /// Whether commands are read from standard input (then `put -` cannot read data there).
    void SetCommandsFromStandardInput(bool fromStdin) { commandsFromStdin_ = fromStdin; }
    /// The platform the control runs on: transfers over several connections open their
    /// controls on it. Without it they run one at a time on the session's connection.
    void SetPlatform(tarselctl::Platform& platform) { platform_ = &platform; }
    /// Tab completes remote names: the remote directory is listed once while a prompt waits
    /// (again after a change of directory, or once the names are a while old).
    void SetRemoteCompletion(bool on) { remoteCompletion_ = on; }
    /// The names of the remote directory as last listed (directories end in '/'); empty
    /// while none are known for the current directory.
    std::vector<std::string> RemoteNames() const;
    /// The names of `directory` (relative to the remote directory, or absolute) for Tab
    /// after a '/'. Unknown ones are listed while the prompt waits, so a second Tab finds
    /// them.
    std::vector<std::string> RemoteNames(const std::string& directory);
    /// "tarsel:/dir> " once the remote directory is known, else "tarsel> ".
    std::string PromptText() const;

    /// A URL's PATH that does not end in '/': after the login it is changed to when it is a
    /// directory, as lftp does, and fetched (a get ahead of everything queued) when it is
    /// not; `resolved` then says which (true: a directory).
    void SetStartPath(std::string path, std::function<void(bool directory)> resolved) {
        startPath_ = std::move(path);
        onStartPath_ = std::move(resolved);
    }
    /// Applies the options to the control and starts connecting (when a host is given).
    /// False when the session could not even start (the reason is printed).
    bool Start();
    /// One command line, as typed or scripted.
    void AddLine(const std::string& line);
    /// No more lines will come: the session quits once the queued commands have run.
    void EndOfInput();
    /// The user pressed the interrupt key.
    void Interrupt();
    /// Called once the session is over; the program may stop its loop then.
    void OnFinished(std::function<void()> handler) { onFinished_ = std::move(handler); }
    /// Called when the session wants no more input lines.
    void OnInputUnwanted(std::function<void()> handler) { onInputUnwanted_ = std::move(handler); }
    /// Called whenever the session has nothing left to do and waits for the next line.
    void OnWaitingForLine(std::function<void()> handler) { onWaiting_ = std::move(handler); }

    bool Finished() const { return phase_ == Phase::Finished; }
    /// Nothing runs or is queued: a prompt may be shown.
    bool WaitingForLine() const;
    /// 0 when every command succeeded, 1 otherwise; interactive: the status of the last
    /// command typed before quit (a mistyped command early on does not count at the end).
    int ExitStatus() const { return (interactive_ ? lastFailed_ : failures_ != 0) ? 1 : 0; }

    // ---- the control's events
    void Trace(const tarselctl::String& msg) override;
    void Connected() override;
    void DisConnected(tarselctl::Long code, const tarselctl::String& msg) override;
    void CommandDone(tarselctl::Integer code, const tarselctl::String& FtpCommand,
                     const tarselctl::String& msg) override;
    void GetOpen(const tarselctl::String& SaveFileName) override;
    void GetData(tarselctl::ByteArray& Data) override;
    void GetClose() override;
    void PutOpen(const tarselctl::String& LoadFileName) override;
    void PutData(tarselctl::ByteArray& Data) override;
    void PutClose() override;
    void DirOpen() override;
    void DirData(tarselctl::String& Data) override;
    void DirClose() override;
    void TransError(tarselctl::Long Ecode, const tarselctl::String& Description,
                    const tarselctl::String& Where) override;

private:
    enum class Phase { Idle, Connecting, Ready, Running, Quitting, Closing, Closed, Shell, Finished };
    /// Where a fault lies, which the error line says first.
    enum class Fault { Server, Connection, Local };

    /// The command that runs now and what has gone wrong with it so far.
    struct Running {
        std::uint64_t id = 0;
        std::optional<Command> command;  // empty for the login that Connect starts
        std::string operation;
        /// The operation and its arguments, as error lines name them: "GetFile pub/x".
        std::string subject;
        bool isTransfer = false;
        bool dataOpen = false;
        bool abortRequested = false;
        SetupStep setupStep = SetupStep::None;
        /// First fault on this side (local file, abort); it outranks everything else.
        std::optional<std::string> localFault;
        /// First error of the data connection; a refusal by the server outranks it, since
        /// a server that refuses often drops the data connection first.
        std::optional<std::string> transErrorCode;
        std::string transErrorText;
        std::string transErrorWhere;
        /// Listing lines kept for the step instead of printed, and their total size.
        bool capture = false;
        /// The kept lines answer MLSD (else LIST or NLST).
        bool mlsd = false;
        /// A mirror step that changes into its directory and lists it once that succeeded.
        bool listAfterCd = false;
        /// A resumed download asks the remote file's size before its REST and RETR.
        bool sizeBeforeResume = false;
        /// That SIZE is asked only for the meter's percent (a download from the start).
        bool sizeForMeter = false;
        /// The server did not tell the size, so a resume that brings nothing proves nothing.
        bool resumeUnchecked = false;
        /// A resumed upload asks the remote file's size before its APPE.
        bool sizeBeforeUpload = false;
        /// What SIZE said of the whole remote file just before a resumed download.
        std::optional<std::uint64_t> sizeAsked;
        std::vector<std::string> lines;
        std::size_t capturedBytes = 0;
        /// The lines of the reply that ended it (quote and site print them, MDTM's is read).
        std::vector<std::string> replies;
        // The progress of a transfer.
        std::chrono::steady_clock::time_point started;
        std::uint64_t bytes = 0;
        std::uint64_t offset = 0;
        std::optional<std::uint64_t> total;
        std::optional<ProgressMeter> meter;
        bool meterKnowsTotal = false;
    };

    /// Typed text as the control takes it; malformed UTF-8 is refused (AutomationError).
    static tarselctl::String ExactText(std::string_view text, std::u16string_view operation);
    static std::string HomeDirectory();

    void BeginConnect();
    void StartNext();
    void Execute(Command command);
    bool ExecuteLocal(const Command& command);
    void StartControlCommand(const Command& command);
    void StartGet(const Command& command);
    void StartPut(const Command& command);
    /// REST (when resuming) and RETR of the running get, whose local file is prepared.
    void RequestDownload();
    /// The end of the SIZE asked before a resumed download: on to RETR, or the end.
    void ResumeAfterSize(Running r, std::int32_t code, const std::string& text);
    /// The end of the SIZE asked before a resumed upload: on to APPE (or STOR), or the end.
    void ResumeUploadAfterSize(Running r, std::int32_t code, const std::string& text);
    void StartQuit();
    void StartClose();
    void StartShell(const Command& command);
    void Complete(std::int32_t code, const std::string& text);
    /// Why a download the server called complete is not: its bytes and every size known
    /// of the file disagree. Empty when they agree or nothing can be compared.
    std::string DownloadMismatch(const Running& r) const;
    void Succeeded(Running& r, const std::string& text);
    void ExpandMput(const Command& command);
    // ---- set, alias, bookmark (session_settings.cpp)
    void ExecuteSet(const Command& command);
    void ExecuteAlias(const Command& command);
    void ExecuteBookmark(const Command& command);
    /// The settings `set` shows, one "name value" a line.
    std::string SettingsText() const;
    /// The line with its first word replaced by the alias of that name, if there is one.
    std::string ExpandAlias(const std::string& line) const;
    /// $XDG_DATA_HOME/tarsel-ftp/bookmarks (~/.local/share/...), "" without a home.
    static std::string BookmarkFile();
    static std::map<std::string, std::string> ReadBookmarks(std::string* error = nullptr);
    // ---- patterns and cls (session_patterns.cpp)
    /// A pattern among the command's remote names: the listing that expands it is queued,
    /// the command right behind it. Several names for a command that takes one: one command
    /// each. False when the command can run as it is.
    bool ExpandPatterns(Command& command);
    /// The listing of a pattern's directory: the command behind it gets the matches.
    void GlobListed(const Running& r);
    void StartCls(const Command& command);
    void ClsListed(const Running& r);
    /// cat, chmod, rm, mkdir, find, du: the steps they are made of.
    void ExpandDailyCommand(const Command& command);
    /// The walk's next step, queued ahead of `next` (the walk's own entry), which then asks
    /// for the one after; nothing once the walk is done.
    void RunWalkStep(const Command& next);
    /// What the walk printed or failed on the way.
    void TakeWalkOutput(TreeWalk::Output output);
    // ---- jobs (session_jobs.cpp)
    /// mget: its job is made from the typed command and queues its first steps.
    void StartMget(const Command& typed);
    void MgetNote(const std::string& line) override;
    void MgetWarn(const std::string& line) override;
    void MgetFail(const std::string& text) override;
    /// mirror: its job is made from the typed command and starts with its first step.
    void StartMirror(const Command& typed);
    /// The job that `step` belongs to, if it is the mirror under way.
    MirrorJob* MirrorOf(const Command& step) const;
    /// The mirror is over (walked, or cut short): its summary line, and the job is let go
    /// once the loop has left it. True when it failed somewhere on the way.
    bool EndMirror();
    void MirrorOut(const std::string& text) override;
    void MirrorWarn(const std::string& line) override;
    void MirrorFail(const std::string& subject, const std::string& text) override;
    bool MirrorCanAskTime() const override { return features_.mdtm; }
    bool MirrorCanSetTime() const override { return features_.mfmt; }
    bool MirrorCanRunParallel() const override { return platform_ != nullptr; }
    ParallelRun& MirrorRun(int connections, std::uint64_t job) override;
    void MirrorTimeAnswered(std::uint64_t job, const Command& step, std::optional<std::int64_t> time) override;
    void MirrorRemoveDirectory(const std::string& parent, const std::string& name) override;
    /// Dir in the form mget and mirror read: MLSD where FEAT offered it, else LIST.
    /// `showsLinks`: LIST even where MLSD is offered, since its "l" tells a link apart.
    void StartMachineListing(const std::string& path, bool showsLinks = false);
    /// Steps of the job that runs now, in this order, ahead of everything queued.
    void PushSteps(std::vector<Command> steps);
    void DropJob(std::uint64_t job);
    // ---- the steps after the login (session_setup.cpp)
    /// The login succeeded: FEAT, then the steps that follow from its answer.
    void BeginSessionSetup();
    /// The end of a setup step; FEAT and OPTS are courtesies, so a refusal changes nothing.
    void EndSetupStep(const Running& r, std::int32_t code);
    /// After FEAT: what it offered, the code of names, and OPTS UTF8 ON where the server wants it.
    void ApplyFeatures(bool answered);
    void StartSetupStep(const std::string& line, SetupStep step);
    /// The step after those that follow FEAT: the CWD to the start path, else the PWD.
    void ContinueSetup();
    /// The start path was found a directory (`directory`) or not.
    void ResolveStartPath(bool directory);
    /// Before each Connect: the TlsMode the user's choice means (--tls, set tls); without a
    /// choice AUTH TLS is tried and a refusal lets the session go on in plain.
    void ChooseTls();
    /// Opens the control connection with the session's host and login; a refusal of the
    /// call itself (bad text, a stored setting) ends the open as a local failure.
    void ConnectControl(bool chooseTls);
    void ConnectFailed(const std::string& why);
    /// The server refused AUTH TLS (DisConnected -12): true when TLS was only tried and the
    /// login starts again without it.
    bool GoPlainAfterRefusedAuth(const std::string& reply);
    /// The listing after the login that judges the code of names, read in `reading`.
    void StartNamesProbe(const char16_t* reading);
    /// The end of that listing: judged, or asked again in the next code.
    void EndNamesProbe();
    /// A listing line, as DirData has it: evidence of the code of names.
    void ObserveNames(const tarselctl::String& line);
    /// A listing ended: a verdict it changed takes effect.
    void ApplyNameVerdict();
    /// The reason a TLS failure ended the connection, with what the user can do about it.
    std::string ExplainTlsFailure(tarselctl::Long code, std::string reason) const;
    /// A refused login whose text asks for encryption on a plain connection: how to get it.
    void HintEncryption(const std::string& text);
    // ---- transfers over several connections (parallel_session.cpp)
    /// Takes `command` and the transfers of its job queued right behind it as one run; the
    /// remote directory is learnt first.
    void BeginParallel(Command command);
    void StartParallel(const std::optional<std::string>& directory);
    /// A run over `connections` more connections with the session's server and settings.
    void CreateParallelRun(int connections);
    /// Whether the next step must wait for the run: a mirror's walk that has no step left
    /// seals its run here.
    bool AwaitParallelRun();
    void ParallelEnded();
    void Fail(Fault fault, const std::string& code, const std::string& subject, const std::string& text);
    void FailRunning(Running& r, std::int32_t code, const std::string& text);
    void NoteLocalFault(const std::string& text);
    void RequestAbort();
    void AbortForFault(const std::string& error);
    void PostAbort();
    void StopAfterFailure();
    /// A many-file command lost the connection under one of its steps (or the connection
    /// it is having opened again failed): the step is queued again, and after a pause that
    /// doubles each time the connection is opened with the same login and the job goes on
    /// in the same directory, up to --retries times. False when that does not apply.
    bool ReconnectForJob(bool wasConnected, const std::string& lostDirectory, const std::string& reason);
    /// Ctrl-C during the pause: the job is given up as the lost connection would have.
    void GiveUpReconnect();
    /// Ends a download that failed and tells where its bytes were kept, if anywhere.
    void FinishFailedDownload();
    void TellKeptPart();
    void Finish();
    void UpdateMeter(bool final);
    void TraceEvent(const std::string& text);
    /// Server text (listing lines, replies) to standard output.
    void Print(const std::string& text);
    /// One line to standard error; it may hold server text.
    void PrintError(const std::string& line);
    void Note(const std::string& line);
    bool ShowsProgress() const;

    asio::io_context& io_;
    tarselctl::tarsel& control_;
    Options options_;
    SessionOutput& output_;
    asio::steady_timer quitGuard_;
    asio::steady_timer abortGuard_;
    asio::signal_set childSignal_;
    Phase phase_ = Phase::Idle;
    std::deque<Command> queue_;
    bool inputEnded_ = false;
    bool interactive_ = false;
    bool commandsFromStdin_ = true;
    bool connected_ = false;
    bool passive_ = true;
    SecretAsker askSecret_;
    /// The connection being opened tries AUTH TLS without the user having asked for it.
    bool tlsOpportunistic_ = false;
    /// What FEAT's reply listed.
    struct Features {
        bool utf8 = false;
        bool mlst = false;
        bool mdtm = false;
        bool mfmt = false;
    };
    Features features_;
    NameCodeWatch names_;
    std::string startPath_;
    std::function<void(bool)> onStartPath_;
    std::optional<Running> running_;
    std::optional<std::uint64_t> pendingRest_;
    /// The remote directory as the last PWD (or cd) told it; empty when unknown.
    std::string remoteDirectory_;
    bool remoteCompletion_ = false;
    /// Names of `namesDirectory_`, listed at `namesListed_`.
    std::vector<std::string> remoteNames_;
    std::string namesDirectory_;
    std::chrono::steady_clock::time_point namesListed_;
    /// Names of other directories Tab was pressed in, by remote directory and the directory
    /// as typed; the one to list next.
    std::map<std::pair<std::string, std::string>, std::vector<std::string>> otherNames_;
    std::string otherNamesWanted_;
    /// alias NAME TEXT.
    std::map<std::string, std::string> aliases_;
    /// find, du, rm -r, mkdir -p, and a mirror's removal of remote directories.
    TreeWalk walk_;
    /// The walk is rm -rf's: a name that is not there is passed over quietly.
    bool walkForce_ = false;
    /// The job of the command that runs now (0: none).
    std::uint64_t activeJob_ = 0;
    /// The mirror under way; one that has ended, kept until the loop has left its calls.
    std::unique_ptr<MirrorJob> mirror_;
    std::unique_ptr<MirrorJob> mirrorEnded_;
    /// The last mget; the steps of one that an interrupt cut short find it gone.
    std::unique_ptr<MgetJob> mget_;
    /// The kept part file already told about.
    std::string toldKeptPart_;
    /// The partial file a failed get kept, told after its error line.
    std::string keptPartNote_;
    DownloadFile download_;
    UploadSource upload_;
    int failures_ = 0;
    /// The command typed last (its steps included) failed.
    bool lastFailed_ = false;
    std::uint64_t commandCount_ = 0;
    /// The last complete reply line ("226 Transfer complete.").
    std::string lastReply_;
    int shellPid_ = -1;
    std::function<void()> onFinished_;
    std::function<void()> onInputUnwanted_;
    std::function<void()> onWaiting_;
    tarselctl::Long cookie_ = 0;
    tarselctl::Platform* platform_ = nullptr;
    /// The transfers waiting for the directory their run resolves names against.
    std::vector<Command> parallelBatch_;
    std::unique_ptr<ParallelRun> parallel_;
    /// The run that has ended, kept until the loop has left its events.
    std::unique_ptr<ParallelRun> parallelEnded_;
    /// The job of the mirror whose walk still adds files to `parallel_`; 0 when none does.
    std::uint64_t parallelWalk_ = 0;
    /// The session's connection keeps itself alive with NOOP while a run goes on (it was not
    /// asked to otherwise): servers end a connection idle for minutes, and the next command
    /// would find it gone.
    bool keepAliveForRun_ = false;
    /// The session's connection was lost during a run of a script: it ends with the run.
    bool finishAfterRun_ = false;
    asio::steady_timer reconnectTimer_;
    /// The job whose connection is being opened again (0: none), how often it has been for
    /// it in a row, and the directory it worked in.
    std::uint64_t reconnectJob_ = 0;
    std::int32_t reconnects_ = 0;
    std::string reconnectDirectory_;
    /// The step whose connection went under it, until the connection's end is reported.
    std::optional<Command> lostStep_;
    std::string lostSubject_;
};

}  // namespace tarselftp

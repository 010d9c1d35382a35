// One run of tarsel-ftp: the control's event sink and the sequence of commands it works off.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <tarsel/tarsel.h>

#include "command_line.h"
#include "download_file.h"
#include "upload_source.h"

namespace tarselftp {

/// Drives the control from a list of commands. Exactly one command runs at a time; the next
/// one starts once the control has reported the end of the current one. Everything happens
/// on the io_context's thread, inside the control's events or the input's callbacks.
class FtpSession : public tarselctl::tarselEvents {
public:
    FtpSession(asio::io_context& io, tarselctl::tarsel& control, const Options& options);
    ~FtpSession() override;
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;

    /// Applies the options to the control and starts connecting. False when the connection
    /// could not even be started (the reason is printed).
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

    bool Finished() const { return phase_ == Phase::Finished; }
    /// 0 when every command succeeded, 1 otherwise.
    int ExitStatus() const { return failures_ == 0 ? 0 : 1; }

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
    enum class Phase { Idle, Connecting, Ready, Running, Quitting, Finished };
    /// Lines the session sends on its own after the login.
    enum class SetupStep { None, Features, Utf8On };

    /// The command that runs now and what has gone wrong with it so far.
    struct Running {
        std::uint64_t id = 0;
        std::optional<Verb> verb;  // empty for the login that Connect starts
        std::string operation;
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
    };

    void StartNext();
    void Execute(const ParsedLine& parsed);
    void StartControlCommand(const Command& command);
    void StartQuit();
    void Complete(std::int32_t code, const std::string& text);
    void StartSetupStep(const std::string& line, SetupStep step);
    void Fail(const std::string& code, const std::string& operation, const std::string& text);
    void NoteLocalFault(const std::string& text);
    void RequestAbort();
    void AbortForFault(const std::string& error);
    void PostAbort();
    void StopAfterFailure();
    void Finish();
    void TraceEvent(const std::string& text);
    /// Server text (listing lines, replies) to standard output.
    void Print(const std::string& text);
    /// One line to standard error; it may hold server text.
    void PrintError(const std::string& line);

    asio::io_context& io_;
    tarselctl::tarsel& control_;
    Options options_;
    asio::steady_timer quitGuard_;
    asio::steady_timer abortGuard_;
    Phase phase_ = Phase::Idle;
    std::deque<ParsedLine> queue_;
    bool inputEnded_ = false;
    /// FEAT's reply listed UTF8.
    bool featuresListUtf8_ = false;
    std::optional<Running> running_;
    std::optional<std::uint64_t> pendingRest_;
    DownloadFile download_;
    UploadSource upload_;
    int failures_ = 0;
    std::uint64_t commandCount_ = 0;
    std::function<void()> onFinished_;
    std::function<void()> onInputUnwanted_;
    tarselctl::Long cookie_ = 0;
    /// Where the output is a terminal, control characters of server text are shown, not
    /// obeyed. Redirected output stays byte for byte what the server sent.
    bool stdoutIsTerminal_ = false;
    bool stderrIsTerminal_ = false;
};

}  // namespace tarselftp

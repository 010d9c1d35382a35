// One control of a transfer queue: its login, the attempt it runs and what its events say.
#pragma once

#include <optional>

#include <tarsel/transfer_queue.h>

#include "queue/transfer_ledger.h"

namespace tarselctl {

class TARSEL_INTERNAL TransferQueue::Connection final : public tarselEvents {
public:
    enum class State {
        Closed,      ///< no control connection (never opened, lost, or logged out)
        Connecting,  ///< Connect runs: connection, login, and FEAT / OPTS when asked for
        Ready,       ///< logged in and idle
        Busy,        ///< an attempt at `job` runs
        Quitting,    ///< QUIT sent, or the login failed and the connection is being closed
    };
    /// Which command of the attempt runs.
    enum class Phase {
        Transfer,      ///< the job's own command
        ResumeSize,    ///< SIZE before a download resumes: is it still the same file?
        ResumeModified,///< MDTM before a download resumes
        UploadSize,    ///< SIZE before an upload resumes: where to append from
        UploadStored,  ///< SIZE after an upload: did the server keep every byte?
    };
    /// The steps of a login after the control's own.
    enum class Setup { None, Features, Utf8On };

    Connection(TransferQueue& queue, int index);
    ~Connection() override;

    /// Opens the control connection and logs in; false (nothing opened) when Connect refused.
    bool Open(QueueJobError& error);
    /// Starts the attempt of `job` that the queue has announced; false when the control
    /// refused the operation (the reason in `error`), and the connection is Ready again.
    bool Begin(QueueJobError& error);
    /// Sends the next command of the attempt (after a check); false as Begin.
    bool Send(Phase phase, QueueJobError& error);
    /// Sends QUIT when idle.
    void Quit();
    /// Ends a connection whose login was refused.
    void Drop();
    /// One tick of the wait for the reply to a range's cut; closes the connection when the
    /// wait is over.
    void GiveUpDraining();
    void Abort() { control_->Abort(); }
    bool Idle() const { return state_ == State::Ready && control_->IsIdle() != False; }
    std::uint64_t DataBytes() const { return control_->DataBytes(); }
    std::int64_t AnnouncedSize() const { return control_->AnnouncedSize(); }
    /// The attempt's ledger as it stands.
    TransferLedger Ledger() const;

    State state_ = State::Closed;
    Phase phase_ = Phase::Transfer;
    std::optional<Job> job_;

    // ---- what the running attempt has met
    /// The first TransError of the attempt.
    Long transError_ = 0;
    String transDescription_, transWhere_;
    /// A check of the attempt's bytes that failed, and what it found.
    QueueIntegrity integrity_ = QueueIntegrity::None;
    String integrityText_;
    /// The download's range has arrived and its transfer was ended on purpose.
    bool rangeComplete_ = false;
    /// The job has ended with its range; the control still waits for the server's reply
    /// to the cut, for this many more ticks of the queue's timer (-1: not waiting).
    int draining_ = -1;
    /// The control connection went while the attempt ran.
    bool lost_ = false;
    /// The offset the attempt's REST asked for (0: no REST).
    std::uint64_t restAt_ = 0;
    /// Bytes at the start of the attempt still to compare with the job's tail.
    std::size_t overlap_ = 0;
    /// Where the attempt's bytes start in the file, and what the job had secured then.
    std::uint64_t attemptStart_ = 0;
    std::uint64_t doneBefore_ = 0;
    /// The command word of the last line the control sent.
    String LastSent() const { return control_->LastCommand(); }
    /// The text of the reply that ended the attempt's transfer (its checks follow it).
    String transferReply_;

    // ---- the control's events
    void Trace(const String& msg) override;
    void CommandDone(Integer code, const String& FtpCommand, const String& msg) override;
    void DisConnected(Long code, const String& msg) override;
    void GetData(ByteArray& Data) override;
    void PutData(ByteArray& Data) override;
    void DirData(String& Data) override;
    void TransError(Long Ecode, const String& Description, const String& Where) override;

private:
    void ResetAttempt();
    /// Asks the host for the upload's block at `offset`.
    ByteArray AskBlock(JobId id, std::uint64_t offset);
    void SetupDone(Integer code, const String& msg);

    TransferQueue& queue_;
    int index_;
    std::unique_ptr<tarsel> control_;
    Long cookie_ = 0;
    Setup setup_ = Setup::None;
    /// FEAT listed UTF8.
    bool utf8Offered_ = false;
};

}  // namespace tarselctl

// One control of a transfer queue: its login, the attempt it runs and what its events say.
#pragma once

#include <optional>

#include <tarsel/sent_type.h>
#include <tarsel/transfer_queue.h>

namespace tarselctl {

class TARSEL_INTERNAL TransferQueue::Connection final : public tarselEvents {
public:
    enum class State {
        Closed,      ///< no control connection (never opened, lost, or logged out)
        Connecting,  ///< Connect runs: connection, login
        Ready,       ///< logged in and idle
        Busy,        ///< an attempt at `job` runs
        Quitting,    ///< QUIT sent, or the login failed and the connection is being closed
    };

    Connection(TransferQueue& queue, int index);
    ~Connection() override;

    /// Opens the control connection and logs in; false (nothing opened) when Connect refused.
    bool Open(QueueJobError& error);
    /// Starts the attempt of `job` that the queue has announced; false when the control
    /// refused the operation (the reason in `error`), and the connection is Ready again.
    bool Begin(QueueJobError& error);
    /// Sends QUIT when idle.
    void Quit();
    /// Ends a connection whose login was refused.
    void Drop();
    /// One tick of the wait for the reply to a range's cut; closes the connection when the
    /// wait is over.
    void GiveUpDraining();
    void Abort() { control_->Abort(); }
    bool Idle() const { return state_ == State::Ready && control_->IsIdle() != False; }

    State state_ = State::Closed;
    std::optional<Job> job_;

    // ---- what the running attempt has met
    /// The first TransError of the attempt.
    Long transError_ = 0;
    String transDescription_, transWhere_;
    /// The download's range has arrived and its transfer was ended on purpose.
    bool rangeComplete_ = false;
    /// The job has ended with its range; the control still waits for the server's reply
    /// to the cut, for this many more ticks of the queue's timer (-1: not waiting).
    int draining_ = -1;
    /// The upload could not be handed to the control (see PutData).
    bool unsendable_ = false;
    /// The control connection went while the attempt ran.
    bool lost_ = false;
    /// The offset the attempt's REST asked for (0: no REST).
    std::uint64_t restAt_ = 0;
    /// The command word of the last line sent.
    String lastSent_;

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

    TransferQueue& queue_;
    int index_;
    std::unique_ptr<tarsel> control_;
    Long cookie_ = 0;
    /// So that a transfer of the type the connection has already sends no TYPE line.
    SentType type_;
    /// Upload bytes taken from the host and not yet handed to the control, and whether the
    /// host has signalled the end.
    ByteArray pending_;
    bool hostEnded_ = false;
};

}  // namespace tarselctl

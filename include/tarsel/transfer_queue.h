// A queue of transfers run over several controls to one server, on the host's loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <tarsel/platform.h>
#include <tarsel/tarsel.h>
#include <tarsel/types.h>
#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

/// Identifies a job from Add until its JobFinished or JobFailed; never 0, never reused.
using JobId = std::uint64_t;

/// One piece of work for the queue.
struct QueueJob {
    enum class Kind {
        Download,         ///< RETR Remote; bytes arrive in JobData at their file offsets
        Upload,           ///< STOR Remote (APPE when Offset > 0); bytes asked for in JobPutData
        MakeDirectory,    ///< MKD Remote
        Remove,           ///< DELE Remote
        RemoveDirectory,  ///< RMD Remote
        List,             ///< LIST Remote; lines arrive in JobLine
        NameList,         ///< NLST Remote; lines arrive in JobLine
        Size,             ///< SIZE Remote; JobFinished's message is the size
        Quote,            ///< Remote is a command line, sent as written (QuoteCommand); JobFinished's
                          ///< message is the text of the reply (MDTM, MFMT and the like)
    };
    static constexpr std::uint64_t kToEnd = std::numeric_limits<std::uint64_t>::max();

    Kind kind = Kind::Download;
    String remote;
    /// Download: the restart offset of the first attempt (REST). Upload: the number of
    /// bytes the remote file already holds; the upload appends from there.
    std::uint64_t offset = 0;
    /// Download only: how many bytes from `offset` are wanted. Once they have arrived the
    /// transfer is ended with Abort and the job has succeeded (JobFinished with an empty
    /// message), whatever the server says of the cut (one range of a segmented download).
    /// The connection takes the next job once the server has answered the cut; one that has
    /// not within 5 seconds is closed and replaced.
    std::uint64_t length = kToEnd;
};

/// How a job ended when it did not succeed.
struct QueueJobError {
    /// The CommandDone code that ended the last attempt: the server's reply code, -1 for a
    /// lost connection or one that could not log in; 0 when a TransError alone failed it.
    Integer code = 0;
    /// The control's operation name ("GetFile", "Connect", ...), or "" for a job that
    /// never reached a control.
    String operation;
    /// The text of that CommandDone, or of DisConnected for a lost connection.
    String message;
    /// The TransError of the last attempt (0 when there was none), or the DisConnected
    /// code of a connection that never logged in.
    Long transError = 0;
    String transDescription;
    String transWhere;
    /// The server refused REST at an offset the host asked for.
    bool restRefused = false;
    /// Cancel or CancelAll ended it.
    bool cancelled = false;
    /// Attempts made, the last included (0 when the job never started).
    int attempts = 0;
};

/// The queue's events, raised on the loop's thread from inside the controls' events. Every
/// member does nothing by default. Handlers may call Add, Cancel, CancelAll and Close; they
/// must not destroy the queue.
///
/// Order: each job raises JobStarted once per attempt, then its data and progress events,
/// then exactly one of JobFinished or JobFailed, and nothing after that. QueueEmpty follows
/// the end of the last job when nothing is queued or running any more (once each time the
/// queue runs dry; a handler that adds jobs before then postpones it).
class TransferQueueEvents {
public:
    virtual ~TransferQueueEvents() = default;
    /// An attempt at the job has been handed to a control (attempt counts from 1).
    virtual void JobStarted(JobId job, int attempt) { (void)job; (void)attempt; }
    /// Downloaded bytes of the job, to be written at `offset` in the local file. A retried
    /// attempt resumes where the last one stopped, or, when the server refuses REST, starts
    /// again from the job's offset (so bytes at offsets already written come again, the same).
    virtual void JobData(JobId job, std::uint64_t offset, ByteArray& data) {
        (void)job; (void)offset; (void)data;
    }
    /// Asks for the upload's bytes at `offset` of the local file: the handler fills `data`
    /// (it arrives empty) with the next block, of any length, and leaves it empty at the end.
    virtual void JobPutData(JobId job, std::uint64_t offset, ByteArray& data) {
        (void)job; (void)offset; (void)data;
    }
    /// One listing line of a List or NameList job.
    virtual void JobLine(JobId job, const String& line) { (void)job; (void)line; }
    /// Bytes of the job moved so far, counted from its offset, over all its attempts.
    virtual void JobProgress(JobId job, std::uint64_t bytes) { (void)job; (void)bytes; }
    /// The job succeeded; `message` is the text of the final reply (a Size job: the size).
    virtual void JobFinished(JobId job, const String& message) { (void)job; (void)message; }
    virtual void JobFailed(JobId job, const QueueJobError& error) { (void)job; (void)error; }
    /// Nothing is queued or running any more.
    virtual void QueueEmpty() {}
    /// The trace of connection `connection` (counted from 0), as the control raised it.
    virtual void Trace(int connection, const String& msg) { (void)connection; (void)msg; }
};

/// The server a queue logs in to: the control properties of `settings` (port, Passive,
/// Account, PreCommand, Filetype, codes, TLS, time-outs, NoopTime, DataPeerCheck, TraceOn)
/// are copied to every control the queue opens; host, user and password go to Connect.
struct QueueServer {
    String host;
    String user;
    String password;
};

/// Runs jobs over up to `connections` controls on the platform's loop. Controls are
/// created and logged in only when jobs wait and none is idle. Never blocks: every call
/// returns at once, and the work is done in the controls' events.
///
/// A job whose connection is lost, whose data connection fails or whose server answers with
/// a transient refusal (4xx) is tried again, up to `maxRetries` more times, on a fresh or
/// another connection; downloads and uploads resume where they stopped (REST for a
/// download, SIZE and APPE for an upload) when the file's bytes are not converted, and
/// start again from their offset when they are or the server refuses REST. A connection
/// that cannot log in while others can lowers the number of connections to those that can
/// (a server's per-user limit); when none can, the jobs waiting fail with its error.
class TransferQueue {
public:
    TransferQueue(Platform& platform, const tarsel& settings, QueueServer server, int connections,
                  TransferQueueEvents& events);
    ~TransferQueue();
    TransferQueue(const TransferQueue&) = delete;
    TransferQueue& operator=(const TransferQueue&) = delete;

    /// Queues a job behind the others and starts it as soon as a control is free.
    JobId Add(QueueJob job);
    /// Ends a job: one still waiting fails at once with `cancelled`; a running one has its
    /// transfer aborted and fails with `cancelled` when its control reports the end. False
    /// for a job that is unknown or has ended.
    bool Cancel(JobId job);
    /// Cancels every job, waiting or running.
    void CancelAll();
    /// Logs every connection out (QUIT) once it is idle; later jobs open new ones.
    void Close();

    /// More tries after the first, per job (default 3).
    int maxRetries = 3;

    std::size_t Waiting() const { return waiting_.size(); }
    std::size_t Running() const;
    /// Controls connected or connecting.
    std::size_t Connections() const;
    /// The most connections the queue opens now: the number asked for, or fewer after
    /// logins were refused while other connections worked.
    int ConnectionLimit() const { return limit_; }

private:
    struct Job {
        JobId id = 0;
        QueueJob request;
        /// Bytes delivered (download) or accepted by the control (upload) from request.offset.
        std::uint64_t done = 0;
        int attempts = 0;
        bool cancelRequested = false;
        /// The next attempt starts from request.offset again (REST refused or bytes converted).
        bool restart = false;
        /// The next attempt of an upload asks the remote size first.
        bool askSize = false;
    };
    class TARSEL_INTERNAL Connection;
    friend class Connection;

    TARSEL_INTERNAL void Dispatch();
    TARSEL_INTERNAL void StartJob(Connection& connection, Job job);
    TARSEL_INTERNAL void EndJob(Connection& connection, Integer code, const String& operation, const String& message);
    TARSEL_INTERNAL void LoginEnded(Connection& connection, Integer code, const String& message, Long disconnectCode);
    TARSEL_INTERNAL void ConnectionLost(Connection& connection, const String& message);
    TARSEL_INTERNAL void Retry(Job job);
    TARSEL_INTERNAL void FailJob(const Job& job, QueueJobError error);
    TARSEL_INTERNAL void Finished(const Job& job, const String& message);
    TARSEL_INTERNAL void CheckEmpty();
    TARSEL_INTERNAL void RangeArrived(Connection& connection);
    TARSEL_INTERNAL void Drained(Connection& connection);
    TARSEL_INTERNAL void Tick();
    TARSEL_INTERNAL void Configure(tarsel& control) const;
    TARSEL_INTERNAL bool ResumesBytes() const;

    Platform& platform_;
    const tarsel& settings_;
    QueueServer server_;
    TransferQueueEvents& events_;
    int limit_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::deque<Job> waiting_;
    JobId nextId_ = 1;
    bool dispatching_ = false;
    bool dispatchAgain_ = false;
    /// A job ended since the last QueueEmpty.
    bool owesEmpty_ = false;
    bool closing_ = false;
    /// Logins that failed in a row, with no connection logged in.
    int loginFailures_ = 0;
    /// The server refused REST once: resumed attempts start from the offset.
    bool restRefused_ = false;
    /// Seconds a connection waits for the reply to a range's cut before it is closed.
    static constexpr int kDrainTicks = 5;
    /// Counts those seconds; made when the first range ends.
    std::unique_ptr<Timer> timer_;
};

}  // namespace tarselctl

TARSEL_API_END

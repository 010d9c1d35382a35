// A queue of transfers run over several controls to one server, on the host's loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
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
struct TARSEL_API QueueJob {
    enum class Kind {
        Download,         ///< RETR Remote; bytes arrive in JobData at their file offsets
        Upload,           ///< STOR Remote (APPE when Offset > 0); bytes asked for in JobPutData
        MakeDirectory,    ///< MKD Remote
        Remove,           ///< DELE Remote
        RemoveDirectory,  ///< RMD Remote
        List,             ///< LIST Remote (MLSD when the template's DirCommand says so); lines in JobLine
        NameList,         ///< NLST Remote; lines arrive in JobLine
        Size,             ///< SIZE Remote; JobFinished's message is the size
        Quote,            ///< Remote is a command line, sent as written (QuoteCommand); JobFinished's
                          ///< message is the text of the reply (MDTM, MFMT and the like)
    };
    static constexpr std::uint64_t kToEnd = std::numeric_limits<std::uint64_t>::max();
    static constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();

    Kind kind = Kind::Download;
    String remote;
    /// Download: the restart offset of the first attempt (REST). Upload: the number of
    /// bytes the remote file already holds; the upload appends from there.
    std::uint64_t offset = 0;
    /// Download only: how many bytes from `offset` are wanted (one range of a segmented
    /// download). A range that ends before the end of the file is ended with Abort once its
    /// bytes have arrived; the connection takes the next job once the server has answered the
    /// cut, and one that has not within 5 seconds is closed and replaced.
    std::uint64_t length = kToEnd;
    /// The size of the whole file as the host knows it, in the server's bytes: the remote
    /// file's (a listing's, a SIZE the host asked) for a download, the local file's for an
    /// upload. A download finishes only with that many bytes; an upload resumes only from
    /// a remote size not larger.
    std::uint64_t size = kUnknown;
    /// The remote file's modification time as MDTM gives it (YYYYMMDDHHMMSS), when the host
    /// knows it: a download resumes only when MDTM still says so.
    String modified = String();
};

/// Which of the checks of a transfer's bytes failed (QueueJobError::integrity).
enum class QueueIntegrity {
    None,            ///< no check failed
    Short,           ///< the server ended the transfer with fewer bytes than are due
    Long,            ///< more bytes came than the file holds from the restart offset (a server
                     ///< that ignored REST, or a file that grew)
    Changed,         ///< the file is no longer the one the earlier attempts read (SIZE or MDTM)
    UploadSize,      ///< after the upload, the server's SIZE differs from what was sent
    UploadSmaller,   ///< the remote file holds more than the local file: nothing to append
    Converted,       ///< a range or restart offset of a file whose bytes are converted
};

/// How a job ended when it did not succeed.
struct TARSEL_API QueueJobError {
    /// The CommandDone code that ended the last attempt: the server's reply code, -1 for a
    /// lost connection or one that could not log in; 0 when a TransError alone failed it,
    /// or a check of the bytes (integrity).
    Integer code = 0;
    /// The control's operation name ("GetFile", "Connect", ...), or "" for a job that
    /// never reached a control.
    String operation;
    /// The text of that CommandDone, or of DisConnected for a lost connection; for a failed
    /// check, what it found ("500 of 1000 bytes").
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
    /// The check of the bytes that failed, if one did.
    QueueIntegrity integrity = QueueIntegrity::None;
    /// Attempts made, the last included (0 when the job never started).
    int attempts = 0;
};

/// The queue's events. Every member does nothing by default. Handlers may call Add, Cancel,
/// CancelAll and Close; they must not destroy the queue.
///
/// Delivery: every way into the queue (a host call, a control's event, a tick) is a step.
/// State changes at once; the events they cause wait in the queue's outbox and are delivered
/// in order, one handler at a time, when the outermost step ends. A host call made outside
/// the queue's events returns before any event it causes: those come from the loop (the
/// next control event or a timer), so Add always returns the job's id first. A call made
/// inside a queue event changes the state at once and its events queue behind the one
/// being handled; no handler is ever entered inside another.
///
/// Order: each job raises JobStarted once per attempt, then its data and progress events,
/// then exactly one of JobFinished or JobFailed, and nothing after that. A job for which
/// Cancel returned true ends in JobFailed with `cancelled`, whatever the server answered.
/// QueueEmpty follows the end of the last job when nothing is queued or running any more
/// (once each time the queue runs dry; a handler that adds jobs before then postpones it).
///
/// Bytes: a Download or Upload finishes only when the bytes moved agree with everything the
/// queue knows of the file, counted in the server's bytes: the range's length, the job's
/// `size`, SIZE, the size the server announced when the transfer opened, and, for a resumed
/// attempt, the rest of the file from its restart offset. Anything else fails the job with
/// `integrity` saying which check failed. Before a download resumes, SIZE (and MDTM when the
/// job's `modified` is known) must still say the same; a whole-file job whose file changed
/// starts again from its offset (JobRewind), a range fails. After an upload whose bytes are
/// not converted, the server's SIZE (where it answers one) must equal the offset plus the
/// bytes sent.
class TARSEL_API TransferQueueEvents {
public:
    virtual ~TransferQueueEvents() = default;
    /// An attempt at the job has been handed to a control (attempt counts from 1).
    virtual void JobStarted(JobId job, int attempt) { (void)job; (void)attempt; }
    /// The next bytes of the job start again at `offset` (the job's own): what was delivered
    /// past it is void. A host writing a file truncates it there. Raised before the first
    /// JobData of an attempt that starts over after bytes had come (the server refused REST,
    /// the bytes are converted, or the file changed).
    virtual void JobRewind(JobId job, std::uint64_t offset) { (void)job; (void)offset; }
    /// Downloaded bytes of the job, to be written at `offset` in the local file (converted
    /// by FileCode when the template converts; then the job never resumes, and offsets count
    /// the host's bytes from 0). A retried attempt resumes where the last one stopped.
    virtual void JobData(JobId job, std::uint64_t offset, ByteArray& data) {
        (void)job; (void)offset; (void)data;
    }
    /// Asks for the upload's bytes at `offset` of the local file: the handler fills `data`
    /// (it arrives empty) with the next block, of any length, and leaves it empty at the end.
    /// Any content uploads, a lone 0 byte included.
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

/// The server a queue logs in to: every persisted property of `settings` (as
/// WriteProperties saves them: port, Passive, Account, PreCommand, Filetype, codes, TLS,
/// NoopTime, DataPeerCheck, DirCommand, and any added later), its time-outs and TraceOn are
/// copied to every control the queue opens; host, user and password go to Connect.
struct TARSEL_API QueueServer {
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
class TARSEL_API TransferQueue {
public:
    TransferQueue(Platform& platform, const tarsel& settings, QueueServer server, int connections,
                  TransferQueueEvents& events);
    ~TransferQueue();
    TransferQueue(const TransferQueue&) = delete;
    TransferQueue& operator=(const TransferQueue&) = delete;

    /// Queues a job behind the others and starts it as soon as a control is free. The id is
    /// returned before any event of the job.
    JobId Add(QueueJob job);
    /// Ends a job: it fails with `cancelled` (a running one once its control has ended the
    /// aborted transfer), whatever the server answers. False, and nothing changes, for a job
    /// that is unknown or whose end is already decided (its end event may still wait).
    bool Cancel(JobId job);
    /// Cancels every job, waiting or running.
    void CancelAll();
    /// Logs every connection out (QUIT) once it is idle; later jobs open new ones.
    void Close();

    /// More tries after the first, per job (default 3).
    int maxRetries = 3;
    /// When the server's FEAT lists UTF8, every connection sends OPTS UTF8 ON and takes
    /// SysCode "UTF8" for names (the template's SysCode otherwise). Off by default.
    bool utf8WhenOffered = false;

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
        /// Bytes of the job secured from request.offset, in the server's bytes: delivered
        /// (download) or handed to the control (upload) by the attempts so far.
        std::uint64_t done = 0;
        /// Bytes delivered to the host in this run of attempts (JobData offsets of a
        /// converted download, which counts the host's bytes).
        std::uint64_t delivered = 0;
        int attempts = 0;
        bool cancelRequested = false;
        /// The next attempt starts from request.offset again (REST refused or bytes converted).
        bool restart = false;
        /// The next attempt of an upload asks the remote size first.
        bool askSize = false;
        /// The next attempt of a download checks SIZE (and MDTM) before it resumes.
        bool checkBeforeResume = false;
        /// What the queue has learnt of the remote file's size (SIZE, an announcement).
        std::uint64_t fileSize = QueueJob::kUnknown;
        /// The last bytes delivered (up to kOverlap): a resumed attempt asks for them again
        /// and compares, so that a server that does not resume where asked is caught.
        std::string tail;
    };
    class TARSEL_INTERNAL Connection;
    class TARSEL_INTERNAL Step;
    friend class Connection;

    TARSEL_INTERNAL void Dispatch();
    TARSEL_INTERNAL void StartJob(Connection& connection, Job job);
    TARSEL_INTERNAL void EndJob(Connection& connection, Integer code, const String& operation, const String& message);
    TARSEL_INTERNAL bool ContinueJob(Connection& connection, Integer code, const String& operation, const String& message);
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
    /// Puts an event in the outbox; the outermost step delivers it.
    TARSEL_INTERNAL void Raise(std::function<void()> event);
    TARSEL_INTERNAL void Deliver() noexcept;
    TARSEL_INTERNAL void LeaveHostCall();

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
    /// Bytes a resumed download fetches again to check that the server resumed where asked.
    static constexpr std::size_t kOverlap = 64;
    /// Seconds a connection waits for the reply to a range's cut before it is closed.
    static constexpr int kDrainTicks = 5;
    /// Counts those seconds; made when the first range ends.
    std::unique_ptr<Timer> timer_;
    // ---- the outbox
    std::deque<std::function<void()>> outbox_;
    /// End events raised and not delivered yet.
    std::size_t endsPending_ = 0;
    /// Steps open: > 0 inside a host call, a control's event or a handler.
    int depth_ = 0;
    /// Delivers what host calls made outside the queue's events left in the outbox, on the
    /// loop, when no control event comes first.
    std::unique_ptr<Timer> deliveryTimer_;
};

}  // namespace tarselctl

TARSEL_API_END

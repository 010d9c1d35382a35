// Transfers of one command spread over several connections: the files of mget, mput and
// mirror, or the ranges of one file (pget, get --segments).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <tarsel/transfer_queue.h>

#include "session_output.h"

namespace tarselftp {

/// Where a download of a parallel run is written: the file `name` in the directory `below`
/// (a relative path, "" for `root` itself) under `root`. Each directory below `root` is opened
/// from the one above without following symbolic links (OpenDirectoryBelow), so neither a
/// name from a listing nor a link planted below `root` leads the bytes out of it; `root`
/// itself is opened as named. `shown` names the file in messages.
struct LocalTarget {
    std::string root = ".";
    std::string below;
    std::string name;
    std::string shown;
    /// The name was typed by the user (pget LOCAL): whatever stands there, but a directory,
    /// is replaced by the finished download. Otherwise (a name from the server) only a
    /// regular file is replaced; a link, a device or a pipe there is refused, never written
    /// through.
    bool userNamed = false;
    /// The modification time the finished file is given (seconds since 1970, UTC).
    std::optional<std::int64_t> modified;
};

/// LOCAL as the user typed it: its directory opened as named, the file in it.
LocalTarget UserNamedTarget(const std::string& local);

/// One local file of a parallel run, written at the offsets its bytes come with. It goes to
/// a temporary file beside its final name, created exclusively and never through a link,
/// and takes the final name only once every byte has arrived; a failed one leaves nothing.
/// Nothing is opened before Open, so that a run of many files holds open only those that
/// are moving.
class RangeFile {
public:
    RangeFile() = default;
    ~RangeFile();
    RangeFile(const RangeFile&) = delete;
    RangeFile& operator=(const RangeFile&) = delete;

    /// Checks that the download can go to `target`; creates nothing. Error message or "".
    std::string Prepare(LocalTarget target);
    /// Creates the temporary file. Error message or "".
    std::string Open();
    bool IsOpen() const { return fd_ >= 0; }
    /// Error message or "".
    std::string WriteAt(std::uint64_t offset, const tarselctl::ByteArray& bytes);
    /// Drops what was written from `offset` on (a download that starts over). Error or "".
    std::string TruncateAt(std::uint64_t offset);
    /// Renames into place on success (an empty download is created now), removes the
    /// temporary file otherwise. The file may be opened again afterwards. Error message or "".
    std::string Finish(bool success);

    // ---- a segmented download that can be continued (pget -c)
    /// The partial file is NAME.pget beside the target, with its ranges in NAME.pget-status.
    /// A fresh one replaces what stands under that name (a regular file only).
    std::string OpenPartial();
    /// Opens NAME.pget as left by an interrupted run to go on writing into it: a regular file
    /// with one link only. Error message or "".
    std::string ContinuePartial();
    /// Instead of removing it, leaves the partial file with `status` beside it. Error or "".
    std::string KeepPartial(const std::string& status);
    /// The status written beside the partial file, or nullopt.
    std::optional<std::string> ReadStatus() const;
    const LocalTarget& Target() const { return target_; }

private:
    std::string OpenDirectory(int& fd) const;
    /// Opens the directory of the partial file and names it as the temporary file.
    std::string PartialDirectory();
    void Close();

    LocalTarget target_;
    std::string temporary_;
    int directoryFd_ = -1;
    int fd_ = -1;
    /// The temporary file as created: only that file is renamed or removed.
    dev_t device_ = 0;
    ino_t inode_ = 0;
    /// The temporary file is NAME.pget: its status file goes when it is renamed or removed.
    bool partial_ = false;
    std::string StatusName() const { return target_.name + ".pget-status"; }
};

/// Runs one command's transfers on a TransferQueue and reports them as the session does: a
/// combined meter line on a terminal, one error line per failed file, a summary at the end.
class ParallelRun final : public tarselctl::TransferQueueEvents {
public:
    struct Settings {
        tarselctl::Platform* platform = nullptr;
        const tarselctl::tarsel* control = nullptr;  // the properties every connection takes
        tarselctl::QueueServer server;
        int connections = 1;
        bool progress = false;
        bool interactive = false;
        /// --trace: every connection's trace, numbered.
        bool trace = false;
    };
    /// `done` is called once, when Seal has been called and everything has ended: from inside
    /// the queue's events or from Seal (it must not destroy this object there). Files may be
    /// added until Seal, also while the first ones move (mirror walks its tree meanwhile).
    ParallelRun(Settings settings, SessionOutput& output, std::function<void()> done);
    ~ParallelRun() override;

    /// Many files; remote names are absolute. Each starts as soon as a connection is free;
    /// files added after Cancel are not started.
    void Download(const std::string& remote, LocalTarget local, std::optional<std::uint64_t> size);
    /// `local` is opened once its first bytes are asked for, without following a link when
    /// `noLinks`.
    /// `afterwards`: a command line sent once the upload has succeeded (mirror's MFMT); its
    /// refusal does not fail the file.
    void Upload(const std::string& local, const std::string& remote, std::optional<std::uint64_t> size,
                bool noLinks = false, const std::string& afterwards = "");
    /// One file over `segments` connections: SIZE (and MDTM), then one range per connection.
    /// A server that refuses REST or SIZE, or a file whose bytes are converted, gets the file
    /// over one connection instead.
    /// `resume` (pget -c): the ranges an interrupted run left in LOCAL.pget go on from where
    /// they stopped when the file's SIZE and MDTM still say what they said then.
    void Segmented(const std::string& remote, LocalTarget local, int segments, bool resume = false);
    /// A question of the command's own on one of the connections (mirror's MDTM): `answer`
    /// gets the reply's text, or nothing when the server refused or the connection failed;
    /// it is not called once the run is cancelled. It may add files.
    void Ask(const std::string& line, std::function<void(std::optional<std::string>)> answer);
    /// No more files will be added: the run ends once those it has have ended (at once when
    /// none is left).
    void Seal();
    /// Ctrl-C: every transfer is cancelled.
    void Cancel();

    /// Jobs waiting or running (files, their ranges, questions).
    std::size_t Backlog() const { return jobs_.size() + asks_.size(); }
    /// Calls `more` once, from inside the queue's events, as soon as the backlog is below
    /// `low`: a walk that finds files faster than they move waits meanwhile.
    void WhenBacklogBelow(std::size_t low, std::function<void()> more);

    int Failed() const { return failed_; }
    int Succeeded() const { return succeeded_; }
    /// Bytes that crossed the network so far, also those of files that failed.
    std::uint64_t Moved() const { return moved_; }

    // ---- the queue's events
    void JobStarted(tarselctl::JobId job, int attempt) override;
    void JobRewind(tarselctl::JobId job, std::uint64_t offset) override;
    void JobData(tarselctl::JobId job, std::uint64_t offset, tarselctl::ByteArray& data) override;
    void JobPutData(tarselctl::JobId job, std::uint64_t offset, tarselctl::ByteArray& data) override;
    void JobProgress(tarselctl::JobId job, std::uint64_t bytes) override;
    void JobFinished(tarselctl::JobId job, const tarselctl::String& message) override;
    void JobFailed(tarselctl::JobId job, const tarselctl::QueueJobError& error) override;
    void QueueEmpty() override;
    void Trace(int connection, const tarselctl::String& msg) override;

private:
    /// One file of the run, shared by the jobs of its ranges.
    struct File {
        std::string remote, local;
        bool upload = false;
        bool noLinks = false;
        std::optional<std::uint64_t> size;
        RangeFile out;
        int uploadFd = -1;
        /// Sent once the upload has succeeded.
        std::string afterwards;
        int jobsLeft = 0;
        bool failed = false;
        std::string error;
        std::uint64_t bytes = 0;
        /// A segmented file's MDTM, given to its ranges so that a resumed one checks it.
        tarselctl::String modified;
        /// Why the server gave no SIZE.
        std::string sizeRefusal;
        /// A segmented file: its ranges (offset, length, bytes arrived from the offset), kept
        /// with the partial file when it fails so that pget -c can go on.
        struct Range {
            std::uint64_t offset = 0, length = 0, done = 0;
        };
        std::vector<Range> ranges;
        bool segmented = false;
        bool resume = false;
    };
    struct JobRef {
        std::shared_ptr<File> file;
        std::uint64_t progress = 0;  // bytes the job has reported
        bool sizeProbe = false;
        /// The command sent after the file's upload.
        bool afterwards = false;
        /// The MDTM asked beside a segmented file's SIZE.
        bool timeProbe = false;
        /// The range of a segmented file the job fetches, and its bytes before this job.
        int range = -1;
        std::uint64_t rangeDoneBefore = 0;
    };

    void StartRanges(const std::shared_ptr<File>& file, std::uint64_t size, int segments);
    /// Starts the ranges of an interrupted run again (pget -c); false when they cannot be.
    bool ContinueRanges(const std::shared_ptr<File>& file);
    void AddRange(const std::shared_ptr<File>& file, std::size_t index);
    /// One of a segmented file's SIZE and MDTM has ended; the ranges start after both.
    void ProbeEnded(const std::shared_ptr<File>& file);
    void StartWhole(const std::shared_ptr<File>& file);
    /// Opens the local file of a job once its first bytes move; "" or an error message.
    std::string OpenLocal(File& file);
    void FileEnded(File& file);
    /// Ends the run when it is sealed and nothing is left.
    void EndIfDone();
    void Meter(bool final);
    void PrintError(const std::string& line);

    Settings settings_;
    SessionOutput& output_;
    std::function<void()> done_;
    std::unique_ptr<tarselctl::TransferQueue> queue_;
    std::map<tarselctl::JobId, JobRef> jobs_;
    std::map<tarselctl::JobId, std::function<void(std::optional<std::string>)>> asks_;
    bool sealed_ = false;
    std::size_t backlogLow_ = 0;
    std::function<void()> more_;
    /// A segmented file waiting for the last range to end before it is fetched whole.
    std::shared_ptr<File> fallback_;
    int segments_ = 1;
    int files_ = 0;
    int succeeded_ = 0;
    int failed_ = 0;
    bool cancelled_ = false;
    bool ended_ = false;
    std::uint64_t bytes_ = 0;
    /// Bytes that crossed the network, whatever became of them (the summary's figure).
    std::uint64_t moved_ = 0;
    std::uint64_t totalBytes_ = 0;
    bool totalKnown_ = true;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::optional<double> lastDraw_;
};

}  // namespace tarselftp

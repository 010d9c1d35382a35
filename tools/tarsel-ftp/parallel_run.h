// Transfers of one command spread over several connections: the files of mget and mput, or
// the ranges of one file (pget, get --segments).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <tarsel/transfer_queue.h>

#include "session_output.h"

namespace tarselftp {

/// One local file of a parallel run, written at the offsets its bytes come with. A download
/// goes to a temporary file beside LOCAL, created exclusively and never through a link, and
/// takes LOCAL's name only once every byte has arrived; a failed one leaves nothing.
class RangeFile {
public:
    ~RangeFile();
    /// Error message or "".
    std::string Create(const std::string& local);
    /// Error message or "".
    std::string WriteAt(std::uint64_t offset, const tarselctl::ByteArray& bytes);
    /// Renames into place on success, removes otherwise. Error message or "".
    std::string Finish(bool success);

private:
    std::string local_, temporary_;
    int fd_ = -1;
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
    /// `done` is called once, from inside the queue's events, when everything has ended (it
    /// must not destroy this object there).
    ParallelRun(Settings settings, SessionOutput& output, std::function<void()> done);
    ~ParallelRun() override;

    /// Many files; remote names are absolute. Starts at once.
    void Download(const std::string& remote, const std::string& local, std::optional<std::uint64_t> size);
    void Upload(const std::string& local, const std::string& remote);
    /// One file over `segments` connections: SIZE, then one range per connection. A server
    /// that refuses REST or SIZE gets the file over one connection instead.
    void Segmented(const std::string& remote, const std::string& local, int segments);
    /// Ctrl-C: every transfer is cancelled.
    void Cancel();

    int Failed() const { return failed_; }
    int Succeeded() const { return succeeded_; }

    // ---- the queue's events
    void JobStarted(tarselctl::JobId job, int attempt) override;
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
        std::optional<std::uint64_t> size;
        RangeFile out;
        int uploadFd = -1;
        int jobsLeft = 0;
        bool failed = false;
        std::string error;
        std::uint64_t bytes = 0;
    };
    struct JobRef {
        std::shared_ptr<File> file;
        std::uint64_t progress = 0;  // bytes the job has reported
        bool sizeProbe = false;
    };

    void StartRanges(const std::shared_ptr<File>& file, std::uint64_t size, int segments);
    void StartWhole(const std::shared_ptr<File>& file);
    void FileEnded(File& file);
    void Meter(bool final);
    void PrintError(const std::string& line);

    Settings settings_;
    SessionOutput& output_;
    std::function<void()> done_;
    std::unique_ptr<tarselctl::TransferQueue> queue_;
    std::map<tarselctl::JobId, JobRef> jobs_;
    /// A segmented file waiting for the last range to end before it is fetched whole.
    std::shared_ptr<File> fallback_;
    int segments_ = 1;
    int files_ = 0;
    int succeeded_ = 0;
    int failed_ = 0;
    bool cancelled_ = false;
    bool ended_ = false;
    std::uint64_t bytes_ = 0;
    std::uint64_t totalBytes_ = 0;
    bool totalKnown_ = true;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::optional<double> lastDraw_;
};

}  // namespace tarselftp

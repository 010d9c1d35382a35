#include "parallel_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <array>
#include <random>
#include <sstream>

#include "confined_directory.h"
#include "download_file.h"
#include "progress_meter.h"
#include "terminal_text.h"

namespace tarselftp {

using tarselctl::ByteArray;
using tarselctl::FromUtf8;
using tarselctl::JobId;
using tarselctl::QueueJob;
using tarselctl::ToUtf8;

namespace {

/// Below this a range costs more in its own connection's round trips than it saves.
constexpr std::uint64_t kSmallestRange = 256 * 1024;
/// An upload block read from the local file.
constexpr std::size_t kUploadBlock = 64 * 1024;

std::string Unique() {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    std::string unique(8, 'x');
    for (char& c : unique) c = kLetters[pick(random)];
    return unique;
}

std::string Describe(const tarselctl::QueueJobError& e) {
    if (e.cancelled) return "interrupted";
    std::string text;
    if (e.integrity != tarselctl::QueueIntegrity::None) {
        text = e.integrity == tarselctl::QueueIntegrity::Short      ? "cut short: "
               : e.integrity == tarselctl::QueueIntegrity::Long     ? "too many bytes: "
               : e.integrity == tarselctl::QueueIntegrity::Changed  ? "the file changed: "
               : e.integrity == tarselctl::QueueIntegrity::UploadSize ? "the server stored another size: "
                                                                       : "";
        text += ToUtf8(e.message);
        if (e.attempts > 1) text += " after " + std::to_string(e.attempts) + " attempts";
        return text;
    }
    if (e.transError != 0) text = ToUtf8(e.transDescription) + " (" + ToUtf8(e.transWhere) + ")";
    if (e.code != 0) {
        if (!text.empty()) text += "; ";
        text += (e.code > 0 ? std::to_string(e.code) + " " : std::string()) + ToUtf8(e.message);
    }
    if (e.attempts > 1) text += " after " + std::to_string(e.attempts) + " attempts";
    return text.empty() ? "failed" : text;
}

}  // namespace

// ---- RangeFile

LocalTarget UserNamedTarget(const std::string& local) {
    LocalTarget target;
    const std::size_t slash = local.rfind('/');
    target.root = slash == std::string::npos ? "." : slash == 0 ? "/" : local.substr(0, slash);
    target.name = slash == std::string::npos ? local : local.substr(slash + 1);
    target.shown = local;
    target.userNamed = true;
    return target;
}

RangeFile::~RangeFile() { (void)Finish(false); }

std::string RangeFile::OpenDirectory(int& fd) const {
    if (target_.userNamed) {
        fd = ::open(target_.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return fd < 0 ? "cannot write '" + target_.shown + "': " + std::strerror(errno) : std::string();
    }
    const OpenedDirectory opened = OpenDirectoryBelow(target_.root, target_.below, false);
    fd = opened.fd;
    return opened.error;
}

std::string RangeFile::Prepare(LocalTarget target) {
    Close();
    target_ = std::move(target);
    const std::string& name = target_.name;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return "'" + target_.shown + "' is no file name";
    int fd = -1;
    if (std::string error = OpenDirectory(fd); !error.empty()) return error;
    std::string error;
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, target_.userNamed ? 0 : AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) error = "'" + target_.shown + "' is a directory";
        else if (target_.userNamed || S_ISREG(st.st_mode)) error.clear();
        else if (S_ISLNK(st.st_mode)) error = "'" + target_.shown + "' is a symbolic link; nothing is written through it";
        else error = "'" + target_.shown + "' is not a regular file";
    } else if (errno != ENOENT) {
        error = "cannot use '" + target_.shown + "': " + std::strerror(errno);
    }
    if (error.empty() && ::faccessat(fd, ".", W_OK | X_OK, 0) != 0)
        error = "cannot write '" + target_.shown + "': " + std::strerror(errno);
    ::close(fd);
    return error;
}

std::string RangeFile::Open() {
    Close();
    if (std::string error = OpenDirectory(directoryFd_); !error.empty()) return error;
    const std::string shownDirectory =
        target_.shown.substr(0, target_.shown.size() - std::min(target_.shown.size(), target_.name.size()));
    // O_EXCL takes only a name nothing has yet, and with O_NOFOLLOW no link leads elsewhere.
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temporary_ = TemporaryDownloadPath(target_.name, Unique());
        fd_ = ::openat(directoryFd_, temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        const std::string error = "cannot create '" + shownDirectory + temporary_ + "': " + std::strerror(errno);
        if (fd_ >= 0) ::unlinkat(directoryFd_, temporary_.c_str(), 0);
        Close();
        return error;
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return "";
}

std::string RangeFile::WriteAt(std::uint64_t offset, const ByteArray& bytes) {
    if (fd_ < 0) return "cannot write '" + target_.shown + "': the file is not open";
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::pwrite(fd_, bytes.data() + written, bytes.size() - written,
                                   static_cast<off_t>(offset + written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "cannot write '" + target_.shown + "': " + std::strerror(errno);
        written += static_cast<std::size_t>(n);
    }
    return "";
}

std::string RangeFile::PartialDirectory() {
    Close();
    temporary_ = target_.name + ".pget";
    return OpenDirectory(directoryFd_);
}

std::string RangeFile::OpenPartial() {
    const std::string shown = target_.shown + ".pget";
    if (std::string error = PartialDirectory(); !error.empty()) return error;
    // What an earlier run left is replaced, but only a regular file is removed for it.
    struct stat st {};
    if (::fstatat(directoryFd_, temporary_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode)) {
            Close();
            return "'" + shown + "' is not a regular file; nothing is written there";
        }
        ::unlinkat(directoryFd_, temporary_.c_str(), 0);
    }
    ::unlinkat(directoryFd_, StatusName().c_str(), 0);
    fd_ = ::openat(directoryFd_, temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        const std::string error = "cannot create '" + shown + "': " + std::strerror(errno);
        Close();
        return error;
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    partial_ = true;
    return "";
}

std::string RangeFile::ContinuePartial() {
    const std::string shown = target_.shown + ".pget";
    if (std::string error = PartialDirectory(); !error.empty()) return error;
    fd_ = ::openat(directoryFd_, temporary_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    std::string error;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) error = "cannot open '" + shown + "': " + std::strerror(errno);
    // Writing into a file that has another name too would change that file as well.
    else if (!S_ISREG(st.st_mode) || st.st_nlink != 1) error = "'" + shown + "' is not a regular file of one link";
    if (!error.empty()) {
        Close();
        return error;
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    partial_ = true;
    return "";
}

std::string RangeFile::KeepPartial(const std::string& status) {
    if (fd_ < 0 || !partial_) return Finish(false);
    std::string error;
    if (::close(fd_) != 0) error = "cannot write '" + target_.shown + ".pget': " + std::strerror(errno);
    fd_ = -1;
    partial_ = false;
    const int out = ::openat(directoryFd_, StatusName().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0 || ::write(out, status.data(), status.size()) != static_cast<ssize_t>(status.size()))
        error = "cannot write '" + target_.shown + ".pget-status': " + std::strerror(errno);
    if (out >= 0) ::close(out);
    Close();
    return error;
}

std::optional<std::string> RangeFile::ReadStatus() const {
    int directory = -1;
    if (!OpenDirectory(directory).empty()) return std::nullopt;
    const int in = ::openat(directory, StatusName().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    ::close(directory);
    if (in < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(in, buffer, sizeof buffer)) > 0 && text.size() < 64 * 1024;)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(in);
    return text;
}

std::string RangeFile::TruncateAt(std::uint64_t offset) {
    if (fd_ < 0) return "";
    if (::ftruncate(fd_, static_cast<off_t>(offset)) != 0)
        return "cannot write '" + target_.shown + "': " + std::strerror(errno);
    return "";
}

void RangeFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    if (directoryFd_ >= 0) ::close(directoryFd_);
    fd_ = directoryFd_ = -1;
}

std::string RangeFile::Finish(bool success) {
    std::string error;
    if (success && fd_ < 0) error = Open();  // nothing arrived: an empty file
    if (fd_ < 0) {
        Close();
        return error;
    }
    if (success && target_.modified) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(*target_.modified), 0}};
        if (::futimens(fd_, times) != 0) error = "cannot set the time of '" + target_.shown + "': " + std::strerror(errno);
    }
    if (::close(fd_) != 0 && success && error.empty())
        error = "cannot write '" + target_.shown + "': " + std::strerror(errno);
    fd_ = -1;
    // Something else under the temporary name (it was replaced meanwhile) is neither renamed
    // into place nor removed.
    struct stat st {};
    const bool ours = ::fstatat(directoryFd_, temporary_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(st.st_mode) && st.st_dev == device_ && st.st_ino == inode_;
    if (!ours) {
        if (success && error.empty())
            error = "the temporary file of '" + target_.shown + "' was replaced during the download; '" +
                    target_.shown + "' is left as it was";
    } else if (success && error.empty()) {
        if (::renameat(directoryFd_, temporary_.c_str(), directoryFd_, target_.name.c_str()) != 0) {
            error = "cannot rename into '" + target_.shown + "': " + std::strerror(errno);
            ::unlinkat(directoryFd_, temporary_.c_str(), 0);
        }
    } else {
        ::unlinkat(directoryFd_, temporary_.c_str(), 0);
    }
    if (partial_) ::unlinkat(directoryFd_, StatusName().c_str(), 0);
    partial_ = false;
    Close();
    return error;
}

// ---- ParallelRun

ParallelRun::ParallelRun(Settings settings, SessionOutput& output, std::function<void()> done)
    : settings_(std::move(settings)), output_(output), done_(std::move(done)) {
    queue_ = std::make_unique<tarselctl::TransferQueue>(*settings_.platform, *settings_.control,
                                                        settings_.server, settings_.connections, *this);
    // Names are UTF-8 on the session's connection: each of the run's says so to the server too.
    queue_->utf8WhenOffered = settings_.control->get_SysCode() == u"UTF8";
}

ParallelRun::~ParallelRun() {
    queue_.reset();
    for (auto& [id, ref] : jobs_)
        if (ref.file->uploadFd >= 0) {
            ::close(ref.file->uploadFd);
            ref.file->uploadFd = -1;
        }
}

void ParallelRun::Download(const std::string& remote, LocalTarget local, std::optional<std::uint64_t> size) {
    if (cancelled_) return;
    auto file = std::make_shared<File>();
    file->remote = remote;
    file->local = local.shown;
    file->size = size;
    ++files_;
    if (size) totalBytes_ += *size;
    else totalKnown_ = false;
    if (const std::string error = file->out.Prepare(std::move(local)); !error.empty()) {
        file->failed = true;
        file->error = error;
        FileEnded(*file);
        return;
    }
    StartWhole(file);
}

void ParallelRun::Upload(const std::string& local, const std::string& remote, std::optional<std::uint64_t> size,
                         bool noLinks, const std::string& afterwards) {
    if (cancelled_) return;
    auto file = std::make_shared<File>();
    file->remote = remote;
    file->local = local;
    file->upload = true;
    file->noLinks = noLinks;
    file->afterwards = afterwards;
    ++files_;
    if (!size) {
        struct stat st {};
        if (::stat(local.c_str(), &st) == 0) size = static_cast<std::uint64_t>(st.st_size);
    }
    file->size = size;
    if (size) totalBytes_ += *size;
    else totalKnown_ = false;
    file->jobsLeft = 1;
    QueueJob job{QueueJob::Kind::Upload, FromUtf8(remote)};
    if (size) job.size = *size;
    const JobId id = queue_->Add(std::move(job));
    jobs_[id] = JobRef{file};
}

void ParallelRun::Segmented(const std::string& remote, LocalTarget local, int segments, bool resume) {
    auto file = std::make_shared<File>();
    file->segmented = true;
    file->resume = resume;
    file->remote = remote;
    file->local = local.shown;
    ++files_;
    segments_ = segments < 1 ? 1 : segments;
    totalKnown_ = false;
    if (const std::string error = file->out.Prepare(std::move(local)); !error.empty()) {
        file->failed = true;
        file->error = error;
        FileEnded(*file);
        return;
    }
    const tarselctl::tarsel& control = *settings_.control;
    const tarselctl::String type = control.get_Filetype();
    if (control.get_FileCode() != u"BIN" || (!type.empty() && (type[0] == u'A' || type[0] == u'a'))) {
        // Ranges are cut in the server's bytes, which a conversion does not deliver one for one.
        PrintError("tarsel-ftp: " + remote + ": its bytes are converted; downloading over one connection");
        StartWhole(file);
        return;
    }
    file->jobsLeft = 2;
    const JobId id = queue_->Add(QueueJob{QueueJob::Kind::Size, FromUtf8(remote)});
    jobs_[id] = JobRef{file, 0, true};
    // The ranges check the file's time before any of them resumes.
    const JobId time = queue_->Add(QueueJob{QueueJob::Kind::Quote, u"MDTM " + FromUtf8(remote)});
    JobRef probe{file};
    probe.timeProbe = true;
    jobs_[time] = probe;
}

void ParallelRun::Ask(const std::string& line, std::function<void(std::optional<std::string>)> answer) {
    if (cancelled_) return;
    const JobId id = queue_->Add(QueueJob{QueueJob::Kind::Quote, FromUtf8(line)});
    asks_[id] = std::move(answer);
}

void ParallelRun::Seal() {
    sealed_ = true;
    EndIfDone();
}

std::string ParallelRun::OpenLocal(File& file) {
    if (file.upload) {
        if (file.uploadFd >= 0) return "";
        file.uploadFd = ::open(file.local.c_str(), O_RDONLY | O_CLOEXEC | (file.noLinks ? O_NOFOLLOW : 0));
        struct stat st {};
        if (file.uploadFd < 0 || ::fstat(file.uploadFd, &st) != 0)
            return "cannot read '" + file.local + "': " + std::strerror(errno);
        if (!S_ISREG(st.st_mode)) return "'" + file.local + "' is not a regular file";
        // The file may have changed since it was listed: the total follows what is sent.
        const std::uint64_t now = static_cast<std::uint64_t>(st.st_size);
        if (file.size && totalKnown_) totalBytes_ = totalBytes_ - std::min(totalBytes_, *file.size) + now;
        file.size = now;
        return "";
    }
    if (file.out.IsOpen()) return "";
    return file.segmented ? file.out.OpenPartial() : file.out.Open();
}

void ParallelRun::StartWhole(const std::shared_ptr<File>& file) {
    file->jobsLeft = 1;
    QueueJob job{QueueJob::Kind::Download, FromUtf8(file->remote)};
    if (file->size) job.size = *file->size;
    job.modified = file->modified;
    const JobId id = queue_->Add(std::move(job));
    jobs_[id] = JobRef{file};
}

void ParallelRun::StartRanges(const std::shared_ptr<File>& file, std::uint64_t size, int segments) {
    std::uint64_t count = static_cast<std::uint64_t>(segments);
    if (size / kSmallestRange < count) count = size / kSmallestRange;
    if (count < 2) {
        StartWhole(file);
        return;
    }
    const std::uint64_t each = size / count;
    file->ranges.clear();
    for (std::uint64_t i = 0; i < count; ++i)
        file->ranges.push_back(File::Range{i * each, i + 1 == count ? size - i * each : each, 0});
    file->jobsLeft = static_cast<int>(count);
    for (std::size_t i = 0; i < file->ranges.size(); ++i) AddRange(file, i);
}

void ParallelRun::AddRange(const std::shared_ptr<File>& file, std::size_t index) {
    const File::Range& r = file->ranges[index];
    const std::uint64_t size = *file->size;
    // The last range runs to the end of the file, so that it ends with the server's own
    // close rather than an abort; with the size given, more bytes than SIZE said fail it.
    const std::uint64_t offset = r.offset + r.done;
    const bool last = r.offset + r.length >= size;
    QueueJob job{QueueJob::Kind::Download, FromUtf8(file->remote), offset, last ? QueueJob::kToEnd : r.length - r.done};
    job.size = size;
    job.modified = file->modified;
    const JobId id = queue_->Add(std::move(job));
    JobRef ref{file};
    ref.range = static_cast<int>(index);
    ref.rangeDoneBefore = r.done;
    jobs_[id] = ref;
}

namespace {

std::string RangeStatus(std::uint64_t size, const tarselctl::String& modified,
                        const std::vector<std::array<std::uint64_t, 3>>& ranges) {
    std::string text = "tarsel-ftp pget 1\nsize " + std::to_string(size) + "\nmodified " + ToUtf8(modified) + "\n";
    for (const auto& r : ranges)
        text += "range " + std::to_string(r[0]) + " " + std::to_string(r[1]) + " " + std::to_string(r[2]) + "\n";
    return text;
}

}  // namespace

bool ParallelRun::ContinueRanges(const std::shared_ptr<File>& file) {
    const std::optional<std::string> status = file->out.ReadStatus();
    if (!status) return false;
    std::istringstream in(*status);
    std::string line, word;
    std::uint64_t size = 0;
    std::string modified;
    std::vector<File::Range> ranges;
    bool good = std::getline(in, line) && line == "tarsel-ftp pget 1";
    while (good && std::getline(in, line)) {
        std::istringstream fields(line);
        fields >> word;
        if (word == "size") good = static_cast<bool>(fields >> size);
        else if (word == "modified") fields >> modified;
        else if (word == "range") {
            File::Range r;
            good = static_cast<bool>(fields >> r.offset >> r.length >> r.done) && r.done <= r.length &&
                   r.offset + r.length <= size && (ranges.empty() || ranges.back().offset + ranges.back().length == r.offset);
            ranges.push_back(r);
        } else good = false;
    }
    const std::string now = ToUtf8(file->modified);
    const char* why = !good || ranges.empty() || ranges.back().offset + ranges.back().length != size
                          ? "its record is damaged"
                      : size != *file->size ? "the remote file's size changed"
                      : !modified.empty() && !now.empty() && modified != now ? "the remote file changed"
                                                                            : nullptr;
    std::string error = why ? std::string(why) : file->out.ContinuePartial();
    if (!error.empty()) {
        PrintError("tarsel-ftp: " + file->local + ".pget cannot be continued (" + error + "); starting over");
        return false;
    }
    file->ranges = std::move(ranges);
    file->jobsLeft = 0;
    for (std::size_t i = 0; i < file->ranges.size(); ++i) {
        bytes_ += file->ranges[i].done;
        if (file->ranges[i].done < file->ranges[i].length) ++file->jobsLeft;
    }
    if (file->jobsLeft == 0) {
        FileEnded(*file);
        EndIfDone();
        return true;
    }
    for (std::size_t i = 0; i < file->ranges.size(); ++i)
        if (file->ranges[i].done < file->ranges[i].length) AddRange(file, i);
    return true;
}

void ParallelRun::Cancel() {
    cancelled_ = true;
    queue_->CancelAll();
}

void ParallelRun::JobStarted(JobId, int) {}

void ParallelRun::JobRewind(JobId job, std::uint64_t offset) {
    const auto it = jobs_.find(job);
    if (it == jobs_.end()) return;
    File& file = *it->second.file;
    if (file.failed) return;
    if (std::string error = file.out.TruncateAt(offset); !error.empty()) {
        file.failed = true;
        file.error = std::move(error);
        queue_->Cancel(job);
    }
}

void ParallelRun::JobData(JobId job, std::uint64_t offset, ByteArray& data) {
    const auto it = jobs_.find(job);
    if (it == jobs_.end()) return;
    File& file = *it->second.file;
    if (file.failed) return;
    // The file is opened by its first bytes (an empty one when it has succeeded).
    std::string error = OpenLocal(file);
    if (error.empty()) error = file.out.WriteAt(offset, data);
    if (!error.empty()) {
        file.failed = true;
        file.error = std::move(error);
        queue_->Cancel(job);
    }
}

void ParallelRun::JobPutData(JobId job, std::uint64_t offset, ByteArray& data) {
    const auto it = jobs_.find(job);
    if (it == jobs_.end()) return;
    File& file = *it->second.file;
    if (std::string error = file.failed ? file.error : OpenLocal(file); !error.empty()) {
        if (!file.failed) {
            file.failed = true;
            file.error = std::move(error);
        }
        data.clear();
        queue_->Cancel(job);
        return;
    }
    data.resize(kUploadBlock);
    for (;;) {
        const ssize_t n = ::pread(file.uploadFd, data.data(), data.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            file.failed = true;
            file.error = "cannot read '" + file.local + "': " + std::strerror(errno);
            data.clear();
            queue_->Cancel(job);
            return;
        }
        data.resize(static_cast<std::size_t>(n));
        return;
    }
}

void ParallelRun::JobProgress(JobId job, std::uint64_t bytes) {
    const auto it = jobs_.find(job);
    if (it == jobs_.end()) return;
    // A restarted attempt counts from its start again.
    if (it->second.range >= 0)
        it->second.file->ranges[static_cast<std::size_t>(it->second.range)].done = it->second.rangeDoneBefore + bytes;
    if (bytes >= it->second.progress) {
        bytes_ += bytes - it->second.progress;
        moved_ += bytes - it->second.progress;
    } else {
        bytes_ -= std::min(bytes_, it->second.progress - bytes);
    }
    it->second.progress = bytes;
    Meter(false);
}

void ParallelRun::JobFinished(JobId job, const tarselctl::String& message) {
    if (const auto ask = asks_.find(job); ask != asks_.end()) {
        const auto answer = std::move(ask->second);
        asks_.erase(ask);
        if (!cancelled_) answer(ToUtf8(message));
        EndIfDone();
        return;
    }
    const auto it = jobs_.find(job);
    if (it == jobs_.end()) return;
    const JobRef ref = std::move(it->second);
    jobs_.erase(it);
    File& file = *ref.file;
    if (ref.timeProbe) {
        const std::string text = ToUtf8(message);
        if (text.size() >= 14) file.modified = FromUtf8(text.substr(0, 14));
        ProbeEnded(ref.file);
        return;
    }
    if (ref.sizeProbe) {
        const std::string text = ToUtf8(message);
        bool digits = !text.empty() && text.size() <= 19;
        for (char c : text) digits = digits && c >= '0' && c <= '9';
        if (digits) file.size = std::stoull(text);
        ProbeEnded(ref.file);
        return;
    }
    if (file.upload && !ref.afterwards && !file.afterwards.empty() && !cancelled_) {
        // The upload stands; the command that follows it (MFMT) takes the file's job over.
        if (file.uploadFd >= 0) ::close(file.uploadFd);
        file.uploadFd = -1;
        const JobId next = queue_->Add(QueueJob{QueueJob::Kind::Quote, FromUtf8(file.afterwards)});
        jobs_[next] = JobRef{ref.file, 0, false, true};
        return;
    }
    if (--file.jobsLeft == 0) FileEnded(file);
    EndIfDone();
}

void ParallelRun::ProbeEnded(const std::shared_ptr<File>& file) {
    if (--file->jobsLeft > 0) return;
    if (cancelled_) {
        file->failed = true;
        file->error = "interrupted";
        FileEnded(*file);
        EndIfDone();
        return;
    }
    if (!file->size) {
        PrintError("tarsel-ftp: " + file->remote + ": the server did not tell the size" +
                   (file->sizeRefusal.empty() ? std::string() : " (" + file->sizeRefusal + ")") + "; one connection");
        StartWhole(file);
        return;
    }
    totalKnown_ = true;
    totalBytes_ += *file->size;
    if (file->resume && ContinueRanges(file)) return;
    StartRanges(file, *file->size, segments_);
}

void ParallelRun::JobFailed(JobId job, const tarselctl::QueueJobError& error) {
    if (const auto ask = asks_.find(job); ask != asks_.end()) {
        const auto answer = std::move(ask->second);
        asks_.erase(ask);
        if (!cancelled_ && !error.cancelled) answer(std::nullopt);
        EndIfDone();
        return;
    }
    const auto it = jobs_.find(job);
    if (it == jobs_.end()) return;
    const JobRef ref = std::move(it->second);
    jobs_.erase(it);
    File& file = *ref.file;
    if (ref.afterwards) {
        // The file is on the server; only its time could not be set (as with one connection).
        if (--file.jobsLeft == 0) FileEnded(file);
        EndIfDone();
        return;
    }
    if (ref.sizeProbe || ref.timeProbe) {
        if (ref.sizeProbe && !error.cancelled) file.sizeRefusal = Describe(error);
        ProbeEnded(ref.file);
        return;
    }
    bytes_ -= std::min(bytes_, ref.progress);
    if (error.restRefused && !cancelled_ && !fallback_ && !file.failed) {
        // The ranges cannot be had: the others stop, and the file comes whole once they have.
        PrintError("tarsel-ftp: " + file.remote + ": the server refuses REST; downloading over one connection");
        fallback_ = ref.file;
        for (auto& [id, other] : jobs_)
            if (other.file == ref.file) queue_->Cancel(id);
    } else if (!fallback_ || fallback_ != ref.file) {
        if (!file.failed) {
            file.failed = true;
            file.error = Describe(error);
            // One range lost is the whole file lost: the others need not go on.
            for (auto& [id, other] : jobs_)
                if (other.file == ref.file) queue_->Cancel(id);
        }
    }
    if (--file.jobsLeft == 0 && fallback_ != ref.file) FileEnded(file);
    EndIfDone();
}

void ParallelRun::FileEnded(File& file) {
    if (file.upload) {
        if (file.uploadFd >= 0) ::close(file.uploadFd);
        file.uploadFd = -1;
    } else if (file.failed && !file.ranges.empty() && file.out.IsOpen()) {
        // What arrived stays, with a record of its ranges, for pget -c.
        std::vector<std::array<std::uint64_t, 3>> ranges;
        for (const File::Range& r : file.ranges) ranges.push_back({r.offset, r.length, r.done});
        const std::string error = file.out.KeepPartial(RangeStatus(*file.size, file.modified, ranges));
        file.error += error.empty() ? "; kept in '" + file.local + ".pget' (pget -c continues it)" : "; " + error;
    } else if (const std::string error = file.out.Finish(!file.failed); !error.empty() && !file.failed) {
        file.failed = true;
        file.error = error;
    }
    if (file.failed) {
        ++failed_;
        PrintError(std::string("tarsel-ftp: ") + (file.upload ? "PutFile " : "GetFile ") + file.remote + ": " + file.error);
    } else {
        ++succeeded_;
    }
    Meter(false);
}

void ParallelRun::QueueEmpty() {
    if (fallback_ && !cancelled_) {
        // Every range has ended: the file starts over on one connection.
        std::shared_ptr<File> file = std::move(fallback_);
        fallback_.reset();
        bytes_ = 0;
        (void)file->out.Finish(false);
        file->ranges.clear();
        StartWhole(file);
        return;
    }
    if (fallback_) {
        std::shared_ptr<File> file = std::move(fallback_);
        file->failed = true;
        file->error = "interrupted";
        FileEnded(*file);
    }
    EndIfDone();
}

void ParallelRun::WhenBacklogBelow(std::size_t low, std::function<void()> more) {
    backlogLow_ = low;
    more_ = std::move(more);
}

void ParallelRun::EndIfDone() {
    if (more_ && Backlog() < backlogLow_) {
        const auto more = std::move(more_);
        more_ = nullptr;
        more();
    }
    if (ended_ || !sealed_ || !jobs_.empty() || !asks_.empty() || fallback_) return;
    ended_ = true;
    Meter(true);
    queue_->Close();
    if (done_) done_();
}

void ParallelRun::Trace(int connection, const tarselctl::String& msg) {
    if (settings_.trace) PrintError("[" + std::to_string(connection + 1) + "] " + ToUtf8(msg));
}

void ParallelRun::Meter(bool final) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const std::string name = std::to_string(succeeded_ + failed_) + "/" + std::to_string(files_) + " files";
    if (final) {
        output_.Meter("");
        if (settings_.interactive || settings_.progress) {
            // What happened: the files that made it, and every byte that crossed, also those
            // of files that failed or started over.
            std::string line = std::to_string(succeeded_) + " of " + std::to_string(files_) + " files, " +
                               FormatTransferSummary(moved_, seconds);
            if (failed_ > 0) line += ", " + std::to_string(failed_) + " failed";
            output_.Err(line + "\n");
        }
        return;
    }
    if (!settings_.progress) return;
    if (lastDraw_ && seconds - *lastDraw_ < 0.1) return;
    lastDraw_ = seconds;
    const std::optional<std::uint64_t> total =
        totalKnown_ ? std::optional<std::uint64_t>(totalBytes_) : std::nullopt;
    output_.Meter(FormatProgressLine(name, bytes_, total, seconds, output_.MeterWidth()));
}

void ParallelRun::PrintError(const std::string& line) {
    output_.Meter("");
    output_.Err(ShowControlCharacters(line) + "\n");
}

}  // namespace tarselftp

// mirror's job: the directory it starts from, each listing decided against the local side
// (mirror_plan.h), the MDTM asked where a time is missing, and the steps (or, with -P, the
// run's transfers) that carry out each decision.
#include "mirror_job.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tarsel/listing.h>

#include "confined_directory.h"
#include "parallel_run.h"
#include "progress_meter.h"
#include "remote_listing.h"
#include "tree_walk.h"
#include "well_formed_utf8.h"

namespace tarselftp {

namespace fs = std::filesystem;

namespace {

// The entries of a local directory as lstat tells them; links are not followed.
// An entry as lstat told it.
LocalEntry EntryOf(std::string name, const struct stat& st) {
    LocalEntry e;
    e.name = std::move(name);
    e.kind = S_ISREG(st.st_mode)   ? LocalEntry::Kind::File
             : S_ISDIR(st.st_mode) ? LocalEntry::Kind::Directory
             : S_ISLNK(st.st_mode) ? LocalEntry::Kind::Link
                                   : LocalEntry::Kind::Other;
    e.size = static_cast<std::uint64_t>(st.st_size);
    e.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    return e;
}

std::vector<LocalEntry> ReadLocalEntries(int directoryFd) {
    std::vector<LocalEntry> entries;
    const int fd = ::dup(directoryFd);
    if (fd < 0) return entries;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return entries;
    }
    while (const dirent* item = ::readdir(dir)) {
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        entries.push_back(EntryOf(name, st));
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const LocalEntry& a, const LocalEntry& b) { return a.name < b.name; });
    return entries;
}

std::optional<LocalEntry> LocalEntryAt(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return EntryOf(BaseName(path), st);
}

std::string MfmtTime(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &utc);
    return text;
}

const char* ActionText(MirrorAction action) {
    switch (action) {
    case MirrorAction::Fetch: return "new";
    case MirrorAction::Refresh: return "changed";
    case MirrorAction::AskTime: return "check time";
    case MirrorAction::Delete: return "delete";
    case MirrorAction::Skip: return "skip";
    default: return "";
    }
}

}  // namespace

std::optional<std::int64_t> MdtmTime(const std::vector<std::string>& replies) {
    for (const std::string& line : replies) {
        if (line.rfind("213 ", 0) != 0) continue;
        auto entry = tarselctl::ParseListingLine(std::string_view("modify=" + line.substr(4) + "; x"),
                                                 {tarselctl::ListingFormat::Mlsd, std::nullopt});
        if (entry && entry->modified) return entry->modified;
    }
    return std::nullopt;
}

MirrorJob::MirrorJob(const Command& typed, std::uint64_t id, Host& host)
    : id_(id), host_(host), up_(typed.reverse), remote_(typed.reverse ? typed.args[1] : typed.args[0]),
      local_(typed.reverse ? typed.args[0] : typed.args[1]), options_(typed.mirror), dryRun_(typed.dryRun),
      connections_(typed.parallel) {}

Command MirrorJob::Step(Verb verb, std::vector<std::string> args) const {
    Command step{verb, std::move(args)};
    step.job = id_;
    return step;
}

// Named in error lines as typed: "mirror LOCAL" for -R.
Command MirrorJob::FirstStep() const { return Step(Verb::MirrorStart, {up_ ? local_ : remote_}); }

std::optional<std::vector<Command>> MirrorJob::Started(const std::string& pwdText) {
    const std::optional<std::string> base = QuotedDirectory(pwdText);
    if (!base || base->empty() || (*base)[0] != '/') {
        state_ = State::Done;
        return std::nullopt;
    }
    state_ = State::Walking;
    const std::string root = remote_[0] == '/' ? remote_ : JoinRemote(*base, remote_);
    std::vector<Command> steps;
    if (up_ && !dryRun_) {
        steps.push_back(Step(Verb::MkDir, {root}));
        steps.back().mayFail = true;
    }
    steps.push_back(Step(up_ ? Verb::MirrorUpList : Verb::MirrorList, {root, local_}));
    // Not part of the job's steps: an interrupted mirror still goes back where it started.
    steps.emplace_back(Verb::Cwd, std::vector<std::string>{*base});
    steps.back().endsJob = id_;
    return steps;
}

std::string MirrorJob::BeforeListing(const Command& step) const {
    if (up_) return {};
    // A dry run creates nothing: a directory still missing here is simply empty.
    const OpenedDirectory opened = OpenDirectoryBelow(local_, step.localBelow, !dryRun_);
    if (opened.fd < 0) return dryRun_ ? std::string() : opened.error;
    ::close(opened.fd);
    return {};
}

void MirrorJob::EntryFailed() {
    failedAny_ = true;
    ++failed_;
}

void MirrorJob::RunEnded(std::uint64_t failed, std::uint64_t moved) {
    failed_ += failed;
    bytes_ += moved;
}

std::string MirrorJob::End() {
    // One that never started walking (its PWD named no directory) has nothing to sum up.
    if (std::exchange(state_, State::Done) == State::Done || dryRun_) return {};
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    return "mirror: " + std::to_string(fresh_) + " new, " + std::to_string(updated_) + " updated, " +
           std::to_string(removed_) + " removed, " + std::to_string(failed_) + " failed; " +
           FormatTransferSummary(bytes_, seconds) + "\n";
}

std::vector<Command> MirrorJob::Listed(const Command& step, const std::vector<std::string>& lines, bool mlsd) {
    return up_ ? ListedUp(step, lines, mlsd) : ListedDown(step, lines, mlsd);
}

void MirrorJob::FileSteps(const MirrorDecision& d, const std::string& remotePath, const std::string& localPath,
                          const std::string& below, bool mayAskTime, std::vector<Command>& steps) {
    if (d.action == MirrorAction::Keep) return;
    if (d.action == MirrorAction::Skip) {
        const std::string shown = up_ ? localPath : remotePath;
        if (dryRun_) {
            host_.MirrorOut("skip: " + shown + " (" + d.reason + ")\n");
        } else if (d.reason.rfind("the target is a", 0) == 0 || d.reason == "the target is no regular file") {
            // Something of another kind stands where the copy would go: nothing is written
            // over or through it, and the mirror is not complete.
            host_.MirrorFail("", "'" + (up_ ? remotePath : localPath) + "' is " + d.reason.substr(14) +
                                     "; nothing is written through it");
        } else if (d.reason == "unsafe name") {
            host_.MirrorWarn("tarsel-ftp: mirror: skipping the unsafe name '" + d.name + "' in " + remotePath);
        }
        return;
    }
    if (dryRun_) {
        host_.MirrorOut(std::string(ActionText(d.action)) + ": " +
                        (up_ ? localPath + " -> " + remotePath : remotePath + " -> " + localPath) +
                        (d.reason.empty() ? "" : " (" + d.reason + ")") + "\n");
        return;
    }
    // mirror -P: the walk goes on here, the files and their questions go to the run.
    const bool parallel = Parallel();
    if (d.action == MirrorAction::AskTime ||
        (!up_ && !d.modified && (d.action == MirrorAction::Fetch || d.action == MirrorAction::Refresh))) {
        // Without the server's time the file cannot be compared (AskTime) or be given its
        // time once fetched: MDTM asks for it, where the server has it.
        if (!mayAskTime || !host_.MirrorCanAskTime()) {
            if (d.action == MirrorAction::AskTime) return;  // same size, time unknown: as before, kept
        } else {
            Command time = Step(Verb::MirrorTime, {remotePath, localPath});
            time.knownSize = d.size;
            time.localBelow = below;
            if (up_) time.sourceTime = d.modified;
            if (parallel) {
                Host& host = host_;
                const std::uint64_t id = id_;
                host_.MirrorRun(connections_, id_).Ask("MDTM " + remotePath, [&host, id, time](std::optional<std::string> text) {
                    host.MirrorTimeAnswered(id, time, text ? MdtmTime({"213 " + *text}) : std::nullopt);
                });
                return;
            }
            steps.push_back(std::move(time));
            return;
        }
    }
    ++(d.action == MirrorAction::Refresh ? updated_ : fresh_);
    if (parallel && !IsWellFormedUtf8(remotePath)) {
        // The run's connections take names as UTF-16, as the control does: a local name that
        // cannot be sent exactly is refused, as it is on one connection.
        host_.MirrorFail((up_ ? "put " : "get ") + remotePath, "Invalid Argument");
        return;
    }
    if (up_) {
        const std::string mfmt =
            host_.MirrorCanSetTime() && d.modified ? "MFMT " + MfmtTime(*d.modified) + " " + remotePath : std::string();
        if (parallel) {
            host_.MirrorRun(connections_, id_).Upload(localPath, remotePath, d.size, /*noLinks=*/true, mfmt);
            return;
        }
        steps.push_back(Step(Verb::Put, {localPath, remotePath}));
        steps.back().knownSize = d.size;
        if (!mfmt.empty()) {
            steps.push_back(Step(Verb::Quote, {mfmt}));
            steps.back().mayFail = true;
        }
        return;
    }
    if (parallel) {
        // Written below the target without following links, as with one connection.
        LocalTarget target;
        target.root = local_;
        const std::size_t slash = below.rfind('/');
        target.below = slash == std::string::npos ? std::string() : below.substr(0, slash);
        target.name = slash == std::string::npos ? below : below.substr(slash + 1);
        target.shown = localPath;
        target.modified = d.modified;
        host_.MirrorRun(connections_, id_).Download(remotePath, std::move(target), d.size);
        return;
    }
    Command get = Step(Verb::Get, {remotePath, localPath});
    get.knownSize = d.size;
    get.sourceTime = d.modified;
    get.localRoot = local_;
    get.localBelow = below;
    steps.push_back(std::move(get));
}

std::vector<Command> MirrorJob::ListedDown(const Command& step, const std::vector<std::string>& lines, bool mlsd) {
    const std::string& remote = step.args[0];
    const fs::path local = step.args[1];
    std::vector<Command> steps;
    // A line that could not be read may name a file that is there: with it unknown, nothing
    // of this directory counts as missing from the source.
    std::size_t unreadable = 0;
    const std::vector<RemoteEntry> entries = ParseRemoteListing(lines, mlsd, &unreadable);
    bool deletionsHeld = false;
    std::vector<LocalEntry> here;
    const OpenedDirectory opened = OpenDirectoryBelow(local_, step.localBelow, false);
    if (opened.fd >= 0) {
        here = ReadLocalEntries(opened.fd);
    } else if (!dryRun_) {
        host_.MirrorFail("", opened.error);
        return steps;
    }
    for (const MirrorDecision& d : PlanDownload(entries, here, options_)) {
        const std::string remotePath = JoinRemote(remote, d.name);
        const fs::path localPath = local / d.name;
        const std::string below = step.localBelow.empty() ? d.name : step.localBelow + "/" + d.name;
        const bool directory = d.directory || d.action == MirrorAction::Descend;
        if (MirrorExcludes(options_.filters, below + (directory ? "/" : ""), directory)) continue;
        if (d.action == MirrorAction::Descend) {
            steps.push_back(Step(Verb::MirrorList, {remotePath, localPath.string()}));
            steps.back().localBelow = below;
        } else if (d.action == MirrorAction::Delete) {
            if (unreadable > 0) {
                deletionsHeld = true;
                continue;
            }
            if (dryRun_) {
                host_.MirrorOut("delete: " + localPath.string() + "\n");
                continue;
            }
            // Inside the directory opened without following links; a directory goes whole,
            // its links removed as links.
            int rc = ::unlinkat(opened.fd, d.name.c_str(), d.directory ? AT_REMOVEDIR : 0);
            std::error_code ec;
            if (rc != 0 && d.directory && (errno == ENOTEMPTY || errno == EEXIST)) {
                fs::remove_all(localPath, ec);
                rc = ec ? -1 : 0;
            }
            if (rc != 0)
                host_.MirrorWarn("tarsel-ftp: mirror: cannot delete '" + localPath.string() + "': " +
                                 (ec ? ec.message() : std::string(std::strerror(errno))));
            else
                ++removed_;
        } else {
            FileSteps(d, remotePath, localPath.string(), below, true, steps);
        }
    }
    if (opened.fd >= 0) ::close(opened.fd);
    if (deletionsHeld)
        host_.MirrorFail("mirror " + remote, std::to_string(unreadable) +
                                                 " line(s) of its listing could not be read; nothing in '" +
                                                 local.string() + "' is deleted");
    return steps;
}

std::vector<Command> MirrorJob::ListedUp(const Command& step, const std::vector<std::string>& lines, bool mlsd) {
    const std::string& remote = step.args[0];
    const fs::path local = step.args[1];
    std::vector<Command> steps;
    const std::vector<RemoteEntry> there = ParseRemoteListing(lines, mlsd);
    const int fd = ::open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        host_.MirrorFail("", "cannot read '" + local.string() + "': " + std::strerror(errno));
        return steps;
    }
    const std::vector<LocalEntry> here = ReadLocalEntries(fd);
    ::close(fd);
    MirrorOptions options = options_;
    // A server may offer MFMT and still refuse it (pure-ftpd does, to anonymous users): then
    // an uploaded copy carries its upload time. A same-size remote copy that is newer than
    // the local file is kept either way, or every run would send it again.
    options.keepNewerTarget = true;
    for (const MirrorDecision& d : PlanUpload(here, there, options)) {
        const std::string remotePath = JoinRemote(remote, d.name);
        const fs::path localPath = local / d.name;
        const std::string below = step.localBelow.empty() ? d.name : step.localBelow + "/" + d.name;
        if (MirrorExcludes(options_.filters, below + (d.directory ? "/" : ""), d.directory)) continue;
        if (d.directory && (d.action == MirrorAction::Fetch || d.action == MirrorAction::Descend)) {
            if (d.action == MirrorAction::Fetch && !dryRun_) steps.push_back(Step(Verb::MkDir, {remotePath}));
            // A directory a dry run did not make is not there to be listed.
            if (dryRun_ && d.action == MirrorAction::Fetch) {
                host_.MirrorOut("new: " + localPath.string() + "/ -> " + remotePath + "/\n");
            } else {
                steps.push_back(Step(Verb::MirrorUpList, {remotePath, localPath.string()}));
                steps.back().localBelow = below;
            }
        } else if (d.action == MirrorAction::Delete) {
            if (dryRun_) {
                host_.MirrorOut("delete: " + remotePath + (d.directory ? "/" : "") + "\n");
                continue;
            }
            ++removed_;
            if (d.directory) host_.MirrorRemoveDirectory(remote, d.name);
            steps.push_back(Step(d.directory ? Verb::WalkNext : Verb::Delete, {remotePath}));
        } else {
            FileSteps(d, remotePath, localPath.string(), "", true, steps);
        }
    }
    return steps;
}

std::vector<Command> MirrorJob::TimeAnswered(const Command& step, std::optional<std::int64_t> remoteTime) {
    std::vector<Command> steps;
    const std::string& remotePath = step.args[0];
    const std::string& localPath = step.args[1];
    const std::optional<LocalEntry> here = LocalEntryAt(localPath);
    MirrorDecision d{};
    if (up_) {
        // The local file is the source; its listed size on the server came with the step.
        if (!here) return steps;
        const FileState source{here->size, here->modified, ""};
        const FileState target{step.knownSize, remoteTime, ""};
        MirrorOptions options = options_;
        options.keepNewerTarget = true;
        d = DecideFile(here->name, source, target, options);
    } else {
        std::optional<FileState> target;
        if (here)
            target = FileState{here->size, here->modified, here->kind == LocalEntry::Kind::File ? "" : "no regular file"};
        d = DecideFile(BaseName(remotePath), FileState{step.knownSize, remoteTime, ""}, target, options_);
    }
    // The time is still unknown: equal sizes keep the file, as before times were compared.
    if (d.action == MirrorAction::AskTime) return steps;
    // Asked already: no second MDTM for the same file.
    FileSteps(d, remotePath, localPath, step.localBelow, false, steps);
    return steps;
}

}  // namespace tarselftp

// mirror's walk on the session's connection: the directory it starts from, each listing
// decided against the local side (mirror_plan.h), the MDTM asked where a time is missing, and
// the steps (or, with -P, the run's transfers) that carry out each decision.
#include "ftp_session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "confined_directory.h"
#include "mirror_plan.h"
#include "remote_listing.h"
#include "tree_walk.h"
#include "well_formed_utf8.h"

namespace tarselftp {

namespace fs = std::filesystem;
using tarselctl::AutomationError;
using tarselctl::FromUtf8;
using tarselctl::ToUtf8;

void FtpSession::ExpandMirrorStart(const Running& r, const std::string& pwdText) {
    const Command& c = *r.command;
    const std::optional<std::string> base = QuotedDirectory(pwdText);
    if (!base || base->empty() || (*base)[0] != '/') {
        mirrorJob_ = 0;
        Fail(Fault::Server, "257", "Pwd", "no directory in the reply: " + pwdText);
        return;
    }
    const std::string& remote = c.reverse ? c.args[1] : c.args[0];
    const std::string& local = c.reverse ? c.args[0] : c.args[1];
    const std::string root = remote[0] == '/' ? remote : JoinRemote(*base, remote);
    std::vector<Command> steps;
    if (c.reverse) {
        if (!c.dryRun) {
            Command mkdir{Verb::MkDir, {root}};
            mkdir.mayFail = true;
            mkdir.job = c.job;
            steps.push_back(std::move(mkdir));
        }
        Command list{Verb::MirrorUpList, {root, local}};
        list.job = c.job;
        list.reverse = true;
        list.mirror = c.mirror;
        list.dryRun = c.dryRun;
        list.parallel = c.parallel;
        steps.push_back(std::move(list));
    } else {
        Command list{Verb::MirrorList, {root, local}};
        list.job = c.job;
        list.localRoot = local;
        list.mirror = c.mirror;
        list.dryRun = c.dryRun;
        list.parallel = c.parallel;
        steps.push_back(std::move(list));
    }
    // Not part of the job: an interrupted mirror still goes back where it started.
    steps.emplace_back(Verb::Cwd, std::vector<std::string>{*base});
    steps.back().endsMirror = true;
    PushSteps(std::move(steps));
}

namespace {

// The entries of a local directory as lstat tells them; links are not followed.
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
        LocalEntry e;
        e.name = name;
        e.kind = S_ISREG(st.st_mode)   ? LocalEntry::Kind::File
                 : S_ISDIR(st.st_mode) ? LocalEntry::Kind::Directory
                 : S_ISLNK(st.st_mode) ? LocalEntry::Kind::Link
                                       : LocalEntry::Kind::Other;
        e.size = static_cast<std::uint64_t>(st.st_size);
        e.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec);
        entries.push_back(std::move(e));
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const LocalEntry& a, const LocalEntry& b) { return a.name < b.name; });
    return entries;
}

std::optional<LocalEntry> LocalEntryAt(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    LocalEntry e;
    e.name = BaseName(path);
    e.kind = S_ISREG(st.st_mode) ? LocalEntry::Kind::File
             : S_ISDIR(st.st_mode) ? LocalEntry::Kind::Directory
             : S_ISLNK(st.st_mode) ? LocalEntry::Kind::Link
                                   : LocalEntry::Kind::Other;
    e.size = static_cast<std::uint64_t>(st.st_size);
    e.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    return e;
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

// "213 20200102030405" (perhaps with fractions): seconds since 1970, UTC.
std::optional<std::int64_t> FtpSession::MdtmTime(const std::vector<std::string>& replies) {
    for (const std::string& line : replies) {
        if (line.rfind("213 ", 0) != 0) continue;
        auto entry = tarselctl::ParseListingLine(std::string_view("modify=" + line.substr(4) + "; x"),
                                                 {tarselctl::ListingFormat::Mlsd, std::nullopt});
        if (entry && entry->modified) return entry->modified;
    }
    return std::nullopt;
}

void FtpSession::AddMirrorFileSteps(const Command& list, const MirrorDecision& d, const std::string& remotePath,
                                    const std::string& localPath, const std::string& below,
                                    std::vector<Command>& steps) {
    const bool up = list.reverse;
    if (d.action == MirrorAction::Keep) return;
    if (d.action == MirrorAction::Skip) {
        const std::string shown = up ? localPath : remotePath;
        if (list.dryRun) {
            Print("skip: " + shown + " (" + d.reason + ")\n");
        } else if (d.reason.rfind("the target is a", 0) == 0 || d.reason == "the target is no regular file") {
            // Something of another kind stands where the copy would go: nothing is written
            // over or through it, and the mirror is not complete.
            Fail(Fault::Local, "", "",
                 "'" + (up ? remotePath : localPath) + "' is " + d.reason.substr(14) + "; nothing is written through it");
        } else if (d.reason == "unsafe name") {
            PrintError("tarsel-ftp: mirror: skipping the unsafe name '" + d.name + "' in " + remotePath);
        }
        return;
    }
    if (list.dryRun) {
        Print(std::string(ActionText(d.action)) + ": " + (up ? localPath + " -> " + remotePath : remotePath + " -> " + localPath) +
              (d.reason.empty() ? "" : " (" + d.reason + ")") + "\n");
        return;
    }
    // mirror -P: the walk goes on here, the files and their questions go to the run.
    const bool parallel = list.parallel > 1 && platform_ != nullptr;
    if (d.action == MirrorAction::AskTime ||
        (!up && !d.modified && (d.action == MirrorAction::Fetch || d.action == MirrorAction::Refresh))) {
        // Without the server's time the file cannot be compared (AskTime) or be given its
        // time once fetched: MDTM asks for it, where the server has it.
        if (!features_.mdtm) {
            if (d.action == MirrorAction::AskTime) return;  // same size, time unknown: as before, kept
        } else {
            Command time{Verb::MirrorTime, {remotePath, localPath}};
            time.job = list.job;
            time.reverse = up;
            time.mirror = list.mirror;
            time.parallel = list.parallel;
            time.knownSize = d.size;
            time.localRoot = list.localRoot;
            time.localBelow = below;
            if (up) time.sourceTime = d.modified;
            if (parallel) {
                MirrorRun(list).Ask("MDTM " + remotePath, [this, time](std::optional<std::string> text) {
                    MirrorTimeDone(time, text ? MdtmTime({"213 " + *text}) : std::nullopt);
                });
                return;
            }
            steps.push_back(std::move(time));
            return;
        }
    }
    ++(d.action == MirrorAction::Refresh ? tally_.updated : tally_.fresh);
    if (parallel && !IsWellFormedUtf8(remotePath)) {
        // The run's connections take names as UTF-16, as the control does: a local name that
        // cannot be sent exactly is refused, as it is on one connection.
        Fail(Fault::Local, "", (up ? "put " : "get ") + remotePath, "Invalid Argument");
        return;
    }
    if (up) {
        const std::string mfmt =
            features_.mfmt && d.modified ? "MFMT " + MfmtTime(*d.modified) + " " + remotePath : std::string();
        if (parallel) {
            MirrorRun(list).Upload(localPath, remotePath, d.size, /*noLinks=*/true, mfmt);
            return;
        }
        Command put{Verb::Put, {localPath, remotePath}};
        put.job = list.job;
        put.knownSize = d.size;
        steps.push_back(std::move(put));
        if (!mfmt.empty()) {
            Command quote{Verb::Quote, {mfmt}};
            quote.job = list.job;
            quote.mayFail = true;
            steps.push_back(std::move(quote));
        }
        return;
    }
    if (parallel) {
        // Written below the target without following links, as with one connection.
        LocalTarget target;
        target.root = list.localRoot;
        const std::size_t slash = below.rfind('/');
        target.below = slash == std::string::npos ? std::string() : below.substr(0, slash);
        target.name = slash == std::string::npos ? below : below.substr(slash + 1);
        target.shown = localPath;
        target.modified = d.modified;
        MirrorRun(list).Download(remotePath, std::move(target), d.size);
        return;
    }
    Command get{Verb::Get, {remotePath, localPath}};
    get.job = list.job;
    get.knownSize = d.size;
    get.sourceTime = d.modified;
    get.localRoot = list.localRoot;
    get.localBelow = below;
    steps.push_back(std::move(get));
}

void FtpSession::ExpandMirrorList(const Running& r) {
    const Command& list = *r.command;
    const std::string& remote = list.args[0];
    const fs::path local = list.args[1];
    // A line that could not be read may name a file that is there: with it unknown, nothing
    // of this directory counts as missing from the source.
    std::size_t unreadable = 0;
    const std::vector<RemoteEntry> entries = ParseRemoteListing(r.lines, r.mlsd, &unreadable);
    bool deletionsHeld = false;
    std::vector<LocalEntry> here;
    const OpenedDirectory opened = OpenDirectoryBelow(list.localRoot, list.localBelow, false);
    if (opened.fd >= 0) {
        here = ReadLocalEntries(opened.fd);
    } else if (!list.dryRun) {
        Fail(Fault::Local, "", "", opened.error);
        return;
    }
    std::vector<Command> steps;
    for (const MirrorDecision& d : PlanDownload(entries, here, list.mirror)) {
        const std::string remotePath = JoinRemote(remote, d.name);
        const fs::path localPath = local / d.name;
        const std::string below = list.localBelow.empty() ? d.name : list.localBelow + "/" + d.name;
        const bool directory = d.directory || d.action == MirrorAction::Descend;
        if (MirrorExcludes(list.mirror.filters, below + (directory ? "/" : ""), directory)) continue;
        if (d.action == MirrorAction::Descend) {
            Command sub{Verb::MirrorList, {remotePath, localPath.string()}};
            sub.job = list.job;
            sub.localRoot = list.localRoot;
            sub.localBelow = below;
            sub.mirror = list.mirror;
            sub.dryRun = list.dryRun;
            sub.parallel = list.parallel;
            steps.push_back(std::move(sub));
        } else if (d.action == MirrorAction::Delete) {
            if (unreadable > 0) {
                deletionsHeld = true;
                continue;
            }
            if (list.dryRun) {
                Print("delete: " + localPath.string() + "\n");
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
                PrintError("tarsel-ftp: mirror: cannot delete '" + localPath.string() + "': " +
                           (ec ? ec.message() : std::string(std::strerror(errno))));
            else
                ++tally_.removed;
        } else {
            AddMirrorFileSteps(list, d, remotePath, localPath.string(), below, steps);
        }
    }
    if (opened.fd >= 0) ::close(opened.fd);
    if (deletionsHeld)
        Fail(Fault::Local, "", "mirror " + remote,
             std::to_string(unreadable) + " line(s) of its listing could not be read; nothing in '" +
                 local.string() + "' is deleted");
    PushSteps(std::move(steps));
}

void FtpSession::ExpandMirrorUpList(const Running& r) {
    const Command& list = *r.command;
    const std::string& remote = list.args[0];
    const fs::path local = list.args[1];
    const std::vector<RemoteEntry> there = ParseRemoteListing(r.lines, r.mlsd);
    const int fd = ::open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        Fail(Fault::Local, "", "", "cannot read '" + local.string() + "': " + std::strerror(errno));
        return;
    }
    const std::vector<LocalEntry> here = ReadLocalEntries(fd);
    ::close(fd);
    std::vector<Command> steps;
    MirrorOptions options = list.mirror;
    // A server may offer MFMT and still refuse it (pure-ftpd does, to anonymous users): then
    // an uploaded copy carries its upload time. A same-size remote copy that is newer than
    // the local file is kept either way, or every run would send it again.
    options.keepNewerTarget = true;
    for (const MirrorDecision& d : PlanUpload(here, there, options)) {
        const std::string remotePath = JoinRemote(remote, d.name);
        const fs::path localPath = local / d.name;
        const std::string below = list.localBelow.empty() ? d.name : list.localBelow + "/" + d.name;
        if (MirrorExcludes(list.mirror.filters, below + (d.directory ? "/" : ""), d.directory)) continue;
        if (d.directory && (d.action == MirrorAction::Fetch || d.action == MirrorAction::Descend)) {
            if (d.action == MirrorAction::Fetch && !list.dryRun) {
                Command mkdir{Verb::MkDir, {remotePath}};
                mkdir.job = list.job;
                steps.push_back(std::move(mkdir));
            }
            Command sub{Verb::MirrorUpList, {remotePath, localPath.string()}};
            sub.job = list.job;
            sub.localBelow = below;
            sub.reverse = true;
            sub.mirror = list.mirror;
            sub.dryRun = list.dryRun;
            sub.parallel = list.parallel;
            // A directory a dry run did not make is not there to be listed.
            if (!(list.dryRun && d.action == MirrorAction::Fetch)) steps.push_back(std::move(sub));
            else Print("new: " + localPath.string() + "/ -> " + remotePath + "/\n");
        } else if (d.action == MirrorAction::Delete) {
            if (list.dryRun) {
                Print("delete: " + remotePath + (d.directory ? "/" : "") + "\n");
                continue;
            }
            // A directory goes as rm -r takes it: known by a listing that shows links, so
            // that a link the listing above called a directory is deleted as a link.
            Command del{d.directory ? Verb::WalkNext : Verb::Delete, {remotePath}};
            del.job = list.job;
            ++tally_.removed;
            if (d.directory) walk_.AddRemoval(remote, d.name);
            steps.push_back(std::move(del));
        } else {
            AddMirrorFileSteps(list, d, remotePath, localPath.string(), "", steps);
        }
    }
    PushSteps(std::move(steps));
}

void FtpSession::MirrorTimeDone(const Command& c, std::optional<std::int64_t> remoteTime) {
    const std::string& remotePath = c.args[0];
    const std::string& localPath = c.args[1];
    const std::optional<LocalEntry> here = LocalEntryAt(localPath);
    MirrorDecision d{};
    if (c.reverse) {
        // The local file is the source; its listed size on the server came with the step.
        if (!here) return;
        const FileState source{here->size, here->modified, ""};
        const FileState target{c.knownSize, remoteTime, ""};
        MirrorOptions options = c.mirror;
        options.keepNewerTarget = true;
        d = DecideFile(here->name, source, target, options);
        // The time is still unknown: equal sizes keep the file, as before times were compared.
        if (d.action == MirrorAction::AskTime) return;
    } else {
        std::optional<FileState> target;
        if (here) target = FileState{here->size, here->modified, here->kind == LocalEntry::Kind::File ? "" : "no regular file"};
        d = DecideFile(BaseName(remotePath), FileState{c.knownSize, remoteTime, ""}, target, c.mirror);
        if (d.action == MirrorAction::AskTime) return;
    }
    Command list{c.reverse ? Verb::MirrorUpList : Verb::MirrorList, {}};
    list.job = c.job;
    list.reverse = c.reverse;
    list.mirror = c.mirror;
    list.parallel = c.parallel;
    list.localRoot = c.localRoot;
    std::vector<Command> steps;
    Features had = features_;
    features_.mdtm = false;  // asked already: no second MDTM for the same file
    AddMirrorFileSteps(list, d, remotePath, localPath, c.localBelow, steps);
    features_ = had;
    PushSteps(std::move(steps));
}

}  // namespace tarselftp

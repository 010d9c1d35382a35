// The many-file commands' steps: mget's listings and downloads, mput's local matches, and
// the walks of find, du, rm -r and mkdir -p, with cat, chmod and rm broken into one step a
// name.
#include "ftp_session.h"

#include <glob.h>
#include <sys/stat.h>

#include "mirror_plan.h"
#include "remote_listing.h"
#include "tree_walk.h"

namespace tarselftp {

void FtpSession::ExpandMget(const Command& command) {
    const std::uint64_t job = ++commandCount_;
    std::vector<Command> steps;
    for (std::size_t i = 0; i < command.args.size(); ++i) {
        const std::string& pattern = command.args[i];
        const std::string base = BaseName(pattern);
        const bool literal = i < command.literal.size() && command.literal[i];
        if (literal || !HasPattern(base)) {
            Command get{Verb::Get, {pattern, LocalIn(command.intoDirectory, LocalNameFromServer(base))}};
            get.job = job;
            get.parallel = command.parallel;
            get.resume = command.resume;
            steps.push_back(std::move(get));
            continue;
        }
        const auto slash = pattern.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : pattern.substr(0, slash == 0 ? 1 : slash);
        Command list{Verb::MgetList, {dir, base}};
        list.job = job;
        list.parallel = command.parallel;
        list.resume = command.resume;
        list.intoDirectory = command.intoDirectory;
        steps.push_back(std::move(list));
    }
    PushSteps(std::move(steps));
}

void FtpSession::ExpandMgetList(const Running& r) {
    const std::string& dir = r.command->args[0];
    const std::string& pattern = r.command->args[1];
    const std::vector<RemoteEntry> entries = ParseRemoteListing(r.lines, r.mlsd);
    const MgetPlan plan = PlanMget(entries, pattern);
    if (plan.skippedDirectories > 0)
        Note("mget: skipping " + std::to_string(plan.skippedDirectories) + " director" +
             (plan.skippedDirectories == 1 ? "y" : "ies") + " (mirror copies directories)");
    if (plan.skippedUnsafe > 0)
        PrintError("tarsel-ftp: mget: skipping " + std::to_string(plan.skippedUnsafe) +
                   " name(s) that cannot be a local file name");
    std::vector<Command> steps;
    for (const RemoteEntry& e : plan.files) {
        Command get{Verb::Get, {JoinRemote(dir, e.name), LocalIn(r.command->intoDirectory, LocalNameFromServer(e.name))}};
        get.job = r.command->job;
        get.parallel = r.command->parallel;
        get.resume = r.command->resume;
        get.knownSize = e.size;
        steps.push_back(std::move(get));
    }
    if (steps.empty() && plan.skippedDirectories == 0) {
        Fail(Fault::Local, "", "mget", "no remote file matches '" + JoinRemote(dir, pattern) + "'");
        return;
    }
    PushSteps(std::move(steps));
}

void FtpSession::ExpandDailyCommand(const Command& command) {
    const std::uint64_t job = ++commandCount_;
    if (command.verb == Verb::Find || command.verb == Verb::Du || command.verb == Verb::MkDir ||
        (command.verb == Verb::Rm && command.recursive)) {
        // Queued before what Begin says: a script that stops on it drops the walk too.
        Command next{Verb::WalkNext};
        next.job = job;
        queue_.push_front(std::move(next));
        walkForce_ = command.verb == Verb::Rm && command.force;
        TakeWalkOutput(walk_.Begin(command));
        return;
    }
    std::vector<Command> steps;
    const auto step = [&](Verb verb, std::vector<std::string> args) {
        steps.emplace_back(verb, std::move(args));
        steps.back().job = job;
    };
    for (std::size_t i = 0; i < command.args.size(); ++i) {
        if (command.verb == Verb::Cat) step(Verb::Get, {command.args[i], "-"});
        else if (command.verb == Verb::Rm) {
            step(Verb::Delete, {command.args[i]});
            steps.back().mayFail = command.force;
        }
        else if (command.verb == Verb::Chmod && i > 0) step(Verb::Site, {"CHMOD " + command.args[0] + " " + command.args[i]});
    }
    PushSteps(std::move(steps));
}

void FtpSession::RunWalkStep(const Command& next) {
    // A lost connection ends the walk: its step has failed already.
    if (!connected_) return;
    TreeWalk::Output output;
    if (std::optional<Command> step = walk_.Next(output)) {
        step->job = next.job;
        queue_.push_front(next);
        queue_.push_front(std::move(*step));
    }
    TakeWalkOutput(std::move(output));
}

void FtpSession::TakeWalkOutput(TreeWalk::Output outcome) {
    if (!outcome.out.empty()) Print(outcome.out);
    for (const TreeWalk::Problem& p : outcome.problems) {
        // rm -rf: what is not there is no error, as with lftp; other failures still are.
        if (walkForce_ && p.fails && p.text.rfind("no such entry", 0) == 0) continue;
        if (!p.fails) PrintError("tarsel-ftp: " + p.subject + ": " + p.text);
        else if (!p.serverCode.empty()) Fail(Fault::Server, p.serverCode, p.subject, p.text);
        else Fail(Fault::Local, "", p.subject, p.text);
    }
    if (!outcome.note.empty() && interactive_ && !options_.verbose) Note(outcome.note);
}

void FtpSession::ExpandMput(const Command& command) {
    const std::uint64_t job = ++commandCount_;
    std::vector<Command> steps;
    for (const std::string& pattern : command.args) {
        glob_t found{};
        const int rc = ::glob(pattern.c_str(), 0, nullptr, &found);
        std::size_t matched = 0;
        if (rc == 0) {
            for (std::size_t i = 0; i < found.gl_pathc; ++i) {
                // A local file called "-" is that file, not standard input.
                const std::string path =
                    std::string_view(found.gl_pathv[i]) == "-" ? "./-" : found.gl_pathv[i];
                struct stat st {};
                if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
                Command put{Verb::Put, {path, command.intoDirectory.empty() ? BaseName(path) : JoinRemote(command.intoDirectory, BaseName(path))}};
                put.job = job;
                put.parallel = command.parallel;
                put.knownSize = static_cast<std::uint64_t>(st.st_size);
                steps.push_back(std::move(put));
                ++matched;
            }
        }
        ::globfree(&found);
        if (matched == 0) Fail(Fault::Local, "", "mput", "no local file matches '" + pattern + "'");
    }
    PushSteps(std::move(steps));
    StartNext();
}

}  // namespace tarselftp

// The many-file commands' steps: mput's local matches, and the walks of find, du, rm -r and
// mkdir -p, with cat, chmod and rm broken into one step a name.
#include "ftp_session.h"

#include <glob.h>
#include <sys/stat.h>

#include "tree_walk.h"

namespace tarselftp {

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

// Patterns in remote names, expanded here from the server's listing (servers differ in
// whether LIST, DELE or SITE CHMOD expand them, and most do not), and cls, which prints
// from the same listing.
#include "ftp_session.h"

#include "listing_view.h"
#include "remote_listing.h"
#include "tree_walk.h"

namespace tarselftp {

namespace {

// The first argument that names a remote file, for the commands that expand patterns
// there; -1 for the others. glob opens the single-name commands too.
int FirstRemoteName(const Command& command) {
    switch (command.verb) {
    case Verb::Rm: case Verb::Cat: case Verb::Dir: case Verb::Ls: case Verb::Du: case Verb::Find:
        return 0;
    case Verb::Chmod:
        return 1;
    case Verb::Delete: case Verb::RmDir: case Verb::Size:
        return command.globAll ? 0 : -1;
    default:
        return -1;
    }
}

// Commands that take one remote name per run: several become one command each.
bool TakesOneName(Verb verb) {
    return verb == Verb::Dir || verb == Verb::Ls || verb == Verb::Du || verb == Verb::Find ||
           verb == Verb::Delete || verb == Verb::RmDir || verb == Verb::Size;
}

}  // namespace

bool FtpSession::ExpandPatterns(Command& command) {
    const int first = FirstRemoteName(command);
    if (first < 0) return false;
    for (std::size_t i = static_cast<std::size_t>(first); i < command.args.size(); ++i) {
        if (i >= command.literal.size() || command.literal[i] || !HasPattern(command.args[i])) continue;
        const std::string& pattern = command.args[i];
        const auto slash = pattern.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : pattern.substr(0, slash == 0 ? 1 : slash);
        const std::string base = pattern.substr(slash == std::string::npos ? 0 : slash + 1);
        if (HasPattern(dir) || base.empty()) {
            Fail(Fault::Local, "", std::string(FindCommand(command.verb)->name),
                 "patterns are expanded in the last part of a name only, not in '" + pattern + "'");
            return true;
        }
        // The command waits behind the listing, which fills in what the pattern matched.
        if (command.job == 0) command.job = ++commandCount_;
        Command list{Verb::GlobList, {dir, base, std::string(FindCommand(command.verb)->name)}};
        list.job = command.job;
        list.offset = i;
        queue_.push_front(std::move(command));
        queue_.push_front(std::move(list));
        return true;
    }
    if (TakesOneName(command.verb) && command.args.size() > 1) {
        std::vector<Command> steps;
        for (std::size_t i = 0; i < command.args.size(); ++i) {
            Command one = command;
            one.args = {command.args[i]};
            one.literal = {true};
            steps.push_back(std::move(one));
        }
        PushSteps(std::move(steps));
        return true;
    }
    return false;
}

void FtpSession::GlobListed(const Running& r) {
    const Command& list = *r.command;
    if (queue_.empty() || queue_.front().job != list.job) return;  // dropped meanwhile
    Command& target = queue_.front();
    const std::size_t index = static_cast<std::size_t>(list.offset);
    const std::string pattern = target.args[index];
    const std::vector<std::string> paths = MatchRemoteNames(ParseRemoteListing(r.lines, r.mlsd), list.args[0], list.args[1]);
    target.args.erase(target.args.begin() + static_cast<std::ptrdiff_t>(index));
    target.literal.erase(target.literal.begin() + static_cast<std::ptrdiff_t>(index));
    target.args.insert(target.args.begin() + static_cast<std::ptrdiff_t>(index), paths.begin(), paths.end());
    target.literal.insert(target.literal.begin() + static_cast<std::ptrdiff_t>(index), paths.size(), true);
    if (!paths.empty()) return;
    // Nothing matched: an error, as the shell's failglob makes it, unless rm -f; a command
    // left with no name at all does not run (dir would list everything instead).
    const bool force = target.force;
    const std::size_t first = static_cast<std::size_t>(FirstRemoteName(target));
    if (force && target.args.size() > first) return;
    queue_.pop_front();
    if (!force) Fail(Fault::Local, "", list.args[2], "no remote file matches '" + pattern + "'");
}

void FtpSession::StartCls(const Command& command) {
    const std::uint64_t job = ++commandCount_;
    std::vector<Command> steps;
    std::vector<std::string> names = command.args;
    std::vector<bool> literal = command.literal;
    if (names.empty()) {
        names = {""};
        literal = {true};
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        Command list = command;
        list.verb = Verb::ClsList;
        list.job = job;
        const std::string& name = names[i];
        if (i < literal.size() && !literal[i] && HasPattern(name)) {
            const auto slash = name.rfind('/');
            const std::string dir = slash == std::string::npos ? "" : name.substr(0, slash == 0 ? 1 : slash);
            list.args = {dir, name.substr(slash == std::string::npos ? 0 : slash + 1)};
        } else {
            list.args = {name, ""};
        }
        steps.push_back(std::move(list));
    }
    PushSteps(std::move(steps));
}

void FtpSession::ClsListed(const Running& r) {
    const Command& cls = *r.command;
    const std::string& dir = cls.args[0];
    const std::string& pattern = cls.args[1];
    std::string shown;
    if (!dir.empty() && dir != ".") shown = dir.back() == '/' ? dir : dir + "/";
    const std::string text = FormatCls(ParseRemoteListing(r.lines, r.mlsd), pattern, shown, cls);
    if (!pattern.empty() && text.empty()) {
        Fail(Fault::Local, "", "cls", "no remote file matches '" + JoinRemote(dir, pattern) + "'");
        return;
    }
    Print(text);
}

}  // namespace tarselftp

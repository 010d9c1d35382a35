// find, du, rm -r and mkdir -p: the commands that walk a remote tree or build a path in it.
// What they decide is pure: the session runs the steps on its connection and hands back
// the listings; nothing here touches a socket or a file.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "remote_listing.h"

namespace tarselftp {

/// "dir" + "name" as a remote path: "" (the current directory) and "/" take no extra '/'.
std::string JoinRemote(const std::string& dir, const std::string& name);
/// "a/b" -> {"a", "b"}, "/a" -> {"/", "a"}, "a" -> {"", "a"} (the current directory);
/// trailing slashes are dropped first.
std::pair<std::string, std::string> ParentAndName(const std::string& path);

/// The command a walk step belongs to, as the user typed it ("rm" for RmEntry), for error
/// lines.
std::string TypedName(Command::Walk walk);

/// A walk goes no deeper: a server whose every directory lists another one must not keep
/// find, du or rm -r busy for good.
inline constexpr std::size_t kMaxWalkDepth = 64;

/// One command of the family, made from its typed form (find, du, rm -r, mkdir [-p]) and
/// kept while its steps run. It owns what the walk has seen: each directory is walked once
/// (by path, and by the listing's unique fact where it gives one), never deeper than
/// kMaxWalkDepth, and a link is never walked into. du's totals are exact (they cannot wrap).
///
/// Its steps are commands for the session's queue: WalkList (list a directory and come
/// back with the lines), Delete, RmDir, MkDir and DuReport.
class TreeWalk {
public:
    /// What went wrong with one entry; `fails` counts against the command's status, else it
    /// is a note on standard error. `server` carries a server's refusal (code and text).
    struct Problem {
        bool fails = true;
        std::string subject;
        std::string text;
        std::string serverCode;
    };
    /// The steps to run next (ahead of everything queued), what to print, and what failed.
    struct Outcome {
        std::vector<Command> steps;
        std::string out;
        std::vector<Problem> problems;
        /// mkdir -p found its directory there already: said on a terminal.
        std::string note;
    };

    /// Starts `typed` (find, du, rm -r or mkdir) as job `job`, forgetting any walk before.
    Outcome Begin(const Command& typed, std::uint64_t job);
    /// A WalkList step ended with these listing lines (MLSD facts when `mlsd`).
    Outcome Listed(const Command& list, const std::vector<std::string>& lines, bool mlsd);
    /// du's lines, deepest first, for its DuReport step.
    std::string Report(const Command& report) const;

    /// The step that removes `name` in `parent` with everything in it, once the parent's
    /// listing has told what it is: a directory is walked, anything else deleted as itself.
    static Command RemoveEntry(const std::string& parent, const std::string& name, std::uint64_t job);
    /// The step that checks a refused MKD of mkdir -p's last directory against its parent's
    /// listing: one that exists already is no error.
    static Command CheckMade(const Command& mkdir, std::int32_t code, const std::string& text);

private:
    /// RmEntry and MkdirCheck: what the parent's listing says of the one name asked for.
    Outcome ListedEntry(const Command& list, const std::vector<RemoteEntry>& entries);

    std::set<std::string> walked_;
    std::map<std::string, unsigned __int128> usage_;
};

}  // namespace tarselftp

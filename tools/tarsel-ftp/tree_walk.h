// find, du, rm -r and mkdir -p: the commands that walk a remote tree or build a path in it.
// What they decide is pure: the session runs the steps on its connection and hands back
// the listings; nothing here touches a socket or a file.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "command_line.h"
#include "remote_listing.h"

namespace tarselftp {

/// 1536 -> "1.5K": sizes as du -h and cls -h show them.
std::string HumanSize(unsigned __int128 bytes);

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
/// kept while it runs: a job that owns its own state. The session runs one step at a time
/// on its connection (Next) and hands back what a listing said (Listed) or that mkdir -p's
/// last MKD was refused (Refused); the walk's continuations are the stages of its frames,
/// not entries of the session's queue.
///
/// It owns what the walk has seen: each directory is walked once (by path, and by the
/// listing's unique fact where it gives one), never deeper than kMaxWalkDepth, and a link
/// is never walked into; rm -r learns what each named entry is from its parent's listing.
/// du's totals are exact (they cannot wrap).
class TreeWalk {
public:
    /// What went wrong with one entry; `fails` counts against the command's status, else it
    /// is a note on standard error. `serverCode` carries a server's refusal.
    struct Problem {
        bool fails = true;
        std::string subject;
        std::string text;
        std::string serverCode;
    };
    /// What to print and what failed along the way.
    struct Output {
        std::string out;
        std::vector<Problem> problems;
        /// mkdir -p found its directory there already: said on a terminal.
        std::string note;
    };

    /// Starts `typed` (find, du, rm -r or mkdir), forgetting any walk before.
    Output Begin(const Command& typed);
    /// Adds the removal of `name` in `parent` with everything in it (mirror -R --delete).
    void AddRemoval(const std::string& parent, const std::string& name);
    /// The next step to run (WalkList, Delete, RmDir or MkDir); empty once the walk is done,
    /// when du's report comes in `output`. A listing asked for and never answered (it
    /// failed) leaves its directory alone.
    std::optional<Command> Next(Output& output);
    /// The listing of the last step ended with these lines (MLSD facts when `mlsd`).
    Output Listed(const std::vector<std::string>& lines, bool mlsd);
    /// mkdir -p's last MKD was refused: its parent's listing is asked whether it exists.
    void Refused(const Command& mkdir, std::int32_t code, const std::string& text);
    /// Nothing is left to do.
    bool Done() const { return frames_.empty(); }

private:
    /// Where one entry of the walk stands.
    enum class Stage {
        Identify,  ///< the parent is to be listed to learn what the name is (rm -r)
        List,      ///< a directory to list
        Delete,    ///< a file or link to delete
        Remove,    ///< a directory emptied (its children above it) to remove
        Make,      ///< a directory to make (mkdir)
        Check,     ///< mkdir -p's refused directory, checked in its parent's listing
    };
    struct Frame {
        Frame(Stage s, std::string p, std::string n = {}, std::size_t d = 0)
            : stage(s), path(std::move(p)), name(std::move(n)), depth(d) {}
        Stage stage;
        /// The entry's path; Identify and Check: its parent's, with `name` the entry's.
        std::string path;
        std::string name;
        std::size_t depth = 0;
        /// Make: the last directory of mkdir -p. Check: the MKD's refusal.
        bool last = false;
        std::string code, text;
    };
    /// What the walk of this command does with each directory listed.
    enum class Kind { Find, Du, Remove, MakePath };

    Output ListedEntry(const Frame& frame, const std::vector<RemoteEntry>& entries);
    std::string Report() const;

    Kind kind_ = Kind::Find;
    bool recursive_ = false;
    std::string root_;
    bool summarize_ = false;
    bool human_ = false;
    /// The entries still to do; the back is next.
    std::vector<Frame> frames_;
    /// The frame whose listing was asked for and not answered yet.
    std::optional<Frame> asked_;
    bool reported_ = false;
    std::set<std::string> walked_;
    std::map<std::string, unsigned __int128> usage_;
};

}  // namespace tarselftp

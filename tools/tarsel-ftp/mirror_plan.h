// What mirror and mget do with each entry of a directory, decided from the remote listing
// and what is on the local side. Pure: the session gathers the facts and carries out the
// decisions.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "remote_listing.h"

namespace tarselftp {

/// One entry on this side, as lstat tells it (links are not followed).
struct LocalEntry {
    enum class Kind { File, Directory, Link, Other };
    std::string name;
    Kind kind = Kind::Other;
    std::uint64_t size = 0;
    /// Modification time, whole seconds since 1970 (UTC).
    std::int64_t modified = 0;
};

/// One of mirror's --include / --exclude options (lftp's meanings): a glob (-I, -X,
/// --include-glob, --exclude-glob) or a POSIX extended regular expression (-i, -x,
/// --include, --exclude).
struct MirrorFilter {
    bool include = false;
    bool glob = false;
    std::string pattern;
    /// The compiled expression of a regex filter.
    std::shared_ptr<const std::regex> regex;
};

/// A filter from its option and text; nullopt when the option is none of them. `error` is
/// set for an expression that does not compile.
std::optional<MirrorFilter> MirrorFilterOption(std::string_view option, const std::string& text, std::string& error);

struct MirrorOptions {
    /// Remove on the target side what the source no longer has.
    bool deleteExtra = false;
    /// Transfer only what the target lacks or holds in an older version.
    bool newerOnly = false;
    /// A target of the same size that is newer is kept: an upload to a server that cannot
    /// be given the source's time (no MFMT, or MFMT refused) leaves the remote copy newer
    /// than its source.
    bool keepNewerTarget = false;
    /// --include / --exclude in the order given.
    std::vector<MirrorFilter> filters;
};

enum class MirrorAction {
    /// Same size and time: nothing to do.
    Keep,
    /// The target lacks it: transfer it.
    Fetch,
    /// The target's copy differs in size or time: transfer it again.
    Refresh,
    /// Sizes agree but the listing gives no exact time: ask the server for it (MDTM) and
    /// decide again with DecideFile.
    AskTime,
    /// A directory: make it on the target if needed and descend into it.
    Descend,
    /// Only on the target side, and deleting was asked for.
    Delete,
    /// Left alone, for the reason given (a link, a device, an unsafe name, a local link or
    /// other non-file where a file would be written, an older source with newerOnly).
    Skip,
};

struct MirrorDecision {
    std::string name;
    MirrorAction action;
    /// Why a Skip (or a Refresh) was decided, for the user.
    std::string reason;
    /// The source entry's size and exact time, where known.
    std::optional<std::uint64_t> size;
    std::optional<std::int64_t> modified;
    /// The entry is a directory (Descend; Delete of a directory).
    bool directory = false;
};

/// One side's copy of a file, as far as it is known.
struct FileState {
    std::optional<std::uint64_t> size;
    /// Whole seconds since 1970 (UTC); empty when only an inexact time (ls) is known.
    std::optional<std::int64_t> modified;
    /// Empty for a regular file; else what it is ("a symbolic link", "a directory"):
    /// nothing is written over or through it.
    std::string notAFile;
};

/// The decision for one file from the source's state and the target's (empty when the
/// target has no such entry): Fetch, Refresh, Keep, Skip, or AskTime when the sizes agree
/// and a time is unknown (the session asks MDTM and decides again).
MirrorDecision DecideFile(const std::string& name, const FileState& source,
                          const std::optional<FileState>& target, const MirrorOptions& options);

/// Whether the filters leave out the entry at `path` (relative to the mirror's top, '/'
/// between directories; a directory's path ends in '/'). As lftp: the last filter that matches
/// decides; when none matches, the entry is left out only if the first filter is an include.
/// A glob without '/' is matched against the last name only; a regex against the path. A
/// directory is left out only by an exclude (an include of files must not stop the walk).
/// What is left out is neither copied nor deleted.
bool MirrorExcludes(const std::vector<MirrorFilter>& filters, const std::string& path, bool directory);

/// Download (mirror REMOTE LOCAL): one decision per remote entry, files first, then the
/// directories, then the deletions of local entries the remote no longer lists.
std::vector<MirrorDecision> PlanDownload(const std::vector<RemoteEntry>& remote,
                                         const std::vector<LocalEntry>& local, const MirrorOptions& options);

/// Upload (mirror -R LOCAL REMOTE): one decision per local entry, then the deletions of
/// remote files the local side no longer has. Local links are never followed.
std::vector<MirrorDecision> PlanUpload(const std::vector<LocalEntry>& local,
                                       const std::vector<RemoteEntry>& remote, const MirrorOptions& options);

/// mget: the remote files whose names match `pattern` (fnmatch, a leading '.' only by a
/// leading '.'), and how many directories matched and were skipped.
struct MgetPlan {
    std::vector<RemoteEntry> files;
    std::size_t skippedDirectories = 0;
    std::size_t skippedUnsafe = 0;
};
MgetPlan PlanMget(const std::vector<RemoteEntry>& remote, const std::string& pattern);

}  // namespace tarselftp

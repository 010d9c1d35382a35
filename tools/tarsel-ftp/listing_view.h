// What the client makes of a parsed listing for the user: the names a pattern stands for,
// and cls's lines. Pure: the session lists, this decides and formats.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"
#include "remote_listing.h"

namespace tarselftp {

/// The entries of `dir`'s listing that `pattern` matches, as paths below `dir` ("" is the
/// current directory), sorted by name as the shell sorts its matches. Names that cannot be sent back as one path
/// component (holding '/', a control character, "." or "..") never match: a hostile
/// listing must not turn `rm *` into a deletion elsewhere.
std::vector<std::string> MatchRemoteNames(const std::vector<RemoteEntry>& entries, const std::string& dir,
                                          const std::string& pattern);

/// cls's output for one listing: the entries that `pattern` matches (every one not
/// starting with '.' when it is empty, all with -a), sorted as `cls` asks, one a line,
/// each prefixed with `shownDir` ("pub/" for `cls pub/*.txt`).
std::string FormatCls(const std::vector<RemoteEntry>& entries, const std::string& pattern,
                      const std::string& shownDir, const Command& cls);

}  // namespace tarselftp

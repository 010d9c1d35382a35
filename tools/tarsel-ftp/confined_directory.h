// A directory below a target directory, reached without following symbolic links: where
// mirror writes what it fetches.
#pragma once

#include <string>
#include <string_view>

namespace tarselftp {

/// An open directory (O_DIRECTORY descriptor) or why none could be opened.
struct OpenedDirectory {
    int fd = -1;
    std::string error;
};

/// Opens the directory `below` (a relative path, components separated by '/'; empty: `root`
/// itself) under `root`. `root` is opened as named: a link the user made to it is the user's
/// choice. Each component below it is opened relative to the one before with O_NOFOLLOW, so
/// neither a symbolic link there nor a path renamed meanwhile can lead the caller out of
/// `root`: whatever is written through the returned descriptor lands inside it. With
/// `create`, missing components are made (and `root` too, as with mkdir -p). A component
/// "." or ".." is refused. The caller closes the descriptor.
OpenedDirectory OpenDirectoryBelow(const std::string& root, std::string_view below, bool create);

}  // namespace tarselftp

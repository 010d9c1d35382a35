// Whole-file reads and atomic whole-file replacement, for small text files of settings.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarselctl {

/// The bytes of `path`, or nullopt when it does not exist. Throws std::system_error when it
/// exists but cannot be read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path);

/// Replaces `path` with `contents` so that a reader sees either the old file or the new one,
/// also across a crash: the bytes go to a temporary file beside it, are flushed to disk, and
/// the temporary file is renamed over `path`. The file keeps the permissions of the one it
/// replaces (0644 for a new one). Throws std::system_error; the old file is then untouched.
void ReplaceFileAtomically(const std::filesystem::path& path, std::string_view contents);

}  // namespace tarselctl

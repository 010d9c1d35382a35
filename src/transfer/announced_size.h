// The size a server announces in its preliminary reply to RETR.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarselctl {

/// The N of "(N bytes)" in a 150 or 125 reply line, the form vsftpd, proftpd and most other
/// servers use ("150 Opening BINARY mode data connection for a.bin (1048576 bytes)."); the
/// last such group counts, "bytes" matched without regard to case. Nothing when the line
/// has no such group, or its number has no digits or does not fit in 63 bits: a size that
/// cannot be trusted must not fail a download.
std::optional<std::uint64_t> AnnouncedSize(std::u16string_view replyLine);

}  // namespace tarselctl

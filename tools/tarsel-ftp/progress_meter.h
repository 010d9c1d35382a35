// What tarsel-ftp shows of a transfer: the meter line redrawn while it runs and the summary
// after it. Pure text and arithmetic: the caller reads the clock and writes the terminal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarselftp {

/// "67108871 bytes in 0.21 s (305 MiB/s)" (rate with binary units B/s KiB/s MiB/s GiB/s,
/// 3 significant figures; seconds with 2 decimals; no rate for 0 s or a time that is no
/// finite positive number).
std::string FormatTransferSummary(std::uint64_t bytes, double seconds);

/// One meter line, fitted to `width` columns (never wider), no line end:
/// name (shortened from the left with "..." if needed), bytes done (human units), percent
/// and ETA when total is known, rate. E.g. "big.bin  34.5 MiB  52%  12.3 MiB/s  ETA 0:03".
/// The name's control characters are shown escaped, and wide characters count two columns.
/// The line is padded with blanks to `width`, so drawn over a longer one after a '\r' it
/// leaves nothing of it; when the columns are few, ETA, rate, percent and bytes are left
/// out in that order before the name is cut further.
/// `already`: bytes that were there before the transfer began (a resume); they count in
/// done and percent, not in the rate.
std::string FormatProgressLine(std::string_view name, std::uint64_t done,
                               std::optional<std::uint64_t> total, double seconds, int width,
                               std::uint64_t already = 0);

/// Decides when to redraw: at most 10 times a second (100 ms apart), given monotonic
/// time points the caller passes in (no clock inside, so it is testable).
class ProgressMeter {
public:
    /// `already`: bytes on disk before the transfer (a resume), left out of the rate.
    explicit ProgressMeter(std::string name, std::optional<std::uint64_t> total, std::uint64_t already = 0);
    /// Bytes done so far at time `now` (seconds since start). Returns the line to draw
    /// when a redraw is due, else nullopt. The first call draws.
    std::optional<std::string> Update(std::uint64_t done, double now, int width);
    /// The final line (always), with the average rate and no ETA.
    std::string Final(std::uint64_t done, double now, int width);

private:
    std::string m_Name;
    std::optional<std::uint64_t> m_Total;
    std::uint64_t m_Already = 0;
    std::optional<double> m_LastDraw;
};

}  // namespace tarselftp

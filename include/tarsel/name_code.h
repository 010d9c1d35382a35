// Which code a server writes its names in, judged from the bytes of its listings. Pure:
// no socket, no file, no clock, no locale.
//
// The control converts listing lines by SysCode before a host sees them, so the bytes this
// judges are whatever the host has that the server sent: the data of a listing it received
// as bytes, or the lines of a listing it received as text, written back in the code they
// were read in (exactly the server's bytes for a line that read without error: a line
// read as UTF-8 without U+FFFD, or as Shift_JIS without U+FFFD, up to the few characters
// CP932 writes two ways). Lines that did not read cleanly are best left out: their bytes
// are lost, and a guess at them would be evidence for the code they were read in.
//
// Evidence accumulates: keep one NameCodeEvidence per server and pass it every listing, so
// that a verdict rests on all the names seen, not on the first directory (a server whose
// first directory holds only ASCII names, or the odd name in another code, would fool that).
#pragma once

#include <cstdint>
#include <string_view>

#include <tarsel/export.h>

TARSEL_API_BEGIN

namespace tarselctl {

/// A code a server may write names in. Unknown: nothing said so far.
enum class NameCode { Unknown, Utf8, ShiftJis, EucJp };

/// What listings have shown so far. Plain data, copied freely; the reading of the line in
/// progress is part of it, so the input may be cut anywhere (inside a character too) and
/// gives the same result as in one piece.
struct NameCodeEvidence {
    /// Lines with a byte above 0x7F that can be read in one code only, or with the reading
    /// below decided: well-formed UTF-8 (a structure that other codes' text rarely forms by
    /// chance: such a line counts for UTF-8 even when it reads as Shift_JIS too); otherwise
    /// EUC-JP or Shift_JIS, whichever reads it without error; both: EUC-JP when the
    /// Shift_JIS reading needs half-width katakana, which names hardly hold.
    std::uint64_t utf8Lines = 0;
    std::uint64_t shiftJisLines = 0;
    std::uint64_t eucJpLines = 0;
    /// Lines with a byte above 0x7F that decide nothing: they read as EUC-JP and as
    /// Shift_JIS alike, or as none of the three.
    std::uint64_t undecidedLines = 0;

    /// The line in progress (internal state of the readings; zero between lines).
    struct Line {
        bool nonAscii = false;
        bool utf8Bad = false, sjisBad = false, eucBad = false, sjisKana = false;
        std::uint8_t utf8Need = 0, utf8Low = 0x80, utf8High = 0xBF;
        std::uint8_t sjisLead = 0;
        std::uint8_t eucNeed = 0, eucLow = 0xA1, eucHigh = 0xFE;
    } line;
};

/// `evidence` with `bytes` added: listing data as the server sent it, lines ended by LF
/// (a CR before it is ignored), cut anywhere.
TARSEL_API NameCodeEvidence ObserveListingBytes(NameCodeEvidence evidence, std::string_view bytes);

/// `evidence` at the end of a listing: a last line without LF counts too.
TARSEL_API NameCodeEvidence EndOfListing(NameCodeEvidence evidence);

/// The code the names are in. `featUtf8`: the server's FEAT lists UTF8, which decides.
/// Otherwise the code with the most lines for it, as long as it has more than `current`
/// (so a tie, or nothing decisive yet, keeps the current choice); Unknown stays Unknown
/// until a line decides.
TARSEL_API NameCode JudgeNameCode(const NameCodeEvidence& evidence, NameCode current, bool featUtf8 = false);

/// The SysCode value of a code ("UTF8", "SJIS", "EUC"); "" for Unknown.
TARSEL_API const char16_t* NameCodeSysCode(NameCode code);

}  // namespace tarselctl

TARSEL_API_END

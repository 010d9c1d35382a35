// The lines tarsel-ftp sends on its own once logged in, and what it learns from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <tarsel/name_code.h>

namespace tarselftp {

/// The steps after a login, in order: FEAT (what the server offers: the code of names,
/// MLSD, MDTM, MFMT), OPTS UTF8 ON where names are UTF-8 and the server wants to be told,
/// the listing that judges the code of names where nothing else tells it, the CWD to a
/// URL's PATH without '/' at its end (a directory, or else a file to fetch), and PWD for the
/// prompt of an interactive session. None marks a user's command.
enum class SetupStep { None, Features, Utf8On, Names, StartPath, Directory };

/// The code of the server's names, judged from its listings when neither the user
/// (--syscode, stored settings) nor the server (UTF8 in FEAT) says it.
///
/// The control hands listings over as text, read in SysCode; a line that read without
/// error, written back in the code it was read in, is the server's bytes, and those are the
/// evidence. A line that did not read cleanly has lost its bytes: the listing that judges
/// the code after the login is then asked again in the next code (UTF-8, Shift_JIS,
/// EUC-JP) until its lines read cleanly or the codes run out. Every later listing adds its
/// clean lines too, and a verdict that changes takes effect once that listing has ended.
struct NameCodeWatch {
    bool on = false;
    tarselctl::NameCodeEvidence evidence;
    /// The reading of the listing after the login, and its lines that read with errors.
    std::u16string probeReading;
    std::uint64_t misfits = 0;
    /// A verdict waiting for the end of the listing that brought it.
    std::optional<tarselctl::NameCode> pending;
};

}  // namespace tarselftp

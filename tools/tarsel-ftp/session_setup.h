// The lines tarsel-ftp sends on its own once logged in.
#pragma once

namespace tarselftp {

/// The steps after a login, in order: FEAT (what the server offers: the code of names,
/// MLSD, MDTM, MFMT), OPTS UTF8 ON where names are UTF-8 and the server wants to be told,
/// and PWD for the prompt of an interactive session. None marks a user's command.
enum class SetupStep { None, Features, Utf8On, Directory };

}  // namespace tarselftp

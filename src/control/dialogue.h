// Where the dialogue on the control connection stands, and which host operation runs on it.
#pragma once

#include <cstdint>

namespace tarselctl {

/// The dialogue's state. One setter changes it (ControlCore::SetState), so every state a
/// reply, a close or a tick can meet is one of these, and debug builds record each change.
enum class Dialogue : std::uint8_t {
    Closed,     ///< no control connection (FtpCommand "")
    Busy,       ///< an operation runs and its commands are answered one by one
    Handshake,  ///< the control connection's TLS handshake runs; nothing received counts
    Aborting,   ///< ABOR is out after the transfer's data connection failed
    Quitting,   ///< the control's own QUIT is out: the next reply or a short grace closes
    Finishing,  ///< the operation has ended ("DONE"); its CommandDone is about to be posted
    Idle,       ///< the connection waits for the host's next operation
    Parting,    ///< idle after QUIT was answered: the control closes after a short grace
};

/// The host operations, each with the name FtpCommand shows and CommandDone reports.
enum class Operation : std::uint8_t {
    None, Connect, User, DisConnect,
    Cd, Cwd, Pwd, Size, Noop, Delete, MkDir, RmDir, Rename, Site, Quote,
    Dir, Ls, GetFile, PutFile, AppendFile,
};

/// The operation's public name.
const char16_t* OperationName(Operation op);

/// The state's name, for the debug record of changes.
const char16_t* DialogueName(Dialogue state);

/// A change the dialogue can make. Debug builds stop at any other: it is a fault of the
/// control, not of the server.
bool IsDialogueChange(Dialogue from, Dialogue to);

}  // namespace tarselctl

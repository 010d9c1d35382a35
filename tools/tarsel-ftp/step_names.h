// How the steps of commands are named: the control's operation, the command as typed in
// error lines, and whether it moves data (abort and the progress meter apply).
#pragma once

#include <string>
#include <vector>

#include "command_line.h"

namespace tarselftp {

/// The operation the control reports for a command or a step of one ("GetFile", "Dir").
std::string OperationName(Verb verb);
/// The command as the user typed it, for error lines: "get", not the control's "GetFile".
std::string TypedName(Verb verb);
/// The same for a step, named after the command it is part of ("find" for a walk's listing).
std::string TypedName(const Command& command);
/// Whether it moves data over a data connection.
bool IsTransfer(Verb verb);
/// "get pub/x": the name and its arguments.
std::string Subject(const std::string& operation, const std::vector<std::string>& args);

}  // namespace tarselftp

// The control's stored settings kept in a file between runs of tarsel-ftp.
#pragma once

#include <string>

#include <tarsel/tarsel.h>

namespace tarselftp {

/// Loads the control's stored settings from `path` as a new instance of the control loads
/// them; a file that does not exist leaves every setting at its default. Returns "" or what
/// went wrong (the settings read before the failure keep their new values).
std::string LoadSettings(tarselctl::tarsel& control, const std::string& path);

/// Writes the control's stored settings to `path`, replacing the file atomically; settings
/// at their defaults are left out. Returns "" or what went wrong.
std::string SaveSettings(tarselctl::tarsel& control, const std::string& path);

}  // namespace tarselftp

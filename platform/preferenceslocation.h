#pragma once

#include <QString>

// Where Preferences.xml lives: "WinOrvex/Preferences.xml" in the generic data
// folder ($XDG_DATA_HOME, or ~/.local/share).
namespace PreferencesLocation {

// The file's absolute path, its folders created when they are missing (a fresh
// account has none); empty, with a warning, when they cannot be.
QString filePath();

} // namespace PreferencesLocation

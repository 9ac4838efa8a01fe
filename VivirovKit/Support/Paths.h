#pragma once
#include <string>

namespace vivirov::paths {

// The user's data folder: $XDG_DATA_HOME, else ~/.local/share.
std::string applicationSupport();
// The app's own folder inside it: <data>/com.dudive.vivirov (not created).
std::string appData();
// $TMPDIR, else /tmp (no trailing slash).
std::string temporary();
// $HOME, else the password database's home.
std::string home();
// Creates the folder and its parents; true when it exists afterwards.
bool ensureDirectory(const std::string& path);

} // namespace vivirov::paths

#pragma once
// The user's own folders, by the base directory rules: a variable that is unset, empty or relative is ignored
// (taken as it is, a relative one would follow the working folder). Without HOME (a service started with an
// empty environment), the account's home as the password database names it; the shared temporary folder only
// for an account without one, since there another user may have made the folder, or a link in it, first.
#include <filesystem>

namespace foundation {

// $XDG_CONFIG_HOME, or the home's ".config".
std::filesystem::path userConfigFolder();
// $XDG_CACHE_HOME, or the home's ".cache".
std::filesystem::path userCacheFolder();

}  // namespace foundation

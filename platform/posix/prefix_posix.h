// The Wine-prefix model: where the prefix is and how Windows paths map to host paths.
#pragma once

#include <string>

namespace platform::posix {

// $WINEPREFIX, else ~/.wine; without a trailing slash.
std::string WinePrefix();

// The host path for a Windows path (see WindowsToHostPath in platform.h), with each existing
// component matched without regard to ASCII case, as Wine does.
std::string HostPath(const char16_t* windowsPath);

}  // namespace platform::posix

// Path joining through shlwapi, and host paths, which on Windows are the Windows paths.
#include <windows.h>
#include <shlwapi.h>
// The A/W macros would rename the platform functions below.

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace platform {

namespace {}  // namespace

bool CombinePath(char16_t* dest, const char16_t* folder, const char16_t* file) {
    return ::PathCombineW(Wide(dest), Wide(folder), Wide(file)) != nullptr;
}

bool AppendPath(char16_t* path, const char16_t* more) {
    return ::PathAppendW(Wide(path), Wide(more)) != FALSE;
}

CString HostToWindowsPath(const std::string& hostPath) {
    return FromUtf8(hostPath);
}

std::string WindowsToHostPath(const char16_t* windowsPath) {
    return windowsPath ? ToUtf8(windowsPath) : std::string();
}

}  // namespace platform

#include <windows.h>
#include <shlwapi.h>
// The A/W macros would rename the platform functions below.
#undef PathCombine
#undef PathAppend

#include "platform/platform.h"

namespace platform {

namespace {
wchar_t* W(char16_t* s) {
    return reinterpret_cast<wchar_t*>(s);
}
const wchar_t* W(const char16_t* s) {
    return reinterpret_cast<const wchar_t*>(s);
}
}  // namespace

bool PathCombine(char16_t* dest, const char16_t* folder, const char16_t* file) {
    return ::PathCombineW(W(dest), W(folder), W(file)) != nullptr;
}

bool PathAppend(char16_t* path, const char16_t* more) {
    return ::PathAppendW(W(path), W(more)) != FALSE;
}

CString HostToWindowsPath(const std::string& hostPath) {
    return FromUtf8(hostPath);
}

std::string WindowsToHostPath(const char16_t* windowsPath) {
    return windowsPath ? ToUtf8(windowsPath) : std::string();
}

}  // namespace platform

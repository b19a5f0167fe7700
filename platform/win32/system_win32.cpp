// System facts (the Windows version, the Windows folder, the module's path) and starting
// programs and addresses through the shell.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

// windows.h names these as macros for its A/W variants; ours are plain functions.

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace platform {

namespace {

// ShellExecuteW's result: above 32 means started; below, an error code of its own.
bool Started(HINSTANCE result) {
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace

bool QueryOsVersion(OsVersionInfo& info) {
    // Room for the larger layout; the call itself judges the size the caller asked for.
    if (info.size > sizeof(OSVERSIONINFOEXW)) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = info.size;
    if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) return false;
    info.majorVersion = version.dwMajorVersion;
    info.minorVersion = version.dwMinorVersion;
    info.buildNumber = version.dwBuildNumber;
    info.platformId = version.dwPlatformId;
    return true;
}

uint32_t GetWindowsFolder(char16_t* buffer, uint32_t size) {
    return ::GetWindowsDirectoryW(reinterpret_cast<wchar_t*>(buffer), size);
}

CString PackSearchFolder() {
    return {};
}

uint32_t GetModulePath(char16_t* buffer, uint32_t size) {
    // Windows would only say "too small" by filling the buffer; the full name tells the size
    // needed.
    std::vector<wchar_t> full(32768);
    DWORD length = 0;
    if (const CString* forTest = ModulePathForTest()) {
        length = static_cast<DWORD>(std::min<size_t>(forTest->size(), full.size()));
        std::copy_n(forTest->begin(), length, full.begin());
    } else {
        length = ::GetModuleFileNameW(nullptr, full.data(), static_cast<DWORD>(full.size()));
    }
    if (length == 0 || length >= full.size()) {
        if (length) ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (length + 1 > size) {
        if (buffer && size > 0) {
            for (uint32_t i = 0; i + 1 < size; ++i) buffer[i] = full[i];
            buffer[size - 1] = 0;
        }
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return length + 1;
    }
    for (DWORD i = 0; i <= length; ++i) buffer[i] = full[i];
    return length;
}

bool ShellOpen(const char16_t* address) {
    return Started(
        ::ShellExecuteW(nullptr, L"open", Wide(address), nullptr, nullptr, SW_SHOWNORMAL));
}

bool ShellStart(const char16_t* file, const char16_t* workingFolder) {
    // The default verb, which for a program is "open".
    return Started(
        ::ShellExecuteW(nullptr, nullptr, Wide(file), nullptr, Wide(workingFolder), SW_SHOWNORMAL));
}

void AdviseLargePages(void*, size_t) {}

void* AllocateLarge(size_t bytes) {
    return std::malloc(bytes);
}

}  // namespace platform

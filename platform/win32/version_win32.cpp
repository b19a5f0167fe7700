// Version records through the version API (GetFileVersionInfoW, VerQueryValueW).
#include <windows.h>

// windows.h names these as macros for its A/W variants; ours are plain functions.

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace platform {

uint32_t VersionResourceSize(const char16_t* path) {
    DWORD ignored;
    return ::GetFileVersionInfoSizeW(Wide(path), &ignored);
}

bool ReadVersionResource(const char16_t* path, uint32_t size, void* data) {
    return ::GetFileVersionInfoW(Wide(path), 0, size, data) != FALSE;
}

bool VerQueryRoot(const void* data, uint32_t size, const uint32_t*& fixed) {
    void* value = nullptr;
    UINT length = 0;
    if (!data || !::VerQueryValueW(data, L"\\", &value, &length)) return false;
    // Trust the record only when it lies wholly inside the caller's block and is one.
    const auto* begin = static_cast<const BYTE*>(data);
    const auto* at = static_cast<const BYTE*>(value);
    if (!at || at < begin || length < sizeof(VS_FIXEDFILEINFO) ||
        static_cast<size_t>(at - begin) + sizeof(VS_FIXEDFILEINFO) > size) {
        ::SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return false;
    }
    const auto* record = reinterpret_cast<const uint32_t*>(at);
    if (record[0] != kFixedFileInfoSignature) {
        ::SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return false;
    }
    fixed = record;
    return true;
}

}  // namespace platform

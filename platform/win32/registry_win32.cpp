// Reads of HKEY_CURRENT_USER values through the registry API.
#include <windows.h>

#include <new>

// windows.h names these as macros for its A/W variants; ours are plain functions.

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace platform {

struct RegKeyImpl {
    HKEY key;
};

bool RegOpenCurrentUserKey(const char16_t* subKey, RegKey& key) {
    key = nullptr;
    HKEY opened;
    LONG result = ::RegOpenKeyExW(HKEY_CURRENT_USER, Wide(subKey), 0, KEY_READ, &opened);
    if (result != ERROR_SUCCESS) {
        ::SetLastError(static_cast<DWORD>(result));
        return false;
    }
    key = new (std::nothrow) RegKeyImpl{opened};
    if (!key) {
        ::RegCloseKey(opened);
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

bool QueryRegistryValue(RegKey key, const char16_t* valueName, void* data, uint32_t& size,
                        uint32_t* type) {
    if (!key) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    DWORD length = size;
    DWORD kind = 0;
    LONG result = ::RegQueryValueExW(key->key, Wide(valueName), nullptr, &kind,
                                     static_cast<BYTE*>(data), &length);
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) {
        ::SetLastError(static_cast<DWORD>(result));
        return false;
    }
    size = length;
    if (type) *type = kind;
    if (result == ERROR_MORE_DATA) {
        ::SetLastError(ERROR_MORE_DATA);
        return false;
    }
    return true;
}

void RegCloseKey(RegKey key) {
    if (!key) return;
    ::RegCloseKey(key->key);
    delete key;
}

}  // namespace platform

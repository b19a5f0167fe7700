// HKEY_CURRENT_USER is <prefix>/user.reg, HKEY_LOCAL_MACHINE <prefix>/system.reg. A key is read
// whole when it is opened, so that later queries do not depend on the file changing under them.
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/prefix_posix.h"
#include "platform/posix/registry_posix.h"

namespace platform {

struct RegKeyImpl {
    regfile::Key key;
};

namespace posix {

bool ReadWineKey(Hive hive, std::u16string_view path, regfile::Key& key, uint32_t& error) {
    std::string file = WinePrefix() + (hive == Hive::CurrentUser ? "/user.reg" : "/system.reg");
    std::string text;
    if (!regfile::ReadFile(file, text)) {
        error = errno == ENOMEM ? kErrorNotEnoughMemory : kErrorFileNotFound;
        return false;
    }
    if (!regfile::FindKey(text, path, key)) {
        error = kErrorFileNotFound;
        return false;
    }
    return true;
}

}  // namespace posix

bool RegOpenCurrentUserKey(const char16_t* subKey, RegKey& key) {
    key = nullptr;
    std::u16string_view given = subKey ? std::u16string_view(subKey) : std::u16string_view();
    // Like RegOpenKeyExW: a path may not begin with a separator; doubled and trailing ones
    // are dropped.
    if (!given.empty() && given[0] == u'\\') {
        SetLastError(161);  // ERROR_BAD_PATHNAME
        return false;
    }
    std::u16string path;
    for (size_t i = 0; i < given.size(); ++i) {
        if (given[i] == u'\\' && (i + 1 == given.size() || given[i + 1] == u'\\')) continue;
        path.push_back(given[i]);
    }
    RegKeyImpl* opened = new (std::nothrow) RegKeyImpl;
    if (!opened) {
        SetLastError(kErrorNotEnoughMemory);
        return false;
    }
    uint32_t error = kErrorSuccess;
    if (!posix::ReadWineKey(posix::Hive::CurrentUser, path, opened->key, error)) {
        delete opened;
        SetLastError(error);
        return false;
    }
    key = opened;
    return true;
}

bool QueryRegistryValue(RegKey key, const char16_t* valueName, void* data, uint32_t& size,
                        uint32_t* type) {
    if (!key) {
        SetLastError(6);  // ERROR_INVALID_HANDLE
        return false;
    }
    const regfile::Value* value =
        key->key.Find(valueName ? std::u16string_view(valueName) : std::u16string_view());
    if (!value) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    if (type) *type = value->type;
    uint32_t room = size;
    size = static_cast<uint32_t>(value->data.size());
    if (!data) return true;
    if (value->data.size() > room) {
        SetLastError(kErrorMoreData);
        return false;
    }
    if (!value->data.empty()) std::memcpy(data, value->data.data(), value->data.size());
    return true;
}

void RegCloseKey(RegKey key) {
    delete key;
}

}  // namespace platform

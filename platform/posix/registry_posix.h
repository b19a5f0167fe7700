// Read access to the registry files of the Wine prefix, shared by the registry and the
// system-facts operations of the POSIX backend.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/posix/reg_file.h"

namespace platform::posix {

enum class Hive { CurrentUser, LocalMachine };  // user.reg, system.reg

// Reads the key at `path` below the hive's root. On failure `error` is the Windows code
// RegOpenKeyEx would give.
bool ReadWineKey(Hive hive, std::u16string_view path, regfile::Key& key, uint32_t& error);

}  // namespace platform::posix

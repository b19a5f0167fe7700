// The Windows backend's open file, shared by the document's file system and the folders.
#pragma once

#include <windows.h>

namespace platform {

struct File {
    HANDLE handle;
};

}  // namespace platform

// The Windows backend's open file, shared by the document's file system and the folders.
#pragma once

#include <windows.h>

#include <cstdint>

namespace platform {

struct File {
    HANDLE handle;
};

namespace win32 {

// Random bits for the names of temporary files; creating them exclusively makes them unique.
uint64_t NextRandom();

}  // namespace win32

}  // namespace platform

// What the portable staging (files.cpp) needs of each backend.
#pragma once

#include <cstdint>

namespace platform::backend {

// Creates `folder`, hidden from the user; false with the last error set.
bool CreateHiddenFolder(const char16_t* folder);
// Removes the staging folder `folder` and every file in it, read-only ones too. True when it
// is gone (or was never there).
bool RemoveStagingFolder(const char16_t* folder);
// True when anything, a dangling link included, has the name `path`.
bool EntryExists(const char16_t* path);
// Copies the regular file `from` to the new file `staged`. Windows forces it to the disk here;
// POSIX leaves that to SyncStaged.
bool CopyToStaging(const char16_t* from, const char16_t* staged);
// Forces everything staged in `folder`, and the moves done so far, to the disk.
bool SyncStaged(const char16_t* folder);
// Moves `staged` to `to`, never replacing a file unless `replace`.
bool MoveStaged(const char16_t* staged, const char16_t* to, bool replace);

}  // namespace platform::backend

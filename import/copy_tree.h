// The recursive copy of the material folder into the product's data folder.
#pragma once

#include "platform/TextBuffer.h"

struct CopyFailure {
    CString path;     // the first file or folder that could not be copied or created
    CString message;  // the system's message for it
};

// Copies the content of `source` into `destination`, subfolders first as met; with
// `overwrite` 0 an existing destination file is never replaced. Only regular files and
// folders are copied: links, pipes, sockets and devices are skipped. True when every file is
// now in place; false when one could not be copied (the first is described in `failure`) or
// a stop was requested (the files not yet moved into place are then dropped).
bool CopyTree(const CString& source, const CString& destination, int overwrite,
              CopyFailure* failure = nullptr);

// The recursive copy of the material folder into the product's data folder.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "import/receipt.h"
#include "platform/TextBuffer.h"
#include "platform/platform.h"

struct CopyFailure {
    CString path;     // the first file or folder that could not be copied or created
    CString message;  // the system's message for it
};

// Why a copy is refused before it begins.
struct CopyRefusal {
    enum Kind {
        None,
        ReservedNames,  // `paths`: every name Windows reserves in the pack
        LostNames,      // `paths`: every pack folder with a name the system cannot read
        Link,           // `paths[0]`: a link in the destination the link rule refuses
        Leftover,       // `paths[0]`: an entry in a staging folder that is not the staging's
        Failure,        // `paths[0]`: what could not be looked at; `message`: why
    } kind = None;
    std::vector<CString> paths;
    CString message;
};

// A folder's identity: its volume and file index.
using FolderId = std::pair<uint64_t, uint64_t>;

// The pack's folders as the look listed them, by identity: the copy that follows goes by
// them, so that it copies what was checked, and reads each folder once.
struct PackListings {
    std::map<FolderId, std::vector<platform::FolderEntry>> folders;
};

// Looks at the whole pack `source` and at the destination folders it would go into, changing
// nothing: what no copy may pass (see CopyRefusal) is found here, before any file is written.
// Existing destination folders are opened by handle, links among them only under the link
// rule; the staging folders on each destination file system are inspected. `listings`, when
// given, gets the pack's folders as listed, for CopyFolderTree.
bool CheckCopy(const platform::Folder& source, const platform::Folder& destination,
               const platform::Staging& staging, CopyRefusal& refusal,
               PackListings* listings = nullptr);

// Copies the content of `source` into `destination`, subfolders first as met, through
// `staging`; with `overwrite` 0 an existing destination file is never replaced. Only regular
// files and folders are copied (links, pipes, sockets and devices are skipped) and no folder
// is entered twice. A top-level file named `writableName` (any case) is made writable for its
// owner. True when every file is now in place; false when one could not be copied (the first
// is described in `failure`) or a stop was requested (the files not yet moved into place are
// then dropped). With a `receipt`, what the copy placed goes into it as it is placed, paths
// below `destination`: the folders it made, the files with their size and SHA-256 (hashed as
// they are copied), and the files that were there already; except the top-level catalog
// ("config.xml"), whose placement is `catalogCreated`.
bool CopyFolderTree(const platform::Folder& source, const platform::Folder& destination,
                    int overwrite, platform::Staging& staging, const CString& writableName,
                    CopyFailure* failure, Receipt* receipt = nullptr,
                    PackListings* listings = nullptr);

// Both of the above for two folders given by path: a missing source copies nothing.
bool CopyTree(const CString& source, const CString& destination, int overwrite,
              CopyFailure* failure = nullptr);

// A name Windows reserves for a device (CON, aux.png, nul.txt, COM1.png, lpt1, ...).
bool IsReservedName(std::u16string_view name);

// A catalog file as the import reads and replaces it: opened by handle, refused unless it is
// text of the code page that reads back exactly, and written back only while it is still the
// file that was read. The import and the removal of a pack share it.
#pragma once

#include "platform/TextBuffer.h"
#include "platform/platform.h"

class CXmlDocument;

enum class CatalogState { Missing, Loaded, Unusable };

// A catalog and where it really is: the folder and name of the file it is, through links.
struct CatalogFile {
    const char16_t* path;  // as the user knows it, for the texts
    platform::Folder folder;
    CString name;
    platform::FileStamp stamp;  // of the file that was loaded
};

// Why a catalog cannot be used.
struct CatalogProblem {
    enum Kind {
        None,
        LinkRefused,  // a link the link rule refuses
        NotAFile,     // a pipe, a device or a folder
        Dangling,     // a link to nothing; `message` is where it points
        Read,         // `message` says why
        Encoding,     // UTF-8 text
        CodePage,     // bytes that do not come back from the text in the code page
        Syntax,       // not well-formed; `message` is the parse's
    } kind = None;
    CString message;
};

// Opens the catalog "config.xml" of `folder` by handle (never waiting on a pipe; a link only
// under the link rule) into `file` and loads it. Loaded only for a well-formed text of the
// code page whose bytes come back exactly from it; Missing when there is none (`file` then
// names the folder and the name to create); Unusable otherwise, with `problem` saying why.
CatalogState ReadCatalog(CXmlDocument& document, const platform::Folder& folder, CatalogFile& file,
                         CatalogProblem& problem);

enum class CatalogSave { Saved, Changed, Failed };
// Writes the document into a temporary file of `staging` beside the catalog's real file,
// forces it to the disk and puts it in place of that file, with its owner, mode and
// attributes, only while the file is still the one that was loaded: Changed, with nothing
// written, when another program replaced or changed it meanwhile. Failed with the system's or
// the save's message.
CatalogSave SaveCatalog(CXmlDocument& document, const CatalogFile& file, platform::Staging& staging,
                        CString& message);

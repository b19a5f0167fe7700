// The record an import keeps of what it placed, so that the pack can be taken out again: a
// small versioned XML document in the user's local application data, never in the product's
// folder.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/TextBuffer.h"
#include "xml/XmlDocument.h"

namespace platform {
struct File;
}

// How an element read before an import appended the first child to it; the removal puts it
// back when it takes that child out again.
using ParentForm = ElementForm;

struct Receipt {
    struct File {
        CString path;  // below the product data folder, with backslashes
        uint64_t size = 0;
        std::string sha256;
    };
    enum class Kind : uint8_t {
        Album,  // an album added whole (`text` is how it reads after the import)
        Item,   // an item added to an album the product had
        Count,  // an "ElemCount" of an album the product had, created or rewritten
    };
    struct Change {
        Kind kind = Kind::Album;
        CString album;  // the album's name (the product's spelling for items and counts)
        CString item;   // the item's name
        // How the parent read before this change's append (albums, items, created counts).
        ParentForm parent = ParentForm::Content;
        bool created = false;  // a count that the recount added
        CString before;        // a rewritten count's element text before
        CString text;          // the element's text as the import left it
    };
    struct Found {
        CString album;
        CString item;  // empty for an album
    };

    static constexpr int kVersion = 1;

    CString productFolder;          // the product data folder (a Windows path)
    CString packFolder;             // the pack's material folder (a Windows path)
    std::string packCatalogSha256;  // empty when the pack has no catalog
    CString date;                   // when the import completed, UTC, ISO 8601
    bool catalogCreated = false;    // the import put the pack's catalog in place
    std::vector<CString> folders;   // created, parents before children
    std::vector<File> files;        // put in place
    std::vector<Change> changes;    // in the order they were made
    std::vector<CString> foundFiles;
    std::vector<Found> foundItems;  // the pack's albums and items the product had

    // Whether anything was placed: an import that changed nothing keeps no receipt.
    bool Empty() const {
        return !catalogCreated && folders.empty() && files.empty() && changes.empty();
    }
};

// The receipt as document text: ASCII only, every other character and every control
// character as a character reference, so that it reads back the same in any code page.
CString ReceiptText(const Receipt& receipt);
// Reads a receipt document's text; false, with `problem` set, when it is not one of ours or
// of a version this build does not know.
bool ParseReceipt(const CString& text, Receipt& receipt, std::string& problem);

// The SHA-256 of an open file's bytes, as lowercase hex, and their count into `size`; the file
// is closed. Empty when it could not be read to its end.
std::string FileSha256(platform::File* file, uint64_t& size);

// Where receipts are kept: "Brevlo\\Receipts" in the user's local application data folder.
CString ReceiptsFolder();
// The current time, UTC, as a receipt's date ("2026-12-07T18:00:00Z").
CString ReceiptDate();
// Writes the receipt into ReceiptsFolder(), made with any folder missing above it, as the
// catalog is written: a new file there, forced to the disk, then moved to a name of its own
// from its date ("20261207T180000Z-1.xml", the number the first that is free; none is ever
// replaced). False when it could not be, with the folder in `folder` and why in `message`.
bool KeepReceipt(const Receipt& receipt, CString& folder, CString& message);

struct ReceiptFile {
    CString path;
    Receipt receipt;
};
// The receipts in the folder, newest first; files there that are not receipts of this
// version go to `unreadable` with why.
std::vector<ReceiptFile> ListReceipts(std::vector<std::pair<CString, std::string>>* unreadable);
// Whether two Windows paths name the same folder as Windows compares them (ASCII letters
// without case, either separator, no trailing one).
bool SameFolderPath(const CString& a, const CString& b);

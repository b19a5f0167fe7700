// Taking a pack back out: what an import's receipt lists is undone, as far as it is still
// what the import left and nothing else relies on it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "import/receipt.h"

// One thing the receipt lists, and what became of it.
struct RemovalStep {
    enum class What : uint8_t { Album, Item, Count, File, Folder, Catalog };
    enum class Kept : uint8_t {
        No,             // taken out (in a dry run: would be)
        Changed,        // no longer what the import left
        Named,          // a file an album or item of the catalog still names (`by`)
        ReliedOn,       // a later import found it in place (`by`: its pack; `when`: its date)
        NotFound,       // gone already
        Link,           // a link stands in its place or on the way to it
        NotAFile,       // a pipe, a device or a folder stands in its place
        NotEmpty,       // a folder that holds more than the import put there
        CannotRestore,  // a count whose earlier text no edit gives back exactly
        Failed,         // the system refused (`by`: its message)
    };
    What what = What::Album;
    bool restore = false;  // a count put back as it read, rather than removed
    CString name;          // the album's or item's name, or the path below the data folder
    CString album;         // the album of an item or count
    Kept kept = Kept::No;
    CString by;  // see Kept; for a count put back, the text it is given again
    CString when;
    size_t source = 0;  // the index of the entry in its list of the receipt
};

struct RemovalResult {
    // Catalog changes in the order they are undone (the receipt's, reversed), then files,
    // folders deepest first, and the catalog itself.
    std::vector<RemovalStep> steps;
    enum class Fate : uint8_t { Left, Deleted, Rewritten } receipt = Fate::Left;
    // Why it stopped, in English; empty when it went through. A removal that stops changes
    // nothing after the point it names.
    std::string failure;
    bool changed = false;  // anything was changed on disk

    // Whether every step was (or would be) taken.
    bool Complete() const;
};

// Undoes the import `receipt` records (read from `receiptPath`, a Windows path). Without
// `apply` it only looks, reading by handle and creating nothing, and says what it would do.
// With `apply` it takes the import lock of the product data folder (`waiting` is called once
// when another import holds it), checks the catalog by the import's rules before anything
// changes, then: undoes the catalog changes still as the import left them (saved as the
// import saves, when the catalog is still the one read, three tries at most), deletes the files
// whose bytes still match and that nothing in the catalog names, removes the created folders
// that this leaves empty, deletes a created catalog that reads as the pack's again, and last
// deletes the receipt, or rewrites it to list only what was kept for a later removal. Anything
// a later receipt of the same product found in place is kept.
RemovalResult RemovePack(const CString& receiptPath, const Receipt& receipt, bool apply,
                         const std::function<void()>& waiting = {});

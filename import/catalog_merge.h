// The catalog merge and the item counts: the pack's albums and items that the product's
// catalog lacks are added, matched by name, and every album's "ElemCount" is rewritten.
#pragma once

#include <unordered_set>
#include <vector>

#include "import/receipt.h"

class CXmlDocument;

// What the merge and the recount changed in the target, and what of the pack they found there,
// noted as it happens. Handles stay valid through the edits, so names and texts are read once
// the recount is done (NoteChanges).
struct MergeLog {
    struct Change {
        Receipt::Kind kind = Receipt::Kind::Album;
        ElementHandle element = 0;
        ElementHandle album = 0;  // the album it went into (items, counts)
        ParentForm parent = ParentForm::Content;
        bool created = false;
        CString before;  // a rewritten count's text before
    };
    std::vector<Change> changes;
    std::vector<std::pair<ElementHandle, ElementHandle>> found;  // album, item (0: the album)
    std::unordered_set<ElementHandle> added;                     // elements this merge added
    std::unordered_set<ElementHandle> opened;                    // parents it appended into
    std::unordered_set<ElementHandle> seen;                      // found already

    // How `parent` reads before an append into it: as it is until one opened it, then Content.
    ParentForm Opening(const CXmlDocument& target, ElementHandle parent) const;
};

// True when the catalog has the root "mirvo" with an "albums" child, the only form the merge
// may write into.
bool HasCatalogForm(const CXmlDocument& catalog);
// Both return false only when memory ran out; the target then holds only the additions made
// before, and must not be saved.
// With a `log`, each change and find is noted in it.
bool MergeCatalog(CXmlDocument& source, CXmlDocument& target, MergeLog* log = nullptr);
bool UpdateItemCounts(CXmlDocument& target, MergeLog* log = nullptr);
// The log's changes and finds into `receipt`, with the names and texts `target` holds now: a
// change's text runs from its "<" to its last ">". A count the recount left as it was is no
// change.
void NoteChanges(const MergeLog& log, const CXmlDocument& target, Receipt& receipt);

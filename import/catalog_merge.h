// The catalog merge and the item counts: the pack's albums and items that the product's
// catalog lacks are added, matched by name, and every album's "ElemCount" is rewritten.
#pragma once

class CXmlDocument;

// True when the catalog has the root "mirvo" with an "albums" child, the only form the merge
// may write into.
bool HasCatalogForm(const CXmlDocument& catalog);
// Both return false only when memory ran out; the target then holds only the additions made
// before, and must not be saved.
bool MergeCatalog(CXmlDocument& source, CXmlDocument& target);
bool UpdateItemCounts(CXmlDocument& target);

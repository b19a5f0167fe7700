// The catalog merge in its two forms. MergeCatalog and UpdateItemCounts (import.h) run the fast
// form and fall back to the walk for catalogs it does not take; both give the same text, byte
// for byte, and the same element records.
#pragma once

class CXmlDocument;

// The walk: each pack album is compared with every product album from the first, each pack
// item with every item of its album, and each addition is spliced in at once. Its cost grows
// with the product of the sizes; it stays as the reference the fast form is tested against.
void MergeCatalogPlain(CXmlDocument& source, CXmlDocument& target);
void UpdateItemCountsPlain(CXmlDocument& target);

// The fast form: names are looked up in tables of folded names and the additions are gathered
// with the places the walk gives them, then spliced into the text and the index in one pass.
// False, with both documents untouched, for catalogs it does not take (not well-formed, not of
// the catalog form, or with start tags whose names could read differently once text is added
// after them); the caller then runs the walk.
bool TryMergeCatalogFast(CXmlDocument& source, CXmlDocument& target);
bool TryUpdateItemCountsFast(CXmlDocument& target);

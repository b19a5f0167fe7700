// The catalog merge and item counts as the catalog rules state them, step by step on the
// documents' own navigation: each pack album is compared with the product's albums from the
// first, each pack item with every item of its album, and each addition is spliced in at once.
// Its cost grows with the product of the sizes; it is the oracle the merge is tested against.
#pragma once

class CXmlDocument;

void MergeCatalogWalk(CXmlDocument& source, CXmlDocument& target);
void UpdateItemCountsWalk(CXmlDocument& target);

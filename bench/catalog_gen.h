// Catalog-shaped documents of any size for the benchmarks: mirvo / albums / album / item with
// several attributes, Chinese names, entity references, CRLF line breaks and tab indentation.
// Album and item names follow from their numbers, so a pack and a product made apart agree on
// which albums and items they share.
#pragma once

#include <cstdint>
#include <string>

struct CatalogShape {
    int albums = 100;
    int itemsPerAlbum = 20;
    uint32_t seed = 1;
    const char16_t* encoding = u"GB2312";  // the declaration's encoding name
};

std::u16string GenerateCatalog(const CatalogShape& shape);

// A pack for a product of `productAlbums` albums: half of its albums are new, the other half
// are product albums (spread over the whole product, their names in other letter case) of
// which half of the items are new.
std::u16string GeneratePack(int productAlbums, int packAlbums, int itemsPerAlbum,
                            const char16_t* encoding = u"GB2312");

// A catalog of about `utf8Bytes` bytes once written in UTF-8.
std::u16string GenerateCatalogOfSize(size_t utf8Bytes, const char16_t* encoding = u"UTF-8");

// The bytes of a catalog in code page 936 or UTF-8 (`codePage` 65001).
std::string EncodeCatalog(const std::u16string& text, uint32_t codePage);

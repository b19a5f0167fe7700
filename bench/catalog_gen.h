// Writes catalog-shaped documents of any size for benchmarks: mirvo / albums / album / item,
// several attributes, Chinese names, entity references, CRLF and tab indentation.
#pragma once

#include <cstdint>
#include <string>

struct CatalogShape {
    int albums = 100;
    int itemsPerAlbum = 20;
    uint32_t seed = 1;
    int firstAlbum = 0;  // album numbers start here (to make packs that overlap a product)
};

std::u16string GenerateCatalog(const CatalogShape& shape);
// Grows albums until the UTF-16 text holds about `characters` characters.
std::u16string GenerateCatalogOfSize(size_t characters, uint32_t seed = 1);

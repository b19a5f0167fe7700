// brevlo-gen-catalog: writes a generated catalog, or a pack for one, in code page 936 or UTF-8.
//
//   brevlo-gen-catalog [--albums N | --size-mb X] [--items N] [--pack-of PRODUCT_ALBUMS]
//                      [--encoding cp936|utf-8] [--seed N] OUT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "catalog_gen.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: brevlo-gen-catalog [--albums N | --size-mb X] [--items N]\n"
                 "                          [--pack-of PRODUCT_ALBUMS] [--encoding cp936|utf-8]\n"
                 "                          [--seed N] OUT\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    CatalogShape shape;
    double sizeMb = 0;
    int packOf = -1;
    bool utf8 = false;
    const char* out = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--albums" && hasValue) {
            shape.albums = std::atoi(argv[++i]);
        } else if (arg == "--items" && hasValue) {
            shape.itemsPerAlbum = std::atoi(argv[++i]);
        } else if (arg == "--size-mb" && hasValue) {
            sizeMb = std::atof(argv[++i]);
        } else if (arg == "--pack-of" && hasValue) {
            packOf = std::atoi(argv[++i]);
        } else if (arg == "--seed" && hasValue) {
            shape.seed = static_cast<uint32_t>(std::atol(argv[++i]));
        } else if (arg == "--encoding" && hasValue) {
            const std::string e = argv[++i];
            if (e == "utf-8" || e == "utf8") {
                utf8 = true;
            } else if (e != "cp936" && e != "936") {
                return Usage();
            }
        } else if (arg[0] != '-' && !out) {
            out = argv[i];
        } else {
            return Usage();
        }
    }
    if (!out || shape.albums < 0 || shape.itemsPerAlbum < 0) return Usage();
    shape.encoding = utf8 ? u"UTF-8" : u"GB2312";
    std::u16string text;
    if (packOf >= 0) {
        text = GeneratePack(packOf, shape.albums, shape.itemsPerAlbum, shape.encoding);
    } else if (sizeMb > 0) {
        text = GenerateCatalogOfSize(static_cast<size_t>(sizeMb * 1e6), shape.encoding);
    } else {
        text = GenerateCatalog(shape);
    }
    const std::string bytes = EncodeCatalog(text, utf8 ? 65001 : 936);
    FILE* f = std::fopen(out, "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f)) {
        std::perror(out);
        return 1;
    }
    std::printf("%s: %zu bytes, %zu characters\n", out, bytes.size(), text.size());
    return 0;
}

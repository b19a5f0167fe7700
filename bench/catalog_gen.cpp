#include "catalog_gen.h"

#include <random>

namespace {

const char16_t* const kWords[] = {u"夏日", u"海滩", u"阳光", u"相框", u"金色", u"木纹",
                                  u"Summer", u"Frame", u"Waves &amp; Sand", u"星空",
                                  u"花朵", u"Retro &lt;80s&gt;"};

std::u16string Number(int n) {
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(u'0' + n % 10));
        n /= 10;
    } while (n);
    return s;
}

}  // namespace

std::u16string GenerateCatalog(const CatalogShape& shape) {
    std::mt19937 rng(shape.seed);
    auto word = [&] { return std::u16string(kWords[rng() % 12]); };
    std::u16string out = u"<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<mirvo version=\"2\">\r\n\t<albums>\r\n";
    for (int a = 0; a < shape.albums; ++a) {
        const std::u16string album = Number(shape.firstAlbum + a);
        out += u"\t\t<album name=\"" + word() + u" " + album + u"\" cover=\"a" + album +
               u"/cover.png\" type=\"" + Number(static_cast<int>(rng() % 5)) + u"\">\r\n";
        for (int i = 0; i < shape.itemsPerAlbum; ++i) {
            out += u"\t\t\t<item name=\"" + word() + u" " + Number(i) + u"\" file=\"a" + album +
                   u"/" + Number(i) + u".png\" size=\"" + Number(static_cast<int>(rng() % 100000)) +
                   u"\" tag=\"" + word() + u"\"/>\r\n";
        }
        out += u"\t\t\t<ElemCount>" + Number(shape.itemsPerAlbum) + u"</ElemCount>\r\n\t\t</album>\r\n";
    }
    out += u"\t</albums>\r\n</mirvo>\r\n";
    return out;
}

std::u16string GenerateCatalogOfSize(size_t characters, uint32_t seed) {
    CatalogShape shape;
    shape.seed = seed;
    shape.itemsPerAlbum = 20;
    // About 2,000 characters per album of 20 items.
    shape.albums = static_cast<int>(characters / 2000) + 1;
    return GenerateCatalog(shape);
}

#include "catalog_gen.h"

#include <algorithm>
#include <random>

#include "platform/platform.h"

namespace {

const char16_t* const kWords[] = {u"夏日",   u"海滩",  u"阳光",
                                  u"相框",   u"金色",  u"木纹",
                                  u"Summer", u"Frame", u"Waves &amp; Sand",
                                  u"星空",   u"花朵",  u"Retro &lt;80s"};
constexpr int kWordCount = 12;

std::u16string Number(int n) {
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(u'0' + n % 10));
        n /= 10;
    } while (n);
    return s;
}

uint32_t Mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    return x ^ (x >> 16);
}

// The name in capitals, entity references left as they are.
std::u16string Upper(std::u16string s) {
    bool inReference = false;
    for (char16_t& c : s) {
        if (c == u'&') inReference = true;
        if (!inReference && c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        if (c == u';') inReference = false;
    }
    return s;
}

std::u16string AlbumName(int album) {
    return std::u16string(kWords[Mix(static_cast<uint32_t>(album)) % kWordCount]) + u" " +
           Number(album);
}

std::u16string ItemName(int album, int item) {
    return std::u16string(
               kWords[Mix(static_cast<uint32_t>(album) * 7919u + static_cast<uint32_t>(item)) %
                      kWordCount]) +
           u" " + Number(item);
}

struct Writer {
    std::u16string out;
    std::mt19937 rng;

    explicit Writer(uint32_t seed, const char16_t* encoding) : rng(seed) {
        out = u"<?xml version=\"1.0\" encoding=\"" + std::u16string(encoding) +
              u"\"?>\r\n<mirvo version=\"2\">\r\n\t<albums>\r\n";
    }

    void Album(int album, const std::u16string& name, int firstItem, int items) {
        const std::u16string number = Number(album);
        out += u"\t\t<album name=\"" + name + u"\" cover=\"a" + number + u"/cover.png\" type=\"" +
               Number(static_cast<int>(rng() % 5)) + u"\">\r\n";
        for (int i = firstItem; i < firstItem + items; ++i) {
            out += u"\t\t\t<item name=\"" + ItemName(album, i) + u"\" file=\"a" + number + u"/" +
                   Number(i) + u".png\" size=\"" + Number(static_cast<int>(rng() % 100000)) +
                   u"\" tag=\"" + kWords[rng() % kWordCount] + u"\"/>\r\n";
        }
        out += u"\t\t\t<ElemCount>" + Number(items) + u"</ElemCount>\r\n\t\t</album>\r\n";
    }

    std::u16string Finish() {
        out += u"\t</albums>\r\n</mirvo>\r\n";
        return std::move(out);
    }
};

}  // namespace

std::u16string GenerateCatalog(const CatalogShape& shape) {
    Writer w(shape.seed, shape.encoding);
    for (int a = 0; a < shape.albums; ++a) w.Album(a, AlbumName(a), 0, shape.itemsPerAlbum);
    return w.Finish();
}

std::u16string GeneratePack(int productAlbums, int packAlbums, int itemsPerAlbum,
                            const char16_t* encoding) {
    Writer w(7, encoding);
    const int shared = packAlbums / 2;
    const int step = shared ? std::max(1, productAlbums / shared) : 1;
    for (int k = 0; k < packAlbums; ++k) {
        if (k % 2 == 0 && k / 2 < shared) {
            const int album = (k / 2) * step % std::max(1, productAlbums);
            w.Album(album, Upper(AlbumName(album)), itemsPerAlbum / 2, itemsPerAlbum);
        } else {
            const int album = productAlbums + k;
            w.Album(album, AlbumName(album), 0, itemsPerAlbum);
        }
    }
    return w.Finish();
}

std::u16string GenerateCatalogOfSize(size_t utf8Bytes, const char16_t* encoding) {
    CatalogShape shape;
    shape.encoding = encoding;
    shape.albums = 10;
    const size_t sample = platform::ToUtf8(GenerateCatalog(shape)).size();
    shape.albums = static_cast<int>(utf8Bytes * 10 / sample) + 1;
    return GenerateCatalog(shape);
}

std::string EncodeCatalog(const std::u16string& text, uint32_t codePage) {
    if (codePage == 65001) return platform::ToUtf8(text);
    std::string bytes;
    bool usedDefault = false;
    platform::WideToCodePage(codePage, text.data(), text.size(), bytes, usedDefault);
    return bytes;
}

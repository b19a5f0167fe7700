// Seeded generators of documents and edit arguments for the property tests: every failure
// can be replayed from its seed.
#pragma once

#include <cstdint>
#include <string>

#include "xml/XmlDocument.h"

class Rng {
  public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }
    bool Chance(int percent) { return Below(100) < percent; }
    template <typename T, size_t N>
    const T& Pick(const T (&items)[N]) {
        return items[Below(static_cast<int>(N))];
    }

  private:
    uint64_t state_;
};

inline const char16_t* const kNames[] = {u"a",     u"b",      u"item",   u"album",    u"x:y",
                                         u"n-1.2", u"\u00E9", u"\u540D", u"ElemCount"};
inline const char16_t* const kTexts[] = {
    u"text", u"a &amp; b", u"&lt;x&gt;", u" ", u"\u00E9\U0001F600", u"1 > 0", u"\r\n  "};
inline const char16_t* const kMisc[] = {u"<!-- <c> -->", u"<![CDATA[<d/>]]>", u"<?pi <e>?>",
                                        u"<!---->"};
inline const char16_t* const kValues[] = {u"v",     u"",       u"a<b&c>d",        u"]]>",
                                          u"x]]>y", u"'\"",    u"&amp;&#65;&bad", u"\r\n",
                                          u"12",    u"\u00E9", u"\U0001F600 & <>"};

inline const char16_t* const kAttributeValues[] = {u"='v'", u"=\"a>b/\"", u" = 'it\"s'", u"='>'"};

inline void AppendAttributes(Rng& rng, std::u16string& out) {
    const int count = rng.Below(3);
    for (int i = 0; i < count; ++i) {
        out += rng.Chance(50) ? u" k" : u"\r\n  q";
        out += static_cast<char16_t>(u'0' + i);
        out += rng.Pick(kAttributeValues);
    }
}

// A well-formed element of at most `depth` further levels. The generator's recursion is
// bounded by `depth`, which stays small.
inline void AppendRandomElement(Rng& rng, std::u16string& out, int depth) {
    const std::u16string name = rng.Pick(kNames);
    out += u'<';
    out += name;
    AppendAttributes(rng, out);
    const int form = rng.Below(10);
    if (form == 0) {
        out += u"/>";
        return;
    }
    if (form == 1) {
        out += u" />";
        return;
    }
    out += u'>';
    if (form > 3) {
        const int items = rng.Below(5);
        for (int i = 0; i < items; ++i) {
            const int kind = rng.Below(10);
            if (kind < 4 && depth > 0) {
                AppendRandomElement(rng, out, depth - 1);
            } else if (kind < 7) {
                out += rng.Pick(kTexts);
            } else if (kind < 8) {
                out += rng.Pick(kMisc);
            } else {
                out += u"\r\n    ";
            }
        }
    }
    out += u"</";
    out += name;
    out += rng.Chance(20) ? u" >" : u">";
}

inline std::u16string GenerateDocument(Rng& rng) {
    std::u16string out;
    if (rng.Chance(50)) out += u"<?xml version=\"1.0\"?>\r\n";
    if (rng.Chance(20)) out += u"<!-- head -->\r\n";
    AppendRandomElement(rng, out, 4);
    if (rng.Chance(50)) out += u"\r\n";
    if (rng.Chance(20)) out += u"<!-- tail -->";
    return out;
}

inline constexpr uint32_t kOptionalFlags[] = {EditNoLineBreaks,   EditSpacedEmptyTag,
                                              EditCdata,          EditEscapeQuotes,
                                              EditKeepReferences, EditInsertBefore};

inline uint32_t RandomFlags(Rng& rng) {
    uint32_t flags = 0;
    for (uint32_t f : kOptionalFlags)
        if (rng.Chance(25)) flags |= f;
    return flags;
}

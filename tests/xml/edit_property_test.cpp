// Randomised property: a well-formed document edited below its root only by AppendElement
// (never unended), AppendSubtree with single well-formed elements and SetContent parses
// afresh to the same elements, with the same spans, tag lengths, levels and links, as the
// edited index. Seeded, so every failure can be replayed.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/xml_checker.h"
#include "xml/XmlDocument.h"

namespace {

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

const char16_t* const kNames[] = {u"a",     u"b",      u"item",   u"album",    u"x:y",
                                  u"n-1.2", u"\u00E9", u"\u540D", u"ElemCount"};
const char16_t* const kTexts[] = {u"text",  u"a &amp; b", u"&lt;x&gt;", u" ", u"\u00E9\U0001F600",
                                  u"1 > 0", u"\r\n  "};
const char16_t* const kMisc[] = {u"<!-- <c> -->", u"<![CDATA[<d/>]]>", u"<?pi <e>?>", u"<!---->"};
const char16_t* const kValues[] = {u"v",     u"",       u"a<b&c>d",        u"]]>",
                                   u"x]]>y", u"'\"",    u"&amp;&#65;&bad", u"\r\n",
                                   u"12",    u"\u00E9", u"\U0001F600 & <>"};

const char16_t* const kAttributeValues[] = {u"='v'", u"=\"a>b/\"", u" = 'it\"s'", u"='>'"};

void AppendAttributes(Rng& rng, std::u16string& out) {
    const int count = rng.Below(3);
    for (int i = 0; i < count; ++i) {
        out += rng.Chance(50) ? u" k" : u"\r\n  q";
        out += static_cast<char16_t>(u'0' + i);
        out += rng.Pick(kAttributeValues);
    }
}

// A well-formed element of at most `depth` further levels. The generator's recursion is
// bounded by `depth`, which stays small.
void AppendElement(Rng& rng, std::u16string& out, int depth) {
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
                AppendElement(rng, out, depth - 1);
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

std::u16string GenerateDocument(Rng& rng) {
    std::u16string out;
    if (rng.Chance(50)) out += u"<?xml version=\"1.0\"?>\r\n";
    if (rng.Chance(20)) out += u"<!-- head -->\r\n";
    AppendElement(rng, out, 4);
    if (rng.Chance(50)) out += u"\r\n";
    if (rng.Chance(20)) out += u"<!-- tail -->";
    return out;
}

constexpr uint32_t kOptionalFlags[] = {EditNoLineBreaks, EditSpacedEmptyTag, EditCdata,
                                       EditEscapeQuotes, EditKeepReferences, EditInsertBefore};

uint32_t RandomFlags(Rng& rng) {
    uint32_t flags = 0;
    for (uint32_t f : kOptionalFlags)
        if (rng.Chance(25)) flags |= f;
    return flags;
}

// Places the positions for an edit below the root. Returns false when the choice would put
// the edit at the document level.
bool Place(Rng& rng, CXmlDocument& doc, const std::vector<ElementHandle>& order, bool asChild) {
    const ElementHandle e = order[static_cast<size_t>(rng.Below(static_cast<int>(order.size())))];
    const ElementRecord& r = doc.RecordAt(e);
    doc.childHandle = 0;
    if (asChild) {
        doc.parentHandle = r.parent;
        doc.mainHandle = e;
        if (r.firstChild && rng.Chance(70)) {
            std::vector<ElementHandle> children;
            for (ElementHandle c = r.firstChild; c; c = doc.RecordAt(c).nextSibling)
                children.push_back(c);
            doc.childHandle =
                children[static_cast<size_t>(rng.Below(static_cast<int>(children.size())))];
        }
    } else if (rng.Chance(30)) {
        doc.parentHandle = e;  // as the last (or, before, the first) child
        doc.mainHandle = 0;
    } else {
        if (r.parent == 0) return false;  // a sibling of the root
        doc.parentHandle = r.parent;
        doc.mainHandle = e;
    }
    doc.nodeType = doc.mainHandle ? 1 : 0;
    return true;
}

TEST(EditProperty, EditedIndexEqualsFreshParse) {
    constexpr int kDocuments = 250;
    constexpr int kEdits = 40;
    int applied = 0;
    for (int d = 0; d < kDocuments; ++d) {
        const uint64_t seed = 0x5EED0000u + static_cast<uint64_t>(d);
        SCOPED_TRACE("seed " + std::to_string(seed));
        Rng rng(seed);
        CXmlDocument doc;
        ASSERT_TRUE(doc.SetDocumentText(GenerateDocument(rng))) << Narrow(doc.resultText);
        ASSERT_TRUE(MatchesFreshParse(doc));
        for (int e = 0; e < kEdits; ++e) {
            SCOPED_TRACE("edit " + std::to_string(e));
            const std::vector<ElementHandle> order = DocumentOrder(doc);
            const int kind = rng.Below(3);
            const uint32_t flags = RandomFlags(rng);
            bool result = false;
            bool expected = true;
            if (kind == 0) {
                const bool asChild = rng.Chance(40);
                if (!Place(rng, doc, order, asChild)) continue;
                const std::u16string name = rng.Pick(kNames);
                const char16_t* value = rng.Chance(30) ? nullptr : rng.Pick(kValues);
                const uint32_t f = flags | (asChild ? uint32_t{EditAsChild} : 0u);
                result = rng.Chance(20) ? doc.AppendElement(name.c_str(), rng.Below(2001) - 1000, f)
                                        : doc.AppendElement(name.c_str(), value, f);
                const ElementHandle added = asChild ? doc.childHandle : doc.mainHandle;
                ASSERT_NE(added, 0u);
                EXPECT_EQ(NameAt(doc, added), name);
            } else if (kind == 1) {
                const bool asChild = rng.Chance(40);
                if (!Place(rng, doc, order, asChild)) continue;
                std::u16string text;
                if (rng.Chance(30)) text += rng.Chance(50) ? u"\r\n  " : u"<!-- lead -->";
                AppendElement(rng, text, 2);
                if (rng.Chance(50)) text += u"\r\n";
                result =
                    doc.AppendSubtree(text.c_str(), flags | (asChild ? uint32_t{EditAsChild} : 0u));
                EXPECT_EQ(doc.resultText, u"");
            } else {
                const ElementHandle target =
                    order[static_cast<size_t>(rng.Below(static_cast<int>(order.size())))];
                expected = doc.RecordAt(target).firstChild == 0;
                const std::u16string before(doc.documentText.view());
                result = rng.Chance(20) ? doc.SetContent(target, rng.Below(100))
                                        : doc.SetContent(target, rng.Pick(kValues), flags);
                if (!expected) {
                    EXPECT_EQ(doc.documentText.view(), before);
                }
            }
            ASSERT_EQ(result, expected);
            ASSERT_TRUE(CheckStructure(doc));
            ASSERT_EQ(doc.RecordAt(0).length, doc.documentText.length());
            ASSERT_TRUE(MatchesFreshParse(doc)) << Narrow(doc.documentText.view());
            ++applied;
        }
    }
    EXPECT_GT(applied, kDocuments * kEdits / 2);
}

}  // namespace

// Randomised property: a well-formed document edited below its root only by AppendElement
// (never unended), AppendSubtree with single well-formed elements and SetContent parses
// afresh to the same elements, with the same spans, tag lengths, levels and links, as the
// edited index. Seeded, so every failure can be replayed.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/xml_checker.h"
#include "support/xml_gen.h"
#include "xml/XmlDocument.h"

namespace {

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
                AppendRandomElement(rng, text, 2);
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

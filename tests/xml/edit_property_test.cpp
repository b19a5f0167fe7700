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
#include "xml/internal/XmlInternals.h"

namespace {

// Places the positions for an edit below the root. Returns false when the choice would put
// the edit at the document level.
bool Place(Rng& rng, CXmlDocument& doc, const std::vector<ElementHandle>& order, bool asChild) {
    const XmlInternals in(doc);
    const ElementHandle e = order[static_cast<size_t>(rng.Below(static_cast<int>(order.size())))];
    const ElementRecord& r = in.Record(e);
    if (asChild) {
        ElementHandle child = 0;
        if (r.firstChild && rng.Chance(70)) {
            std::vector<ElementHandle> children;
            for (ElementHandle c = r.firstChild; c; c = in.Record(c).nextSibling)
                children.push_back(c);
            child = children[static_cast<size_t>(rng.Below(static_cast<int>(children.size())))];
        }
        doc.SetPosition(r.parent, e, child);
    } else if (rng.Chance(30)) {
        doc.SetPosition(e, 0, 0);  // as the last (or, before, the first) child
    } else {
        if (r.parent == 0) return false;  // a sibling of the root
        doc.SetPosition(r.parent, e, 0);
    }
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
        const XmlInternals in(doc);
        ASSERT_TRUE(doc.SetDocumentText(GenerateDocument(rng))) << Narrow(in.ResultText());
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
                const ElementHandle added = asChild ? in.ChildHandle() : in.MainHandle();
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
                EXPECT_EQ(in.ResultText(), u"");
            } else {
                const ElementHandle target =
                    order[static_cast<size_t>(rng.Below(static_cast<int>(order.size())))];
                expected = in.Record(target).firstChild == 0;
                const std::u16string before(in.DocumentText().view());
                result = rng.Chance(20) ? doc.SetContent(target, rng.Below(100))
                                        : doc.SetContent(target, rng.Pick(kValues), flags);
                if (!expected) {
                    EXPECT_EQ(in.DocumentText().view(), before);
                }
            }
            ASSERT_EQ(result, expected);
            ASSERT_TRUE(CheckStructure(doc));
            ASSERT_EQ(in.Record(0).length, in.DocumentText().length());
            ASSERT_TRUE(MatchesFreshParse(doc)) << Narrow(in.DocumentText().view());
            ++applied;
        }
    }
    EXPECT_GT(applied, kDocuments * kEdits / 2);
}

}  // namespace

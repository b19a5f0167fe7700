// Randomised property: a well-formed document edited below its root only by AppendElement
// (never unended), AppendSubtree with single well-formed elements, SetContent and
// RemoveElement parses
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

constexpr uint32_t kRestoreFlags[] = {0, EditRestoreEmptyTag, EditRestoreNoContent};

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
            const int kind = rng.Below(4);
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
            } else if (kind == 3) {
                const ElementHandle target =
                    order[static_cast<size_t>(rng.Below(static_cast<int>(order.size())))];
                expected = in.Record(target).parent != 0;
                result = doc.RemoveElement(target, rng.Pick(kRestoreFlags));
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

// The appends of an import (flags 0, after a reference or as the last child), each undone by
// RemoveElement with the parent's form from before it, give back each earlier text byte for
// byte, one by one and in one batch.
TEST(EditProperty, RemovalUndoesAppends) {
    for (int d = 0; d < 300; ++d) {
        SCOPED_TRACE("seed " + std::to_string(d));
        Rng rng(0x4E30000u + static_cast<uint64_t>(d));
        const std::u16string original = GenerateDocument(rng);
        CXmlDocument doc, batched;
        const XmlInternals in(doc);
        ASSERT_TRUE(doc.SetDocumentText(original));
        batched.SetDocumentText(original);
        std::vector<std::u16string> texts;
        std::vector<std::pair<ElementHandle, uint32_t>> added;
        for (int a = 1 + rng.Below(4); a > 0; --a) {
            const std::vector<ElementHandle> order = DocumentOrder(doc);
            const ElementHandle parent = order[static_cast<size_t>(rng.Below(int(order.size())))];
            ElementHandle after = 0;
            for (ElementHandle c = doc.FirstChild(parent); c; c = doc.NextSibling(c))
                if (rng.Chance(40)) after = c;
            const ElementForm form = doc.GetElementForm(parent);
            texts.emplace_back(in.DocumentText().view());
            std::u16string item;
            AppendRandomElement(rng, item, 2);
            const int32_t count = rng.Below(2001) - 1000;
            const bool subtree = rng.Chance(50);
            for (CXmlDocument* target : {&doc, &batched}) {
                target->SetPosition(parent, after, 0);
                ASSERT_TRUE(subtree ? target->AppendSubtree(item.c_str(), 0)
                                    : target->AppendElement(u"ElemCount", count, 0));
            }
            added.emplace_back(in.MainHandle(), form == ElementForm::EmptyTag ? EditRestoreEmptyTag
                                                : form == ElementForm::NoContent
                                                    ? EditRestoreNoContent
                                                    : 0u);
            ASSERT_TRUE(MatchesFreshParse(doc));
        }
        const std::u16string full(in.DocumentText().view());
        for (const ElementHandle refused : {0u, in.Record(0).firstChild, 99999u})
            EXPECT_FALSE(doc.RemoveElement(refused, 0));
        EXPECT_FALSE(doc.RemoveElement(added[0].first, EditRestoreEmptyTag | EditRestoreNoContent));
        EXPECT_EQ(in.DocumentText().view(), full);
        CXmlEditBatch batch(batched);
        for (size_t i = added.size(); i-- > 0;) {
            ASSERT_TRUE(doc.RemoveElement(added[i].first, added[i].second));
            ASSERT_EQ(Narrow(in.DocumentText().view()), Narrow(texts[i]));
            ASSERT_TRUE(MatchesFreshParse(doc));
            ASSERT_NE(in.Record(in.MainHandle()).flags, ElemReleased);  // moved off, not dangling
            ASSERT_TRUE(batch.RemoveElement(added[i].first, added[i].second));
        }
        EXPECT_FALSE(doc.RemoveElement(added[0].first, 0));
        ASSERT_TRUE(batch.Apply());
        EXPECT_EQ(XmlInternals(batched).DocumentText().view(), original);
        EXPECT_TRUE(MatchesFreshParse(batched));
        EXPECT_EQ(DocumentOrder(batched), DocumentOrder(doc));
    }
}

}  // namespace

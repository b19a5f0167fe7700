// The check made before an edited catalog may be saved: it accepts every sound result of a
// merge and refuses any index that no longer describes its text, whichever record word is off.
#include <gtest/gtest.h>

#include <cstring>

#include "import/catalog_merge.h"
#include "import/run_import.h"
#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"

namespace {

const char16_t kProduct[] =
    u"<mirvo>\r\n\t<albums>\r\n\t\t<album name=\"A\"><item name=\"a1\"/>"
    u"<ElemCount>1</ElemCount></album>\r\n\t\t<album name=\"B\"/>\r\n\t</albums>\r\n</mirvo>\r\n";
const char16_t kPack[] =
    u"<mirvo><albums><album name=\"a\"><item name=\"a2\"/></album>"
    u"<album name=\"Z\"><item name=\"z1\"><x/></item></album></albums></mirvo>";

void Merged(CXmlDocument& target) {
    CXmlDocument source;
    ASSERT_TRUE(source.SetDocumentText(kPack));
    ASSERT_TRUE(target.SetDocumentText(kProduct));
    MergeCatalog(source, target);
    UpdateItemCounts(target);
    ASSERT_TRUE(CheckStructure(target));
}

TEST(Verify, AcceptsSoundResultsAndRefusesEveryTamperedWord) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    Merged(doc);
    ASSERT_TRUE(IndexMatchesText(doc));
    const int32_t records = in.NextRecord();
    struct Tamper {
        const char* what;
        void (*apply)(ElementRecord& r);
    };
    const Tamper tampers[] = {
        {"start", [](ElementRecord& r) { r.start += 1; }},
        {"length", [](ElementRecord& r) { r.length -= 1; }},
        {"start tag length", [](ElementRecord& r) { r.SetStartTagLength(r.StartTagLength() + 1); }},
        {"end tag length", [](ElementRecord& r) { r.SetEndTagLength(r.EndTagLength() + 1); }},
        {"level", [](ElementRecord& r) { r.SetLevel(r.Level() + 1); }},
        {"first-child flag", [](ElementRecord& r) { r.flags ^= ElemFirstChild; }},
        {"unended flag", [](ElementRecord& r) { r.flags ^= ElemUnended; }},
        {"parent", [](ElementRecord& r) { r.parent = r.parent ? 0 : 1; }},
        {"next sibling", [](ElementRecord& r) { r.nextSibling = r.nextSibling ? 0 : 1; }},
        {"previous sibling", [](ElementRecord& r) { r.prevSibling ^= 1; }},
        {"first child", [](ElementRecord& r) { r.firstChild = r.firstChild ? 0 : 2; }},
        {"released", [](ElementRecord& r) { r.flags |= ElemReleased; }},
    };
    int refused = 0;
    for (const Tamper& t : tampers) {
        for (ElementHandle h = 1; h < static_cast<ElementHandle>(records); ++h) {
            SCOPED_TRACE(std::string(t.what) + " of record " + std::to_string(h));
            ElementRecord r = in.Record(h);
            if (r.flags & ElemReleased) continue;  // records freed by the edits count for nothing
            const ElementRecord saved = r;
            t.apply(r);
            XmlInternals::SetRecord(doc, h, r);
            if (std::memcmp(&saved, &r, sizeof r) != 0) {
                EXPECT_FALSE(IndexMatchesText(doc));
                ++refused;
            }
            XmlInternals::SetRecord(doc, h, saved);
        }
    }
    EXPECT_GT(refused, 10 * (records - 1));
    ASSERT_TRUE(IndexMatchesText(doc));

    // A cycle of siblings ends the walk too.
    const ElementHandle albums = in.Record(in.Record(0).firstChild).firstChild;
    const ElementHandle firstAlbum = in.Record(albums).firstChild;
    const ElementHandle lastAlbum = in.Record(firstAlbum).prevSibling;
    ElementRecord last = in.Record(lastAlbum);
    last.nextSibling = firstAlbum;
    XmlInternals::SetRecord(doc, lastAlbum, last);
    EXPECT_FALSE(IndexMatchesText(doc));
    last.nextSibling = 0;
    XmlInternals::SetRecord(doc, lastAlbum, last);

    // So does a text changed under the index, and a document that is not well-formed.
    ASSERT_TRUE(XmlInternals::SpliceText(doc, in.Record(firstAlbum).start + 1, 1, u"x", 1));
    EXPECT_FALSE(IndexMatchesText(doc));
    CXmlDocument broken;
    EXPECT_FALSE(broken.SetDocumentText(u"<mirvo><albums></mirvo>"));
    EXPECT_FALSE(IndexMatchesText(broken));
    CXmlDocument empty;
    EXPECT_FALSE(IndexMatchesText(empty));
}

TEST(Verify, RefusesAnEditThatReadsOtherwise) {
    // "<ElemCount</>" is one empty element to the parser; opened up to take the count it
    // becomes "<ElemCount<>", which reads as something else. The check must see it.
    CXmlDocument target;
    ASSERT_TRUE(target.SetDocumentText(
        u"<mirvo><albums><album name=\"A\"><item name=\"a\"/><ElemCount</></album></albums>"
        u"</mirvo>"));
    CXmlDocument source;
    ASSERT_TRUE(source.SetDocumentText(u"<mirvo><albums/></mirvo>"));
    MergeCatalog(source, target);
    UpdateItemCounts(target);
    EXPECT_TRUE(CheckStructure(target));
    EXPECT_FALSE(IndexMatchesText(target)) << Narrow(XmlInternals(target).DocumentText().view());
}

}  // namespace

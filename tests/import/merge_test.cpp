#include <gtest/gtest.h>

#include <string>

#include "import/catalog_merge.h"
#include "platform/ascii_fold.h"
#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"

namespace {

std::u16string Crlf(std::u16string text) {
    std::u16string out;
    for (char16_t c : text) {
        if (c == u'\n') out += u'\r';
        out += c;
    }
    return out;
}

std::u16string Merge(const std::u16string& product, const std::u16string& pack) {
    CXmlDocument source, target;
    EXPECT_TRUE(source.SetDocumentText(pack)) << Narrow(XmlInternals(source).ResultText());
    EXPECT_TRUE(target.SetDocumentText(product)) << Narrow(XmlInternals(target).ResultText());
    MergeCatalog(source, target);
    EXPECT_TRUE(CheckStructure(target));
    UpdateItemCounts(target);
    EXPECT_TRUE(CheckStructure(target));
    EXPECT_TRUE(target.IsWellFormed());
    // The merge leaves both walks on the root with "albums" remembered.
    EXPECT_EQ(XmlInternals(target).MainHandle(), XmlInternals(target).Record(0).firstChild);
    EXPECT_EQ(XmlInternals(source).MainHandle(), XmlInternals(source).Record(0).firstChild);
    std::u16string merged(XmlInternals(target).DocumentText().view());
    CXmlDocument reparsed;
    EXPECT_TRUE(reparsed.SetDocumentText(merged));
    return merged;
}

TEST(Merge, WorkedExampleExactText) {
    const std::u16string product = Crlf(
        u"<mirvo>\n"
        u"\t<albums>\n"
        u"\t\t<album name=\"A\">\n"
        u"\t\t\t<item name=\"a1\"/>\n"
        u"\t\t\t<item name=\"a2\"/>\n"
        u"\t\t\t<ElemCount>2</ElemCount>\n"
        u"\t\t</album>\n"
        u"\t\t<album name=\"B\">\n"
        u"\t\t\t<item name=\"b1\"/>\n"
        u"\t\t</album>\n"
        u"\t</albums>\n"
        u"</mirvo>\n");
    const std::u16string pack = Crlf(
        u"<mirvo>\n"
        u"\t<albums>\n"
        u"\t\t<album name=\"a\">\n"
        u"\t\t\t<item name=\"A2\"/>\n"
        u"\t\t\t<item name=\"a3\"/>\n"
        u"\t\t</album>\n"
        u"\t\t<album name=\"Z\">\n"
        u"\t\t\t<item name=\"z1\"/>\n"
        u"\t\t\t<ElemCount>5</ElemCount>\n"
        u"\t\t</album>\n"
        u"\t</albums>\n"
        u"</mirvo>\n");
    const std::u16string expected = Crlf(
        u"<mirvo>\n"
        u"\t<albums>\n"
        u"\t\t<album name=\"A\">\n"
        u"\t\t\t<item name=\"a1\"/>\n"
        u"\t\t\t<item name=\"a2\"/>\n"
        u"\t\t\t<item name=\"a3\"/>\n"
        u"<ElemCount>3</ElemCount>\n"
        u"\t\t</album>\n"
        u"\t\t<album name=\"B\">\n"
        u"\t\t\t<item name=\"b1\"/>\n"
        u"\t\t<ElemCount>1</ElemCount>\n"
        u"</album>\n"
        u"\t<album name=\"Z\">\n"
        u"\t\t\t<item name=\"z1\"/>\n"
        u"\t\t\t<ElemCount>1</ElemCount>\n"
        u"\t\t</album>\n"
        u"</albums>\n"
        u"</mirvo>\n");
    EXPECT_EQ(Narrow(Merge(product, pack)), Narrow(expected));
}

struct MergeCase {
    const char* what;
    const char16_t* product;
    const char16_t* pack;
    const char16_t* expected;
};

// Compact catalogs without whitespace, so that the expected text stays readable.
const MergeCase kCases[] = {
    {"case of A-Z folds: one album, product spelling kept",
     u"<mirvo><albums><album name='summer'><item name='x'/></album></albums></mirvo>",
     u"<mirvo><albums><album name='Summer'><item name='X'/><item "
     u"name='y'/></album></albums></mirvo>",
     u"<mirvo><albums><album name='summer'><item name='x'/><item name='y'/>\r\n"
     u"<ElemCount>2</ElemCount>\r\n</album></albums></mirvo>"},
    {"letters outside A-Z do not fold", u"<mirvo><albums><album name='\u00c9'/></albums></mirvo>",
     u"<mirvo><albums><album name='\u00e9'/></albums></mirvo>",
     u"<mirvo><albums><album name='\u00c9'>\r\n<ElemCount>0</ElemCount>\r\n</album>"
     u"<album name='\u00e9'>\r\n<ElemCount>0</ElemCount>\r\n</album>\r\n</albums></mirvo>"},
    {"items go after an ElemCount when the album has no item",
     u"<mirvo><albums><album name='a'><ElemCount>9</ElemCount></album></albums></mirvo>",
     u"<mirvo><albums><album name='a'><item name='n1'/><item name='n2'/></album></albums></mirvo>",
     u"<mirvo><albums><album name='a'><ElemCount>2</ElemCount><item name='n1'/>\r\n"
     u"<item name='n2'/>\r\n</album></albums></mirvo>"},
    {"two product albums of one name: only the first receives, both are counted",
     u"<mirvo><albums><album name='d'><ElemCount/></album><album name='D'><item/></album>"
     u"</albums></mirvo>",
     u"<mirvo><albums><album name='d'><item name='i'/></album></albums></mirvo>",
     u"<mirvo><albums><album name='d'><ElemCount>1</ElemCount><item name='i'/>\r\n</album>"
     u"<album name='D'><item/><ElemCount>1</ElemCount>\r\n</album></albums></mirvo>"},
    {"the same album twice in the pack is merged once", u"<mirvo><albums></albums></mirvo>",
     u"<mirvo><albums><album name='s'><item name='1'/></album><album name='S'><item name='2'/>"
     u"<item name='1'/></album></albums></mirvo>",
     u"<mirvo><albums>\r\n<album name='s'><item name='1'/><item name='2'/>\r\n"
     u"<ElemCount>2</ElemCount>\r\n</album>\r\n</albums></mirvo>"},
    {"missing names match each other", u"<mirvo><albums><album><item/></album></albums></mirvo>",
     u"<mirvo><albums><album name=''><item name=''/><item name='n'/></album></albums></mirvo>",
     u"<mirvo><albums><album><item/><item name='n'/>\r\n<ElemCount>2</ElemCount>\r\n</album>"
     u"</albums></mirvo>"},
    {"names compare decoded", u"<mirvo><albums><album name='a&amp;b'/></albums></mirvo>",
     u"<mirvo><albums><album name='A&#38;B'><item name='q'/></album></albums></mirvo>",
     u"<mirvo><albums><album name='a&amp;b'>\r\n<item name='q'/>\r\n"
     u"<ElemCount>1</ElemCount>\r\n</album></albums></mirvo>"},
    {"an album that is only items stays whole, and counts are corrected",
     u"<mirvo><albums><album name='k'><item name='a'/><ElemCount>7</ElemCount></album>"
     u"</albums></mirvo>",
     u"<mirvo><albums><album name='k'><item name='A'/></album></albums></mirvo>",
     u"<mirvo><albums><album name='k'><item name='a'/><ElemCount>1</ElemCount></album>"
     u"</albums></mirvo>"},
};

TEST(Merge, EdgeCases) {
    for (const MergeCase& c : kCases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Narrow(Merge(c.product, c.pack)), Narrow(c.expected));
    }
}

TEST(Merge, CatalogFormIsRequiredOfTheProduct) {
    struct Form {
        const char16_t* text;
        bool ok;
    };
    const Form forms[] = {
        {u"<mirvo><albums/></mirvo>", true},
        {u"<mirvo><x/><albums></albums></mirvo>", true},
        {u"<mirvo/>", false},
        {u"<Mirvo><albums/></Mirvo>", false},
        {u"<other><albums/></other>", false},
        {u"<mirvo><album/></mirvo>", false},
        {u"<mirvo><albums/>", false},
        {u"", false},
    };
    for (const Form& f : forms) {
        CXmlDocument doc;
        doc.SetDocumentText(f.text);
        EXPECT_EQ(HasCatalogForm(doc), f.ok) << Narrow(f.text);
    }
}

TEST(Merge, CompareNoCaseFoldsOnlyLatinLetters) {
    EXPECT_EQ(platform::CompareNoCase(u"Summer", u"sUMMER"), 0);
    EXPECT_NE(platform::CompareNoCase(u"\u00c9", u"\u00e9"), 0);
    EXPECT_NE(platform::CompareNoCase(u"a", u"ab"), 0);
    EXPECT_EQ(platform::CompareNoCase(u"", u""), 0);
    EXPECT_LT(platform::CompareNoCase(u"a", u"B"), 0);
    EXPECT_EQ(platform::CompareNoCase(u"[", u"{"), u'[' - u'{');  // no folding of punctuation
}

}  // namespace

#include <gtest/gtest.h>

#include <string>

#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"

namespace {

struct ParseCase {
    const char16_t* text;
    bool wellFormed;
    const char16_t* message;
    const char* records;  // DumpRecords, or null to skip
};

// Flags as dumped: 0x80000 first child, 0x100000 unended, 0x200000 has error.
const ParseCase kCases[] = {
    {u"", false, u"Empty document", ""},
    {u"<a/>", true, u"", "1 0 4 4 0 0 0x80000 0 0 0 1"},
    {u"<a><b/><c></c></a>", true, u"",
     "1 0 18 3 4 0 0x80000 0 2 0 1\n"
     "2 3 4 4 0 1 0x80000 1 0 3 3\n"
     "3 7 7 3 4 1 0x0 1 0 0 2"},
    {u"<a x='1>2'/>", true, u"", "1 0 12 12 0 0 0x80000 0 0 0 1"},
    {u"<a x=1/>", false, u"Element 'a' at offset 0 not ended", "1 0 8 8 0 0 0x180000 0 0 0 1"},
    {u"  <a/>", true, u"", "1 2 4 4 0 0 0x80000 0 0 0 1"},
    {u"<!-- <b> --><a/>", true, u"", "1 12 4 4 0 0 0x80000 0 0 0 1"},
    {u"<?x <b>?><a/>", true, u"", "1 9 4 4 0 0 0x80000 0 0 0 1"},
    {u"<![CDATA[<b>]]><a/>", true, u"", "1 15 4 4 0 0 0x80000 0 0 0 1"},
    {u"<!-->", false, u"No root element", ""},
    {u"<a></b></a>", false, u"No start tag for end tag 'b' at offset 3",
     "1 0 11 3 4 0 0x280000 0 0 0 1"},
    {u"<a><b></a>", false, u"End tag 'a' at offset 7 does not match start tag 'b' at offset 3",
     "1 0 10 3 4 0 0x80000 0 2 0 1\n"
     "2 3 3 3 0 1 0x180000 1 0 0 2"},
    {u"<a>", false, u"Element 'a' at offset 0 not ended", "1 0 3 3 0 0 0x180000 0 0 0 1"},
    // b moves up beside a; its first-child mark, level and the chain's last link are restored.
    {u"<a><b>", false, u"Root element has sibling",
     "1 0 3 3 0 0 0x180000 0 0 2 2\n"
     "2 3 3 3 0 0 0x100000 0 0 0 1"},
    {u"<1/>", false, u"No root element", ""},
    {u"<a><", false, u"tag at offset 3 unterminated", "1 0 3 3 0 0 0x180000 0 0 0 1"},
    {u"<a/><b/>", false, u"Root element has sibling", nullptr},
    {u"<a><b><c></a>", false, u"End tag 'a' at offset 10 does not match start tag 'c' at offset 6",
     "1 0 13 3 4 0 0x80000 0 2 0 1\n"
     "2 3 3 3 0 1 0x180000 1 0 3 3\n"
     "3 6 3 3 0 1 0x100000 1 0 0 2"},
    {u"<a", false, u"No root element", ""},
    {u"<r><1 x='>'/></r>", false, u"Incorrect tag name character at offset 3",
     "1 0 17 3 4 0 0x280000 0 0 0 1"},
    {u"<a b=='x>'/>", false, u"Element 'a' at offset 0 not ended", "1 0 9 9 0 0 0x180000 0 0 0 1"},
    {u"<!DOCTYPE x [ <!ELEMENT a (b)> <!-- c > --> ]><a/>", true, u"",
     "1 46 4 4 0 0 0x80000 0 0 0 1"},
    {u"<!DOCTYPE x SYSTEM 'a>b'><a/>", true, u"", "1 25 4 4 0 0 0x80000 0 0 0 1"},
    {u"<r><!DOCTYPE x [ <!X> ]></r>", true, u"", "1 0 28 3 4 0 0x80000 0 0 0 1"},
    {u"<A></a>", false, u"No start tag for end tag 'a' at offset 3", nullptr},
    // Lexer messages and kinds.
    {u"<r><!x></r>", false, u"Incorrect ! tag at offset 3", nullptr},
    {u"<r><!-x></r>", false, u"Incorrect comment tag at offset 3", nullptr},
    {u"<r><![x></r>", false, u"Incorrect tag at offset 3", nullptr},
    {u"<r><!-- x", false, u"Comment at offset 3 unterminated", nullptr},
    {u"<r><![CDATA[ x", false, u"CDATA Section at offset 3 unterminated", nullptr},
    {u"<r><?pi x", false, u"Processing instruction at offset 3 unterminated", nullptr},
    {u"<r></r", false, u"Element end tag at offset 3 unterminated", nullptr},
    {u"<r><b x='>", false, u"Element tag at offset 3 unterminated", nullptr},
    {u"<r><!DOCTYPE x [", false, u"Doctype at offset 3 unterminated", nullptr},
    {u"<r><!ENTITY x '>", false, u"Doctype at offset 3 unterminated", nullptr},
    {u"<r><!", false, u"tag at offset 3 unterminated", nullptr},
    {u"<r><!-", false, u"tag at offset 3 unterminated", nullptr},
    {u"<r><1 x", false, u"tag at offset 3 unterminated", nullptr},
    {u"<r><?x?></r>", true, u"", nullptr},
    {u"<r><?></r>", false, u"Processing instruction at offset 3 unterminated", nullptr},
    {u"<r><!ENTITY x '>'></r>", true, u"", nullptr},
    {u"<r>a > b</r>", true, u"", "1 0 12 3 4 0 0x80000 0 0 0 1"},
    {u"<r x=\"a'b\" y='c\"d'>t</r>", true, u"", nullptr},
    {u"<r\r\n\tx = 'v'\r\n/>", true, u"", "1 0 16 16 0 0 0x80000 0 0 0 1"},
    {u"<\u4e13\u8f91 \u540d=\"\u590f\"/>", true, u"", "1 0 11 11 0 0 0x80000 0 0 0 1"},
    // An end tag ends at its first ">", quotes or not; a value runs on over blocks of the text.
    {u"<r></r x='>'=\"\">", true, u"", "1 0 11 3 8 0 0x80000 0 0 0 1"},
    {u"<r x=\"a=b>c<d'a=b>c<d'a=b>c<d'a=b>c<d'a=b>c<d'a=b>c<d'a=b>c<d'a=b>c<d'a=b>c<d'a=b>c<d'\" "
     u"y=\"\"/>",
     true, u"", "1 0 94 94 0 0 0x80000 0 0 0 1"},
};

TEST(Parse, CasesGiveRecordsAndMessages) {
    for (const ParseCase& c : kCases) {
        SCOPED_TRACE(Narrow(c.text));
        CXmlDocument doc;
        const XmlInternals in(doc);
        EXPECT_EQ(doc.SetDocumentText(c.text), c.wellFormed);
        EXPECT_EQ(Narrow(in.ResultText()), Narrow(c.message));
        EXPECT_EQ(doc.IsWellFormed(), c.wellFormed);
        // The message is built from the status and the offset, the first it names.
        const std::u16string message = c.message;
        const size_t at = message.find(u" at offset ");
        EXPECT_EQ(doc.LastParse().status == ParseStatus::Ok, message.empty());
        EXPECT_EQ(doc.LastParse().offset,
                  at == std::u16string::npos ? -1 : std::stoi(Narrow(message.substr(at + 11))));
        if (c.records) {
            EXPECT_EQ(DumpRecords(doc), c.records);
        }
        EXPECT_TRUE(CheckStructure(doc));
        EXPECT_EQ(in.MainHandle() | in.ParentHandle() | in.ChildHandle(), 0u);
        EXPECT_EQ(in.NodeType() | in.NodeOffset() | in.NodeLength(), 0);
    }
}

TEST(Parse, EmptyTextLeavesDocumentRecordZero) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    EXPECT_FALSE(doc.SetDocumentText(nullptr));
    EXPECT_EQ(in.ResultText(), u"Empty document");
    const ElementRecord& r = in.Record(0);
    EXPECT_EQ(r.start | r.length |
                  static_cast<int32_t>(r.tagLengths | r.flags | r.parent | r.firstChild |
                                       r.nextSibling | r.prevSibling),
              0);
}

TEST(Parse, IgnoreCaseFlagMatchesEndTags) {
    CXmlDocument doc;
    doc.SetIgnoreCase(true);
    EXPECT_TRUE(doc.SetDocumentText(u"<A></a>"));
    EXPECT_EQ(DumpRecords(doc), "1 0 7 3 4 0 0x80000 0 0 0 1");
}

TEST(Parse, EarlierResultTextStaysInFront) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    const CString once = u"Element 'a' at offset 0 not ended";
    EXPECT_FALSE(doc.SetDocumentText(u"<a>"));
    EXPECT_FALSE(XmlInternals::ParseDocument(doc));
    EXPECT_EQ(in.ResultText(), once + u", " + once);
    ASSERT_TRUE(XmlInternals::SpliceText(doc, 2, 0, u"/", 1));
    EXPECT_TRUE(XmlInternals::ParseDocument(doc));
    EXPECT_EQ(in.ResultText(), once + u", " + once);
}

TEST(Parse, FirstErrorWins) {
    CXmlDocument doc;
    doc.SetDocumentText(u"<r></x><1></r>");
    EXPECT_EQ(XmlInternals(doc).ResultText(), u"No start tag for end tag 'x' at offset 3");
}

TEST(Parse, ErrorMarksTravelUpThroughUnendedElements) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    doc.SetDocumentText(u"<r><a><b></x></r>");
    // b held the error; a and b are closed unended, the mark ends on r.
    EXPECT_TRUE(CheckStructure(doc));
    EXPECT_TRUE(in.Record(1).flags & ElemHasError);
    EXPECT_FALSE(in.Record(2).flags & ElemHasError);
    EXPECT_FALSE(in.Record(3).flags & ElemHasError);
}

TEST(Parse, DeepRecoveryRestoresLevelsOfMovedSubtrees) {
    // Unended wrappers around a properly closed subtree: everything moves up and must end
    // with consistent parents and levels.
    std::u16string text = u"<r>";
    for (int i = 0; i < 50; ++i) text += u"<w>";
    text += u"<x><y><z/></y></x></r>";
    CXmlDocument doc;
    const XmlInternals in(doc);
    EXPECT_FALSE(doc.SetDocumentText(text));
    EXPECT_TRUE(CheckStructure(doc));
    EXPECT_EQ(in.Record(in.Record(0).firstChild).length, static_cast<int32_t>(text.size()));
}

TEST(Parse, ManyUnendedElementsAreClosedInLinearTime) {
    std::u16string text;
    for (int i = 0; i < 20000; ++i) text += u"<a>";
    for (int i = 0; i < 20000; ++i) text += u"<b/>";
    CXmlDocument doc;
    EXPECT_FALSE(doc.SetDocumentText(text));
    EXPECT_EQ(XmlInternals(doc).ResultText(), u"Root element has sibling");
    EXPECT_TRUE(CheckStructure(doc));
}

TEST(Parse, RecordFieldBoundsAreReportedNotCorrupted) {
    struct Bound {
        std::u16string text;
        const char16_t* message;
    };
    std::u16string longTag = u"<a x='" + std::u16string(1 << 20, u'v') + u"'/>";
    std::u16string longEnd = u"<r><a></a" + std::u16string(600, u' ') + u"></r>";
    std::u16string deep;
    for (int i = 0; i < 65540; ++i) deep += u"<d>";
    for (int i = 0; i < 65540; ++i) deep += u"</d>";
    const Bound bounds[] = {
        {u"<r>" + longTag + u"</r>", u"Start tag at offset 3 too long"},
        {longEnd, u"End tag at offset 6 too long"},
        {deep, u"Element 'd' at offset 196608 nested too deeply"},
    };
    for (const Bound& b : bounds) {
        CXmlDocument doc;
        const XmlInternals in(doc);
        EXPECT_FALSE(doc.SetDocumentText(b.text));
        EXPECT_EQ(Narrow(in.ResultText().substr(0, std::u16string(b.message).size())),
                  Narrow(b.message));
        EXPECT_TRUE(in.Record(0).flags & ElemIllFormed);
        EXPECT_TRUE(CheckStructure(doc));
    }
}

TEST(Parse, StackGrowsThroughItsSteps) {
    // 6, 18, 42, 90 ... entries: nesting across each step keeps every name.
    std::u16string text;
    for (int i = 0; i < 100; ++i) text += u"<e" + Widen(std::to_string(i)) + u">";
    for (int i = 99; i >= 0; --i) text += u"</e" + Widen(std::to_string(i)) + u">";
    CXmlDocument doc;
    const XmlInternals in(doc);
    EXPECT_TRUE(doc.SetDocumentText(text));
    EXPECT_EQ(in.ResultText(), u"");
    EXPECT_EQ(in.NextRecord(), 101);
    EXPECT_EQ(in.Record(100).Level(), 99u);
    EXPECT_TRUE(CheckStructure(doc));
}

TEST(Scanner, NextTokenAndTokenMatches) {
    TokenCursor cursor(u"  name=x", 0);
    std::u16string tokens;
    while (XmlInternals::NextToken(cursor)) tokens += XmlInternals::TokenText(cursor) + u"|";
    EXPECT_EQ(tokens, u"name|=|x|");
    EXPECT_EQ(cursor.next, 8);
    EXPECT_EQ(cursor.nameEnd, cursor.nameStart - 1);

    struct Match {
        const char16_t* name;
        bool matches;
    };
    const Match matches[] = {{u"album", true},      {u"album[2]", true}, {u"album/x", true},
                             {u"album name", true}, {u"album=1", true},  {u"album]", true},
                             {u"albums", false},    {u"albu", false},    {u"Album", false},
                             {u"", false}};
    TokenCursor t(u"album", 0);
    ASSERT_TRUE(XmlInternals::NextToken(t));
    for (const Match& m : matches) {
        SCOPED_TRACE(Narrow(m.name));
        EXPECT_EQ(XmlInternals::TokenMatches(t, m.name), m.matches);
    }
    t.flags = DocIgnoreCase;
    EXPECT_TRUE(XmlInternals::TokenMatches(t, u"ALBUM"));
    TokenCursor empty(u"", 0);
    XmlInternals::NextToken(empty);
    EXPECT_TRUE(XmlInternals::TokenMatches(empty, u""));
}

TEST(Scanner, EveryNodeAdvancesToTheEnd) {
    const char16_t* texts[] = {
        u"<",    u"<!",  u"<![", u"<!-", u"<?", u"</", u"<a", u"a>b<c", u"<!DOCTYPE [<!X <a>",
        u"<!D<", u"]]>", u"<<>>"};
    for (const char16_t* text : texts) {
        TokenCursor cursor(text, 0);
        NodeToken token;
        int guard = 0;
        while (XmlInternals::ScanNode(cursor, token) != NodeEnd) {
            ASSERT_GT(token.length, 0);
            ASSERT_LT(++guard, 100);
        }
        EXPECT_EQ(cursor.next, static_cast<int32_t>(std::u16string(text).size()));
    }
}

}  // namespace

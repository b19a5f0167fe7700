// The shared steps of every edit: SpliceText, AdjustOffsets, AdjustAfterNodeEdit, InsertText
// and LinkElement, each checked on its own and, where they make up a whole edit, by the
// structure checker and a fresh parse.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"

namespace {

ElementHandle Named(const CXmlDocument& doc, const char* name) {
    const std::u16string wide = Widen(name);
    for (ElementHandle h = 1; h < static_cast<ElementHandle>(XmlInternals(doc).NextRecord()); ++h)
        if (NameAt(doc, h) == wide) return h;
    return 0;
}

std::vector<std::string> Names(const CXmlDocument& doc) {
    std::vector<std::string> names{""};
    for (ElementHandle h = 1; h < static_cast<ElementHandle>(XmlInternals(doc).NextRecord()); ++h)
        names.push_back(Narrow(NameAt(doc, h)));
    return names;
}

// "name start+length" for every element in handle order, then the document record's length.
// Names are taken as given: after a bare offset walk the text no longer matches the records.
std::string Spans(const CXmlDocument& doc, const std::vector<std::string>& names) {
    const XmlInternals in(doc);
    std::string out;
    for (ElementHandle h = 1; h < static_cast<ElementHandle>(in.NextRecord()); ++h) {
        const ElementRecord& r = in.Record(h);
        out += names[h] + std::to_string(r.start) + "+" + std::to_string(r.length) + " ";
    }
    return out + "doc" + std::to_string(in.Record(0).length);
}

std::string Spans(const CXmlDocument& doc) {
    return Spans(doc, Names(doc));
}

// ---- SpliceText ---------------------------------------------------------------------------

struct SpliceCase {
    const char16_t* text;
    int32_t reserve;  // capacity set beforehand, 0 for exactly the text
    int32_t index, removed;
    const char16_t* replacement;
    bool result;
    const char16_t* expected;
    int32_t capacity;
};

const SpliceCase kSpliceCases[] = {
    {u"abcdef", 0, 3, 0, u"XY", true, u"abcXYdef", 8 + 4 + 128},
    {u"abcdef", 10, 3, 0, u"XY", true, u"abcXYdef", 10},
    {u"abcdefgh", 10, 8, 0, u"XY", true, u"abcdefghXY", 10},     // exactly full
    {u"abcdefgh", 10, 8, 0, u"XYZ", true, u"abcdefghXYZ", 144},  // one past
    {u"abc", 0, 3, 0, u"de", true, u"abcde", 5 + 2 + 128},       // append at the end
    {u"abcdef", 0, 1, 3, u"", true, u"aef", 6},                  // pure removal
    {u"abcdef", 0, 1, 1, u"XYZ", true, u"aXYZcdef", 140},        // tail moves right
    {u"abcdefgh", 0, 1, 4, u"X", true, u"aXfgh", 8},             // tail moves left
    {u"0123456789", 30, 2, 3, u"ABCDEFGH", true, u"01ABCDEFGH56789", 30},
    {u"abcdef", 0, 0, 6, u"Z", true, u"Z", 6},
    {u"abcdef", 0, 6, 0, u"", true, u"abcdef", 6},
    {u"", 0, 0, 0, u"", true, u"", 0},
    {u"", 0, 0, 0, u"<a/>", true, u"<a/>", 4 + 2 + 128},
    {u"abcdef", 0, 7, 0, u"x", false, u"abcdef", 6},  // past the end
    {u"abcdef", 0, 4, 3, u"", false, u"abcdef", 6},   // removal past the end
    {u"abcdef", 0, -1, 0, u"x", false, u"abcdef", 6},
    {u"abcdef", 0, 0, -1, u"x", false, u"abcdef", 6},
};

TEST(SpliceText, BufferRuleAndMoves) {
    for (const SpliceCase& c : kSpliceCases) {
        SCOPED_TRACE(Narrow(c.text) + " at " + std::to_string(c.index) + " remove " +
                     std::to_string(c.removed) + " insert " + Narrow(c.replacement));
        CXmlDocument doc;
        const XmlInternals in(doc);
        doc.SetDocumentText(c.text);
        if (c.reserve) {
            ASSERT_TRUE(XmlInternals::ReserveText(doc, c.reserve));
        }
        const int32_t length =
            static_cast<int32_t>(std::char_traits<char16_t>::length(c.replacement));
        EXPECT_EQ(XmlInternals::SpliceText(doc, c.index, c.removed, c.replacement, length),
                  c.result);
        EXPECT_EQ(in.DocumentText().view(), std::u16string_view(c.expected));
        EXPECT_EQ(in.DocumentText().c_str()[in.DocumentText().length()], u'\0');
        EXPECT_EQ(in.DocumentText().capacity(), c.capacity);
    }
}

// ---- AdjustOffsets ------------------------------------------------------------------------

constexpr char16_t kTree[] = u"<r><a><b><c/></b><d/></a><e><f/></e></r>";
// r0+40 a3+22 b6+11 c9+4 d17+4 e25+11 f28+4, document 40.

struct AdjustCase {
    const char* handle;  // "" for the document record
    int32_t delta;
    bool skipChildren;
    const char* spans;
};

const AdjustCase kAdjustCases[] = {
    {"b", 5, false, "r0+45 a3+27 b6+11 c14+4 d22+4 e30+11 f33+4 doc45"},
    {"b", 5, true, "r0+45 a3+27 b6+11 c9+4 d22+4 e30+11 f33+4 doc45"},
    {"c", 4, false, "r0+44 a3+26 b6+15 c9+4 d21+4 e29+11 f32+4 doc44"},
    {"f", -2, false, "r0+38 a3+22 b6+11 c9+4 d17+4 e25+9 f28+4 doc38"},
    {"a", 1, false, "r0+41 a3+22 b7+11 c10+4 d18+4 e26+11 f29+4 doc41"},
    {"a", 1, true, "r0+41 a3+22 b6+11 c9+4 d17+4 e26+11 f29+4 doc41"},
    {"r", 3, false, "r0+40 a6+22 b9+11 c12+4 d20+4 e28+11 f31+4 doc43"},
    {"r", 3, true, "r0+40 a3+22 b6+11 c9+4 d17+4 e25+11 f28+4 doc43"},
    {"", 7, false, "r0+40 a3+22 b6+11 c9+4 d17+4 e25+11 f28+4 doc40"},
};

TEST(AdjustOffsets, MovesLaterRecordsAndLengthensAncestors) {
    for (const AdjustCase& c : kAdjustCases) {
        SCOPED_TRACE(std::string(c.handle) + " " + std::to_string(c.delta) +
                     (c.skipChildren ? " skip" : ""));
        CXmlDocument doc;
        ASSERT_TRUE(doc.SetDocumentText(kTree));
        const std::vector<std::string> names = Names(doc);
        ASSERT_EQ(Spans(doc), "r0+40 a3+22 b6+11 c9+4 d17+4 e25+11 f28+4 doc40");
        XmlInternals::AdjustOffsets(doc, *c.handle ? Named(doc, c.handle) : 0, c.delta,
                                    c.skipChildren);
        EXPECT_EQ(Spans(doc, names), c.spans);
    }
}

TEST(AdjustOffsets, RecordWithoutStartTagChangesNothing) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    ASSERT_TRUE(doc.SetDocumentText(kTree));
    // A temporary root as the subtree insertion makes it: all words 0, then a level.
    const ElementHandle root = XmlInternals::TakeRecord(doc);
    ASSERT_NE(root, 0u);
    ElementRecord blank{};
    blank.SetLevel(1);
    XmlInternals::SetRecord(doc, root, blank);
    std::vector<ElementRecord> before;
    for (int32_t h = 0; h < in.NextRecord(); ++h) before.push_back(in.Record(h));
    XmlInternals::AdjustOffsets(doc, root, 9, false);
    XmlInternals::AdjustOffsets(doc, 0, 9, true);
    for (int32_t h = 0; h < in.NextRecord(); ++h)
        EXPECT_EQ(std::memcmp(&before[h], &in.Record(h), sizeof(ElementRecord)), 0) << h;
}

// ---- AdjustAfterNodeEdit, as whole edits: splice text, then correct --------------------------

struct NodeEditCase {
    const char16_t* document;
    const char* parent;  // "" for the document record
    const char* handle;  // "" for 0
    int32_t at;
    const char16_t* inserted;
    const char16_t* expected;
    const char* spans;
};

const NodeEditCase kNodeEditCases[] = {
    // Into a parent without children: the parent lengthens, its start stays.
    {u"<r><a></a><b/></r>", "a", "", 6, u"xy", u"<r><a>xy</a><b/></r>", "r0+20 a3+9 b12+4 doc20"},
    // Before the first child.
    {u"<r><a/><b/></r>", "r", "", 3, u"t", u"<r>t<a/><b/></r>", "r0+16 a4+4 b8+4 doc16"},
    // After an element: its descendants stay.
    {u"<r><a><c/></a><b/></r>", "r", "a", 14, u"zz", u"<r><a><c/></a>zz<b/></r>",
     "r0+24 a3+11 c6+4 b16+4 doc24"},
    // Document level.
    {u"<r/>", "", "", 0, u" ", u" <r/>", "r1+4 doc5"},
    {u"<r/>", "", "r", 4, u"\r\n", u"<r/>\r\n", "r0+4 doc6"},
};

TEST(AdjustAfterNodeEdit, CorrectsTheIndexForTextBetweenElements) {
    for (const NodeEditCase& c : kNodeEditCases) {
        SCOPED_TRACE(Narrow(c.expected));
        CXmlDocument doc;
        ASSERT_TRUE(doc.SetDocumentText(c.document));
        const int32_t n = static_cast<int32_t>(std::char_traits<char16_t>::length(c.inserted));
        ASSERT_TRUE(XmlInternals::SpliceText(doc, c.at, 0, c.inserted, n));
        XmlInternals::AdjustAfterNodeEdit(doc, *c.parent ? Named(doc, c.parent) : 0,
                                          *c.handle ? Named(doc, c.handle) : 0, n);
        EXPECT_EQ(XmlInternals(doc).DocumentText().view(), std::u16string_view(c.expected));
        EXPECT_EQ(Spans(doc), c.spans);
        EXPECT_TRUE(CheckStructure(doc));
        EXPECT_TRUE(MatchesFreshParse(doc));
    }
}

TEST(AdjustAfterNodeEdit, EmptyDocument) {
    CXmlDocument doc;
    ASSERT_TRUE(XmlInternals::SpliceText(doc, 0, 0, u"text", 4));
    XmlInternals::AdjustAfterNodeEdit(doc, 0, 0, 4);
    EXPECT_EQ(XmlInternals(doc).Record(0).length, 4);
    EXPECT_TRUE(CheckStructure(doc));
}

// ---- LinkElement, as whole edits ------------------------------------------------------------

struct Linked {
    CXmlDocument doc;
    const XmlInternals in{doc};
    ElementHandle parent = 0, element = 0;
};

// Splices "<n/>" at `at`, takes its record (with stale flags) and links it after `after`.
void SpliceAndLink(Linked& l, const char16_t* document, const char* parent, const char* after,
                   int32_t at, uint32_t staleFlags) {
    ASSERT_TRUE(l.doc.SetDocumentText(document));
    l.parent = *parent ? Named(l.doc, parent) : 0;
    const ElementHandle afterHandle = *after ? Named(l.doc, after) : 0;
    ASSERT_TRUE(XmlInternals::SpliceText(l.doc, at, 0, u"<n/>", 4));
    l.element = XmlInternals::TakeRecord(l.doc);
    ASSERT_NE(l.element, 0u);
    ElementRecord n{};
    n.start = at;
    n.length = 4;
    n.SetStartTagLength(4);
    n.flags = staleFlags;
    n.nextSibling = n.prevSibling = n.parent = 0xDEAD;
    XmlInternals::SetRecord(l.doc, l.element, n);
    XmlInternals::LinkElement(l.doc, l.parent, afterHandle, l.element);
    XmlInternals::AdjustOffsets(l.doc, l.element, 4, false);
}

TEST(LinkElement, OnlyChild) {
    Linked l;
    SpliceAndLink(l, u"<r></r>", "r", "", 3, ElemHasError | 9);
    const ElementRecord& n = l.in.Record(l.element);
    EXPECT_EQ(l.in.Record(l.parent).firstChild, l.element);
    EXPECT_EQ(n.parent, l.parent);
    EXPECT_EQ(n.prevSibling, l.element);
    EXPECT_EQ(n.nextSibling, 0u);
    EXPECT_EQ(n.flags, uint32_t{ElemFirstChild | ElemHasError | 1});  // level from the parent
    EXPECT_TRUE(CheckStructure(l.doc));
}

TEST(LinkElement, AfterTheLastChild) {
    Linked l;
    SpliceAndLink(l, u"<r><a/><b/></r>", "r", "b", 11, ElemFirstChild);
    const ElementHandle a = Named(l.doc, "a"), b = Named(l.doc, "b");
    const ElementRecord& n = l.in.Record(l.element);
    EXPECT_EQ(l.in.Record(b).nextSibling, l.element);
    EXPECT_EQ(l.in.Record(a).prevSibling, l.element);  // first child names the last
    EXPECT_EQ(n.prevSibling, b);
    EXPECT_EQ(n.nextSibling, 0u);
    EXPECT_FALSE(n.flags & ElemFirstChild);
    EXPECT_TRUE(CheckStructure(l.doc));
    EXPECT_TRUE(MatchesFreshParse(l.doc));
}

TEST(LinkElement, BetweenChildren) {
    Linked l;
    SpliceAndLink(l, u"<r><a/><b/></r>", "r", "a", 7, 0);
    const ElementHandle a = Named(l.doc, "a"), b = Named(l.doc, "b");
    EXPECT_EQ(l.in.Record(a).nextSibling, l.element);
    EXPECT_EQ(l.in.Record(b).prevSibling, l.element);
    EXPECT_EQ(l.in.Record(a).prevSibling, b);
    EXPECT_EQ(l.in.Record(l.element).nextSibling, b);
    EXPECT_TRUE(CheckStructure(l.doc));
    EXPECT_TRUE(MatchesFreshParse(l.doc));
}

TEST(LinkElement, BeforeTheFirstChild) {
    Linked l;
    SpliceAndLink(l, u"<r><a/><b/></r>", "r", "", 3, 0);
    const ElementHandle a = Named(l.doc, "a"), b = Named(l.doc, "b");
    const ElementRecord& n = l.in.Record(l.element);
    EXPECT_EQ(l.in.Record(l.parent).firstChild, l.element);
    EXPECT_TRUE(n.flags & ElemFirstChild);
    EXPECT_FALSE(l.in.Record(a).flags & ElemFirstChild);
    EXPECT_EQ(n.nextSibling, a);
    EXPECT_EQ(n.prevSibling, b);
    EXPECT_EQ(l.in.Record(a).prevSibling, l.element);
    EXPECT_TRUE(CheckStructure(l.doc));
    EXPECT_TRUE(MatchesFreshParse(l.doc));
}

TEST(LinkElement, DocumentLevelKeepsTheLevel) {
    Linked l;
    SpliceAndLink(l, u"<r/>", "", "r", 4, 5);
    const ElementHandle r = Named(l.doc, "r");
    EXPECT_EQ(l.in.Record(l.element).Level(), 5u);
    EXPECT_EQ(l.in.Record(l.element).parent, 0u);
    EXPECT_EQ(l.in.Record(r).nextSibling, l.element);
    EXPECT_EQ(l.in.Record(r).prevSibling, l.element);
    ElementRecord level0 = l.in.Record(l.element);
    level0.SetLevel(0);
    XmlInternals::SetRecord(l.doc, l.element, level0);
    EXPECT_TRUE(CheckStructure(l.doc));
}

// ---- InsertText ---------------------------------------------------------------------------

struct InsertCase {
    const char* label;
    const char16_t* document;
    const char* parent;     // "" for the document level
    const char* reference;  // "" for 0
    uint32_t flags;
    const char16_t* text;
    int32_t removed;  // -1: refused
    int32_t offset;
    const char* referenceAfter;
    const char16_t* spliced;
    const char16_t* expected;
    const char* parentTags;  // start-tag and end-tag length and U after the call
};

const InsertCase kInsertCases[] = {
    {"replace content", u"<r><a>hello</a></r>", "a", "", EditReplaceContent | EditNoLineBreaks,
     u"v", 5, 6, "", u"v", u"<r><a>v</a></r>", "3,4"},
    {"replace whitespace content", u"<r><a> \r\n </a></r>", "a", "",
     EditReplaceContent | EditNoLineBreaks, u"v", 4, 6, "", u"v", u"<r><a>v</a></r>", "3,4"},
    {"replace in <a/>", u"<r><a/></r>", "a", "", EditReplaceContent | EditNoLineBreaks, u"v", 1, 6,
     "", u">v</a", u"<r><a>v</a></r>", "3,4"},
    {"replace in <a />", u"<r><a /></r>", "a", "", EditReplaceContent | EditNoLineBreaks, u"v", 1,
     7, "", u">v</a", u"<r><a >v</a></r>", "4,4"},
    {"replace in unended", u"<r><a></r>", "a", "", EditReplaceContent | EditNoLineBreaks, u"v", 0,
     6, "", u">v</a", u"<r><a>v</a></r>", "3,4"},
    {"open up <a/>", u"<r><a/></r>", "a", "", 0, u"<n/>", 1, 8, "", u">\r\n<n/>\r\n</a",
     u"<r><a>\r\n<n/>\r\n</a></r>", "3,4"},
    {"open up unended", u"<r><a x='1'></r>", "a", "", 0, u"<n/>", 0, 14, "", u">\r\n<n/>\r\n</a",
     u"<r><a x='1'>\r\n<n/>\r\n</a></r>", "9,4"},
    {"no content", u"<r><a></a></r>", "a", "", 0, u"<n/>", 0, 8, "", u"\r\n<n/>\r\n",
     u"<r><a>\r\n<n/>\r\n</a></r>", "3,4"},
    {"no content without line breaks", u"<r><a></a></r>", "a", "", EditNoLineBreaks, u"<n/>", 0, 6,
     "", u"<n/>", u"<r><a><n/></a></r>", "3,4"},
    {"last child", u"<r><a/> </r>", "r", "", 0, u"<n/>", 0, 8, "a", u"<n/>\r\n",
     u"<r><a/> <n/>\r\n</r>", "3,4"},
    {"after reference, text follows", u"<r><a/> x</r>", "r", "a", 0, u"<n/>", 0, 7, "a",
     u"<n/>\r\n", u"<r><a/><n/>\r\n x</r>", "3,4"},
    {"after reference, tag follows", u"<r><a/>  <b/></r>", "r", "a", 0, u"<n/>", 0, 9, "a",
     u"<n/>\r\n", u"<r><a/>  <n/>\r\n<b/></r>", "3,4"},
    {"after reference without line breaks", u"<r><a/>  <b/></r>", "r", "a", EditNoLineBreaks,
     u"<n/>", 0, 7, "a", u"<n/>", u"<r><a/><n/>  <b/></r>", "3,4"},
    {"before the first child", u"<r><a/><b/></r>", "r", "a", EditInsertBefore, u"<n/>", 0, 3, "",
     u"<n/>\r\n", u"<r><n/>\r\n<a/><b/></r>", "3,4"},
    {"before the second child", u"<r><a/><b/></r>", "r", "b", EditInsertBefore, u"<n/>", 0, 7, "a",
     u"<n/>\r\n", u"<r><a/><n/>\r\n<b/></r>", "3,4"},
    {"first child without reference", u"<r>  <a/></r>", "r", "", EditInsertBefore, u"<n/>", 0, 5,
     "", u"<n/>\r\n", u"<r>  <n/>\r\n<a/></r>", "3,4"},
    {"document end", u"<r/>  ", "", "", 0, u"<n/>", 0, 6, "r", u"<n/>\r\n", u"<r/>  <n/>\r\n", ""},
    {"document level before a comment", u"<r/> <!--c-->", "", "r", 0, u"<n/>", 0, 5, "r",
     u"<n/>\r\n", u"<r/> <n/>\r\n<!--c-->", ""},
    {"document start", u"  <r/>", "", "", EditInsertBefore, u"<n/>", 0, 2, "", u"<n/>\r\n",
     u"  <n/>\r\n<r/>", ""},
};

std::string Tags(const CXmlDocument& doc, ElementHandle h) {
    if (!h) return "";
    const ElementRecord& r = XmlInternals(doc).Record(h);
    return std::to_string(r.StartTagLength()) + "," + std::to_string(r.EndTagLength()) +
           ((r.flags & ElemUnended) ? "U" : "");
}

TEST(InsertText, PlacesSplicesAndOpensUp) {
    for (const InsertCase& c : kInsertCases) {
        SCOPED_TRACE(c.label);
        CXmlDocument doc;
        const XmlInternals in(doc);
        doc.SetDocumentText(c.document);
        const ElementHandle parent = *c.parent ? Named(doc, c.parent) : 0;
        ElementHandle reference = *c.reference ? Named(doc, c.reference) : 0;
        const int32_t lengthBefore = parent ? in.Record(parent).length : 0;
        InsertRequest request;
        request.insertFlags = c.flags;
        request.insertText = c.text;
        EXPECT_EQ(XmlInternals::InsertText(doc, parent, reference, request), c.removed);
        EXPECT_EQ(request.insertOffset, c.offset);
        EXPECT_EQ(request.insertLength,
                  static_cast<int32_t>(std::char_traits<char16_t>::length(c.text)));
        EXPECT_EQ(request.insertFlags, c.flags);
        EXPECT_EQ(reference, *c.referenceAfter ? Named(doc, c.referenceAfter) : 0);
        EXPECT_EQ(request.insertText, c.spliced);
        EXPECT_EQ(in.DocumentText().view(), std::u16string_view(c.expected));
        EXPECT_EQ(Tags(doc, parent), c.parentTags);
        // Lengths and starts are the caller's to correct.
        if (parent) {
            EXPECT_EQ(in.Record(parent).length, lengthBefore);
        }
        const std::u16string_view text = in.DocumentText().view();
        EXPECT_EQ(text.substr(static_cast<size_t>(c.offset), request.insertLength),
                  std::u16string_view(c.text));
    }
}

TEST(InsertText, RefusesAnEndTagBeyondItsField) {
    for (const size_t length : {size_t{508}, size_t{509}}) {
        const std::u16string name(length, u'x');
        for (const char16_t* tail : {u"/>", u">"}) {
            CXmlDocument doc;
            const XmlInternals in(doc);
            doc.SetDocumentText(u"<r><" + name + tail + u"</r>");
            const ElementHandle p = 2;
            const std::u16string before(in.DocumentText().view());
            const ElementRecord record = in.Record(p);
            ElementHandle reference = 0;
            InsertRequest request;
            request.insertFlags = EditReplaceContent | EditNoLineBreaks;
            request.insertText = u"v";
            const int32_t removed = XmlInternals::InsertText(doc, p, reference, request);
            if (length == 508) {
                EXPECT_GE(removed, 0);
                EXPECT_EQ(in.Record(p).EndTagLength(), 511);
            } else {
                EXPECT_EQ(removed, -1);
                EXPECT_EQ(in.DocumentText().view(), before);
                EXPECT_EQ(std::memcmp(&record, &in.Record(p), sizeof record), 0);
            }
        }
    }
}

}  // namespace

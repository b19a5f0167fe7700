// Cursor moves, attribute scanning, subtree text and reference decoding.
#include <gtest/gtest.h>

#include <cwchar>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"

namespace {

using std::u16string;
using std::u16string_view;

#define EXPECT_TEXT(actual, expected) EXPECT_EQ(Narrow(actual), Narrow(expected))

std::unique_ptr<CXmlDocument> Parse(u16string_view text, uint32_t flags = 0) {
    auto doc = std::make_unique<CXmlDocument>();
    doc->SetIgnoreCase(flags & DocIgnoreCase);
    doc->SetDocumentText(text);
    return doc;
}

// The id="..." of an element, read straight from its start tag; "-" for none.
std::string IdOf(const CXmlDocument& doc, ElementHandle h) {
    const XmlInternals in(doc);
    if (!h) return "-";
    const ElementRecord& r = in.Record(h);
    u16string_view tag = in.DocumentText().view().substr(r.start, r.StartTagLength());
    size_t at = tag.find(u" id=\"");
    if (at == u16string_view::npos) return "?";
    at += 5;
    return Narrow(tag.substr(at, tag.find(u'"', at) - at));
}

std::string State(const CXmlDocument& doc) {
    const XmlInternals in(doc);
    return IdOf(doc, in.ParentHandle()) + " " + IdOf(doc, in.MainHandle()) + " " +
           IdOf(doc, in.ChildHandle());
}

testing::AssertionResult NavigationInvariants(const CXmlDocument& doc) {
    const XmlInternals in(doc);
    if ((in.NodeType() == NodeElement) != (in.MainHandle() != 0) ||
        (in.NodeType() != NodeElement && in.NodeType() != 0))
        return testing::AssertionFailure() << "nodeType " << in.NodeType();
    if (in.MainHandle() && in.Record(in.MainHandle()).parent != in.ParentHandle())
        return testing::AssertionFailure() << "parentHandle is not the main element's parent";
    if (in.NodeOffset() || in.NodeLength()) return testing::AssertionFailure() << "node span set";
    return testing::AssertionSuccess();
}

const char16_t kCatalog[] =
    u"<r id=\"r\">\r\n"
    u"  <item id=\"i1\"><sub id=\"s1\"/></item>\r\n"
    u"  <Item id=\"I2\"/>\r\n"
    u"  <items id=\"x3\"/>\r\n"
    u"  <item id=\"i4\" name=\"n\"><sub id=\"s4\"/><sub id=\"s5\"/></item>\r\n"
    u"</r>\r\n";

// One move: F(ind) with arg, E(nter), L(eave), R(eset); the result and "parent main child".
struct Step {
    char op;
    const char16_t* arg;
    bool ok;
    const char* state;
};

struct Walk {
    const char* title;
    uint32_t flags;
    std::vector<Step> steps;
};

const char16_t kAny[] = u"";

TEST(Navigation, WalksFollowTheMoveRules) {
    const Walk walks[] = {
        {"nested walk",
         0,
         {{'F', u"r", true, "- r -"},
          {'E', nullptr, true, "r - -"},
          {'F', u"item", true, "r i1 -"},
          {'F', u"item", true, "r i4 -"},
          {'F', u"item", false, "r i4 -"},
          {'R', nullptr, true, "r - -"},
          {'F', u"item", true, "r i1 -"},
          {'E', nullptr, true, "i1 - -"},
          {'F', u"sub", true, "i1 s1 -"},
          {'F', u"sub", false, "i1 s1 -"},
          {'L', nullptr, true, "r i1 s1"},
          {'E', nullptr, true, "i1 s1 -"},
          {'L', nullptr, true, "r i1 s1"},
          {'L', nullptr, true, "- r i1"},
          {'L', nullptr, false, "- r i1"},
          {'E', nullptr, true, "r i1 -"}}},
        {"any name",
         0,
         {{'F', nullptr, true, "- r -"},
          {'F', nullptr, false, "- r -"},
          {'E', nullptr, true, "r - -"},
          {'F', kAny, true, "r i1 -"},
          {'F', nullptr, true, "r I2 -"},
          {'F', kAny, true, "r x3 -"},
          {'F', nullptr, true, "r i4 -"},
          {'F', kAny, false, "r i4 -"},
          {'F', nullptr, false, "r i4 -"}}},
        {"names keep their case",
         0,
         {{'F', u"R", false, "- - -"},
          {'F', u"r", true, "- r -"},
          {'E', nullptr, true, "r - -"},
          {'F', u"Item", true, "r I2 -"},
          {'F', u"Item", false, "r I2 -"}}},
        {"names ignore case with flag 8",
         DocIgnoreCase,
         {{'F', u"R", true, "- r -"},
          {'E', nullptr, true, "r - -"},
          {'F', u"ITEM", true, "r i1 -"},
          {'F', u"item", true, "r I2 -"},
          {'F', u"iTeM", true, "r i4 -"}}},
        {"suffix after a delimiter is ignored",
         0,
         {{'F', u"r", true, "- r -"},
          {'E', nullptr, true, "r - -"},
          {'F', u"item[1]", true, "r i1 -"},
          {'F', u"item name", true, "r i4 -"},
          {'R', nullptr, true, "r - -"},
          {'F', u"item/sub", true, "r i1 -"},
          {'F', u"item=x", true, "r i4 -"},
          {'R', nullptr, true, "r - -"},
          {'F', u"item]", true, "r i1 -"},
          {'F', u"ite", false, "r i1 -"},
          {'F', u"items", true, "r x3 -"},
          {'F', u"itemsx", false, "r x3 -"},
          {'F', u"item.x", false, "r x3 -"}}},
        {"moves without a position fail",
         0,
         {{'E', nullptr, false, "- - -"},
          {'L', nullptr, false, "- - -"},
          {'R', nullptr, true, "- - -"},
          {'F', u"r", true, "- r -"},
          {'E', nullptr, true, "r - -"},
          {'E', nullptr, false, "r - -"},
          {'F', u"item", true, "r i1 -"},
          {'E', nullptr, true, "i1 - -"},
          {'F', u"sub", true, "i1 s1 -"},
          {'E', nullptr, true, "s1 - -"},
          {'F', nullptr, false, "s1 - -"},
          {'F', u"sub", false, "s1 - -"},
          {'L', nullptr, true, "i1 s1 -"},
          {'F', nullptr, false, "i1 s1 -"}}},
    };
    for (const Walk& walk : walks) {
        SCOPED_TRACE(walk.title);
        auto doc = Parse(kCatalog, walk.flags);
        const XmlInternals in(*doc);
        ASSERT_TRUE(doc->IsWellFormed()) << Narrow(in.ResultText());
        for (size_t i = 0; i < walk.steps.size(); ++i) {
            const Step& s = walk.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            const std::string before = State(*doc);
            bool ok = true;
            switch (s.op) {
                case 'F':
                    ok = doc->FindElement(s.arg);
                    break;
                case 'E':
                    ok = doc->EnterElement();
                    break;
                case 'L':
                    ok = doc->LeaveElement();
                    break;
                case 'R':
                    doc->ResetPosition();
                    break;
            }
            EXPECT_EQ(ok, s.ok);
            EXPECT_EQ(State(*doc), s.state);
            if (!ok) {
                EXPECT_EQ(State(*doc), before) << "a failed move changed the position";
            }
            EXPECT_TRUE(NavigationInvariants(*doc));
            EXPECT_TEXT(in.ResultText(), u"");
        }
    }
}

TEST(Navigation, LastMatchStaysReadable) {
    auto doc = Parse(kCatalog);
    ASSERT_TRUE(doc->FindElement(u"r") && doc->EnterElement());
    while (doc->FindElement(u"item")) {
    }
    EXPECT_TEXT(doc->GetAttribute(u"id"), u"i4");
    EXPECT_TEXT(doc->GetAttribute(u"name"), u"n");
}

TEST(Navigation, DocumentWithoutIndex) {
    // Only a failed allocation leaves a constructed document without records.
    auto* saved = ElementIndex::allocate;
    ElementIndex::allocate = [](size_t) -> void* { return nullptr; };
    auto doc = std::make_unique<CXmlDocument>();
    ElementIndex::allocate = saved;
    ASSERT_EQ(XmlInternals(*doc).Index().recordCapacity, 0);
    for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u"", u"a"})
        EXPECT_FALSE(doc->FindElement(name));
    EXPECT_EQ(doc->FindNamedElement(0, 0, nullptr), 0u);
    EXPECT_FALSE(doc->LeaveElement());
    EXPECT_TRUE(doc->GetElementName(0).empty());
    EXPECT_TRUE(doc->GetSubtreeText().empty());
    EXPECT_TRUE(NavigationInvariants(*doc));
}

// Reads through handles that name no live element come back empty.
TEST(Navigation, InvalidHandlesReadAsNothing) {
    auto doc = Parse(u"<r id=\"r\"><a id=\"a\" x=\"1\"/><b id=\"b\"/></r>");
    ASSERT_TRUE(doc->FindElement(u"r"));  // GetElementAttribute needs nodeType 1
    const ElementHandle a = doc->FindNamedElement(1, 0, u"a");
    ASSERT_EQ(IdOf(*doc, a), "a");
    const ElementHandle spare = XmlInternals::TakeRecord(*doc);
    XmlInternals::ReleaseRecord(*doc, spare);
    const ElementHandle released = doc->FindNamedElement(1, 0, u"b");
    XmlInternals::ReleaseRecord(*doc,
                                released);  // offsets still valid: only the flags say it is gone
    const auto next = static_cast<ElementHandle>(XmlInternals(*doc).NextRecord());

    for (ElementHandle h : {ElementHandle{0}, next, next + 7, ElementHandle{0x10000},
                            ElementHandle{0xFFFFFFFF}, spare, released}) {
        SCOPED_TRACE(h);
        EXPECT_TRUE(doc->GetElementName(h).empty());
        EXPECT_TRUE(doc->GetElementSubtreeText(h).empty());
        EXPECT_TRUE(doc->GetElementAttribute(h, u"id").empty());
        if (h == 0) continue;  // the document level is a valid parent
        EXPECT_EQ(doc->FindNamedElement(h, 0, nullptr), 0u);
        EXPECT_EQ(doc->FindNamedElement(h, 0, u"a"), 0u);
        EXPECT_EQ(doc->FindNamedElement(1, h, nullptr), 0u);

        CXmlDocument& d = *doc;
        d.SetPosition(h, 0, 0);
        EXPECT_FALSE(d.FindElement(nullptr));
        EXPECT_FALSE(d.LeaveElement());
        EXPECT_EQ(XmlInternals(d).ParentHandle(), h);
        d.SetPosition(1, h, 0);
        EXPECT_TRUE(d.GetAttribute(u"id").empty());
        EXPECT_TRUE(d.GetSubtreeText().empty());
        EXPECT_FALSE(d.FindElement(nullptr));
        EXPECT_EQ(XmlInternals(d).MainHandle(), h);
    }
    // The live neighbour still reads, and attributes need a current element.
    EXPECT_TEXT(doc->GetElementAttribute(a, u"x"), u"1");
    doc->ResetPosition();
    EXPECT_TRUE(doc->GetElementAttribute(a, u"x").empty());
    EXPECT_TEXT(doc->GetElementName(a), u"a");
}

struct AttributeCase {
    const char16_t* doc;
    uint32_t flags;
    const char16_t* name;
    const char16_t* value;
};

TEST(Navigation, AttributeValues) {
    const AttributeCase cases[] = {
        {u"<name name=\"v\">", 0, u"name", u"v"},
        {u"<item x=\"1\" name=\"2\" name=\"3\">", 0, u"name", u"2"},
        {u"<item name='a&amp;b'>", 0, u"name", u"a&b"},
        {u"<item name=a/>", 0, u"name", u"a/"},
        {u"<item solo name=\"n\">", 0, u"solo", u"solo"},
        {u"<item solo name=\"n\">", 0, u"name", u"n"},
        {u"<item name>", 0, u"name", u"name"},
        {u"<item name=>", 0, u"name", u">"},
        {u"<item name/>", 0, u"name", u"name"},
        {u"<item name?>", 0, u"name", u"name"},
        {u"<item name \"q\"/>", 0, u"name", u"name"},
        {u"<item name=\"\"/>", 0, u"name", u""},
        {u"<item x=\"name\" name=\"v\"/>", 0, u"name", u"v"},
        {u"<item x=name name=v/>", 0, u"name", u"v/"},
        {u"<item name = \"v\" />", 0, u"name", u"v"},
        {u"<item\r\n\tname\n=\t'v'/>", 0, u"name", u"v"},
        {u"<item name=\"a>b\" />", 0, u"name", u"a>b"},
        {u"<item name=a?b=c>", 0, u"name", u"a?b=c"},
        {u"<item name=\"&lt;&#x41;&#66;&quot;&apos;&gt;\"/>", 0, u"name", u"<AB\"'>"},
        {u"<item names=\"x\" name=\"v\"/>", 0, u"name", u"v"},
        {u"<item name=\"v\"/>", 0, u"name[1]", u"v"},
        {u"<item name=\"v\"/>", 0, u"name=x", u"v"},
        {u"<item name=\"v\"/>", 0, u"nam", u""},
        {u"<item name=\"v\"/>", 0, u"names", u""},
        {u"<item name=\"v\"/>", 0, u"", u""},
        {u"<item name=\"v\"/>", 0, nullptr, u""},
        {u"<item a=\"1\"/>", 0, u"item", u""},
        {u"<item Name=\"v\"/>", 0, u"name", u""},
        {u"<item Name=\"v\"/>", DocIgnoreCase, u"name", u"v"},
    };
    for (const AttributeCase& c : cases) {
        SCOPED_TRACE(Narrow(c.doc) + " / " + (c.name ? Narrow(c.name) : "(null)"));
        auto doc = Parse(c.doc, c.flags);
        const XmlInternals in(*doc);
        ASSERT_TRUE(doc->FindElement(nullptr));
        const CString parsed = in.ResultText();
        EXPECT_TEXT(doc->GetAttribute(c.name), c.value);
        EXPECT_TEXT(in.ResultText(), parsed);
    }
}

struct ScanCase {
    const char16_t* text;
    const char16_t* name;
    bool ok;
    int32_t nameStart, nameEnd, next;
};

// The scanner on raw texts, including ends the parser never gives it.
TEST(Navigation, AttributeScannerPositions) {
    const ScanCase cases[] = {
        {u"<item name=", u"name", true, 10, 10, 11},  // value "=" at the end of the text
        {u"<item name", u"name", true, 6, 9, 10},     // no value: the name itself
        {u"<item  name>", u"name", true, 7, 10, 11},
        {u"<item name=\"v", u"name", true, 12, 12, 13},  // quote never closed
        {u"<item a=\"1\" name='2'>", u"name", true, 18, 18, 20},
        {u"<item other  >", u"name", false, 0, 0, 11},  // set back before the ">"
        {u"<item other", u"name", false, 0, 0, 11},
        {u"<item", u"item", false, 0, 0, 5},
    };
    CXmlDocument doc;
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(Narrow(c.text));
        TokenCursor cursor(c.text, 0);
        cursor.next = 1;
        ASSERT_EQ(XmlInternals::FindAttributeToken(doc, cursor, c.name), c.ok);
        EXPECT_EQ(cursor.next, c.next);
        if (!c.ok) continue;
        EXPECT_EQ(cursor.nameStart, c.nameStart);
        EXPECT_EQ(cursor.nameEnd, c.nameEnd);
    }
    TokenCursor cursor(u"<item \t name/>", 0);
    cursor.next = 1;
    ASSERT_TRUE(XmlInternals::FindAttributeToken(doc, cursor, u"name"));
    EXPECT_EQ(cursor.markOffset, 5);
    EXPECT_EQ(cursor.markLength, 3);
    EXPECT_EQ(cursor.nameStart, 8);
}

struct SubtreeCase {
    const char16_t* doc;
    std::vector<const char16_t*> path;  // names found in turn, entering all but the last
    const char16_t* text;
};

TEST(Navigation, SubtreeTextAndTrailingWhitespace) {
    const SubtreeCase cases[] = {
        {u"<r>\r\n  <a>x</a>\r\n  <b/>\r\n</r>", {u"r", u"a"}, u"<a>x</a>\r\n  "},
        {u"<r><a>x</a> text<b/></r>", {u"r", u"a"}, u"<a>x</a>"},
        {u"<r><a>x</a>\r\n text</r>", {u"r", u"a"}, u"<a>x</a>"},
        {u"<r><a/>\r\n</r>", {u"r", u"a"}, u"<a/>\r\n"},
        {u"<r><a><b/></a>\t<a>2</a></r>", {u"r", u"a"}, u"<a><b/></a>\t"},
        {u"<r/>\r\n", {u"r"}, u"<r/>\r\n"},
        {u"<r/>\r\n\t ", {u"r"}, u"<r/>\r\n\t "},
        {u"<r/>", {u"r"}, u"<r/>"},
        {u"<r/> x", {u"r"}, u"<r/>"},
        {u"<r/>\r\n<!-- c -->", {u"r"}, u"<r/>\r\n"},
        {u"<r>\n<a x='1'>\n<b/>\n</a>\n</r>", {u"r", u"a"}, u"<a x='1'>\n<b/>\n</a>\n"},
    };
    for (const SubtreeCase& c : cases) {
        SCOPED_TRACE(Narrow(c.doc));
        auto doc = Parse(c.doc);
        for (size_t i = 0; i < c.path.size(); ++i) {
            ASSERT_TRUE(doc->FindElement(c.path[i]));
            if (i + 1 < c.path.size()) {
                ASSERT_TRUE(doc->EnterElement());
            }
        }
        EXPECT_TEXT(doc->GetSubtreeText(), c.text);
        EXPECT_TEXT(doc->GetElementSubtreeText(XmlInternals(*doc).MainHandle()), c.text);
    }
    auto doc = Parse(u"<r/>\r\n");
    EXPECT_TRUE(doc->GetSubtreeText().empty()) << "no main position";
}

TEST(Navigation, ElementNames) {
    const std::pair<const char16_t*, const char16_t*> cases[] = {
        {u"<item x='1'/>", u"item"},    {u"<a>", u"a"}, {u"<a\t/>", u"a"}, {u"<ns:a/>", u"ns:a"},
        {u"<a-b.c></a-b.c>", u"a-b.c"},
    };
    for (const auto& [text, name] : cases) {
        auto doc = Parse(text);
        EXPECT_TEXT(doc->GetElementName(XmlInternals(*doc).Record(0).firstChild), name);
        EXPECT_TRUE(doc->GetElementName(0).empty());
    }
}

struct DecodeCase {
    const char16_t* in;
    int32_t length;  // -1: the whole text
    u16string out;
};

TEST(Navigation, DecodeText) {
    const DecodeCase cases[] = {
        {u"&#65;", -1, u"A"},
        {u"&#x41;", -1, u"A"},
        {u"&#65601;", -1, u"A"},
        {u"&#X41;", -1, u"&#X41;"},
        {u"&#0;", -1, u"&#0;"},
        {u"&#;", -1, u"&#;"},
        {u"&#x;", -1, u"&#x;"},
        {u"&#00000065;", -1, u"&#00000065;"},  // eight characters before the ";"
        {u"&#0000065;", -1, u"A"},             // seven
        {u"&#x0000041;", -1, u"A"},
        {u"&#x00000041;", -1, u"&#x00000041;"},
        {u"&#1234567;", -1, u"\xD687"},
        {u"&#65abc;", -1, u"A"},  // the rest up to ";" is dropped
        {u"&# 65;", -1, u"A"},
        {u"&#+65;", -1, u"A"},
        {u"&#-1;", -1, u"\xFFFF"},
        {u"&#x0x41;", -1, u"A"},
        {u"&#xg;", -1, u"&#xg;"},
        {u"&nbsp;", -1, u"&nbsp;"},
        {u"&lt", -1, u"&lt"},
        {u"&LT;", -1, u"&LT;"},
        {u"&amp;lt;", -1, u"&lt;"},
        {u"&lt;&amp;&gt;&apos;&quot;", -1, u"<&>'\""},
        {u"a&&amp;b&", -1, u"a&&b&"},
        {u"&#", -1, u"&#"},
        {u"", -1, u""},
        // The span ends before the ";": nothing past it may be read.
        {u"&#65;", 4, u"&#65"},
        {u"&#x41;", 5, u"&#x41"},
        {u"&amp;", 4, u"&amp"},
        {u"x&#", 2, u"x&"},
        {u"&quot;", 0, u""},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(Narrow(c.in));
        u16string_view in(c.in);
        int32_t length = c.length < 0 ? static_cast<int32_t>(in.size()) : c.length;
        EXPECT_TEXT(CXmlDocument::DecodeText(c.in, length), c.out);
    }
}

// An independent decoder built on the runtime's own wcstol.
u16string ReferenceDecode(u16string_view s) {
    static const std::pair<u16string_view, char16_t> named[] = {
        {u"lt;", u'<'}, {u"amp;", u'&'}, {u"gt;", u'>'}, {u"apos;", u'\''}, {u"quot;", u'"'}};
    u16string out;
    for (size_t i = 0; i < s.size();) {
        if (s[i] != u'&') {
            out += s[i++];
            continue;
        }
        if (i + 1 < s.size() && s[i + 1] == u'#') {
            size_t p = i + 2;
            int base = 10;
            if (p < s.size() && s[p] == u'x') {
                base = 16;
                ++p;
            }
            size_t semi = s.find(u';', p);
            if (semi != u16string_view::npos && semi - p < 8) {
                std::wstring digits(s.begin() + p, s.begin() + semi);
                long v = std::wcstol(digits.c_str(), nullptr, base);
                if (v != 0) {
                    out += static_cast<char16_t>(v & 0xFFFF);
                    i = semi + 1;
                    continue;
                }
            }
            out += s[i++];
            continue;
        }
        bool done = false;
        for (const auto& [name, ch] : named) {
            if (s.substr(i + 1, name.size()) == name) {
                out += ch;
                i += 1 + name.size();
                done = true;
                break;
            }
        }
        if (!done) out += s[i++];
    }
    return out;
}

TEST(Navigation, DecodeTextMatchesWcstolOracle) {
    static const char16_t* const pieces[] = {
        u"&", u"&#", u"&#x", u"#", u"x", u"X", u";",  u"0",   u"1",  u"6",    u"5",    u"9",
        u"a", u"F",  u"g",   u" ", u"-", u"+", u"lt", u"amp", u"gt", u"apos", u"quot", u"\x4E2D"};
    std::mt19937 rng(20240611);
    for (int round = 0; round < 20000; ++round) {
        u16string s;
        int count = static_cast<int>(rng() % 16);
        for (int k = 0; k < count; ++k) s += pieces[rng() % std::size(pieces)];
        // Decode a prefix of the text too: what lies past the span must not matter.
        const size_t span = s.empty() ? 0 : rng() % (s.size() + 1);
        ASSERT_EQ(Narrow(CXmlDocument::DecodeText(s.c_str(), static_cast<int32_t>(span))),
                  Narrow(ReferenceDecode(u16string_view(s).substr(0, span))))
            << Narrow(s) << " span " << span;
    }
}

TEST(Navigation, ElementForms) {
    const auto doc = Parse(u"<r><a/><b></b><c> </c><d><e/></d><f x='/'/></r>");
    const ElementForm forms[] = {ElementForm::EmptyTag, ElementForm::NoContent,
                                 ElementForm::Content, ElementForm::Content, ElementForm::EmptyTag};
    ElementHandle h = doc->FirstChild(doc->FirstChild(0));
    for (const ElementForm form : forms) {
        EXPECT_EQ(doc->GetElementForm(h), form) << Narrow(doc->GetElementName(h));
        h = doc->NextSibling(h);
    }
    EXPECT_EQ(doc->GetElementForm(0), ElementForm::Content);
    EXPECT_EQ(doc->GetElementForm(999), ElementForm::Content);
}

}  // namespace

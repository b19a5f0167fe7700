// Entity escaping and CDATA wrapping, checked against simple references and by round trips.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/xml_checker.h"
#include "xml/XmlDocument.h"

namespace {

using std::u16string;
using std::u16string_view;

constexpr uint32_t Keep = EditKeepReferences;
constexpr uint32_t Quotes = EditEscapeQuotes;

struct EscapeCase {
    const char16_t* in;
    uint32_t flags;
    const char16_t* out;
};

TEST(Escape, EscapeText) {
    const EscapeCase cases[] = {
        {u"", 0, u""},
        {u"", Keep | Quotes, u""},
        {u"plain text", 0, u"plain text"},
        {u"a<b>c&d", 0, u"a&lt;b&gt;c&amp;d"},
        {u"'\"", 0, u"'\""},
        {u"'\"", Quotes, u"&apos;&quot;"},
        {u"&amp;", 0, u"&amp;amp;"},
        {u"&amp;", Keep, u"&amp;"},
        {u"&#65;&#x41;", Keep, u"&#65;&#x41;"},
        {u"&nbsp;", Keep, u"&nbsp;"},
        {u"&\xE9t\xE9;", Keep, u"&\xE9t\xE9;"},
        {u"&_a-b.c:d9;", Keep, u"&_a-b.c:d9;"},
        {u"&:x;", Keep, u"&:x;"},
        {u"&#;", Keep, u"&#;"},
        {u"&;", Keep, u"&amp;;"},
        {u"& x;", Keep, u"&amp; x;"},
        {u"&abc", Keep, u"&amp;abc"},
        {u"&", Keep, u"&amp;"},
        {u"&a#;", Keep, u"&amp;a#;"},
        {u"&##;", Keep, u"&amp;##;"},
        {u"&1a;", Keep, u"&amp;1a;"},
        {u"&-a;", Keep, u"&amp;-a;"},
        {u"&a&b;", Keep, u"&amp;a&b;"},
        {u"&a<;", Keep, u"&amp;a&lt;;"},
        {u"&a b;", Keep, u"&amp;a b;"},
        {u"&lt;'", Keep | Quotes, u"&lt;&apos;"},
        {u"&a'b;", Keep | Quotes, u"&amp;a&apos;b;"},
        // Only two bits of the edit flags count.
        {u"<'&amp;",
         EditCdata | EditNoLineBreaks | EditSpacedEmptyTag | EditUnended | EditReplaceContent |
             EditInsertBefore | EditAsChild,
         u"&lt;'&amp;amp;"},
        {u"<'&amp;", 0xFFFFFFFF, u"&lt;&apos;&amp;"},
        {u"\xD83D\xDE00<\x4E2D", 0, u"\xD83D\xDE00&lt;\x4E2D"},
    };
    for (const EscapeCase& c : cases) {
        SCOPED_TRACE(Narrow(c.in) + " flags " + std::to_string(c.flags));
        EXPECT_EQ(Narrow(CXmlDocument::EscapeText(c.in, c.flags)), Narrow(c.out));
    }
}

// Escaping with unlimited room, written from the rules alone.
u16string ReferenceEscape(u16string_view s, uint32_t flags) {
    auto isLetter = [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); };
    auto first = [&](char16_t c) {
        return isLetter(c) || c == u'#' || c == u'_' || c == u':' || c >= 0x80;
    };
    auto rest = [&](char16_t c) {
        return isLetter(c) || (c >= u'0' && c <= u'9') || c == u'_' || c == u':' || c == u'-' ||
               c == u'.' || c >= 0x80;
    };
    u16string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c == u'&' && (flags & Keep) && i + 1 < s.size() && first(s[i + 1])) {
            size_t k = i + 2;
            while (k < s.size() && rest(s[k])) ++k;
            if (k < s.size() && s[k] == u';') {
                out.append(s.substr(i, k + 1 - i));
                i = k;
                continue;
            }
        }
        if (c == u'<') {
            out += u"&lt;";
        } else if (c == u'&') {
            out += u"&amp;";
        } else if (c == u'>') {
            out += u"&gt;";
        } else if (c == u'\'' && (flags & Quotes)) {
            out += u"&apos;";
        } else if (c == u'"' && (flags & Quotes)) {
            out += u"&quot;";
        } else {
            out += c;
        }
    }
    return out;
}

// Growth steps of the output must never show in the result: values that expand many times
// over, and references longer than the reserve placed at every offset near the end of the room.
TEST(Escape, ResultDoesNotDependOnGrowth) {
    static const char16_t* const pieces[] = {u"<",
                                             u">",
                                             u"&",
                                             u"'",
                                             u"\"",
                                             u";",
                                             u"#",
                                             u"a",
                                             u"Z",
                                             u"0",
                                             u"-",
                                             u".",
                                             u" ",
                                             u"\xE9",
                                             u"&amp;",
                                             u"&#x41;",
                                             u"&averyveryverylongname;"};
    const uint32_t flagSets[] = {0, Keep, Quotes, Keep | Quotes};
    std::mt19937 rng(7);
    for (int round = 0; round < 1500; ++round) {
        u16string s;
        const int count = static_cast<int>(rng() % (round % 10 == 0 ? 2000 : 60));
        const bool dense = rng() % 2;
        for (int k = 0; k < count; ++k)
            s += dense ? pieces[rng() % 5] : pieces[rng() % std::size(pieces)];
        for (uint32_t flags : flagSets)
            ASSERT_TRUE(CXmlDocument::EscapeText(s.c_str(), flags) == ReferenceEscape(s, flags))
                << Narrow(s) << " flags " << flags;
    }
    for (int lead = 0; lead < 80; ++lead) {
        for (int nameLength = 1; nameLength < 48; ++nameLength) {
            for (char16_t filler : {u'a', u'<', u'\''}) {
                u16string s(static_cast<size_t>(lead), filler);
                s += u'&';
                s.append(static_cast<size_t>(nameLength), u'n');
                s += u';';
                for (uint32_t flags : flagSets)
                    ASSERT_TRUE(CXmlDocument::EscapeText(s.c_str(), flags) ==
                                ReferenceEscape(s, flags))
                        << lead << " " << nameLength << " flags " << flags;
            }
        }
    }
}

u16string RandomText(std::mt19937& rng, size_t maxLength) {
    static const char16_t alphabet[] =
        u"<>&'\";#x0123456789abcdefltgmpquos ]\t\r\n\xE9\x4E2D\xD83D";
    u16string s(rng() % (maxLength + 1), u' ');
    for (char16_t& c : s) c = alphabet[rng() % (std::size(alphabet) - 1)];
    return s;
}

TEST(Escape, DecodeRestoresEscapedText) {
    std::mt19937 rng(11);
    for (int round = 0; round < 20000; ++round) {
        const u16string s = RandomText(rng, 40);
        for (uint32_t flags : {uint32_t{0}, Quotes}) {
            const u16string escaped = CXmlDocument::EscapeText(s.c_str(), flags);
            ASSERT_EQ(Narrow(CXmlDocument::DecodeText(escaped.c_str(),
                                                      static_cast<int32_t>(escaped.size()))),
                      Narrow(s))
                << Narrow(escaped);
        }
    }
}

// The same round trip through a document: the escaped value read back as an attribute.
TEST(Escape, EscapedValueReadsBackAsAttribute) {
    std::mt19937 rng(13);
    CXmlDocument doc;
    for (int round = 0; round < 2000; ++round) {
        const u16string s = RandomText(rng, 30);
        const u16string text = u"<a v=\"" + CXmlDocument::EscapeText(s.c_str(), Quotes) + u"\"/>";
        doc.SetDocumentText(text);
        ASSERT_TRUE(doc.IsWellFormed()) << Narrow(text);
        ASSERT_TRUE(doc.FindElement(u"a"));
        ASSERT_EQ(Narrow(doc.GetAttribute(u"v")), Narrow(s)) << Narrow(text);
    }
}

TEST(Escape, WrapCdata) {
    const std::pair<const char16_t*, const char16_t*> cases[] = {
        {u"", u"<![CDATA[]]>"},
        {u"a<b>&c", u"<![CDATA[a<b>&c]]>"},
        {u"]]>", u"<![CDATA[]]]]><![CDATA[>]]>"},
        {u"a]]>b]]>c", u"<![CDATA[a]]]]><![CDATA[>b]]]]><![CDATA[>c]]>"},
        {u"]]]>", u"<![CDATA[]]]]]><![CDATA[>]]>"},
        {u"]]>]]>", u"<![CDATA[]]]]><![CDATA[>]]]]><![CDATA[>]]>"},
        {u"]>]]", u"<![CDATA[]>]]]]>"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Narrow(CXmlDocument::WrapCdata(in)), Narrow(out));
}

// Concatenated section contents; false when the text is not a run of whole sections.
bool UnwrapCdata(u16string_view w, u16string& out, int& sections) {
    constexpr u16string_view open = u"<![CDATA[";
    for (sections = 0; !w.empty(); ++sections) {
        if (w.substr(0, open.size()) != open) return false;
        w.remove_prefix(open.size());
        const size_t end = w.find(u"]]>");
        if (end == u16string_view::npos) return false;
        out.append(w.substr(0, end));
        w.remove_prefix(end + 3);
    }
    return true;
}

TEST(Escape, CdataSectionsHoldTheValue) {
    std::mt19937 rng(17);
    static const char16_t alphabet[] = u"]]]>>[a<!";
    for (int round = 0; round < 20000; ++round) {
        u16string s(rng() % 24, u' ');
        for (char16_t& c : s) c = alphabet[rng() % (std::size(alphabet) - 1)];
        const u16string wrapped = CXmlDocument::WrapCdata(s.c_str());
        u16string contents;
        int sections = 0;
        ASSERT_TRUE(UnwrapCdata(wrapped, contents, sections)) << Narrow(wrapped);
        ASSERT_EQ(Narrow(contents), Narrow(s)) << Narrow(wrapped);
        int occurrences = 0;
        for (size_t at = 0; (at = s.find(u"]]>", at)) != u16string::npos; at += 3) ++occurrences;
        ASSERT_EQ(sections, occurrences + 1) << Narrow(s);
    }
}

}  // namespace

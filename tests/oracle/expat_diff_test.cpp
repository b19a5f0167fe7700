// Differential check of element offsets, lengths and levels against expat on generated
// well-formed documents.
#include <expat.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"

namespace {

struct Element {
    int32_t start;
    int32_t length;
    int32_t level;
};

class Generator {
  public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    std::string Document() {
        std::string out;
        if (Chance(3)) out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + Break();
        if (Chance(4)) {
            out += "<!DOCTYPE mirvo [" + Break() + "  <!ELEMENT mirvo ANY>" + Break() +
                   "  <!ATTLIST album name CDATA #IMPLIED note CDATA '>x'>" + Break() +
                   "  <!-- a > in a comment -->" + Break() + "  <?pi in the subset?>" + Break() +
                   "  <!ENTITY e \"v>\">" + Break() + "]>" + Break();
        }
        if (Chance(3)) out += "<!-- lead <not-a-tag> -->" + Break();
        Element(out, 0);
        if (Chance(2)) out += Break();
        if (Chance(3)) out += "<!-- tail -->";
        return out;
    }

  private:
    bool Chance(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_) == 0; }
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    std::string Break() { return Chance(2) ? "\r\n" : "\n"; }
    std::string Indent(int depth) {
        return std::string(static_cast<size_t>(depth), Chance(2) ? '\t' : ' ');
    }

    std::string Name() {
        static const char* names[] = {"mirvo",
                                      "albums",
                                      "album",
                                      "item",
                                      "ElemCount",
                                      "a",
                                      "x:y",
                                      "_u",
                                      "\xe4\xb8\x93\xe8\xbe\x91",
                                      "n.m-1",
                                      "\xc3\xa9t\xc3\xa9"};
        return names[Pick(11)];
    }

    std::string Value() {
        static const char* values[] = {"plain", "a>b", "&amp;&lt;", "\xe5\xa4\x8f\xe5\xa4\xa9",
                                       "",      "1/2", "x=y",       "&#20013;&#x4e2d;",
                                       "sp ace"};
        std::string v = values[Pick(9)];
        if (Chance(2)) return "\"" + v + (Chance(3) ? "'" : "") + "\"";
        return "'" + v + (Chance(3) ? "\"" : "") + "'";
    }

    void Element(std::string& out, int depth) {
        std::string name = Name();
        out += "<" + name;
        int attrs = Pick(4);
        for (int i = 0; i < attrs; ++i) {
            out += Chance(4) ? Break() + "\t" : " ";
            out += "k" + std::to_string(i) + (Chance(3) ? " = " : "=") + Value();
        }
        if (Chance(4)) out += " ";
        int children = depth < 6 ? Pick(depth < 2 ? 6 : 4) : 0;
        if (children == 0 && Chance(2)) {
            out += Chance(2) ? "/>" : " />";
            return;
        }
        out += ">";
        for (int i = 0; i < children; ++i) {
            out += Break() + Indent(depth + 1);
            switch (Pick(8)) {
                case 0:
                    out += "text &amp; more > less";
                    break;
                case 1:
                    out += "<!-- <x> - > -->";
                    break;
                case 2:
                    out += "<![CDATA[<y>&x]]]]><![CDATA[>]]>";
                    break;
                case 3:
                    out += "<?target <z> ?>";
                    break;
                default:
                    break;
            }
            Element(out, depth + 1);
        }
        if (children) out += Break() + Indent(depth);
        if (Chance(5)) out += "\xe4\xb8\xad";
        out += "</" + name + (Chance(4) ? " " : "") + ">";
    }

    std::mt19937 rng_;
};

struct ExpatState {
    XML_Parser parser;
    std::vector<int32_t> utf16At;  // byte offset -> UTF-16 offset
    std::vector<Element> elements;
    std::vector<size_t> open;
};

void XMLCALL OnStart(void* data, const XML_Char*, const XML_Char**) {
    auto* s = static_cast<ExpatState*>(data);
    auto at = static_cast<size_t>(XML_GetCurrentByteIndex(s->parser));
    s->open.push_back(s->elements.size());
    s->elements.push_back({s->utf16At[at], 0, static_cast<int32_t>(s->open.size()) - 1});
}

void XMLCALL OnEnd(void* data, const XML_Char*) {
    auto* s = static_cast<ExpatState*>(data);
    auto at = static_cast<size_t>(XML_GetCurrentByteIndex(s->parser));
    auto count = static_cast<size_t>(XML_GetCurrentByteCount(s->parser));
    Element& e = s->elements[s->open.back()];
    s->open.pop_back();
    // An empty-element tag reports itself; an end tag reports its own span.
    e.length = s->utf16At[at + count] - e.start;
}

bool ParseWithExpat(const std::string& utf8, std::vector<Element>& elements) {
    ExpatState s;
    s.parser = XML_ParserCreate("UTF-8");
    s.utf16At.resize(utf8.size() + 1);
    int32_t units = 0;
    for (size_t i = 0; i <= utf8.size(); ++i) {
        s.utf16At[i] = units;
        if (i == utf8.size()) break;
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    }
    XML_SetUserData(s.parser, &s);
    XML_SetElementHandler(s.parser, OnStart, OnEnd);
    bool ok = XML_Parse(s.parser, utf8.data(), static_cast<int>(utf8.size()), 1) == XML_STATUS_OK;
    if (!ok) {
        ADD_FAILURE() << XML_ErrorString(XML_GetErrorCode(s.parser)) << " at line "
                      << XML_GetCurrentLineNumber(s.parser) << " column "
                      << XML_GetCurrentColumnNumber(s.parser);
    }
    XML_ParserFree(s.parser);
    elements = std::move(s.elements);
    return ok;
}

TEST(ExpatOracle, ElementSpansAndLevelsAgree) {
    for (uint32_t seed = 1; seed <= 400; ++seed) {
        Generator gen(seed);
        std::string utf8 = gen.Document();
        std::vector<Element> expected;
        ASSERT_TRUE(ParseWithExpat(utf8, expected)) << "generator made an ill-formed document\n"
                                                    << utf8;
        CXmlDocument doc;
        ASSERT_TRUE(doc.SetDocumentText(Widen(utf8)))
            << Narrow(XmlInternals(doc).ResultText()) << "\n"
            << utf8;
        ASSERT_TRUE(CheckStructure(doc)) << utf8;
        // Handles are given in document order by the parser.
        ASSERT_EQ(static_cast<size_t>(XmlInternals(doc).NextRecord() - 1), expected.size()) << utf8;
        for (size_t i = 0; i < expected.size(); ++i) {
            const ElementRecord& r = XmlInternals(doc).Record(static_cast<ElementHandle>(i + 1));
            SCOPED_TRACE(testing::Message() << "seed " << seed << " element " << i + 1);
            EXPECT_EQ(r.start, expected[i].start);
            EXPECT_EQ(r.length, expected[i].length);
            EXPECT_EQ(static_cast<int32_t>(r.Level()), expected[i].level);
        }
    }
}

}  // namespace

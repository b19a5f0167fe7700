// Editing: AppendElement, AppendSubtree and SetContent, each case a document, an edit and the
// exact text, records and positions that result.
#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"

namespace {

std::string Describe(const CXmlDocument& doc, ElementHandle h) {
    if (!h) return "0";
    const ElementRecord& r = XmlInternals(doc).Record(h);
    std::string s = Narrow(NameAt(doc, h)) + "@" + std::to_string(r.start) + "+" +
                    std::to_string(r.length) + "(" + std::to_string(r.StartTagLength()) + "," +
                    std::to_string(r.EndTagLength()) + ")L" + std::to_string(r.Level());
    if (r.flags & ElemUnended) s += "U";
    if (r.flags & ElemHasError) s += "E";
    return s;
}

std::string Records(const CXmlDocument& doc) {
    std::string out;
    for (ElementHandle h : DocumentOrder(doc)) {
        if (!out.empty()) out += ' ';
        out += Describe(doc, h);
    }
    return out;
}

std::string Short(const CXmlDocument& doc, ElementHandle h) {
    return h ? Narrow(NameAt(doc, h)) + "@" + std::to_string(XmlInternals(doc).Record(h).start)
             : "0";
}

std::string Positions(const CXmlDocument& doc) {
    const XmlInternals in(doc);
    return "P=" + Short(doc, in.ParentHandle()) + " M=" + Short(doc, in.MainHandle()) +
           " C=" + Short(doc, in.ChildHandle()) + " T=" + std::to_string(in.NodeType()) +
           (in.NodeOffset() || in.NodeLength() ? " node fields set" : "");
}

// "F:name" FindElement, "E" EnterElement, "L" LeaveElement, "R" ResetPosition.
testing::AssertionResult Navigate(CXmlDocument& doc, const std::string& path) {
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find(' ', i);
        if (j == std::string::npos) j = path.size();
        const std::string step = path.substr(i, j - i);
        bool ok = true;
        if (step.rfind("F:", 0) == 0) {
            ok = doc.FindElement(Widen(step.substr(2)).c_str());
        } else if (step == "E") {
            ok = doc.EnterElement();
        } else if (step == "L") {
            ok = doc.LeaveElement();
        } else if (step == "R") {
            doc.ResetPosition();
        }
        if (!ok) return testing::AssertionFailure() << "navigation step " << step << " failed";
        i = j + 1;
    }
    return testing::AssertionSuccess();
}

// Everything an edit may change, to show that a refusal changed nothing.
struct Snapshot {
    std::u16string text;
    std::u16string result;
    ElementHandle parent, main, child, released;
    int32_t next, type, nodeOffset, nodeLength;
    std::vector<ElementRecord> records;

    explicit Snapshot(const CXmlDocument& doc) : Snapshot(XmlInternals(doc)) {}
    explicit Snapshot(const XmlInternals& in)
        : text(in.DocumentText().view()),
          result(in.ResultText()),
          parent(in.ParentHandle()),
          main(in.MainHandle()),
          child(in.ChildHandle()),
          released(in.ReleasedHead()),
          next(in.NextRecord()),
          type(in.NodeType()),
          nodeOffset(in.NodeOffset()),
          nodeLength(in.NodeLength()) {
        for (int32_t h = 0; h < in.NextRecord(); ++h) records.push_back(in.Record(h));
    }
    bool operator==(const Snapshot& o) const {
        return text == o.text && result == o.result && parent == o.parent && main == o.main &&
               child == o.child && released == o.released && next == o.next && type == o.type &&
               nodeOffset == o.nodeOffset && nodeLength == o.nodeLength &&
               records.size() == o.records.size() &&
               std::memcmp(records.data(), o.records.data(),
                           records.size() * sizeof(ElementRecord)) == 0;
    }
};

// A result text from before the edit, left by a load that fails and changes nothing else: a
// refused edit must keep it.
void LeaveEarlierResult(CXmlDocument& doc) {
    ASSERT_FALSE(doc.LoadFile(u"Z:\\brevlo-no-such-folder\\none.xml"));
    ASSERT_FALSE(XmlInternals(doc).ResultText().empty());
}

// Every edit in these tests is followed by this.
void ExpectSound(const CXmlDocument& doc) {
    const XmlInternals in(doc);
    EXPECT_TRUE(CheckStructure(doc));
    EXPECT_EQ(in.Record(0).length, in.DocumentText().length());
}

enum class Op { AppendText, AppendInt, Subtree, SetText, SetInt };

struct EditCase {
    const char* label;
    const char* document;
    const char* path;
    Op op;
    const char* name;   // element name, or the subtree text
    const char* value;  // nullptr: no value
    int32_t number;
    uint32_t flags;
    bool result;
    const char* text;
    const char* records;
    const char* positions;
};

const EditCase kEditCases[] = {
    // Placement under a parent and after a main element.
    {"last child before whitespace-preceded end tag", "<r>\r\n  <a/>\r\n</r>", "F:r E",
     Op::AppendText, "n", nullptr, 0, 0, true, "<r>\r\n  <a/>\r\n<n/>\r\n</r>",
     "r@0+23(3,4)L0 a@7+4(4,0)L1 n@13+4(4,0)L1", "P=r@0 M=n@13 C=0 T=1"},
    {"after main, skipping whitespace to next tag", "<r>\r\n  <a/>\r\n  <b/>\r\n</r>", "F:r E F:a",
     Op::AppendText, "n", nullptr, 0, 0, true, "<r>\r\n  <a/>\r\n  <n/>\r\n<b/>\r\n</r>",
     "r@0+31(3,4)L0 a@7+4(4,0)L1 n@15+4(4,0)L1 b@21+4(4,0)L1", "P=r@0 M=n@15 C=0 T=1"},
    {"after main followed by text", "<r><a/>x<b/></r>", "F:r E F:a", Op::AppendText, "n", nullptr,
     0, 0, true, "<r><a/><n/>\r\nx<b/></r>",
     "r@0+22(3,4)L0 a@3+4(4,0)L1 n@7+4(4,0)L1 b@14+4(4,0)L1", "P=r@0 M=n@7 C=0 T=1"},
    {"before first with EditInsertBefore", "<r><a/><b/></r>", "F:r E F:a", Op::AppendText, "n",
     nullptr, 0, EditInsertBefore, true, "<r><n/>\r\n<a/><b/></r>",
     "r@0+21(3,4)L0 n@3+4(4,0)L1 a@9+4(4,0)L1 b@13+4(4,0)L1", "P=r@0 M=n@3 C=0 T=1"},
    {"before second with EditInsertBefore", "<r><a/><b/></r>", "F:r E F:b", Op::AppendText, "n",
     nullptr, 0, EditInsertBefore, true, "<r><a/><n/>\r\n<b/></r>",
     "r@0+21(3,4)L0 a@3+4(4,0)L1 n@7+4(4,0)L1 b@13+4(4,0)L1", "P=r@0 M=n@7 C=0 T=1"},
    // Opening up an empty parent.
    {"into <a/>", "<r><a/></r>", "F:r E F:a E", Op::AppendText, "n", nullptr, 0, 0, true,
     "<r><a>\r\n<n/>\r\n</a></r>", "r@0+22(3,4)L0 a@3+15(3,4)L1 n@8+4(4,0)L2",
     "P=a@3 M=n@8 C=0 T=1"},
    {"into <a/> as child of main", "<r><a/></r>", "F:r E F:a", Op::AppendText, "n", nullptr, 0,
     EditAsChild, true, "<r><a>\r\n<n/>\r\n</a></r>", "r@0+22(3,4)L0 a@3+15(3,4)L1 n@8+4(4,0)L2",
     "P=r@0 M=a@3 C=n@8 T=1"},
    {"into <a/> without line breaks", "<r><a/></r>", "F:r E F:a E", Op::AppendText, "n", nullptr, 0,
     EditNoLineBreaks, true, "<r><a><n/></a></r>", "r@0+18(3,4)L0 a@3+11(3,4)L1 n@6+4(4,0)L2",
     "P=a@3 M=n@6 C=0 T=1"},
    {"into <a /> keeps the space", "<r><a /></r>", "F:r E F:a E", Op::AppendText, "n", nullptr, 0,
     0, true, "<r><a >\r\n<n/>\r\n</a></r>", "r@0+23(3,4)L0 a@3+16(4,4)L1 n@9+4(4,0)L2",
     "P=a@3 M=n@9 C=0 T=1"},
    {"into empty tag with attribute", "<r><a x='1'/></r>", "F:r E F:a E", Op::AppendText, "n",
     nullptr, 0, 0, true, "<r><a x='1'>\r\n<n/>\r\n</a></r>",
     "r@0+28(3,4)L0 a@3+21(9,4)L1 n@14+4(4,0)L2", "P=a@3 M=n@14 C=0 T=1"},
    {"into unended", "<r><a></r>", "F:r E F:a E", Op::AppendText, "n", nullptr, 0, 0, true,
     "<r><a>\r\n<n/>\r\n</a></r>", "r@0+22(3,4)L0 a@3+15(3,4)L1 n@8+4(4,0)L2",
     "P=a@3 M=n@8 C=0 T=1"},
    {"into unended without line breaks", "<r><a></r>", "F:r E F:a E", Op::AppendText, "n", nullptr,
     0, EditNoLineBreaks, true, "<r><a><n/></a></r>", "r@0+18(3,4)L0 a@3+11(3,4)L1 n@6+4(4,0)L2",
     "P=a@3 M=n@6 C=0 T=1"},
    {"into start tag directly followed by end tag", "<r><a></a></r>", "F:r E F:a E", Op::AppendText,
     "n", nullptr, 0, 0, true, "<r><a>\r\n<n/>\r\n</a></r>",
     "r@0+22(3,4)L0 a@3+15(3,4)L1 n@8+4(4,0)L2", "P=a@3 M=n@8 C=0 T=1"},
    {"into <a></a> without line breaks", "<r><a></a></r>", "F:r E F:a E", Op::AppendText, "n",
     nullptr, 0, EditNoLineBreaks, true, "<r><a><n/></a></r>",
     "r@0+18(3,4)L0 a@3+11(3,4)L1 n@6+4(4,0)L2", "P=a@3 M=n@6 C=0 T=1"},
    // The document level.
    {"document level after trailing whitespace", "<r/>\r\n", "", Op::AppendText, "n", nullptr, 0, 0,
     true, "<r/>\r\n<n/>\r\n", "r@0+4(4,0)L0 n@6+4(4,0)L0", "P=0 M=n@6 C=0 T=1"},
    {"document level after the root", "<r/>\r\n", "F:r", Op::AppendText, "n", nullptr, 0, 0, true,
     "<r/>\r\n<n/>\r\n", "r@0+4(4,0)L0 n@6+4(4,0)L0", "P=0 M=n@6 C=0 T=1"},
    {"document level before a trailing comment", "<r/> <!--c-->", "F:r", Op::AppendText, "n",
     nullptr, 0, 0, true, "<r/> <n/>\r\n<!--c-->", "r@0+4(4,0)L0 n@5+4(4,0)L0",
     "P=0 M=n@5 C=0 T=1"},
    // Values and tag forms.
    {"value escaped", "<r></r>", "F:r E", Op::AppendText, "n", "a<b&c>d", 0, EditNoLineBreaks, true,
     "<r><n>a&lt;b&amp;c&gt;d</n></r>", "r@0+31(3,4)L0 n@3+24(3,4)L1", "P=r@0 M=n@3 C=0 T=1"},
    {"value with quotes escaped on request", "<r></r>", "F:r E", Op::AppendText, "n", "a'b\"c", 0,
     EditNoLineBreaks | EditEscapeQuotes, true, "<r><n>a&apos;b&quot;c</n></r>",
     "r@0+29(3,4)L0 n@3+22(3,4)L1", "P=r@0 M=n@3 C=0 T=1"},
    {"value keeps references", "<r></r>", "F:r E", Op::AppendText, "n", "&amp;&#x41;&x", 0,
     EditNoLineBreaks | EditKeepReferences, true, "<r><n>&amp;&#x41;&amp;x</n></r>",
     "r@0+31(3,4)L0 n@3+24(3,4)L1", "P=r@0 M=n@3 C=0 T=1"},
    {"value as CDATA", "<r></r>", "F:r E", Op::AppendText, "n", "x]]>y", 0,
     EditNoLineBreaks | EditCdata, true, "<r><n><![CDATA[x]]]]><![CDATA[>y]]></n></r>",
     "r@0+43(3,4)L0 n@3+36(3,4)L1", "P=r@0 M=n@3 C=0 T=1"},
    {"empty value gives empty-element tag", "<r></r>", "F:r E", Op::AppendText, "n", "", 0,
     EditNoLineBreaks | EditCdata, true, "<r><n/></r>", "r@0+11(3,4)L0 n@3+4(4,0)L1",
     "P=r@0 M=n@3 C=0 T=1"},
    {"spaced empty tag", "<r></r>", "F:r E", Op::AppendText, "n", nullptr, 0,
     EditNoLineBreaks | EditSpacedEmptyTag, true, "<r><n /></r>", "r@0+12(3,4)L0 n@3+5(5,0)L1",
     "P=r@0 M=n@3 C=0 T=1"},
    {"unended", "<r></r>", "F:r E", Op::AppendText, "n", nullptr, 0,
     EditNoLineBreaks | EditUnended | EditSpacedEmptyTag, true, "<r><n></r>",
     "r@0+10(3,4)L0 n@3+3(3,0)L1U", "P=r@0 M=n@3 C=0 T=1"},
    {"integer 0", "<r></r>", "F:r E", Op::AppendInt, "n", nullptr, 0, EditNoLineBreaks, true,
     "<r><n>0</n></r>", "r@0+15(3,4)L0 n@3+8(3,4)L1", "P=r@0 M=n@3 C=0 T=1"},
    {"integer -42", "<r></r>", "F:r E", Op::AppendInt, "n", nullptr, -42, EditNoLineBreaks, true,
     "<r><n>-42</n></r>", "r@0+17(3,4)L0 n@3+10(3,4)L1", "P=r@0 M=n@3 C=0 T=1"},
    {"integer minimum", "<r></r>", "F:r E", Op::AppendInt, "n", nullptr, INT32_MIN,
     EditNoLineBreaks, true, "<r><n>-2147483648</n></r>", "r@0+25(3,4)L0 n@3+18(3,4)L1",
     "P=r@0 M=n@3 C=0 T=1"},
    {"replace-content bit is not an append's", "<r><a>t</a></r>", "F:r E F:a E", Op::AppendText,
     "n", nullptr, 0, EditReplaceContent | EditNoLineBreaks, true, "<r><a>t<n/></a></r>",
     "r@0+19(3,4)L0 a@3+12(3,4)L1 n@7+4(4,0)L2", "P=a@3 M=n@7 C=0 T=1"},
    // Subtrees.
    {"subtree with its trailing line break", "<r></r>", "F:r E", Op::Subtree, "<a x='1'>t</a>\r\n",
     nullptr, 0, 0, true, "<r>\r\n<a x='1'>t</a>\r\n</r>", "r@0+25(3,4)L0 a@5+14(9,4)L1",
     "P=r@0 M=a@5 C=0 T=1"},
    {"subtree with descendants after main", "<r><a/></r>", "F:r E F:a", Op::Subtree,
     "  <b><c/><d>x</d></b>  ", nullptr, 0, 0, true, "<r><a/><b><c/><d>x</d></b>\r\n</r>",
     "r@0+32(3,4)L0 a@3+4(4,0)L1 b@7+19(3,4)L1 c@10+4(4,0)L2 d@14+8(3,4)L2", "P=r@0 M=b@7 C=0 T=1"},
    {"subtree before a sibling with children", "<r><a/><b><c/></b></r>", "F:r E F:a", Op::Subtree,
     "<s><t/></s>", nullptr, 0, 0, true, "<r><a/><s><t/></s>\r\n<b><c/></b></r>",
     "r@0+35(3,4)L0 a@3+4(4,0)L1 s@7+11(3,4)L1 t@10+4(4,0)L2 b@20+11(3,4)L1 c@23+4(4,0)L2",
     "P=r@0 M=s@7 C=0 T=1"},
    {"subtree as child", "<r><a/></r>", "F:r E F:a", Op::Subtree, "<b><c/></b>", nullptr, 0,
     EditAsChild | EditNoLineBreaks, true, "<r><a><b><c/></b></a></r>",
     "r@0+25(3,4)L0 a@3+18(3,4)L1 b@6+11(3,4)L2 c@9+4(4,0)L3", "P=r@0 M=a@3 C=b@6 T=1"},
    {"subtree at the document level", "<r/>", "F:r", Op::Subtree, "<s><t/></s>", nullptr, 0, 0,
     true, "<r/><s><t/></s>\r\n", "r@0+4(4,0)L0 s@4+11(3,4)L0 t@7+4(4,0)L1", "P=0 M=s@4 C=0 T=1"},
    {"two siblings", "<r></r>", "F:r E", Op::Subtree, "<x/><y/>", nullptr, 0, 0, false,
     "<r>\r\n<x/><y/>\r\n</r>", "r@0+19(3,4)L0 x@5+4(4,0)L1 y@9+4(4,0)L1", "P=r@0 M=x@5 C=0 T=1"},
    {"two siblings with text around", "<r></r>", "F:r E", Op::Subtree, "a<x/> t <y/>b", nullptr, 0,
     EditNoLineBreaks, false, "<r><x/> t <y/></r>", "r@0+18(3,4)L0 x@3+4(4,0)L1 y@10+4(4,0)L1",
     "P=r@0 M=x@3 C=0 T=1"},
    {"no element", "<r><a/><b/></r>", "F:r E F:a", Op::Subtree, "hello", nullptr, 0, 0, false,
     "<r><a/>hello<b/></r>", "r@0+20(3,4)L0 a@3+4(4,0)L1 b@12+4(4,0)L1", "P=r@0 M=0 C=0 T=0"},
    {"no element as child", "<r><a/><b/></r>", "F:r E F:b", Op::Subtree, "hi", nullptr, 0,
     EditAsChild, false, "<r><a/><b>hi</b></r>", "r@0+20(3,4)L0 a@3+4(4,0)L1 b@7+9(3,4)L1",
     "P=r@0 M=b@7 C=0 T=1"},
    {"no element into <a/>", "<r><a/><b/></r>", "F:r E F:a E", Op::Subtree, "", nullptr, 0, 0,
     false, "<r><a></a><b/></r>", "r@0+18(3,4)L0 a@3+7(3,4)L1 b@10+4(4,0)L1", "P=a@3 M=0 C=0 T=0"},
    {"parse error at top level", "<r></r>", "F:r E", Op::Subtree, "</y><x/>", nullptr, 0, 0, false,
     "<r></y><x/></r>", "r@0+15(3,4)L0E x@7+4(4,0)L1", "P=r@0 M=x@7 C=0 T=1"},
    {"parse error inside element", "<r></r>", "F:r E", Op::Subtree, "<x></y></x>", nullptr, 0, 0,
     false, "<r><x></y></x></r>", "r@0+18(3,4)L0 x@3+11(3,4)L1E", "P=r@0 M=x@3 C=0 T=1"},
    // Content.
    {"content replaced", "<r><a>old</a><b/></r>", "F:r E F:a", Op::SetText, nullptr, "value", 0, 0,
     true, "<r><a>value</a><b/></r>", "r@0+23(3,4)L0 a@3+12(3,4)L1 b@15+4(4,0)L1",
     "P=r@0 M=a@3 C=0 T=1"},
    {"content flags other than CDATA and escaping ignored", "<r><a>old</a><b/></r>", "F:r E F:a",
     Op::SetText, nullptr, "<v>", 0, EditAsChild | EditInsertBefore | EditUnended, true,
     "<r><a>&lt;v&gt;</a><b/></r>", "r@0+27(3,4)L0 a@3+16(3,4)L1 b@19+4(4,0)L1",
     "P=r@0 M=a@3 C=0 T=1"},
    {"content as CDATA", "<r><a>old</a></r>", "F:r E F:a", Op::SetText, nullptr, "<v>", 0,
     EditCdata, true, "<r><a><![CDATA[<v>]]></a></r>", "r@0+29(3,4)L0 a@3+22(3,4)L1",
     "P=r@0 M=a@3 C=0 T=1"},
    {"content clears the error mark", "<r><a>x</y></a></r>", "F:r E F:a", Op::SetText, nullptr, "v",
     0, 0, true, "<r><a>v</a></r>", "r@0+15(3,4)L0 a@3+8(3,4)L1", "P=r@0 M=a@3 C=0 T=1"},
    {"content of <a/>", "<r><a/></r>", "F:r E F:a", Op::SetText, nullptr, "v", 0, 0, true,
     "<r><a>v</a></r>", "r@0+15(3,4)L0 a@3+8(3,4)L1", "P=r@0 M=a@3 C=0 T=1"},
    {"empty content of <a />", "<r><a /></r>", "F:r E F:a", Op::SetText, nullptr, "", 0, 0, true,
     "<r><a ></a></r>", "r@0+15(3,4)L0 a@3+8(4,4)L1", "P=r@0 M=a@3 C=0 T=1"},
    {"content of unended", "<r><a></r>", "F:r E F:a", Op::SetText, nullptr, "v", 0, 0, true,
     "<r><a>v</a></r>", "r@0+15(3,4)L0 a@3+8(3,4)L1", "P=r@0 M=a@3 C=0 T=1"},
    {"integer content", "<r><c>12</c><d/></r>", "F:r E F:c", Op::SetInt, nullptr, nullptr, 7, 0,
     true, "<r><c>7</c><d/></r>", "r@0+19(3,4)L0 c@3+8(3,4)L1 d@11+4(4,0)L1",
     "P=r@0 M=c@3 C=0 T=1"},
    {"content of nested element moves what follows", "<r><a><b>xx</b></a><c/></r>",
     "F:r E F:a E F:b", Op::SetInt, nullptr, nullptr, -123, 0, true,
     "<r><a><b>-123</b></a><c/></r>", "r@0+29(3,4)L0 a@3+18(3,4)L1 b@6+11(3,4)L2 c@21+4(4,0)L1",
     "P=a@3 M=b@6 C=0 T=1"},
};

void PrintTo(const EditCase& c, std::ostream* os) {
    *os << c.label;
}

class EditCaseTest : public testing::TestWithParam<EditCase> {};

TEST_P(EditCaseTest, GivesExactTextRecordsAndPositions) {
    const EditCase& c = GetParam();
    CXmlDocument doc;
    const XmlInternals in(doc);
    doc.SetDocumentText(Widen(c.document));
    ASSERT_TRUE(Navigate(doc, c.path));
    const std::u16string name = c.name ? Widen(c.name) : u"";
    const std::u16string value = c.value ? Widen(c.value) : u"";
    const char16_t* valuePtr = c.value ? value.c_str() : nullptr;
    bool result = false;
    switch (c.op) {
        case Op::AppendText:
            result = doc.AppendElement(name.c_str(), valuePtr, c.flags);
            break;
        case Op::AppendInt:
            result = doc.AppendElement(name.c_str(), c.number, c.flags);
            break;
        case Op::Subtree:
            result = doc.AppendSubtree(name.c_str(), c.flags);
            break;
        case Op::SetText:
            result = doc.SetContent(in.MainHandle(), value.c_str(), c.flags);
            break;
        case Op::SetInt:
            result = doc.SetContent(in.MainHandle(), c.number);
            break;
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Narrow(in.DocumentText().view()), c.text);
    EXPECT_EQ(Records(doc), c.records);
    EXPECT_EQ(Positions(doc), c.positions);
    ExpectSound(doc);
    CXmlDocument fresh;
    if (fresh.SetDocumentText(in.DocumentText().view())) {
        EXPECT_TRUE(MatchesFreshParse(doc));
    }
}

INSTANTIATE_TEST_SUITE_P(Edits, EditCaseTest, testing::ValuesIn(kEditCases),
                         [](const testing::TestParamInfo<EditCase>& info) {
                             std::string n;
                             for (const char* p = info.param.label; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

TEST(AppendSubtree, ParseMessageAndRecordUse) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    doc.SetDocumentText(u"<r></r>");
    ASSERT_TRUE(Navigate(doc, "F:r E"));
    const int32_t before = in.NextRecord();
    EXPECT_FALSE(doc.AppendSubtree(u"</y><x/>", 0));
    EXPECT_EQ(in.ResultText(), u"No start tag for end tag 'y' at offset 0");
    // One record per element plus the temporary root, which ends on the released list.
    EXPECT_EQ(in.NextRecord(), before + 2);
    EXPECT_EQ(in.ReleasedHead(), static_cast<ElementHandle>(before));
    EXPECT_EQ(in.Record(before).flags, uint32_t{ElemReleased});
    ExpectSound(doc);

    EXPECT_TRUE(doc.AppendSubtree(u"<z/>", 0));
    EXPECT_EQ(in.ResultText(), u"");
    EXPECT_EQ(in.NextRecord(), before + 4);
    EXPECT_EQ(in.ReleasedHead(), static_cast<ElementHandle>(before + 2));
    EXPECT_EQ(in.Record(before + 2).nextSibling, static_cast<ElementHandle>(before));
    ExpectSound(doc);
}

// The road of the catalog merge: a subtree read from one document goes into another.
TEST(AppendSubtree, TakesSubtreeTextOfAnotherDocument) {
    CXmlDocument pack;
    pack.SetDocumentText(u"<m><album name='x'><item/></album>\r\n</m>");
    ASSERT_TRUE(Navigate(pack, "F:m E F:album"));
    const CString album = pack.GetSubtreeText();
    EXPECT_EQ(album, u"<album name='x'><item/></album>\r\n");

    CXmlDocument product;
    product.SetDocumentText(u"<m>\r\n</m>");
    ASSERT_TRUE(Navigate(product, "F:m E"));
    EXPECT_TRUE(product.AppendSubtree(album.c_str(), 0));
    EXPECT_EQ(Narrow(XmlInternals(product).DocumentText().view()),
              "<m>\r\n<album name='x'><item/></album>\r\n</m>");
    EXPECT_EQ(Records(product), "m@0+42(3,4)L0 album@5+31(16,8)L1 item@21+7(7,0)L2");
    ExpectSound(product);
    EXPECT_TRUE(product.AppendElement(u"ElemCount", 1, EditAsChild));
    EXPECT_EQ(product.GetElementSubtreeText(XmlInternals(product).ChildHandle()),
              u"<ElemCount>1</ElemCount>\r\n");
    ExpectSound(product);
    EXPECT_TRUE(product.SetContent(XmlInternals(product).ChildHandle(), 12));
    ExpectSound(product);
    EXPECT_TRUE(MatchesFreshParse(product));
    EXPECT_EQ(Narrow(XmlInternals(product).DocumentText().view()),
              "<m>\r\n<album name='x'><item/><ElemCount>12</ElemCount>\r\n</album>\r\n</m>");
}

// Refusals return false and change nothing, not even nextRecord.
TEST(Refusals, ChangeNothing) {
    struct Refusal {
        const char* label;
        const char* document;
        const char* path;
        bool (*edit)(CXmlDocument&);
    };
    const Refusal cases[] = {
        {"append as child without main", "<r><a/></r>", "F:r E",
         [](CXmlDocument& d) { return d.AppendElement(u"n", nullptr, EditAsChild); }},
        {"subtree as child without main", "<r><a/></r>", "F:r E",
         [](CXmlDocument& d) { return d.AppendSubtree(u"<n/>", EditAsChild); }},
        {"unended with value", "<r><a/></r>", "F:r E F:a",
         [](CXmlDocument& d) { return d.AppendElement(u"n", u"v", EditUnended); }},
        {"unended with integer", "<r><a/></r>", "F:r E F:a",
         [](CXmlDocument& d) { return d.AppendElement(u"n", 0, EditUnended); }},
        {"null subtree text", "<r><a/></r>", "F:r E F:a",
         [](CXmlDocument& d) { return d.AppendSubtree(nullptr, 0); }},
        {"content with handle 0", "<r><a/></r>", "F:r E F:a",
         [](CXmlDocument& d) { return d.SetContent(0, u"v", 0); }},
        {"content of element with child", "<r><a/></r>", "F:r",
         [](CXmlDocument& d) { return d.SetContent(XmlInternals(d).MainHandle(), u"v", 0); }},
        {"integer content of element with child", "<r><a/></r>", "F:r",
         [](CXmlDocument& d) { return d.SetContent(XmlInternals(d).MainHandle(), 5); }},
        {"content with handle at nextRecord", "<r><a/></r>", "",
         [](CXmlDocument& d) {
             return d.SetContent(static_cast<ElementHandle>(XmlInternals(d).NextRecord()), u"v", 0);
         }},
        {"content with handle far beyond", "<r><a/></r>", "",
         [](CXmlDocument& d) { return d.SetContent(0xFFFFFFFFu, u"v", 0); }},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.label);
        CXmlDocument doc;
        doc.SetDocumentText(Widen(c.document));
        ASSERT_TRUE(Navigate(doc, c.path));
        LeaveEarlierResult(doc);
        const Snapshot before(doc);
        EXPECT_FALSE(c.edit(doc));
        EXPECT_TRUE(Snapshot(doc) == before);
        ExpectSound(doc);
    }
}

TEST(Refusals, ReleasedRecordIsNoElement) {
    CXmlDocument doc;
    doc.SetDocumentText(u"<r></r>");
    ASSERT_TRUE(Navigate(doc, "F:r E"));
    ASSERT_TRUE(doc.AppendSubtree(u"<x/>", 0));
    const ElementHandle released = XmlInternals(doc).ReleasedHead();
    ASSERT_NE(released, 0u);
    const Snapshot before(doc);
    EXPECT_FALSE(doc.SetContent(released, u"v", 0));
    EXPECT_FALSE(doc.SetContent(released, 3));
    EXPECT_TRUE(Snapshot(doc) == before);
    ExpectSound(doc);
}

TEST(Refusals, ElementNamesMustBeXmlNames) {
    const std::u16string bad[] = {
        u"",        u"1a",      u"-a",      u".a",      u"a b",     u"a>",      u"a/",      u"a<",
        u"a=b",     u"a&b",     u"a\"",     u"a'",      u"\t",      u"a?",      u"a!",      u"a\\",
        u"a\u00D7", u"a\u037E", u"\u00B7a", u"\u0300a", u"a\uFFFE", u"a\u2000", u"\u203Fa",
    };
    for (const std::u16string& name : bad) {
        SCOPED_TRACE(Narrow(name));
        CXmlDocument doc;
        const XmlInternals in(doc);
        doc.SetDocumentText(u"<r><a/></r>");
        ASSERT_TRUE(Navigate(doc, "F:r E F:a"));
        const Snapshot before(doc);
        EXPECT_FALSE(doc.AppendElement(name.c_str(), nullptr, 0));
        EXPECT_FALSE(doc.AppendElement(name.c_str(), u"v", 0));
        EXPECT_FALSE(doc.AppendElement(name.c_str(), 7, EditAsChild));
        EXPECT_TRUE(Snapshot(doc) == before);
    }
    EXPECT_FALSE(CXmlDocument().AppendElement(nullptr, u"v", 0));

    const std::u16string good[] = {
        u"a",
        u"_",
        u":",
        u"a-b.c_d:e1",
        u"\u00E9",
        u"\u540D\u524D",
        u"a\u00B7",
        u"a\u0300",
        u"\U0001D49C",
        u"A\u203F",
        u"\u00C0\u02FF\u0370\u037F\u200C\u2070\u2C00",
    };
    for (const std::u16string& name : good) {
        SCOPED_TRACE(Narrow(name));
        CXmlDocument doc;
        const XmlInternals in(doc);
        doc.SetDocumentText(u"<r><a/></r>");
        ASSERT_TRUE(Navigate(doc, "F:r E F:a"));
        ASSERT_TRUE(doc.AppendElement(name.c_str(), u"v", 0));
        EXPECT_EQ(NameAt(doc, in.MainHandle()), name);
        EXPECT_EQ(doc.GetElementName(in.MainHandle()), name);
        ExpectSound(doc);
        EXPECT_TRUE(MatchesFreshParse(doc));
    }
}

// Start tags below 2^20 characters, end tags of at most 511, levels up to 65535.
TEST(RecordBounds, TagLengths) {
    struct Bound {
        size_t nameLength;
        bool withValue;
        uint32_t flags;
        bool accepted;
    };
    const Bound cases[] = {
        {508, true, 0, true},                               // end tag 511
        {509, true, 0, false},                              // end tag 512
        {509, false, 0, true},                              // no end tag
        {(1u << 20) - 4, false, 0, true},                   // "/>": start tag 2^20 - 1
        {(1u << 20) - 3, false, 0, false},                  // 2^20
        {(1u << 20) - 5, false, EditSpacedEmptyTag, true},  // " />": 2^20 - 1
        {(1u << 20) - 4, false, EditSpacedEmptyTag, false},
        {(1u << 20) - 3, false, EditUnended, true},  // ">": 2^20 - 1
        {(1u << 20) - 2, false, EditUnended, false},
    };
    for (const Bound& c : cases) {
        SCOPED_TRACE(std::to_string(c.nameLength) + " flags " + std::to_string(c.flags));
        const std::u16string name(c.nameLength, u'n');
        CXmlDocument doc;
        doc.SetDocumentText(u"<r><a/></r>");
        ASSERT_TRUE(Navigate(doc, "F:r E F:a"));
        const Snapshot before(doc);
        EXPECT_EQ(doc.AppendElement(name.c_str(), c.withValue ? u"v" : nullptr, c.flags),
                  c.accepted);
        if (c.accepted) {
            ExpectSound(doc);
            if (!(c.flags & EditUnended)) {
                EXPECT_TRUE(MatchesFreshParse(doc));
            }
        } else {
            EXPECT_TRUE(Snapshot(doc) == before);
        }
    }
}

TEST(RecordBounds, OpeningUpAnEmptyElementWithALongName) {
    for (size_t length : {size_t{508}, size_t{509}}) {
        const bool fits = length == 508;  // its end tag would be length + 3 characters
        const std::u16string name(length, u'e');
        const std::u16string text = u"<r><" + name + u"/><" + name + u"></r>";
        using Edit = bool (*)(CXmlDocument&);
        const Edit edits[] = {
            [](CXmlDocument& d) { return d.SetContent(XmlInternals(d).MainHandle(), u"v", 0); },
            [](CXmlDocument& d) { return d.AppendElement(u"n", nullptr, EditAsChild); },
            [](CXmlDocument& d) { return d.AppendSubtree(u"<n/>", EditAsChild); },
            [](CXmlDocument& d) { return d.AppendSubtree(u"no element", EditAsChild); },
        };
        for (const Edit edit : edits) {
            for (const bool unended : {false, true}) {
                SCOPED_TRACE(std::to_string(length) + (unended ? " unended" : " empty tag"));
                CXmlDocument doc;
                const XmlInternals in(doc);
                doc.SetDocumentText(text);
                ASSERT_TRUE(Navigate(doc, "F:r E"));
                ASSERT_TRUE(doc.FindElement(name.c_str()));
                if (unended) {
                    ASSERT_TRUE(doc.FindElement(name.c_str()));
                }
                LeaveEarlierResult(doc);
                const Snapshot before(doc);
                const bool expected = edit != edits[3] && fits;
                EXPECT_EQ(edit(doc), expected);
                if (fits) {
                    EXPECT_EQ(in.Record(in.MainHandle()).EndTagLength(), 511);
                    ExpectSound(doc);
                } else {
                    EXPECT_TRUE(Snapshot(doc) == before);
                }
            }
        }
    }
}

TEST(RecordBounds, SubtreeWithTagsBeyondTheFields) {
    const std::u16string longName(600, u'l');
    const std::u16string hugeTag = u"<h" + std::u16string((1u << 20) - 4, u' ') + u"/>";
    const std::u16string texts[] = {
        u"<" + longName + u"></" + longName + u">",  // end tag of 603
        u"<x></" + longName + u"></x>",
        hugeTag,  // start tag of 2^20
        u"<x>" + hugeTag + u"</x>",
    };
    for (const std::u16string& text : texts) {
        CXmlDocument doc;
        doc.SetDocumentText(u"<r><a/></r>");
        ASSERT_TRUE(Navigate(doc, "F:r E F:a"));
        LeaveEarlierResult(doc);
        const Snapshot before(doc);
        EXPECT_FALSE(doc.AppendSubtree(text.c_str(), 0));
        EXPECT_TRUE(Snapshot(doc) == before);
    }
    // Just inside the bounds.
    const std::u16string fits[] = {
        u"<" + std::u16string(508, u'k') + u"></" + std::u16string(508, u'k') + u">",
        u"<h" + std::u16string((1u << 20) - 5, u' ') + u"/>",
    };
    for (const std::u16string& text : fits) {
        CXmlDocument doc;
        doc.SetDocumentText(u"<r><a/></r>");
        ASSERT_TRUE(Navigate(doc, "F:r E F:a"));
        EXPECT_TRUE(doc.AppendSubtree(text.c_str(), 0));
        ExpectSound(doc);
        EXPECT_TRUE(MatchesFreshParse(doc));
    }
}

TEST(RecordBounds, Levels) {
    // Records 1 .. 65536 nest, the last at level 65535.
    constexpr int32_t kDepth = 65536;
    std::u16string text;
    for (int32_t i = 0; i < kDepth; ++i) text += u"<a>";
    for (int32_t i = 0; i < kDepth; ++i) text += u"</a>";
    CXmlDocument doc;
    const XmlInternals in(doc);
    ASSERT_TRUE(doc.SetDocumentText(text));
    const ElementHandle deepest = kDepth;
    ASSERT_EQ(in.Record(deepest).Level(), kMaxLevel);

    auto at = [&](ElementHandle parent, ElementHandle main) { doc.SetPosition(parent, main, 0); };
    using Edit = bool (*)(CXmlDocument&);
    struct LevelCase {
        const char* label;
        ElementHandle parent, main;
        Edit edit;
        bool accepted;
    };
    const LevelCase cases[] = {
        {"element below the deepest", deepest, 0,
         [](CXmlDocument& d) { return d.AppendElement(u"n", nullptr, 0); }, false},
        {"element as child of the deepest", deepest - 1, deepest,
         [](CXmlDocument& d) { return d.AppendElement(u"n", u"v", EditAsChild); }, false},
        {"subtree below the deepest", deepest, 0,
         [](CXmlDocument& d) { return d.AppendSubtree(u"<n/>", 0); }, false},
        {"nested subtree reaching past the deepest level", deepest - 1, 0,
         [](CXmlDocument& d) { return d.AppendSubtree(u"<n><m/></n>", 0); }, false},
        {"sibling of the deepest", deepest - 1, deepest,
         [](CXmlDocument& d) { return d.AppendElement(u"n", nullptr, 0); }, true},
        {"subtree at the deepest level", deepest - 1, 0,
         [](CXmlDocument& d) { return d.AppendSubtree(u"<n/>", 0); }, true},
    };
    for (const LevelCase& c : cases) {
        SCOPED_TRACE(c.label);
        at(c.parent, c.main);
        const Snapshot before(doc);
        EXPECT_EQ(c.edit(doc), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(in.Record(in.MainHandle()).Level(), kMaxLevel);
            ExpectSound(doc);
        } else {
            EXPECT_TRUE(Snapshot(doc) == before);
        }
    }
}

// Allocation hook that fails every request while in scope.
class FailingAllocations {
  public:
    FailingAllocations() : saved_(ElementIndex::allocate) {
        ElementIndex::allocate = [](size_t) -> void* { return nullptr; };
    }
    ~FailingAllocations() { ElementIndex::allocate = saved_; }

  private:
    void* (*saved_)(size_t);
};

TEST(Memory, RecordThatCannotBeTakenChangesNothing) {
    // The parse sizes the index at 8 records; fill it to the brim.
    CXmlDocument doc;
    const XmlInternals in(doc);
    doc.SetDocumentText(u"<r></r>");
    ASSERT_TRUE(Navigate(doc, "F:r E"));
    ASSERT_EQ(in.Index().recordCapacity, 8);
    while (in.NextRecord() < 7) ASSERT_TRUE(doc.AppendElement(u"e", nullptr, EditNoLineBreaks));
    LeaveEarlierResult(doc);

    {
        // One record left: the subtree's temporary root takes it, its element cannot.
        FailingAllocations failing;
        const Snapshot before(doc);
        EXPECT_FALSE(doc.AppendSubtree(u"<x/>", 0));
        EXPECT_TRUE(Snapshot(doc) == before);
        EXPECT_FALSE(doc.AppendSubtree(u"<x><y/></x>", EditNoLineBreaks));
        EXPECT_TRUE(Snapshot(doc) == before);
        // A text without elements needs only the temporary root.
        EXPECT_FALSE(doc.AppendSubtree(u"text", 0));
        ExpectSound(doc);
        EXPECT_EQ(in.NextRecord(), 8);
    }
    ASSERT_EQ(in.NextRecord(), in.Index().recordCapacity);
    {
        FailingAllocations failing;
        const Snapshot before(doc);
        EXPECT_FALSE(doc.AppendElement(u"n", nullptr, 0));
        EXPECT_FALSE(doc.AppendElement(u"n", 5, EditAsChild | EditInsertBefore));
        EXPECT_FALSE(doc.AppendSubtree(u"<x/>", 0));
        EXPECT_FALSE(doc.AppendSubtree(u"", 0));
        EXPECT_TRUE(Snapshot(doc) == before);
        // Content replacement takes no record.
        ASSERT_TRUE(Navigate(doc, "F:e"));
        EXPECT_TRUE(doc.SetContent(in.MainHandle(), u"v", 0));
        ExpectSound(doc);
    }
    EXPECT_TRUE(doc.AppendSubtree(u"<x><y/></x>", 0));
    ExpectSound(doc);
    EXPECT_TRUE(MatchesFreshParse(doc));
}

TEST(Edits, TextBufferGrowsByHalfAgainPlus128) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    doc.SetDocumentText(u"<r></r>");
    ASSERT_EQ(in.DocumentText().capacity(), 7);
    ASSERT_TRUE(Navigate(doc, "F:r E"));
    ASSERT_TRUE(doc.AppendElement(u"n", nullptr, 0));  // 7 + 8 = 15 characters
    EXPECT_EQ(in.DocumentText().length(), 15);
    EXPECT_EQ(in.DocumentText().capacity(), 15 + 7 + 128);
    ASSERT_TRUE(doc.AppendElement(u"n", nullptr, 0));
    EXPECT_EQ(in.DocumentText().capacity(), 150);
    ExpectSound(doc);
}

}  // namespace

// The parser on any text: the index keeps every structural invariant, the verdict agrees with
// IsWellFormed, and parsing again into the same document (reusing its index) gives the same
// records. The block reads are checked against plain ones: every start tag ends where a
// reading a character at a time ends it, the lexer's nodes are the same wherever the text
// stands in memory, and the tags the parser reads on its own are the lexer's.
#include <map>

#include "fuzz/fuzz_support.h"
#include "support/xml_checker.h"

namespace {

bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

// The length of the start tag at `s`, the quoting of its values taken character by character;
// `empty` tells whether "/>" closes it.
int32_t PlainStartTagLength(const char16_t* t, int32_t s, bool& empty) {
    int32_t p = s + 1;
    while (t[p] && !IsSpace(t[p]) && t[p] != u'/' && t[p] != u'>') ++p;
    const int32_t nameEnd = p;
    bool armed = false;
    char16_t quote = 0, previous = 0;
    for (; t[p]; ++p) {
        const char16_t c = t[p];
        bool markup = true;
        if (quote) {
            if (c == quote) quote = 0;
            markup = false;
        } else if (c == u'=') {
            armed = !armed && previous != u'=';
        } else if (armed && (c == u'"' || c == u'\'')) {
            quote = c;
            armed = false;
            markup = false;
        } else if (armed && !IsSpace(c)) {
            armed = false;
        }
        previous = c;
        if (markup && c == u'>') break;
    }
    const char16_t before = p >= 2 ? t[p - 2] : 0;
    empty = p > nameEnd && t[p - 1] == u'/' &&
            (p - 1 == nameEnd || IsSpace(before) || before == u'"' || before == u'\'');
    return p + 1 - s;
}

struct Node {
    int32_t type, start, length;
    uint32_t flags;
    int32_t nameLength;
    CString message;
    bool operator==(const Node&) const = default;
};

std::vector<Node> Nodes(const char16_t* text) {
    TokenCursor cursor(text, 0);
    NodeToken token;
    std::vector<Node> nodes;
    while (XmlInternals::ScanNode(cursor, token) != NodeEnd) {
        nodes.push_back({token.type, token.start, token.length, token.flags,
                         token.type == NodeElement ? token.nameLength : 0,
                         token.type == NodeError ? token.name : CString()});
    }
    return nodes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::u16string text =
        fuzz::Widen(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::vector<Node> nodes = Nodes(text.c_str());
    for (size_t shift : {1, 7, 8, 31, 63}) {
        // Marks in front of the text, which the blocks read and must not take.
        const std::u16string moved = std::u16string(shift, u'=') + text;
        FUZZ_CHECK(Nodes(moved.c_str() + shift) == nodes, "nodes differ at another address");
    }
    // The parser reads tags on its own: its records against the lexer's nodes.
    std::vector<const Node*> startTags;
    std::map<int32_t, int32_t> endTags;
    for (const Node& node : nodes) {
        if (node.type == NodeElement) startTags.push_back(&node);
        if (node.type == NodeEndTag) endTags[node.start] = node.length;
    }
    for (uint32_t flags : {0u, uint32_t{DocIgnoreCase}}) {
        CXmlDocument doc;
        const XmlInternals in(doc);
        doc.SetIgnoreCase(flags & DocIgnoreCase);
        const bool wellFormed = doc.SetDocumentText(text);
        FUZZ_CHECK(wellFormed == doc.IsWellFormed(), fuzz::Narrow(in.ResultText()));
        FUZZ_CHECK(wellFormed || !in.ResultText().empty(), "ill-formed without a message");
        fuzz::CheckDocument(doc, "parse");
        FUZZ_CHECK(static_cast<size_t>(in.NextRecord() - 1) == startTags.size(), "records");
        for (ElementHandle h = 1; h < static_cast<ElementHandle>(in.NextRecord()); ++h) {
            const ElementRecord& r = in.Record(h);
            const Node& tag = *startTags[h - 1];
            FUZZ_CHECK(
                r.start == tag.start && r.StartTagLength() == tag.length &&
                    (tag.flags & TokenEmptyElement) ==
                        (r.EndTagLength() == 0 && !(r.flags & ElemUnended) ? TokenEmptyElement : 0),
                "record and start tag at " + std::to_string(tag.start));
            if (r.EndTagLength())
                FUZZ_CHECK(endTags[r.start + r.length - r.EndTagLength()] == r.EndTagLength(),
                           "record and end tag at " + std::to_string(r.start));
            bool empty = false;
            const int32_t length = PlainStartTagLength(in.DocumentText().c_str(), r.start, empty);
            FUZZ_CHECK(r.StartTagLength() == length, "start tag at " + std::to_string(r.start));
            FUZZ_CHECK(empty == (r.EndTagLength() == 0 && !(r.flags & ElemUnended)),
                       "empty element at " + std::to_string(r.start));
        }
        const std::string first = DumpRecords(doc);
        const CString message = in.ResultText();
        FUZZ_CHECK(doc.SetDocumentText(text) == wellFormed, "second parse, other verdict");
        fuzz::CheckDocument(doc, "second parse");
        FUZZ_CHECK(DumpRecords(doc) == first, "second parse, other records");
        FUZZ_CHECK(in.ResultText() == message, "second parse, other message");
    }
    return 0;
}

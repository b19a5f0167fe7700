#include "support/xml_checker.h"

#include <cstdio>
#include <sstream>
#include <vector>

#include "xml/internal/XmlInternals.h"

std::string Narrow(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Widen(std::string_view utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        uint32_t c = static_cast<unsigned char>(utf8[i]);
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra) c &= (0x3F >> extra);
        ++i;
        for (int k = 0; k < extra && i < utf8.size(); ++k, ++i)
            c = (c << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

static bool IsNameEnd(char16_t c) {
    return c == 0 || c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'/' || c == u'>';
}

std::u16string NameAt(const CXmlDocument& doc, ElementHandle handle) {
    const XmlInternals in(doc);
    const char16_t* text = in.DocumentText().c_str();
    int32_t p = in.Record(handle).start + 1;
    int32_t b = p;
    while (p < in.DocumentText().length() && !IsNameEnd(text[p])) ++p;
    return std::u16string(text + b, text + p);
}

testing::AssertionResult CheckStructure(const CXmlDocument& doc) {
    const XmlInternals in(doc);
    std::ostringstream err;
    auto fail = [&](ElementHandle h, const std::string& what) {
        return testing::AssertionFailure() << "record " << h << ": " << what;
    };
    const int32_t textLength = in.DocumentText().length();
    const char16_t* text = in.DocumentText().c_str();
    if (in.Index().recordCapacity < in.NextRecord()) return fail(0, "nextRecord > capacity");
    const ElementRecord& root = in.Record(0);
    if (root.start != 0 || root.StartTagLength() != 0 || root.Level() != 0)
        return fail(0, "document record not at 0 with level 0");
    if (root.length != textLength)
        return fail(0, "length " + std::to_string(root.length) + " != text length " +
                           std::to_string(textLength));
    if (in.MainHandle() != 0 && in.NodeType() != 1) return fail(in.MainHandle(), "nodeType not 1");
    if (in.MainHandle() == 0 && in.NodeType() != 0) return fail(0, "nodeType set without main");

    std::vector<uint8_t> seen(static_cast<size_t>(in.NextRecord()), 0);
    int32_t reached = 0;
    // Iterative walk: a stack of parents whose chains are to be checked.
    std::vector<ElementHandle> pending{0};
    while (!pending.empty()) {
        ElementHandle p = pending.back();
        pending.pop_back();
        const ElementRecord& pr = in.Record(p);
        const int32_t spanBegin = p ? pr.start + pr.StartTagLength() : 0;
        const int32_t spanEnd = p ? pr.start + pr.length - pr.EndTagLength() : textLength;
        ElementHandle first = pr.firstChild;
        if (!first) continue;
        ElementHandle prev = 0;
        int32_t cursor = spanBegin;
        for (ElementHandle c = first; c; c = in.Record(c).nextSibling) {
            if (c >= static_cast<ElementHandle>(in.NextRecord()))
                return fail(c, "handle out of range");
            if (seen[c]) return fail(c, "reached twice (cycle or shared)");
            seen[c] = 1;
            ++reached;
            const ElementRecord& r = in.Record(c);
            if (r.flags & (ElemReleased | ElemIllFormed))
                return fail(c, "released/illformed flag in tree");
            if (r.parent != p)
                return fail(c, "parent " + std::to_string(r.parent) + " != " + std::to_string(p));
            bool isFirst = c == first;
            if (isFirst != ((r.flags & ElemFirstChild) != 0))
                return fail(c, "ElemFirstChild wrong");
            if (!isFirst && r.prevSibling != prev) return fail(c, "prevSibling not predecessor");
            uint32_t level = p ? pr.Level() + 1 : in.Record(0).Level();
            if (p == 0) level = 0;
            if (r.Level() != level)
                return fail(c,
                            "level " + std::to_string(r.Level()) + " != " + std::to_string(level));
            if (r.start < cursor)
                return fail(c, "span overlaps predecessor or precedes parent content");
            if (r.length < 3 || r.StartTagLength() < 3 || r.StartTagLength() > r.length)
                return fail(c, "bad lengths");
            if (r.start + r.length > spanEnd) return fail(c, "span leaves parent content");
            if (text[r.start] != u'<') return fail(c, "span does not begin with <");
            std::u16string name = NameAt(doc, c);
            if (name.empty()) return fail(c, "no name");
            if (text[r.start + r.StartTagLength() - 1] != u'>')
                return fail(c, "start tag does not end with >");
            const int32_t etl = r.EndTagLength();
            if (etl == 0) {
                if (r.length != r.StartTagLength())
                    return fail(c, "no end tag but length != start tag");
                if (r.firstChild) return fail(c, "element without content has children");
                bool unended = (r.flags & ElemUnended) != 0;
                if (!unended && text[r.start + r.length - 2] != u'/')
                    return fail(c, "empty element tag without />");
            } else {
                if (r.flags & ElemUnended) return fail(c, "unended with end tag");
                int32_t e = r.start + r.length - etl;
                if (e < r.start + r.StartTagLength()) return fail(c, "end tag overlaps start tag");
                if (text[e] != u'<' || text[e + 1] != u'/' || text[r.start + r.length - 1] != u'>')
                    return fail(c, "end tag not </...>");
            }
            cursor = r.start + r.length;
            prev = c;
            pending.push_back(c);
        }
        if (in.Record(first).prevSibling != prev)
            return fail(first, "first child's prevSibling not last child");
    }
    int32_t released = 0;
    for (ElementHandle h = in.ReleasedHead(); h; h = in.Record(h).nextSibling) {
        if (h >= static_cast<ElementHandle>(in.NextRecord()) || seen[h])
            return fail(h, "bad released list");
        seen[h] = 1;
        if (in.Record(h).flags != ElemReleased) return fail(h, "released flags");
        ++released;
    }
    if (reached + released != in.NextRecord() - 1)
        return fail(0, "records in use " + std::to_string(in.NextRecord() - 1) + " but " +
                           std::to_string(reached) + " reachable and " + std::to_string(released) +
                           " released");
    if (in.MainHandle()) {
        if (in.MainHandle() >= static_cast<ElementHandle>(in.NextRecord()) ||
            !seen[in.MainHandle()])
            return fail(in.MainHandle(), "main position not an element in the tree");
        if (in.Record(in.MainHandle()).parent != in.ParentHandle())
            return fail(in.MainHandle(), "parentHandle is not main's parent");
    }
    return testing::AssertionSuccess();
}

std::string DumpRecord(const CXmlDocument& doc, ElementHandle h) {
    return XmlInternals::RecordLine(doc, h);
}

std::string DumpRecords(const CXmlDocument& doc) {
    std::string out;
    for (int32_t h = 1; h < XmlInternals(doc).NextRecord(); ++h) {
        if (!out.empty()) out += "\n";
        out += DumpRecord(doc, static_cast<ElementHandle>(h));
    }
    return out;
}

std::vector<ElementHandle> DocumentOrder(const CXmlDocument& doc) {
    const XmlInternals in(doc);
    std::vector<ElementHandle> out;
    ElementHandle h = in.Record(0).firstChild;
    while (h && out.size() < static_cast<size_t>(in.NextRecord())) {
        out.push_back(h);
        const ElementRecord& r = in.Record(h);
        if (r.firstChild) {
            h = r.firstChild;
            continue;
        }
        while (h && !in.Record(h).nextSibling) h = in.Record(h).parent;
        if (h) h = in.Record(h).nextSibling;
    }
    return out;
}

testing::AssertionResult MatchesFreshParse(const CXmlDocument& doc) {
    const std::string difference = doc.IndexDifference();
    if (difference.empty()) return testing::AssertionSuccess();
    return testing::AssertionFailure() << difference;
}

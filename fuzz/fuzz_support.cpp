#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>

#include "support/xml_checker.h"

namespace fuzz {

void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::u16string Widen(std::string_view bytes) {
    return ::Widen(bytes);
}

std::string Narrow(std::u16string_view text) {
    return ::Narrow(text);
}

std::string_view Reader::UntilZero() {
    const size_t begin = at_;
    while (at_ < size_ && data_[at_] != 0) ++at_;
    std::string_view piece(reinterpret_cast<const char*>(data_ + begin), at_ - begin);
    if (at_ < size_) ++at_;
    return piece;
}

std::string_view Reader::Counted() {
    size_t n = Byte();
    if (n > size_ - at_) n = size_ - at_;
    std::string_view piece(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return piece;
}

std::string StructureError(const CXmlDocument& doc) {
    const testing::AssertionResult result = CheckStructure(doc);
    return result ? std::string() : std::string(result.message());
}

std::vector<ElementHandle> DocumentOrder(const CXmlDocument& doc) {
    std::vector<ElementHandle> out;
    ElementHandle h = doc.RecordAt(0).firstChild;
    while (h && out.size() < static_cast<size_t>(doc.nextRecord)) {
        out.push_back(h);
        const ElementRecord& r = doc.RecordAt(h);
        if (r.firstChild) {
            h = r.firstChild;
            continue;
        }
        while (h && !doc.RecordAt(h).nextSibling) h = doc.RecordAt(h).parent;
        if (h) h = doc.RecordAt(h).nextSibling;
    }
    return out;
}

std::string FreshParseDifference(const CXmlDocument& doc) {
    CXmlDocument fresh;
    if (!fresh.SetDocumentText(doc.documentText.view()))
        return "fresh parse fails: " + Narrow(fresh.resultText);
    const std::vector<ElementHandle> a = DocumentOrder(doc);
    const std::vector<ElementHandle> b = DocumentOrder(fresh);
    if (a.size() != b.size())
        return std::to_string(a.size()) + " elements, fresh parse " + std::to_string(b.size());
    // Handle -> place in document order, so that links compare across the two indexes.
    std::vector<int64_t> orderA(static_cast<size_t>(doc.nextRecord), -2);
    std::vector<int64_t> orderB(static_cast<size_t>(fresh.nextRecord), -2);
    orderA[0] = orderB[0] = -1;
    for (size_t i = 0; i < a.size(); ++i) orderA[a[i]] = orderB[b[i]] = static_cast<int64_t>(i);
    const uint32_t kept = ElemLevelMask | ElemFirstChild | ElemUnended;
    for (size_t i = 0; i < a.size(); ++i) {
        const ElementRecord& x = doc.RecordAt(a[i]);
        const ElementRecord& y = fresh.RecordAt(b[i]);
        if (x.start != y.start || x.length != y.length || x.tagLengths != y.tagLengths ||
            (x.flags & kept) != (y.flags & kept) || orderA[x.parent] != orderB[y.parent] ||
            orderA[x.firstChild] != orderB[y.firstChild] ||
            orderA[x.nextSibling] != orderB[y.nextSibling] ||
            orderA[x.prevSibling] != orderB[y.prevSibling])
            return "element " + std::to_string(i) + ": edited " + DumpRecord(doc, a[i]) +
                   ", fresh " + DumpRecord(fresh, b[i]);
    }
    return {};
}

namespace {

bool IsNameChar(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'_' || c == u':' || c == u'-' || c == u'.' || c >= 0x80;
}

bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

size_t NameEnd(std::u16string_view t, size_t i) {
    while (i < t.size() && IsNameChar(t[i])) ++i;
    return i;
}

}  // namespace

bool PlainTags(const CXmlDocument& doc) {
    const std::u16string_view text = doc.documentText.view();
    for (ElementHandle h : DocumentOrder(doc)) {
        const ElementRecord& r = doc.RecordAt(h);
        const std::u16string_view tag =
            text.substr(static_cast<size_t>(r.start), static_cast<size_t>(r.StartTagLength()));
        if (tag.size() < 3 || tag[0] != u'<') return false;
        const size_t nameEnd = NameEnd(tag, 1);
        if (nameEnd == 1) return false;
        const std::u16string_view name = tag.substr(1, nameEnd - 1);
        size_t i = nameEnd;
        for (;;) {
            const size_t spaceStart = i;
            while (i < tag.size() && IsSpace(tag[i])) ++i;
            if (i < tag.size() && IsNameChar(tag[i]) && i > spaceStart) {
                i = NameEnd(tag, i);
                while (i < tag.size() && IsSpace(tag[i])) ++i;
                if (i >= tag.size() || tag[i] != u'=') return false;
                ++i;
                while (i < tag.size() && IsSpace(tag[i])) ++i;
                if (i >= tag.size() || (tag[i] != u'"' && tag[i] != u'\'')) return false;
                const size_t close = tag.find(tag[i], i + 1);
                if (close == std::u16string_view::npos ||
                    tag.substr(i, close - i).find(u'<') != std::u16string_view::npos)
                    return false;
                i = close + 1;
                continue;
            }
            break;
        }
        const std::u16string_view rest = tag.substr(i);
        if (rest != u">" && rest != u"/>") return false;
        if (r.EndTagLength() == 0) {
            if (rest != u"/>") return false;
            continue;
        }
        const std::u16string_view end =
            text.substr(static_cast<size_t>(r.start + r.length - r.EndTagLength()),
                        static_cast<size_t>(r.EndTagLength()));
        if (end.substr(0, 2) != u"</" || end.substr(2, name.size()) != name) return false;
        for (size_t k = 2 + name.size(); k + 1 < end.size(); ++k)
            if (!IsSpace(end[k])) return false;
    }
    return true;
}

CString AttributeOf(CXmlDocument& doc, ElementHandle handle, const char16_t* name) {
    const ElementHandle parent = doc.parentHandle, main = doc.mainHandle, child = doc.childHandle;
    const int32_t type = doc.nodeType;
    doc.parentHandle = doc.RecordAt(handle).parent;
    doc.mainHandle = handle;
    doc.childHandle = 0;
    doc.nodeType = NodeElement;
    CString value = doc.GetAttribute(name);
    doc.parentHandle = parent;
    doc.mainHandle = main;
    doc.childHandle = child;
    doc.nodeType = type;
    return value;
}

void CheckDocument(const CXmlDocument& doc, const char* after) {
    const std::string error = StructureError(doc);
    if (!error.empty()) {
        Fail(std::string("structure after ") + after + ": " + error +
             "\ntext: " + Narrow(doc.documentText.view()) + "\nrecords:\n" + DumpRecords(doc));
    }
}

}  // namespace fuzz

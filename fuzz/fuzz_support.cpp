#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>

#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"

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
    const XmlInternals in(doc);
    const std::u16string_view text = in.DocumentText().view();
    for (ElementHandle h : DocumentOrder(doc)) {
        const ElementRecord& r = in.Record(h);
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
    const XmlInternals in(doc);
    const ElementHandle parent = in.ParentHandle(), main = in.MainHandle(),
                        child = in.ChildHandle();
    doc.SetPosition(in.Record(handle).parent, handle, 0);
    CString value = doc.GetAttribute(name);
    doc.SetPosition(parent, main, child);
    return value;
}

void CheckDocument(const CXmlDocument& doc, const char* after) {
    const std::string error = StructureError(doc);
    if (!error.empty()) {
        Fail(std::string("structure after ") + after + ": " + error + "\ntext: " +
             Narrow(XmlInternals(doc).DocumentText().view()) + "\nrecords:\n" + DumpRecords(doc));
    }
}

}  // namespace fuzz

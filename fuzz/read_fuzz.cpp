// Attribute reading and DecodeText on any document. Input: the document text, a 0 byte, then
// attribute names separated by 0 bytes. Every read stays inside the text; DecodeText agrees
// with an independent decoder written from the rules (wcstol of the C runtime for numbers).
#include <cwchar>

#include "fuzz/fuzz_support.h"

namespace {

std::u16string ReferenceDecode(const char16_t* text, int32_t length) {
    static const struct {
        std::u16string_view name;
        char16_t character;
    } kEntities[] = {
        {u"lt;", u'<'}, {u"amp;", u'&'}, {u"gt;", u'>'}, {u"apos;", u'\''}, {u"quot;", u'"'}};
    std::u16string out;
    const std::u16string_view span(text, static_cast<size_t>(length));
    for (size_t i = 0; i < span.size();) {
        if (span[i] != u'&') {
            out += span[i++];
            continue;
        }
        if (i + 1 < span.size() && span[i + 1] == u'#') {
            size_t digits = i + 2;
            int base = 10;
            if (digits < span.size() && span[digits] == u'x') {
                base = 16;
                ++digits;
            }
            size_t semicolon = std::u16string_view::npos;
            for (size_t k = digits; k < span.size() && k < digits + 8 && span[k]; ++k) {
                if (span[k] == u';') {
                    semicolon = k;
                    break;
                }
            }
            if (semicolon != std::u16string_view::npos) {
                std::wstring between(span.begin() + static_cast<std::ptrdiff_t>(digits),
                                     span.begin() + static_cast<std::ptrdiff_t>(semicolon));
                const long value = std::wcstol(between.c_str(), nullptr, base);
                if (static_cast<int32_t>(value) != 0) {
                    out += static_cast<char16_t>(value & 0xFFFF);
                    i = semicolon + 1;
                    continue;
                }
            }
            out += span[i++];
            continue;
        }
        bool replaced = false;
        for (const auto& e : kEntities) {
            if (span.substr(i + 1).starts_with(e.name)) {
                out += e.character;
                i += 1 + e.name.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) out += span[i++];
    }
    return out;
}

void CheckDecode(const char16_t* text, int32_t length) {
    const CString decoded = CXmlDocument::DecodeText(text, length);
    FUZZ_CHECK(decoded.size() <= static_cast<size_t>(length > 0 ? length : 0), "decode grew");
    const std::u16string expected = length > 0 ? ReferenceDecode(text, length) : u"";
    FUZZ_CHECK(decoded == expected,
               "decoded \"" + fuzz::Narrow(decoded) + "\", expected \"" + fuzz::Narrow(expected) +
                   "\" from \"" + fuzz::Narrow(std::u16string_view(text, length > 0 ? length : 0)) +
                   "\"");
}

bool IsWhitespace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    CXmlDocument doc;
    if (size & 1) doc.SetIgnoreCase(true);
    doc.SetDocumentText(fuzz::Widen(in.UntilZero()));
    std::vector<std::u16string> names;
    while (!in.empty() && names.size() < 16) names.push_back(fuzz::Widen(in.UntilZero()));
    names.push_back(u"name");

    const char16_t* text = XmlInternals(doc).DocumentText().c_str();
    const int32_t textLength = XmlInternals(doc).DocumentText().length();
    // DecodeText on spans of the text: every start, a few lengths.
    for (int32_t start = 0; start < textLength && start < 512; ++start) {
        for (int32_t length : {0, 1, 3, 9, 17, textLength - start}) {
            if (length <= textLength - start) CheckDecode(text + start, length);
        }
    }

    const bool plain = fuzz::PlainTags(doc);
    for (ElementHandle h : fuzz::DocumentOrder(doc)) {
        const ElementRecord& r = XmlInternals(doc).Record(h);
        const CString name = doc.GetElementName(h);
        // Attributes are read only while the cursor stands on an element.
        doc.SetPosition(r.parent, h, 0);
        FUZZ_CHECK(name.size() < static_cast<size_t>(r.StartTagLength()), "name longer than tag");
        for (const std::u16string& attribute : names) {
            const CString value = doc.GetElementAttribute(h, attribute.c_str());
            // The attribute scan may run on past an odd start tag (such as "<n=>"), never
            // past the text; with plain tags it stays inside the tag.
            FUZZ_CHECK(value.size() <= static_cast<size_t>(textLength - r.start),
                       "value longer than the text");
            if (plain)
                FUZZ_CHECK(value.size() < static_cast<size_t>(r.StartTagLength()),
                           "value longer than its tag");
        }
        // The subtree text is the element's span and at most the whitespace after it.
        const CString subtree = doc.GetElementSubtreeText(h);
        const std::u16string_view span(text + r.start, static_cast<size_t>(r.length));
        FUZZ_CHECK(std::u16string_view(subtree).substr(0, span.size()) == span, "subtree text");
        for (size_t k = span.size(); k < subtree.size(); ++k)
            FUZZ_CHECK(IsWhitespace(subtree[k]), "subtree text ends in more than whitespace");
    }

    // The cursor's reads agree with the handle-based ones along a walk.
    doc.SetPosition(0, 0, 0);
    for (int steps = 0; steps < 256; ++steps) {
        if (doc.FindElement(nullptr)) {
            for (const std::u16string& attribute : names)
                FUZZ_CHECK(
                    doc.GetAttribute(attribute.c_str()) ==
                        doc.GetElementAttribute(XmlInternals(doc).MainHandle(), attribute.c_str()),
                    "GetAttribute");
            FUZZ_CHECK(
                doc.GetSubtreeText() == doc.GetElementSubtreeText(XmlInternals(doc).MainHandle()),
                "GetSubtreeText");
            if (steps % 3 == 0) doc.EnterElement();
        } else if (!doc.LeaveElement()) {
            break;
        }
        fuzz::CheckDocument(doc, "navigation");
    }
    return 0;
}

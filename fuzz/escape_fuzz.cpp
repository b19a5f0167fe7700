// EscapeText and WrapCdata against DecodeText and the parser. Input: a flag byte, then the
// value. The escaped value decodes back to the value (to what the value itself decodes to
// when references are kept); the CDATA form read back section by section is the value; both
// forms, set as an element's content, leave a well-formed document whose fresh parse agrees.
#include "fuzz/fuzz_support.h"

namespace {

// The content of every CDATA section of `text`, joined.
std::u16string Unwrap(const std::u16string& text) {
    std::u16string out;
    TokenCursor cursor(text.c_str(), 0);
    NodeToken token;
    for (;;) {
        const int32_t type = XmlInternals::ScanNode(cursor, token);
        if (type == NodeEnd || type == NodeError) break;
        FUZZ_CHECK(type == NodeCData, "a CDATA form holds " + std::to_string(type));
        out.append(text, static_cast<size_t>(token.start) + 9,
                   static_cast<size_t>(token.length) - 12);
    }
    FUZZ_CHECK(cursor.next == static_cast<int32_t>(text.size()), "CDATA form not read to its end");
    return out;
}

CString Decode(const std::u16string& text) {
    return CXmlDocument::DecodeText(text.c_str(), static_cast<int32_t>(text.size()));
}

// Sets the value as the content of a lone element and checks the result.
void CheckAsContent(const std::u16string& value, uint32_t flags, const CString& expected) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    FUZZ_CHECK(doc.SetDocumentText(u"<v/>"), "parse");
    FUZZ_CHECK(doc.SetContent(1, value.c_str(), flags), "SetContent refused");
    fuzz::CheckDocument(doc, "SetContent");
    FUZZ_CHECK(doc.IsWellFormed(), "content spoils the document");
    const std::string difference = doc.IndexDifference();
    FUZZ_CHECK(difference.empty(), difference);
    const ElementRecord& r = in.Record(1);
    FUZZ_CHECK(r.firstChild == 0, "content holds an element");
    const int32_t contentStart = r.start + r.StartTagLength();
    const std::u16string content(in.DocumentText().view().substr(
        static_cast<size_t>(contentStart),
        static_cast<size_t>(r.length - r.StartTagLength() - r.EndTagLength())));
    FUZZ_CHECK(content == expected, "content \"" + fuzz::Narrow(content) + "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // Bits other than these two are ignored by EscapeText: let the input set them.
    const uint32_t flags = data[0] | (static_cast<uint32_t>(data[0]) << 8);
    std::u16string value =
        fuzz::Widen(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    value = value.substr(0, value.find(u'\0'));  // the operations read up to the terminator

    const bool keep = (flags & EditKeepReferences) != 0;
    const bool quotes = (flags & EditEscapeQuotes) != 0;
    const CString escaped = CXmlDocument::EscapeText(value.c_str(), flags);
    FUZZ_CHECK(escaped.find_first_of(u"<>") == CString::npos, "markup left unescaped");
    if (quotes) FUZZ_CHECK(escaped.find_first_of(u"'\"") == CString::npos, "quote left");
    if (!quotes)
        FUZZ_CHECK(escaped == CXmlDocument::EscapeText(value.c_str(), flags | EditEscapeQuotes) ||
                       value.find_first_of(u"'\"") != std::u16string::npos,
                   "quotes flag changed a value without quotes");
    if (keep) {
        // Numeric references decode through wcstol, which takes what the keep test refuses
        // (signs, spaces, junk before the ";"): only named ones compare.
        if (value.find(u"&#") == std::u16string::npos)
            FUZZ_CHECK(Decode(escaped) == Decode(value), "kept references decode otherwise");
        if (value.find(u'&') == std::u16string::npos)
            FUZZ_CHECK(
                escaped == CXmlDocument::EscapeText(value.c_str(), flags & ~EditKeepReferences),
                "keeping references changed a value without '&'");
    } else {
        FUZZ_CHECK(Decode(escaped) == value,
                   "escaped value decodes to \"" + fuzz::Narrow(Decode(escaped)) + "\"");
    }

    const CString wrapped = CXmlDocument::WrapCdata(value.c_str());
    FUZZ_CHECK(wrapped.starts_with(u"<![CDATA[") && wrapped.ends_with(u"]]>"), "CDATA form");
    FUZZ_CHECK(Unwrap(wrapped) == value,
               "CDATA form reads back as \"" + fuzz::Narrow(Unwrap(wrapped)) + "\"");

    CheckAsContent(value, flags & ~EditCdata, escaped);
    CheckAsContent(value, flags | EditCdata, wrapped);
    return 0;
}

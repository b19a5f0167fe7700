// Turning caller values into text that can be spliced into a document: entity escaping and
// CDATA sections.
#include "xml/XmlDocument.h"

namespace {

struct Entity {
    char16_t character;
    const char16_t* text;
    size_t length;
};

// The escaped set is a prefix: the first three rows by default, all five with quotes.
constexpr Entity kEntityTable[] = {
    {u'<', u"&lt;", 4},    {u'&', u"&amp;", 5},  {u'>', u"&gt;", 4},
    {u'\'', u"&apos;", 6}, {u'"', u"&quot;", 6},
};
constexpr size_t kReserve = 6;  // the longest replacement

inline bool IsAsciiLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

inline bool StartsReference(char16_t c) {
    return IsAsciiLetter(c) || c == u'#' || c == u'_' || c == u':' || c >= 0x80;
}

inline bool ContinuesReference(char16_t c) {
    return IsAsciiLetter(c) || (c >= u'0' && c <= u'9') || c == u'_' || c == u':' || c == u'-' ||
           c == u'.' || c >= 0x80;
}

// Length of the reference "&...;" at `p`, or 0 when there is none.
size_t ReferenceLength(const char16_t* p) {
    if (!StartsReference(p[1])) return 0;
    size_t k = 2;
    while (p[k] != u';') {
        if (!ContinuesReference(p[k])) return 0;
        ++k;
    }
    return k + 1;
}

}  // namespace

CString CXmlDocument::EscapeText(const char16_t* text, uint32_t flags) {
    CString out;
    if (!text) return out;
    const size_t escaped = (flags & EditEscapeQuotes) ? 5 : 3;
    const bool keepReferences = (flags & EditKeepReferences) != 0;
    const size_t n = std::char_traits<char16_t>::length(text);

    size_t room = n + n / 10 + 7;
    out.resize(room);
    size_t used = 0;
    auto grow = [&](size_t needed) {
        if (used + needed <= room) return;
        while (used + needed > room) room *= 4;
        out.resize(room);
    };

    for (const char16_t* p = text; *p;) {
        grow(kReserve);
        const char16_t c = *p;
        size_t row = 0;
        while (row < escaped && kEntityTable[row].character != c) ++row;
        if (row == escaped) {
            out[used++] = c;
            ++p;
            continue;
        }
        if (c == u'&' && keepReferences) {
            if (size_t k = ReferenceLength(p)) {
                grow(k);
                std::char_traits<char16_t>::copy(out.data() + used, p, k);
                used += k;
                p += k;
                continue;
            }
        }
        const Entity& e = kEntityTable[row];
        std::char_traits<char16_t>::copy(out.data() + used, e.text, e.length);
        used += e.length;
        ++p;
    }
    out.resize(used);
    return out;
}

CString CXmlDocument::WrapCdata(const char16_t* text) {
    static constexpr char16_t kOpen[] = u"<![CDATA[";
    static constexpr char16_t kSplit[] = u"]]]]><![CDATA[>";
    static constexpr char16_t kClose[] = u"]]>";
    std::u16string_view value = text ? std::u16string_view(text) : std::u16string_view();

    CString out;
    out.reserve(value.size() + 12);
    out += kOpen;
    size_t from = 0;
    for (size_t at; (at = value.find(kClose, from)) != std::u16string_view::npos; from = at + 3) {
        out.append(value.substr(from, at - from));
        out += kSplit;
    }
    out.append(value.substr(from));
    out += kClose;
    return out;
}

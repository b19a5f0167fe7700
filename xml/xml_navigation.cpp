// Navigation over the element index and reading of names, attributes and subtree text. Every
// read scans documentText in place and allocates only its result.
#include "xml/internal/XmlInternals.h"

namespace {

inline bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

// A handle that names a record handed out by the last parse or edit and not released. Handle 0
// (the document record) passes: callers that need an element test for it themselves.
bool IsLiveRecord(const CXmlDocument& doc, ElementHandle handle) {
    const XmlInternals in(doc);
    const int32_t capacity = in.Index().recordCapacity;
    if (capacity <= 0 || handle >= static_cast<uint32_t>(in.NextRecord()) ||
        handle >= static_cast<uint32_t>(capacity))
        return false;
    return in.Record(handle).flags != ElemReleased;
}

bool IsLiveElement(const CXmlDocument& doc, ElementHandle handle) {
    return handle != 0 && IsLiveRecord(doc, handle);
}

// The start tag is scanned from one past its "<"; a record pointing outside the text is not.
bool StartInText(const CXmlDocument& doc, const ElementRecord& r) {
    return r.start >= 0 && r.start < doc.DocumentText().length();
}

// Characters that may continue an unquoted token inside a start tag. After "=" only whitespace
// and ">" end a value, so "/", "?" and "=" belong to it.
inline bool EndsAttributeToken(char16_t c, bool afterEquals) {
    if (c == 0 || IsSpace(c) || c == u'>') return true;
    return !afterEquals && (c == u'=' || c == u'/' || c == u'?');
}

inline int DigitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 99;
}

// Converts [p, end) as wcstol does in the C locale; conversion stops at the first character
// that is not a digit of the base. The span holds at most seven characters, so no overflow.
int32_t ParseLong(const char16_t* p, const char16_t* end, int base) {
    while (p < end && (IsSpace(*p) || *p == u'\v' || *p == u'\f')) ++p;
    bool negative = false;
    if (p < end && (*p == u'+' || *p == u'-')) negative = *p++ == u'-';
    // wcstol accepts a "0x" prefix in base 16 when a hex digit follows it.
    if (base == 16 && end - p >= 3 && p[0] == u'0' && (p[1] == u'x' || p[1] == u'X') &&
        DigitValue(p[2]) < 16)
        p += 2;
    int32_t value = 0;
    for (; p < end; ++p) {
        int d = DigitValue(*p);
        if (d >= base) break;
        value = value * base + d;
    }
    return negative ? -value : value;
}

struct NamedEntity {
    const char16_t* name;  // text after "&", ";" included
    int32_t length;
    char16_t character;
};

// Tried in this order.
constexpr NamedEntity kEntities[] = {
    {u"lt;", 3, u'<'},    {u"amp;", 4, u'&'},  {u"gt;", 3, u'>'},
    {u"apos;", 5, u'\''}, {u"quot;", 5, u'"'},
};

}  // namespace

bool CXmlDocument::FindElement(const char16_t* name) {
    if (elementIndex.recordCapacity == 0) return false;
    ElementHandle found = FindNamedElement(parentHandle, mainHandle, name);
    if (!found) return false;
    mainHandle = found;
    parentHandle = RecordAt(found).parent;
    childHandle = 0;
    nodeType = NodeElement;
    return true;
}

ElementHandle CXmlDocument::FindNamedElement(ElementHandle parent, ElementHandle after,
                                             const char16_t* name) const {
    if (!IsLiveRecord(*this, parent) || !IsLiveRecord(*this, after)) return 0;
    ElementHandle candidate = after ? RecordAt(after).nextSibling : RecordAt(parent).firstChild;
    if (!name || !*name) return candidate;

    TokenCursor cursor(documentText.c_str(), documentFlags);
    for (; candidate; candidate = RecordAt(candidate).nextSibling) {
        const ElementRecord& r = RecordAt(candidate);
        if (!StartInText(*this, r)) continue;
        cursor.next = r.start + 1;
        if (NextToken(cursor) && TokenMatches(cursor, name)) return candidate;
    }
    return 0;
}

bool CXmlDocument::EnterElement() {
    if (mainHandle == 0 || nodeType != NodeElement) return false;
    parentHandle = mainHandle;
    mainHandle = childHandle;
    childHandle = 0;
    nodeType = mainHandle ? NodeElement : 0;
    return true;
}

bool CXmlDocument::LeaveElement() {
    if (!IsLiveElement(*this, parentHandle)) return false;
    const ElementHandle grandparent = RecordAt(parentHandle).parent;
    childHandle = mainHandle;
    mainHandle = parentHandle;
    parentHandle = grandparent;
    nodeType = NodeElement;
    return true;
}

void CXmlDocument::ResetPosition() {
    mainHandle = 0;
    childHandle = 0;
    nodeType = 0;
}

void CXmlDocument::SetPosition(ElementHandle parent, ElementHandle main, ElementHandle child) {
    parentHandle = parent;
    mainHandle = main;
    childHandle = child;
    nodeType = main ? NodeElement : 0;
}

void CXmlDocument::SetIgnoreCase(bool ignore) {
    documentFlags = ignore ? documentFlags | DocIgnoreCase : documentFlags & ~DocIgnoreCase;
}

bool CXmlDocument::IgnoresCase() const {
    return (documentFlags & DocIgnoreCase) != 0;
}

ElementHandle CXmlDocument::FirstChild(ElementHandle parent) const {
    return IsLiveRecord(*this, parent) ? RecordAt(parent).firstChild : 0;
}

ElementHandle CXmlDocument::NextSibling(ElementHandle element) const {
    return IsLiveElement(*this, element) ? RecordAt(element).nextSibling : 0;
}

bool CXmlDocument::IsNamed(ElementHandle element, const char16_t* name) const {
    if (!IsLiveElement(*this, element)) return false;
    const ElementRecord& r = RecordAt(element);
    if (!StartInText(*this, r)) return false;
    TokenCursor cursor(documentText.c_str(), documentFlags);
    cursor.next = r.start + 1;
    return NextToken(cursor) && TokenMatches(cursor, name);
}

int32_t CXmlDocument::ElementOffset(ElementHandle element) const {
    return IsLiveElement(*this, element) ? RecordAt(element).start : -1;
}

ElementForm CXmlDocument::GetElementForm(ElementHandle element) const {
    if (!IsLiveElement(*this, element)) return ElementForm::Content;
    const ElementRecord& r = RecordAt(element);
    if (r.flags & ElemUnended) return ElementForm::Content;
    if (r.StartTagLength() == r.length) return ElementForm::EmptyTag;
    if (r.length == r.StartTagLength() + r.EndTagLength()) return ElementForm::NoContent;
    return ElementForm::Content;
}

int32_t CXmlDocument::AttributeOffset(ElementHandle element, const char16_t* name) const {
    if (!name || !IsLiveElement(*this, element)) return -1;
    const ElementRecord& r = RecordAt(element);
    if (!StartInText(*this, r)) return -1;
    TokenCursor cursor(documentText.c_str(), documentFlags);
    cursor.next = r.start + 1;
    return FindAttributeToken(cursor, name) ? cursor.nameStart : -1;
}

namespace {

// GetElementAttribute's read of `name` in a copy of a start tag; false when the read ran to
// the end of the copy, where the document goes on with other text.
bool ReadInTag(const CXmlDocument& doc, const CString& tag, const char16_t* name, uint32_t flags,
               CString& value) {
    // "=" is never taken for an attribute name: this scan runs to where the read would stop.
    TokenCursor probe(tag.c_str(), flags);
    probe.next = 1;
    XmlInternals::FindAttributeToken(doc, probe, u"=");
    if (probe.next >= static_cast<int32_t>(tag.size())) return false;
    TokenCursor cursor(tag.c_str(), flags);
    cursor.next = 1;
    value.clear();
    if (XmlInternals::FindAttributeToken(doc, cursor, name))
        value = CXmlDocument::DecodeText(tag.c_str() + cursor.nameStart,
                                         cursor.nameEnd - cursor.nameStart + 1);
    return true;
}

}  // namespace

bool CXmlDocument::GetStableAttribute(ElementHandle element, const char16_t* name,
                                      CString& value) const {
    value.clear();
    if (!name || !IsLiveElement(*this, element)) return false;
    const ElementRecord& r = RecordAt(element);
    if (!StartInText(*this, r)) return false;
    const char16_t* text = documentText.c_str();
    const int32_t length = r.StartTagLength();
    // Mostly the value is read before the tag's end, and before the "/" that opening up an
    // empty-element tag would remove: then nothing around the tag can change the read.
    const bool content = length != r.length;
    if (content || (!(r.flags & ElemUnended) && length >= 3)) {
        TokenCursor cursor(text, documentFlags);
        cursor.next = r.start + 1;
        if (FindAttributeToken(cursor, name) &&
            cursor.next < r.start + length - (content ? 0 : 2)) {
            value = DecodeText(text + cursor.nameStart, cursor.nameEnd - cursor.nameStart + 1);
            return true;
        }
    }
    CString tag(text + r.start, static_cast<size_t>(length));
    if (!ReadInTag(*this, tag, name, documentFlags, value)) return false;
    if (length != r.length) return true;
    // An empty-element tag is opened up when it takes content: its "/" goes.
    if ((r.flags & ElemUnended) || length < 3) return false;
    tag.erase(static_cast<size_t>(length) - 2, 1);
    CString opened;
    return ReadInTag(*this, tag, name, documentFlags, opened) && opened == value;
}

CString CXmlDocument::GetAttribute(const char16_t* name) const {
    return GetElementAttribute(mainHandle, name);
}

CString CXmlDocument::GetElementAttribute(ElementHandle handle, const char16_t* name) const {
    if (!name || nodeType != NodeElement || !IsLiveElement(*this, handle)) return CString();
    const ElementRecord& r = RecordAt(handle);
    if (!StartInText(*this, r)) return CString();
    TokenCursor cursor(documentText.c_str(), documentFlags);
    cursor.next = r.start + 1;
    if (!FindAttributeToken(cursor, name)) return CString();
    return DecodeText(cursor.text + cursor.nameStart, cursor.nameEnd - cursor.nameStart + 1);
}

bool CXmlDocument::FindAttributeToken(TokenCursor& cursor, const char16_t* name) const {
    const char16_t* t = cursor.text;
    bool matched = false;
    int32_t matchedEnd = -1;
    bool tagNamePassed = false;
    bool afterEquals = false;  // the token being read follows an "="
    bool equalsKept = false;   // an "=" was just read: the next token is a value

    // The matched attribute has no value of its own and reads as its name.
    auto nameAsValue = [&]() {
        cursor.nameStart = cursor.markOffset + cursor.markLength;
        cursor.nameEnd = matchedEnd;
        cursor.next = matchedEnd + 1;
        return true;
    };

    for (;;) {
        afterEquals = equalsKept;
        equalsKept = false;

        // Where this token's scan began, and the whitespace before it.
        const int32_t cycleStart = cursor.next;
        int32_t p = cycleStart;
        if (!SkipWhitespace(t, p)) break;
        const int32_t skipped = p - cycleStart;

        // A quoted string runs to the same quote; anything else up to a delimiter, or is the
        // delimiter itself.
        const char16_t first = t[p];
        const bool quoted = first == u'"' || first == u'\'';
        if (quoted) {
            int32_t q = p + 1;
            while (t[q] && t[q] != first) ++q;
            cursor.nameStart = p + 1;
            cursor.nameEnd = q - 1;
            cursor.next = t[q] ? q + 1 : q;
        } else {
            int32_t q = p;
            while (!EndsAttributeToken(t[q], afterEquals)) ++q;
            if (q == p) ++q;
            cursor.nameStart = p;
            cursor.nameEnd = q - 1;
            cursor.next = q;
        }

        // A value: the matched attribute's, or another's to pass over.
        if (afterEquals) {
            if (matched) return true;
            continue;  // the value of another attribute
        }
        if (quoted) {
            if (matched) return nameAsValue();
            continue;
        }

        // "=" makes the next token a value; ">", "/" and "?" end the tag.
        if (first == u'=') {
            equalsKept = true;
            continue;
        }
        if (first == u'>' || first == u'/' || first == u'?') {
            cursor.next = cycleStart;
            break;
        }

        // A name: after a matched one, that one had no value; the first is the tag's own.
        if (matched) return nameAsValue();
        if (!tagNamePassed) {
            tagNamePassed = true;
        } else if (TokenMatches(cursor, name)) {
            matched = true;
            matchedEnd = cursor.nameEnd;
            cursor.markOffset = cycleStart;
            cursor.markLength = skipped;
        }
    }

    // The end of the tag or of the text.
    if (!matched) return false;
    // The text ended right after "=": that "=" token is the value.
    if (afterEquals) return true;
    return nameAsValue();
}

CString CXmlDocument::GetSubtreeText() const {
    return GetElementSubtreeText(mainHandle);
}

CString CXmlDocument::GetElementSubtreeText(ElementHandle handle) const {
    if (!IsLiveElement(*this, handle)) return CString();
    const ElementRecord& r = RecordAt(handle);
    const int64_t end = static_cast<int64_t>(r.start) + r.length;
    if (r.start < 0 || r.length < 0 || end > documentText.length()) return CString();
    const char16_t* t = documentText.c_str();
    int32_t stop = static_cast<int32_t>(end);
    int32_t p = stop;
    // Trailing whitespace belongs to the element only when markup or the end follows it.
    if (!SkipWhitespace(t, p) || t[p] == u'<') stop = p;
    return CString(t + r.start, static_cast<size_t>(stop - r.start));
}

CString CXmlDocument::GetElementName(ElementHandle handle) const {
    if (!IsLiveElement(*this, handle)) return CString();
    const ElementRecord& r = RecordAt(handle);
    if (!StartInText(*this, r)) return CString();
    TokenCursor cursor(documentText.c_str(), documentFlags);
    cursor.next = r.start + 1;
    if (!NextToken(cursor)) return CString();
    return TokenText(cursor);
}

CString CXmlDocument::DecodeText(const char16_t* text, int32_t length) {
    CString out;
    if (!text || length <= 0) return out;
    // The output is never longer than the span: size it once, then trim.
    out.resize(static_cast<size_t>(length));
    int32_t n = 0;
    int32_t i = 0;
    while (i < length) {
        const char16_t c = text[i];
        if (c != u'&') {
            out[n++] = c;
            ++i;
            continue;
        }
        if (i + 1 < length && text[i + 1] == u'#') {
            int base = 10;
            int32_t digits = i + 2;
            if (digits < length && text[digits] == u'x') {
                base = 16;
                ++digits;
            }
            // The ";" must be among the next eight characters, and inside the span.
            int32_t limit = digits + 8 < length ? digits + 8 : length;
            int32_t semicolon = -1;
            for (int32_t k = digits; k < limit && text[k]; ++k) {
                if (text[k] == u';') {
                    semicolon = k;
                    break;
                }
            }
            if (semicolon >= 0) {
                int32_t value = ParseLong(text + digits, text + semicolon, base);
                if (value != 0) {
                    out[n++] = static_cast<char16_t>(value & 0xFFFF);
                    i = semicolon + 1;
                    continue;
                }
            }
            out[n++] = c;
            ++i;
            continue;
        }
        bool replaced = false;
        for (const NamedEntity& e : kEntities) {
            if (e.length > length - i - 1) continue;
            if (std::char_traits<char16_t>::compare(text + i + 1, e.name,
                                                    static_cast<size_t>(e.length)) == 0) {
                out[n++] = e.character;
                i += 1 + e.length;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out[n++] = c;
            ++i;
        }
    }
    out.resize(static_cast<size_t>(n));
    return out;
}

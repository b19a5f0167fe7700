// Editing: append elements and subtrees and replace element content in place. Each edit
// builds its text, splices it in once and corrects the index by arithmetic. A refused edit,
// whether for its arguments, for the bounds of the record fields or for want of memory,
// leaves the document exactly as it was.
#include <climits>
#include <new>
#include <utility>

#include "xml/internal/XmlInternals.h"

namespace {

// XML 1.0 NameStartChar on UTF-16 code units; surrogates stand for the supplementary planes.
bool IsNameStartChar(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':') return true;
    if (c < 0xC0 || c == 0xD7 || c == 0xF7) return false;
    return c <= 0x2FF || (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || c == 0x200C ||
           c == 0x200D || (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) ||
           (c >= 0x3001 && c <= 0xDFFF) || (c >= 0xF900 && c <= 0xFDCF) ||
           (c >= 0xFDF0 && c <= 0xFFFD);
}

bool IsNameChar(char16_t c) {
    return IsNameStartChar(c) || c == u'-' || c == u'.' || (c >= u'0' && c <= u'9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || c == 0x203F || c == 0x2040;
}

constexpr uint32_t kAppendFlagsIgnored = EditReplaceContent;

}  // namespace

// Length of a well-formed name, or -1.
int64_t CXmlDocument::NameLength(const char16_t* name) {
    if (!name || !IsNameStartChar(name[0])) return -1;
    int64_t n = 1;
    while (name[n]) {
        if (!IsNameChar(name[n])) return -1;
        ++n;
    }
    return n;
}

// Upper bound of the elements a text can hold: every start tag is "<" and a name-start
// character as the lexer knows it (comments and values may hold more, never fewer).
int64_t CXmlDocument::PossibleElements(const char16_t* text, int32_t length) {
    int64_t count = 0;
    for (int32_t i = 0; i + 1 < length; ++i) {
        if (text[i] != u'<') continue;
        const char16_t c = text[i + 1];
        if ((c >= u'A' && c <= u'Z') || c == u'_' || c == u':' || c > 0x60) ++count;
    }
    return count;
}

// Room for `needed` records, grown by at least half of the records in use so that a run of
// appends stays amortised. False, with the index as it was in use, when memory runs out.
bool CXmlDocument::ReserveRecords(int64_t needed) {
    CXmlDocument& doc = *this;
    if (needed > INT32_MAX) return false;
    while (doc.elementIndex.recordCapacity < needed) {
        const int64_t usual = static_cast<int64_t>(doc.nextRecord) + doc.nextRecord / 2;
        const int64_t ask = needed > usual ? needed : (usual > INT32_MAX ? INT32_MAX : usual);
        const int32_t before = doc.elementIndex.recordCapacity;
        if (!doc.GrowIndex(static_cast<int32_t>(ask)) || doc.elementIndex.recordCapacity == before)
            return false;
    }
    return true;
}

// After a parse with errors: whether an error came from a record-field bound (a start tag of
// 2^20 characters or more, an end tag over 511, an element nested beyond level 65535). The
// parser leaves such elements out of the index, so inserting the text would give elements
// that the index does not know.
bool CXmlDocument::ExceedsRecordBounds(const char16_t* text, int32_t textLength,
                                       ElementHandle root) const {
    const CXmlDocument& doc = *this;
    if (textLength > kMaxEndTagLength) {
        TokenCursor cursor(text, doc.documentFlags);
        NodeToken token;
        for (;;) {
            const int32_t type = CXmlDocument::ScanNode(cursor, token);
            if (type == NodeEnd) break;
            if ((type == NodeElement && token.length > kMaxStartTagLength) ||
                (type == NodeEndTag && token.length > kMaxEndTagLength))
                return true;
        }
    }
    // An element refused for its depth sits inside an open element of the deepest level.
    // Each level costs at least three characters ("<a>"), which bounds the reachable depth.
    if (doc.RecordAt(root).Level() + static_cast<int64_t>(textLength) / 3 >= kMaxLevel) {
        for (ElementHandle h = root + 1; h < static_cast<ElementHandle>(doc.nextRecord); ++h) {
            if (doc.RecordAt(h).Level() == kMaxLevel) return true;
        }
    }
    return false;
}

bool CXmlDocument::ElementText(const char16_t* name, const char16_t* value, uint32_t flags,
                               CString& text, int32_t& startTag, int32_t& endTag) {
    const bool hasValue = value && value[0];
    if ((flags & EditUnended) && hasValue) return false;
    const int64_t n = NameLength(name);
    if (n < 0) return false;
    // Record-field bounds: start-tag length, end-tag length.
    const int64_t start = hasValue                       ? n + 2
                          : (flags & EditUnended)        ? n + 2
                          : (flags & EditSpacedEmptyTag) ? n + 4
                                                         : n + 3;
    if (start > kMaxStartTagLength) return false;
    if (hasValue && n + 3 > kMaxEndTagLength) return false;
    startTag = static_cast<int32_t>(start);
    endTag = 0;
    text.clear();
    if (hasValue) {
        const CString v = (flags & EditCdata) ? WrapCdata(value) : EscapeText(value, flags);
        text.reserve(v.size() + 2 * static_cast<size_t>(n) + 5 + 2);
        text += u'<';
        text += name;
        text += u'>';
        text += v;
        text += u"</";
        text += name;
        text += u'>';
        endTag = static_cast<int32_t>(n) + 3;
    } else {
        text.reserve(static_cast<size_t>(start) + 2);
        text += u'<';
        text += name;
        text += (flags & EditUnended) ? u">" : (flags & EditSpacedEmptyTag) ? u" />" : u"/>";
    }
    return true;
}

bool CXmlDocument::AppendElement(const char16_t* name, const char16_t* value, uint32_t flags) {
    // Replacing the parent's content would cut out records still in the tree: that bit
    // belongs to SetContent alone.
    flags &= ~kAppendFlagsIgnored;
    const bool asChild = (flags & EditAsChild) != 0;
    if (asChild && mainHandle == 0) return false;
    const ElementHandle parent = asChild ? mainHandle : parentHandle;
    ElementHandle reference = asChild ? childHandle : mainHandle;
    const int32_t savedNext = nextRecord;
    try {
        InsertRequest request;
        request.insertFlags = flags;
        int32_t startTag = 0;
        int32_t endTag = 0;
        if (!ElementText(name, value, flags, request.insertText, startTag, endTag)) return false;
        if (parent && RecordAt(parent).Level() >= kMaxLevel) return false;
        const int64_t length = static_cast<int64_t>(request.insertText.size());
        if (length > INT32_MAX - static_cast<int64_t>(documentText.length())) return false;

        const ElementHandle element = TakeRecord();
        if (!element) return false;
        const int32_t removed = InsertText(parent, reference, request);
        if (removed < 0) {
            nextRecord = savedNext;
            return false;
        }

        ElementRecord& rec = RecordAt(element);
        rec.length = static_cast<int32_t>(length);
        rec.tagLengths = 0;
        rec.SetStartTagLength(static_cast<int32_t>(startTag));
        rec.SetEndTagLength(endTag);
        rec.start = request.insertOffset;
        rec.firstChild = 0;
        rec.flags = (flags & EditUnended) ? uint32_t{ElemUnended} : 0u;
        LinkElement(parent, reference, element);
        AdjustOffsets(element, static_cast<int32_t>(request.insertText.size()) - removed, false);

        if (asChild) {
            childHandle = element;
        } else {
            mainHandle = element;
            childHandle = 0;
        }
        nodeType = NodeElement;
        nodeOffset = 0;
        nodeLength = 0;
        return true;
    } catch (const std::bad_alloc&) {
        // Only the building of strings can throw, and it comes before any change.
        nextRecord = savedNext;
        return false;
    }
}

bool CXmlDocument::AppendElement(const char16_t* name, int32_t value, uint32_t flags) {
    try {
        const CString digits = DecimalText(value);
        return AppendElement(name, digits.c_str(), flags);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CXmlDocument::AppendSubtree(const char16_t* text, uint32_t flags) {
    flags &= ~kAppendFlagsIgnored;
    if (!text) return false;
    const bool asChild = (flags & EditAsChild) != 0;
    if (asChild && mainHandle == 0) return false;
    const ElementHandle parent = asChild ? mainHandle : parentHandle;
    ElementHandle reference = asChild ? childHandle : mainHandle;
    // The top-level elements of the text take the parent's level + 1; at the document
    // level they are top-level elements of the document, level 0.
    const uint32_t topLevel = parent ? RecordAt(parent).Level() + 1 : 0;
    if (topLevel > kMaxLevel) return false;
    const int64_t textLength64 = std::char_traits<char16_t>::length(text);
    if (textLength64 > INT32_MAX - static_cast<int64_t>(documentText.length())) return false;
    const int32_t textLength = static_cast<int32_t>(textLength64);

    // The parse below takes one record per start tag; make sure it cannot run out midway.
    if (!ReserveRecords(static_cast<int64_t>(nextRecord) + 1 + PossibleElements(text, textLength)))
        return false;

    const int32_t savedNext = nextRecord;
    CString savedResult;
    savedResult.swap(resultText);
    const ParseResult savedParse = parseResult;
    auto refuse = [&] {
        nextRecord = savedNext;
        resultText.swap(savedResult);
        parseResult = savedParse;
        return false;
    };

    try {
        const ElementHandle root = TakeRecord();
        if (!root) return refuse();
        RecordAt(root) = ElementRecord{};
        RecordAt(root).SetLevel(topLevel);

        TokenCursor cursor(text, documentFlags);
        const ElementHandle first = ParseElements(root, cursor);
        // The parse stops short of the end of the text only when memory ran out (its stack of
        // open tags; the records were reserved above).
        if (cursor.next < textLength) return refuse();
        const ElementRecord& rootRec = RecordAt(root);
        bool ok = first != 0 && !(rootRec.flags & ElemIllFormed);
        if ((rootRec.flags & ElemIllFormed) && ExceedsRecordBounds(text, textLength, root))
            return refuse();

        ElementHandle last = first;
        while (last && RecordAt(last).nextSibling) last = RecordAt(last).nextSibling;

        InsertRequest request;
        request.insertFlags = flags;
        int32_t t = 0;
        if (ok) {
            t = RecordAt(first).start;
            int32_t count = RecordAt(first).length;
            if (last != first) {
                ok = false;
                count = RecordAt(last).start + RecordAt(last).length - t;
            }
            request.insertText.assign(text + t, static_cast<size_t>(count));
        } else {
            request.insertText.assign(text, static_cast<size_t>(textLength));
            request.insertFlags |= EditNoLineBreaks;
        }

        const int32_t removed = InsertText(parent, reference, request);
        if (removed < 0) return refuse();

        // From here on nothing can fail.
        if (rootRec.flags & ElemHasError) RecordAt(parent).flags |= ElemHasError;
        const int32_t delta = request.insertOffset - t;
        if (first && delta) {
            AdjustOffsets(first, delta, false);
            RecordAt(first).start += delta;
        }
        ElementHandle previous = reference;
        for (ElementHandle m = first; m;) {
            const ElementHandle following = RecordAt(m).nextSibling;
            LinkElement(parent, previous, m);
            previous = m;
            m = following;
        }
        ReleaseRecord(root);
        const int32_t d = static_cast<int32_t>(request.insertText.size()) - removed;
        if (last) {
            AdjustOffsets(last, d, true);
        } else {
            AdjustAfterNodeEdit(parent, reference, d);
        }

        if (asChild) {
            childHandle = first;
            nodeType = NodeElement;
        } else {
            mainHandle = first;
            childHandle = 0;
            nodeType = first ? NodeElement : 0;
        }
        nodeOffset = 0;
        nodeLength = 0;
        return ok;
    } catch (const std::bad_alloc&) {
        return refuse();
    }
}

bool CXmlDocument::SetContent(ElementHandle handle, const char16_t* value, uint32_t flags) {
    // Only element records in use: not the document record, not a released record.
    if (handle == 0 || handle >= static_cast<ElementHandle>(nextRecord)) return false;
    ElementRecord& rec = RecordAt(handle);
    if (rec.flags & ElemReleased) return false;
    if (rec.firstChild) return false;
    if (!value) value = u"";

    try {
        InsertRequest request;
        request.insertFlags = EditReplaceContent | EditNoLineBreaks;
        request.insertText = (flags & EditCdata) ? WrapCdata(value) : EscapeText(value, flags);
        if (request.insertText.size() > static_cast<size_t>(INT32_MAX - documentText.length()))
            return false;
        ElementHandle reference = 0;
        const int32_t removed = InsertText(handle, reference, request);
        if (removed < 0) return false;

        const int32_t delta = static_cast<int32_t>(request.insertText.size()) - removed;
        AdjustOffsets(handle, delta, false);
        rec.length += delta;
        rec.flags &= ~ElemHasError;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CXmlDocument::SetContent(ElementHandle handle, int32_t value) {
    try {
        const CString digits = DecimalText(value);
        return SetContent(handle, digits.c_str(), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

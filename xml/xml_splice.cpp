// Text splicing and index correction: every edit changes the text at one place and then
// moves the records behind that place by arithmetic, never by parsing again.
#include <climits>
#include <cstring>

#include "xml/internal/XmlInternals.h"

bool CXmlDocument::SpliceText(int32_t index, int32_t removedLength, const char16_t* replacement,
                              int32_t replacementLength) {
    const int64_t oldLength = documentText.length();
    if (index < 0 || removedLength < 0 || replacementLength < 0 ||
        static_cast<int64_t>(index) + removedLength > oldLength ||
        (replacementLength > 0 && !replacement))
        return false;
    const int64_t newLength = oldLength - removedLength + replacementLength;
    // Offsets and lengths in the records are 32-bit.
    if (newLength > INT32_MAX) return false;
    if (newLength == oldLength && removedLength == 0) return true;

    if (newLength > documentText.capacity() || !documentText.data()) {
        // Half again as much, so that a run of appends reallocates rarely.
        int64_t room = newLength + newLength / 2 + 128;
        if (room > INT32_MAX) room = INT32_MAX;
        if (!documentText.Reallocate(static_cast<int32_t>(room))) return false;
    }
    char16_t* text = documentText.data();
    const int64_t tail = oldLength - index - removedLength;
    if (tail > 0) {
        std::memmove(text + index + replacementLength, text + index + removedLength,
                     static_cast<size_t>(tail) * sizeof(char16_t));
    }
    if (replacementLength > 0) {
        std::memcpy(text + index, replacement,
                    static_cast<size_t>(replacementLength) * sizeof(char16_t));
    }
    // Within capacity: only sets the length and the terminator.
    return documentText.Resize(static_cast<int32_t>(newLength));
}

bool CXmlDocument::ReserveText(int32_t capacity) {
    return capacity <= documentText.capacity() || documentText.Reallocate(capacity);
}

void CXmlDocument::AdjustOffsets(ElementHandle handle, int32_t delta, bool skipChildren) {
    // The document record and the temporary subtree root have no start tag; the walk stops
    // on them, so a walk from one of them has nothing to do.
    if (RecordAt(handle).StartTagLength() == 0) return;

    ElementHandle stop = RecordAt(handle).parent;
    ElementHandle current = handle;
    bool skip = skipChildren;
    for (;;) {
        const ElementRecord& cur = RecordAt(current);
        ElementHandle next;
        bool viaSiblings = true;
        if (current == stop) {
            // Just came up to an ancestor: its children are done.
            stop = cur.parent;
        } else if (!skip && cur.firstChild) {
            next = cur.firstChild;
            viaSiblings = false;
        }
        if (viaSiblings) {
            if (cur.nextSibling) {
                next = cur.nextSibling;
            } else {
                ElementHandle climb = current;
                for (;;) {
                    const ElementHandle p = RecordAt(climb).parent;
                    if (p == stop) {
                        next = stop;
                        break;
                    }
                    if (RecordAt(p).nextSibling) {
                        next = RecordAt(p).nextSibling;
                        break;
                    }
                    climb = p;
                }
            }
        }
        skip = false;
        ElementRecord& rec = RecordAt(next);
        if (next == stop) {
            rec.length += delta;
        } else {
            rec.start += delta;
        }
        if (rec.StartTagLength() == 0) return;
        current = next;
    }
}

void CXmlDocument::AdjustAfterNodeEdit(ElementHandle parent, ElementHandle handle, int32_t delta) {
    if (handle) {
        // The change lies after the element: its descendants stay.
        AdjustOffsets(handle, delta, true);
        return;
    }
    ElementRecord& p = RecordAt(parent);
    if (p.firstChild) {
        RecordAt(p.firstChild).start += delta;
        AdjustOffsets(p.firstChild, delta, false);
    } else {
        p.length += delta;
        AdjustOffsets(parent, delta, true);
    }
}

TextPlacement CXmlDocument::PlaceText(ElementHandle parent, ElementHandle reference, uint32_t flags,
                                      bool emptyTag, bool noContent) const {
    TextPlacement place{};
    place.lineBreaks = (flags & EditNoLineBreaks) == 0;
    if (reference) {
        place.anchor = (flags & EditInsertBefore) ? TextPlacement::BeforeReference
                                                  : TextPlacement::AfterReference;
    } else if (emptyTag) {
        place.anchor = TextPlacement::InEmptyTag;
    } else if (flags & (EditReplaceContent | EditInsertBefore)) {
        place.anchor = TextPlacement::ContentStart;
    } else {
        place.anchor = TextPlacement::ContentEnd;
    }
    // Past whitespace, but only up to markup: text keeps the item where it was.
    place.skipWhitespace = place.lineBreaks && !(flags & EditReplaceContent) && !emptyTag;

    place.linkAfter = reference;
    if (reference && (flags & EditInsertBefore)) {
        const ElementRecord& r = RecordAt(reference);
        place.linkAfter = (r.flags & ElemFirstChild) ? 0 : r.prevSibling;
    } else if (!reference && !(flags & EditInsertBefore)) {
        const ElementHandle first = RecordAt(parent).firstChild;
        if (first) place.linkAfter = RecordAt(first).prevSibling;
    }

    if (emptyTag) {
        place.splice = TextPlacement::OpenEmptyTag;
    } else if (flags & EditReplaceContent) {
        place.splice = TextPlacement::ReplaceContent;
    } else if (noContent) {
        place.splice = TextPlacement::IntoEmptyContent;
    } else {
        place.splice = TextPlacement::AtAnchor;
    }
    return place;
}

// Returns the number of characters removed, or -1 with the document untouched when the text
// cannot grow or an opened-up parent's end tag would not fit its field.
int32_t CXmlDocument::InsertText(ElementHandle parent, ElementHandle& reference,
                                 InsertRequest& request) {
    const int32_t textLength = documentText.length();

    bool emptyTag = false;
    bool noContent = false;
    bool unended = false;
    int32_t pStart = 0;
    int32_t pLength = 0;
    int32_t pStartTag = 0;
    int32_t pEndTag = 0;
    if (parent) {
        const ElementRecord& p = RecordAt(parent);
        pStart = p.start;
        pLength = p.length;
        pStartTag = p.StartTagLength();
        pEndTag = p.EndTagLength();
        unended = (p.flags & ElemUnended) != 0;
        emptyTag = pStartTag == pLength;
        noContent = pLength - pEndTag - pStartTag == 0;
    }
    const TextPlacement place =
        PlaceText(parent, reference, request.insertFlags, emptyTag, noContent);
    const bool lineBreaks = place.lineBreaks;

    int32_t offset = 0;
    switch (place.anchor) {
        case TextPlacement::AfterReference:
            offset = RecordAt(reference).start + RecordAt(reference).length;
            break;
        case TextPlacement::BeforeReference:
            offset = RecordAt(reference).start;
            break;
        case TextPlacement::InEmptyTag:
            offset = unended ? pStart + pStartTag : pStart + pStartTag - 1;
            break;
        case TextPlacement::ContentStart:
            offset = parent ? pStart + pStartTag : 0;
            break;
        case TextPlacement::ContentEnd:
            offset = parent ? pStart + pLength - pEndTag : textLength;
            break;
    }
    if (place.skipWhitespace) {
        int32_t pos = offset;
        SkipWhitespace(documentText.c_str(), pos);
        if (pos >= textLength || documentText[pos] == u'<') offset = pos;
    }
    reference = place.linkAfter;

    request.insertLength = static_cast<int32_t>(request.insertText.size());
    if (lineBreaks) {
        if (emptyTag || noContent) offset += 2;
        request.insertText += u"\r\n";
    }

    int32_t at;
    int32_t removed = 0;
    int32_t endTagLength = 0;
    switch (place.splice) {
        case TextPlacement::OpenEmptyTag: {
            // Open the element up around the item; its old ">" closes the new end tag.
            const CString name = GetElementName(parent);
            if (name.empty() || static_cast<int64_t>(name.size()) + 3 > kMaxEndTagLength) return -1;
            endTagLength = static_cast<int32_t>(name.size()) + 3;
            CString opened;
            opened.reserve(3 + request.insertText.size() + 2 + name.size());
            opened += lineBreaks ? u">\r\n" : u">";
            opened += request.insertText;
            opened += u"</";
            opened += name;
            request.insertText.swap(opened);
            if (unended) {
                at = pStart + pLength - 1;
            } else {
                at = pStart + pLength - 2;
                removed = 1;
            }
            break;
        }
        case TextPlacement::ReplaceContent:
            at = pStart + pStartTag;
            removed = pLength - pStartTag - pEndTag;
            break;
        case TextPlacement::IntoEmptyContent:
            if (lineBreaks) request.insertText.insert(0, u"\r\n");
            at = pStart + pStartTag;
            break;
        default:
            at = offset;
            break;
    }
    if (request.insertText.size() > static_cast<size_t>(INT32_MAX)) return -1;

    // Only once the text has changed is the parent's record brought along.
    if (!SpliceText(at, removed, request.insertText.data(),
                    static_cast<int32_t>(request.insertText.size())))
        return -1;
    if (emptyTag) {
        ElementRecord& p = RecordAt(parent);
        if (unended) {
            p.flags &= ~ElemUnended;
        } else {
            p.SetStartTagLength(pStartTag - 1);
        }
        p.SetEndTagLength(endTagLength);
    }
    request.insertOffset = offset;
    return removed;
}

void CXmlDocument::LinkElement(ElementHandle parent, ElementHandle after, ElementHandle handle) {
    ElementRecord& n = RecordAt(handle);
    ElementRecord& p = RecordAt(parent);
    n.parent = parent;
    if (after) {
        ElementRecord& a = RecordAt(after);
        n.flags &= ~ElemFirstChild;
        n.nextSibling = a.nextSibling;
        if (n.nextSibling) {
            RecordAt(n.nextSibling).prevSibling = handle;
        } else {
            RecordAt(p.firstChild).prevSibling = handle;
        }
        a.nextSibling = handle;
        n.prevSibling = after;
    } else {
        n.flags |= ElemFirstChild;
        if (p.firstChild) {
            ElementRecord& f = RecordAt(p.firstChild);
            n.nextSibling = p.firstChild;
            n.prevSibling = f.prevSibling;
            f.prevSibling = handle;
            f.flags &= ~ElemFirstChild;
        } else {
            n.nextSibling = 0;
            n.prevSibling = handle;
        }
        p.firstChild = handle;
    }
    if (parent) n.SetLevel(p.Level() + 1);
}

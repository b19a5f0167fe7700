// Removal: the inverse of an append. The element's text, the line break the append put after
// it and, when asked, what opening up its parent added go in one splice; the records behind
// move by arithmetic and the subtree's records go to the released list.
#include "xml/internal/XmlInternals.h"
#include "xml/internal/tag_scan.h"

namespace {

constexpr uint32_t kRestoreFlags = EditRestoreEmptyTag | EditRestoreNoContent;

}  // namespace

bool CXmlDocument::Removable(ElementHandle element, uint32_t flags) const {
    if ((flags & kRestoreFlags) == kRestoreFlags) return false;
    if (element == 0 || element >= static_cast<ElementHandle>(nextRecord) ||
        static_cast<int32_t>(element) >= elementIndex.recordCapacity)
        return false;
    const ElementRecord& x = RecordAt(element);
    if (x.flags == ElemReleased || x.parent == 0) return false;
    // Taking out an element with its end tag leaves the parse of the rest as it was; an
    // unended one would let a later end tag close something else.
    for (ElementHandle h = element;;) {
        const ElementRecord& r = RecordAt(h);
        if (r.flags & ElemUnended) return false;
        if (r.firstChild) {
            h = r.firstChild;
            continue;
        }
        while (h != element && !RecordAt(h).nextSibling) h = RecordAt(h).parent;
        if (h == element) return true;
        h = RecordAt(h).nextSibling;
    }
}

// Whether "/" put before the ">" of the parent's start tag makes the empty-element tag that
// opening it up took apart: the lexer reads it so, and the end tag is the "</" name ">" that
// opening up wrote.
bool CXmlDocument::ClosesAsEmptyTag(ElementHandle parent) const {
    const ElementRecord& p = RecordAt(parent);
    const char16_t* t = documentText.c_str();
    const int32_t nameEnd = xmlscan::NameEnd(t, p.start + 1);
    const int32_t nameLength = nameEnd - p.start - 1;
    const int32_t slash = p.start + p.StartTagLength() - 1;
    const char16_t before = t[slash - 1];
    if (slash != nameEnd && before != u' ' && before != u'\t' && before != u'\n' &&
        before != u'\r' && before != u'"' && before != u'\'')
        return false;
    if (nameLength <= 0 || p.EndTagLength() != nameLength + 3) return false;
    const char16_t* end = t + p.start + p.length - p.EndTagLength();
    return end[0] == u'<' && end[1] == u'/' &&
           std::char_traits<char16_t>::compare(end + 2, t + p.start + 1,
                                               static_cast<size_t>(nameLength)) == 0;
}

void CXmlDocument::MovePositionsOff(ElementHandle element) {
    const ElementRecord& x = RecordAt(element);
    const uint32_t level = x.Level();
    const auto inside = [&](ElementHandle h) {
        if (h >= static_cast<ElementHandle>(nextRecord)) return false;
        while (h && RecordAt(h).Level() > level) h = RecordAt(h).parent;
        return h == element;
    };
    const ElementHandle previous = (x.flags & ElemFirstChild) ? 0 : x.prevSibling;
    if (inside(parentHandle) || inside(mainHandle)) {
        parentHandle = x.parent;
        mainHandle = previous;
        childHandle = 0;
        nodeType = previous ? NodeElement : 0;
    } else if (inside(childHandle)) {
        childHandle = previous;
    } else {
        return;
    }
    nodeOffset = 0;
    nodeLength = 0;
}

void CXmlDocument::UnlinkElement(ElementHandle element) {
    const ElementRecord& x = RecordAt(element);
    ElementRecord& p = RecordAt(x.parent);
    const ElementHandle next = x.nextSibling;
    if (x.flags & ElemFirstChild) {
        p.firstChild = next;
        if (next) {
            RecordAt(next).flags |= ElemFirstChild;
            RecordAt(next).prevSibling = x.prevSibling;
        }
    } else {
        RecordAt(x.prevSibling).nextSibling = next;
        RecordAt(next ? next : p.firstChild).prevSibling = x.prevSibling;
    }
}

// Children before their parents, the element last; each record's links are read before
// releasing it overwrites them.
void CXmlDocument::ReleaseSubtree(ElementHandle element) {
    ElementHandle h = element;
    for (;;) {
        while (RecordAt(h).firstChild) {
            const ElementHandle child = RecordAt(h).firstChild;
            RecordAt(h).firstChild = 0;
            h = child;
        }
        const ElementHandle up = RecordAt(h).parent;
        const ElementHandle next = ReleaseRecord(h);
        if (h == element) return;
        h = next ? next : up;
    }
}

bool CXmlDocument::RemoveElement(ElementHandle element, uint32_t flags) {
    if (!Removable(element, flags)) return false;
    const ElementRecord& x = RecordAt(element);
    ElementRecord& p = RecordAt(x.parent);
    const char16_t* t = documentText.c_str();
    const int32_t end = x.start + x.length;
    const bool lineBreak =
        end + 1 < documentText.length() && t[end] == u'\r' && t[end + 1] == u'\n';
    int32_t at = x.start;
    int32_t removed = x.length + (lineBreak ? 2 : 0);
    const int32_t contentStart = p.start + p.StartTagLength();
    const int32_t contentEnd = p.start + p.length - p.EndTagLength();
    // What opening up the parent added: "\r\n" before the element and after its "\r\n".
    bool restore = (flags & kRestoreFlags) && lineBreak && p.firstChild == element &&
                   !x.nextSibling && x.start - contentStart == 2 && t[contentStart] == u'\r' &&
                   t[contentStart + 1] == u'\n' && end + 2 == contentEnd;
    const bool emptyTag = restore && (flags & EditRestoreEmptyTag);
    if (emptyTag) restore = ClosesAsEmptyTag(x.parent);
    if (restore) {
        at = emptyTag ? contentStart - 1 : contentStart;
        removed = contentEnd - at + (emptyTag ? p.EndTagLength() - 1 : 0);
    }
    const bool closing = restore && emptyTag;
    if (!SpliceText(at, removed, u"/", closing ? 1 : 0)) return false;
    AdjustOffsets(element, (closing ? 1 : 0) - removed, true);
    if (closing) {
        p.SetStartTagLength(p.StartTagLength() + 1);
        p.SetEndTagLength(0);
    }
    MovePositionsOff(element);
    UnlinkElement(element);
    ReleaseSubtree(element);
    return true;
}

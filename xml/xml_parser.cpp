// The parser: one forward pass that builds element records from nodes, with an explicit
// stack of open start tags and recovery from missing and stray end tags.
#include <new>
#include <utility>

#include "platform/ascii_fold.h"
#include "xml/internal/XmlInternals.h"
#include "xml/internal/tag_scan.h"

namespace {

// Open start tags, outermost first; entry `depth` is where the lexer writes the next node.
class OpenTagStack {
  public:
    OpenTagStack() { Reserve(6); }
    ~OpenTagStack() { delete[] entries_; }
    OpenTagStack(const OpenTagStack&) = delete;
    OpenTagStack& operator=(const OpenTagStack&) = delete;

    bool ok() const { return entries_ != nullptr; }
    NodeToken& operator[](int32_t i) { return entries_[i]; }
    int32_t room() const { return room_; }

    // Room becomes room * 2 + 6 (6, 18, 42, 90, ...), names moved over.
    bool Grow() { return Reserve(room_ * 2 + 6); }

  private:
    bool Reserve(int32_t room) {
        auto* fresh = new (std::nothrow) NodeToken[static_cast<size_t>(room)];
        if (!fresh) return false;
        for (int32_t i = 0; i < room_; ++i) fresh[i] = std::move(entries_[i]);
        delete[] entries_;
        entries_ = fresh;
        room_ = room;
        return true;
    }

    NodeToken* entries_ = nullptr;
    int32_t room_ = 0;
};

// TokenMatches against a start tag's name where it stands in the text.
bool MatchesStartTag(const TokenCursor& cursor, const NodeToken& tag) {
    const char16_t* name = cursor.text + tag.nameStart;
    const int32_t length = cursor.nameEnd - cursor.nameStart + 1;
    const char16_t* token = cursor.text + cursor.nameStart;
    const bool ignoreCase = (cursor.flags & DocIgnoreCase) != 0;
    for (int32_t i = 0; i < length; ++i) {
        if (i >= tag.nameLength) return false;  // the name is shorter than the token
        char16_t a = token[i];
        char16_t b = name[i];
        if (a != b) {
            if (!ignoreCase) return false;
            if (platform::FoldAscii(a) != platform::FoldAscii(b)) return false;
        }
    }
    const int32_t at = length < 0 ? 0 : length;
    const char16_t after = at < tag.nameLength ? name[at] : 0;
    return after == 0 || after == u' ' || after == u'=' || after == u'/' || after == u'[' ||
           after == u']';
}

std::u16string_view NameOf(const TokenCursor& cursor, const NodeToken& tag) {
    return {cursor.text + tag.nameStart, static_cast<size_t>(tag.nameLength)};
}

}  // namespace

CString ParseErrorText(ParseStatus status, int32_t offset, std::u16string_view name,
                       std::u16string_view startName, int32_t startOffset) {
    const CString n(name), s(startName);
    switch (status) {
        case ParseStatus::Ok:
            return {};
        case ParseStatus::OutOfMemory:
            return offset < 0 ? u"Out of memory"
                              : FormatMessageText(u"Out of memory at offset %d", offset);
        case ParseStatus::EmptyDocument:
            return u"Empty document";
        case ParseStatus::NoRootElement:
            return u"No root element";
        case ParseStatus::RootHasSibling:
            return u"Root element has sibling";
        case ParseStatus::BadTagNameCharacter:
            return FormatMessageText(u"Incorrect tag name character at offset %d", offset);
        case ParseStatus::BadCommentTag:
            return FormatMessageText(u"Incorrect comment tag at offset %d", offset);
        case ParseStatus::BadTag:
            return FormatMessageText(u"Incorrect tag at offset %d", offset);
        case ParseStatus::BadDeclaration:
            return FormatMessageText(u"Incorrect ! tag at offset %d", offset);
        case ParseStatus::UnterminatedTag:
            return FormatMessageText(u"tag at offset %d unterminated", offset);
        case ParseStatus::UnterminatedElementTag:
            return FormatMessageText(u"Element tag at offset %d unterminated", offset);
        case ParseStatus::UnterminatedEndTag:
            return FormatMessageText(u"Element end tag at offset %d unterminated", offset);
        case ParseStatus::UnterminatedComment:
            return FormatMessageText(u"Comment at offset %d unterminated", offset);
        case ParseStatus::UnterminatedCData:
            return FormatMessageText(u"CDATA Section at offset %d unterminated", offset);
        case ParseStatus::UnterminatedProcessingInstruction:
            return FormatMessageText(u"Processing instruction at offset %d unterminated", offset);
        case ParseStatus::UnterminatedDoctype:
            return FormatMessageText(u"Doctype at offset %d unterminated", offset);
        case ParseStatus::StartTagTooLong:
            return FormatMessageText(u"Start tag at offset %d too long", offset);
        case ParseStatus::EndTagTooLong:
            return FormatMessageText(u"End tag at offset %d too long", offset);
        case ParseStatus::NestedTooDeeply:
            return FormatMessageText(u"Element '%s' at offset %d nested too deeply", n.c_str(),
                                     offset);
        case ParseStatus::EndTagWithoutStartTag:
            return FormatMessageText(u"No start tag for end tag '%s' at offset %d", n.c_str(),
                                     offset);
        case ParseStatus::EndTagMismatch:
            return FormatMessageText(
                u"End tag '%s' at offset %d does not match start tag '%s' at offset %d", n.c_str(),
                offset, s.c_str(), startOffset);
        case ParseStatus::ElementNotEnded:
            return FormatMessageText(u"Element '%s' at offset %d not ended", n.c_str(), offset);
    }
    return {};
}

void CXmlDocument::NoteParseError(ParseStatus status, int32_t offset, std::u16string_view name,
                                  std::u16string_view startName, int32_t startOffset) {
    parseResult = {status, offset};
    resultText = ParseErrorText(status, offset, name, startName, startOffset);
}

ElementHandle CXmlDocument::ParseElements(ElementHandle parent, TokenCursor& cursor) {
    const uint32_t baseLevel = RecordAt(parent).Level();
    cursor.next = 0;
    resultText.clear();
    parseResult = {};
    OpenTagStack stack;
    int32_t depth = 0;
    ElementHandle current = parent;
    ElementHandle first = 0;
    bool moved = false;  // recovery moved children up: parents and levels need a fix-up

    auto report = [&](ParseStatus status, int32_t offset, std::u16string_view name = {}) {
        RecordAt(parent).flags |= ElemIllFormed;
        RecordAt(current).flags |= ElemHasError;
        if (resultText.empty()) NoteParseError(status, offset, name);
    };

    // Closes the innermost open element without an end tag; its children become its
    // following siblings. Parent links and levels of the moved records are fixed at the end.
    auto closeUnended = [&](bool atEnd, int32_t endTagOffset) {
        const ElementHandle x = current;
        ElementRecord& xr = RecordAt(x);
        xr.SetEndTagLength(0);
        xr.flags |= ElemUnended;
        xr.length = xr.StartTagLength();
        const ElementHandle up = xr.parent;
        if (xr.flags & ElemHasError) {
            xr.flags &= ~ElemHasError;
            RecordAt(up).flags |= ElemHasError;
        }
        const ElementHandle c1 = xr.firstChild;
        xr.firstChild = 0;
        if (c1) {
            // x was the last child of `up`: the moved chain follows it and ends the chain.
            ElementRecord& c1r = RecordAt(c1);
            const ElementHandle last = c1r.prevSibling;
            c1r.flags &= ~ElemFirstChild;
            c1r.prevSibling = x;
            xr.nextSibling = c1;
            RecordAt(RecordAt(up).firstChild).prevSibling = last;
            moved = true;
        }
        --depth;
        if (resultText.empty()) {
            const NodeToken& entry = stack[depth];
            if (atEnd) {
                NoteParseError(ParseStatus::ElementNotEnded, xr.start, NameOf(cursor, entry));
            } else {
                NoteParseError(ParseStatus::EndTagMismatch, endTagOffset, TokenText(cursor),
                               NameOf(cursor, entry), xr.start);
            }
        }
        current = up;
    };

    bool stop = !stack.ok();
    if (stop) report(ParseStatus::OutOfMemory, 0);
    // Start and end tags are read here from one stream of marks over the whole text, which
    // the lexer's own reading of each node would look for again; every other node, and a tag
    // the text ends in, goes through the lexer.
    const char16_t* const t = cursor.text;
    xmlscan::Marks marks(t, 0);
    while (!stop) {
        // Text and whitespace make no records: the next node that does begins at a "<".
        int32_t at = marks.Next();
        while (t[at] != u'<' && t[at]) at = marks.Next();
        NodeToken& node = stack[depth];
        int32_t type;
        if (!t[at]) {
            cursor.next = at;
            type = NodeEnd;
        } else if (xmlscan::IsNameStart(t[at + 1]) && xmlscan::ReadStartTag(t, at, marks, node)) {
            cursor.next = at + node.length;
            type = NodeElement;
        } else if (t[at + 1] == u'/' && xmlscan::ReadEndTag(t, at, marks, cursor, node)) {
            cursor.next = at + node.length;
            type = NodeEndTag;
        } else {
            cursor.next = at;
            type = ScanNode(cursor, node);
            marks.Restart(cursor.next);
        }
        switch (type) {
            case NodeElement: {
                const bool empty = (node.flags & TokenEmptyElement) != 0;
                if (node.length > kMaxStartTagLength) {
                    report(ParseStatus::StartTagTooLong, node.start);
                    break;
                }
                if (baseLevel + static_cast<uint32_t>(depth) > kMaxLevel) {
                    report(ParseStatus::NestedTooDeeply, node.start, NameOf(cursor, node));
                    break;
                }
                if (depth + 1 >= stack.room() && !empty && !stack.Grow()) {
                    report(ParseStatus::OutOfMemory, node.start);
                    stop = true;
                    break;
                }
                const ElementHandle r = TakeRecord();
                if (!r) {
                    report(ParseStatus::OutOfMemory, stack[depth].start);
                    stop = true;
                    break;
                }
                if (!first) first = r;
                LinkLastChild(current, r);
                ElementRecord& rec = RecordAt(r);
                rec.SetLevel(baseLevel + static_cast<uint32_t>(depth));
                rec.firstChild = 0;
                const NodeToken& tag = stack[depth];
                rec.start = tag.start;
                rec.tagLengths = static_cast<uint32_t>(tag.length);
                // An open element's length is set again when it ends. Start tags with and
                // without "/>" follow each other in no pattern a branch could learn.
                rec.length = tag.length;
                depth += empty ? 0 : 1;
                current = empty ? current : r;
                break;
            }
            case NodeEndTag: {
                if (node.length > kMaxEndTagLength) {
                    report(ParseStatus::EndTagTooLong, node.start);
                    break;
                }
                int32_t p = depth - 1;
                ElementHandle m = current;
                while (p >= 0 && !MatchesStartTag(cursor, stack[p])) {
                    --p;
                    m = RecordAt(m).parent;
                }
                if (p < 0) {
                    report(ParseStatus::EndTagWithoutStartTag, node.start, TokenText(cursor));
                    break;
                }
                const int32_t endStart = node.start;
                const int32_t endLength = node.length;
                if (p != depth - 1) {
                    RecordAt(parent).flags |= ElemIllFormed;
                    while (depth - 1 > p) closeUnended(false, cursor.nameStart - 1);
                }
                ElementRecord& mr = RecordAt(m);
                mr.length = endStart + endLength - mr.start;
                mr.SetEndTagLength(endLength);
                --depth;
                current = mr.parent;
                break;
            }
            case NodeError:
                report(node.error, node.errorOffset);
                node.name.clear();
                break;
            case NodeEnd:
                stop = true;
                break;
            default:
                break;
        }
    }
    if (depth > 0) {
        RecordAt(parent).flags |= ElemIllFormed;
        while (depth > 0) closeUnended(true, 0);
    }

    if (moved) {
        // One pass over the new records restores parent links and levels.
        for (ElementHandle top = first; top; top = RecordAt(top).nextSibling) {
            RecordAt(top).parent = parent;
            RecordAt(top).SetLevel(baseLevel);
            ElementHandle cur = top;
            for (;;) {
                ElementRecord& cr = RecordAt(cur);
                if (cr.firstChild) {
                    ElementRecord& child = RecordAt(cr.firstChild);
                    child.parent = cur;
                    child.SetLevel(cr.Level() + 1);
                    cur = cr.firstChild;
                    continue;
                }
                while (cur != top && !RecordAt(cur).nextSibling) cur = RecordAt(cur).parent;
                if (cur == top) break;
                const ElementHandle up = RecordAt(cur).parent;
                const uint32_t level = RecordAt(cur).Level();
                cur = RecordAt(cur).nextSibling;
                RecordAt(cur).parent = up;
                RecordAt(cur).SetLevel(level);
            }
        }
    }
    return first;
}

bool CXmlDocument::ParseDocument() {
    CString earlier = std::move(resultText);
    resultText.clear();
    parseResult = {};
    parentHandle = mainHandle = childHandle = 0;
    nodeOffset = nodeLength = nodeType = 0;
    savedPositions.Discard();

    nextRecord = 1;
    GrowIndex(documentText.length() / 64 + 8);
    releasedHead = 0;
    if (elementIndex.recordCapacity == 0) {
        NoteParseError(ParseStatus::OutOfMemory, -1);
    } else {
        RecordAt(0) = ElementRecord{};
        if (documentText.empty()) {
            NoteParseError(ParseStatus::EmptyDocument, -1);
        } else {
            TokenCursor cursor(documentText.c_str(), documentFlags);
            const ElementHandle first = ParseElements(0, cursor);
            ElementRecord& doc = RecordAt(0);
            doc.length = documentText.length();
            // Running out of memory is the one error the final verdicts must not hide.
            if (parseResult.status == ParseStatus::OutOfMemory) {
                if (first) doc.firstChild = first;
            } else if (!first) {
                NoteParseError(ParseStatus::NoRootElement, -1);
            } else {
                doc.firstChild = first;
                if (RecordAt(first).nextSibling) NoteParseError(ParseStatus::RootHasSibling, -1);
            }
        }
    }
    parentHandle = mainHandle = childHandle = 0;
    nodeOffset = nodeLength = nodeType = 0;
    if (!earlier.empty()) {
        resultText = resultText.empty() ? std::move(earlier) : earlier + u", " + resultText;
    }
    return IsWellFormed();
}

bool CXmlDocument::IsWellFormed() const {
    if (elementIndex.recordCapacity == 0) return false;
    const ElementRecord& doc = RecordAt(0);
    if (doc.flags & ElemIllFormed) return false;
    if (!doc.firstChild) return false;
    return RecordAt(doc.firstChild).nextSibling == 0;
}

bool CXmlDocument::SetDocumentText(const char16_t* text) {
    if (!text) return SetDocumentText(std::u16string_view());
    return SetDocumentText(std::u16string_view(text));
}

bool CXmlDocument::SetDocumentText(std::u16string_view text) {
    loadedExactly = true;
    loadedUtf8 = false;
    if (!documentText.Assign(text)) {
        NoteParseError(ParseStatus::OutOfMemory, -1);
        return false;
    }
    resultText.clear();
    return ParseDocument();
}

// The node lexer and the small token scanner used inside start tags.
#include "platform/ascii_fold.h"
#include "xml/internal/XmlInternals.h"
#include "xml/internal/tag_scan.h"

namespace {

using xmlscan::IsNameStart;
using xmlscan::IsSpace;

// Kinds of node for the "unterminated" error.
constexpr ParseStatus kKindDoctype = ParseStatus::UnterminatedDoctype;
constexpr ParseStatus kKindElement = ParseStatus::UnterminatedElementTag;
constexpr ParseStatus kKindEndTag = ParseStatus::UnterminatedEndTag;
constexpr ParseStatus kKindCData = ParseStatus::UnterminatedCData;
constexpr ParseStatus kKindPi = ParseStatus::UnterminatedProcessingInstruction;
constexpr ParseStatus kKindComment = ParseStatus::UnterminatedComment;
constexpr ParseStatus kKindTag = ParseStatus::UnterminatedTag;

// Quoting inside start tags and skipped malformed markup: an "=" arms it, a quote after it
// (whitespace between allowed) opens a value that only the same quote closes.
struct Quoting {
    bool armed = false;
    char16_t quote = 0;
    char16_t previous = 0;

    // Returns true when `c` is markup (outside a quoted value).
    bool Step(char16_t c) {
        if (quote) {
            if (c == quote) quote = 0;
            previous = c;
            return false;
        }
        if (c == u'=') {
            armed = !armed && previous != u'=';
        } else if (armed) {
            if (c == u'"' || c == u'\'') {
                quote = c;
                armed = false;
                previous = c;
                return false;
            }
            if (!IsSpace(c)) armed = false;
        }
        previous = c;
        return true;
    }
};

enum class Markup { Ended, EndedByLess, EndOfText };

// Skips malformed markup like a start tag: up to a ">" (included) or a "<" (excluded).
Markup SkipMalformed(const char16_t* t, int32_t& p) {
    Quoting q;
    for (;; ++p) {
        char16_t c = t[p];
        if (!c) return Markup::EndOfText;
        if (!q.Step(c)) continue;
        if (c == u'>') {
            ++p;
            return Markup::Ended;
        }
        if (c == u'<') return Markup::EndedByLess;
    }
}

// Finds the ">" that closes a node ending in `a` `b` ">" (or `b` ">" when a is 0), counting
// offsets from the node's "<" at `begin`; `minOffset` is the terminator's length.
bool SkipToTerminator(const char16_t* t, int32_t begin, int32_t& p, char16_t a, char16_t b,
                      int32_t minOffset) {
    for (;; ++p) {
        char16_t c = t[p];
        if (!c) return false;
        if (c != u'>') continue;
        if (p - begin > minOffset && t[p - 1] == b && (!a || t[p - 2] == a)) {
            ++p;
            return true;
        }
    }
}

// A declaration "<!E", "<!A", "<!N": both quote kinds open and close quoted sections.
bool SkipDeclaration(const char16_t* t, int32_t& p) {
    char16_t quote = 0;
    for (;; ++p) {
        char16_t c = t[p];
        if (!c) return false;
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == u'"' || c == u'\'') {
            quote = c;
        } else if (c == u'>') {
            ++p;
            return true;
        }
    }
}

// A malformed node: its error, and the message built from it.
void Fail(NodeToken& token, ParseStatus status, int32_t offset) {
    token.error = status;
    token.errorOffset = offset;
    token.name = ParseErrorText(status, offset);
}

}  // namespace

bool CXmlDocument::SkipWhitespace(const char16_t* text, int32_t& position) {
    // Runs of whitespace inside tags are a character or two: a plain loop ends them soonest.
    while (IsSpace(text[position])) ++position;
    return text[position] != 0;
}

bool CXmlDocument::NextToken(TokenCursor& cursor) {
    const char16_t* t = cursor.text;
    int32_t p = cursor.next;
    if (!SkipWhitespace(t, p)) {
        cursor.nameStart = cursor.next = p;
        cursor.nameEnd = p - 1;
        return false;
    }
    cursor.nameStart = p;
    for (;; ++p) {
        char16_t c = t[p];
        if (!c || IsSpace(c) || c == u'<' || c == u'>' || c == u'=' || c == u'\\' || c == u'/' ||
            c == u'?' || c == u'!')
            break;
    }
    if (p == cursor.nameStart) ++p;
    cursor.next = p;
    cursor.nameEnd = p - 1;
    return true;
}

CString CXmlDocument::TokenText(const TokenCursor& cursor) {
    if (cursor.nameStart > cursor.nameEnd) return CString();
    return CString(cursor.text + cursor.nameStart,
                   static_cast<size_t>(cursor.nameEnd - cursor.nameStart + 1));
}

bool CXmlDocument::TokenMatches(const TokenCursor& cursor, const char16_t* name) {
    if (!name) return false;
    const int32_t length = cursor.nameEnd - cursor.nameStart + 1;
    const char16_t* token = cursor.text + cursor.nameStart;
    const bool ignoreCase = (cursor.flags & DocIgnoreCase) != 0;
    for (int32_t i = 0; i < length; ++i) {
        char16_t a = token[i];
        char16_t b = name[i];
        if (!b) return false;  // the name is shorter than the token
        if (a != b) {
            if (!ignoreCase) return false;
            if (platform::FoldAscii(a) != platform::FoldAscii(b)) return false;
        }
    }
    char16_t after = name[length < 0 ? 0 : length];
    return after == 0 || after == u' ' || after == u'=' || after == u'/' || after == u'[' ||
           after == u']';
}

int32_t CXmlDocument::ScanNode(TokenCursor& cursor, NodeToken& token) {
    const char16_t* t = cursor.text;
    const int32_t begin = cursor.next;
    token.start = begin;
    token.flags = 0;
    int32_t p = begin;
    char16_t c = t[p];
    if (!c) {
        token.type = 0;
        token.length = 0;
        return NodeEnd;
    }

    int32_t type;
    auto finish = [&](int32_t end) {
        cursor.next = end;
        token.type = type;
        token.length = end - begin;
        return type;
    };
    auto unterminated = [&](ParseStatus kind) {
        while (t[p]) ++p;
        Fail(token, kind, begin);
        type = NodeError;
        return finish(p);
    };
    // A malformed beginning: skipped like a start tag, reported as `what`.
    auto malformed = [&](ParseStatus what) {
        Fail(token, what, begin);
        type = NodeError;
        if (SkipMalformed(t, p) == Markup::EndOfText) return unterminated(kKindTag);
        return finish(p);
    };

    if (c != u'<') {
        // Whitespace up to a "<" or the end is its own node; anything else makes it text.
        while (IsSpace(t[p])) ++p;
        if (!t[p] || t[p] == u'<') {
            type = NodeWhitespace;
            return finish(p);
        }
        type = NodeText;
        for (;; ++p) {
            char16_t d = t[p];
            if (!d || d == u'<') break;
            if (d == u'>') {
                ++p;
                break;
            }
        }
        return finish(p);
    }

    c = t[p + 1];
    if (IsNameStart(c)) {
        xmlscan::Marks marks(t, p + 1);
        if (!xmlscan::ReadStartTag(t, begin, marks, token)) return unterminated(kKindElement);
        cursor.next = begin + token.length;
        return NodeElement;
    }
    if (c == u'/') {
        type = NodeEndTag;
        const int32_t nameBegin = p + 2;
        const int32_t nameEnd = xmlscan::NameEnd(t, nameBegin);
        cursor.nameStart = nameBegin;
        cursor.nameEnd = nameEnd - 1;
        p = nameEnd;
        while (t[p] && t[p] != u'>') ++p;
        if (!t[p]) return unterminated(kKindEndTag);
        return finish(p + 1);
    }
    if (c == u'?') {
        type = NodeProcessingInstruction;
        const int32_t nameBegin = p + 2;
        p = xmlscan::NameEnd(t, nameBegin);
        token.name.assign(t + nameBegin, static_cast<size_t>(p - nameBegin));
        if (!SkipToTerminator(t, begin, p, 0, u'?', 2)) return unterminated(kKindPi);
        return finish(p);
    }
    if (c == 0) {
        p += 1;
        return unterminated(kKindTag);
    }
    if (c != u'!') {
        p += 1;
        return malformed(ParseStatus::BadTagNameCharacter);
    }

    // "<!" ...
    c = t[p + 2];
    if (c == u'-') {
        if (t[p + 3] == 0) {
            p += 3;
            return unterminated(kKindTag);
        }
        if (t[p + 3] != u'-') {
            p += 3;
            return malformed(ParseStatus::BadCommentTag);
        }
        type = NodeComment;
        p += 4;
        if (!SkipToTerminator(t, begin, p, u'-', u'-', 3)) return unterminated(kKindComment);
        return finish(p);
    }
    if (c == u'[') {
        if (t[p + 3] == 0) {
            p += 3;
            return unterminated(kKindTag);
        }
        if (t[p + 3] != u'C') {
            p += 3;
            return malformed(ParseStatus::BadTag);
        }
        type = NodeCData;
        p += 4;
        if (!SkipToTerminator(t, begin, p, u']', u']', 3)) return unterminated(kKindCData);
        return finish(p);
    }
    if (c == u'E' || c == u'A' || c == u'N') {
        type = NodeDoctype;
        p += 3;
        if (!SkipDeclaration(t, p)) return unterminated(kKindDoctype);
        return finish(p);
    }
    if (c == 0) {
        p += 2;
        return unterminated(kKindTag);
    }
    if (c != u'D') {
        p += 2;
        return malformed(ParseStatus::BadDeclaration);
    }

    // DOCTYPE: internal markup is read by the same rules, each item up to its own end; a ">"
    // outside it ends the DOCTYPE. Errors inside are forgiven if the DOCTYPE ends properly.
    type = NodeDoctype;
    p += 3;
    int32_t errorOffset = begin;  // the last ">" that ended internal markup, for messages
    for (;;) {
        char16_t d = t[p];
        if (!d) {
            Fail(token, kKindDoctype, begin);
            type = NodeError;
            return finish(p);
        }
        if (d == u'>') return finish(p + 1);
        if (d != u'<') {
            ++p;
            continue;
        }
        const int32_t item = p;
        char16_t e = t[p + 1];
        bool ok = true;
        ParseStatus what = ParseStatus::Ok;
        if (e == u'!') {
            char16_t f = t[p + 2];
            if (f == u'-') {
                if (t[p + 3] == u'-') {
                    p += 4;
                    ok = SkipToTerminator(t, item, p, u'-', u'-', 3);
                } else {
                    what = ParseStatus::BadCommentTag;
                    p += 3;
                }
            } else if (f == u'E' || f == u'A' || f == u'N') {
                p += 3;
                ok = SkipDeclaration(t, p);
            } else {
                // "<![" and "<!D" included: not allowed in a DOCTYPE.
                what = ParseStatus::BadDeclaration;
                p += 2;
            }
        } else if (e == u'?') {
            p += 2;
            ok = SkipToTerminator(t, item, p, 0, u'?', 2);
        } else if (e == u'/') {
            p += 2;
            while (t[p] && t[p] != u'>') ++p;
            ok = t[p] != 0;
            if (ok) ++p;
        } else if (IsNameStart(e)) {
            p += 2;
            Quoting q;
            for (;; ++p) {
                char16_t g = t[p];
                if (!g) {
                    ok = false;
                    break;
                }
                if (q.Step(g) && g == u'>') {
                    ++p;
                    break;
                }
            }
        } else {
            what = ParseStatus::BadTagNameCharacter;
            p += 1;
        }
        if (what != ParseStatus::Ok) {
            Fail(token, what, errorOffset);
            Markup m = SkipMalformed(t, p);
            if (m == Markup::EndedByLess) {
                type = NodeError;
                return finish(p);
            }
            if (m == Markup::EndOfText) continue;  // reported as an unterminated DOCTYPE
            errorOffset = p - 1;
            continue;
        }
        if (!ok) continue;  // ran to the end of the text
        errorOffset = p - 1;
    }
}

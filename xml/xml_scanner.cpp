// The node lexer and the small token scanner used inside start tags.
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "platform/ascii_fold.h"
#include "xml/internal/XmlInternals.h"

namespace {

inline bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

inline bool IsNameStart(char16_t c) {
    return (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' || c > 0x60;
}

inline bool EndsName(char16_t c) {
    return c == 0 || IsSpace(c) || c == u'/' || c == u'>';
}

// Kinds of node for the "unterminated" error.
constexpr ParseStatus kKindDoctype = ParseStatus::UnterminatedDoctype;
constexpr ParseStatus kKindElement = ParseStatus::UnterminatedElementTag;
constexpr ParseStatus kKindEndTag = ParseStatus::UnterminatedEndTag;
constexpr ParseStatus kKindCData = ParseStatus::UnterminatedCData;
constexpr ParseStatus kKindPi = ParseStatus::UnterminatedProcessingInstruction;
constexpr ParseStatus kKindComment = ParseStatus::UnterminatedComment;
constexpr ParseStatus kKindTag = ParseStatus::UnterminatedTag;

// The offset of the first character at or after `p` that is `a`, `b` or NUL. The text is read
// eight characters at a time in aligned blocks, which never cross into another page; the
// last block may reach past the terminator, so the sanitizer is told this read is meant.
#if defined(__SANITIZE_ADDRESS__)
#define BREVLO_BLOCK_READ __attribute__((no_sanitize_address, noinline))
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BREVLO_BLOCK_READ __attribute__((no_sanitize_address, noinline))
#endif
#endif
#ifndef BREVLO_BLOCK_READ
#define BREVLO_BLOCK_READ
#endif
BREVLO_BLOCK_READ
inline int32_t FindMark(const char16_t* t, int32_t p, char16_t a, char16_t b) {
    // Names and values in a tag are mostly short: a plain loop reaches their end before block
    // compares are set up (a 10 MB catalog parses in 9.5 ms instead of 13.3); the blocks take
    // over for long runs.
    for (int i = 0; i < 64; ++i, ++p) {
        const char16_t c = t[p];
        if (c == a || c == b || !c) return p;
    }
#ifdef __SSE2__
    const uintptr_t at = reinterpret_cast<uintptr_t>(t + p);
    if ((at & 1) == 0) {
        const auto* block = reinterpret_cast<const __m128i*>(at & ~uintptr_t{15});
        const __m128i va = _mm_set1_epi16(static_cast<short>(a));
        const __m128i vb = _mm_set1_epi16(static_cast<short>(b));
        const __m128i zero = _mm_setzero_si128();
        auto marks = [&](__m128i v) {
            const __m128i hit =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, va), _mm_cmpeq_epi16(v, vb)),
                             _mm_cmpeq_epi16(v, zero));
            return static_cast<unsigned>(_mm_movemask_epi8(hit));
        };
        unsigned mask = marks(_mm_load_si128(block)) & (~0u << (at & 15));
        while (!mask) mask = marks(_mm_load_si128(++block));
        const auto* found = reinterpret_cast<const char*>(block) + __builtin_ctz(mask);
        return static_cast<int32_t>(reinterpret_cast<const char16_t*>(found) - t);
    }
#endif
    while (t[p] && t[p] != a && t[p] != b) ++p;
    return p;
}

// Reads a name from `p` up to whitespace, "/", ">" or the end; returns its end.
inline int32_t ScanName(const char16_t* t, int32_t p) {
    while (!EndsName(t[p])) ++p;
    return p;
}

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
        type = NodeElement;
        const int32_t nameBegin = p + 1;
        p = ScanName(t, nameBegin);
        const int32_t nameEnd = p;
        token.nameStart = nameBegin;
        token.nameLength = nameEnd - nameBegin;
        // The quoting of values in a start tag (as Quoting::Step keeps it), taken only at the
        // characters that can change it: outside quotes only "=" and ">" matter. The name ends
        // before any "=", so the character before an "=" has always been read.
        int32_t pos = nameEnd;
        for (;;) {
            p = FindMark(t, pos, u'=', u'>');
            if (!t[p]) return unterminated(kKindElement);
            if (t[p] == u'>') break;
            pos = p + 1;
            if (t[p - 1] == u'=') continue;  // an "=" after "=" does not arm
            int32_t q = p + 1;
            while (IsSpace(t[q])) ++q;
            const char16_t e = t[q];
            if (e == u'"' || e == u'\'') {
                const int32_t close = FindMark(t, q + 1, e, e);
                if (!t[close]) return unterminated(kKindElement);
                pos = close + 1;
            } else {
                // Anything else disarms; a second "=" is consumed doing so.
                pos = e == u'=' ? q + 1 : q;
            }
        }
        if (p > nameEnd && t[p - 1] == u'/') {
            char16_t before = t[p - 2];
            if (p - 1 == nameEnd || IsSpace(before) || before == u'"' || before == u'\'')
                token.flags |= TokenEmptyElement;
        }
        return finish(p + 1);
    }
    if (c == u'/') {
        type = NodeEndTag;
        const int32_t nameBegin = p + 2;
        const int32_t nameEnd = ScanName(t, nameBegin);
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
        p = ScanName(t, nameBegin);
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

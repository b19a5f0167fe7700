// The node lexer and the small token scanner used inside start tags.
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "xml/XmlDocument.h"

namespace {

inline bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

inline bool IsNameStart(char16_t c) {
    return (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' || c > 0x60;
}

#ifndef __SSE2__
inline bool EndsName(char16_t c) {
    return c == 0 || IsSpace(c) || c == u'/' || c == u'>';
}

inline bool IsTagMark(char16_t c) {
    return c == u'=' || c == u'>' || c == u'"' || c == u'\'' || c == 0;
}
#endif

// Kinds of node for the "unterminated" message.
constexpr const char16_t* kKindDoctype = u"Doctype";
constexpr const char16_t* kKindElement = u"Element tag";
constexpr const char16_t* kKindEndTag = u"Element end tag";
constexpr const char16_t* kKindCData = u"CDATA Section";
constexpr const char16_t* kKindPi = u"Processing instruction";
constexpr const char16_t* kKindComment = u"Comment";
constexpr const char16_t* kKindTag = u"tag";

// With SSE2 the scans below look at 16 characters at once, each narrowed to a byte that
// keeps the ASCII characters below 0x7F and turns every other into 0x7F or 0x80, none of
// which they look for. Blocks are aligned to 32 bytes and never cross into another page: a
// block may reach before the text or past its terminator, and what lies there is never
// taken (the sanitizer is told these reads are meant). Elsewhere they read plainly.
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

#ifdef __SSE2__
BREVLO_BLOCK_READ
inline __m128i NarrowBlock(uintptr_t block) {
    const auto* v = reinterpret_cast<const __m128i*>(block);
    return _mm_packs_epi16(_mm_load_si128(v), _mm_load_si128(v + 1));
}

inline __m128i Is(__m128i bytes, char c) {
    return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c));
}

inline uint32_t Bits(__m128i hits) {
    return static_cast<uint32_t>(_mm_movemask_epi8(hits));
}

inline __m128i IsSpaceBytes(__m128i b) {
    return _mm_or_si128(_mm_or_si128(Is(b, ' '), Is(b, '\t')),
                        _mm_or_si128(Is(b, '\n'), Is(b, '\r')));
}

// The first character at or after `p` whose bit `hits` sets in the bits of its block.
template <class Hits>
inline int32_t FirstHit(const char16_t* t, int32_t p, Hits hits) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(t + p);
    uintptr_t block = at & ~uintptr_t{31};
    uint32_t mask = hits(NarrowBlock(block)) & (~0u << ((at - block) / 2));
    while (!mask) {
        block += 32;
        mask = hits(NarrowBlock(block));
    }
    return static_cast<int32_t>((block - reinterpret_cast<uintptr_t>(t)) / 2 +
                                static_cast<uintptr_t>(__builtin_ctz(mask)));
}
#endif

// The characters that can change the reading of a start tag ("=", ">", the two quotes and
// the terminator), handed out one by one in text order from a given offset on; with
// blocks, 64 characters are looked at once.
class TagMarks {
  public:
#ifdef __SSE2__
    TagMarks(const char16_t* text, int32_t from) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(text + from);
        window_ = at & ~uintptr_t{127};
        next_ = from - static_cast<int32_t>((at - window_) / 2);
        mask_ = MarksOfWindow(window_) & (~uint64_t{0} << ((at - window_) / 2));
    }
#else
    TagMarks(const char16_t* text, int32_t from) : text_(text), next_(from) {}
#endif

    // The offset of the next mark, which is then behind.
    int32_t Next() {
#ifdef __SSE2__
        while (!mask_) {
            window_ += 128;
            next_ += 64;
            mask_ = MarksOfWindow(window_);
        }
        const int32_t at = next_ + __builtin_ctzll(mask_);
        mask_ &= mask_ - 1;
        return at;
#else
        while (!IsTagMark(text_[next_])) ++next_;
        return next_++;
#endif
    }

  private:
#ifdef __SSE2__
    static uint64_t MarksOfWindow(uintptr_t window) {
        uint64_t mask = 0;
        for (int k = 0; k < 4; ++k) {
            const __m128i b = NarrowBlock(window + 32 * k);
            const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_or_si128(Is(b, '='), Is(b, '>')),
                                                           _mm_or_si128(Is(b, '"'), Is(b, '\''))),
                                              _mm_cmpeq_epi8(b, _mm_setzero_si128()));
            mask |= static_cast<uint64_t>(Bits(hits)) << (16 * k);
        }
        return mask;
    }

    uintptr_t window_;  // the 128 bytes that `mask_` describes, 64 characters from `next_` on
    uint64_t mask_;     // the marks of the window not handed out yet
#else
    const char16_t* text_;
#endif
    int32_t next_;
};

// Reads a name from `p` up to whitespace, "/", ">" or the end; returns its end.
inline int32_t ScanName(const char16_t* t, int32_t p) {
#ifdef __SSE2__
    return FirstHit(t, p, [](__m128i b) {
        return Bits(
            _mm_or_si128(_mm_or_si128(IsSpaceBytes(b), _mm_cmpeq_epi8(b, _mm_setzero_si128())),
                         _mm_or_si128(Is(b, '/'), Is(b, '>'))));
    });
#else
    while (!EndsName(t[p])) ++p;
    return p;
#endif
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

CString Incorrect(const char16_t* what, int32_t offset) {
    return FormatMessageText(u"Incorrect %s at offset %d", what, offset);
}

CString Unterminated(const char16_t* kind, int32_t offset) {
    return FormatMessageText(u"%s at offset %d unterminated", kind, offset);
}

}  // namespace

bool CXmlDocument::SkipWhitespace(const char16_t* text, int32_t& position) {
#ifdef __SSE2__
    position = FirstHit(text, position, [](__m128i b) { return ~Bits(IsSpaceBytes(b)) & 0xFFFF; });
#else
    while (IsSpace(text[position])) ++position;
#endif
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
            if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a + 32);
            if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b + 32);
            if (a != b) return false;
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
    auto unterminated = [&](const char16_t* kind) {
        while (t[p]) ++p;
        token.name = Unterminated(kind, begin);
        type = NodeError;
        return finish(p);
    };
    // A malformed beginning: skipped like a start tag, reported with `what`.
    auto malformed = [&](const char16_t* what) {
        token.name = Incorrect(what, begin);
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
        // The quoting of a start tag (as Quoting::Step keeps it), taken only at the characters that
        // can change it: outside quotes "=" and ">" (a quote there is plain), inside only the
        // closing quote. The name ends before any "=", so the character before an "=" has
        // always been read.
        TagMarks marks(t, nameEnd);
        for (;;) {
            p = marks.Next();
            const char16_t m = t[p];
            if (m == u'>') break;
            if (!m) return unterminated(kKindElement);
            if (m != u'=' || t[p - 1] == u'=') continue;  // an "=" after "=" does not arm
            // Armed: whitespace keeps it so; the character after it is a mark when it is a
            // quote or "=", and the next one.
            int32_t q = p + 1;
            while (IsSpace(t[q])) ++q;
            const char16_t e = t[q];
            if (e == u'"' || e == u'\'') {
                marks.Next();
                int32_t close;
                do {
                    close = marks.Next();
                } while (t[close] != e && t[close]);
                if (!t[close]) return unterminated(kKindElement);
            } else if (e == u'=') {
                marks.Next();  // anything else disarms; a second "=" is consumed doing so
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
        return malformed(u"tag name character");
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
            return malformed(u"comment tag");
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
            return malformed(u"tag");
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
        return malformed(u"! tag");
    }

    // DOCTYPE: internal markup is read by the same rules, each item up to its own end; a ">"
    // outside it ends the DOCTYPE. Errors inside are forgiven if the DOCTYPE ends properly.
    type = NodeDoctype;
    p += 3;
    int32_t errorOffset = begin;  // the last ">" that ended internal markup, for messages
    for (;;) {
        char16_t d = t[p];
        if (!d) {
            token.name = Unterminated(kKindDoctype, begin);
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
        const char16_t* what = nullptr;
        if (e == u'!') {
            char16_t f = t[p + 2];
            if (f == u'-') {
                if (t[p + 3] == u'-') {
                    p += 4;
                    ok = SkipToTerminator(t, item, p, u'-', u'-', 3);
                } else {
                    what = u"comment tag";
                    p += 3;
                }
            } else if (f == u'E' || f == u'A' || f == u'N') {
                p += 3;
                ok = SkipDeclaration(t, p);
            } else {
                what = u"! tag";  // "<![" and "<!D" included: not allowed in a DOCTYPE
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
            what = u"tag name character";
            p += 1;
        }
        if (what) {
            token.name = Incorrect(what, errorOffset);
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

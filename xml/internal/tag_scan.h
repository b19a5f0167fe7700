// Reading tags quickly, for the lexer and the parser: the characters that shape markup ("<",
// ">", "=", the two quotes and the terminator) handed out in text order, and the end of a
// name found without a look at each character on its own.
//
// With SSE2 the text is read in blocks of 16 characters, each narrowed to a byte that keeps
// the ASCII characters below 0x7F and turns every other into 0x7F or 0x80, none of which is
// looked for. Blocks are aligned to 32 bytes and never cross into another page: a block may
// reach before the text or past its terminator, and what lies there is never taken (the
// sanitizer is told these reads are meant). Elsewhere the same functions read plainly.
#pragma once

#include <cstdint>

#include "xml/internal/scanner.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

namespace xmlscan {

inline bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

inline bool IsNameStart(char16_t c) {
    return (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' || c > 0x60;
}

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

inline __m128i IsSpaceByte(__m128i b) {
    return _mm_or_si128(_mm_or_si128(Is(b, ' '), Is(b, '\t')),
                        _mm_or_si128(Is(b, '\n'), Is(b, '\r')));
}

// The first character at or after `p` whose bit `hits` sets for its block.
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

// The end of a name read from `p`: the first whitespace, "/", ">" or terminator.
inline int32_t NameEnd(const char16_t* t, int32_t p) {
#ifdef __SSE2__
    return FirstHit(t, p, [](__m128i b) {
        return Bits(
            _mm_or_si128(_mm_or_si128(IsSpaceByte(b), _mm_cmpeq_epi8(b, _mm_setzero_si128())),
                         _mm_or_si128(Is(b, '/'), Is(b, '>'))));
    });
#else
    while (t[p] && !IsSpace(t[p]) && t[p] != u'/' && t[p] != u'>') ++p;
    return p;
#endif
}

// The marks of a text ("<", ">", "=", the quotes, the terminator) from an offset on, handed
// out one at a time in text order; with SSE2, 64 characters are looked at at once.
class Marks {
  public:
    Marks(const char16_t* text, int32_t from) : text_(text) {
#ifdef __SSE2__
        Load(from);
#else
        next_ = from;
#endif
    }

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
        while (!IsMark(text_[next_])) ++next_;
        return next_++;
#endif
    }

    // Hands out the marks from `offset` on, whatever was handed out before.
    void Restart(int32_t offset) {
#ifdef __SSE2__
        Load(offset);
#else
        next_ = offset;
#endif
    }

    // Leaves behind the marks before `offset`, which lies past the last one handed out.
    void SkipTo(int32_t offset) {
#ifdef __SSE2__
        if (offset - next_ >= 64) {
            Load(offset);
            return;
        }
        mask_ &= ~uint64_t{0} << (offset - next_);
#else
        if (offset > next_) next_ = offset;
#endif
    }

  private:
#ifdef __SSE2__
    void Load(int32_t from) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(text_ + from);
        window_ = at & ~uintptr_t{127};
        next_ = from - static_cast<int32_t>((at - window_) / 2);
        mask_ = MarksOfWindow(window_) & (~uint64_t{0} << ((at - window_) / 2));
    }

    static uint64_t MarksOfWindow(uintptr_t window) {
        uint64_t mask = 0;
        for (int k = 0; k < 4; ++k) {
            const __m128i b = NarrowBlock(window + 32 * k);
            const __m128i hits =
                _mm_or_si128(_mm_or_si128(_mm_or_si128(Is(b, '<'), Is(b, '>')),
                                          _mm_or_si128(Is(b, '='), Is(b, '"'))),
                             _mm_or_si128(Is(b, '\''), _mm_cmpeq_epi8(b, _mm_setzero_si128())));
            mask |= static_cast<uint64_t>(Bits(hits)) << (16 * k);
        }
        return mask;
    }

    uintptr_t window_ = 0;  // the 128 bytes that `mask_` describes, 64 characters from `next_`
    uint64_t mask_ = 0;     // the marks of the window not handed out yet
#else
    static bool IsMark(char16_t c) {
        return c == u'<' || c == u'>' || c == u'=' || c == u'"' || c == u'\'' || c == 0;
    }
#endif
    const char16_t* text_;
    int32_t next_ = 0;
};

// Reads the start tag whose "<" is at `begin`, a name-start character after it, as the lexer
// does: its name, its length and whether "/>" makes it an empty element. `marks` stands at
// most at the name. False, the token part-filled, when the text ends inside the tag.
inline bool ReadStartTag(const char16_t* t, int32_t begin, Marks& marks, NodeToken& token) {
    const int32_t nameEnd = NameEnd(t, begin + 1);
    token.nameStart = begin + 1;
    token.nameLength = nameEnd - begin - 1;
    marks.SkipTo(nameEnd);
    // Quoting, as the lexer's Quoting::Step keeps it, taken only at the characters that can
    // change it: outside quotes "=" and ">" (a quote or "<" there is plain), inside only the
    // closing quote. An "=" lies past the name, so the character before it is in the tag.
    int32_t p;
    for (;;) {
        p = marks.Next();
        const char16_t m = t[p];
        if (m == u'>') break;
        if (!m) return false;
        if (m != u'=' || t[p - 1] == u'=') continue;  // an "=" after "=" does not arm
        // Armed: whitespace keeps it so; the character after that is the next mark when it
        // is a quote or "=".
        int32_t q = p + 1;
        while (IsSpace(t[q])) ++q;
        const char16_t e = t[q];
        if (e == u'"' || e == u'\'') {
            marks.Next();
            int32_t close;
            do {
                close = marks.Next();
            } while (t[close] != e && t[close]);
            if (!t[close]) return false;
        } else if (e == u'=') {
            marks.Next();  // anything else disarms; a second "=" is consumed doing so
        }
    }
    token.flags = 0;
    if (p > nameEnd && t[p - 1] == u'/') {
        const char16_t before = t[p - 2];
        if (p - 1 == nameEnd || IsSpace(before) || before == u'"' || before == u'\'')
            token.flags = TokenEmptyElement;
    }
    token.type = NodeElement;
    token.start = begin;
    token.length = p + 1 - begin;
    return true;
}

// Reads the end tag whose "</" is at `begin`, as the lexer does: its name into the cursor and
// its length. `marks` stands at most at the name. False when the text ends inside the tag.
inline bool ReadEndTag(const char16_t* t, int32_t begin, Marks& marks, TokenCursor& cursor,
                       NodeToken& token) {
    const int32_t nameEnd = NameEnd(t, begin + 2);
    cursor.nameStart = begin + 2;
    cursor.nameEnd = nameEnd - 1;
    marks.SkipTo(nameEnd);
    int32_t p;
    do {
        p = marks.Next();
    } while (t[p] != u'>' && t[p]);
    if (!t[p]) return false;
    token.type = NodeEndTag;
    token.start = begin;
    token.length = p + 1 - begin;
    token.flags = 0;
    return true;
}

}  // namespace xmlscan

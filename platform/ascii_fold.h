// The one ASCII fold, as the runtime's _wcsicmp does it: A-Z become a-z, every other character
// (accented, Greek, Chinese) stays itself. Album and item names, element names compared
// without case, the command word and the prefix's drive and folder names all compare this way.
// File names in Windows' own compare and the registry's key names fold more and keep their
// own rules.
#pragma once

namespace platform {

template <typename Char>
constexpr Char FoldAscii(Char c) {
    return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c + ('a' - 'A')) : c;
}

// _wcsicmp: <0, 0 or >0, comparing up to the first NUL.
inline int CompareNoCase(const char16_t* a, const char16_t* b) {
    for (;; ++a, ++b) {
        const char16_t x = FoldAscii(*a), y = FoldAscii(*b);
        if (x != y || !x) return static_cast<int>(x) - static_cast<int>(y);
    }
}

}  // namespace platform

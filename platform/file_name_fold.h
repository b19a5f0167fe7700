// File names as Windows compares them: through its upper-case table, not the runtime's ASCII
// fold (see ascii_fold.h). Paths compare with either separator.
#pragma once

#include <string>
#include <string_view>

#include "platform/ascii_fold.h"

namespace platform {

// This covers the scripts pack file names are written in (Latin, Greek, Cyrillic, full-width
// Latin).
constexpr char16_t FoldFileChar(char16_t c) {
    if (c >= u'A' && c <= u'Z') return FoldAscii(c);
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB) ||
        (c >= 0x410 && c <= 0x42F) || (c >= 0xFF21 && c <= 0xFF3A))
        return static_cast<char16_t>(c + 32);
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
        c != 0x17F) {
        const bool oddPairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if ((c % 2 == 1) == oddPairs) return static_cast<char16_t>(c + 1);
    }
    return c;
}

// The path folded, with "/" for either separator: equal results name the same file.
inline std::u16string FoldFilePath(std::u16string_view path) {
    std::u16string folded;
    folded.reserve(path.size());
    for (char16_t c : path) folded += c == u'\\' ? u'/' : FoldFileChar(c);
    return folded;
}

}  // namespace platform

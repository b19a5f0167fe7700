// UTF-16 text as the wide strings of the Windows calls: wchar_t is 16 bits there, so a cast.
#pragma once

namespace platform {

inline const wchar_t* Wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
inline wchar_t* Wide(char16_t* text) {
    return reinterpret_cast<wchar_t*>(text);
}

}  // namespace platform

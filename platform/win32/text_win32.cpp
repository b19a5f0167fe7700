// Code-page conversion through MultiByteToWideChar and WideCharToMultiByte, whole and by blocks,
// with the check that a file's bytes come back exactly.
#include <windows.h>

#include <climits>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace platform {

namespace {

// Code pages for which WideCharToMultiByte refuses the used-default argument.
bool TakesUsedDefault(UINT codePage) {
    if (codePage == CP_UTF7 || codePage == CP_UTF8 || codePage == 42) return false;
    if (codePage >= 50220 && codePage <= 50229) return false;
    if (codePage >= 57002 && codePage <= 57011) return false;
    return true;
}

}  // namespace

uint32_t AnsiCodePage() {
    return ::GetACP();
}

bool CodePageToWide(uint32_t codePage, const char* bytes, size_t count, TextBuffer& out) {
    if (count > static_cast<size_t>(INT_MAX)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    const int n = static_cast<int>(count);
    int chars = 0;
    if (n) {
        chars = ::MultiByteToWideChar(codePage, 0, bytes, n, nullptr, 0);
        if (chars <= 0) return false;
    }
    // A buffer of exactly the converted length, swapped in only once it is filled.
    TextBuffer fresh;
    if (!fresh.Resize(chars)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (chars && ::MultiByteToWideChar(codePage, 0, bytes, n,
                                       reinterpret_cast<wchar_t*>(fresh.data()), chars) != chars) {
        return false;
    }
    out.Swap(fresh);
    return true;
}

bool WideToCodePage(uint32_t codePage, const char16_t* text, size_t count, std::string& out,
                    bool& usedDefault) {
    usedDefault = false;
    out.clear();
    if (!count) return true;
    if (count > static_cast<size_t>(INT_MAX)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    const auto* wide = reinterpret_cast<const wchar_t*>(text);
    const int n = static_cast<int>(count);
    BOOL used = FALSE;
    BOOL* usedArgument = TakesUsedDefault(codePage) ? &used : nullptr;
    int bytes = ::WideCharToMultiByte(codePage, 0, wide, n, nullptr, 0, nullptr, usedArgument);
    if (bytes <= 0) return false;
    try {
        out.resize(static_cast<size_t>(bytes));
    } catch (...) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    used = FALSE;
    if (::WideCharToMultiByte(codePage, 0, wide, n, out.data(), bytes, nullptr, usedArgument) !=
        bytes) {
        out.clear();
        return false;
    }
    usedDefault = used != FALSE;
    return true;
}

bool AnsiToWide(const char* bytes, size_t count, TextBuffer& out) {
    return CodePageToWide(CP_ACP, bytes, count, out);
}

bool AnsiToWideBlock(const char* bytes, size_t count, bool last, char16_t* out, size_t& consumed,
                     size_t& produced, bool& exact) {
    return CodePageToWideBlock(0, bytes, count, last, out, consumed, produced, exact);
}

bool CodePageToWideBlock(uint32_t requested, const char* bytes, size_t count, bool last,
                         char16_t* out, size_t& consumed, size_t& produced, bool& exact) {
    const UINT codePage = requested ? requested : ::GetACP();
    consumed = produced = 0;
    if (count > static_cast<size_t>(INT_MAX / 2)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    size_t n = count;
    if (!last) {
        const auto* s = reinterpret_cast<const unsigned char*>(bytes);
        if (codePage == CP_UTF8) {
            size_t start = n;
            for (int k = 0; k < 3 && start > 0 && (s[start - 1] & 0xC0) == 0x80; ++k) --start;
            if (start > 0) {
                const unsigned char lead = s[start - 1];
                const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
                if (n - (start - 1) < need) n = start - 1;
            }
        } else {
            // A lead byte at the end waits for its trail byte.
            size_t i = 0;
            while (i < n) {
                if (::IsDBCSLeadByteEx(codePage, s[i])) {
                    if (i + 1 >= n) {
                        n = i;
                        break;
                    }
                    i += 2;
                } else {
                    ++i;
                }
            }
        }
    }
    if (n == 0) return true;
    auto* wide = reinterpret_cast<wchar_t*>(out);
    const int chars = ::MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(n), wide,
                                            static_cast<int>(count));
    if (chars <= 0) return false;
    // Exact when the characters come back to the same bytes.
    std::string back;
    bool usedDefault = false;
    if (!WideToCodePage(codePage, out, static_cast<size_t>(chars), back, usedDefault)) return false;
    if (usedDefault || back.size() != n || std::memcmp(back.data(), bytes, n) != 0) exact = false;
    consumed = n;
    produced = static_cast<size_t>(chars);
    return true;
}

bool WideToAnsiBlock(const char16_t* text, size_t count, char* out, size_t& written,
                     bool& usedDefault) {
    written = 0;
    if (!count) return true;
    if (count > static_cast<size_t>(INT_MAX / 3)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    const UINT codePage = ::GetACP();
    BOOL used = FALSE;
    BOOL* usedArgument = TakesUsedDefault(codePage) ? &used : nullptr;
    const int bytes = ::WideCharToMultiByte(codePage, 0, reinterpret_cast<const wchar_t*>(text),
                                            static_cast<int>(count), out,
                                            static_cast<int>(count * 3), nullptr, usedArgument);
    if (bytes <= 0) return false;
    if (used) usedDefault = true;
    written = static_cast<size_t>(bytes);
    return true;
}

bool WideToAnsi(const char16_t* text, size_t count, std::string& out, bool& usedDefault) {
    // The actual number, so that a UTF-8 system code page is not asked for the default flag.
    return WideToCodePage(::GetACP(), text, count, out, usedDefault);
}

}  // namespace platform

#include <windows.h>

#include <climits>

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

bool WideToAnsi(const char16_t* text, size_t count, std::string& out, bool& usedDefault) {
    // The actual number, so that a UTF-8 system code page is not asked for the default flag.
    return WideToCodePage(::GetACP(), text, count, out, usedDefault);
}

}  // namespace platform

// The last error and its text: the thread's Win32 error code, and FormatMessageW's words for it.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

uint32_t GetLastError() {
    return ::GetLastError();
}

void SetLastError(uint32_t code) {
    ::SetLastError(code);
}

CString SystemErrorText() {
    const DWORD code = ::GetLastError();
    wchar_t buffer[100];
    DWORD count = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, buffer, 100, nullptr);
    ::SetLastError(code);  // asking about the error must not change it
    CString text(reinterpret_cast<const char16_t*>(buffer), count);
    return text.substr(0, text.find_first_of(u"\r\n"));
}

}  // namespace platform

#include <cstdarg>

#include "xml/XmlDocument.h"

CString DecimalText(int32_t value) {
    char16_t digits[12];
    int n = 0;
    // Work in unsigned so that INT32_MIN has a magnitude.
    uint32_t magnitude =
        value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[n++] = static_cast<char16_t>(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    CString out;
    out.reserve(static_cast<size_t>(n) + 1);
    if (value < 0) out.push_back(u'-');
    while (n) out.push_back(digits[--n]);
    return out;
}

CString FormatMessageText(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    CString out;
    for (const char16_t* p = format; *p; ++p) {
        if (p[0] == u'%' && p[1] == u'd') {
            out += DecimalText(va_arg(args, int32_t));
            ++p;
        } else if (p[0] == u'%' && p[1] == u's') {
            const char16_t* s = va_arg(args, const char16_t*);
            if (s) out += s;
            ++p;
        } else {
            out.push_back(*p);
        }
    }
    va_end(args);
    return out;
}

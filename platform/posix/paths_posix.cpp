// PathCombineW and PathAppendW as Wine's shlwapi does them: one backslash between, "." and
// ".." resolved by PathCanonicalizeW's rules, and failure (an empty buffer) when the joined
// text would not fit in kMaxPath characters.
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

size_t Length(const char16_t* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

// lstrcpynW: at most `size` - 1 characters and always a terminator.
void CopyN(char16_t* dest, const char16_t* src, size_t size) {
    size_t i = 0;
    for (; i + 1 < size && src[i]; ++i) dest[i] = src[i];
    dest[i] = 0;
}

bool IsUnc(const char16_t* path) {
    return path[0] == u'\\' && path[1] == u'\\';
}

bool IsRelative(const char16_t* path) {
    if (!path[0]) return true;
    return !(path[0] == u'\\' || path[1] == u':');
}

bool IsRoot(const char16_t* path) {
    if (!path[0]) return false;
    if (path[0] == u'\\') {
        if (!path[1]) return true;
        if (path[1] == u'\\') {
            bool seenSlash = false;
            for (const char16_t* p = path + 2; *p; ++p) {
                if (*p == u'\\') {
                    if (seenSlash) return false;
                    seenSlash = true;
                }
            }
            return true;
        }
        return false;
    }
    return path[1] == u':' && path[2] == u'\\' && path[3] == 0;
}

bool RemoveFileSpec(char16_t* path) {
    char16_t* fileSpec = path;
    if (*path == u'\\') fileSpec = ++path;
    if (*path == u'\\') fileSpec = ++path;
    while (*path) {
        if (*path == u'\\') {
            fileSpec = path;
        } else if (*path == u':') {
            fileSpec = ++path;
            if (*path == u'\\') ++fileSpec;
            if (!*path) break;
        }
        ++path;
    }
    if (!*fileSpec) return false;
    *fileSpec = 0;
    return true;
}

void StripToRoot(char16_t* path) {
    while (!IsRoot(path)) {
        if (!RemoveFileSpec(path)) return;
    }
}

bool IsUncServerShare(const char16_t* path) {
    if (path[0] != u'\\' || path[1] != u'\\') return false;
    bool seenSlash = false;
    for (const char16_t* p = path + 2; *p; ++p) {
        if (*p == u'\\') {
            if (seenSlash) return false;
            seenSlash = true;
        }
    }
    return seenSlash;
}

// PathCanonicalizeW; `buffer` holds kMaxPath characters and `path` fits in it.
void Canonicalize(char16_t* buffer, const char16_t* path) {
    const char16_t* src = path;
    char16_t* dst = buffer;
    if (!*path) {
        buffer[0] = u'\\';
        buffer[1] = 0;
        return;
    }
    if (*src == u'\\') {
        *dst++ = *src++;
    } else if (*src && src[1] == u':') {
        *dst++ = *src++;
        *dst++ = *src++;
        if (*src == u'\\') *dst++ = *src++;
    }
    while (*src) {
        if (*src == u'.') {
            if (src[1] == u'\\' && (src == path || src[-1] == u'\\' || src[-1] == u':')) {
                src += 2;  // ".\"
            } else if (src[1] == u'.' && dst != buffer && dst[-1] == u'\\') {
                // "\.." backs up one folder, over the root when no "\" follows "X:"; it stops
                // short of a UNC server name.
                *dst = 0;
                if (dst > buffer + 1 && dst[-1] == u'\\' &&
                    (dst[-2] != u'\\' || dst > buffer + 2)) {
                    if (dst[-2] == u':' && (dst > buffer + 3 || dst[-3] == u':')) {
                        dst -= 2;
                        while (dst > buffer && *dst != u'\\') --dst;
                        if (*dst == u'\\') {
                            ++dst;
                        } else {
                            dst = buffer;
                        }
                    } else if (dst[-2] != u':' && !IsUncServerShare(buffer)) {
                        dst -= 2;
                    }
                }
                while (dst > buffer && *dst != u'\\') --dst;
                if (dst == buffer) {
                    // Backed up to the start: a root takes the place of "..\". (Wine steps over
                    // the terminator when nothing follows "..", and reads on past the text.)
                    *dst++ = u'\\';
                    if (src[2]) ++src;
                }
                src += 2;
            } else {
                *dst++ = *src++;
            }
        } else {
            *dst++ = *src++;
        }
    }
    if (dst - buffer == 2 && dst[-1] == u':') *dst++ = u'\\';
    *dst = 0;
}

}  // namespace

bool CombinePath(char16_t* dest, const char16_t* folder, const char16_t* file) {
    if (!dest) return false;
    if (!folder && !file) {
        dest[0] = 0;
        return false;
    }
    char16_t joined[kMaxPath];
    bool useBoth = false;
    bool strip = false;
    if ((!file || !*file) && folder) {
        CopyN(joined, folder, kMaxPath);
    } else if (!folder || !*folder || !IsRelative(file)) {
        if (!folder || !*folder || *file != u'\\' || IsUnc(file)) {
            CopyN(joined, file, kMaxPath);
        } else {
            useBoth = true;
            strip = true;
        }
    } else {
        useBoth = true;
    }
    if (useBoth) {
        CopyN(joined, folder, kMaxPath);
        if (strip) {
            StripToRoot(joined);
            ++file;
        }
        size_t length = Length(joined);
        if (length >= static_cast<size_t>(kMaxPath)) {
            dest[0] = 0;
            return false;
        }
        if (length && joined[length - 1] != u'\\') {
            if (length + 1 >= static_cast<size_t>(kMaxPath)) {
                dest[0] = 0;
                return false;
            }
            joined[length++] = u'\\';
            joined[length] = 0;
        }
        size_t more = Length(file);
        if (length + more >= static_cast<size_t>(kMaxPath)) {
            dest[0] = 0;
            return false;
        }
        std::memcpy(joined + length, file, (more + 1) * sizeof(char16_t));
    }
    Canonicalize(dest, joined);
    return true;
}

bool AppendPath(char16_t* path, const char16_t* more) {
    if (!path || !more) return false;
    if (!IsUnc(more)) {
        while (*more == u'\\') ++more;
    }
    return CombinePath(path, path, more);
}

}  // namespace platform

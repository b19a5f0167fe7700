// The POSIX backend's open file, shared by the document's file system and the folders.
#pragma once

#include <cstdint>
#include <string>

#include "platform/TextBuffer.h"

namespace platform {

struct File {
    int fd;
    std::string hostPath;  // for messages; empty when reached through a folder
};

namespace posix {

// Wraps an open descriptor; closes it and returns null when memory runs out.
File* Wrap(int fd, std::string hostPath);

// A host name's bytes as UTF-16 and back. Bytes that are not UTF-8 become lone surrogates
// U+DC80..U+DCFF and come back as the same bytes (Python's "surrogateescape"), so a name
// read from a listing always opens again.
CString NameToWide(std::string_view bytes);
std::string NameToHost(std::u16string_view name);

// Random bits for the names of temporary files; creating them exclusively makes them unique.
uint64_t NextRandom();

}  // namespace posix

}  // namespace platform

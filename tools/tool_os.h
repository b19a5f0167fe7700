// What the companion tool needs of the operating system beyond the platform layer: its
// standard streams, command-line paths, and writing a catalog to whatever -o names.
#pragma once

#include <cstdio>
#include <string>

#include "platform/TextBuffer.h"

class CXmlDocument;

// Sets the streams up: catalog bytes go to standard output untranslated.
void InitStreams();

// Writes UTF-8 text for people: wide characters into a Windows console, the bytes elsewhere.
// False on a write error.
bool WriteText(std::FILE* stream, const std::string& utf8);

// A command-line path as the platform layer wants it (a Windows path, or an absolute host
// path that the POSIX layer maps).
CString ArgumentPath(const CString& argument);

// Saves the document to `path` as the import saves a catalog. A link is written through to
// its target; an existing file that is not a regular one (a FIFO, a device, a terminal) is
// written into directly, since replacing it by rename would put a regular file in its place.
// False with `message` set on failure.
bool SaveCatalogTo(CXmlDocument& doc, const CString& path, std::string& message);

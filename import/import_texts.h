// The texts an import that did not complete shows the user.
#pragma once

#include <cstdint>

#include "platform/TextBuffer.h"

CString CopyFailureText(const CString& path, const CString& message);
CString CatalogReadFailureText(const CString& path, const CString& message);
CString CatalogFormFailureText(const CString& path);
// The catalog reads as UTF-8 text; it must be text of `codePage`.
CString CatalogEncodingFailureText(const CString& path, uint32_t codePage);
// A pack's catalog of another form, for a product that has no catalog yet to merge it into.
CString FirstCatalogFormFailureText(const CString& path);
CString CatalogSaveFailureText(const CString& path, const CString& message);
CString InterruptedText();

// The texts an import that did not complete shows the user.
#pragma once

#include "platform/TextBuffer.h"

CString CopyFailureText(const CString& path, const CString& message);
CString CatalogReadFailureText(const CString& path, const CString& message);
CString CatalogFormFailureText(const CString& path);
CString CatalogSaveFailureText(const CString& path, const CString& message);
CString InterruptedText();

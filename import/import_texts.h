// The texts an import that did not complete shows the user.
#pragma once

#include <vector>

#include "platform/TextBuffer.h"

CString CopyFailureText(const CString& path, const CString& message);
CString CatalogReadFailureText(const CString& path, const CString& message);
CString CatalogFormFailureText(const CString& path);
CString CatalogSaveFailureText(const CString& path, const CString& message);
CString InterruptedText();
// Refusals before anything changes, and what stops the import while it waits or saves.
CString LinkRefusedText(const CString& link);
CString LockFailureText(const CString& folder, const CString& message);
CString CatalogNotAFileText(const CString& path);
CString DanglingCatalogText(const CString& path, const CString& target);
CString CatalogReplaceFailureText(const CString& path, const CString& message);
CString CatalogChangedText(const CString& path);
CString ReservedNamesText(const std::vector<CString>& paths);
CString LostNamesText(const std::vector<CString>& folders);
CString LeftoverText(const CString& entry);

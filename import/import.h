// The material import: catalog merge and item counts, the recursive copy, and the worker that
// chooses the folders and runs the whole import.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/TextBuffer.h"

class CXmlDocument;

// ---- catalog merge ------------------------------------------------------------------------

// The runtime's _wcsicmp: only A-Z and a-z fold; returns <0, 0, >0.
int CompareNoCase(const char16_t* a, const char16_t* b);

// True when the catalog has the root "mirvo" with an "albums" child, the only form the merge
// may write into.
bool HasCatalogForm(const CXmlDocument& catalog);
// Both return false only when memory ran out; the target then holds only the additions made
// before, and must not be saved.
bool MergeCatalog(CXmlDocument& source, CXmlDocument& target);
bool UpdateItemCounts(CXmlDocument& target);

// ---- copy ---------------------------------------------------------------------------------

// Copies the content of `source` into `destination`, subfolders first as met; with
// `overwrite` 0 an existing destination file is never replaced. Links are not followed.
void CopyTree(const CString& source, const CString& destination, int overwrite);

// ---- worker -------------------------------------------------------------------------------

constexpr uint32_t WM_IMPORT_DONE = 0x0401;
constexpr uintptr_t kImportDoneParam = 4;

constexpr int32_t kBoundedCopyOk = 0;
constexpr int32_t kBoundedCopyTruncated = static_cast<int32_t>(0x8007007A);
constexpr int32_t kBoundedCopyInvalid = static_cast<int32_t>(0x80070057);

int32_t BoundedCopy(char16_t* destination, size_t room, const char16_t* source);
bool IsWindowsNT6();

// What the worker reads of the application object.
struct ImportSettings {
    CString commandWord;
    CString installPath;
    uint32_t fileVersionHigh = 0;
    uint32_t fileVersionLow = 0;
    // How long to wait for another import of the same product to finish with its catalog.
    uint32_t lockTimeoutMilliseconds = 30000;
};

// How far an import went, for tests and tools; the user is never shown it.
struct ImportOutcome {
    CString productFolder;   // the product data folder chosen
    CString materialFolder;  // the material folder beside the tool
    bool copied = false;
    bool sourceLoaded = false;
    bool targetLoaded = false;
    bool merged = false;
    bool locked = false;    // the product catalog's lock was held from its load to its save
    bool verified = false;  // the edited index agreed with a fresh parse of the edited text
    bool saved = false;
};

// True when the document is well-formed and a fresh parse of its text gives the same elements,
// in document order, with the same spans, tag lengths, levels and links as its index: the
// check made before an edited catalog may replace the product's.
bool IndexMatchesText(const CXmlDocument& edited);

// Runs the import's steps; `done` is called last, whatever happened (the dialog's completion
// message is posted through it).
ImportOutcome RunImport(const ImportSettings& settings, const std::function<void()>& done);

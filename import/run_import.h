// One import, from the folder rule to the saved catalog: what the worker thread runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "import/import_texts.h"
#include "platform/TextBuffer.h"

class CXmlDocument;

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
    // The pack's material folder when it is not the one beside the tool (see
    // WorkingFolderPack); empty for that one.
    CString packFolder = {};
};

// The pack to import when no material folder stands beside the tool: the folder named after
// the command word in the platform's search folder (natively the current one), when it holds
// a catalog. Empty otherwise.
CString WorkingFolderPack(const ImportSettings& settings);

// How far an import went, for tests and tools; the user is shown `failure` only.
struct ImportOutcome {
    CString productFolder;   // the product data folder chosen
    CString materialFolder;  // the material folder beside the tool
    bool copied = false;
    bool sourceLoaded = false;
    bool targetLoaded = false;
    bool merged = false;
    bool locked = false;    // the import lock was held for the whole import
    bool verified = false;  // the edited index agreed with a fresh parse of the edited text
    bool saved = false;
    bool stopped = false;  // a stop was requested: the catalog was left untouched
    // Empty when the import completed; otherwise the text that tells the user what failed,
    // starting with "导入未完成：".
    CString failure;
    // What a completed import tells the user before the question: its receipt could not be
    // written. Empty otherwise.
    CString notice;
};

// True when the document is well-formed and a fresh parse of its text gives the same elements,
// in document order, with the same spans, tag lengths, levels and links as its index: the
// check made before an edited catalog may replace the product's.
bool IndexMatchesText(const CXmlDocument& edited);

// Runs the import's steps under the import lock: both catalogs are checked before anything is
// changed, then the pack is copied, then the catalogs are merged and saved. `done` is called
// last, whatever happened (the dialog's message is posted through it); `waiting`, when
// another import of the same product holds it up, once as the wait begins.
ImportOutcome RunImport(const ImportSettings& settings,
                        const std::function<void(const ImportOutcome&)>& done,
                        const std::function<void()>& waiting = {});

// The texts an import that did not complete shows the user: "导入未完成：", what failed (naming
// it), then what the user can do about it, which depends on the cause. Every name in them is
// shown through ShownName.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/TextBuffer.h"

// A name as it may be printed: control characters (C0, DEL, C1) become escapes such as "\x1b"
// and "\n", so that a file name cannot drive the terminal or break a line of a report.
CString ShownName(std::u16string_view name);

// Whose catalog a text is about decides who can correct it: the pack's is its author's, the
// product's the user's.
enum class CatalogOf { Pack, Product };

// A path that does not fit in 259 characters: one in the product's folders, or one in the
// pack's (the tool itself, its material folder, the pack's catalog).
CString ProductPathTooLongText(const CString& path);
CString PackPathTooLongText(const CString& path);
CString WindowsFolderFailureText(const CString& message);
CString ToolPathFailureText(const CString& message);
// `looked` are the folders the material folder was looked for in, in that order.
CString MaterialFolderMissingText(const std::vector<CString>& looked);
CString LockFailureText(const CString& folder, const CString& message);
CString CopyFailureText(const CString& path, const CString& message);
CString CatalogReadFailureText(CatalogOf whose, const CString& path, const CString& message);
CString CatalogSyntaxFailureText(CatalogOf whose, const CString& path, const CString& message);
CString CatalogFormFailureText(CatalogOf whose, const CString& path);
CString CatalogCodePageFailureText(CatalogOf whose, const CString& path, uint32_t codePage);
CString MergeMemoryFailureText(const CString& path);
CString MergeCheckFailureText(const CString& path);
// The catalog reads as UTF-8 text; it must be text of `codePage`.
CString CatalogEncodingFailureText(CatalogOf whose, const CString& path, uint32_t codePage);
// The pack's catalog is of another form and the product has none yet for it to merge into.
CString FirstCatalogFormFailureText(const CString& path);
CString CatalogSaveFailureText(const CString& path, const CString& message);
CString WorkerStartFailureText();
CString InterruptedText();
// Refusals before anything changes, and what stops the import while it waits or saves.
CString LinkRefusedText(const CString& link);
CString CatalogNotAFileText(CatalogOf whose, const CString& path);
CString DanglingCatalogText(const CString& path, const CString& target);
CString CatalogReplaceFailureText(const CString& path, const CString& message);
CString CatalogChangedText(const CString& path);
CString ReservedNamesText(const std::vector<CString>& paths);
CString LostNamesText(const std::vector<CString>& folders);
CString LeftoverText(const CString& entry);
// Not a failure: the import completed, but its receipt could not be written into `folder`.
// Shown before the question, and the only text that starts otherwise ("导入已完成，").
CString ReceiptFailureText(const CString& folder, const CString& message);

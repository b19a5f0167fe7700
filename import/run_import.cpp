// The import worker: chooses the product data folder and the material folder, copies the
// pack, merges the catalogs and saves, then reports completion whatever happened.
#include <algorithm>
#include <cstring>
#include <vector>

#include "import/catalog_file.h"
#include "import/catalog_merge.h"
#include "import/copy_tree.h"
#include "import/receipt.h"
#include "import/run_import.h"
#include "platform/platform.h"
#include "xml/XmlDocument.h"

int32_t BoundedCopy(char16_t* destination, size_t room, const char16_t* source) {
    if (room == 0) return kBoundedCopyInvalid;
    size_t i = 0;
    for (; source[i]; ++i) {
        if (i == room) {
            destination[room - 1] = 0;
            return kBoundedCopyTruncated;
        }
        destination[i] = source[i];
    }
    if (i == room) {
        destination[room - 1] = 0;
        return kBoundedCopyTruncated;
    }
    destination[i] = 0;
    return kBoundedCopyOk;
}

bool IsWindowsNT6() {
    platform::OsVersionInfo info;
    info.size = 284;
    if (!platform::QueryOsVersion(info)) {
        info = platform::OsVersionInfo{};
        info.size = 276;
        if (!platform::QueryOsVersion(info)) return false;
    }
    return info.platformId == 2 && info.majorVersion == 6;
}

namespace {

// The folder's path as the join would give it, for a text that names a join that did not fit.
CString Joined(const CString& folder, const CString& more) {
    return folder + (folder.empty() || folder.back() == u'\\' ? u"" : u"\\") + more;
}

// The tool's own path whatever its length, for a text that names it.
CString FullModulePath() {
    std::vector<char16_t> path(32768);
    const uint32_t n = platform::GetModulePath(path.data(), static_cast<uint32_t>(path.size()));
    return CString(path.data(), std::min<size_t>(n, path.size() - 1));
}

// The material folder beside the tool, into `materialFolder`; otherwise the text of what
// could not be resolved.
CString PackBesideTool(const CString& commandWord, char16_t* materialFolder) {
    platform::SetLastError(0);
    const uint32_t m = platform::GetModulePath(materialFolder, platform::kMaxPath - 1);
    if (m == 0) return ToolPathFailureText(platform::SystemErrorText());
    if (m >= platform::kMaxPath - 1) return PackPathTooLongText(FullModulePath());
    const CString tool(materialFolder, m);
    if (!platform::AppendPath(materialFolder, (u"..\\" + commandWord).c_str()))
        return PackPathTooLongText(
            Joined(tool.substr(0, tool.find_last_of(u'\\') + 1), commandWord));
    return {};
}

// Fills both folder buffers; otherwise the text of what could not be resolved, naming the
// path that did not fit.
CString ResolveFolders(const ImportSettings& settings, char16_t* productFolder,
                       char16_t* materialFolder) {
    const bool driveRoot = settings.fileVersionHigh < 0x00010004u &&
                           settings.fileVersionLow < 0x000403E9u && IsWindowsNT6();
    if (driveRoot) {
        // Without a Windows folder there is no drive to put the data on.
        platform::SetLastError(0);
        const uint32_t n = platform::GetWindowsFolder(productFolder, platform::kMaxPath - 1);
        if (n < 2 || n >= platform::kMaxPath - 1 || productFolder[1] != u':')
            return WindowsFolderFailureText(n == 0 ? platform::SystemErrorText() : CString());
        BoundedCopy(productFolder + 2, 257, (u"\\Mirvo\\Data\\" + settings.commandWord).c_str());
    } else {
        const size_t n = std::min<size_t>(settings.installPath.size(), platform::kMaxPath - 1);
        std::memcpy(productFolder, settings.installPath.data(), n * sizeof(char16_t));
        productFolder[n] = 0;
        // A failed join would copy into, and save to, a folder that is not the intended one.
        const CString data = u"data\\" + settings.commandWord;
        if (!platform::AppendPath(productFolder, data.c_str()))
            return ProductPathTooLongText(Joined(settings.installPath, data));
    }
    if (!settings.packFolder.empty()) {
        if (settings.packFolder.size() >= platform::kMaxPath)
            return PackPathTooLongText(settings.packFolder);
        std::copy(settings.packFolder.begin(), settings.packFolder.end(), materialFolder);
        materialFolder[settings.packFolder.size()] = 0;
    } else if (CString failure = PackBesideTool(settings.commandWord, materialFolder);
               !failure.empty()) {
        return failure;
    }
    // Both catalogs are found by a join too: a folder that leaves them no room is too long.
    char16_t catalog[platform::kMaxPath];
    std::memcpy(catalog, productFolder, sizeof catalog);
    if (!platform::AppendPath(catalog, u"config.xml"))
        return ProductPathTooLongText(Joined(productFolder, u"config.xml"));
    std::memcpy(catalog, materialFolder, sizeof catalog);
    if (!platform::AppendPath(catalog, u"config.xml"))
        return PackPathTooLongText(Joined(materialFolder, u"config.xml"));
    return {};
}

bool IsListable(const CString& folder) {
    platform::FileFind find;
    return find.FindFile((folder + u"\\*.*").c_str());
}

// The folder named after the command word in the platform's search folder, empty when there
// is none.
CString SearchedPack(const CString& commandWord) {
    const CString folder = platform::PackSearchFolder();
    return folder.empty() ? CString() : folder + u"\\" + commandWord;
}

// The text of what failed when the material folder is not a folder that can be listed.
CString CheckMaterialFolder(const ImportSettings& settings, const CString& folder) {
    if (IsListable(folder)) return {};
    // A folder that is there but cannot be read is a pack that cannot be copied.
    if (platform::GetLastError() == platform::kErrorAccessDenied)
        return CopyFailureText(folder, platform::SystemErrorText());
    std::vector<CString> looked{folder};
    if (const CString searched = SearchedPack(settings.commandWord);
        settings.packFolder.empty() && !searched.empty())
        looked.push_back(searched);
    return MaterialFolderMissingText(looked);
}

}  // namespace

CString WorkingFolderPack(const ImportSettings& settings) {
    char16_t beside[platform::kMaxPath] = {};
    if (PackBesideTool(settings.commandWord, beside).empty() && IsListable(beside)) return {};
    const CString searched = SearchedPack(settings.commandWord);
    if (searched.empty()) return {};
    platform::FileFind find;
    if (!find.FindFile((searched + u"\\config.xml").c_str())) return {};
    find.FindNext();
    return find.IsFile() ? searched : CString();
}

bool IndexMatchesText(const CXmlDocument& edited) {
    return edited.IsWellFormed() && edited.IndexDifference().empty();
}

namespace {

using Catalog = CatalogState;

// Loads the catalog as ReadCatalog does; `failure` says why it cannot be used.
Catalog LoadCatalog(CXmlDocument& document, const platform::Folder& folder, CatalogFile& file,
                    CatalogOf whose, CString& failure) {
    CatalogProblem problem;
    const Catalog state = ReadCatalog(document, folder, file, problem);
    switch (problem.kind) {
        case CatalogProblem::None:
            break;
        case CatalogProblem::LinkRefused:
            failure = LinkRefusedText(file.path);
            break;
        case CatalogProblem::NotAFile:
            failure = CatalogNotAFileText(whose, file.path);
            break;
        case CatalogProblem::Dangling:
            failure = DanglingCatalogText(file.path, problem.message);
            break;
        case CatalogProblem::Read:
            failure = CatalogReadFailureText(whose, file.path, problem.message);
            break;
        case CatalogProblem::Encoding:
            failure = CatalogEncodingFailureText(whose, file.path, platform::AnsiCodePage());
            break;
        case CatalogProblem::CodePage:
            failure = CatalogCodePageFailureText(whose, file.path, platform::AnsiCodePage());
            break;
        case CatalogProblem::Syntax:
            failure = CatalogSyntaxFailureText(whose, file.path, problem.message);
            break;
    }
    return state;
}

CString RefusalText(const CopyRefusal& refusal) {
    switch (refusal.kind) {
        case CopyRefusal::ReservedNames:
            return ReservedNamesText(refusal.paths);
        case CopyRefusal::LostNames:
            return LostNamesText(refusal.paths);
        case CopyRefusal::Link:
            return LinkRefusedText(refusal.paths.front());
        case CopyRefusal::Leftover:
            return LeftoverText(refusal.paths.front());
        default:
            return CopyFailureText(refusal.paths.empty() ? CString() : refusal.paths.front(),
                                   refusal.message);
    }
}

// How often a catalog that changed under the import is loaded and merged again.
constexpr int kMergeRounds = 3;

// SHA-256 of the file's bytes; empty when it cannot be read.
std::string FileDigest(const CatalogFile& file) {
    platform::File* opened = file.folder.OpenFile(file.name, false);
    uint64_t size = 0;
    return opened ? FileSha256(opened, size) : std::string();
}

void ImportLocked(const platform::Folder& pack, const platform::Folder& data,
                  const char16_t* productFolder, const char16_t* materialFolder,
                  ImportOutcome& outcome, Receipt& receipt);

}  // namespace

namespace {

// The import's steps. Every handle, lock and staging folder is let go when this returns, before
// the caller reports the outcome: a process that ends on the report leaves nothing behind.
void Import(const ImportSettings& settings, const std::function<void()>& waiting,
            ImportOutcome& outcome) {
    char16_t productFolder[platform::kMaxPath] = {};
    char16_t materialFolder[platform::kMaxPath] = {};
    outcome.failure = ResolveFolders(settings, productFolder, materialFolder);
    if (!outcome.failure.empty()) return;
    outcome.productFolder = productFolder;
    outcome.materialFolder = materialFolder;
    // A pack without its material folder has nothing to import: nothing is made for it.
    outcome.failure = CheckMaterialFolder(settings, outcome.materialFolder);
    if (!outcome.failure.empty()) return;
    platform::Folder pack;
    if (!pack.Open(materialFolder)) {
        outcome.failure =
            platform::GetLastError() == platform::kErrorLinkRefused
                ? LinkRefusedText(outcome.materialFolder)
                : CopyFailureText(outcome.materialFolder, platform::SystemErrorText());
        return;
    }
    // The data folder is made by path, one level, and from then on reached by handle only.
    platform::CreateFolder(productFolder);
    platform::Folder data;
    if (!data.Open(productFolder)) {
        outcome.failure = platform::GetLastError() == platform::kErrorLinkRefused
                              ? LinkRefusedText(outcome.productFolder)
                              : CopyFailureText(outcome.productFolder, platform::SystemErrorText());
        return;
    }
    // One import of a product at a time, from the first look at its catalog to the save.
    platform::ImportLock* lock = platform::AcquireImportLock(data, waiting);
    outcome.locked = lock != nullptr;
    if (!lock) {
        outcome.stopped = platform::StopRequested();
        outcome.failure = outcome.stopped
                              ? InterruptedText()
                              : LockFailureText(outcome.productFolder, platform::SystemErrorText());
        return;
    }
    struct Unlock {
        platform::ImportLock* lock;
        ~Unlock() { platform::ReleaseImportLock(lock); }
    } unlock{lock};
    // Earlier versions locked with a file beside the catalog and left it there.
    if (data.Kind(u"config.xml.lock") == platform::EntryKind::File)
        data.Remove(u"config.xml.lock", false);
    Receipt receipt;
    ImportLocked(pack, data, productFolder, materialFolder, outcome, receipt);
    // Still under the lock: the receipts of one product come in the order of its imports.
    if (!outcome.failure.empty() || receipt.Empty()) return;
    receipt.productFolder = outcome.productFolder;
    receipt.packFolder = outcome.materialFolder;
    receipt.date = ReceiptDate();
    CString folder, message;
    if (!KeepReceipt(receipt, folder, message))
        outcome.notice = ReceiptFailureText(folder, message);
}

// The import's steps under the lock, noting in `receipt` what they placed.
void ImportLocked(const platform::Folder& pack, const platform::Folder& data,
                  const char16_t* productFolder, const char16_t* materialFolder,
                  ImportOutcome& outcome, Receipt& receipt) {
    char16_t productCatalog[platform::kMaxPath];
    char16_t materialCatalog[platform::kMaxPath];
    std::memcpy(productCatalog, productFolder, sizeof productCatalog);
    std::memcpy(materialCatalog, materialFolder, sizeof materialCatalog);
    // The folder rule made sure both joins fit.
    platform::AppendPath(productCatalog, u"config.xml");
    platform::AppendPath(materialCatalog, u"config.xml");
    platform::Staging staging(data);
    CXmlDocument source;
    CXmlDocument target;
    CatalogFile sourceFile{materialCatalog, {}, {}, {}};
    CatalogFile targetFile{productCatalog, {}, {}, {}};
    Catalog sourceState = Catalog::Missing;
    Catalog targetState = Catalog::Missing;

    // Everything is looked at before anything changes: both catalogs, whether the product's
    // can be replaced, the whole pack and the folders it goes into, the staging folders.
    sourceState = LoadCatalog(source, pack, sourceFile, CatalogOf::Pack, outcome.failure);
    if (outcome.failure.empty())
        targetState = LoadCatalog(target, data, targetFile, CatalogOf::Product, outcome.failure);
    // A product catalog of another form would gain albums beside its root. A pack's is merged
    // as the walk reads it, one level higher; but it cannot become the catalog of a product
    // that has none.
    if (outcome.failure.empty() && targetState == Catalog::Loaded && !HasCatalogForm(target))
        outcome.failure = CatalogFormFailureText(CatalogOf::Product, productCatalog);
    if (outcome.failure.empty() && sourceState == Catalog::Loaded &&
        targetState == Catalog::Missing && !HasCatalogForm(source))
        outcome.failure = FirstCatalogFormFailureText(materialCatalog);
    if (outcome.failure.empty() && sourceState == Catalog::Loaded &&
        !targetFile.folder.MayReplace(targetFile.name))
        outcome.failure = CatalogReplaceFailureText(productCatalog, platform::SystemErrorText());
    if (outcome.failure.empty() && targetFile.folder.Volume() != data.Volume()) {
        CString entry;
        if (!staging.Inspect(targetFile.folder, entry))
            outcome.failure = LeftoverText(targetFile.folder.Path() + u"\\" + entry);
    }
    CopyRefusal refusal;
    PackListings listings;
    if (outcome.failure.empty() && !CheckCopy(pack, data, staging, refusal, &listings))
        outcome.failure = RefusalText(refusal);
    outcome.sourceLoaded = sourceState == Catalog::Loaded;
    if (!outcome.failure.empty()) return;
    if (outcome.sourceLoaded) receipt.packCatalogSha256 = FileDigest(sourceFile);

    {
        CopyFailure copyFailure;
        // A catalog the import puts in place itself stays writable, whatever the pack's was.
        const CString writable = targetState == Catalog::Missing ? u"config.xml" : CString();
        outcome.copied =
            CopyFolderTree(pack, data, 0, staging, writable, &copyFailure, &receipt, &listings);
        if (platform::StopRequested()) {
            outcome.stopped = true;
            outcome.failure = InterruptedText();
        } else if (!outcome.copied) {
            outcome.failure = CopyFailureText(copyFailure.path, copyFailure.message);
        }
    }
    if (!outcome.failure.empty() || !outcome.sourceLoaded) return;
    // A product without a catalog has just received the pack's.
    if (targetState == Catalog::Missing) {
        targetState = LoadCatalog(target, data, targetFile, CatalogOf::Product, outcome.failure);
        if (targetState != Catalog::Loaded) {
            if (outcome.failure.empty())
                outcome.failure = CatalogReadFailureText(CatalogOf::Product, productCatalog,
                                                         platform::SystemErrorText());
            return;
        }
    }
    outcome.targetLoaded = true;
    // Put there while the pack was copied: nothing was merged, which is no completion.
    if (!HasCatalogForm(target)) {
        outcome.failure = CatalogFormFailureText(CatalogOf::Product, productCatalog);
        return;
    }
    for (int round = 1;; ++round) {
        // Each round walks the pack's catalog from the start, as a fresh load would.
        source.SetPosition(0, 0, 0);
        // Only the round that is saved counts; a catalog the import put in place is the pack's
        // own, and what changes in it is no change to the product's.
        MergeLog log;
        MergeLog* noted = receipt.catalogCreated ? nullptr : &log;
        // False only when memory ran out; the catalog is then as it was loaded.
        outcome.merged = MergeCatalog(source, target, noted) && UpdateItemCounts(target, noted);
        // An index that no longer describes its text would be saved as a catalog that
        // reads differently: the product keeps the one it has.
        outcome.verified = outcome.merged && IndexMatchesText(target);
        if (platform::StopRequested()) {
            outcome.stopped = true;
            outcome.failure = InterruptedText();
            return;
        }
        if (!outcome.merged) {
            outcome.failure = MergeMemoryFailureText(productCatalog);
            return;
        }
        if (!outcome.verified) {
            outcome.failure = MergeCheckFailureText(productCatalog);
            return;
        }
        // Only the catalog that was loaded is replaced: one another program changed meanwhile
        // is loaded and merged again.
        CString message;
        const CatalogSave save = SaveCatalog(target, targetFile, staging, message);
        if (save == CatalogSave::Saved) {
            outcome.saved = true;
            NoteChanges(log, target, receipt);
            return;
        }
        if (save == CatalogSave::Failed) {
            outcome.failure = CatalogSaveFailureText(productCatalog, message);
            return;
        }
        if (round == kMergeRounds) {
            outcome.failure = CatalogChangedText(productCatalog);
            return;
        }
        targetState = LoadCatalog(target, data, targetFile, CatalogOf::Product, outcome.failure);
        if (targetState != Catalog::Loaded || !HasCatalogForm(target)) {
            if (outcome.failure.empty())
                outcome.failure = CatalogFormFailureText(CatalogOf::Product, productCatalog);
            return;
        }
    }
}

}  // namespace

ImportOutcome RunImport(const ImportSettings& settings,
                        const std::function<void(const ImportOutcome&)>& done,
                        const std::function<void()>& waiting) {
    ImportOutcome outcome;
    Import(settings, waiting, outcome);
    if (done) done(outcome);
    return outcome;
}

// The import worker: chooses the product data folder and the material folder, copies the
// pack, merges the catalogs and saves, then reports completion whatever happened.
#include <algorithm>
#include <cstring>
#include <vector>

#include "import/catalog_merge.h"
#include "import/copy_tree.h"
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

size_t Length(const char16_t* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

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
    platform::SetLastError(0);
    const uint32_t m = platform::GetModulePath(materialFolder, platform::kMaxPath - 1);
    if (m == 0) return ToolPathFailureText(platform::SystemErrorText());
    if (m >= platform::kMaxPath - 1) return PackPathTooLongText(FullModulePath());
    const CString tool(materialFolder, m);
    if (!platform::AppendPath(materialFolder, (u"..\\" + settings.commandWord).c_str()))
        return PackPathTooLongText(
            Joined(tool.substr(0, tool.find_last_of(u'\\') + 1), settings.commandWord));
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

// The text of what failed when the material folder is not a folder that can be listed.
CString CheckMaterialFolder(const CString& folder) {
    platform::FileFind find;
    if (find.FindFile((folder + u"\\*.*").c_str())) return {};
    // A folder that is there but cannot be read is a pack that cannot be copied.
    if (platform::GetLastError() == platform::kErrorAccessDenied)
        return CopyFailureText(folder, platform::SystemErrorText());
    return MaterialFolderMissingText({folder});
}

}  // namespace

bool IndexMatchesText(const CXmlDocument& edited) {
    return edited.IsWellFormed() && edited.IndexDifference().empty();
}

namespace {

enum class Catalog { Missing, Loaded, Unusable };

// Loads a catalog and tells whether it may be merged and written back: only a well-formed
// text in the code page whose bytes come back exactly from it. `failure` says why not.
Catalog LoadCatalog(CXmlDocument& document, const char16_t* path, CatalogOf whose,
                    CString& failure) {
    platform::SetLastError(0);
    const bool parsed = document.LoadFile(path);
    const uint32_t error = platform::GetLastError();
    if (!parsed && (error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound))
        return Catalog::Missing;
    // The read failed when the system says why, or when no text came of it (a short read, a
    // file too large); otherwise the text was read and did not parse.
    if (!parsed &&
        (error || (document.DocumentText().length() == 0 && !document.LoadedExactly()))) {
        failure = CatalogReadFailureText(whose, path, document.ResultText());
        return Catalog::Unusable;
    }
    // Text in another encoding is said to be so, also where it does not parse. Names of a
    // UTF-8 catalog would be compared and saved as other text: whatever its declaration says,
    // and even where its bytes happen to come back in the code page.
    if (document.LoadedUtf8Text()) {
        failure = CatalogEncodingFailureText(whose, path, platform::AnsiCodePage());
        return Catalog::Unusable;
    }
    if (!document.LoadedExactly()) {
        failure = CatalogCodePageFailureText(whose, path, platform::AnsiCodePage());
        return Catalog::Unusable;
    }
    if (!parsed) {
        failure = CatalogSyntaxFailureText(whose, path, document.ResultText());
        return Catalog::Unusable;
    }
    return Catalog::Loaded;
}

}  // namespace

ImportOutcome RunImport(const ImportSettings& settings,
                        const std::function<void(const ImportOutcome&)>& done,
                        const std::function<void()>& waiting) {
    ImportOutcome outcome;
    char16_t productFolder[platform::kMaxPath] = {};
    char16_t materialFolder[platform::kMaxPath] = {};
    outcome.failure = ResolveFolders(settings, productFolder, materialFolder);
    if (outcome.failure.empty()) {
        outcome.productFolder = productFolder;
        outcome.materialFolder = materialFolder;
        // A pack without its material folder has nothing to import: nothing is made for it.
        outcome.failure = CheckMaterialFolder(outcome.materialFolder);
    }
    if (!outcome.failure.empty()) {
        if (done) done(outcome);
        return outcome;
    }
    platform::CreateFolder(productFolder);
    // One import of a product at a time, from the first look at its catalog to the save.
    (void)waiting;  // the lock does not say yet that it waits
    platform::ImportLock* lock = platform::AcquireImportLock(productFolder);
    outcome.locked = lock != nullptr;
    if (!lock) {
        outcome.stopped = platform::StopRequested();
        outcome.failure = outcome.stopped
                              ? InterruptedText()
                              : LockFailureText(outcome.productFolder, platform::SystemErrorText());
        if (done) done(outcome);
        return outcome;
    }
    // Earlier versions locked with a file beside the catalog and left it there.
    platform::Files().Remove((outcome.productFolder + u"\\config.xml.lock").c_str());

    char16_t productCatalog[platform::kMaxPath];
    char16_t materialCatalog[platform::kMaxPath];
    std::memcpy(productCatalog, productFolder, sizeof productCatalog);
    std::memcpy(materialCatalog, materialFolder, sizeof materialCatalog);
    const bool catalogs = platform::AppendPath(productCatalog, u"config.xml") &&
                          platform::AppendPath(materialCatalog, u"config.xml");
    CXmlDocument source;
    CXmlDocument target;
    Catalog sourceState = Catalog::Missing;
    Catalog targetState = Catalog::Missing;
    // Both catalogs are checked before anything is changed.
    if (catalogs) {
        sourceState = LoadCatalog(source, materialCatalog, CatalogOf::Pack, outcome.failure);
        if (sourceState != Catalog::Unusable)
            targetState = LoadCatalog(target, productCatalog, CatalogOf::Product, outcome.failure);
        // A product catalog of another form would gain albums beside its root. A pack's is
        // merged as the walk reads it, one level higher; but it cannot become the catalog of
        // a product that has none.
        if (outcome.failure.empty() && targetState == Catalog::Loaded && !HasCatalogForm(target))
            outcome.failure = CatalogFormFailureText(CatalogOf::Product, productCatalog);
        if (outcome.failure.empty() && sourceState == Catalog::Loaded &&
            targetState == Catalog::Missing && !HasCatalogForm(source))
            outcome.failure = FirstCatalogFormFailureText(materialCatalog);
    }
    outcome.sourceLoaded = sourceState == Catalog::Loaded;
    if (outcome.failure.empty()) {
        CopyFailure copyFailure;
        outcome.copied = CopyTree(CString(materialFolder, Length(materialFolder)),
                                  CString(productFolder, Length(productFolder)), 0, &copyFailure);
        if (platform::StopRequested()) {
            outcome.stopped = true;
            outcome.failure = InterruptedText();
        } else if (!outcome.copied) {
            outcome.failure = CopyFailureText(copyFailure.path, copyFailure.message);
        }
    }
    if (outcome.failure.empty() && outcome.sourceLoaded) {
        // A product without a catalog has just received the pack's.
        if (targetState == Catalog::Missing) {
            targetState = LoadCatalog(target, productCatalog, CatalogOf::Product, outcome.failure);
            if (targetState == Catalog::Missing)
                outcome.failure = CatalogReadFailureText(CatalogOf::Product, productCatalog,
                                                         platform::SystemErrorText());
        }
        outcome.targetLoaded = targetState == Catalog::Loaded;
        // A catalog of another form would gain albums beside its root: leave it alone.
        if (outcome.targetLoaded && HasCatalogForm(target)) {
            // False only when memory ran out; the catalog is then as it was loaded.
            outcome.merged = MergeCatalog(source, target) && UpdateItemCounts(target);
            // An index that no longer describes its text would be saved as a catalog that
            // reads differently: the product keeps the one it has.
            outcome.verified = outcome.merged && IndexMatchesText(target);
            if (platform::StopRequested()) {
                outcome.stopped = true;
                outcome.failure = InterruptedText();
            } else if (!outcome.merged) {
                outcome.failure = MergeMemoryFailureText(productCatalog);
            } else if (!outcome.verified) {
                outcome.failure = MergeCheckFailureText(productCatalog);
            } else {
                // The save's temporary goes into a staging folder, which a killed import
                // leaves for the next one to clear.
                platform::Staging staging;
                staging.Open(productFolder);
                outcome.saved = target.SaveFile(productCatalog);
                if (!outcome.saved)
                    outcome.failure = CatalogSaveFailureText(productCatalog, target.ResultText());
            }
        } else if (outcome.targetLoaded) {
            // Put there while the pack was copied: nothing was merged, which is no completion.
            outcome.failure = CatalogFormFailureText(CatalogOf::Product, productCatalog);
        }
    }
    platform::ReleaseImportLock(lock);
    if (done) done(outcome);
    return outcome;
}

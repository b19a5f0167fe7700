// The import worker: chooses the product data folder and the material folder, copies the
// pack, merges the catalogs and saves, then reports completion whatever happened.
#include <algorithm>
#include <cstring>

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

bool ResolveFolders(const ImportSettings& settings, char16_t* productFolder,
                    char16_t* materialFolder) {
    const bool driveRoot = settings.fileVersionHigh < 0x00010004u &&
                           settings.fileVersionLow < 0x000403E9u && IsWindowsNT6();
    if (driveRoot) {
        // Without a Windows folder there is no drive to put the data on.
        const uint32_t n = platform::GetWindowsFolder(productFolder, platform::kMaxPath - 1);
        if (n < 2 || n >= platform::kMaxPath - 1 || productFolder[1] != u':') return false;
        BoundedCopy(productFolder + 2, 257, (u"\\Mirvo\\Data\\" + settings.commandWord).c_str());
    } else {
        const size_t n = std::min<size_t>(settings.installPath.size(), platform::kMaxPath - 1);
        std::memcpy(productFolder, settings.installPath.data(), n * sizeof(char16_t));
        productFolder[n] = 0;
        // A failed join would copy into, and save to, a folder that is not the intended one.
        if (!platform::AppendPath(productFolder, (u"data\\" + settings.commandWord).c_str()))
            return false;
    }
    const uint32_t m = platform::GetModulePath(materialFolder, platform::kMaxPath - 1);
    if (m == 0 || m >= platform::kMaxPath - 1) return false;
    return platform::AppendPath(materialFolder, (u"..\\" + settings.commandWord).c_str());
}

}  // namespace

bool IndexMatchesText(const CXmlDocument& edited) {
    return edited.IsWellFormed() && edited.IndexDifference().empty();
}

namespace {

enum class Catalog { Missing, Loaded, Unusable };

// Loads a catalog and tells whether it may be merged and written back: only a well-formed
// text in the code page whose bytes come back exactly from it. `failure` says why not.
Catalog LoadCatalog(CXmlDocument& document, const char16_t* path, CString& failure) {
    platform::SetLastError(0);
    if (!document.LoadFile(path)) {
        const uint32_t error = platform::GetLastError();
        const bool missing =
            error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound;
        failure = CatalogReadFailureText(path, missing ? CString() : document.ResultText());
        return missing ? Catalog::Missing : Catalog::Unusable;
    }
    // Names of a UTF-8 catalog would be compared and saved as other text: whatever its
    // declaration says, and even where its bytes happen to come back in the code page.
    const uint32_t codePage = platform::AnsiCodePage();
    if (document.LoadedUtf8Text()) {
        failure = CatalogEncodingFailureText(path, codePage);
        return Catalog::Unusable;
    }
    if (!document.LoadedExactly()) {
        failure = CatalogReadFailureText(
            path, FormatMessageText(u"文件不是代码页 %d 的文本，保存会改变其中的文字",
                                    static_cast<int32_t>(codePage)));
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
    if (!ResolveFolders(settings, productFolder, materialFolder)) {
        if (done) done(outcome);
        return outcome;
    }
    outcome.productFolder = productFolder;
    outcome.materialFolder = materialFolder;
    platform::CreateFolder(productFolder);
    // One import of a product at a time, from the first look at its catalog to the save.
    (void)waiting;  // the lock does not say yet that it waits
    platform::ImportLock* lock = platform::AcquireImportLock(productFolder);
    outcome.locked = lock != nullptr;
    if (!lock) {
        outcome.stopped = platform::StopRequested();
        outcome.failure = outcome.stopped
                              ? InterruptedText()
                              : CopyFailureText(outcome.productFolder, platform::SystemErrorText());
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
    CString failure;
    // Both catalogs are checked before anything is changed.
    if (catalogs) {
        sourceState = LoadCatalog(source, materialCatalog, failure);
        if (sourceState == Catalog::Unusable) {
            outcome.failure = failure;
        } else {
            targetState = LoadCatalog(target, productCatalog, failure);
            if (targetState == Catalog::Unusable) outcome.failure = failure;
        }
        // A product catalog of another form would gain albums beside its root. A pack's is
        // merged as the walk reads it, one level higher; but it cannot become the catalog of
        // a product that has none.
        if (outcome.failure.empty() && targetState == Catalog::Loaded && !HasCatalogForm(target))
            outcome.failure = CatalogFormFailureText(productCatalog);
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
            targetState = LoadCatalog(target, productCatalog, failure);
            if (targetState != Catalog::Loaded) outcome.failure = failure;
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
                outcome.failure = CatalogSaveFailureText(productCatalog, u"内存不足，无法合并");
            } else if (!outcome.verified) {
                outcome.failure = CatalogSaveFailureText(productCatalog, u"合并结果校验失败");
            } else {
                // The save's temporary goes into a staging folder, which a killed import
                // leaves for the next one to clear.
                platform::Staging staging;
                staging.Open(productFolder);
                outcome.saved = target.SaveFile(productCatalog);
                if (!outcome.saved)
                    outcome.failure = CatalogSaveFailureText(productCatalog, target.ResultText());
            }
        }
    }
    platform::ReleaseImportLock(lock);
    if (done) done(outcome);
    return outcome;
}

// The import worker: chooses the product data folder and the material folder, copies the
// pack, merges the catalogs and saves, then reports completion whatever happened.
#include <algorithm>
#include <cstring>

#include "import/import.h"
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
    if (!platform::GetVersionEx(info)) {
        info = platform::OsVersionInfo{};
        info.size = 276;
        if (!platform::GetVersionEx(info)) return false;
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
        const uint32_t n = platform::GetWindowsDirectory(productFolder, platform::kMaxPath - 1);
        if (n < 2 || n >= platform::kMaxPath - 1 || productFolder[1] != u':') return false;
        BoundedCopy(productFolder + 2, 257, (u"\\Mirvo\\Data\\" + settings.commandWord).c_str());
    } else {
        const size_t n = std::min<size_t>(settings.installPath.size(), platform::kMaxPath - 1);
        std::memcpy(productFolder, settings.installPath.data(), n * sizeof(char16_t));
        productFolder[n] = 0;
        // A failed join would copy into, and save to, a folder that is not the intended one.
        if (!platform::PathAppend(productFolder, (u"data\\" + settings.commandWord).c_str()))
            return false;
    }
    const uint32_t m = platform::GetModuleFileName(materialFolder, platform::kMaxPath - 1);
    if (m == 0 || m >= platform::kMaxPath - 1) return false;
    return platform::PathAppend(materialFolder, (u"..\\" + settings.commandWord).c_str());
}

}  // namespace

bool IndexMatchesText(const CXmlDocument& edited) {
    return edited.IsWellFormed() && edited.IndexDifference().empty();
}

ImportOutcome RunImport(const ImportSettings& settings, const std::function<void()>& done) {
    ImportOutcome outcome;
    char16_t productFolder[platform::kMaxPath] = {};
    char16_t materialFolder[platform::kMaxPath] = {};
    if (ResolveFolders(settings, productFolder, materialFolder)) {
        outcome.productFolder = productFolder;
        outcome.materialFolder = materialFolder;
        platform::CreateDirectory(productFolder);
        CopyTree(CString(materialFolder, Length(materialFolder)),
                 CString(productFolder, Length(productFolder)), 0);
        outcome.copied = true;
        if (platform::PathAppend(productFolder, u"config.xml") &&
            platform::PathAppend(materialFolder, u"config.xml")) {
            CXmlDocument source;
            CXmlDocument target;
            outcome.sourceLoaded = source.LoadFile(materialFolder);
            // Another import of the same product may be between its load and its save: what
            // it saves must be what this one loads, or one of the two packs would be lost.
            platform::FileLock* lock = nullptr;
            if (outcome.sourceLoaded) {
                const CString lockPath = CString(productFolder, Length(productFolder)) + u".lock";
                lock = platform::LockFile(lockPath.c_str(), settings.lockTimeoutMilliseconds);
                outcome.locked = lock != nullptr;
            }
            if (lock) {
                outcome.targetLoaded = target.LoadFile(productFolder);
                // A concurrent first import may have locked first and found no catalog yet;
                // the copy of the pack's catalog, never replacing one, is then made here.
                if (!outcome.targetLoaded &&
                    platform::CopyFile(materialFolder, productFolder, true))
                    outcome.targetLoaded = target.LoadFile(productFolder);
            }
            // A catalog of another form would gain albums beside its root: leave it alone.
            if (outcome.targetLoaded && HasCatalogForm(target)) {
                outcome.merged = MergeCatalog(source, target) && UpdateItemCounts(target);
                // An index that no longer describes its text would be saved as a catalog
                // that reads differently: the product keeps the one it has.
                outcome.verified = outcome.merged && IndexMatchesText(target);
                if (outcome.verified) outcome.saved = target.SaveFile(productFolder);
            }
            platform::UnlockFile(lock);
        }
    }
    if (done) done();
    return outcome;
}

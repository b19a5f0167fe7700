// The test seams (the file system the document's load and save go through, the module path
// the import finds its pack by), and the staging of copies, which both backends share.
#include <atomic>
#include <cstdio>
#include <vector>

#include "platform/platform.h"
#include "platform/staging_backend.h"

namespace platform {

namespace {
std::atomic<FileSystem*> gFiles{nullptr};
// Set by a test before the import's threads start, and only read while they run.
CString gModulePath;
std::atomic<bool> gStop{false};
}  // namespace

FileSystem& Files() {
    FileSystem* files = gFiles.load(std::memory_order_acquire);
    return files ? *files : RealFiles();
}

FileSystem* SetFilesForTest(FileSystem* files) {
    FileSystem* previous = gFiles.exchange(files, std::memory_order_acq_rel);
    return previous ? previous : &RealFiles();
}

void SetModulePathForTest(const CString& windowsPath) {
    gModulePath = windowsPath;
}

const CString* ModulePathForTest() {
    return gModulePath.empty() ? nullptr : &gModulePath;
}

bool StopRequested() {
    return gStop.load(std::memory_order_relaxed);
}

void RequestStop(bool stop) {
    gStop.store(stop, std::memory_order_relaxed);
}

bool IsLinkReparsePoint(uint32_t attributes, uint32_t reparseTag) {
    constexpr uint32_t kReparsePoint = 0x400;     // FILE_ATTRIBUTE_REPARSE_POINT
    constexpr uint32_t kSymlink = 0xA000000C;     // IO_REPARSE_TAG_SYMLINK
    constexpr uint32_t kMountPoint = 0xA0000003;  // IO_REPARSE_TAG_MOUNT_POINT (junction)
    return (attributes & kReparsePoint) && (reparseTag == kSymlink || reparseTag == kMountPoint);
}

// ---- staging ------------------------------------------------------------------------------

struct Staging::State {
    struct Staged {
        CString staged;
        CString destination;
        bool replace;
    };
    CString folder;  // the staging folder itself; empty while not open
    std::vector<Staged> pending;
    uint32_t next = 0;
};

Staging::Staging() : state_(new State) {}

Staging::~Staging() {
    Remove();
    delete state_;
}

bool Staging::Open(const char16_t* folder) {
    Remove();
    const CString staging = CString(folder) + u"\\" + kStagingFolderName;
    // A killed run's copies were never moved into place: they are dropped.
    if (!backend::RemoveStagingFolder(staging.c_str())) return false;
    if (!backend::CreateHiddenFolder(staging.c_str())) return false;
    state_->folder = staging;
    return true;
}

bool Staging::StageFile(const char16_t* from, const char16_t* to, bool failIfExists) {
    if (state_->folder.empty()) {
        SetLastError(kErrorPathNotFound);
        return false;
    }
    // Most files of a repeated import exist already: refuse those before copying anything.
    if (failIfExists && backend::EntryExists(to)) {
        SetLastError(kErrorFileExists);
        return false;
    }
    // Short names: a destination's own name may already be as long as the system allows.
    char name[16];
    std::snprintf(name, sizeof name, "\\%x", ++state_->next);
    CString staged = state_->folder;
    for (const char* c = name; *c; ++c) staged += static_cast<char16_t>(*c);
    if (!backend::CopyToStaging(from, staged.c_str())) return false;
    state_->pending.push_back({std::move(staged), CString(to), !failIfExists});
    return true;
}

bool Staging::Commit(CString* failed, CString* message) {
    if (state_->pending.empty()) return true;
    bool all = backend::SyncStaged(state_->folder.c_str());
    if (!all) {
        if (failed) *failed = state_->pending.front().destination;
        if (message) *message = SystemErrorText();
        // Nothing unflushed may reach its final name; Remove drops the copies.
        state_->pending.clear();
        return false;
    }
    for (const State::Staged& s : state_->pending) {
        if (backend::MoveStaged(s.staged.c_str(), s.destination.c_str(), s.replace)) continue;
        // A file that appeared meanwhile wins, as one that was there before does.
        if (!s.replace && GetLastError() == kErrorFileExists) continue;
        if (all) {
            if (failed) *failed = s.destination;
            if (message) *message = SystemErrorText();
        }
        all = false;
    }
    state_->pending.clear();
    // The moves themselves reach the disk before the caller goes on to the catalog.
    if (!backend::SyncStaged(state_->folder.c_str()) && all) {
        if (failed) failed->clear();
        if (message) *message = SystemErrorText();
        all = false;
    }
    return all;
}

void Staging::Remove() {
    if (state_->folder.empty()) return;
    // The cleanup after a failure must not hide why it failed.
    const uint32_t error = GetLastError();
    backend::RemoveStagingFolder(state_->folder.c_str());
    SetLastError(error);
    state_->pending.clear();
    state_->folder.clear();
}

}  // namespace platform

// The test seams (the file system the document's load and save go through, the module path
// the import finds its pack by), and the staging of copies, which both backends share: it is
// written once over Folder and TempFile.
#include <atomic>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/ascii_fold.h"
#include "platform/platform.h"

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

namespace {

// No staging folder holds more than 256 entries. Few copies to a subfolder: Wine reads the
// whole folder to make each new name in it.
constexpr size_t kPerFolder = 64;
constexpr size_t kSubfolders = 256;
constexpr size_t kHeldFolders = 128;

bool IsHex(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
}

bool AllHex(std::u16string_view s) {
    for (char16_t c : s)
        if (!IsHex(c)) return false;
    return !s.empty();
}

// "~" and seven hex digits: a file TempFile made.
bool IsTemporaryName(std::u16string_view name) {
    return name.size() == 8 && name[0] == u'~' && AllHex(name.substr(1));
}

// A numbered subfolder of a staging folder.
bool IsSubfolderName(std::u16string_view name) {
    return name.size() <= 4 && AllHex(name);
}

// What earlier versions left directly in ".brevlo": copies under hex numbers and temporaries.
bool IsOldLeftover(const FolderEntry& e) {
    return e.kind == EntryKind::File &&
           ((e.name.size() <= 8 && AllHex(e.name)) || IsTemporaryName(e.name));
}

// A staging folder "<16 hex digits of its product>.<number>"; its product's key in `key`.
bool IsAreaName(std::u16string_view name, std::u16string_view& key) {
    if (name.size() < 18 || name.size() > 20 || name[16] != u'.') return false;
    for (char16_t c : name.substr(17))
        if (c < u'0' || c > u'9') return false;
    key = name.substr(0, 16);
    return AllHex(key);
}

// The key two names share when a folder takes them for one entry. Both backends find a name
// without regard to the case of its ASCII letters (Windows folds more, which the staging's
// moves find for themselves).
CString NameKey(CString name) {
    for (char16_t& c : name) c = FoldAscii(c);
    return name;
}

// `value` in lower-case hex digits: `digits` of them, or as few as it needs when 0.
CString Hex(uint64_t value, int digits = 0) {
    CString out;
    for (int i = 15; i >= 0; --i) {
        const int d = static_cast<int>((value >> (4 * i)) & 0xF);
        if (i < digits || d || !out.empty() || i == 0)
            out.push_back(static_cast<char16_t>(d < 10 ? u'0' + d : u'a' + d - 10));
    }
    return out;
}

// True when the staging folder `area` holds only staged names; else `bad` names the first
// that is not one.
bool OnlyStaged(const Folder& area, CString& bad) {
    std::vector<FolderEntry> entries;
    if (!area.List(entries)) return false;
    for (const FolderEntry& e : entries) {
        if (e.kind == EntryKind::File && IsTemporaryName(e.name)) continue;
        if (e.kind == EntryKind::Folder && IsSubfolderName(e.name)) {
            Folder sub;
            std::vector<FolderEntry> inner;
            if (area.OpenFolder(e.name, sub, false) && sub.List(inner)) {
                bool clean = true;
                for (const FolderEntry& f : inner) {
                    if (f.kind == EntryKind::File && IsTemporaryName(f.name)) continue;
                    bad = e.name + u"\\" + f.name;
                    clean = false;
                    break;
                }
                if (clean) continue;
                return false;
            }
        }
        if (bad.empty()) bad = e.name;
        return false;
    }
    return true;
}

// Removes a staging folder's staged names, then the folder (closed, and so unlocked, first);
// what is not staged stays.
void ClearArea(const Folder& brevlo, Folder& area, const CString& name) {
    std::vector<FolderEntry> entries;
    area.List(entries);
    for (const FolderEntry& e : entries) {
        if (e.kind == EntryKind::File && IsTemporaryName(e.name)) {
            area.Remove(e.name, false);
        } else if (e.kind == EntryKind::Folder && IsSubfolderName(e.name)) {
            Folder sub;
            std::vector<FolderEntry> inner;
            if (!area.OpenFolder(e.name, sub, false) || !sub.List(inner)) continue;
            for (const FolderEntry& f : inner)
                if (f.kind == EntryKind::File && IsTemporaryName(f.name)) sub.Remove(f.name, false);
            sub = Folder();
            area.Remove(e.name, true);
        }
    }
    area = Folder();
    brevlo.Remove(name, true);
}

}  // namespace

struct Staging::State {
    explicit State(const Folder& p) : product(p) {}
    const Folder& product;
    CString key;
    struct Area {
        uint64_t volume = 0;
        Folder holder;  // the folder ".brevlo" is in
        Folder brevlo;
        Folder root;  // "<key>.<n>", locked while it lives
        CString name;
        Folder current;              // the numbered subfolder that copies go into now
        std::vector<Folder> filled;  // the others, open while their copies wait
        size_t inCurrent = 0;
        uint32_t subfolders = 0;
    };
    std::vector<std::unique_ptr<Area>> areas;
    struct Pending {
        TempFile file;
        size_t destination;
        CString name;
        bool replace;
    };
    std::vector<Pending> pending;
    std::vector<Folder> destinations;  // handles of their own, held until the commit
    // The names in the destination copies go into now, read once instead of looked up for
    // each copy (a lookup costs Wine a reading of the whole folder).
    CString present;
    bool presentRead = false;
    std::unordered_set<CString> presentNames;

    bool Present(const Folder& destination, const CString& name) {
        if (!presentRead || present != destination.Path()) {
            present = destination.Path();
            presentNames.clear();
            std::vector<FolderEntry> entries;
            presentRead = destination.List(entries);
            for (FolderEntry& e : entries) presentNames.insert(NameKey(std::move(e.name)));
        }
        // A folder that cannot be read is asked name by name.
        if (!presentRead) return destination.Kind(name) != EntryKind::Missing;
        return presentNames.count(NameKey(name)) != 0;
    }
};

Staging::Staging(const Folder& product) : state_(new State(product)) {
    FileStamp stamp;
    product.Stamp(CString(), stamp);
    // FNV-1a over the volume and index: one name per product data folder.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (uint64_t part : {stamp.volume, stamp.index})
        for (int i = 0; i < 8; ++i) hash = (hash ^ ((part >> (8 * i)) & 0xFF)) * 0x100000001b3ull;
    state_->key = Hex(hash, 16);
}

Staging::~Staging() {
    Remove();
    delete state_;
}

bool Staging::Inspect(const Folder& folder, CString& entry) const {
    const EntryKind kind = folder.Kind(kStagingFolderName);
    if (kind == EntryKind::Missing) return true;
    const CString top = kStagingFolderName;
    Folder brevlo;
    std::vector<FolderEntry> entries;
    if (kind != EntryKind::Folder || !folder.OpenFolder(top, brevlo, false) ||
        !brevlo.List(entries)) {
        entry = top;
        return false;
    }
    for (const FolderEntry& e : entries) {
        std::u16string_view key;
        if (IsOldLeftover(e)) continue;
        if (e.kind == EntryKind::Folder && IsAreaName(e.name, key)) {
            if (key != state_->key) continue;  // another product's, which clears its own
            Folder area;
            CString bad;
            if (brevlo.OpenFolder(e.name, area, false)) {
                if (!area.TryLock()) continue;  // in use
                if (OnlyStaged(area, bad)) continue;
            }
            entry = top + u"\\" + e.name + (bad.empty() ? CString() : u"\\" + bad);
            return false;
        }
        entry = top + u"\\" + e.name;
        return false;
    }
    return true;
}

const Folder* Staging::AreaFor(const Folder& destination) {
    const uint64_t volume = destination.Volume();
    for (const auto& area : state_->areas)
        if (area->volume == volume) return &area->root;
    // On the data folder's own file system the staging sits at its top.
    const Folder& folder = volume == state_->product.Volume() ? state_->product : destination;
    auto area = std::make_unique<State::Area>();
    area->volume = volume;
    const CString top = kStagingFolderName;
    if (!folder.Duplicate(area->holder)) return nullptr;
    if (!folder.CreateFolder(top, area->brevlo, Folder::Make::Hidden) &&
        (GetLastError() != kErrorAlreadyExists || !folder.OpenFolder(top, area->brevlo, false)))
        return nullptr;
    // What a killed run of this product left: its staged names go, nothing else.
    std::vector<FolderEntry> entries;
    area->brevlo.List(entries);
    for (const FolderEntry& e : entries) {
        std::u16string_view key;
        if (IsOldLeftover(e)) {
            area->brevlo.Remove(e.name, false);
        } else if (e.kind == EntryKind::Folder && IsAreaName(e.name, key) && key == state_->key) {
            Folder old;
            if (area->brevlo.OpenFolder(e.name, old, false) && old.TryLock())
                ClearArea(area->brevlo, old, e.name);
        }
    }
    for (int n = 0;; ++n) {
        if (n == 100) {
            // Not "exists": the copy would take that for a file already in place.
            SetLastError(kErrorCannotMake);
            return nullptr;
        }
        CString name = state_->key + u".";
        for (char c : std::to_string(n)) name.push_back(static_cast<char16_t>(c));
        if (area->brevlo.CreateFolder(name, area->root, Folder::Make::Own)) {
            if (!area->root.TryLock()) return nullptr;
            area->name = name;
            break;
        }
        if (GetLastError() != kErrorAlreadyExists) return nullptr;
    }
    state_->areas.push_back(std::move(area));
    return &state_->areas.back()->root;
}

bool Staging::StageCopy(const Folder& from, const CString& name, const Folder& destination,
                        const CString& to, bool replace, bool writable, Sha256* digest) {
    // Most files of a repeated import exist already: refuse those before copying anything. A
    // name that comes meanwhile is refused by the move.
    if (!replace && state_->Present(destination, to)) {
        SetLastError(kErrorFileExists);
        return false;
    }
    const Folder* root = AreaFor(destination);
    if (!root) return false;
    State::Area* area = nullptr;
    for (const auto& a : state_->areas)
        if (&a->root == root) area = a.get();
    if (!area->current.IsOpen() || area->inCurrent == kPerFolder) {
        if (area->subfolders == kSubfolders) {
            SetLastError(kErrorCannotMake);
            return false;
        }
        Folder sub;
        if (!area->root.CreateFolder(Hex(area->subfolders), sub, Folder::Make::Own)) return false;
        ++area->subfolders;
        if (area->current.IsOpen()) area->filled.push_back(std::move(area->current));
        area->current = std::move(sub);
        area->inCurrent = 0;
    }
    TempFile file;
    if (!file.Create(area->current, true)) return false;
    ++area->inCurrent;
    if (!file.CopyFrom(from, name, digest) || (writable && !file.MakeWritable()) || !file.Close())
        return false;  // the file goes with it
    // Copies come folder by folder: one handle of its own for each run of one destination.
    if (state_->destinations.empty() || state_->destinations.back().Path() != destination.Path()) {
        Folder held;
        if (!destination.Duplicate(held)) return false;
        state_->destinations.push_back(std::move(held));
    }
    state_->pending.push_back(
        {std::move(file), state_->destinations.size() - 1, CString(to), replace});
    return true;
}

bool Staging::Full() const {
    return state_->pending.size() >= MaxStagedCopies() ||
           state_->destinations.size() >= kHeldFolders;
}

size_t Staging::Pending() const {
    return state_->pending.size();
}

bool Staging::Commit(CString* failed, CString* message, std::vector<bool>* placed) {
    if (placed) placed->assign(state_->pending.size(), false);
    if (state_->pending.empty()) return true;
    auto fail = [&](const CString& path) {
        if (failed) *failed = path;
        if (message) *message = SystemErrorText();
    };
    bool all = true;
    for (const auto& area : state_->areas) {
        if (area->root.Sync(true)) continue;
        const State::Pending& first = state_->pending.front();
        fail(state_->destinations[first.destination].Path() + u"\\" + first.name);
        // Nothing unflushed may reach its final name.
        state_->pending.clear();
        all = false;
        break;
    }
    for (size_t i = 0; i < state_->pending.size(); ++i) {
        State::Pending& p = state_->pending[i];
        const Folder& into = state_->destinations[p.destination];
        if (p.file.Keep(into, p.name, p.replace)) {
            if (placed) (*placed)[i] = true;
            continue;
        }
        // A file that appeared meanwhile wins, as one that was there before does.
        if (!p.replace && GetLastError() == kErrorFileExists) continue;
        if (all) fail(into.Path() + u"\\" + p.name);
        all = false;
    }
    state_->pending.clear();
    state_->destinations.clear();
    // The moves themselves reach the disk before the caller goes on to the catalog; the
    // numbered folders, empty now, go.
    for (const auto& area : state_->areas) {
        if (!area->root.Sync(true) && all) {
            fail(CString());
            all = false;
        }
        area->current = Folder();  // open, it could not be removed on Windows
        area->filled.clear();
        for (uint32_t n = 0; n < area->subfolders; ++n) area->root.Remove(Hex(n), true);
        area->subfolders = 0;
    }
    return all;
}

void Staging::Remove() {
    // The cleanup after a failure must not hide why it failed.
    const uint32_t error = GetLastError();
    state_->pending.clear();
    state_->destinations.clear();
    for (const auto& area : state_->areas) {
        area->current = Folder();
        area->filled.clear();
        ClearArea(area->brevlo, area->root, area->name);
        area->root = Folder();
        area->brevlo = Folder();
        // Empty unless another product stages there too.
        area->holder.Remove(kStagingFolderName, true);
    }
    state_->areas.clear();
    SetLastError(error);
}

}  // namespace platform

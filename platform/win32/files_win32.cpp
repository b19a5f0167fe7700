// Files on Windows: the document's file system (load and save through ReplaceFileW), folders,
// and the staging backend (copies under short names in a hidden folder, moved into place
// without replacing anything).
#include <windows.h>
// The A/W macros would rename the platform functions below.

#include <atomic>
#include <climits>
#include <new>
#include <cstdio>
#include <cwchar>

#include "platform/platform.h"
#include "platform/staging_backend.h"
#include "platform/win32/wide.h"

namespace platform {

struct File {
    HANDLE handle;
};

namespace {

// Random digits for a temporary file's name; CREATE_NEW and a retry make it unique.
uint64_t NextRandom() {
    static std::atomic<uint64_t> counter{0};
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    uint64_t x = static_cast<uint64_t>(now.QuadPart) ^
                 (static_cast<uint64_t>(::GetCurrentProcessId()) << 32) ^
                 (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

File* Wrap(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    File* file = new (std::nothrow) File{handle};
    if (!file) {
        ::CloseHandle(handle);
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return file;
}

// Large transfers go in pieces that a DWORD can count.
constexpr DWORD kChunk = 1u << 30;

// The file that `path` stands for: through a symbolic link, its target. A path that does not
// name an existing link is its own.
CString Resolved(const char16_t* path) {
    const DWORD attributes = ::GetFileAttributesW(Wide(path));
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return path;
    HANDLE handle =
        ::CreateFileW(Wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return path;
    wchar_t buffer[32768];
    const DWORD n = ::GetFinalPathNameByHandleW(handle, buffer, 32768, FILE_NAME_NORMALIZED);
    ::CloseHandle(handle);
    if (n == 0 || n >= 32768) return path;
    CString real(reinterpret_cast<const char16_t*>(buffer), n);
    if (real.starts_with(u"\\\\?\\UNC\\")) return u"\\\\" + real.substr(8);
    if (real.starts_with(u"\\\\?\\")) return real.substr(4);
    return real;
}

class RealFileSystem final : public FileSystem {
  public:
    File* OpenRead(const char16_t* path) override {
        return Wrap(::CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }

    File* CreateTemporary(const char16_t* target, CString& temporaryPath) override {
        const CString real = Resolved(target);
        // A read-only catalog stays as it is, as a plain write to it would fail.
        const DWORD attributes = ::GetFileAttributesW(Wide(real.c_str()));
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        const size_t slash = real.find_last_of(u"\\/");
        CString folder = slash == CString::npos ? CString() : real.substr(0, slash + 1);
        // Beside a staging folder the temporary goes into it, where the next import clears
        // what a killed save left; not when that longer path would pass MAX_PATH.
        const CString staging = folder + kStagingFolderName;
        const DWORD place = ::GetFileAttributesW(Wide(staging.c_str()));
        if (place != INVALID_FILE_ATTRIBUTES && (place & FILE_ATTRIBUTE_DIRECTORY) &&
            !(place & FILE_ATTRIBUTE_REPARSE_POINT) && staging.size() + 9 < MAX_PATH)
            folder = staging + u"\\";
        for (int attempt = 0; attempt < 100; ++attempt) {
            // Short: the target's own name may already be as long as the system allows.
            char name[16];
            std::snprintf(name, sizeof name, "~%07llx",
                          static_cast<unsigned long long>(NextRandom() & 0xFFFFFFFull));
            CString path = folder;
            for (const char* c = name; *c; ++c) path += static_cast<char16_t>(*c);
            HANDLE handle = ::CreateFileW(Wide(path.c_str()), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle != INVALID_HANDLE_VALUE) {
                File* file = Wrap(handle);
                if (file) {
                    temporaryPath = path;
                } else {
                    ::DeleteFileW(Wide(path.c_str()));
                    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                }
                return file;
            }
            DWORD error = ::GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return nullptr;
        }
        return nullptr;
    }

    bool Size(File* file, int64_t& size) override {
        LARGE_INTEGER value;
        if (!::GetFileSizeEx(file->handle, &value)) return false;
        size = value.QuadPart;
        return true;
    }

    bool Read(File* file, void* buffer, size_t count, size_t& done) override {
        done = 0;
        auto* bytes = static_cast<char*>(buffer);
        while (done < count) {
            DWORD want = count - done > kChunk ? kChunk : static_cast<DWORD>(count - done);
            DWORD got = 0;
            if (!::ReadFile(file->handle, bytes + done, want, &got, nullptr)) return false;
            if (got == 0) break;
            done += got;
        }
        return true;
    }

    bool Write(File* file, const void* buffer, size_t count) override {
        auto* bytes = static_cast<const char*>(buffer);
        size_t done = 0;
        while (done < count) {
            DWORD want = count - done > kChunk ? kChunk : static_cast<DWORD>(count - done);
            DWORD put = 0;
            if (!::WriteFile(file->handle, bytes + done, want, &put, nullptr)) return false;
            if (put == 0) {
                ::SetLastError(ERROR_WRITE_FAULT);
                return false;
            }
            done += put;
        }
        return true;
    }

    bool Flush(File* file) override { return ::FlushFileBuffers(file->handle) != FALSE; }

    bool Close(File* file) override {
        if (!file) return true;
        BOOL ok = ::CloseHandle(file->handle);
        delete file;
        return ok != FALSE;
    }

    bool Replace(const char16_t* source, const char16_t* target) override {
        const CString real = Resolved(target);
        const DWORD attributes = ::GetFileAttributesW(Wide(real.c_str()));
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return ::MoveFileExW(Wide(source), Wide(real.c_str()), MOVEFILE_WRITE_THROUGH) != FALSE;
        // ReplaceFileW keeps the replaced file's attributes, owner and access-control list;
        // Wine's does not keep the attributes, so they are put back.
        if (!::ReplaceFileW(Wide(real.c_str()), Wide(source), nullptr,
                            REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
            return false;
        ::SetFileAttributesW(Wide(real.c_str()), attributes);
        return true;
    }

    bool Remove(const char16_t* path) override { return ::DeleteFileW(Wide(path)) != FALSE; }
};

}  // namespace

FileSystem& RealFiles() {
    static RealFileSystem files;
    return files;
}

bool CreateFolder(const char16_t* path) {
    return ::CreateDirectoryW(Wide(path), nullptr) != FALSE;
}

// Windows paths need no lookup of their own.
struct FolderLookupScope::State {};
FolderLookupScope::FolderLookupScope() : state_(nullptr) {}
FolderLookupScope::~FolderLookupScope() = default;

namespace backend {

bool CreateHiddenFolder(const char16_t* folder) {
    if (!::CreateDirectoryW(Wide(folder), nullptr)) return false;
    ::SetFileAttributesW(Wide(folder), FILE_ATTRIBUTE_HIDDEN);
    return true;
}

bool RemoveStagingFolder(const char16_t* folder) {
    const DWORD attributes = ::GetFileAttributesW(Wide(folder));
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    // Never into a link put in its place: only our own folder's files go.
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ::SetFileAttributesW(Wide(folder), FILE_ATTRIBUTE_NORMAL);
        return ::DeleteFileW(Wide(folder)) || ::RemoveDirectoryW(Wide(folder));
    }
    const CString pattern = CString(folder) + u"\\*";
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW(Wide(pattern.c_str()), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const CString name(reinterpret_cast<const char16_t*>(found.cFileName));
            if (name == u"." || name == u"..") continue;
            const CString path = CString(folder) + u"\\" + name;
            ::SetFileAttributesW(Wide(path.c_str()), FILE_ATTRIBUTE_NORMAL);  // read-only too
            if (!::DeleteFileW(Wide(path.c_str()))) ::RemoveDirectoryW(Wide(path.c_str()));
        } while (::FindNextFileW(find, &found));
        ::FindClose(find);
    }
    return ::RemoveDirectoryW(Wide(folder)) != FALSE ||
           ::GetFileAttributesW(Wide(folder)) == INVALID_FILE_ATTRIBUTES;
}

bool EntryExists(const char16_t* path) {
    return ::GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES;
}

bool CopyToStaging(const char16_t* from, const char16_t* staged) {
    if (!::CopyFileW(Wide(from), Wide(staged), TRUE)) return false;
    // CopyFileW carries the read-only attribute along; the flush needs a writable handle,
    // so the attribute is set aside for it and put back.
    const DWORD attributes = ::GetFileAttributesW(Wide(staged));
    const bool readOnly =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (readOnly) ::SetFileAttributesW(Wide(staged), attributes & ~FILE_ATTRIBUTE_READONLY);
    HANDLE handle = ::CreateFileW(Wide(staged), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = handle != INVALID_HANDLE_VALUE;
    if (ok) {
        ok = ::FlushFileBuffers(handle) != FALSE;
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        ::SetLastError(error);
    }
    if (readOnly && ok) ok = ::SetFileAttributesW(Wide(staged), attributes) != FALSE;
    if (!ok) {
        const DWORD error = ::GetLastError();
        ::SetFileAttributesW(Wide(staged), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(Wide(staged));
        ::SetLastError(error);
    }
    return ok;
}

bool SyncStaged(const char16_t*) {
    return true;  // each copy was flushed, each move is written through
}

bool MoveStaged(const char16_t* staged, const char16_t* to, bool replace) {
    // Without MOVEFILE_REPLACE_EXISTING a destination that appeared meanwhile wins.
    if (::MoveFileExW(Wide(staged), Wide(to),
                      (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH))
        return true;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) ::SetLastError(ERROR_FILE_EXISTS);
    return false;
}

}  // namespace backend

// ---- the import lock ---------------------------------------------------------------------

struct ImportLock {
    HANDLE mutex;
};

ImportLock* AcquireImportLock(const char16_t* folder) {
    // One name for the folder however it is spelled: its full path, without regard to case.
    wchar_t full[MAX_PATH];
    const DWORD n = ::GetFullPathNameW(Wide(folder), MAX_PATH, full, nullptr);
    CString key =
        n && n < MAX_PATH ? CString(reinterpret_cast<const char16_t*>(full), n) : CString(folder);
    while (!key.empty() && (key.back() == u'\\' || key.back() == u'/')) key.pop_back();
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    for (char16_t c : key) {
        const char16_t upper = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
        hash = (hash ^ (upper & 0xFF)) * 0x100000001b3ull;
        hash = (hash ^ (upper >> 8)) * 0x100000001b3ull;
    }
    wchar_t name[64];
    std::swprintf(name, 64, L"Local\\BrevloImport-%016llx", static_cast<unsigned long long>(hash));
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name);
    if (!mutex) return nullptr;
    for (;;) {
        const DWORD waited = ::WaitForSingleObject(mutex, 200);
        // A holder that died left the mutex abandoned, and to us.
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) break;
        if (waited != WAIT_TIMEOUT || StopRequested()) {
            const DWORD error = waited == WAIT_TIMEOUT ? ERROR_LOCK_VIOLATION : ::GetLastError();
            ::CloseHandle(mutex);
            ::SetLastError(error);
            return nullptr;
        }
    }
    ImportLock* lock = new (std::nothrow) ImportLock{mutex};
    if (!lock) {
        ::ReleaseMutex(mutex);
        ::CloseHandle(mutex);
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return lock;
}

void ReleaseImportLock(ImportLock* lock) {
    if (!lock) return;
    ::ReleaseMutex(lock->mutex);
    ::CloseHandle(lock->mutex);
    delete lock;
}

void InstallStopSignals() {}

// ---- FileFind ----------------------------------------------------------------------------

struct FileFind::State {
    HANDLE handle = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW next{};     // the entry that FindNext moves to
    WIN32_FIND_DATAW current{};  // the entry being looked at
    bool hasNext = false;
    bool hasCurrent = false;
};

FileFind::FileFind() : state_(new State) {}

FileFind::~FileFind() {
    Close();
    delete state_;
}

void FileFind::Close() {
    if (state_->handle != INVALID_HANDLE_VALUE) ::FindClose(state_->handle);
    state_->handle = INVALID_HANDLE_VALUE;
    state_->hasNext = false;
    state_->hasCurrent = false;
}

bool FileFind::FindFile(const char16_t* pattern) {
    Close();
    state_->handle = ::FindFirstFileW(Wide(pattern), &state_->next);
    state_->hasNext = state_->handle != INVALID_HANDLE_VALUE;
    return state_->hasNext;
}

bool FileFind::FindNext() {
    if (!state_->hasNext) return false;
    state_->current = state_->next;
    state_->hasCurrent = true;
    state_->hasNext = ::FindNextFileW(state_->handle, &state_->next) != FALSE;
    return state_->hasNext;
}

bool FileFind::IsDots() const {
    if (!state_->hasCurrent) return false;
    const wchar_t* name = state_->current.cFileName;
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

bool FileFind::IsDirectory() const {
    return state_->hasCurrent && (state_->current.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileFind::IsLink() const {
    // Cloud placeholders and deduplicated files are reparse points too, and are files.
    return state_->hasCurrent &&
           IsLinkReparsePoint(state_->current.dwFileAttributes, state_->current.dwReserved0);
}

bool FileFind::IsFile() const {
    return state_->hasCurrent && !(state_->current.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !IsLink();
}

CString FileFind::GetFileName() const {
    if (!state_->hasCurrent) return {};
    return CString(reinterpret_cast<const char16_t*>(state_->current.cFileName));
}

}  // namespace platform

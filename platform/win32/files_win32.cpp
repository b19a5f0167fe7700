#include <windows.h>
// The A/W macros would rename the platform functions below.
#undef CreateDirectory
#undef CopyFile
#undef FindNextFile

#include <atomic>
#include <climits>
#include <new>
#include <cstdio>

#include "platform/platform.h"
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

class RealFileSystem final : public FileSystem {
  public:
    File* OpenRead(const char16_t* path) override {
        return Wrap(::CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }

    File* CreateTemporary(const char16_t* target, CString& temporaryPath) override {
        CString base(target);
        for (int attempt = 0; attempt < 100; ++attempt) {
            char suffix[32];
            std::snprintf(suffix, sizeof suffix, ".%012llx.tmp",
                          static_cast<unsigned long long>(NextRandom() & 0xFFFFFFFFFFFFull));
            CString name = base;
            for (const char* c = suffix; *c; ++c) name += static_cast<char16_t>(*c);
            HANDLE handle = ::CreateFileW(Wide(name.c_str()), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle != INVALID_HANDLE_VALUE) {
                File* file = Wrap(handle);
                if (file) {
                    temporaryPath = name;
                } else {
                    ::DeleteFileW(Wide(name.c_str()));
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
        return ::MoveFileExW(Wide(source), Wide(target),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    }

    bool Remove(const char16_t* path) override { return ::DeleteFileW(Wide(path)) != FALSE; }
};


}  // namespace

FileSystem& RealFiles() {
    static RealFileSystem files;
    return files;
}

// Each copy here completes on its own, flushed and moved into place.
struct CopyBatch::State {};
CopyBatch::CopyBatch() : state_(nullptr) {}
CopyBatch::~CopyBatch() = default;
bool CopyBatch::Commit() { return true; }

bool CreateDirectory(const char16_t* path) {
    return ::CreateDirectoryW(Wide(path), nullptr) != FALSE;
}

bool CopyFile(const char16_t* from, const char16_t* to, bool failIfExists) {
    // A missing source is reported before an existing destination, as CopyFileW does.
    if (::GetFileAttributesW(Wide(from)) == INVALID_FILE_ATTRIBUTES) return false;
    // Most files of a repeated import exist already: refuse those before copying anything.
    if (failIfExists && ::GetFileAttributesW(Wide(to)) != INVALID_FILE_ATTRIBUTES) {
        ::SetLastError(ERROR_FILE_EXISTS);
        return false;
    }
    // The copy goes to a fresh short name in the destination's folder (a long destination
    // name leaves no room for a suffix) and is moved into place only when complete and on the
    // disk, so a crash leaves the destination absent or whole.
    CString folder(to);
    const size_t slash = folder.find_last_of(u"\\/");
    folder = slash == CString::npos ? CString(u".") : folder.substr(0, slash + 1);
    wchar_t temporary[MAX_PATH];
    if (!::GetTempFileNameW(Wide(folder.c_str()), L"bvc", 0, temporary)) {
        const DWORD error = ::GetLastError();
        // The folder's missing, whatever the call says about its own name.
        ::SetLastError(error == ERROR_DIRECTORY ? ERROR_PATH_NOT_FOUND : error);
        return false;
    }
    bool ok = ::CopyFileW(Wide(from), temporary, FALSE) != FALSE;
    if (ok) {
        HANDLE handle = ::CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
        ok = handle != INVALID_HANDLE_VALUE;
        if (ok) {
            ok = ::FlushFileBuffers(handle) != FALSE;
            const DWORD error = ::GetLastError();
            ::CloseHandle(handle);
            ::SetLastError(error);
        }
    }
    if (ok) {
        // Without MOVEFILE_REPLACE_EXISTING a destination that appeared meanwhile wins.
        const DWORD replace = failIfExists ? 0 : MOVEFILE_REPLACE_EXISTING;
        ok = ::MoveFileExW(temporary, Wide(to), replace | MOVEFILE_WRITE_THROUGH) != FALSE;
    }
    if (!ok) {
        DWORD error = ::GetLastError();
        if (error == ERROR_ALREADY_EXISTS) error = ERROR_FILE_EXISTS;
        ::SetFileAttributesW(temporary, FILE_ATTRIBUTE_NORMAL);  // a read-only copy too
        ::DeleteFileW(temporary);
        ::SetLastError(error);
        return false;
    }
    return true;
}

// ---- locks -------------------------------------------------------------------------------

struct FileLock {
    HANDLE handle;
};

FileLock* LockFile(const char16_t* path, uint32_t timeoutMilliseconds) {
    HANDLE handle = ::CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMilliseconds;
    for (;;) {
        OVERLAPPED at = {};
        if (::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
            break;
        const DWORD error = ::GetLastError();
        if ((error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) ||
            ::GetTickCount64() >= deadline) {
            ::CloseHandle(handle);
            ::SetLastError(error == ERROR_IO_PENDING ? ERROR_LOCK_VIOLATION : error);
            return nullptr;
        }
        ::Sleep(10);
    }
    FileLock* lock = new (std::nothrow) FileLock{handle};
    if (!lock) {
        ::CloseHandle(handle);
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return lock;
}

void UnlockFile(FileLock* lock) {
    if (!lock) return;
    OVERLAPPED at = {};
    ::UnlockFileEx(lock->handle, 0, 1, 0, &at);
    ::CloseHandle(lock->handle);
    delete lock;
}

// ---- FileFind ----------------------------------------------------------------------------

struct FileFind::State {
    HANDLE handle = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW next{};     // the entry that FindNextFile moves to
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

bool FileFind::FindNextFile() {
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
    return state_->hasCurrent && (state_->current.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

CString FileFind::GetFileName() const {
    if (!state_->hasCurrent) return {};
    return CString(reinterpret_cast<const char16_t*>(state_->current.cFileName));
}

}  // namespace platform

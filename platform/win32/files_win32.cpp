// Files on Windows: the document's file system (load and save by path, through ReplaceFileW),
// the creation of a folder by path, and folder listings with CFileFind's behaviour.
#include <windows.h>
// The A/W macros would rename the platform functions below.

#include <atomic>
#include <climits>
#include <new>
#include <cstdio>
#include <cwchar>

#include "platform/platform.h"
#include "platform/win32/file_win32.h"
#include "platform/win32/wide.h"

namespace platform {

using win32::NextRandom;

namespace {

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
        File* file =
            Wrap(::CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file && ::GetFileType(file->handle) != FILE_TYPE_DISK) {
            Close(file);
            ::SetLastError(kErrorNotAFile);
            return nullptr;
        }
        return file;
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
        const CString folder = slash == CString::npos ? CString() : real.substr(0, slash + 1);
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

// Random digits for a temporary file's name; CREATE_NEW and a retry make it unique.
uint64_t win32::NextRandom() {
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

}  // namespace platform

// Folders reached by handle and the files written beside their destinations, on Windows:
//   - the NT calls, found in ntdll at run time: opens relative to a folder handle
//     (OBJECT_ATTRIBUTES.RootDirectory), renames relative to the destination's handle;
//   - links: a reparse point of a link's tag, and (Wine) a name whose opened file has another
//     final path than the listed one: Wine 8 marks a Unix link to a folder as a reparse point
//     with tag 0 and a link to a file not at all;
//   - Folder: handles that share deletion, so that they stand in no one's way; the lock of a
//     folder is a second handle that does not;
//   - TempFile: a new file in a folder, kept by a rename through handles.
#include <windows.h>
// The A/W macros would rename the platform functions below.
#include <aclapi.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/file_win32.h"
#include "platform/win32/wide.h"

namespace platform {

using win32::NextRandom;

namespace {

// ---- the NT calls --------------------------------------------------------------------------

using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                          PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                          ULONG, PVOID, ULONG);
using NtSetInformationFileCall = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using RtlNtStatusToDosErrorCall = ULONG(NTAPI*)(NTSTATUS);

struct NtCalls {
    NtCreateFileCall createFile = nullptr;
    NtSetInformationFileCall setInformation = nullptr;
    RtlNtStatusToDosErrorCall toDosError = nullptr;
};

// GetProcAddress's type says nothing of the function: go through a pointer-sized integer.
template <typename Call>
Call Find(HMODULE module, const char* name) {
    return reinterpret_cast<Call>(reinterpret_cast<uintptr_t>(::GetProcAddress(module, name)));
}

const NtCalls& Nt() {
    static const NtCalls calls = [] {
        NtCalls c;
        if (HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll")) {
            c.createFile = Find<NtCreateFileCall>(ntdll, "NtCreateFile");
            c.setInformation = Find<NtSetInformationFileCall>(ntdll, "NtSetInformationFile");
            c.toDosError = Find<RtlNtStatusToDosErrorCall>(ntdll, "RtlNtStatusToDosError");
        }
        return c;
    }();
    return calls;
}

constexpr NTSTATUS kStatusCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kAllShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

void SetStatus(NTSTATUS status) {
    ::SetLastError(Nt().toDosError ? Nt().toDosError(status) : ERROR_GEN_FAILURE);
}

// NtCreateFile of `name` relative to the folder `root` (the root itself for an empty name).
// Names are matched without regard to case unless `exactCase`: Wine then looks a missing name
// up by a stat alone instead of reading the whole folder.
HANDLE OpenAt(HANDLE root, std::u16string_view name, ACCESS_MASK access, ULONG share,
              ULONG disposition, ULONG options, ULONG attributes = FILE_ATTRIBUTE_NORMAL,
              bool exactCase = false) {
    if (!Nt().createFile || name.size() > 32767) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(reinterpret_cast<const wchar_t*>(name.data()));
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, exactCase ? 0 : OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        Nt().createFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, attributes, share,
                        disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0) {
        SetStatus(status);
        return nullptr;
    }
    return handle;
}

// A handle closed at the end of its scope, keeping the last error.
struct Handle {
    HANDLE h = nullptr;
    explicit Handle(HANDLE handle = nullptr) : h(handle) {}
    ~Handle() { Reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void Reset(HANDLE handle = nullptr) {
        if (h && h != INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            ::CloseHandle(h);
            ::SetLastError(error);
        }
        h = handle;
    }
    HANDLE Release() { return std::exchange(h, nullptr); }
};

CString FinalPath(HANDLE handle) {
    wchar_t buffer[32768];
    const DWORD n = ::GetFinalPathNameByHandleW(handle, buffer, 32768, FILE_NAME_NORMALIZED);
    if (n == 0 || n >= 32768) return {};
    CString path(reinterpret_cast<const char16_t*>(buffer), n);
    if (path.starts_with(u"\\\\?\\UNC\\")) return u"\\\\" + path.substr(8);
    if (path.starts_with(u"\\\\?\\")) return path.substr(4);
    return path;
}

bool SameNoCase(std::u16string_view a, std::u16string_view b) {
    return ::CompareStringOrdinal(reinterpret_cast<const wchar_t*>(a.data()),
                                  static_cast<int>(a.size()),
                                  reinterpret_cast<const wchar_t*>(b.data()),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Under Wine, the folder at the DOS path `dos` as a name in Wine's "\??\unix" namespace, which
// Wine takes as it is spelled: any other new name costs it a reading of the whole folder, to
// find one that differs only in case. Empty elsewhere, and for a host path that Windows names
// cannot spell.
CString WineUnixName(const CString& dos) {
    using Call = char*(CDECL*)(LPCWSTR);
    static const Call call = [] {
        HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        return kernel32 ? Find<Call>(kernel32, "wine_get_unix_file_name") : nullptr;
    }();
    if (!call || dos.empty()) return {};
    char* host = call(Wide(dos.c_str()));
    if (!host) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, host, -1, nullptr, 0);
    CString name;
    if (n > 1 && host[0] == '/') {
        name.resize(static_cast<size_t>(n - 1));
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, host, -1,
                              reinterpret_cast<wchar_t*>(name.data()), n);
    }
    ::HeapFree(::GetProcessHeap(), 0, host);
    if (name.find(u'\\') != CString::npos) return {};
    for (char16_t& c : name)
        if (c == u'/') c = u'\\';
    while (!name.empty() && name.back() == u'\\') name.pop_back();
    return name.empty() ? name : u"\\??\\unix" + name;
}

bool IsLinkAttributes(DWORD attributes, DWORD tag) {
    // Wine gives a Unix link to a folder the reparse attribute and no tag.
    return IsLinkReparsePoint(attributes, tag) ||
           ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && tag == 0);
}

bool Basic(HANDLE handle, FILE_BASIC_INFO& info) {
    return ::GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info) != FALSE;
}

FileStamp StampOfHandle(HANDLE handle) {
    FileStamp stamp;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandle(handle, &info)) return stamp;
    Basic(handle, basic);
    stamp.volume = info.dwVolumeSerialNumber;
    stamp.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    // Wine gives special folders (Z:\dev, Z:\proc) volume 0 and index 1 alike: no identity.
    if (stamp.volume == 0 && stamp.index <= 1) stamp.index = 0;
    stamp.size = (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp.written = (static_cast<int64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                    info.ftLastWriteTime.dwLowDateTime;
    stamp.changed = basic.ChangeTime.QuadPart;
    return stamp;
}

constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                                      FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;

}  // namespace

bool NameLost(const CString& name) {
    return name.find(u'\uFFFD') != CString::npos;
}

// ---- Folder --------------------------------------------------------------------------------

struct Folder::State {
    HANDLE handle = nullptr;
    HANDLE lock = nullptr;  // held without sharing deletion while locked
    CString path;
    CString final;        // the final path, found when first needed
    uint64_t volume = 0;  // its serial number, likewise (Wine asks its mount manager for it)
    bool volumeKnown = false;
    CString unix;  // WineUnixName of its final path, likewise
    bool unixKnown = false;

    const CString& Unix() {
        if (!unixKnown) unix = WineUnixName(Final());
        unixKnown = true;
        return unix;
    }

    const CString& Final() {
        if (final.empty()) final = FinalPath(handle);
        return final;
    }
    // Whether `opened`, reached as `name` below this folder, is really another file: a link
    // by its reparse point, or one whose final path is not this folder's and that name.
    bool IsLink(HANDLE opened, const CString& name) {
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (::GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &tag, sizeof tag) &&
            IsLinkAttributes(tag.FileAttributes, tag.ReparseTag))
            return true;
        const CString& here = Final();
        const CString there = FinalPath(opened);
        if (here.empty() || there.empty()) return false;
        const size_t slash = there.find_last_of(u'\\');
        return slash == CString::npos ||
               !SameNoCase(std::u16string_view(there).substr(0, slash),
                           here.ends_with(u'\\')
                               ? std::u16string_view(here).substr(0, here.size() - 1)
                               : std::u16string_view(here)) ||
               !SameNoCase(std::u16string_view(there).substr(slash + 1), name);
    }
    void Close() {
        if (lock) ::CloseHandle(lock);
        if (handle) ::CloseHandle(handle);
        lock = handle = nullptr;
    }
};

Folder::Folder() : state_(new State) {}

Folder::~Folder() {
    if (state_) state_->Close();
    delete state_;
}

Folder::Folder(Folder&& other) noexcept : state_(std::exchange(other.state_, new State)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
    std::swap(state_, other.state_);
    return *this;
}

bool Folder::IsOpen() const {
    return state_->handle != nullptr;
}

const CString& Folder::Path() const {
    return state_->path;
}

bool Folder::Open(const char16_t* path) {
    HANDLE handle = ::CreateFileW(Wide(path), kFolderAccess | SYNCHRONIZE, kAllShare, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (::GetLastError() == ERROR_FILE_NOT_FOUND) ::SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::CloseHandle(handle);
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    state_->Close();
    state_->handle = handle;
    state_->path = path;
    state_->final.clear();
    while (state_->path.size() > 3 && state_->path.back() == u'\\') state_->path.pop_back();
    return true;
}

bool Folder::Duplicate(Folder& out) const {
    Folder copy;
    const HANDLE self = ::GetCurrentProcess();
    if (!::DuplicateHandle(self, state_->handle, self, &copy.state_->handle, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return false;
    copy.state_->path = state_->path;
    copy.state_->final = state_->final;
    out = std::move(copy);
    return true;
}

bool Folder::OpenFolder(const CString& name, Folder& out, bool followLinks) const {
    Handle opened(OpenAt(state_->handle, name, kFolderAccess, kAllShare, FILE_OPEN,
                         FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT));
    if (!opened.h) {
        if (::GetLastError() == ERROR_DIRECTORY) ::SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (state_->IsLink(opened.h, name)) {
        if (!followLinks) {
            ::SetLastError(kErrorLinkRefused);
            return false;
        }
        // Through the link: Wine has followed it already, Windows follows it now.
        opened.Reset(
            OpenAt(state_->handle, name, kFolderAccess, kAllShare, FILE_OPEN, FILE_DIRECTORY_FILE));
        if (!opened.h) return false;
    }
    Folder folder;
    folder.state_->handle = opened.Release();
    folder.state_->path = state_->path + u"\\" + name;
    out = std::move(folder);
    return true;
}

bool Folder::CreateFolder(const CString& name, Folder& out, Make make) const {
    Handle made(OpenAt(state_->handle, name, kFolderAccess, kAllShare, FILE_CREATE,
                       FILE_DIRECTORY_FILE,
                       make == Make::Plain ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_HIDDEN));
    if (!made.h) return false;
    if (make != Make::Plain) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY;
        ::SetFileInformationByHandle(made.h, FileBasicInfo, &basic, sizeof basic);
    }
    Folder folder;
    folder.state_->handle = made.Release();
    folder.state_->path = state_->path + u"\\" + name;
    out = std::move(folder);
    return true;
}

bool Folder::List(std::vector<FolderEntry>& entries, size_t* unreachable) const {
    entries.clear();
    if (unreachable) *unreachable = 0;
    // A handle of its own: Wine reads a folder once per handle, and a restart of the listing
    // on the same handle gives what it read then.
    Handle own(OpenAt(state_->handle, u"", FILE_LIST_DIRECTORY | SYNCHRONIZE, kAllShare, FILE_OPEN,
                      FILE_DIRECTORY_FILE));
    if (!own.h) return false;
    alignas(8) static thread_local char buffer[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!::GetFileInformationByHandleEx(own.h, kind, buffer, sizeof buffer)) {
            if (::GetLastError() == ERROR_NO_MORE_FILES) return true;
            return false;
        }
        kind = FileIdBothDirectoryInfo;
        for (const char* at = buffer;;) {
            const auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            const CString name(reinterpret_cast<const char16_t*>(e->FileName),
                               e->FileNameLength / sizeof(wchar_t));
            if (name != u"." && name != u"..") {
                EntryKind entryKind =
                    IsLinkAttributes(e->FileAttributes, e->EaSize)   ? EntryKind::Link
                    : (e->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Folder
                                                                     : EntryKind::File;
                entries.push_back({name, entryKind});
            }
            if (!e->NextEntryOffset) break;
            at += e->NextEntryOffset;
        }
    }
}

EntryKind Folder::Kind(const CString& name) const {
    Handle opened(OpenAt(state_->handle, name, FILE_READ_ATTRIBUTES, kAllShare, FILE_OPEN,
                         FILE_OPEN_REPARSE_POINT));
    if (!opened.h) return EntryKind::Missing;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(opened.h, FileAttributeTagInfo, &tag, sizeof tag))
        return EntryKind::Other;
    if (state_->IsLink(opened.h, name)) return EntryKind::Link;
    if (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::Folder;
    return ::GetFileType(opened.h) == FILE_TYPE_DISK ? EntryKind::File : EntryKind::Other;
}

bool Folder::Remove(const CString& name, bool folder) const {
    Handle opened(
        OpenAt(state_->handle, name, DELETE | FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
               kAllShare, FILE_OPEN,
               (folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE) | FILE_OPEN_REPARSE_POINT));
    if (!opened.h) return false;
    FILE_BASIC_INFO basic{};
    if (Basic(opened.h, basic) && (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
        basic.FileAttributes &= ~FILE_ATTRIBUTE_READONLY;
        ::SetFileInformationByHandle(opened.h, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO dispose{TRUE};
    return ::SetFileInformationByHandle(opened.h, FileDispositionInfo, &dispose, sizeof dispose) !=
           FALSE;
}

File* Folder::OpenFile(const CString& name, bool followLinks, Folder* realFolder,
                       CString* realName) const {
    Handle opened(OpenAt(state_->handle, name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         FILE_OPEN, FILE_NON_DIRECTORY_FILE));
    if (!opened.h) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            if (realName) *realName = name;
            if (realFolder) Duplicate(*realFolder);
        }
        ::SetLastError(error == ERROR_DIRECTORY ? ERROR_ACCESS_DENIED : error);
        return nullptr;
    }
    if (::GetFileType(opened.h) != FILE_TYPE_DISK) {
        ::SetLastError(kErrorNotAFile);
        return nullptr;
    }
    const bool link = state_->IsLink(opened.h, name);
    if (link && !followLinks) {
        ::SetLastError(kErrorLinkRefused);
        return nullptr;
    }
    if (link && (realFolder || realName)) {
        // The file the catalog really is: saved there, the link stays.
        const CString real = FinalPath(opened.h);
        const size_t slash = real.find_last_of(u'\\');
        if (slash == CString::npos) {
            ::SetLastError(ERROR_PATH_NOT_FOUND);
            return nullptr;
        }
        if (realName) *realName = real.substr(slash + 1);
        if (realFolder && !realFolder->Open(real.substr(0, slash == 2 ? 3 : slash).c_str()))
            return nullptr;
    } else {
        if (realName) *realName = name;
        if (realFolder && !Duplicate(*realFolder)) return nullptr;
    }
    File* file = new (std::nothrow) File{opened.h};
    if (!file) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    opened.Release();
    return file;
}

bool Folder::Stamp(const CString& name, FileStamp& stamp) const {
    if (name.empty()) {
        stamp = StampOfHandle(state_->handle);
        return true;
    }
    Handle opened(OpenAt(state_->handle, name, FILE_READ_ATTRIBUTES, kAllShare, FILE_OPEN,
                         FILE_OPEN_REPARSE_POINT));
    if (!opened.h) return false;
    stamp = StampOfHandle(opened.h);
    return true;
}

bool StampOf(File* file, FileStamp& stamp) {
    stamp = StampOfHandle(file->handle);
    return true;
}

bool Folder::MayReplace(const CString& name) const {
    Handle opened(OpenAt(state_->handle, name, FILE_READ_ATTRIBUTES, kAllShare, FILE_OPEN, 0));
    FILE_BASIC_INFO basic{};
    if (opened.h && Basic(opened.h, basic) && (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

uint64_t Folder::Volume() const {
    if (!state_->volumeKnown) {
        BY_HANDLE_FILE_INFORMATION info{};
        state_->volume =
            ::GetFileInformationByHandle(state_->handle, &info) ? info.dwVolumeSerialNumber : 0;
        state_->volumeKnown = true;
    }
    return state_->volume;
}

bool Folder::TryLock() const {
    if (state_->lock) return true;
    // Someone who holds it so keeps us from opening it for deletion.
    Handle probe(OpenAt(state_->handle, u"", DELETE, kAllShare, FILE_OPEN, FILE_DIRECTORY_FILE));
    if (!probe.h) {
        ::SetLastError(::GetLastError() == ERROR_SHARING_VIOLATION ? ERROR_LOCK_VIOLATION
                                                                   : ::GetLastError());
        return false;
    }
    probe.Reset();
    state_->lock = OpenAt(state_->handle, u"", FILE_LIST_DIRECTORY,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (!state_->lock && ::GetLastError() == ERROR_SHARING_VIOLATION)
        ::SetLastError(ERROR_LOCK_VIOLATION);
    return state_->lock != nullptr;
}

bool Folder::Lock(const std::function<void()>& waiting) const {
    bool said = false;
    while (!TryLock()) {
        if (::GetLastError() != ERROR_LOCK_VIOLATION || StopRequested()) return false;
        if (!said && waiting) waiting();
        said = true;
        ::Sleep(20);
    }
    return true;
}

bool Folder::Sync(bool) const {
    return true;  // each copy is flushed before it is moved, each rename written through
}

// ---- flushing in the background --------------------------------------------------------------

// A flush waits for the disk, and flushes of several files wait one after the other however
// many threads ask. One thread flushes the files closed so far while their writer copies the
// next; a file is moved into place only once it is flushed.
struct FlushJob {
    enum State { Idle, Queued, Running, Done };
    HANDLE handle = nullptr;
    State state = Idle;
    DWORD error = ERROR_SUCCESS;
};

class Flusher {
  public:
    static void Queue(FlushJob& job) {
        ::AcquireSRWLockExclusive(&lock_);
        if (!started_) {
            // No thread to flush in: the file is flushed as it is closed.
            HANDLE thread = ::CreateThread(nullptr, 0, Run, nullptr, 0, nullptr);
            if (!thread) {
                ::ReleaseSRWLockExclusive(&lock_);
                Flush(job);
                return;
            }
            ::CloseHandle(thread);
            jobs_ = new std::vector<FlushJob*>;
            started_ = true;
        }
        job.state = FlushJob::Queued;
        jobs_->push_back(&job);
        ::ReleaseSRWLockExclusive(&lock_);
        ::WakeConditionVariable(&work_);
    }

    // Waits for the flush of `job`; when `flush` is false one not begun is dropped instead.
    // False, with the last error set, when the flush failed.
    static bool Finish(FlushJob& job, bool flush) {
        ::AcquireSRWLockExclusive(&lock_);
        if (job.state == FlushJob::Queued) {
            jobs_->erase(std::find(jobs_->begin(), jobs_->end(), &job));
            job.state = FlushJob::Idle;
            ::ReleaseSRWLockExclusive(&lock_);
            return flush ? Flush(job) : true;
        }
        while (job.state == FlushJob::Running)
            ::SleepConditionVariableSRW(&done_, &lock_, INFINITE, 0);
        ::ReleaseSRWLockExclusive(&lock_);
        if (job.state != FlushJob::Done) return !flush || Flush(job);
        ::SetLastError(job.error);
        return job.error == ERROR_SUCCESS;
    }

  private:
    static bool Flush(FlushJob& job) {
        const bool ok = ::FlushFileBuffers(job.handle) != FALSE;
        job.error = ok ? ERROR_SUCCESS : ::GetLastError();
        job.state = FlushJob::Done;
        return ok;
    }

    static DWORD WINAPI Run(void*) {
        ::AcquireSRWLockExclusive(&lock_);
        for (;;) {
            while (jobs_->empty()) ::SleepConditionVariableSRW(&work_, &lock_, INFINITE, 0);
            FlushJob* job = jobs_->front();
            jobs_->erase(jobs_->begin());
            job->state = FlushJob::Running;
            ::ReleaseSRWLockExclusive(&lock_);
            const bool ok = ::FlushFileBuffers(job->handle) != FALSE;
            const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
            ::AcquireSRWLockExclusive(&lock_);
            job->error = error;
            job->state = FlushJob::Done;
            ::WakeAllConditionVariable(&done_);
        }
    }

    static inline SRWLOCK lock_ = SRWLOCK_INIT;
    static inline CONDITION_VARIABLE work_ = CONDITION_VARIABLE_INIT;
    static inline CONDITION_VARIABLE done_ = CONDITION_VARIABLE_INIT;
    static inline std::vector<FlushJob*>* jobs_ = nullptr;  // never freed: the thread outlives exit
    static inline bool started_ = false;
};

// ---- TempFile ------------------------------------------------------------------------------

struct TempFile::State {
    HANDLE folder = nullptr;  // the folder it is in: our own handle unless borrowed
    bool ownFolder = true;
    CString name;
    File file{nullptr};
    // Open from creation to the move or the removal: opening it again would cost Wine a
    // request and a reading of the folder for each file.
    HANDLE handle = nullptr;
    bool finished = false;  // written, its times set and its flush under way
    FlushJob flush;
    bool basicSet = false;  // `basic` goes onto the file as it is finished and moved
    FILE_BASIC_INFO basic{};

    void Reset() {
        if (handle) Flusher::Finish(flush, false);
        flush = FlushJob{};
        if (handle) ::CloseHandle(handle);
        if (folder && ownFolder) ::CloseHandle(folder);
        handle = folder = file.handle = nullptr;
        ownFolder = true;
        finished = false;
        name.clear();
        basicSet = false;
    }
};

TempFile::TempFile() : state_(new State) {}

TempFile::~TempFile() {
    if (state_) {
        Discard();
        delete state_;
    }
}

TempFile::TempFile(TempFile&& other) noexcept : state_(std::exchange(other.state_, new State)) {}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    std::swap(state_, other.state_);
    return *this;
}

bool TempFile::Create(const Folder& folder, bool folderStaysOpen) {
    Discard();
    const HANDLE self = ::GetCurrentProcess();
    HANDLE dir = folder.state_->handle;
    if (!folderStaysOpen && !::DuplicateHandle(self, folder.state_->handle, self, &dir, 0, FALSE,
                                               DUPLICATE_SAME_ACCESS))
        return false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Short: the destination's own name may already be as long as the system allows.
        wchar_t name[16];
        std::swprintf(name, 16, L"~%07llx",
                      static_cast<unsigned long long>(NextRandom() & 0xFFFFFFFull));
        const CString text(reinterpret_cast<const char16_t*>(name));
        HANDLE file = OpenAt(
            dir, text, GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER,
            FILE_SHARE_READ, FILE_CREATE, FILE_NON_DIRECTORY_FILE, FILE_ATTRIBUTE_NORMAL, true);
        if (file) {
            state_->folder = dir;
            state_->ownFolder = !folderStaysOpen;
            state_->name = text;
            state_->handle = state_->file.handle = file;
            return true;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS && ::GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    const DWORD error = ::GetLastError();
    if (!folderStaysOpen) ::CloseHandle(dir);
    ::SetLastError(error);
    return false;
}

File* TempFile::Handle() const {
    return state_->file.handle ? &state_->file : nullptr;
}

bool TempFile::CopyFrom(const Folder& from, const CString& name, Sha256* digest) {
    platform::Handle in(OpenAt(from.state_->handle, name, GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                               FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT));
    if (!in.h) return false;
    // A link Wine lists as a file, a pipe or a device: no material.
    if (::GetFileType(in.h) != FILE_TYPE_DISK || from.state_->IsLink(in.h, name)) {
        ::SetLastError(kErrorNotAFile);
        return false;
    }
    static thread_local char buffer[1 << 20];
    for (;;) {
        DWORD got = 0, put = 0;
        if (!::ReadFile(in.h, buffer, sizeof buffer, &got, nullptr)) return false;
        if (got == 0) break;
        if (digest) digest->Update(buffer, got);
        if (!::WriteFile(state_->file.handle, buffer, got, &put, nullptr)) return false;
        if (put != got) {
            ::SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
    }
    // CopyFileW keeps the time stamps and the attributes; they go on as the file is closed.
    if (!Basic(in.h, state_->basic)) return false;
    state_->basic.FileAttributes &= FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    if (!state_->basic.FileAttributes) state_->basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    state_->basicSet = true;
    return true;
}

bool TempFile::MatchIdentity(const Folder& folder, const CString& name) {
    platform::Handle original(OpenAt(folder.state_->handle, name,
                                     READ_CONTROL | FILE_READ_ATTRIBUTES, kAllShare, FILE_OPEN,
                                     FILE_NON_DIRECTORY_FILE));
    if (!original.h) return true;  // nothing to match
    FILE_BASIC_INFO basic{};
    if (Basic(original.h, basic)) {
        state_->basic = FILE_BASIC_INFO{};
        state_->basic.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
        state_->basicSet = true;
    }
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(original.h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          &dacl, nullptr, &descriptor) == ERROR_SUCCESS) {
        ::SetSecurityInfo(state_->file.handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, dacl, nullptr);
        ::LocalFree(descriptor);
    }
    return true;
}

bool TempFile::MakeWritable() {
    state_->basic.FileAttributes &= ~FILE_ATTRIBUTE_READONLY;
    if (!state_->basic.FileAttributes) state_->basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return true;
}

bool TempFile::Close() {
    if (!state_->handle || state_->finished) return true;
    // The times now; the attributes once it is in place, where a read-only mark no longer
    // stands in the way of the move.
    FILE_BASIC_INFO times = state_->basic;
    times.FileAttributes = 0;
    if (state_->basicSet &&
        !::SetFileInformationByHandle(state_->handle, FileBasicInfo, &times, sizeof times))
        return false;
    state_->file.handle = nullptr;
    state_->finished = true;
    state_->flush.handle = state_->handle;
    Flusher::Queue(state_->flush);
    return true;
}

bool TempFile::Keep(const Folder& destination, const CString& name, bool replace) {
    if (!state_->handle || !Close() || !Flusher::Finish(state_->flush, true)) {
        if (!state_->handle) ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Under Wine a new name is given by its host path, which spares a reading of the whole
    // destination folder for each file. Not for a replacement: the file to replace may be
    // spelled in another case, and would stay beside the new one.
    const CString& unix = replace ? CString() : destination.state_->Unix();
    const CString target = unix.empty() ? name : unix + u"\\" + name;
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = unix.empty() ? destination.state_->handle : nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::copy(target.begin(), target.end(), reinterpret_cast<char16_t*>(rename->FileName));
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        Nt().setInformation
            ? Nt().setInformation(state_->handle, &io, rename, static_cast<ULONG>(buffer.size()),
                                  kFileRenameInformation)
            : static_cast<NTSTATUS>(0xC00000BB);  // STATUS_NOT_SUPPORTED
    if (status < 0) {
        SetStatus(status);
        if (status == kStatusCollision) ::SetLastError(ERROR_FILE_EXISTS);
        return false;
    }
    // A new file has the archive mark already: only a read-only, hidden or system mark is news.
    constexpr DWORD kNews = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (state_->basicSet && (state_->basic.FileAttributes & kNews)) {
        FILE_BASIC_INFO attributes{};
        attributes.FileAttributes = state_->basic.FileAttributes;
        ::SetFileInformationByHandle(state_->handle, FileBasicInfo, &attributes, sizeof attributes);
    }
    state_->Reset();
    return true;
}

void TempFile::Discard() {
    if (!state_->handle) return;
    const DWORD error = ::GetLastError();
    FILE_DISPOSITION_INFO dispose{TRUE};
    ::SetFileInformationByHandle(state_->handle, FileDispositionInfo, &dispose, sizeof dispose);
    state_->Reset();
    ::SetLastError(error);
}

size_t MaxStagedCopies() {
    return 256;  // each holds its file open
}

// ---- the import lock ---------------------------------------------------------------------

struct ImportLock {
    HANDLE mutex;
};

ImportLock* AcquireImportLock(const Folder& folder, const std::function<void()>& waiting) {
    // One name for the folder however it is spelled: its full path, without regard to case.
    // "Local\": only programs of this session can make or hold it.
    wchar_t full[MAX_PATH];
    const CString& path = folder.Path();
    const DWORD n = ::GetFullPathNameW(Wide(path.c_str()), MAX_PATH, full, nullptr);
    CString key =
        n && n < MAX_PATH ? CString(reinterpret_cast<const char16_t*>(full), n) : CString(path);
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
    bool said = false;
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
        if (!said && waiting) waiting();
        said = true;
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

}  // namespace platform

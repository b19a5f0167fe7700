// Files and folders through the Wine-prefix path mapping. Failures set the Windows error
// that Wine would report, with the errno behind it kept for the message text.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/prefix_posix.h"

namespace platform {

using posix::HostPath;
using posix::SetError;
using posix::SetErrorFromErrno;
using posix::Target;

struct File {
    int fd;
    std::string hostPath;
};

namespace {

uint64_t NextRandom() {
    static std::atomic<uint64_t> counter{0};
    uint64_t x =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<uint64_t>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

File* Wrap(int fd, std::string hostPath) {
    File* file = new (std::nothrow) File{fd, std::move(hostPath)};
    if (!file) {
        ::close(fd);
        SetError(kErrorNotEnoughMemory, ENOMEM);
    }
    return file;
}

std::string FolderOf(const std::string& hostPath) {
    size_t slash = hostPath.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return hostPath.substr(0, slash);
}

// Makes a rename durable: the folder entry itself goes to the disk.
bool SyncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetErrorFromErrno(errno, Target::Folder, folder);
        return false;
    }
    bool ok = ::fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot sync folders
    if (!ok) SetErrorFromErrno(errno, Target::Folder, folder);
    ::close(fd);
    return ok;
}

class RealFileSystem final : public FileSystem {
  public:
    File* OpenRead(const char16_t* path) override {
        std::string host = HostPath(path);
        int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            SetErrorFromErrno(errno, Target::File, host);
            return nullptr;
        }
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            ::close(fd);
            SetErrorFromErrno(EISDIR, Target::File, host);  // Windows: access denied
            return nullptr;
        }
        return Wrap(fd, std::move(host));
    }

    File* CreateTemporary(const char16_t* target, CString& temporaryPath) override {
        const CString base(target);
        const std::string hostTarget = HostPath(target);
        // A replaced file keeps the permissions it had, as when it is rewritten in place.
        mode_t mode = 0666;
        struct stat st;
        if (::stat(hostTarget.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;
        for (int attempt = 0; attempt < 100; ++attempt) {
            char suffix[32];
            std::snprintf(suffix, sizeof suffix, ".%012llx.tmp",
                          static_cast<unsigned long long>(NextRandom() & 0xFFFFFFFFFFFFull));
            std::string host = hostTarget + suffix;
            int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd >= 0) {
                if (mode != 0666) (void)::fchmod(fd, mode);
                File* file = Wrap(fd, host);
                if (!file) {
                    ::unlink(host.c_str());
                    SetError(kErrorNotEnoughMemory, ENOMEM);
                    return nullptr;
                }
                CString name = base;
                for (const char* c = suffix; *c; ++c) name += static_cast<char16_t>(*c);
                temporaryPath = std::move(name);
                return file;
            }
            if (errno != EEXIST) {
                SetErrorFromErrno(errno, Target::File, host);
                return nullptr;
            }
        }
        SetError(kErrorFileExists, EEXIST);
        return nullptr;
    }

    bool Size(File* file, int64_t& size) override {
        struct stat st;
        if (::fstat(file->fd, &st) != 0) {
            SetErrorFromErrno(errno, Target::File, {});
            return false;
        }
        size = st.st_size;
        return true;
    }

    bool Read(File* file, void* buffer, size_t count, size_t& done) override {
        done = 0;
        auto* bytes = static_cast<char*>(buffer);
        while (done < count) {
            ssize_t got = ::read(file->fd, bytes + done, count - done);
            if (got < 0) {
                if (errno == EINTR) continue;
                SetErrorFromErrno(errno, Target::File, {});
                return false;
            }
            if (got == 0) break;
            done += static_cast<size_t>(got);
        }
        return true;
    }

    bool Write(File* file, const void* buffer, size_t count) override {
        auto* bytes = static_cast<const char*>(buffer);
        size_t done = 0;
        while (done < count) {
            ssize_t put = ::write(file->fd, bytes + done, count - done);
            if (put < 0) {
                if (errno == EINTR) continue;
                SetErrorFromErrno(errno, Target::File, {});
                return false;
            }
            if (put == 0) {
                SetErrorFromErrno(ENOSPC, Target::File, {});
                return false;
            }
            done += static_cast<size_t>(put);
        }
        return true;
    }

    bool Flush(File* file) override {
        if (::fsync(file->fd) != 0) {
            SetErrorFromErrno(errno, Target::File, {});
            return false;
        }
        return true;
    }

    bool Close(File* file) override {
        if (!file) return true;
        bool ok = ::close(file->fd) == 0;
        if (!ok) SetErrorFromErrno(errno, Target::File, {});
        delete file;
        return ok;
    }

    bool Replace(const char16_t* source, const char16_t* target) override {
        std::string from = HostPath(source);
        std::string to = HostPath(target);
        if (::rename(from.c_str(), to.c_str()) != 0) {
            int err = errno;
            SetErrorFromErrno(err, Target::File, err == ENOENT ? from : to);
            return false;
        }
        return SyncFolder(FolderOf(to));
    }

    bool Remove(const char16_t* path) override {
        std::string host = HostPath(path);
        struct stat st;
        if (::lstat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            SetErrorFromErrno(EACCES, Target::File, host);  // DeleteFileW refuses folders
            return false;
        }
        if (::unlink(host.c_str()) != 0) {
            SetErrorFromErrno(errno, Target::File, host);
            return false;
        }
        return true;
    }
};


// Copies the bytes of one open file into another.
bool CopyContent(int from, int to) {
    char buffer[1 << 16];
    for (;;) {
        ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        ssize_t done = 0;
        while (done < got) {
            ssize_t put = ::write(to, buffer + done, static_cast<size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (put == 0) {
                errno = ENOSPC;
                return false;
            }
            done += put;
        }
    }
}

}  // namespace

FileSystem& RealFiles() {
    static RealFileSystem files;
    return files;
}

bool CreateDirectory(const char16_t* path) {
    std::string host = HostPath(path);
    if (::mkdir(host.c_str(), 0777) != 0) {
        SetErrorFromErrno(errno, Target::Folder, host);
        return false;
    }
    return true;
}

struct CopyBatch::State {
    std::vector<std::pair<std::string, std::string>> pending;  // temporary, destination
};

namespace {
thread_local CopyBatch::State* gBatch = nullptr;

// Moves a complete temporary file to its destination, never replacing one: a destination
// that appeared meanwhile wins. Hard links stand in where rename cannot refuse to replace.
bool MoveIntoPlace(const std::string& temporary, const std::string& destination) {
    bool ok = ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, destination.c_str(),
                          RENAME_NOREPLACE) == 0;
    if (!ok && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
        ok = ::link(temporary.c_str(), destination.c_str()) == 0;
        if (ok) ::unlink(temporary.c_str());
    }
    return ok;
}

// Forces everything on the file system that holds `folder` to the disk.
void SyncFileSystem(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        ::sync();
        return;
    }
    if (::syncfs(fd) != 0) ::sync();
    ::close(fd);
}
}  // namespace

CopyBatch::CopyBatch() : state_(gBatch ? nullptr : new State) {
    if (state_) gBatch = state_;
}

CopyBatch::~CopyBatch() {
    Commit();
    if (state_ && gBatch == state_) gBatch = nullptr;
    delete state_;
}

bool CopyBatch::Commit() {
    if (!state_ || state_->pending.empty()) return true;
    SyncFileSystem(FolderOf(state_->pending.front().second));
    bool all = true;
    for (const auto& [temporary, destination] : state_->pending) {
        if (!MoveIntoPlace(temporary, destination)) {
            ::unlink(temporary.c_str());
            all = false;
        }
    }
    SyncFileSystem(FolderOf(state_->pending.front().second));
    state_->pending.clear();
    return all;
}

bool CopyFile(const char16_t* from, const char16_t* to, bool failIfExists) {
    const std::string source = HostPath(from);
    const std::string destination = HostPath(to);
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        SetErrorFromErrno(errno, Target::File, source);
        return false;
    }
    struct stat st;
    if (::fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
        int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(in);
        SetErrorFromErrno(err, Target::File, source);
        return false;
    }
    // Most files of a repeated import exist already: refuse those before copying anything.
    // A link, even a dangling one, counts as existing, as it does for the move below.
    struct stat existing;
    const bool exists = ::lstat(destination.c_str(), &existing) == 0;
    if (exists && (failIfExists || S_ISDIR(existing.st_mode))) {
        ::close(in);
        SetErrorFromErrno(failIfExists ? EEXIST : EISDIR, Target::File, destination);
        return false;
    }
    if (exists && existing.st_dev == st.st_dev && existing.st_ino == st.st_ino) {
        // A file copied onto itself: Windows refuses with a sharing error.
        ::close(in);
        SetErrorFromErrno(EBUSY, Target::File, destination);
        return false;
    }

    // The copy goes to a fresh name beside the destination and is moved into place only when
    // complete and on the disk, so a crash leaves the destination absent or whole.
    const mode_t mode = st.st_mode & 07777;
    std::string temporary;
    int out = -1;
    for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%012llx.tmp",
                      static_cast<unsigned long long>(NextRandom() & 0xFFFFFFFFFFFFull));
        temporary = destination + suffix;
        out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (out < 0 && errno != EEXIST) break;
    }
    if (out < 0) {
        int err = errno;
        ::close(in);
        SetErrorFromErrno(err, Target::File, destination);
        return false;
    }
    bool ok = CopyContent(in, out);
    if (ok) {
        // CopyFileW keeps the attributes and the time stamps of the source.
        timespec times[2] = {st.st_atim, st.st_mtim};
        ok = ::futimens(out, times) == 0 && ::fchmod(out, mode) == 0;
        // In a batch the flush is one for all the copies, before any is moved into place.
        const bool batched = failIfExists && gBatch;
        if (ok && !batched) ok = ::fsync(out) == 0;
    }
    int err = errno;
    if (::close(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    ::close(in);
    if (ok && failIfExists && gBatch) {
        gBatch->pending.emplace_back(temporary, destination);
        return true;
    }
    if (ok) {
        if (failIfExists) {
            ok = MoveIntoPlace(temporary, destination);
        } else {
            ok = ::rename(temporary.c_str(), destination.c_str()) == 0;
        }
        if (!ok) err = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());  // no half copy stays behind
        SetErrorFromErrno(err, Target::File, destination);
        return false;
    }
    SyncFolder(FolderOf(destination));
    return true;
}

// ---- locks -------------------------------------------------------------------------------

struct FileLock {
    int fd;
};

FileLock* LockFile(const char16_t* path, uint32_t timeoutMilliseconds) {
    const std::string host = HostPath(path);
    int fd = ::open(host.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        SetErrorFromErrno(errno, Target::File, host);
        return nullptr;
    }
    // The first byte, as LockFileEx takes it on Windows. Locks of the open file description
    // hold between threads as between processes; where the kernel lacks them, the process's
    // own record locks serve.
    struct flock range = {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    int command = F_OFD_SETLK;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    for (;;) {
        if (::fcntl(fd, command, &range) == 0) break;
        const int err = errno;
        if (err == EINVAL && command == F_OFD_SETLK) {
            command = F_SETLK;
            continue;
        }
        if ((err != EAGAIN && err != EACCES && err != EINTR) ||
            std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            if (err == EAGAIN || err == EACCES)
                SetError(kErrorLockViolation, EWOULDBLOCK);
            else
                SetErrorFromErrno(err, Target::File, host);
            return nullptr;
        }
        ::usleep(10000);
    }
    FileLock* lock = new (std::nothrow) FileLock{fd};
    if (!lock) {
        ::close(fd);
        SetError(kErrorNotEnoughMemory, ENOMEM);
    }
    return lock;
}

void UnlockFile(FileLock* lock) {
    if (!lock) return;
    ::close(lock->fd);  // closing the description releases its lock
    delete lock;
}

// ---- FileFind ----------------------------------------------------------------------------

struct FileFind::State {
    std::string folder;              // host folder being listed
    std::vector<std::string> names;  // matching entries, "." and ".." first
    size_t next = 0;                 // index of the entry FindNextFile moves to
    bool hasCurrent = false;
    std::string current;
    bool directory = false;
    bool link = false;
};

namespace {

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// Windows' wildcards: '*' any run, '?' one character, without regard to ASCII case. "*.*"
// matches every name, with or without a dot.
bool Matches(const char* mask, const char* name) {
    if (mask[0] == '*' && mask[1] == '.' && mask[2] == '*' && mask[3] == 0) return true;
    const char* starMask = nullptr;
    const char* starName = nullptr;
    while (*name) {
        if (*mask == '*') {
            starMask = ++mask;
            starName = name;
        } else if (*mask == '?' || AsciiLower(*mask) == AsciiLower(*name)) {
            ++mask;
            ++name;
        } else if (starMask) {
            mask = starMask;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*mask == '*') ++mask;
    return *mask == 0;
}

}  // namespace

FileFind::FileFind() : state_(new State) {}

FileFind::~FileFind() {
    delete state_;
}

void FileFind::Close() {
    state_->names.clear();
    state_->folder.clear();
    state_->next = 0;
    state_->hasCurrent = false;
}

bool FileFind::FindFile(const char16_t* pattern) {
    Close();
    CString text(pattern ? pattern : u"");
    size_t slash = text.find_last_of(u"\\/");
    CString folder = slash == CString::npos ? CString(u".") : text.substr(0, slash + 1);
    std::string mask = ToUtf8(slash == CString::npos ? text : text.substr(slash + 1));
    std::string host = HostPath(folder.c_str());
    DIR* dir = ::opendir(host.c_str());
    if (!dir) {
        int err = errno;
        SetErrorFromErrno(err == ENOENT ? ENOTDIR : err, Target::Folder, host);
        return false;
    }
    std::vector<std::string> names;
    bool dot = false, dotDot = false;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == ".") {
            dot = true;
        } else if (name == "..") {
            dotDot = true;
        } else if (name.find('\\') != std::string::npos || name.back() == '.' ||
                   name.back() == ' ') {
            // Host names that no Windows path can reach (Wine shows them mangled): read as a
            // path, a backslash climbs out of the folder and a trailing dot or space is
            // dropped, so that "..." would name the folder itself and a copy would recurse
            // into it without end. They are not listed.
            continue;
        } else if (Matches(mask.c_str(), name.c_str())) {
            names.push_back(std::move(name));
        }
    }
    ::closedir(dir);
    // Windows lists "." and ".." first, as NTFS and Wine do.
    std::vector<std::string> ordered;
    ordered.reserve(names.size() + 2);
    if (dot && Matches(mask.c_str(), ".")) ordered.emplace_back(".");
    if (dotDot && Matches(mask.c_str(), "..")) ordered.emplace_back("..");
    for (auto& name : names) ordered.push_back(std::move(name));
    if (ordered.empty()) {
        SetError(kErrorFileNotFound, ENOENT);
        return false;
    }
    state_->folder = host;
    state_->names = std::move(ordered);
    return true;
}

bool FileFind::FindNextFile() {
    State& s = *state_;
    if (s.next >= s.names.size()) return false;
    s.current = s.names[s.next++];
    s.hasCurrent = true;
    std::string full = s.folder + "/" + s.current;
    struct stat st;
    s.link = ::lstat(full.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    s.directory = ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (s.next >= s.names.size()) {
        SetError(18, 0);  // ERROR_NO_MORE_FILES
        return false;
    }
    return true;
}

bool FileFind::IsDots() const {
    return state_->hasCurrent && (state_->current == "." || state_->current == "..");
}

bool FileFind::IsDirectory() const {
    return state_->hasCurrent && state_->directory;
}

bool FileFind::IsLink() const {
    return state_->hasCurrent && state_->link;
}

CString FileFind::GetFileName() const {
    return state_->hasCurrent ? FromUtf8(state_->current) : CString();
}

}  // namespace platform

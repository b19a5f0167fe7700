// Files through the Wine-prefix path mapping: the document's file system (load and save, with
// the catalog's identity kept), folders, and the staging backend of the copy. Failures set the
// Windows error that Wine would report, with the errno behind it kept for the message text.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/prefix_posix.h"
#include "platform/staging_backend.h"

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

// The file that `host` names, following symbolic links (also to a file not there yet).
std::string Resolved(std::string host) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(host.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return host;
        std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        const ssize_t n = ::readlink(host.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<size_t>(n) >= link.size()) return host;
        link.resize(static_cast<size_t>(n));
        host = link[0] == '/' ? link : FolderOf(host) + "/" + link;
    }
    return host;
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
        const std::string real = Resolved(HostPath(target));
        struct stat st, place;
        const bool exists = ::stat(real.c_str(), &st) == 0;
        // A read-only catalog stays as it is, as a plain write to it would fail; root would
        // pass the access check, so the mode is looked at too.
        if (exists && S_ISREG(st.st_mode) &&
            ((st.st_mode & 0222) == 0 || ::access(real.c_str(), W_OK) != 0)) {
            SetErrorFromErrno(EACCES, Target::File, real);
            return nullptr;
        }
        std::string folder = FolderOf(real);
        // Beside a staging folder the temporary goes into it: what a killed save leaves there
        // is cleared by the next import.
        const std::string staging = folder + "/" + ToUtf8(kStagingFolderName);
        if (::lstat(staging.c_str(), &place) == 0 && S_ISDIR(place.st_mode)) folder = staging;
        for (int attempt = 0; attempt < 100; ++attempt) {
            // Short: the target's own name may already be as long as the system allows.
            char name[16];
            std::snprintf(name, sizeof name, "/~%07llx",
                          static_cast<unsigned long long>(NextRandom() & 0xFFFFFFFull));
            std::string host = (folder == "/" ? std::string() : folder) + name;
            int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                // The new file takes the place, so it takes the identity: owner, then mode
                // (a change of owner clears set-id bits).
                if (exists && S_ISREG(st.st_mode)) {
                    if (::fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) {
                        SetErrorFromErrno(errno, Target::File, host);
                        ::close(fd);
                        ::unlink(host.c_str());
                        return nullptr;
                    }
                    (void)::fchmod(fd, st.st_mode & 07777);
                }
                File* file = Wrap(fd, host);
                if (!file) {
                    ::unlink(host.c_str());
                    SetError(kErrorNotEnoughMemory, ENOMEM);
                    return nullptr;
                }
                temporaryPath = HostToWindowsPath(host);
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
        // Through a symbolic link its target is replaced; the link stays.
        std::string to = Resolved(HostPath(target));
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

bool CreateFolder(const char16_t* path) {
    std::string host = HostPath(path);
    if (::mkdir(host.c_str(), 0777) != 0) {
        SetErrorFromErrno(errno, Target::Folder, host);
        return false;
    }
    return true;
}

namespace {

// Closes `fd` keeping errno.
void CloseKeepingErrno(int fd) {
    const int err = errno;
    ::close(fd);
    errno = err;
}

// Forces everything on the file system that holds `folder` to the disk.
bool SyncFileSystem(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        ::sync();
        return true;
    }
    const bool ok = ::syncfs(fd) == 0;
    CloseKeepingErrno(fd);
    return ok;
}

mode_t CurrentUmask() {
    // The process's umask can only be read by setting it; /proc shows it without a change.
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[128];
        unsigned mask = 022;
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
        std::fclose(status);
        return static_cast<mode_t>(mask);
    }
    return 022;
}

// The host path of a file in the staging folder. The folder is mapped once: mapping each new
// name would list the growing folder again for every file copied.
std::string StagedHostPath(const char16_t* staged) {
    thread_local CString folder;
    thread_local std::string host;
    const CString path(staged);
    const size_t slash = path.find_last_of(u'\\');
    if (slash == CString::npos) return HostPath(staged);
    if (path.compare(0, slash, folder) != 0 || folder.size() != slash) {
        folder = path.substr(0, slash);
        host = HostPath(folder.c_str());
    }
    return host + "/" + ToUtf8(std::u16string_view(path).substr(slash + 1));
}

}  // namespace

namespace backend {

bool CreateHiddenFolder(const char16_t* folder) {
    // A leading dot hides it, as Wine shows such names hidden.
    return CreateFolder(folder);
}

bool RemoveStagingFolder(const char16_t* folder) {
    const std::string host = HostPath(folder);
    // Never follow a link put in its place: only our own folder's files go.
    int dir = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) {
        if (errno == ENOENT) return true;
        if (errno == ENOTDIR || errno == ELOOP) return ::unlink(host.c_str()) == 0;
        SetErrorFromErrno(errno, Target::Folder, host);
        return false;
    }
    DIR* listing = ::fdopendir(dir);
    if (!listing) {
        SetErrorFromErrno(errno, Target::Folder, host);
        ::close(dir);
        return false;
    }
    while (dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (::unlinkat(dir, name.c_str(), 0) != 0 && errno == EISDIR) {
            // Staged copies are files; anything else was not put there by a copy.
            ::unlinkat(dir, name.c_str(), AT_REMOVEDIR);
        }
    }
    ::closedir(listing);
    if (::rmdir(host.c_str()) != 0 && errno != ENOENT) {
        SetErrorFromErrno(errno, Target::Folder, host);
        return false;
    }
    return true;
}

bool EntryExists(const char16_t* path) {
    posix::Presence presence;
    const std::string host = HostPath(path, &presence);
    if (presence != posix::Presence::Unknown) return presence == posix::Presence::Present;
    struct stat st;
    return ::lstat(host.c_str(), &st) == 0;
}

bool CopyToStaging(const char16_t* from, const char16_t* staged) {
    const std::string source = HostPath(from);
    const std::string destination = StagedHostPath(staged);
    // A pipe would block the open; what it is, is known only once it is open.
    int in = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        SetErrorFromErrno(errno == ELOOP ? EACCES : errno, Target::File, source);
        return false;
    }
    struct stat st;
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
        ::close(in);
        SetErrorFromErrno(err, Target::File, source);
        return false;
    }
    ::fcntl(in, F_SETFL, 0);
    // As cp sets it: no set-id or sticky bits, and the umask applies.
    static const mode_t umask = CurrentUmask();
    const mode_t mode = st.st_mode & 0777 & ~umask;
    int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        SetErrorFromErrno(errno, Target::File, destination);
        ::close(in);
        return false;
    }
    bool ok = CopyContent(in, out);
    if (ok) {
        // CopyFileW keeps the time stamps of the source.
        timespec times[2] = {st.st_atim, st.st_mtim};
        ok = ::futimens(out, times) == 0 && ::fchmod(out, mode) == 0;
    }
    int err = errno;
    if (::close(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    ::close(in);
    if (!ok) {
        ::unlink(destination.c_str());
        SetErrorFromErrno(err, Target::File, destination);
    }
    return ok;
}

bool SyncStaged(const char16_t* folder) {
    const std::string host = HostPath(folder);
    if (SyncFileSystem(host)) return true;
    SetErrorFromErrno(errno, Target::Folder, host);
    return false;
}

bool MoveStaged(const char16_t* staged, const char16_t* to, bool replace) {
    const std::string from = StagedHostPath(staged);
    const std::string destination = HostPath(to);
    bool ok;
    if (replace) {
        ok = ::rename(from.c_str(), destination.c_str()) == 0;
    } else {
        ok = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) ==
             0;
        // Hard links stand in where rename cannot refuse to replace.
        if (!ok && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
            ok = ::link(from.c_str(), destination.c_str()) == 0;
            if (ok) ::unlink(from.c_str());
        }
    }
    if (!ok) SetErrorFromErrno(errno, Target::File, destination);
    return ok;
}

}  // namespace backend

}  // namespace platform

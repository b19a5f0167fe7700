// Files through the Wine-prefix path mapping: the document's file system (load and save by path,
// with the catalog's identity kept) and the creation of a folder by path. Failures set the
// Windows error that Wine would report, with the errno behind it kept for the message text.
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

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/file_posix.h"
#include "platform/posix/prefix_posix.h"

namespace platform {

using posix::HostPath;
using posix::NextRandom;
using posix::SetError;
using posix::SetErrorFromErrno;
using posix::Target;

using posix::Wrap;

namespace {

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
        // A pipe would block the open for ever; what the file is shows only once it is open.
        int fd = ::open(host.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            SetErrorFromErrno(errno, Target::File, host);
            return nullptr;
        }
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            const bool folder = S_ISDIR(st.st_mode);
            ::close(fd);
            if (folder)
                SetErrorFromErrno(EISDIR, Target::File, host);  // Windows: access denied
            else
                SetError(kErrorNotAFile, EINVAL);
            return nullptr;
        }
        ::fcntl(fd, F_SETFL, 0);
        return Wrap(fd, std::move(host));
    }

    File* CreateTemporary(const char16_t* target, CString& temporaryPath) override {
        const std::string real = Resolved(HostPath(target));
        struct stat st;
        const bool exists = ::stat(real.c_str(), &st) == 0;
        // A read-only catalog stays as it is, as a plain write to it would fail; root would
        // pass the access check, so the mode is looked at too.
        if (exists && S_ISREG(st.st_mode) &&
            ((st.st_mode & 0222) == 0 || ::access(real.c_str(), W_OK) != 0)) {
            SetErrorFromErrno(EACCES, Target::File, real);
            return nullptr;
        }
        const std::string folder = FolderOf(real);
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

uint64_t posix::NextRandom() {
    static std::atomic<uint64_t> counter{0};
    uint64_t x =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<uint64_t>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace platform

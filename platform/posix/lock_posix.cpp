// One import of a product at a time, and a clean stop: an advisory lock on a file in /tmp named
// after the product folder's real path (removed as it is let go), and the signals that stop an
// import at its next file.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/prefix_posix.h"

namespace platform {

using posix::HostPath;
using posix::SetError;
using posix::SetErrorFromErrno;
using posix::Target;

// ---- the import lock ---------------------------------------------------------------------

struct ImportLock {
    int fd;
    std::string path;
};

namespace {

// Opens the lock file, creating it when missing. Read access is all flock needs, so a lock
// file left by root serves every user; no O_CREAT on an existing file, which a sticky /tmp
// refuses for another user's file.
int OpenLockFile(const char* path) {
    for (;;) {
        int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = ::open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
}

bool SameFile(int fd, const char* path) {
    struct stat held, named;
    return ::fstat(fd, &held) == 0 && ::stat(path, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

}  // namespace

ImportLock* AcquireImportLock(const char16_t* folder) {
    // One name for the folder however it is reached: the real path when it exists.
    std::string host = HostPath(folder);
    if (char* real = ::realpath(host.c_str(), nullptr)) {
        host = real;
        std::free(real);
    }
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    for (unsigned char c : host) hash = (hash ^ c) * 0x100000001b3ull;
    char path[64];
    std::snprintf(path, sizeof path, "/tmp/brevlo-import-%016llx.lock",
                  static_cast<unsigned long long>(hash));
    for (;;) {
        const int fd = OpenLockFile(path);
        if (fd < 0) {
            SetErrorFromErrno(errno, Target::File, path);
            return nullptr;
        }
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || StopRequested()) {
                if (errno == EWOULDBLOCK || errno == EINTR)
                    SetError(kErrorLockViolation, EWOULDBLOCK);
                else
                    SetErrorFromErrno(errno, Target::File, path);
                ::close(fd);
                return nullptr;
            }
            ::usleep(20000);
        }
        // The holder before us removes the file as it lets go: only the file still found
        // under the name is the lock, so a lock won on a removed one is tried again.
        if (!SameFile(fd, path)) {
            ::close(fd);
            continue;
        }
        ImportLock* lock = new (std::nothrow) ImportLock{fd, path};
        if (!lock) {
            ::close(fd);
            SetError(kErrorNotEnoughMemory, ENOMEM);
        }
        return lock;
    }
}

void ReleaseImportLock(ImportLock* lock) {
    if (!lock) return;
    // Removed while still held, so that nothing is left behind; another user's file in a
    // sticky /tmp stays, and serves the next import as it is.
    ::unlink(lock->path.c_str());
    ::close(lock->fd);  // closing the description releases its lock
    delete lock;
}

// ---- stopping ----------------------------------------------------------------------------

namespace {
void OnStopSignal(int) {
    RequestStop(true);
}
}  // namespace

void InstallStopSignals() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    // No SA_RESTART: a wait on the terminal ends, and the import stops at its next file.
    struct sigaction stop = {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &stop, nullptr);
}

}  // namespace platform

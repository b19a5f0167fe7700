// Folders reached by descriptor and the files written beside their destinations, natively:
//   - names: host bytes <-> UTF-16, with bytes that are not UTF-8 kept (surrogateescape);
//   - the link rule: a link is followed only where its owner is this user, root or the owner
//     of the folder that holds it, every link of its target looked at the same way;
//   - Folder: openat/mkdirat/unlinkat/fstatat relative to a descriptor opened O_NOFOLLOW;
//   - TempFile: a new file in a folder, kept with renameat2(RENAME_NOREPLACE) or renameat;
//   - the import lock: flock on the open product data folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/file_posix.h"
#include "platform/posix/prefix_posix.h"

namespace platform {

using posix::NameToHost;
using posix::NameToWide;
using posix::NextRandom;
using posix::SetError;
using posix::SetErrorFromErrno;
using posix::Target;

// ---- names ---------------------------------------------------------------------------------

namespace posix {

File* Wrap(int fd, std::string hostPath) {
    File* file = new (std::nothrow) File{fd, std::move(hostPath)};
    if (!file) {
        ::close(fd);
        SetError(kErrorNotEnoughMemory, ENOMEM);
    }
    return file;
}

namespace {

// The length of the well-formed UTF-8 sequence at `i`, or 0 (Unicode's table of well-formed
// byte sequences: no overlong forms, no surrogates).
size_t SequenceAt(std::string_view bytes, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char b = at(i);
    if (b < 0x80) return 1;
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + need >= bytes.size()) return 0;
    if (at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (size_t k = 2; k <= need; ++k)
        if ((at(i + k) & 0xC0) != 0x80) return 0;
    return need + 1;
}

}  // namespace

CString NameToWide(std::string_view bytes) {
    CString out;
    out.reserve(bytes.size());
    size_t i = 0, run = 0;  // `run`: where the well-formed text not yet converted starts
    while (i < bytes.size()) {
        const size_t n = SequenceAt(bytes, i);
        if (n) {
            i += n;
            continue;
        }
        out += FromUtf8(bytes.substr(run, i - run));
        out.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[i])));
        run = ++i;
    }
    out += FromUtf8(bytes.substr(run));
    return out;
}

std::string NameToHost(std::u16string_view name) {
    std::string out;
    out.reserve(name.size());
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        const bool escaped = i < name.size() && name[i] >= 0xDC80 && name[i] <= 0xDCFF &&
                             (i == 0 || name[i - 1] < 0xD800 || name[i - 1] >= 0xDC00);
        if (i < name.size() && !escaped) continue;
        out += ToUtf8(name.substr(start, i - start));
        if (i < name.size()) out.push_back(static_cast<char>(name[i] - 0xDC00));
        start = i + 1;
    }
    return out;
}

}  // namespace posix

bool NameLost(const CString&) {
    return false;  // every host name comes back through the escapes above
}

namespace {

// A descriptor closed at the end of its scope.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            Reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            const int err = errno;
            ::close(fd_);
            errno = err;
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

void Fail(int err, Target target = Target::File) {
    SetErrorFromErrno(err, target, {});
}

// Whether the link described by `link`, in the folder `folder`, may be followed.
bool MayFollow(const struct stat& link, int folder) {
    struct stat holder;
    if (::fstat(folder, &holder) != 0) return false;
    return link.st_uid == ::geteuid() || link.st_uid == 0 || link.st_uid == holder.st_uid;
}

constexpr int kMaxHops = 40;

// Follows `name` in `dir` through links under the rule, each component of each target too.
// Afterwards `dir` is the folder that holds the final entry and `name` its name, which is no
// link (it may not exist). With `follow` false a link is refused.
bool Follow(Fd& dir, std::string& name, bool follow, int& hops);

// Opens the folder `name` of `dir`, following links under the rule when `follow`.
bool OpenFolderAt(int dir, std::string name, bool follow, Fd& out, int& hops) {
    Fd at(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    if (at.get() < 0) {
        Fail(errno, Target::Folder);
        return false;
    }
    if (!Follow(at, name, follow, hops)) return false;
    const int fd =
        ::openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        struct stat st;
        if (err == ELOOP || (::fstatat(at.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                             S_ISLNK(st.st_mode)))
            SetError(kErrorLinkRefused, ELOOP);  // a link put there since the look
        else if (err == ENOENT || err == ENOTDIR)
            SetError(kErrorPathNotFound, err);
        else
            Fail(err, Target::Folder);
        return false;
    }
    out.Reset(fd);
    return true;
}

bool Follow(Fd& dir, std::string& name, bool follow, int& hops) {
    for (;;) {
        struct stat st;
        if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) return true;  // nothing there: the caller finds out
            Fail(errno);
            return false;
        }
        if (!S_ISLNK(st.st_mode)) return true;
        if (!follow) {
            SetError(kErrorLinkRefused, ELOOP);
            return false;
        }
        if (++hops > kMaxHops) {
            Fail(ELOOP);
            return false;
        }
        // The link itself, held while it is judged and read: one swapped in meanwhile is not
        // the one that was judged.
        Fd link(::openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (link.get() < 0 || ::fstat(link.get(), &st) != 0) {
            Fail(errno);
            return false;
        }
        if (!S_ISLNK(st.st_mode)) continue;  // replaced by something else: look again
        if (!MayFollow(st, dir.get())) {
            SetError(kErrorLinkRefused, ELOOP);
            return false;
        }
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlinkat(link.get(), "", target.data(), target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size()) {
            Fail(n < 0 ? errno : ELOOP);
            return false;
        }
        target.resize(static_cast<size_t>(n));
        if (target[0] == '/') {
            dir.Reset(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (dir.get() < 0) {
                Fail(errno, Target::Folder);
                return false;
            }
        }
        // Every folder on the way is reached the same way; the last name is looked at again.
        std::vector<std::string> parts;
        for (size_t i = 0; i <= target.size();) {
            size_t end = target.find('/', i);
            if (end == std::string::npos) end = target.size();
            if (end > i) parts.push_back(target.substr(i, end - i));
            i = end + 1;
        }
        if (parts.empty()) parts.push_back(".");
        for (size_t k = 0; k + 1 < parts.size(); ++k) {
            if (parts[k] == ".") continue;
            Fd next;
            if (!OpenFolderAt(dir.get(), parts[k], true, next, hops)) return false;
            dir = std::move(next);
        }
        name = parts.back();
    }
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

// Copies the bytes of one open file into another.
bool CopyContent(int from, int to, Sha256* digest) {
    static thread_local char buffer[1 << 16];
    for (;;) {
        ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        if (digest) digest->Update(buffer, static_cast<size_t>(got));
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

FileStamp StampFrom(const struct stat& st) {
    FileStamp s;
    s.volume = st.st_dev;
    s.index = st.st_ino;
    s.size = st.st_size;
    s.written = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.changed = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return s;
}

}  // namespace

// ---- Folder --------------------------------------------------------------------------------

struct Folder::State {
    int fd = -1;
    CString path;
    // The folder's names by their ASCII-lowercase form, read at the first name not found as
    // written: Wine finds names without regard to case, and a large folder is listed once.
    bool listed = false;
    std::unordered_map<std::string, std::string> names;

    // The host name that `name` stands for: as written when that exists, else an entry that
    // differs from it in ASCII case only, else as written.
    std::string Spell(const CString& name) {
        std::string host = NameToHost(name);
        struct stat st;
        if (host.empty() || ::fstatat(fd, host.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return host;
        return Respell(std::move(host));
    }
    // `host`, not found as written: an entry that differs from it in ASCII case only, else
    // `host` itself.
    std::string Respell(std::string host) {
        struct stat st;
        if (!listed) {
            listed = true;
            const int copy = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (DIR* dir = copy < 0 ? nullptr : ::fdopendir(copy)) {
                while (dirent* entry = ::readdir(dir))
                    names.emplace(Lower(entry->d_name), entry->d_name);
                ::closedir(dir);
            } else if (copy >= 0) {
                ::close(copy);
            }
        }
        const auto found = names.find(Lower(host));
        if (found == names.end()) return host;
        // Gone since it was listed: the name as written.
        if (::fstatat(fd, found->second.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return host;
        return found->second;
    }
    // Remembers a name made through this folder.
    void Made(const std::string& host) {
        if (listed) names.emplace(Lower(host), host);
    }
    static std::string Lower(std::string name) {
        for (char& c : name)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        return name;
    }
};

Folder::Folder() : state_(new State) {}

Folder::~Folder() {
    if (state_ && state_->fd >= 0) ::close(state_->fd);
    delete state_;
}

Folder::Folder(Folder&& other) noexcept : state_(std::exchange(other.state_, new State)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
    std::swap(state_, other.state_);
    return *this;
}

bool Folder::IsOpen() const {
    return state_->fd >= 0;
}

const CString& Folder::Path() const {
    return state_->path;
}

bool Folder::Open(const char16_t* path) {
    std::string host = posix::HostPath(path);
    while (host.size() > 1 && host.back() == '/') host.pop_back();
    const size_t slash = host.rfind('/');
    const std::string parent = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : host.substr(0, slash);
    std::string name = slash == std::string::npos ? host : host.substr(slash + 1);
    if (name.empty()) name = ".";
    Fd above(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (above.get() < 0) {
        SetErrorFromErrno(errno == ENOENT ? ENOTDIR : errno, Target::Folder, parent);
        return false;
    }
    Fd fd;
    int hops = 0;
    if (!OpenFolderAt(above.get(), name, true, fd, hops)) return false;
    if (state_->fd >= 0) ::close(state_->fd);
    state_->fd = fd.release();
    state_->path = path;
    while (!state_->path.empty() && state_->path.back() == u'\\') state_->path.pop_back();
    return true;
}

bool Folder::Duplicate(Folder& out) const {
    Folder copy;
    copy.state_->fd = ::openat(state_->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy.state_->fd < 0) {
        Fail(errno, Target::Folder);
        return false;
    }
    copy.state_->path = state_->path;
    out = std::move(copy);
    return true;
}

bool Folder::OpenFolder(const CString& name, Folder& out, bool followLinks) const {
    // Most names are folders spelled as written: one call. The rest (another case, a link,
    // nothing) go the long way.
    const std::string host = NameToHost(name);
    Fd fd(::openat(state_->fd, host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int hops = 0;
    if (fd.get() < 0 && !OpenFolderAt(state_->fd, errno == ENOENT ? state_->Respell(host) : host,
                                      followLinks, fd, hops))
        return false;
    Folder opened;
    opened.state_->fd = fd.release();
    opened.state_->path = state_->path + u"\\" + name;
    out = std::move(opened);
    return true;
}

bool Folder::CreateFolder(const CString& name, Folder& out, Make make) const {
    const bool own = make == Make::Own;
    const std::string host = state_->Spell(name);
    if (host != NameToHost(name)) {
        Fail(EEXIST, Target::Folder);
        return false;
    }
    if (::mkdirat(state_->fd, host.c_str(), own ? 0700 : 0777) != 0) {
        Fail(errno, Target::Folder);
        return false;
    }
    state_->Made(host);
    Fd fd(::openat(state_->fd, host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        Fail(errno == ELOOP ? EACCES : errno, Target::Folder);
        return false;
    }
    // Ours only if no one put another in its place between the two calls.
    if (own && (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)) {
        Fail(EACCES, Target::Folder);
        return false;
    }
    Folder made;
    made.state_->fd = fd.release();
    made.state_->path = state_->path + u"\\" + name;
    out = std::move(made);
    return true;
}

bool Folder::List(std::vector<FolderEntry>& entries, size_t* unreachable) const {
    entries.clear();
    if (unreachable) *unreachable = 0;
    // Through the folder's own descriptor, from its start: nothing else reads its position
    // (a lookup by case lists through a descriptor of its own). Read with getdents64 itself,
    // which spares readdir's three calls of setting up for each folder.
    if (::lseek(state_->fd, 0, SEEK_SET) != 0) {
        Fail(errno, Target::Folder);
        return false;
    }
    alignas(8) static thread_local char buffer[32 * 1024];
    for (;;) {
        const ssize_t got = ::getdents64(state_->fd, buffer, sizeof buffer);
        if (got < 0) {
            Fail(errno, Target::Folder);
            return false;
        }
        if (got == 0) return true;
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            // Host names that no Windows path can reach (Wine shows them mangled): a
            // backslash would climb out of the folder, a trailing dot or space is dropped.
            if (name.find('\\') != std::string_view::npos || name.back() == '.' ||
                name.back() == ' ') {
                if (unreachable) ++*unreachable;
                continue;
            }
            EntryKind kind = entry->d_type == DT_REG   ? EntryKind::File
                             : entry->d_type == DT_DIR ? EntryKind::Folder
                             : entry->d_type == DT_LNK ? EntryKind::Link
                                                       : EntryKind::Other;
            if (entry->d_type == DT_UNKNOWN) kind = Kind(NameToWide(name));
            entries.push_back({NameToWide(name), kind});
        }
    }
}

EntryKind Folder::Kind(const CString& name) const {
    struct stat st;
    std::string host = NameToHost(name);
    if (::fstatat(state_->fd, host.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const std::string spelled = state_->Respell(host);
        if (spelled == host ||
            ::fstatat(state_->fd, spelled.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return EntryKind::Missing;
    }
    return S_ISREG(st.st_mode)   ? EntryKind::File
           : S_ISDIR(st.st_mode) ? EntryKind::Folder
           : S_ISLNK(st.st_mode) ? EntryKind::Link
                                 : EntryKind::Other;
}

bool Folder::Remove(const CString& name, bool folder) const {
    if (::unlinkat(state_->fd, state_->Spell(name).c_str(), folder ? AT_REMOVEDIR : 0) == 0)
        return true;
    Fail(errno, folder ? Target::Folder : Target::File);
    return false;
}

File* Folder::OpenFile(const CString& name, bool followLinks, Folder* realFolder,
                       CString* realName) const {
    Fd dir(::fcntl(state_->fd, F_DUPFD_CLOEXEC, 0));
    std::string host = state_->Spell(name);
    int hops = 0;
    if (dir.get() < 0 || !Follow(dir, host, followLinks, hops)) {
        if (dir.get() < 0) Fail(errno);
        return nullptr;
    }
    auto giveReal = [&] {
        if (realName) *realName = NameToWide(host);
        if (realFolder) {
            Folder real;
            real.state_->fd = ::fcntl(dir.get(), F_DUPFD_CLOEXEC, 0);
            real.state_->path =
                hops ? HostToWindowsPath("/proc/self/fd/" + std::to_string(dir.get()))
                     : state_->path;
            *realFolder = std::move(real);
        }
    };
    // A pipe would block the open for ever; what the file is shows only once it is open.
    Fd fd(::openat(dir.get(), host.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        const int err = errno;
        if (err == ENOENT) giveReal();
        if (err == ELOOP)
            SetError(kErrorLinkRefused, ELOOP);
        else
            Fail(err);
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode))
            Fail(EISDIR);
        else
            SetError(kErrorNotAFile, EINVAL);
        return nullptr;
    }
    ::fcntl(fd.get(), F_SETFL, 0);
    giveReal();
    return posix::Wrap(fd.release(), {});
}

bool Folder::Stamp(const CString& name, FileStamp& stamp) const {
    struct stat st;
    const int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
    if (::fstatat(state_->fd, name.empty() ? "" : state_->Spell(name).c_str(), &st, flags) != 0) {
        Fail(errno);
        return false;
    }
    stamp = StampFrom(st);
    return true;
}

bool StampOf(File* file, FileStamp& stamp) {
    struct stat st;
    if (::fstat(file->fd, &st) != 0) {
        Fail(errno);
        return false;
    }
    stamp = StampFrom(st);
    return true;
}

bool Folder::MayReplace(const CString& name) const {
    const std::string host = state_->Spell(name);
    struct stat st;
    // Root passes the access check: a file without write bits is read-only all the same.
    if (::fstatat(state_->fd, host.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        ((st.st_mode & 0222) == 0 ||
         ::faccessat(state_->fd, host.c_str(), W_OK, AT_EACCESS) != 0)) {
        Fail(errno == 0 || (st.st_mode & 0222) == 0 ? EACCES : errno);
        return false;
    }
    if (::faccessat(state_->fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        Fail(errno, Target::Folder);
        return false;
    }
    return true;
}

uint64_t Folder::Volume() const {
    struct stat st;
    return ::fstat(state_->fd, &st) == 0 ? st.st_dev : 0;
}

bool Folder::TryLock() const {
    if (::flock(state_->fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EWOULDBLOCK)
        SetError(kErrorLockViolation, EWOULDBLOCK);
    else
        Fail(errno, Target::Folder);
    return false;
}

bool Folder::Lock(const std::function<void()>& waiting) const {
    bool said = false;
    while (!TryLock()) {
        if (GetLastError() != kErrorLockViolation) return false;
        if (StopRequested()) return false;
        if (!said && waiting) waiting();
        said = true;
        ::usleep(20000);
    }
    return true;
}

bool Folder::Sync(bool wholeVolume) const {
    if ((wholeVolume ? ::syncfs(state_->fd) : ::fsync(state_->fd)) == 0 || errno == EINVAL)
        return true;  // some file systems cannot sync folders
    Fail(errno, Target::Folder);
    return false;
}

// ---- TempFile ------------------------------------------------------------------------------

struct TempFile::State {
    int folder = -1;  // the folder it is in: our own descriptor unless borrowed
    bool ownFolder = true;
    int fd = -1;
    std::string name;
    File file{-1, {}};
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
    Fd dir(folderStaysOpen ? -1 : ::fcntl(folder.state_->fd, F_DUPFD_CLOEXEC, 0));
    const int at = folderStaysOpen ? folder.state_->fd : dir.get();
    if (at < 0) {
        Fail(errno);
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Short: the destination's own name may already be as long as the system allows.
        char name[16];
        std::snprintf(name, sizeof name, "~%07llx",
                      static_cast<unsigned long long>(NextRandom() & 0xFFFFFFFull));
        const int fd = ::openat(at, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            dir.release();
            state_->folder = at;
            state_->ownFolder = !folderStaysOpen;
            state_->fd = fd;
            state_->name = name;
            state_->file.fd = fd;
            return true;
        }
        if (errno != EEXIST) {
            Fail(errno);
            return false;
        }
    }
    SetError(kErrorFileExists, EEXIST);
    return false;
}

File* TempFile::Handle() const {
    return state_->fd >= 0 ? &state_->file : nullptr;
}

bool TempFile::CopyFrom(const Folder& from, const CString& name, Sha256* digest) {
    Fd in(::openat(from.state_->fd, from.state_->Spell(name).c_str(),
                   O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (in.get() < 0) {
        if (errno == ELOOP)
            SetError(kErrorNotAFile, ELOOP);
        else
            Fail(errno);
        return false;
    }
    struct stat st;
    if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        SetError(kErrorNotAFile, EINVAL);
        return false;
    }
    ::fcntl(in.get(), F_SETFL, 0);
    // As cp sets it: no set-id or sticky bits, and the umask applies.
    static const mode_t umask = CurrentUmask();
    timespec times[2] = {st.st_atim, st.st_mtim};
    if (!CopyContent(in.get(), state_->fd, digest) || ::futimens(state_->fd, times) != 0 ||
        ::fchmod(state_->fd, st.st_mode & 0777 & ~umask) != 0) {
        Fail(errno);
        return false;
    }
    return true;
}

bool TempFile::MatchIdentity(const Folder& folder, const CString& name) {
    struct stat st;
    if (::fstatat(folder.state_->fd, folder.state_->Spell(name).c_str(), &st,
                  AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        return true;  // nothing to match
    // Owner first: a change of owner clears set-id bits.
    if (::fchown(state_->fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) {
        Fail(errno);
        return false;
    }
    if (::fchmod(state_->fd, st.st_mode & 07777) != 0) {
        Fail(errno);
        return false;
    }
    return true;
}

bool TempFile::MakeWritable() {
    struct stat st;
    if (::fstat(state_->fd, &st) != 0 ||
        ::fchmod(state_->fd, (st.st_mode & 07777) | S_IWUSR) != 0) {
        Fail(errno);
        return false;
    }
    return true;
}

bool TempFile::Close() {
    if (state_->fd < 0) return true;
    const bool ok = ::close(state_->fd) == 0;
    if (!ok) Fail(errno);
    state_->fd = -1;
    state_->file.fd = -1;
    return ok;
}

bool TempFile::Keep(const Folder& destination, const CString& name, bool replace) {
    if (state_->folder < 0) {
        SetError(kErrorInvalidParameter, EINVAL);
        return false;
    }
    if (!Close()) return false;
    const std::string to = destination.state_->Spell(name);
    const int into = destination.state_->fd;
    bool ok;
    if (replace) {
        ok = ::renameat(state_->folder, state_->name.c_str(), into, to.c_str()) == 0;
    } else {
        ok = ::renameat2(state_->folder, state_->name.c_str(), into, to.c_str(),
                         RENAME_NOREPLACE) == 0;
        // Hard links stand in where rename cannot refuse to replace.
        if (!ok && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
            ok = ::linkat(state_->folder, state_->name.c_str(), into, to.c_str(), 0) == 0;
            if (ok) ::unlinkat(state_->folder, state_->name.c_str(), 0);
        }
    }
    if (!ok) {
        Fail(errno);
        return false;
    }
    destination.state_->Made(to);
    if (state_->ownFolder) ::close(state_->folder);
    state_->folder = -1;
    state_->name.clear();
    return true;
}

void TempFile::Discard() {
    if (state_->folder < 0) return;
    const uint32_t error = GetLastError();
    Close();
    ::unlinkat(state_->folder, state_->name.c_str(), 0);
    if (state_->ownFolder) ::close(state_->folder);
    state_->folder = -1;
    state_->name.clear();
    SetLastError(error);
}

size_t MaxStagedCopies() {
    return 4096;  // one flush of the file system each
}

// ---- the import lock ---------------------------------------------------------------------

struct ImportLock {
    Folder folder;
};

ImportLock* AcquireImportLock(const Folder& folder, const std::function<void()>& waiting) {
    // A description of its own, which the lock belongs to and which goes with it.
    ImportLock* lock = new (std::nothrow) ImportLock;
    if (!lock) {
        SetError(kErrorNotEnoughMemory, ENOMEM);
        return nullptr;
    }
    if (!folder.Duplicate(lock->folder) || !lock->folder.Lock(waiting)) {
        const uint32_t error = GetLastError();
        delete lock;
        SetLastError(error);
        return nullptr;
    }
    return lock;
}

void ReleaseImportLock(ImportLock* lock) {
    delete lock;  // closing the description releases its lock
}

}  // namespace platform

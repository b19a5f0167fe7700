// What the companion tool needs of the system: its streams, command-line paths, writing into a
// FIFO or device, and a pack's files as the host names them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"

namespace platform {

using posix::SetErrorFromErrno;
using posix::Target;

bool WriteToolText(ToolStream stream, std::string_view utf8) {
    std::FILE* file = stream == ToolStream::Error ? stderr : stdout;
    return std::fwrite(utf8.data(), 1, utf8.size(), file) == utf8.size();
}

CString CommandLinePath(const CString& argument) {
    std::string host = ToUtf8(argument);
    if (!host.empty() && host[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd)) host = std::string(cwd) + "/" + host;
    }
    return FromUtf8(host);
}

bool IsStreamFile(const char16_t* path) {
    struct stat st;
    return ::stat(WindowsToHostPath(path).c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
           !S_ISDIR(st.st_mode);
}

bool WriteIntoFile(const char16_t* path, const void* data, size_t count) {
    const std::string host = WindowsToHostPath(path);
    const int fd = ::open(host.c_str(), O_WRONLY | O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    const char* bytes = static_cast<const char*>(data);
    for (size_t done = 0; !error && done < count;) {
        const ssize_t n = ::write(fd, bytes + done, count - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? EIO : errno;
    }
    if (fd >= 0 && ::close(fd) != 0 && !error) error = errno;
    if (error) SetErrorFromErrno(error, Target::File, host);
    return !error;
}

bool ListTree(const CString& folder, std::vector<TreeEntry>& entries) {
    const std::string root = WindowsToHostPath(folder.c_str());
    std::vector<std::string> pending{std::string()};
    while (!pending.empty()) {
        const std::string relative = pending.back();
        pending.pop_back();
        DIR* dir = ::opendir(relative.empty() ? root.c_str() : (root + "/" + relative).c_str());
        if (!dir) {
            if (!relative.empty()) continue;
            SetErrorFromErrno(errno, Target::Folder, root);
            return false;
        }
        while (const dirent* d = ::readdir(dir)) {
            const std::string name = d->d_name;
            if (name == "." || name == "..") continue;
            const std::string path = relative.empty() ? name : relative + "/" + name;
            struct stat st;
            TreeEntry e;
            e.path = FromUtf8(path);
            if (::lstat((root + "/" + path).c_str(), &st) != 0)
                e.kind = TreeEntry::Special;
            else if (S_ISLNK(st.st_mode))
                e.kind = TreeEntry::Link;
            else if (S_ISDIR(st.st_mode))
                e.kind = TreeEntry::Folder;
            else if (S_ISREG(st.st_mode))
                e.kind = TreeEntry::File;
            else
                e.kind = TreeEntry::Special;
            if (e.kind == TreeEntry::Folder) pending.push_back(path);
            entries.push_back(std::move(e));
        }
        ::closedir(dir);
    }
    std::sort(entries.begin(), entries.end(),
              [](const TreeEntry& a, const TreeEntry& b) { return a.path < b.path; });
    return true;
}

}  // namespace platform

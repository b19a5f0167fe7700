// The pack folder's entries. Windows: through the listing the import's copy uses. POSIX: read
// directly, since that listing hides the host names no Windows path can reach (a trailing dot
// or space, a backslash), which are exactly the names the check must report.
#include <algorithm>

#include "platform/platform.h"
#include "tools/pack_check.h"

#ifdef _WIN32

bool ListPack(const CString& folder, std::vector<PackEntry>& entries) {
    std::vector<CString> pending{CString()};
    bool listed = false;
    while (!pending.empty()) {
        const CString relative = pending.back();
        pending.pop_back();
        platform::FileFind find;
        const CString base = relative.empty() ? folder : folder + u"\\" + relative;
        if (!find.FindFile((base + u"\\*.*").c_str())) {
            if (relative.empty()) return false;
            continue;
        }
        listed = true;
        for (bool more = true; more;) {
            more = find.FindNext();
            if (find.IsDots()) continue;
            PackEntry e;
            e.path = relative.empty() ? find.GetFileName() : relative + u"/" + find.GetFileName();
            e.kind = find.IsLink()        ? PackEntry::Link
                     : find.IsDirectory() ? PackEntry::Folder
                                          : PackEntry::File;
            if (e.kind == PackEntry::Folder) {
                CString windows = e.path;
                std::replace(windows.begin(), windows.end(), u'/', u'\\');
                pending.push_back(windows);
            }
            entries.push_back(std::move(e));
        }
    }
    for (PackEntry& e : entries) std::replace(e.path.begin(), e.path.end(), u'\\', u'/');
    std::sort(entries.begin(), entries.end(),
              [](const PackEntry& a, const PackEntry& b) { return a.path < b.path; });
    return listed;
}

#else

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

bool ListPack(const CString& folder, std::vector<PackEntry>& entries) {
    const std::string root = platform::WindowsToHostPath(folder.c_str());
    std::vector<std::string> pending{std::string()};
    while (!pending.empty()) {
        const std::string relative = pending.back();
        pending.pop_back();
        DIR* dir = ::opendir(relative.empty() ? root.c_str() : (root + "/" + relative).c_str());
        if (!dir) {
            if (!relative.empty()) continue;
            platform::SetLastError(errno == ENOENT ? platform::kErrorPathNotFound
                                                   : platform::kErrorAccessDenied);
            return false;
        }
        while (const dirent* d = ::readdir(dir)) {
            const std::string name = d->d_name;
            if (name == "." || name == "..") continue;
            const std::string path = relative.empty() ? name : relative + "/" + name;
            struct stat st;
            PackEntry e;
            e.path = platform::FromUtf8(path);
            if (::lstat((root + "/" + path).c_str(), &st) != 0)
                e.kind = PackEntry::Special;
            else if (S_ISLNK(st.st_mode))
                e.kind = PackEntry::Link;
            else if (S_ISDIR(st.st_mode))
                e.kind = PackEntry::Folder;
            else if (S_ISREG(st.st_mode))
                e.kind = PackEntry::File;
            else
                e.kind = PackEntry::Special;
            if (e.kind == PackEntry::Folder) pending.push_back(path);
            entries.push_back(std::move(e));
        }
        ::closedir(dir);
    }
    std::sort(entries.begin(), entries.end(),
              [](const PackEntry& a, const PackEntry& b) { return a.path < b.path; });
    return true;
}

#endif

// Windows paths reach the host through <prefix>/dosdevices/<drive>:, as they do inside Wine;
// z: is the host root when the prefix does not say otherwise.
#include "platform/posix/prefix_posix.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/ascii_fold.h"
#include "platform/platform.h"

namespace platform {

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool EqualNoCase(const char* a, const std::string& b) {
    size_t i = 0;
    for (; a[i] && i < b.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return a[i] == 0 && i == b.size();
}

// The name of an entry of `folder` equal to `name` but for ASCII case; `name` when none is.
std::string MatchInFolder(const std::string& folder, const std::string& name) {
    DIR* dir = ::opendir(folder.empty() ? "/" : folder.c_str());
    if (!dir) return name;
    std::string found = name;
    while (dirent* entry = ::readdir(dir)) {
        if (EqualNoCase(entry->d_name, name)) {
            found = entry->d_name;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// Splits on both separators and resolves "." and ".." without the file system, as Windows
// does before it looks at the disk. Trailing dots and spaces of a name are dropped likewise.
std::vector<std::string> Components(const std::string& rest) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= rest.size()) {
        size_t end = rest.find_first_of("\\/", i);
        if (end == std::string::npos) end = rest.size();
        std::string part = rest.substr(i, end - i);
        i = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
        if (!part.empty()) parts.push_back(std::move(part));
    }
    return parts;
}

// `root` (no trailing slash; empty for the host root) joined with the components, each one
// that exists under another ASCII case spelled as on disk.
std::string Resolve(const std::string& root, const std::vector<std::string>& parts, bool absolute) {
    std::string path = root;
    bool exact = true;
    for (const std::string& part : parts) {
        std::string next = path;
        if (absolute || !next.empty()) next += '/';
        next += part;
        if (exact && !Exists(next)) {
            std::string parent = path.empty() ? (absolute ? "/" : ".") : path;
            std::string match = MatchInFolder(parent, part);
            if (match != part) {
                next = path;
                if (absolute || !next.empty()) next += '/';
                next += match;
            } else {
                exact = false;  // nothing below a missing folder can exist
            }
        }
        path = std::move(next);
    }
    if (path.empty()) return absolute ? "/" : ".";
    return path;
}

std::string RealPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer)) return buffer;
    return {};
}

// Where a drive's folder is on the host; empty for the host root. A drive whose link is
// missing or broken keeps the link's path, so that using it fails as it would inside Wine.
std::string DriveRoot(char drive) {
    std::string link = posix::WinePrefix() + "/dosdevices/";
    link += FoldAscii(drive);
    link += ':';
    if (FoldAscii(drive) == 'z' && !Exists(link)) return {};
    std::string target = RealPath(link);
    if (target.empty()) return link;
    return target == "/" ? std::string() : target;
}

// Lexically absolute and normal, then resolved through symbolic links as far as it exists.
std::string CanonicalHost(const std::string& hostPath) {
    std::string absolute = hostPath;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd)) absolute = std::string(cwd) + "/" + absolute;
    }
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= absolute.size()) {
        size_t end = absolute.find('/', i);
        if (end == std::string::npos) end = absolute.size();
        std::string part = absolute.substr(i, end - i);
        i = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else {
            parts.push_back(std::move(part));
        }
    }
    // The longest existing head goes through realpath, the rest is kept as written.
    for (size_t head = parts.size() + 1; head-- > 0;) {
        std::string prefix;
        for (size_t k = 0; k < head; ++k) prefix += "/" + parts[k];
        std::string real = RealPath(prefix.empty() ? "/" : prefix);
        if (real.empty()) continue;
        if (real == "/") real.clear();
        for (size_t k = head; k < parts.size(); ++k) real += "/" + parts[k];
        return real.empty() ? "/" : real;
    }
    std::string joined;
    for (const auto& part : parts) joined += "/" + part;
    return joined.empty() ? "/" : joined;
}

// True when `path` is `folder` or lies below it; `below` gets the rest without a slash.
bool Below(const std::string& path, const std::string& folder, std::string& below) {
    if (folder == "/") {
        below = path.substr(1);
        return true;
    }
    if (path.compare(0, folder.size(), folder) != 0) return false;
    if (path.size() == folder.size()) {
        below.clear();
        return true;
    }
    if (path[folder.size()] != '/') return false;
    below = path.substr(folder.size() + 1);
    return true;
}

}  // namespace

namespace posix {

std::string WinePrefix() {
    std::string prefix;
    if (const char* env = std::getenv("WINEPREFIX"); env && *env) {
        prefix = env;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* pw = ::getpwuid(::getuid());
            home = pw ? pw->pw_dir : "";
        }
        prefix = std::string(home) + "/.wine";
    }
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    return prefix;
}

std::string HostPath(const char16_t* windowsPath) {
    std::string path = windowsPath ? ToUtf8(windowsPath) : std::string();
    // Device and "unix" prefixes that Wine understands.
    for (const char* lead : {"\\\\?\\unix\\", "\\??\\unix\\"}) {
        if (path.compare(0, std::strlen(lead), lead) == 0) {
            path.replace(0, std::strlen(lead), 1, '/');
            break;
        }
    }
    for (const char* lead : {"\\\\?\\", "\\\\.\\", "\\??\\"}) {
        if (path.compare(0, std::strlen(lead), lead) == 0) {
            path = path.substr(std::strlen(lead));
            break;
        }
    }
    if (!path.empty() && path[0] == '/') return Resolve({}, Components(path), true);
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        return Resolve(DriveRoot(path[0]), Components(path.substr(2)), true);
    }
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
        return Resolve(WinePrefix() + "/dosdevices/unc", Components(path.substr(2)), true);
    }
    if (!path.empty() && path[0] == '\\') return Resolve(DriveRoot('z'), Components(path), true);
    return Resolve({}, Components(path), false);
}

}  // namespace posix

std::string WindowsToHostPath(const char16_t* windowsPath) {
    return posix::HostPath(windowsPath);
}

CString HostToWindowsPath(const std::string& hostPath) {
    const std::string real = CanonicalHost(hostPath);
    const std::string dosdevices = posix::WinePrefix() + "/dosdevices/";
    char bestDrive = 'z';
    std::string bestBelow = real.substr(1);
    size_t bestLength = 0;
    for (char drive = 'a'; drive <= 'z'; ++drive) {
        std::string target = RealPath(dosdevices + drive + ':');
        if (target.empty()) continue;
        std::string below;
        // The deepest drive wins; among equals the first letter.
        if (Below(real, target, below) && target.size() > bestLength) {
            bestDrive = drive;
            bestBelow = below;
            bestLength = target.size();
        }
    }
    std::string windows;
    windows += static_cast<char>(bestDrive - 'a' + 'A');
    windows += ":\\";
    for (char c : bestBelow) windows += (c == '/') ? '\\' : c;
    return FromUtf8(windows);
}

}  // namespace platform

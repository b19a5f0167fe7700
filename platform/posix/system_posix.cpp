// System facts as a program inside the prefix sees them, and the shell through host tools.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/registry_posix.h"

extern char** environ;

namespace platform {

namespace {

struct Version {
    uint32_t major, minor, build, platformId;
};

constexpr uint32_t kWin32s = 0, kWin32Windows = 1, kWin32Nt = 2;

// Wine's default when the prefix says nothing.
constexpr Version kDefaultVersion = {6, 1, 7601, kWin32Nt};

// The names Wine accepts in its "Version" setting (compared with regard to case, as Wine does).
struct NamedVersion {
    const char16_t* name;
    Version version;
};
constexpr NamedVersion kWineVersions[] = {
    {u"win31", {3, 10, 0, kWin32s}},          {u"win95", {4, 0, 950, kWin32Windows}},
    {u"win98", {4, 10, 2222, kWin32Windows}}, {u"winme", {4, 90, 3000, kWin32Windows}},
    {u"nt351", {3, 51, 1057, kWin32Nt}},      {u"nt40", {4, 0, 1381, kWin32Nt}},
    {u"win2k", {5, 0, 2195, kWin32Nt}},       {u"winxp", {5, 1, 2600, kWin32Nt}},
    {u"winxp64", {5, 2, 3790, kWin32Nt}},     {u"win2003", {5, 2, 3790, kWin32Nt}},
    {u"vista", {6, 0, 6002, kWin32Nt}},       {u"win2008", {6, 0, 6002, kWin32Nt}},
    {u"win7", {6, 1, 7601, kWin32Nt}},        {u"win2008r2", {6, 1, 7601, kWin32Nt}},
    {u"win8", {6, 2, 9200, kWin32Nt}},        {u"win81", {6, 3, 9600, kWin32Nt}},
    {u"win10", {10, 0, 18362, kWin32Nt}},
};

// A REG_SZ value's text, up to its first NUL.
bool StringValue(const regfile::Key& key, std::u16string_view name, std::u16string& text) {
    const regfile::Value* value = key.Find(name);
    if (!value || (value->type != kRegSz && value->type != kRegExpandSz)) return false;
    text.clear();
    for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
        char16_t c = char16_t(static_cast<unsigned char>(value->data[i]) |
                              (static_cast<unsigned char>(value->data[i + 1]) << 8));
        if (c == 0) break;
        text.push_back(c);
    }
    return true;
}

bool FromVersionSetting(const char16_t* keyPath, Version& version) {
    regfile::Key key;
    uint32_t error;
    std::u16string name;
    if (!posix::ReadWineKey(posix::Hive::CurrentUser, keyPath, key, error) ||
        !StringValue(key, u"Version", name)) {
        return false;
    }
    for (const NamedVersion& known : kWineVersions) {
        if (name == known.name) {
            version = known.version;
            return true;
        }
    }
    return false;
}

// Leading blanks, then decimal digits, as Wine's "%u" reads them.
bool ReadNumber(std::u16string_view text, size_t& i, uint32_t& value) {
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
    size_t start = i;
    value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + uint32_t(text[i] - u'0');
    }
    return i > start;
}

// What the prefix's system.reg says: "CurrentVersion" as "major.minor" and the build from
// "CurrentBuildNumber". Wine 8 reads these strings, not the Current*VersionNumber words.
bool FromCurrentVersion(Version& version) {
    regfile::Key key;
    uint32_t error;
    std::u16string text;
    if (!posix::ReadWineKey(posix::Hive::LocalMachine,
                            u"Software\\Microsoft\\Windows NT\\CurrentVersion", key, error) ||
        !StringValue(key, u"CurrentVersion", text)) {
        return false;
    }
    size_t i = 0;
    if (!ReadNumber(text, i, version.major)) return false;
    version.minor = 0;
    if (i < text.size() && text[i] == u'.') {
        ++i;
        if (!ReadNumber(text, i, version.minor)) version.minor = 0;
    }
    version.build = 0;
    if (StringValue(key, u"CurrentBuildNumber", text)) {
        i = 0;
        if (!ReadNumber(text, i, version.build)) version.build = 0;
    }
    version.platformId = kWin32Nt;
    return true;
}

std::string OwnExecutable() {
    std::string path(256, '\0');
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < path.size()) {
            path.resize(static_cast<size_t>(n));
            return path;
        }
        if (path.size() >= (1u << 20)) return {};
        path.resize(path.size() * 2);
    }
}

// The version the prefix reports to this program, in the order Wine looks: the program's own
// setting, the prefix-wide setting, then system.reg.
Version ReportedVersion() {
    Version version = kDefaultVersion;
    std::string exe = OwnExecutable();
    std::string base = exe.substr(exe.rfind('/') + 1);
    bool found = false;
    if (!base.empty()) {
        for (const std::string& name : {base, base + ".exe"}) {
            CString keyPath = u"Software\\Wine\\AppDefaults\\" + FromUtf8(name);
            if (FromVersionSetting(keyPath.c_str(), version)) {
                found = true;
                break;
            }
        }
    }
    if (!found && !FromVersionSetting(u"Software\\Wine", version) && !FromCurrentVersion(version)) {
        version = kDefaultVersion;
    }
    // A program that does not declare itself made for Windows 8.1 or later in its manifest (and
    // this one does not) is told 6.2, as Windows and Wine do.
    if (version.platformId == kWin32Nt &&
        (version.major > 6 || (version.major == 6 && version.minor > 2))) {
        version = {6, 2, 9200, kWin32Nt};
    }
    // The Windows 9x family kept the version in the build number's high word.
    if (version.platformId == kWin32Windows) {
        version.build |= (version.major << 24) | (version.minor << 16);
    }
    return version;
}

uint32_t CopyOut(const CString& text, char16_t* buffer, uint32_t size, bool truncate) {
    size_t length = text.size();
    if (length + 1 > size) {
        if (truncate && buffer && size > 0) {
            text.copy(buffer, size - 1);
            buffer[size - 1] = 0;
        }
        SetLastError(kErrorInsufficientBuffer);
        return static_cast<uint32_t>(length + 1);
    }
    text.copy(buffer, length);
    buffer[length] = 0;
    return static_cast<uint32_t>(length);
}

// The program of that name on PATH, as the shell would find it.
std::string FindProgram(const char* name) {
    const char* path = std::getenv("PATH");
    std::string list = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        // An empty entry is the current folder.
        std::string candidate = end > start ? list.substr(start, end - start) : std::string(1, '.');
        start = end + 1;
        candidate += '/';
        candidate += name;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

void SleepMs(long ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// Starts `program` with `args` in `folder` (the current one when empty), detached so that it
// outlives us and leaves no zombie. With `waitMs` the program's exit status decides, if it
// ends within that time; still running then counts as started.
bool Launch(const std::string& program, const std::vector<std::string>& args,
            const std::string& folder, long waitMs) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // The grandchild reports a failed chdir or exec through this pipe; a successful exec
    // closes it empty.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        posix::SetErrorFromErrno(errno, posix::Target::File, {});
        return false;
    }
    pid_t middle = ::fork();
    if (middle < 0) {
        int err = errno;
        ::close(report[0]);
        ::close(report[1]);
        posix::SetErrorFromErrno(err, posix::Target::File, {});
        return false;
    }
    if (middle == 0) {
        // Only async-signal-safe calls from here on.
        ::close(report[0]);
        pid_t child = ::fork();
        if (child == 0) {
            int err = 0;
            if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
                err = errno;
            } else {
                ::execve(argv[0], argv.data(), environ);
                err = errno;
            }
            ssize_t ignored = ::write(report[1], &err, sizeof err);
            (void)ignored;
            ::_exit(127);
        }
        ::close(report[1]);
        if (child < 0) ::_exit(126);
        for (long waited = 0; waited < waitMs; waited += 20) {
            int status;
            if (::waitpid(child, &status, WNOHANG) == child) {
                ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 125);
            }
            SleepMs(20);
        }
        ::_exit(0);
    }
    ::close(report[1]);
    int childErr = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &childErr, sizeof childErr);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    if (got == sizeof childErr) {
        posix::SetErrorFromErrno(childErr, posix::Target::Folder, folder);
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    return true;
}

}  // namespace

bool QueryOsVersion(OsVersionInfo& info) {
    if (info.size != 284 && info.size != 276) {
        SetLastError(kErrorInsufficientBuffer);
        return false;
    }
    Version version = ReportedVersion();
    info.majorVersion = version.major;
    info.minorVersion = version.minor;
    info.buildNumber = version.build;
    info.platformId = version.platformId;
    return true;
}

uint32_t GetWindowsFolder(char16_t* buffer, uint32_t size) {
    return CopyOut(u"C:\\windows", buffer, size, false);
}

uint32_t GetModulePath(char16_t* buffer, uint32_t size) {
    if (const CString* forTest = ModulePathForTest()) return CopyOut(*forTest, buffer, size, true);
    std::string exe = OwnExecutable();
    CString path = exe.empty() ? CString() : HostToWindowsPath(exe);
    if (path.empty()) {
        SetLastError(kErrorFileNotFound);
        return 0;
    }
    return CopyOut(path, buffer, size, true);
}

CString PackSearchFolder() {
    char* folder = ::getcwd(nullptr, 0);
    const CString path = folder ? HostToWindowsPath(folder) : CString();
    std::free(folder);
    return path;
}

bool ShellOpen(const char16_t* address) {
    if (!address || !*address) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    std::string opener = FindProgram("xdg-open");
    if (opener.empty()) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    // xdg-open may keep running as long as the browser does; give it a few seconds to fail.
    return Launch(opener, {ToUtf8(address)}, {}, 3000);
}

bool ShellStart(const char16_t* file, const char16_t* workingFolder) {
    std::string host = file ? WindowsToHostPath(file) : std::string();
    struct stat st;
    if (host.empty() || ::stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        posix::SetErrorFromErrno(ENOENT, posix::Target::File, host);
        return false;
    }
    std::string folder;
    if (workingFolder && *workingFolder) {
        folder = WindowsToHostPath(workingFolder);
        if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            SetLastError(267);  // ERROR_DIRECTORY
            return false;
        }
    }
    std::string wine = FindProgram("wine");
    if (wine.empty()) {
        SetLastError(kErrorFileNotFound);
        return false;
    }
    // Wine runs as long as the program does, so only a failure to start counts.
    return Launch(wine, {ToUtf8(file)}, folder, 0);
}

void AdviseLargePages(void* block, size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr size_t kLarge = size_t{2} << 20;
    if (!block || bytes < kLarge) return;
    // The pages the block lies on: the bytes around it in its first and last page are only
    // advised, never touched.
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = reinterpret_cast<uintptr_t>(block) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes + page - 1) & ~(page - 1);
    const int saved = errno;
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // a hint only
    errno = saved;
#else
    (void)block;
    (void)bytes;
#endif
}

void* AllocateLarge(size_t bytes) {
    constexpr size_t kLarge = size_t{2} << 20;
    if (bytes < kLarge) return std::malloc(bytes);
    void* block = nullptr;
    if (::posix_memalign(&block, kLarge, bytes) != 0) return nullptr;
    AdviseLargePages(block, bytes);
    return block;
}

}  // namespace platform

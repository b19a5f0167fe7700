#include "reliability/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/platform.h"
#include "xml/internal/XmlInternals.h"

namespace reliability {

Sandbox::Sandbox() {
    std::string pattern = (fs::temp_directory_path() / "brevlo-rel-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    root_ = pattern;
    fs::permissions(root_, fs::perms(0755));  // the driver may run as another user
    fs::create_directories(root_ / "prefix");
    fs::create_directories(ProductFolder());
}

Sandbox::~Sandbox() {
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(root_, ignored);
         !ignored && it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (!it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(root_, ignored);
}

fs::path Sandbox::MakePack(const std::string& name) {
    const fs::path folder = root_ / name;
    fs::create_directories(folder / "marks");
    std::error_code error;
    fs::create_hard_link(BREVLO_IMPORT_DRIVER, folder / "setup", error);
    if (error) fs::copy_file(BREVLO_IMPORT_DRIVER, folder / "setup");
    return folder / "marks";
}

namespace {

std::vector<std::string> Arguments(const Sandbox& box, const std::vector<std::string>& extra) {
    std::vector<std::string> args{box.Install().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

pid_t Start(const Sandbox& box, const std::string& pack, const std::vector<std::string>& extra,
            int* outputFd) {
    const std::string program = (box.Root() / pack / "setup").string();
    std::vector<std::string> args = Arguments(box, extra);
    int pipeFds[2] = {-1, -1};
    if (outputFd && ::pipe(pipeFds) != 0) throw std::runtime_error("pipe");
    const std::string prefix = "WINEPREFIX=" + (box.Root() / "prefix").string();
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork");
    if (child == 0) {
        if (outputFd) {
            ::dup2(pipeFds[1], 1);
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
        }
        ::putenv(const_cast<char*>(prefix.c_str()));
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (outputFd) {
        ::close(pipeFds[1]);
        *outputFd = pipeFds[0];
    }
    return child;
}

RunResult Collect(pid_t child, int status, const rusage& usage,
                  std::chrono::steady_clock::time_point started) {
    RunResult r;
    r.exited = WIFEXITED(status);
    r.exitCode = r.exited ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.maxRssKb = usage.ru_maxrss;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    (void)child;
    return r;
}

}  // namespace

pid_t StartImportProcess(const Sandbox& box, const std::string& pack,
                         const std::vector<std::string>& extraArguments) {
    return Start(box, pack, extraArguments, nullptr);
}

RunResult Wait(pid_t child, std::chrono::steady_clock::time_point started) {
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    return Collect(child, status, usage, started);
}

RunResult RunImportProcess(const Sandbox& box, const std::string& pack,
                           const std::vector<std::string>& extraArguments,
                           std::chrono::microseconds killAfter, std::chrono::seconds timeout,
                           int signal) {
    const auto started = std::chrono::steady_clock::now();
    int out = -1;
    const pid_t child = Start(box, pack, extraArguments, &out);
    if (signal == SIGPIPE) {
        // A reader that went away: every write of the child meets a closed pipe.
        ::close(out);
        out = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    ::fcntl(out, F_SETFL, O_NONBLOCK);
    std::string output;
    int status = 0;
    rusage usage{};
    bool killed = false;
    for (;;) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(out, buffer, sizeof buffer)) > 0) output.append(buffer, n);
        const pid_t done = ::wait4(child, &status, WNOHANG, &usage);
        if (done == child) break;
        const auto elapsed = std::chrono::steady_clock::now() - started;
        if (!killed && ((killAfter.count() > 0 && elapsed >= killAfter) || elapsed >= timeout)) {
            ::kill(child, elapsed >= timeout || signal == SIGPIPE ? SIGKILL : signal);
            killed = true;
        }
        // Fine steps near the kill point, coarse ones otherwise.
        if (killAfter.count() > 0 && !killed)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out, buffer, sizeof buffer)) > 0) output.append(buffer, n);
    ::close(out);
    RunResult r = Collect(child, status, usage, started);
    r.output = output;
    if (const size_t at = output.find("peakKb="); at != std::string::npos)
        r.maxRssKb = std::atol(output.c_str() + at + 7);
    return r;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

Snapshot Take(const fs::path& folder) {
    Snapshot shot;
    std::error_code error;
    if (!fs::exists(folder, error)) return shot;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string relative = fs::relative(it->path(), folder).string();
        if (it->is_symlink()) {
            shot[relative] = "link:" + fs::read_symlink(it->path()).string();
        } else if (it->is_regular_file()) {
            shot[relative] = ReadFile(it->path());
        } else if (it->is_directory()) {
            shot[relative + "/"] = "";
        }
    }
    return shot;
}

std::string MakeCatalog(const std::string& prefix, int albums, int items, size_t padding) {
    std::string out = "<?xml version=\"1.0\" encoding=\"gb2312\"?>\r\n<mirvo>\r\n\t<albums>\r\n";
    const std::string pad(padding, 'p');
    for (int a = 0; a < albums; ++a) {
        const std::string album = prefix + "a" + std::to_string(a);
        out += "\t\t<album name=\"" + album + "\" icon=\"" + album + ".png\">\r\n";
        for (int i = 0; i < items; ++i) {
            out += "\t\t\t<item name=\"" + album + "i" + std::to_string(i) + "\" file=\"" + album +
                   "/" + std::to_string(i) + ".png\"";
            if (padding) out += " note=\"" + pad + "\"";
            out += "/>\r\n";
        }
        out += "\t\t\t<ElemCount>" + std::to_string(items) + "</ElemCount>\r\n\t\t</album>\r\n";
    }
    out += "\t</albums>\r\n</mirvo>\r\n";
    return out;
}

std::string FileContent(const std::string& name, size_t size, const std::string& salt) {
    std::string content;
    content.reserve(size);
    uint64_t x = std::hash<std::string>{}(name + salt) | 1;
    while (content.size() < size) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        content.push_back(static_cast<char>(x & 0xFF));
    }
    return content;
}

void MakeFiles(const fs::path& folder, int count, size_t size, const std::string& salt) {
    for (int i = 0; i < count; ++i) {
        const std::string name = "s" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".png";
        WriteFile(folder / name, FileContent(name, size, salt));
    }
}

std::map<std::string, std::vector<std::string>> CatalogAlbums(const fs::path& catalog,
                                                              bool* loaded) {
    std::map<std::string, std::vector<std::string>> out;
    CXmlDocument doc;
    const CString path = platform::HostToWindowsPath(catalog.string());
    const bool ok = doc.LoadFile(path.c_str());
    if (loaded) *loaded = ok;
    if (!ok) return out;
    const ElementHandle root = doc.FindNamedElement(0, 0, u"mirvo");
    const ElementHandle albums = root ? doc.FindNamedElement(root, 0, u"albums") : 0;
    // Attributes are read with the cursor on the element.
    const auto attribute = [&doc](ElementHandle h) {
        doc.SetPosition(XmlInternals(doc).Record(h).parent, h, 0);
        return platform::ToUtf8(doc.GetAttribute(u"name"));
    };
    for (ElementHandle a = albums ? doc.FindNamedElement(albums, 0, u"album") : 0; a;
         a = doc.FindNamedElement(albums, a, u"album")) {
        std::vector<std::string>& items = out[attribute(a)];
        for (ElementHandle i = doc.FindNamedElement(a, 0, u"item"); i;
             i = doc.FindNamedElement(a, i, u"item"))
            items.push_back(attribute(i));
    }
    return out;
}

}  // namespace reliability

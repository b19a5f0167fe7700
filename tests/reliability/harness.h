// The reliability tests' harness (POSIX): throwaway product installations and packs on the
// host, the import run in a child process that can be killed at any moment, and snapshots of
// folders to tell what changed.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// The long form's tests carry their own names, so that both forms can be listed together.
#ifdef BREVLO_SOAK
#define SUITE(name) Soak##name
#else
#define SUITE(name) name
#endif

namespace reliability {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder with an empty Wine prefix, a product
// installation ("install", its data in "install/data/marks") and room for packs; removed with
// everything in it at the end.
class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const fs::path& Root() const { return root_; }
    fs::path Install() const { return root_ / "install"; }
    fs::path ProductFolder() const { return root_ / "install" / "data" / "marks"; }
    fs::path ProductCatalog() const { return ProductFolder() / "config.xml"; }
    // A pack "<name>/marks" with the driver linked in as "<name>/setup".
    fs::path MakePack(const std::string& name);
    fs::path PackFolder(const std::string& name) const { return root_ / name / "marks"; }

  private:
    fs::path root_;
};

struct RunResult {
    bool exited = false;  // ended by itself (else killed)
    int exitCode = -1;
    int signal = 0;
    long maxRssKb = 0;  // peak resident memory of the child
    double seconds = 0;
    std::string output;  // its standard output
};

// Runs the driver of `pack` on the sandbox's installation. With `killAfter` > 0 the child is
// sent `signal` after that long (if still running); `timeout` bounds the whole run. With
// SIGPIPE the child's output goes to a pipe whose reader is gone from the start.
RunResult RunImportProcess(const Sandbox& box, const std::string& pack,
                           const std::vector<std::string>& extraArguments = {},
                           std::chrono::microseconds killAfter = {},
                           std::chrono::seconds timeout = std::chrono::seconds(300),
                           int signal = SIGKILL);

// Starts the driver without waiting; Wait() collects it.
pid_t StartImportProcess(const Sandbox& box, const std::string& pack,
                         const std::vector<std::string>& extraArguments = {});
RunResult Wait(pid_t child, std::chrono::steady_clock::time_point started);

void WriteFile(const fs::path& path, const std::string& bytes);
std::string ReadFile(const fs::path& path);

// Relative path -> content, of every regular file below `folder` (links not followed; a link
// is recorded as "link:" and its target).
using Snapshot = std::map<std::string, std::string>;
Snapshot Take(const fs::path& folder);

// A catalog in code page 936 text (ASCII names): albums "<prefix>a<i>" with `items` items each,
// and an "ElemCount" each, in the form the product writes. `padding` adds that many bytes of
// attribute text to each item to make the file large.
std::string MakeCatalog(const std::string& prefix, int albums, int items, size_t padding = 0);

// `count` files of `size` bytes each with content derived from their names, in subfolders.
void MakeFiles(const fs::path& folder, int count, size_t size, const std::string& salt);
std::string FileContent(const std::string& name, size_t size, const std::string& salt);

// Album name -> item names of the catalog file's first mirvo/albums, parsed with the document
// class; empty when the file does not load.
std::map<std::string, std::vector<std::string>> CatalogAlbums(const fs::path& catalog,
                                                              bool* loaded = nullptr);

}  // namespace reliability

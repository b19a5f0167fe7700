// Runs one import the way the tool does, for the reliability tests: the material folder is the
// one named "marks" beside this program (the tests place a link to it in each pack), the
// product's install path is the first argument (a host path).
//   import_driver INSTALL [--as-nobody] [--file-limit BYTES] [--fail-at N]
// --file-limit makes every write past that file size fail (RLIMIT_FSIZE); --fail-at makes the
// N-th operation of the document's file access fail. Prints "waiting" when the import waits
// for another, then the outcome as one line of flags,
// the failure text and the number of file operations, and exits as the tool does: 1 when the
// import did not complete, else 0. A test may kill it or signal it at any moment.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "import/run_import.h"
#include "platform/platform.h"

namespace {

// The real file access with one injected failure: the `failAt`-th operation fails (its effect
// not done), every other one is passed through.
class FailingFiles final : public platform::FileSystem {
  public:
    explicit FailingFiles(long failAt) : real_(platform::Files()), failAt_(failAt) {}
    long count = 0;

    platform::File* OpenRead(const char16_t* path) override {
        return Fail() ? nullptr : real_.OpenRead(path);
    }
    platform::File* CreateTemporary(const char16_t* target, CString& temporaryPath) override {
        return Fail() ? nullptr : real_.CreateTemporary(target, temporaryPath);
    }
    bool Size(platform::File* file, int64_t& size) override {
        return !Fail() && real_.Size(file, size);
    }
    bool Read(platform::File* file, void* buffer, size_t count, size_t& done) override {
        if (Fail()) {
            done = 0;
            return false;
        }
        return real_.Read(file, buffer, count, done);
    }
    bool Write(platform::File* file, const void* buffer, size_t bytes) override {
        // A failed write may have put part of the bytes down, as a full disk does.
        if (Fail()) {
            real_.Write(file, buffer, bytes / 2);
            return false;
        }
        return real_.Write(file, buffer, bytes);
    }
    bool Flush(platform::File* file) override { return !Fail() && real_.Flush(file); }
    bool Close(platform::File* file) override {
        // The handle is closed either way; only the result says it failed.
        const bool fail = Fail();
        return real_.Close(file) && !fail;
    }
    bool Replace(const char16_t* source, const char16_t* target) override {
        return !Fail() && real_.Replace(source, target);
    }
    bool Remove(const char16_t* path) override { return !Fail() && real_.Remove(path); }

  private:
    bool Fail() {
        if (++count != failAt_) return false;
        platform::SetLastError(platform::kErrorWriteFault);
        return true;
    }
    platform::FileSystem& real_;
    long failAt_;
};

}  // namespace

int main(int argc, char** argv) {
    platform::InstallStopSignals();
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s INSTALL [--as-nobody] [--file-limit B] [--fail-at N]\n",
                     argv[0]);
        return 2;
    }
    ImportSettings settings;
    settings.commandWord = u"marks";
    settings.installPath = platform::HostToWindowsPath(argv[1]);
    // Version 1.4: the install-folder layout, whatever the system reports.
    settings.fileVersionHigh = 0x00010004;
    settings.fileVersionLow = 0;
    FailingFiles* failing = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--file-limit") && i + 1 < argc) {
            const rlimit limit{static_cast<rlim_t>(std::atoll(argv[++i])),
                               static_cast<rlim_t>(std::atoll(argv[i]))};
            ::signal(SIGXFSZ, SIG_IGN);  // the write then fails with EFBIG
            ::setrlimit(RLIMIT_FSIZE, &limit);
        } else if (!std::strcmp(argv[i], "--fail-at") && i + 1 < argc) {
            failing = new FailingFiles(std::atol(argv[++i]));
            platform::SetFilesForTest(failing);
        } else if (!std::strcmp(argv[i], "--as-nobody")) {
            // Root passes every permission check; a read-only folder needs someone else.
            const passwd* nobody = ::getpwnam("nobody");
            if (!nobody || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
                ::setuid(nobody->pw_uid) != 0) {
                std::perror("as nobody");
                return 3;
            }
        }
    }
    const ImportOutcome o = RunImport(settings, nullptr, [] {
        std::printf("waiting\n");
        std::fflush(stdout);
    });
    std::printf(
        "copied=%d sourceLoaded=%d locked=%d targetLoaded=%d merged=%d verified=%d saved=%d\n",
        o.copied, o.sourceLoaded, o.locked, o.targetLoaded, o.merged, o.verified, o.saved);
    if (!o.failure.empty()) std::printf("failure=%s\n", platform::ToUtf8(o.failure).c_str());
    if (failing) std::printf("operations=%ld\n", failing->count);
    // The peak of this program alone: the usage that wait4 reports also counts what the
    // forking parent had before the exec.
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (!std::strncmp(line, "VmHWM:", 6)) std::printf("peakKb=%ld\n", std::atol(line + 6));
        std::fclose(status);
    }
    std::fflush(stdout);
    return o.failure.empty() ? 0 : 1;
}

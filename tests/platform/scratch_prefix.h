// Helpers shared by the platform contract tests: the Windows path of a built fixture file and,
// natively, a throwaway Wine prefix (user.reg, system.reg, dosdevices) that WINEPREFIX points
// at while it lives.
#pragma once

#include <string>
#include <string_view>

#ifndef BREVLO_FIXTURE_DIR
#error "BREVLO_FIXTURE_DIR names the folder of the built fixture executables"
#endif

namespace scratch {

// The fixture folder is a host path; both builds reach it through drive Z:, which maps to the
// host root in Wine's default prefix and in the scratch prefix below.
inline std::u16string FixturePath(std::u16string_view name = {}) {
    std::u16string path = u"Z:";
    for (char c : std::string_view(BREVLO_FIXTURE_DIR))
        path.push_back(c == '/' ? u'\\' : char16_t(c));
    if (!name.empty()) {
        path += u'\\';
        path += name;
    }
    return path;
}

}  // namespace scratch

#ifndef _WIN32

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace scratch {

class Prefix {
  public:
    Prefix() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/brevlo-prefix-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        namespace fs = std::filesystem;
        fs::create_directories(path_ + "/drive_c/windows");
        fs::create_directories(path_ + "/dosdevices");
        fs::create_directory_symlink("../drive_c", path_ + "/dosdevices/c:");
        fs::create_directory_symlink("/", path_ + "/dosdevices/z:");
        if (const char* old = std::getenv("WINEPREFIX")) {
            hadOld_ = true;
            old_ = old;
        }
        ::setenv("WINEPREFIX", path_.c_str(), 1);
        WriteUserReg("");
        WriteSystemReg("");
    }
    ~Prefix() {
        if (hadOld_)
            ::setenv("WINEPREFIX", old_.c_str(), 1);
        else
            ::unsetenv("WINEPREFIX");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    Prefix(const Prefix&) = delete;
    Prefix& operator=(const Prefix&) = delete;

    const std::string& Path() const { return path_; }

    // The registry files, given their sections; the header is added here.
    void WriteUserReg(std::string_view sections) {
        Write("user.reg", Header() + std::string(sections));
    }
    void WriteSystemReg(std::string_view sections) {
        Write("system.reg", Header() + std::string(sections));
    }
    void Write(const std::string& name, std::string_view text) const {
        std::ofstream out(path_ + "/" + name, std::ios::binary | std::ios::trunc);
        out << text;
    }

  private:
    static std::string Header() {
        return "WINE REGISTRY Version 2\n;; All keys relative to X\n\n#arch=win64\n\n";
    }

    std::string path_;
    std::string old_;
    bool hadOld_ = false;
};

}  // namespace scratch

#endif

#include <gtest/gtest.h>

namespace scratch {

// A contract suite whose tests share one scratch prefix natively (under Wine they run in the
// test prefix). `Suite::Fill(Prefix&)`, when the suite has one, writes what its tests read.
template <class Suite>
class PrefixSuite : public ::testing::Test {
#ifndef _WIN32
  protected:
    static void SetUpTestSuite() {
        prefix_ = new Prefix;
        Suite::Fill(*prefix_);
    }
    static void TearDownTestSuite() {
        delete prefix_;
        prefix_ = nullptr;
    }
    static void Fill(Prefix&) {}

  private:
    static inline Prefix* prefix_ = nullptr;
#endif
};

}  // namespace scratch

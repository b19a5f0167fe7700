// Helpers of the application tests: a user who answers through the framework's test hooks,
// and, natively, a throwaway Wine prefix with stand-ins for `wine` and `xdg-open` on PATH.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/ImportApp.h"
#include "platform/platform.h"
#include "app/framework/framework.h"
#include "support/platform_temp.h"

namespace app_test {

inline std::string Narrow(const CString& text) {
    return platform::ToUtf8(text);
}

struct Box {
    HWND owner;
    CString text;
    CString caption;
    UINT type;
};

// Records every message box and answers it; sees each dialog as it starts.
class User : public ui::TestHooks {
  public:
    User() { previous_ = ui::SetTestHooks(this); }
    ~User() override { ui::SetTestHooks(previous_); }
    User(const User&) = delete;
    User& operator=(const User&) = delete;

    int MessageBox(HWND owner, const CString& text, const CString& caption, UINT type) override {
        boxes.push_back({owner, text, caption, type});
        if (onBox) onBox(boxes.back());
        return (type & MB_TYPEMASK) == MB_YESNO ? answer : IDOK;
    }
    void DialogReady(CDialog& dialog) override {
        dialogs.push_back(&dialog);
        if (onReady) onReady(dialog);
    }

    int answer = IDNO;
    std::vector<Box> boxes;
    std::vector<CDialog*> dialogs;  // valid only while each runs
    std::function<void(CDialog&)> onReady;
    std::function<void(const Box&)> onBox;

  private:
    ui::TestHooks* previous_;
};

// The application object as start-up finds it.
inline void ResetApp() {
    theApp.m_commandWord.clear();
    theApp.m_installPath.clear();
    std::fill(std::begin(theApp.m_productVersion), std::end(theApp.m_productVersion), 0u);
    theApp.m_pMainWnd = nullptr;
    theApp.m_exitCode = 0;
}

}  // namespace app_test

#ifndef _WIN32

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace app_test {

// A Wine prefix of the files the native build reads, WINEPREFIX pointing at it, and stand-ins
// for `wine` and `xdg-open` first on PATH that record each call (working folder, arguments).
class Prefix {
  public:
    Prefix() {
        namespace fs = std::filesystem;
        std::string pattern = fs::temp_directory_path().string() + "/brevlo-app-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        fs::create_directories(root_ + "/prefix/drive_c/windows");
        fs::create_directories(root_ + "/prefix/dosdevices");
        fs::create_directory_symlink("../drive_c", root_ + "/prefix/dosdevices/c:");
        fs::create_directory_symlink("/", root_ + "/prefix/dosdevices/z:");
        fs::create_directories(root_ + "/bin");
        // Each call is written to a file of its own and then renamed into place, so that a
        // reader never sees half of one.
        fs::create_directories(root_ + "/calls");
        for (const char* name : {"wine", "xdg-open"}) {
            const std::string path = root_ + "/bin/" + name;
            std::ofstream(path)
                << "#!/bin/sh\nf=$(mktemp '" << root_ << "/calls/tmp.XXXXXX')\n"
                << "{ pwd; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"$f\"\n"
                << "mv \"$f\" \"$f." << name << "\"\n";
            ::chmod(path.c_str(), 0755);
        }
        Save("WINEPREFIX", oldPrefix_, hadPrefix_);
        Save("PATH", oldPath_, hadPath_);
        ::setenv("WINEPREFIX", (root_ + "/prefix").c_str(), 1);
        ::setenv("PATH", (root_ + "/bin:" + (hadPath_ ? oldPath_ : "/usr/bin:/bin")).c_str(), 1);
        WriteUserReg("");
        Write("prefix/system.reg", Header());
        tool_.emplace();  // reached through the prefix just made
        // An empty pack beside the tool, and the data folder of a product without a version.
        std::filesystem::create_directories(platform_test::HostOf(tool_->Pack(u"marks")));
        fs::create_directories(root_ + "/prefix/drive_c/Mirvo/Data");
    }
    ~Prefix() {
        tool_.reset();
        Restore("WINEPREFIX", oldPrefix_, hadPrefix_);
        Restore("PATH", oldPath_, hadPath_);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    Prefix(const Prefix&) = delete;
    Prefix& operator=(const Prefix&) = delete;

    // user.reg with these sections after its header.
    void WriteUserReg(const std::string& sections) {
        Write("prefix/user.reg", Header() + sections);
    }
    // HKCU\Software\Mirvo with "Install Path" set to `path` (a Windows path).
    void RegisterInstallPath(const std::string& path, const char* kind = "") {
        std::string escaped;
        for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        WriteUserReg("\n[Software\\\\Mirvo] 1700000000\n\"Install Path\"=" + std::string(kind) +
                     "\"" + escaped + "\"\n");
    }
    // A folder or file below drive C:, by its path under it ("Program Files/MirvoPix").
    std::string DriveC(const std::string& below) const {
        return root_ + "/prefix/drive_c/" + below;
    }
    void Write(const std::string& below, const std::string& bytes) const {
        std::filesystem::create_directories(
            std::filesystem::path(root_ + "/" + below).parent_path());
        std::ofstream(root_ + "/" + below, std::ios::binary) << bytes;
    }

    // The calls recorded by a stand-in, each as {working folder, arguments...}; waits up to
    // `waitMs` for the first.
    std::vector<std::vector<std::string>> Calls(const std::string& program, int waitMs = 0) const {
        namespace fs = std::filesystem;
        const std::string suffix = "." + program;
        std::vector<std::vector<std::string>> calls;
        for (int waited = 0;; waited += 20) {
            for (const auto& entry : fs::directory_iterator(root_ + "/calls")) {
                const std::string file = entry.path().string();
                if (file.size() < suffix.size() ||
                    file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
                    continue;
                std::ifstream in(file);
                calls.emplace_back();
                for (std::string line; std::getline(in, line);) calls.back().push_back(line);
            }
            if (!calls.empty() || waited >= waitMs) return calls;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

  private:
    static std::string Header() {
        return "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000"
               "\n\n#arch=win64\n";
    }
    static void Save(const char* name, std::string& value, bool& had) {
        const char* old = std::getenv(name);
        had = old != nullptr;
        if (old) value = old;
    }
    static void Restore(const char* name, const std::string& value, bool had) {
        if (had)
            ::setenv(name, value.c_str(), 1);
        else
            ::unsetenv(name);
    }

    std::string root_;
    std::optional<platform_test::ToolFolder> tool_;
    std::string oldPrefix_, oldPath_;
    bool hadPrefix_ = false, hadPath_ = false;
};

}  // namespace app_test

#endif

// Test helpers for the platform contract tests: a throwaway folder that both builds reach by a
// Windows path, and host-side file access to set up and check what the code under test did.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform_test {

// A fresh folder under the system's temporary folder, removed with its content at the end.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Its Windows path, without a trailing backslash.
    const CString& Path() const { return path_; }
    // Path() + "\" + name.
    CString operator/(std::u16string_view name) const;

  private:
    CString path_;
};

// For one test: the running tool seems to be "setup.exe" in a fresh folder of the test's own,
// so that the pack the import finds beside it (a folder named after the command word) is the
// test's alone. The previous module path comes back at the end.
class ToolFolder {
  public:
    ToolFolder();
    ~ToolFolder();
    ToolFolder(const ToolFolder&) = delete;
    ToolFolder& operator=(const ToolFolder&) = delete;
    // The material folder of that word beside the tool.
    CString Pack(std::u16string_view word) const { return folder_ / word; }

  private:
    TempFolder folder_;
    CString previous_;
};

// The host path behind a Windows path, for the test's own checks.
std::filesystem::path HostOf(const CString& windowsPath);

void WriteBytes(const CString& path, std::string_view bytes);
// The file's bytes; empty when it cannot be read.
std::string ReadBytes(const CString& path);
bool Exists(const CString& path);
// Windows: sets the hidden and system attributes. POSIX names starting with '.' are hidden.
void MakeHidden(const CString& path);
// Windows: the read-only attribute; POSIX: mode 0444, which Wine shows as read-only.
void MakeReadOnly(const CString& path);
bool IsReadOnly(const CString& path);
bool IsHidden(const CString& path);

}  // namespace platform_test

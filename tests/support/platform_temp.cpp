#include "support/platform_temp.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace platform_test {

namespace fs = std::filesystem;

namespace {

CString SystemTempFolder() {
#ifdef _WIN32
    wchar_t buffer[MAX_PATH + 1];
    DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
    CString path(reinterpret_cast<const char16_t*>(buffer), n);
#else
    CString path = platform::HostToWindowsPath(fs::temp_directory_path().string());
#endif
    while (!path.empty() && path.back() == u'\\') path.pop_back();
    return path;
}

}  // namespace

TempFolder::TempFolder() {
    const CString base = SystemTempFolder();
    std::mt19937_64 random(static_cast<uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::ostringstream name;
        name << "brevlo-test-" << std::hex << (random() & 0xFFFFFFFFFFull);
        CString candidate = base + u"\\" + platform::FromUtf8(name.str());
        if (platform::CreateFolder(candidate.c_str())) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("no temporary folder could be made");
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    // Hidden, system or read-only entries must not stop the clean-up.
    for (auto it = fs::recursive_directory_iterator(HostOf(path_), ignored);
         !ignored && it != fs::recursive_directory_iterator(); it.increment(ignored)) {
#ifdef _WIN32
        ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
#else
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
#endif
    }
    fs::remove_all(HostOf(path_), ignored);
}

CString TempFolder::operator/(std::u16string_view name) const {
    CString path = path_;
    path += u'\\';
    path += name;
    return path;
}

ToolFolder::ToolFolder() {
    if (const CString* previous = platform::ModulePathForTest()) previous_ = *previous;
    platform::SetModulePathForTest(folder_ / u"setup.exe");
}

ToolFolder::~ToolFolder() {
    platform::SetModulePathForTest(previous_);
}

fs::path HostOf(const CString& windowsPath) {
#ifdef _WIN32
    return fs::path(std::wstring(windowsPath.begin(), windowsPath.end()));
#else
    return fs::path(platform::WindowsToHostPath(windowsPath.c_str()));
#endif
}

void WriteBytes(const CString& path, std::string_view bytes) {
    std::ofstream out(HostOf(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + platform::ToUtf8(path));
}

std::string ReadBytes(const CString& path) {
    std::ifstream in(HostOf(path), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool Exists(const CString& path) {
    std::error_code ignored;
    return fs::exists(HostOf(path), ignored);
}

void MakeHidden(const CString& path) {
#ifdef _WIN32
    ::SetFileAttributesW(reinterpret_cast<const wchar_t*>(path.c_str()),
                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
#else
    (void)path;
#endif
}

void MakeReadOnly(const CString& path) {
#ifdef _WIN32
    ::SetFileAttributesW(reinterpret_cast<const wchar_t*>(path.c_str()), FILE_ATTRIBUTE_READONLY);
#else
    std::filesystem::permissions(HostOf(path), std::filesystem::perms(0444));
#endif
}

bool IsHidden(const CString& path) {
#ifdef _WIN32
    const DWORD a = ::GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.c_str()));
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_HIDDEN);
#else
    return HostOf(path).filename().string().starts_with(".");
#endif
}

bool IsReadOnly(const CString& path) {
#ifdef _WIN32
    const DWORD a = ::GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.c_str()));
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
#else
    using std::filesystem::perms;
    return (std::filesystem::status(HostOf(path)).permissions() & perms::owner_write) ==
           perms::none;
#endif
}

}  // namespace platform_test

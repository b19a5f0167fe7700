#include "tools/tool_os.h"

#include "platform/platform.h"
#include "xml/XmlDocument.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#endif

namespace {

// The catalog's bytes in the code page, refused when a character has none.
bool CatalogBytes(const CXmlDocument& doc, std::string& bytes, std::string& message) {
    bool usedDefault = false;
    const TextBuffer& text = doc.DocumentText();
    if (!platform::WideToAnsi(text.c_str(), static_cast<size_t>(text.length()), bytes,
                              usedDefault) ||
        usedDefault) {
        message = "the result cannot be written in the ANSI code page";
        return false;
    }
    return true;
}

}  // namespace

#ifdef _WIN32

void InitStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
}

bool WriteText(std::FILE* stream, const std::string& utf8) {
    HANDLE handle = ::GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (utf8.empty() || !::GetConsoleMode(handle, &mode))
        return std::fwrite(utf8.data(), 1, utf8.size(), stream) == utf8.size();
    std::fflush(stream);
    const CString wide = platform::FromUtf8(utf8);
    DWORD written = 0;
    return ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written,
                           nullptr) &&
           written == wide.size();
}

CString ArgumentPath(const CString& argument) {
    return argument;
}

bool SaveCatalogTo(CXmlDocument& doc, const CString& path, std::string& message) {
    const auto* wide = reinterpret_cast<const wchar_t*>(path.c_str());
    HANDLE h = ::CreateFileW(wide, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    CString target = path;
    if (h != INVALID_HANDLE_VALUE) {
        const DWORD type = ::GetFileType(h);
        wchar_t final[32768];
        const DWORD n = ::GetFinalPathNameByHandleW(h, final, 32768, FILE_NAME_NORMALIZED);
        ::CloseHandle(h);
        if (type != FILE_TYPE_DISK) {
            std::string bytes;
            if (!CatalogBytes(doc, bytes, message)) return false;
            h = ::CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
            DWORD written = 0;
            const bool ok =
                h != INVALID_HANDLE_VALUE &&
                ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                written == bytes.size();
            if (!ok) message = platform::ToUtf8(platform::SystemErrorText());
            if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
            return ok;
        }
        // Through a link to its target; "\\?\" paths are not the document's to handle.
        if (n > 4 && n < 32768 && std::wstring_view(final, 4) == L"\\\\?\\" && final[5] == L':')
            target.assign(reinterpret_cast<const char16_t*>(final + 4), n - 4);
    }
    if (doc.SaveFile(target.c_str())) return true;
    message = platform::ToUtf8(doc.ResultText());
    return false;
}

#else

void InitStreams() {}

bool WriteText(std::FILE* stream, const std::string& utf8) {
    return std::fwrite(utf8.data(), 1, utf8.size(), stream) == utf8.size();
}

CString ArgumentPath(const CString& argument) {
    std::string host = platform::ToUtf8(argument);
    if (!host.empty() && host[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd)) host = std::string(cwd) + "/" + host;
    }
    return platform::FromUtf8(host);
}

bool SaveCatalogTo(CXmlDocument& doc, const CString& path, std::string& message) {
    std::string host = platform::ToUtf8(path);
    struct stat st;
    // Through every link to the file it finally names, as a shell's ">" would write.
    for (int hops = 0; ::lstat(host.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++hops) {
        char link[PATH_MAX];
        const ssize_t n = ::readlink(host.c_str(), link, sizeof link - 1);
        if (n < 0 || hops == 40) {
            message = std::strerror(n < 0 ? errno : ELOOP);
            return false;
        }
        link[n] = 0;
        host = link[0] == '/' ? std::string(link)
                              : host.substr(0, host.rfind('/') + 1) + std::string(link);
    }
    if (::stat(host.c_str(), &st) != 0 || S_ISREG(st.st_mode)) {
        if (doc.SaveFile(platform::FromUtf8(host).c_str())) return true;
        message = platform::ToUtf8(doc.ResultText());
        return false;
    }
    std::string bytes;
    if (!CatalogBytes(doc, bytes, message)) return false;
    const int fd = ::open(host.c_str(), O_WRONLY | O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    for (size_t done = 0; !error && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? EIO : errno;
    }
    if (fd >= 0 && ::close(fd) != 0 && !error) error = errno;
    if (error) message = std::strerror(error);
    return !error;
}

#endif

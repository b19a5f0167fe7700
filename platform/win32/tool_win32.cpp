// What the companion tool needs of the system: its console output, command-line paths,
// writing into a device or pipe, and a pack's files.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace platform {

bool WriteToolText(ToolStream stream, std::string_view utf8) {
    std::FILE* file = stream == ToolStream::Error ? stderr : stdout;
    HANDLE handle =
        ::GetStdHandle(stream == ToolStream::Error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (utf8.empty() || !::GetConsoleMode(handle, &mode))
        return std::fwrite(utf8.data(), 1, utf8.size(), file) == utf8.size();
    std::fflush(file);
    const CString wide = FromUtf8(utf8);
    DWORD written = 0;
    return ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written,
                           nullptr) &&
           written == wide.size();
}

CString CommandLinePath(const CString& argument) {
    return argument;
}

bool IsStreamFile(const char16_t* path) {
    HANDLE handle =
        ::CreateFileW(Wide(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const DWORD type = ::GetFileType(handle);
    ::CloseHandle(handle);
    return type != FILE_TYPE_DISK;
}

bool WriteIntoFile(const char16_t* path, const void* data, size_t count) {
    HANDLE handle = ::CreateFileW(Wide(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const char* bytes = static_cast<const char*>(data);
    bool ok = true;
    for (size_t done = 0; ok && done < count;) {
        // In pieces that a DWORD can count.
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 30));
        DWORD written = 0;
        ok = ::WriteFile(handle, bytes + done, piece, &written, nullptr) && written > 0;
        done += written;
    }
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    ::CloseHandle(handle);
    if (!ok) ::SetLastError(error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error);
    return ok;
}

bool ListTree(const CString& folder, std::vector<TreeEntry>& entries) {
    std::vector<CString> pending{CString()};
    while (!pending.empty()) {
        const CString relative = pending.back();
        pending.pop_back();
        FileFind find;
        const CString base = relative.empty() ? folder : folder + u"\\" + relative;
        if (!find.FindFile((base + u"\\*.*").c_str())) {
            if (relative.empty()) return false;
            continue;
        }
        for (bool more = true; more;) {
            more = find.FindNext();
            if (find.IsDots()) continue;
            TreeEntry e;
            e.path = relative.empty() ? find.GetFileName() : relative + u"\\" + find.GetFileName();
            e.kind = find.IsLink()        ? TreeEntry::Link
                     : find.IsDirectory() ? TreeEntry::Folder
                                          : TreeEntry::File;
            if (e.kind == TreeEntry::Folder) pending.push_back(e.path);
            entries.push_back(std::move(e));
        }
    }
    for (TreeEntry& e : entries) std::replace(e.path.begin(), e.path.end(), u'\\', u'/');
    std::sort(entries.begin(), entries.end(),
              [](const TreeEntry& a, const TreeEntry& b) { return a.path < b.path; });
    return true;
}

}  // namespace platform

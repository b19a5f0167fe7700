/* Stands in for the product in the end-to-end runs: records in its working folder that it was
   started, with its command line and that folder, then ends. Started as
   "mirvo.exe --hold-import-lock FOLDER" it instead holds the import lock of that product data
   folder, as another import would, from the file "lock-held" it writes until "lock-release"
   appears in its working folder. */
#include <windows.h>
#include <shellapi.h>

static void Append(HANDLE file, const wchar_t* text) {
    char bytes[4 * MAX_PATH];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, NULL, NULL);
    DWORD written;
    if (n > 1) WriteFile(file, bytes, (DWORD)(n - 1), &written, NULL);
    WriteFile(file, "\n", 1, &written, NULL);
}

/* The lock's name as brevlo.exe makes it: FNV-1a over the upper-cased full path's UTF-16. */
static int HoldImportLock(const wchar_t* folder) {
    wchar_t full[MAX_PATH], name[64];
    unsigned long long hash = 0xcbf29ce484222325ull;
    DWORD n = GetFullPathNameW(folder, MAX_PATH, full, NULL);
    HANDLE mutex;
    if (!n || n >= MAX_PATH) return 1;
    while (n > 0 && (full[n - 1] == L'\\' || full[n - 1] == L'/')) --n;
    for (DWORD i = 0; i < n; ++i) {
        wchar_t c = full[i] >= L'a' && full[i] <= L'z' ? (wchar_t)(full[i] - 32) : full[i];
        hash = (hash ^ (c & 0xFF)) * 0x100000001b3ull;
        hash = (hash ^ (c >> 8)) * 0x100000001b3ull;
    }
    wsprintfW(name, L"Local\\BrevloImport-%08x%08x", (unsigned)(hash >> 32), (unsigned)hash);
    mutex = CreateMutexW(NULL, TRUE, name);
    if (!mutex) return 1;
    CloseHandle(CreateFileW(L"lock-held", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    while (GetFileAttributesW(L"lock-release") == INVALID_FILE_ATTRIBUTES) Sleep(50);
    ReleaseMutex(mutex);
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show) {
    wchar_t folder[MAX_PATH];
    HANDLE file;
    (void)instance;
    (void)previous;
    (void)line;
    (void)show;
    {
        int argc = 0;
        wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
        if (argv && argc == 3 && lstrcmpW(argv[1], L"--hold-import-lock") == 0)
            return HoldImportLock(argv[2]);
    }
    if (!GetCurrentDirectoryW(MAX_PATH, folder)) return 1;
    file = CreateFileW(L"mirvo-started.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    Append(file, GetCommandLineW());
    Append(file, folder);
    CloseHandle(file);
    return 0;
}

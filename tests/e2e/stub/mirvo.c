/* Stands in for the product in the end-to-end runs: records in its working folder that it was
   started, with its command line and that folder, then ends. */
#include <windows.h>

static void Append(HANDLE file, const wchar_t* text) {
    char bytes[4 * MAX_PATH];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, NULL, NULL);
    DWORD written;
    if (n > 1) WriteFile(file, bytes, (DWORD)(n - 1), &written, NULL);
    WriteFile(file, "\n", 1, &written, NULL);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show) {
    wchar_t folder[MAX_PATH];
    HANDLE file;
    (void)instance;
    (void)previous;
    (void)line;
    (void)show;
    if (!GetCurrentDirectoryW(MAX_PATH, folder)) return 1;
    file = CreateFileW(L"mirvo-started.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    Append(file, GetCommandLineW());
    Append(file, folder);
    CloseHandle(file);
    return 0;
}

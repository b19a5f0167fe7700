// The operating-system operations the tool needs, named after the Windows calls they stand
// for. The logic calls only these; win32/ implements them with the real calls, posix/ over a
// Wine prefix. Paths are Windows paths in UTF-16 in both builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/TextBuffer.h"

namespace platform {

constexpr int kMaxPath = 260;  // characters, terminator included

// Windows error codes the logic tells apart (the POSIX backend maps errno to them).
enum : uint32_t {
    kErrorSuccess = 0,
    kErrorFileNotFound = 2,
    kErrorPathNotFound = 3,
    kErrorAccessDenied = 5,
    kErrorNotEnoughMemory = 8,
    kErrorWriteFault = 29,
    kErrorSharingViolation = 32,
    kErrorLockViolation = 33,
    kErrorHandleDiskFull = 39,
    kErrorFileExists = 80,
    kErrorInvalidParameter = 87,
    kErrorDiskFull = 112,
    kErrorInsufficientBuffer = 122,
    kErrorInvalidName = 123,
    kErrorAlreadyExists = 183,
    kErrorFilenameExcedRange = 206,
    kErrorMoreData = 234,
    kErrorNoUnicodeTranslation = 1113,
};

// ---- errors -------------------------------------------------------------------------------

uint32_t GetLastError();
void SetLastError(uint32_t code);
// The first line of the system's message for the calling thread's last error, without its
// line break; empty when the system has none (Windows: FormatMessageW into 100 characters;
// POSIX: the text of the errno that caused the last error).
CString SystemErrorText();

// ---- text ---------------------------------------------------------------------------------

std::string ToUtf8(std::u16string_view text);
CString FromUtf8(std::string_view text);

// The ANSI code page (CP_ACP). POSIX: the one Wine chooses for the current locale.
uint32_t AnsiCodePage();
// Bytes of the ANSI code page to UTF-16, into `out` with exactly the converted length. Bytes
// invalid in the code page convert as the system does by default. False only when memory
// runs out (last error set).
bool AnsiToWide(const char* bytes, size_t count, TextBuffer& out);
// UTF-16 to the ANSI code page. `usedDefault` is set when a character had no equivalent and
// the code page's default character stands in its place. False only when memory runs out.
bool WideToAnsi(const char16_t* text, size_t count, std::string& out, bool& usedDefault);
// Block forms, for a file converted as it is read or written. AnsiToWideBlock converts the
// whole characters at the start of `bytes` into `out` (room for `count` characters); a
// character cut at the end of the block waits for the next one unless `last`. `consumed` and
// `produced` get the bytes taken and the characters written; `exact` is cleared when a
// character does not convert back to its own bytes (an invalid sequence, a substitute).
// WideToAnsiBlock converts `count` characters into `out` (room for 3 * `count` bytes) and
// returns the bytes written; `usedDefault` is set as by WideToAnsi. Both fail only for want
// of memory or a code page the system cannot convert (last error set).
bool AnsiToWideBlock(const char* bytes, size_t count, bool last, char16_t* out, size_t& consumed,
                     size_t& produced, bool& exact);
bool WideToAnsiBlock(const char16_t* text, size_t count, char* out, size_t& written,
                     bool& usedDefault);
// The same conversions for a named code page (used by tools and tests).
bool CodePageToWide(uint32_t codePage, const char* bytes, size_t count, TextBuffer& out);
bool WideToCodePage(uint32_t codePage, const char16_t* text, size_t count, std::string& out,
                    bool& usedDefault);

// ---- files (for the document's load and save; replaceable by a test double) ----------------

struct File;

class FileSystem {
  public:
    virtual ~FileSystem() = default;
    // Each returns null/false on failure with the last error set.
    virtual File* OpenRead(const char16_t* path) = 0;
    // Creates a new, empty file with a unique name in the folder of `target`.
    virtual File* CreateTemporary(const char16_t* target, CString& temporaryPath) = 0;
    virtual bool Size(File* file, int64_t& size) = 0;
    // Reads up to `count` bytes; `done` is what arrived.
    virtual bool Read(File* file, void* buffer, size_t count, size_t& done) = 0;
    virtual bool Write(File* file, const void* buffer, size_t count) = 0;
    // Forces the written bytes to the disk.
    virtual bool Flush(File* file) = 0;
    virtual bool Close(File* file) = 0;
    // Puts `source` in place of `target` in one step (replacing it when it exists) and makes
    // the change durable.
    virtual bool Replace(const char16_t* source, const char16_t* target) = 0;
    virtual bool Remove(const char16_t* path) = 0;
};

FileSystem& Files();
// The backend's own file system.
FileSystem& RealFiles();
// Installs a test double; null restores the real one. Returns the previous one.
FileSystem* SetFilesForTest(FileSystem* files);

// ---- registry (read only) -----------------------------------------------------------------

struct RegKeyImpl;
using RegKey = RegKeyImpl*;

// Opens `subKey` below HKEY_CURRENT_USER for reading (KEY_READ); names compare without case.
bool RegOpenCurrentUserKey(const char16_t* subKey, RegKey& key);
// Copies the value's data into `data` of `size` bytes; on return `size` is the data's size.
// Fails when the value is missing or does not fit. `type` receives the registry type.
bool RegQueryValue(RegKey key, const char16_t* valueName, void* data, uint32_t& size,
                   uint32_t* type);
void RegCloseKey(RegKey key);

enum : uint32_t { kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4, kRegMultiSz = 7 };

// ---- version records ----------------------------------------------------------------------

// Size of the file's version resource; 0 when it has none or the file is missing.
uint32_t GetFileVersionInfoSize(const char16_t* path);
bool GetFileVersionInfo(const char16_t* path, uint32_t size, void* data);
// The 13-word VS_FIXEDFILEINFO at the root block "\" of a resource read above.
bool VerQueryRoot(const void* data, uint32_t size, const uint32_t*& fixed);

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

// ---- paths --------------------------------------------------------------------------------

// PathCombineW into a buffer of kMaxPath characters.
bool PathCombine(char16_t* dest, const char16_t* folder, const char16_t* file);
// PathAppendW on a buffer of kMaxPath characters.
bool PathAppend(char16_t* path, const char16_t* more);

// ---- files and folders --------------------------------------------------------------------

bool CreateDirectory(const char16_t* path);
// CopyFileW. The copy is written to a temporary file in the destination's folder, forced to
// the disk and then moved into place, so the destination is never seen half written; with
// `failIfExists` the move never replaces a file, even one that appears meanwhile (error 80).
bool CopyFile(const char16_t* from, const char16_t* to, bool failIfExists);

// While one lives on a thread, that thread's CopyFile calls with failIfExists write their
// temporary files without forcing each to the disk and leave them beside their destinations;
// Commit (or the destructor) forces them all to the disk at once and only then moves each into
// place, never replacing a file. A crash still leaves every destination absent or whole, at
// the cost of one flush instead of one per file. (Windows: each copy completes on its own.)
class CopyBatch {
  public:
    CopyBatch();
    ~CopyBatch();
    CopyBatch(const CopyBatch&) = delete;
    CopyBatch& operator=(const CopyBatch&) = delete;
    // True when every copy was moved into place.
    bool Commit();

    struct State;

  private:
    State* state_;
};

// An exclusive lock between processes (and threads) on a lock file, which is created when
// missing and left in place. Windows: LockFileEx on its first byte; POSIX: an open-file-
// description fcntl lock on the same byte (the byte Windows programs under Wine take).
struct FileLock;
// Waits at most `timeoutMilliseconds` for the lock; null on failure with the last error set
// (kErrorLockViolation when another holder kept it for the whole time).
FileLock* LockFile(const char16_t* path, uint32_t timeoutMilliseconds);
// Releases the lock and closes the file; null is ignored.
void UnlockFile(FileLock* lock);

// A folder listing with CFileFind's behaviour.
class FileFind {
  public:
    FileFind();
    ~FileFind();
    FileFind(const FileFind&) = delete;
    FileFind& operator=(const FileFind&) = delete;
    // `pattern` is a folder followed by "\*.*". False when the folder cannot be listed.
    bool FindFile(const char16_t* pattern);
    // Steps to the next entry; the result says whether a further entry follows.
    bool FindNextFile();
    bool IsDots() const;
    bool IsDirectory() const;
    // A symbolic link or junction (reparse point), whatever it points at.
    bool IsLink() const;
    CString GetFileName() const;
    void Close();

    struct State;

  private:
    State* state_;
};

// ---- system facts -------------------------------------------------------------------------

struct OsVersionInfo {
    uint32_t size = 0;  // set by the caller: 284 (extended) or 276 (basic)
    uint32_t majorVersion = 0;
    uint32_t minorVersion = 0;
    uint32_t buildNumber = 0;
    uint32_t platformId = 0;
};
bool GetVersionEx(OsVersionInfo& info);
// Characters written without the terminator; 0 on failure, or the needed size when too small.
uint32_t GetWindowsDirectory(char16_t* buffer, uint32_t size);
uint32_t GetModuleFileName(char16_t* buffer, uint32_t size);

// ---- shell --------------------------------------------------------------------------------

bool ShellOpen(const char16_t* address);
bool ShellStart(const char16_t* file, const char16_t* workingFolder);

// ---- host paths (POSIX: through the Wine prefix; Windows: the same path) ------------------

CString HostToWindowsPath(const std::string& hostPath);
std::string WindowsToHostPath(const char16_t* windowsPath);

}  // namespace platform

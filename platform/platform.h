// The operating-system operations the tool needs, each named for what it does and documented
// with the Windows call it behaves like. The logic calls only these; win32/ implements them
// with the real calls, posix/ over a Wine prefix. Paths are Windows paths in UTF-16 in both
// builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <functional>
#include <string_view>
#include <vector>

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
    kErrorCannotMake = 82,
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
// AnsiToWideBlock for a named code page (0: the ANSI code page), for a catalog read as a
// system of another code page would read it.
bool CodePageToWideBlock(uint32_t codePage, const char* bytes, size_t count, bool last,
                         char16_t* out, size_t& consumed, size_t& produced, bool& exact);
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
    // Opens a regular file for reading, without waiting on a pipe (kErrorNotAFile).
    virtual File* OpenRead(const char16_t* path) = 0;
    // Creates a new, empty file with a unique short name (never longer than "~" and seven
    // characters) in the folder of the file that `target` stands for (through a symbolic link,
    // its target's). An existing target that is read-only is refused (kErrorAccessDenied).
    // (The import saves through TempFile instead, in folders it holds open.)
    virtual File* CreateTemporary(const char16_t* target, CString& temporaryPath) = 0;
    virtual bool Size(File* file, int64_t& size) = 0;
    // Reads up to `count` bytes; `done` is what arrived.
    virtual bool Read(File* file, void* buffer, size_t count, size_t& done) = 0;
    virtual bool Write(File* file, const void* buffer, size_t count) = 0;
    // Forces the written bytes to the disk.
    virtual bool Flush(File* file) = 0;
    virtual bool Close(File* file) = 0;
    // Puts `source` in place of `target` in one step (replacing it when it exists) and makes
    // the change durable. A replaced file keeps its identity: owner, mode, attributes and
    // access-control list; a symbolic link stays one and its target is replaced.
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
// RegQueryValueExW: copies the value's data into `data` of `size` bytes; on return `size` is
// the data's size. Fails when the value is missing or does not fit. `type` receives its type.
bool QueryRegistryValue(RegKey key, const char16_t* valueName, void* data, uint32_t& size,
                        uint32_t* type);
void RegCloseKey(RegKey key);

enum : uint32_t { kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4, kRegMultiSz = 7 };

// ---- version records ----------------------------------------------------------------------

// GetFileVersionInfoSizeW: size of the file's version resource; 0 when it has none or the
// file is missing. ReadVersionResource is GetFileVersionInfoW.
uint32_t VersionResourceSize(const char16_t* path);
bool ReadVersionResource(const char16_t* path, uint32_t size, void* data);
// The 13-word VS_FIXEDFILEINFO at the root block "\" of a resource read above.
bool VerQueryRoot(const void* data, uint32_t size, const uint32_t*& fixed);

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

// ---- paths --------------------------------------------------------------------------------

// PathCombineW into a buffer of kMaxPath characters.
bool CombinePath(char16_t* dest, const char16_t* folder, const char16_t* file);
// PathAppendW on a buffer of kMaxPath characters.
bool AppendPath(char16_t* path, const char16_t* more);

// ---- files and folders --------------------------------------------------------------------

// CreateDirectoryW: one level; fails with kErrorAlreadyExists when the name is taken.
bool CreateFolder(const char16_t* path);
// ---- folders reached by handle ------------------------------------------------------------

// A link the link rule does not let the import follow (see Folder::OpenFolder); set as the
// last error by the calls below. An application code: no system message goes with it.
constexpr uint32_t kErrorLinkRefused = 0x20000001;
// A file that is not a regular file where one is needed (a pipe, a device, a folder).
constexpr uint32_t kErrorNotAFile = 0x20000002;

enum class EntryKind : uint8_t { Missing, File, Folder, Link, Other };

struct FolderEntry {
    CString name;
    EntryKind kind = EntryKind::Missing;
};

// What tells one version of a file from another: its volume and index there, its size, its
// last write and (POSIX) change times.
struct FileStamp {
    uint64_t volume = 0;
    uint64_t index = 0;
    int64_t size = -1;
    int64_t written = 0;
    int64_t changed = 0;
    bool operator==(const FileStamp&) const = default;
};

// An open folder. Every name below it is reached through it, never by a path another user
// could swap between a look and a use: POSIX opens with O_NOFOLLOW | O_DIRECTORY and the *at
// calls; Windows holds a handle that forbids renaming or deleting the folder and calls the NT
// functions relative to it. A link is followed only under the link rule: POSIX, where its
// owner is the importing user, root or the owner of the folder that holds it (the rule Linux
// applies in sticky folders); Windows, where it is a link Windows lets the user follow. Names
// are UTF-16; natively a name's bytes that are not UTF-8 come back unchanged through it.
class Folder {
  public:
    Folder();
    ~Folder();
    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    bool IsOpen() const;
    // The Windows path the folder was reached by, for what the user is told.
    const CString& Path() const;
    // Opens the folder `path` names; the folders above it are taken as they are, a link as its
    // last name only under the link rule (kErrorLinkRefused otherwise).
    bool Open(const char16_t* path);
    // Opens the same folder again, with a handle (and a lock) of its own.
    bool Duplicate(Folder& out) const;
    // Opens the subfolder `name`. A link there is followed under the link rule when
    // `followLinks`, else refused (kErrorLinkRefused). Something else than a folder fails
    // with kErrorPathNotFound (Windows' answer for a file used as a folder).
    bool OpenFolder(const CString& name, Folder& out, bool followLinks) const;
    // Creates the subfolder `name` and opens it; fails with kErrorAlreadyExists when the name
    // is taken. Hidden: hidden from the user. Own: hidden too, and only this user can reach
    // into it (natively 0700, checked to be the folder this call made).
    enum class Make { Plain, Hidden, Own };
    bool CreateFolder(const CString& name, Folder& out, Make make = Make::Plain) const;
    // The entries, without "." and ".."; each kind as a look that follows no link tells.
    // Natively, names no Windows path can reach are left out, as FileFind does; `unreachable`
    // then counts them. Windows: a name Wine could not show (U+FFFD in it) is listed as is.
    bool List(std::vector<FolderEntry>& entries, size_t* unreachable = nullptr) const;
    // What `name` is, following no link.
    EntryKind Kind(const CString& name) const;
    // Removes the file or the empty subfolder `name` (a read-only file too).
    bool Remove(const CString& name, bool folder) const;
    // Opens the regular file `name` for reading, following a link under the link rule when
    // `followLinks` (else refused). Never waits on a pipe: anything but a regular file is
    // refused with kErrorNotAFile. With `real`, the folder and name of the file it really is
    // (through links) are given too; a dangling link gives kErrorFileNotFound and, in
    // `real`, where it points.
    File* OpenFile(const CString& name, bool followLinks, Folder* realFolder = nullptr,
                   CString* realName = nullptr) const;
    // The stamp of `name` (following no link) or of the folder itself (empty name).
    bool Stamp(const CString& name, FileStamp& stamp) const;
    // Whether this user may replace the file `name` (a write access and no read-only mark)
    // and create files in this folder.
    bool MayReplace(const CString& name) const;
    // The volume the folder is on: staged copies move only within one.
    uint64_t Volume() const;
    // Waits for an exclusive advisory lock on the folder held until it is closed; `waiting`
    // is called once if another holder makes it wait. False when a stop was requested
    // meanwhile or the lock cannot be had (last error set). POSIX: flock on the folder;
    // Windows: a handle that shares no deletion is already held, and this does nothing.
    bool Lock(const std::function<void()>& waiting = {}) const;
    // Takes the lock only if it is free.
    bool TryLock() const;
    // Forces the folder's entries, and everything on its file system, to the disk.
    bool Sync(bool wholeVolume) const;

    struct State;

  private:
    State* state_;
    friend class TempFile;
};

class Sha256;

// A new file written beside its destination and then kept (moved into place) or discarded,
// as LLVM's sys::fs::TempFile: whatever happens, the destination is absent, old or whole.
class TempFile {
  public:
    TempFile();
    // Discards what was not kept.
    ~TempFile();
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Creates an empty file under a unique short name ("~" and seven characters) in
    // `folder`, which stays open as long as this does: through a handle of its own, or, when
    // `folderStaysOpen`, through `folder`'s, which the caller then keeps open until the file
    // is kept or discarded.
    bool Create(const Folder& folder, bool folderStaysOpen = false);
    // The open file, to write through Files(). Null once closed.
    File* Handle() const;
    // Fills the new file with a copy of the regular file `name` of `from`: its bytes, time
    // stamps and read-only attribute (natively the mode, as cp sets it), and closes it.
    // Anything but a regular file is refused without being read (kErrorNotAFile); a link is
    // not followed. `digest`, when given, is fed the bytes copied.
    bool CopyFrom(const Folder& from, const CString& name, Sha256* digest = nullptr);
    // Gives the new file what the file `name` of `folder` has: owner, mode, attributes,
    // access-control list. Nothing to do when there is no such file.
    bool MatchIdentity(const Folder& folder, const CString& name);
    // Lets its owner write it again (POSIX: the owner's write bit; Windows: no read-only mark).
    bool MakeWritable();
    // Ends the writing (Windows: flushed, its times set, still open for the move), keeping
    // it for Keep or Discard. Handle() is null after it.
    bool Close();
    // Moves it to `name` in `destination` (same volume), replacing an existing file only
    // when `replace` (kErrorFileExists otherwise, the file kept for another try or Discard).
    bool Keep(const Folder& destination, const CString& name, bool replace);
    // Removes it.
    void Discard();

    struct State;

  private:
    State* state_;
};

// The stamp of an open file.
bool StampOf(File* file, FileStamp& stamp);
// Whether `name` is one the system listed for a name it could not read: Wine shows a host name
// that is not UTF-8 with U+FFFD in it, and no file opens by that name. (POSIX: never.)
bool NameLost(const CString& name);

// ---- staging: copies that are whole or absent ----------------------------------------------

// How many staged copies wait for one commit at most. Windows keeps each open until it is
// moved, and so holds fewer.
size_t MaxStagedCopies();

// The hidden folder that holds every staging folder of a destination's file system.
inline constexpr char16_t kStagingFolderName[] = u".brevlo";

// Copies on their way to their destinations: each goes under a short name into a staging
// folder of this product on the destination's file system (".brevlo\<product key>.<n>", at
// most 256 entries in any folder, spread over numbered subfolders), all are forced to the disk
// together and only then moved into place, never replacing a file unless asked to. A staging
// folder is locked while it is in use; the leftovers of a killed run of the same product are
// cleared by the next. Nothing but the staging's own names is ever removed: anything else in
// ".brevlo" is refused by Inspect before anything changes.
class Staging {
  public:
    // `product` is the open product data folder (its identity names the staging folders).
    explicit Staging(const Folder& product);
    // Drops what was not committed and removes the staging folders.
    ~Staging();
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    // Looks into `folder`'s ".brevlo", changing nothing: true when it holds only staging
    // folders (this product's unlocked ones hold only staged names). Otherwise false, with
    // the entry that is in the way in `entry` (".brevlo\..." below `folder`).
    bool Inspect(const Folder& folder, CString& entry) const;
    // Copies the regular file `name` of `from` into a new file on the file system of
    // `destination`, to go to `to` there (see TempFile::CopyFrom; `writable` lets its owner
    // write it). Unless `replace`, an existing `to` (a link counts) is refused before anything
    // is copied, with kErrorFileExists. `digest`, when given, is fed the bytes copied.
    bool StageCopy(const Folder& from, const CString& name, const Folder& destination,
                   const CString& to, bool replace, bool writable = false,
                   Sha256* digest = nullptr);
    // Whether enough waits for a Commit: it holds the destination folders open until then.
    bool Full() const;
    // Forces the staged copies to the disk, then moves each into place. False when one could
    // not be: `failed` then names the first such destination and `message` gives the system's
    // text for why. A destination that appeared meanwhile keeps its content and is no failure
    // when it was not to be replaced. Tries every one. `placed`, when given, gets for each
    // copy, in the order staged, whether it went into place.
    bool Commit(CString* failed = nullptr, CString* message = nullptr,
                std::vector<bool>* placed = nullptr);
    // How many copies wait for Commit.
    size_t Pending() const;
    // The staging folder on `destination`'s volume, made when there is none yet: in the
    // product data folder on its volume, else in `destination` itself. Null with the last
    // error set when it cannot be.
    const Folder* AreaFor(const Folder& destination);
    // Drops the staged copies and removes the staging folders.
    void Remove();

    struct State;

  private:
    State* state_;
};

// ---- the import lock ----------------------------------------------------------------------

// Serializes imports of one product data folder, leaving no file anywhere and without a
// timeout. POSIX: an advisory lock (flock) on the open data folder itself, which no other user
// can replace or redirect. Windows: a named mutex in the session's namespace keyed on the
// folder's full path (one abandoned by a killed holder is taken over). The system releases it
// when its holder dies.
struct ImportLock;
// Waits for the lock, calling `waiting` once if it has to wait; null when a stop was
// requested meanwhile or the lock cannot be had (the last error set).
ImportLock* AcquireImportLock(const Folder& folder, const std::function<void()>& waiting = {});
// Releases the lock; null is ignored.
void ReleaseImportLock(ImportLock* lock);

// ---- stopping -----------------------------------------------------------------------------

// POSIX: ignores SIGPIPE, and makes SIGINT, SIGTERM and SIGHUP request a stop instead of
// ending the process. Windows: nothing to do.
void InstallStopSignals();
// True once a stop was requested; long operations look at it between files.
bool StopRequested();
// Sets or clears the request (tests, and the POSIX signal handlers).
void RequestStop(bool stop);

// Whether a Windows directory entry is a symbolic link or junction, given its attributes and
// its reparse tag (WIN32_FIND_DATAW.dwReserved0). Other reparse points (cloud placeholders,
// deduplicated files) are ordinary files and folders.
bool IsLinkReparsePoint(uint32_t attributes, uint32_t reparseTag);

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
    bool FindNext();
    bool IsDots() const;
    bool IsDirectory() const;
    // A symbolic link or junction, whatever it points at.
    bool IsLink() const;
    // A regular file: not a folder, link, pipe, socket or device.
    bool IsFile() const;
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
// GetVersionExW.
bool QueryOsVersion(OsVersionInfo& info);
// GetWindowsDirectoryW and GetModuleFileNameW (own module): characters written without the
// terminator; 0 on failure, or the needed size when too small.
uint32_t GetWindowsFolder(char16_t* buffer, uint32_t size);
uint32_t GetModulePath(char16_t* buffer, uint32_t size);
// The folder a pack is looked for in when none stands beside the tool: POSIX, the current
// folder (an installed tool lives in /usr/bin, apart from every pack); Windows, none (the tool
// ships inside its pack). Empty when there is none.
CString PackSearchFolder();
// Makes GetModulePath report `windowsPath` instead of the running executable, so that a
// test can put the pack beside a tool path of its own; empty restores the real one.
void SetModulePathForTest(const CString& windowsPath);
// The path set above, or null.
const CString* ModulePathForTest();

// ---- shell --------------------------------------------------------------------------------

bool ShellOpen(const char16_t* address);
bool ShellStart(const char16_t* file, const char16_t* workingFolder);

// ---- host paths (POSIX: through the Wine prefix; Windows: the same path) ------------------

CString HostToWindowsPath(const std::string& hostPath);
std::string WindowsToHostPath(const char16_t* windowsPath);

// ---- memory -------------------------------------------------------------------------------

// A hint for a block of many megabytes that is about to be written: back it with the system's
// large pages where it offers them, so that fresh memory faults once per 2 MB instead of once
// per 4 KB page. Blocks under 2 MB are left alone; the contents never change. (POSIX:
// madvise MADV_HUGEPAGE over the block's pages, which transparent huge pages take in their
// "madvise" and "always" settings; Windows: nothing, its large pages need a privilege that
// the tool does not ask for.)
void AdviseLargePages(void* block, size_t bytes);

// A block for many records or characters, released with std::free; nullptr when memory runs
// out. From 2 MB up it starts on a 2 MB boundary and is advised as above, so that the whole of
// it can lie on large pages (Windows: plain malloc).
void* AllocateLarge(size_t bytes);

// ---- digests and the user's own folders ----------------------------------------------------

// SHA-256 of bytes given in pieces (Windows: BCrypt; POSIX: OpenSSL's libcrypto).
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // False when the system could not hash (the digest is then empty).
    bool Update(const void* data, size_t size);
    // The digest as 64 lower-case hexadecimal digits; empty when hashing failed. Ends the hash.
    std::string HexDigest();
    // How many bytes were given.
    uint64_t Length() const;

    struct State;

  private:
    State* state_;
};

// The user's local application data folder (%LOCALAPPDATA%), as a Windows path. POSIX: the
// one the Windows build sees in the Wine prefix, C:\users\<user>\AppData\Local, where the
// user is $USER, else the account's name, as Wine names it.
CString LocalAppDataFolder();

}  // namespace platform

// ---- the companion tool: a console program ------------------------------------------------

#include <vector>

// The tool's own entry point, which the tool defines. The platform's entry point (the library
// brevlo_tool_entry: main, or wmain on Windows) sets standard output to pass bytes
// untranslated and calls it with the command line in UTF-16, the program's name first.
int ToolMain(const std::vector<CString>& arguments);

namespace platform {

enum class ToolStream { Output, Error };

// Writes UTF-8 text for people to standard output or standard error: into a Windows console
// as wide characters (WriteConsoleW), so that every script shows; elsewhere the bytes, through
// the C library's stream. False on a write error.
bool WriteToolText(ToolStream stream, std::string_view utf8);

// A path from the command line as the other calls take it. Windows: as it is. POSIX: an
// absolute host path (a relative one joined to the current folder), which the backend maps as
// every path that starts with "/".
CString CommandLinePath(const CString& argument);

// Whether `path` names an existing file, through links, that is neither a regular file nor a
// folder: a FIFO, a device or a terminal (Windows: GetFileType is not FILE_TYPE_DISK, as for
// "NUL" and "CON"). Such a file is written into: replacing it would put a regular file in its
// place.
bool IsStreamFile(const char16_t* path);
// Opens the existing file `path` for writing, without creating, truncating or replacing it
// (CreateFileW with OPEN_EXISTING), and writes `count` bytes into it. False with the last
// error set.
bool WriteIntoFile(const char16_t* path, const void* data, size_t count);

// One entry of a folder tree.
struct TreeEntry {
    enum Kind { File, Folder, Link, Special };
    CString path;  // relative to the listed folder, with "/"
    Kind kind = File;
};
// Every entry below `folder`, sorted by path; links are listed, not followed. POSIX: every
// host name, also those no Windows path reaches (a trailing dot or space, a backslash), which
// FileFind hides; Windows: as FileFind lists them. False, with the last error set, when
// `folder` itself cannot be listed.
bool ListTree(const CString& folder, std::vector<TreeEntry>& entries);

}  // namespace platform

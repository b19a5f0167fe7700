// Folder listings with CFileFind's behaviour: "." and ".." first, Windows' wildcards, names no
// Windows path can reach left out, and the entry types the listing gives.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/ascii_fold.h"
#include "platform/platform.h"
#include "platform/posix/errors_posix.h"
#include "platform/posix/prefix_posix.h"

namespace platform {

using posix::HostPath;
using posix::SetError;
using posix::SetErrorFromErrno;
using posix::Target;

// ---- FileFind ----------------------------------------------------------------------------

struct FileFind::State {
    std::string folder;  // host folder being listed
    // Matching entries, "." and ".." first, with the type the listing gave (DT_UNKNOWN when
    // the file system gives none).
    std::vector<std::pair<std::string, unsigned char>> names;
    size_t next = 0;  // index of the entry FindNext moves to
    bool hasCurrent = false;
    std::string current;
    bool directory = false;
    bool link = false;
    bool file = false;
};

namespace {

// Windows' wildcards: '*' any run, '?' one character, without regard to ASCII case. "*.*"
// matches every name, with or without a dot.
bool Matches(const char* mask, const char* name) {
    if (mask[0] == '*' && mask[1] == '.' && mask[2] == '*' && mask[3] == 0) return true;
    const char* starMask = nullptr;
    const char* starName = nullptr;
    while (*name) {
        if (*mask == '*') {
            starMask = ++mask;
            starName = name;
        } else if (*mask == '?' || FoldAscii(*mask) == FoldAscii(*name)) {
            ++mask;
            ++name;
        } else if (starMask) {
            mask = starMask;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*mask == '*') ++mask;
    return *mask == 0;
}

}  // namespace

FileFind::FileFind() : state_(new State) {}

FileFind::~FileFind() {
    delete state_;
}

void FileFind::Close() {
    state_->names.clear();
    state_->folder.clear();
    state_->next = 0;
    state_->hasCurrent = false;
}

bool FileFind::FindFile(const char16_t* pattern) {
    Close();
    CString text(pattern ? pattern : u"");
    size_t slash = text.find_last_of(u"\\/");
    // Without its last separator, the folder is looked up like any other path.
    CString folder = slash == CString::npos ? CString(u".") : text.substr(0, slash ? slash : 1);
    std::string mask = ToUtf8(slash == CString::npos ? text : text.substr(slash + 1));
    std::string host = HostPath(folder.c_str());
    DIR* dir = ::opendir(host.c_str());
    if (!dir) {
        int err = errno;
        SetErrorFromErrno(err == ENOENT ? ENOTDIR : err, Target::Folder, host);
        return false;
    }
    std::vector<std::pair<std::string, unsigned char>> names;
    bool dot = false, dotDot = false;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == ".") {
            dot = true;
        } else if (name == "..") {
            dotDot = true;
        } else if (name.find('\\') != std::string::npos || name.back() == '.' ||
                   name.back() == ' ') {
            // Host names that no Windows path can reach (Wine shows them mangled): read as a
            // path, a backslash climbs out of the folder and a trailing dot or space is
            // dropped, so that "..." would name the folder itself and a copy would recurse
            // into it without end. They are not listed.
            continue;
        } else if (Matches(mask.c_str(), name.c_str())) {
            names.emplace_back(std::move(name), entry->d_type);
        }
    }
    ::closedir(dir);
    // Windows lists "." and ".." first, as NTFS and Wine do.
    std::vector<std::pair<std::string, unsigned char>> ordered;
    ordered.reserve(names.size() + 2);
    if (dot && Matches(mask.c_str(), ".")) ordered.emplace_back(".", DT_DIR);
    if (dotDot && Matches(mask.c_str(), "..")) ordered.emplace_back("..", DT_DIR);
    for (auto& name : names) ordered.push_back(std::move(name));
    if (ordered.empty()) {
        SetError(kErrorFileNotFound, ENOENT);
        return false;
    }
    state_->folder = host;
    state_->names = std::move(ordered);
    return true;
}

bool FileFind::FindNext() {
    State& s = *state_;
    if (s.next >= s.names.size()) return false;
    unsigned char type;
    std::tie(s.current, type) = s.names[s.next++];
    s.hasCurrent = true;
    // The listing's type saves a look at each entry; a link's target is looked at.
    std::string full = s.folder + "/" + s.current;
    struct stat st;
    if (type == DT_UNKNOWN && ::lstat(full.c_str(), &st) == 0)
        type = S_ISLNK(st.st_mode)   ? DT_LNK
               : S_ISREG(st.st_mode) ? DT_REG
               : S_ISDIR(st.st_mode) ? DT_DIR
                                     : DT_UNKNOWN;
    s.link = type == DT_LNK;
    s.file = type == DT_REG;
    s.directory =
        type == DT_DIR || (s.link && ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    if (s.next >= s.names.size()) {
        SetError(18, 0);  // ERROR_NO_MORE_FILES
        return false;
    }
    return true;
}

bool FileFind::IsDots() const {
    return state_->hasCurrent && (state_->current == "." || state_->current == "..");
}

bool FileFind::IsDirectory() const {
    return state_->hasCurrent && state_->directory;
}

bool FileFind::IsLink() const {
    return state_->hasCurrent && state_->link;
}

bool FileFind::IsFile() const {
    return state_->hasCurrent && state_->file;
}

CString FileFind::GetFileName() const {
    return state_->hasCurrent ? FromUtf8(state_->current) : CString();
}

}  // namespace platform

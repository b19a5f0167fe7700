// Last errors on POSIX: errno mapped to the Windows code the callers test for, kept per thread,
// and the message text Windows would give for it.
#include "platform/posix/errors_posix.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

thread_local uint32_t tLastError = 0;
thread_local int tLastErrno = 0;

// The errno that best describes a code set by the logic itself.
int ErrnoForCode(uint32_t code) {
    switch (code) {
        case kErrorFileNotFound:
        case kErrorPathNotFound:
            return ENOENT;
        case kErrorAccessDenied:
            return EACCES;
        case kErrorNotEnoughMemory:
            return ENOMEM;
        case kErrorWriteFault:
            return EIO;
        case kErrorSharingViolation:
        case kErrorLockViolation:
        case kErrorCannotMake:
            return EBUSY;
        case kErrorHandleDiskFull:
        case kErrorDiskFull:
            return ENOSPC;
        case kErrorFileExists:
        case kErrorAlreadyExists:
            return EEXIST;
        case kErrorInvalidParameter:
        case kErrorInvalidName:
            return EINVAL;
        case kErrorInsufficientBuffer:
        case kErrorMoreData:
            return ENOBUFS;
        case kErrorFilenameExcedRange:
            return ENAMETOOLONG;
        case kErrorNoUnicodeTranslation:
            return EILSEQ;
        default:
            return 0;
    }
}

bool FolderExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentOf(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

namespace posix {

void SetError(uint32_t code, int err) {
    tLastError = code;
    tLastErrno = err;
}

void SetErrorFromErrno(int err, Target target, const std::string& hostPath) {
    uint32_t code;
    switch (err) {
        case 0:
            code = kErrorSuccess;
            break;
        case ENOENT:
            code = (hostPath.empty() || FolderExists(ParentOf(hostPath))) ? kErrorFileNotFound
                                                                          : kErrorPathNotFound;
            break;
        case ENOTDIR:
            code = kErrorPathNotFound;
            break;
        case EACCES:
        case EPERM:
        case EISDIR:
            code = kErrorAccessDenied;
            break;
        case EROFS:
            code = 19;  // ERROR_WRITE_PROTECT
            break;
        case EEXIST:
            code = target == Target::Folder ? kErrorAlreadyExists : kErrorFileExists;
            break;
        case ENOTEMPTY:
            code = 145;  // ERROR_DIR_NOT_EMPTY
            break;
        case ENOSPC:
        case EDQUOT:
            code = kErrorDiskFull;
            break;
        case EFBIG:
            code = 223;  // ERROR_FILE_TOO_LARGE
            break;
        case ENAMETOOLONG:
            code = kErrorFilenameExcedRange;
            break;
        case ENOMEM:
            code = kErrorNotEnoughMemory;
            break;
        case EMFILE:
        case ENFILE:
            code = 4;  // ERROR_TOO_MANY_OPEN_FILES
            break;
        case EBUSY:
        case ETXTBSY:
            code = kErrorSharingViolation;
            break;
        case EINVAL:
            code = kErrorInvalidParameter;
            break;
        case EBADF:
            code = 6;  // ERROR_INVALID_HANDLE
            break;
        case EXDEV:
            code = 17;  // ERROR_NOT_SAME_DEVICE
            break;
        case ELOOP:
            code = 1921;  // ERROR_CANT_RESOLVE_FILENAME
            break;
        case EIO:
            code = 1117;  // ERROR_IO_DEVICE
            break;
        default:
            code = 31;  // ERROR_GEN_FAILURE
            break;
    }
    SetError(code, err);
}

}  // namespace posix

uint32_t GetLastError() {
    return tLastError;
}

void SetLastError(uint32_t code) {
    posix::SetError(code, ErrnoForCode(code));
}

CString SystemErrorText() {
    if (tLastError == kErrorSuccess || tLastErrno == 0) return {};
    char buffer[256];
    // GNU strerror_r: returns the text, which need not be in `buffer`.
    const char* text = ::strerror_r(tLastErrno, buffer, sizeof buffer);
    if (!text) return {};
    std::string_view view(text);
    view = view.substr(0, view.find_first_of("\r\n"));
    return FromUtf8(view);
}

}  // namespace platform

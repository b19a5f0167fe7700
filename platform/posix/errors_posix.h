// Last-error bookkeeping of the POSIX backend: a Windows error code per thread, with the errno
// behind it so that SystemErrorText can describe it.
#pragma once

#include <cstdint>
#include <string>

namespace platform::posix {

// What the failed call was about; errno alone cannot tell Windows' codes apart.
enum class Target { File, Folder };

// Sets the last error from `err`. For ENOENT the parent folder of `hostPath` is looked at:
// missing gives ERROR_PATH_NOT_FOUND, present ERROR_FILE_NOT_FOUND.
void SetErrorFromErrno(int err, Target target, const std::string& hostPath);
// Sets a Windows code together with the errno that describes it.
void SetError(uint32_t code, int err);

}  // namespace platform::posix

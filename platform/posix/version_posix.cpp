// Version records straight from the PE file, read through pread so that a large executable
// is never loaded whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/pe_reader.h"
#include "platform/platform.h"
#include "platform/posix/errors_posix.h"

namespace platform {

namespace {

constexpr uint32_t kErrorResourceDataNotFound = 1812;

class FileSource : public pe::Source {
  public:
    FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool ReadAt(uint64_t offset, void* out, size_t count) const override {
        if (offset > size_ || count > size_ - offset) return false;
        auto* p = static_cast<char*>(out);
        while (count) {
            ssize_t got = ::pread(fd_, p, count, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            p += got;
            offset += static_cast<uint64_t>(got);
            count -= static_cast<size_t>(got);
        }
        return true;
    }

  private:
    int fd_;
    uint64_t size_;
};

class OpenFile {
  public:
    explicit OpenFile(const char16_t* path) {
        std::string host = WindowsToHostPath(path);
        fd_ = host.empty() ? -1 : ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            posix::SetErrorFromErrno(host.empty() ? ENOENT : errno, posix::Target::File, host);
            return;
        }
        struct stat st;
        if (::fstat(fd_, &st) != 0) {
            posix::SetErrorFromErrno(errno, posix::Target::File, host);
            Close();
        } else if (!S_ISREG(st.st_mode)) {
            posix::SetErrorFromErrno(EACCES, posix::Target::File, host);
            Close();
        } else {
            size_ = static_cast<uint64_t>(st.st_size);
        }
    }
    ~OpenFile() { Close(); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    FileSource Source() const { return FileSource(fd_, size_); }

  private:
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_ = -1;
    uint64_t size_ = 0;
};

}  // namespace

uint32_t VersionResourceSize(const char16_t* path) {
    OpenFile file(path);
    if (!file.IsOpen()) return 0;
    uint64_t offset;
    uint32_t size;
    if (!pe::FindVersionResource(file.Source(), offset, size)) {
        SetLastError(kErrorResourceDataNotFound);
        return 0;
    }
    return size;
}

bool ReadVersionResource(const char16_t* path, uint32_t size, void* data) {
    if (!data || size == 0) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    OpenFile file(path);
    if (!file.IsOpen()) return false;
    uint64_t offset;
    uint32_t found;
    FileSource source = file.Source();
    if (!pe::FindVersionResource(source, offset, found)) {
        SetLastError(kErrorResourceDataNotFound);
        return false;
    }
    // Like Windows, a smaller buffer receives the beginning of the resource.
    if (!source.ReadAt(offset, data, found < size ? found : size)) {
        posix::SetErrorFromErrno(EIO, posix::Target::File, {});
        return false;
    }
    return true;
}

bool VerQueryRoot(const void* data, uint32_t size, const uint32_t*& fixed) {
    size_t offset;
    if (!pe::FindFixedFileInfo(data, size, offset)) {
        SetLastError(kErrorResourceDataNotFound);
        return false;
    }
    fixed = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(data) + offset);
    return true;
}

}  // namespace platform

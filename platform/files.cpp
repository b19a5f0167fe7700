// The file system the document's load and save go through: the real one, or a test double.
#include <atomic>

#include "platform/platform.h"

namespace platform {

namespace {
std::atomic<FileSystem*> gFiles{nullptr};
}  // namespace

FileSystem& Files() {
    FileSystem* files = gFiles.load(std::memory_order_acquire);
    return files ? *files : RealFiles();
}

FileSystem* SetFilesForTest(FileSystem* files) {
    FileSystem* previous = gFiles.exchange(files, std::memory_order_acq_rel);
    return previous ? previous : &RealFiles();
}

}  // namespace platform

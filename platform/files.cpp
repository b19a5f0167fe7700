// The test seams: the file system the document's load and save go through (the real one, or a
// test double), and the module path the import finds its pack by.
#include <atomic>

#include "platform/platform.h"

namespace platform {

namespace {
std::atomic<FileSystem*> gFiles{nullptr};
// Set by a test before the import's threads start, and only read while they run.
CString gModulePath;
}  // namespace

FileSystem& Files() {
    FileSystem* files = gFiles.load(std::memory_order_acquire);
    return files ? *files : RealFiles();
}

FileSystem* SetFilesForTest(FileSystem* files) {
    FileSystem* previous = gFiles.exchange(files, std::memory_order_acq_rel);
    return previous ? previous : &RealFiles();
}

void SetModulePathForTest(const CString& windowsPath) {
    gModulePath = windowsPath;
}

const CString* ModulePathForTest() {
    return gModulePath.empty() ? nullptr : &gModulePath;
}

}  // namespace platform

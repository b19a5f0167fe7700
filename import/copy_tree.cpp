// Recursive copy of the material folder, depth first, never replacing an existing file when
// overwrite is 0. Iterative, so a deep pack cannot exhaust the stack. Copies go through the
// platform's staging, so each destination is absent or whole whatever happens.
#include <memory>
#include <vector>

#include "import/copy_tree.h"
#include "platform/platform.h"

namespace {

bool Fail(CopyFailure* failure, const CString& path) {
    if (failure && failure->path.empty()) {
        failure->path = path;
        failure->message = platform::SystemErrorText();
    }
    return false;
}

}  // namespace

bool CopyTree(const CString& source, const CString& destination, int overwrite,
              CopyFailure* failure) {
    struct Level {
        platform::FileFind find;
        CString source;
        CString destination;
        bool more = true;
    };
    std::vector<std::unique_ptr<Level>> levels;
    bool complete = true;
    auto open = [&](const CString& from, const CString& to) {
        auto level = std::make_unique<Level>();
        if (!level->find.FindFile((from + u"\\*.*").c_str())) {
            // A pack without a folder has nothing to copy; a subfolder that cannot be listed
            // is a part of the pack that would be missing.
            if (!levels.empty()) complete = Fail(failure, from);
            return;
        }
        level->source = from;
        level->destination = to;
        levels.push_back(std::move(level));
    };
    // Each folder of both trees is looked up once, not once for every file in it.
    platform::FolderLookupScope lookups;
    platform::Staging staging;
    open(source, destination);
    if (levels.empty()) return complete;
    if (!staging.Open(destination.c_str())) return Fail(failure, destination);
    while (!levels.empty()) {
        if (platform::StopRequested()) return false;  // the staging goes with it
        Level& level = *levels.back();
        if (!level.more) {
            level.find.Close();
            levels.pop_back();
            continue;
        }
        level.more = level.find.FindNext();
        if (level.find.IsDots()) continue;
        const CString name = level.find.GetFileName();
        // A pack's own folder of that name would be taken for the staging.
        if (levels.size() == 1 && name == platform::kStagingFolderName) continue;
        const CString from = level.source + u"\\" + name;
        const CString to = level.destination + u"\\" + name;
        // A link could loop forever or pull files from outside the pack into the product; a
        // pipe or device is no material and could block the copy for ever.
        if (level.find.IsLink()) continue;
        if (level.find.IsDirectory()) {
            if (platform::CreateFolder(to.c_str()) ||
                platform::GetLastError() == platform::kErrorAlreadyExists)
                open(from, to);
            else
                complete = Fail(failure, to);
        } else if (level.find.IsFile()) {
            if (!staging.StageFile(from.c_str(), to.c_str(), overwrite == 0) &&
                platform::GetLastError() != platform::kErrorFileExists)
                complete = Fail(failure, to);
        }
    }
    CString failed, message;
    if (!staging.Commit(&failed, &message)) {
        complete = false;
        if (failure && failure->path.empty()) {
            failure->path = failed.empty() ? destination : failed;
            failure->message = message;
        }
    }
    return complete;
}

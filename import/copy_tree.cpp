// Recursive copy of the material folder, depth first, never replacing an existing file when
// overwrite is 0. Iterative, so a deep pack cannot exhaust the stack.
#include <memory>
#include <vector>

#include "import/import.h"
#include "platform/platform.h"

void CopyTree(const CString& source, const CString& destination, int overwrite) {
    struct Level {
        platform::FileFind find;
        CString source;
        CString destination;
        bool more = true;
    };
    std::vector<std::unique_ptr<Level>> levels;
    auto open = [&](const CString& from, const CString& to) {
        auto level = std::make_unique<Level>();
        if (!level->find.FindFile((from + u"\\*.*").c_str())) return;
        level->source = from;
        level->destination = to;
        levels.push_back(std::move(level));
    };
    // The copies reach the disk together, and only then their final names.
    platform::CopyBatch batch;
    open(source, destination);
    while (!levels.empty()) {
        Level& level = *levels.back();
        if (!level.more) {
            level.find.Close();
            levels.pop_back();
            continue;
        }
        level.more = level.find.FindNextFile();
        if (level.find.IsDots()) continue;
        const CString name = level.find.GetFileName();
        const CString from = level.source + u"\\" + name;
        const CString to = level.destination + u"\\" + name;
        // A link could loop forever or pull files from outside the pack into the product.
        if (level.find.IsLink()) continue;
        if (level.find.IsDirectory()) {
            if (platform::CreateDirectory(to.c_str()) ||
                platform::GetLastError() == platform::kErrorAlreadyExists)
                open(from, to);
        } else {
            platform::CopyFile(from.c_str(), to.c_str(), overwrite == 0);
        }
    }
    batch.Commit();
}

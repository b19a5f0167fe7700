// brevlo-import-peak PRODUCT PACK OUT: the catalog step of an import, alone in its process, so
// that the process's peak memory is the import's (measured by whoever starts it).
#include <cstdio>

#include "import/catalog_merge.h"
#include "platform/platform.h"
#include "xml/XmlDocument.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: brevlo-import-peak PRODUCT PACK OUT\n");
        return 2;
    }
    CXmlDocument source, target;
    if (!target.LoadFile(platform::HostToWindowsPath(argv[1]).c_str()) ||
        !source.LoadFile(platform::HostToWindowsPath(argv[2]).c_str()))
        return 1;
    MergeCatalog(source, target);
    UpdateItemCounts(target);
    return target.SaveFile(platform::HostToWindowsPath(argv[3]).c_str()) ? 0 : 1;
}

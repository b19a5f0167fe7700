// The companion tool's entry point: the wide command line as it is; standard output in binary
// mode, so that a catalog's bytes reach it without a carriage return added to each line.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <vector>

#include "platform/platform.h"

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<CString> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    return ToolMain(arguments);
}

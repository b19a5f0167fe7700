// The companion tool's entry point: the command line, in UTF-8 here, as UTF-16 for ToolMain.
#include <vector>

#include "platform/platform.h"

int main(int argc, char** argv) {
    std::vector<CString> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(platform::FromUtf8(argv[i]));
    return ToolMain(arguments);
}

// The entry point: runs the one application object (theApp, in ImportApp.cpp).
#include "platform/platform.h"
#include "app/framework/framework.h"

#ifdef _WIN32
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return AfxWinMain();
}
#else
#include <cstdio>
#include <cstring>

#include "brevlo_version.h"

namespace {

const char kHelp[] =
    "usage: brevlo marks\n"
    "\n"
    "Imports the material folder \"marks\" beside this program into the MirvoPix installed in\n"
    "the Wine prefix $WINEPREFIX (else ~/.wine): copies its files into the product's data\n"
    "folder without overwriting any, merges its config.xml into the product's catalog, and\n"
    "asks whether to start MirvoPix. Started without that word, or with another, it does\n"
    "nothing and exits at once.\n"
    "\n"
    "exit status:\n"
    "  0  the import completed, or there was nothing to do\n"
    "  1  the import did not complete (what failed is said)\n";

// The native build answers these two; any other word keeps the silent exit.
int Answer(const char* text) {
    const size_t n = std::strlen(text);
    return std::fwrite(text, 1, n, stdout) == n && std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return Answer(kHelp);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return Answer("brevlo " BREVLO_VERSION "\n");
    // A closed reader of the output must not kill an import halfway; Ctrl-C stops it cleanly.
    platform::InstallStopSignals();
    return AfxWinMain(argc, argv);
}
#endif

// The entry point: runs the one application object (theApp, in ImportApp.cpp).
#include "platform/platform.h"
#include "platform/ui.h"

#ifdef _WIN32
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return AfxWinMain();
}
#else
int main(int argc, char** argv) {
    // A closed reader of the output must not kill an import halfway; Ctrl-C stops it cleanly.
    platform::InstallStopSignals();
    return AfxWinMain(argc, argv);
}
#endif

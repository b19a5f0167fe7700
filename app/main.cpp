// The entry point: runs the one application object (theApp, in ImportApp.cpp).
#include "platform/ui.h"

#ifdef _WIN32
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return AfxWinMain();
}
#else
int main(int argc, char** argv) {
    return AfxWinMain(argc, argv);
}
#endif

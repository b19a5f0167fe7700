// A clean stop: the signals that stop an import at its next file and end its waits. (The
// import lock is a flock on the open data folder: see folder_posix.cpp.)
#include <signal.h>

#include "platform/platform.h"

namespace platform {

// ---- stopping ----------------------------------------------------------------------------

namespace {
void OnStopSignal(int) {
    RequestStop(true);
}
}  // namespace

void InstallStopSignals() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    // No SA_RESTART: a wait on the terminal ends, and the import stops at its next file.
    struct sigaction stop = {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &stop, nullptr);
}

}  // namespace platform

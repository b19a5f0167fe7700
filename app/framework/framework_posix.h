// What the parts of the POSIX framework share: the window records, the terminal front end that
// the modal loop (framework_posix.cpp) draws with and reads from (terminal_posix.cpp), and the
// calls that mean nothing on a terminal (inert_posix.cpp).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "app/framework/framework.h"

struct HMENU__ {
    struct Item {
        UINT flags;
        UINT_PTR id;
        CString text;
    };
    std::vector<Item> items;
};

struct HICON__ {
    UINT id;
};

struct HDC__ {
    int unused;
};

struct HWND__ {
    CDialog* dialog = nullptr;  // top-level windows: the dialog object
    HWND__* parent = nullptr;
    int id = 0;
    CString windowClass;
    CString text;
    uint32_t style = 0;
    int cx = 0, cy = 0;
    bool visible = false;
    bool iconic = false;
    bool drawn = false;  // a dialog without a progress bar is printed once
    int rangeLow = 0, rangeHigh = 100, position = 0;
    HICON bigIcon = nullptr, smallIcon = nullptr;
    std::unique_ptr<HMENU__> systemMenu;
    std::vector<std::unique_ptr<HWND__>> children;
    // The system menu's entry that a line on the terminal chooses (its access key), while the
    // dialog reads the terminal; 0 when none.
    char menuKey = 0;
    UINT_PTR menuId = 0;
    std::string menuLabel;
    std::string typed;  // the terminal line read so far
};

// Whether `window` is open; any thread may ask.
bool IsLive(HWND window);
// The templates, strings and icons the program registered.
const ui::ResourceModule* Resources();

namespace inert {
// The system's answer, on a terminal, to what a window leaves to it and the loop does not
// handle: icons are kept, minimising and restoring only noted, the rest ignored.
LRESULT DefaultProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
}  // namespace inert

// Window classes of the controls in the templates.
inline const CString kProgressClass = u"msctls_progress32";
inline const CString kButtonClass = u"Button";
inline const CString kStaticClass = u"Static";

namespace terminal {

// How often a wait on the terminal looks whether a stop was requested, in milliseconds: the
// signal may reach another thread and leave the wait undisturbed.
constexpr int kStopCheckMs = 100;

// Shows the newest visible dialog of `dialogs` (oldest first): a dialog with a progress bar as
// one line, redrawn in place on a terminal and printed anew at each change elsewhere (with the
// key of its system menu's entry); any other dialog as a block printed once.
void Render(const std::vector<HWND>& dialogs);
// Ends a progress line being redrawn, so that what follows starts on a line of its own.
void CloseLine();
// The first word of a line, in lower case.
std::string Trimmed(const std::string& text);
// A message box: prints its caption and text and reads the answer from the terminal; without
// one, a Yes/No question is answered No.
int AskOnTerminal(const CString& text, const CString& caption, UINT type);

// Where a question can be asked: stdin and stdout when both are the terminal, else the
// controlling terminal.
struct Terminal {
    int in = -1;
    int out = -1;
    bool owned = false;
    Terminal() = default;
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    ~Terminal() {
        if (owned) ::close(in);
    }
    bool Open() {
        if (::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO)) {
            in = STDIN_FILENO;
            out = STDOUT_FILENO;
            return true;
        }
        int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return false;
        in = out = fd;
        owned = true;
        return true;
    }
};

}  // namespace terminal

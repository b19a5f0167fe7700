// The terminal front end of the POSIX framework: the progress line, dialogs printed as blocks,
// and questions read from the terminal.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "app/framework/framework_posix.h"
#include "platform/ascii_fold.h"
#include "platform/platform.h"

namespace terminal {

namespace {

// ---- terminal output ----------------------------------------------------------------------

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

struct Screen {
    bool tty = ::isatty(STDOUT_FILENO) != 0;
    bool lineOpen = false;  // a progress line waits to be redrawn in place
    std::string lastLine;
};

Screen& TheScreen() {
    static Screen screen;
    return screen;
}

}  // namespace

void CloseLine() {
    Screen& screen = TheScreen();
    if (screen.lineOpen) WriteAll(STDOUT_FILENO, "\n");
    screen.lineOpen = false;
    screen.lastLine.clear();
}

namespace {

// A control's text as shown: without SS_NOPREFIX a single '&' marks the access key and is
// not drawn.
std::string Shown(const HWND__& control) {
    if (control.windowClass == kStaticClass && (control.style & SS_NOPREFIX))
        return platform::ToUtf8(control.text);
    CString shown;
    for (size_t i = 0; i < control.text.size(); ++i) {
        if (control.text[i] == u'&' && i + 1 < control.text.size()) ++i;
        shown += control.text[i];
    }
    return platform::ToUtf8(shown);
}

bool IsIconControl(const HWND__& control) {
    return control.windowClass == kStaticClass && (control.style & 0x1F) == SS_ICON;
}

const HWND__* ProgressOf(const HWND__& dialog) {
    for (const auto& child : dialog.children) {
        if (child->windowClass == kProgressClass) return child.get();
    }
    return nullptr;
}

void DrawProgressLine(const HWND__& dialog, const HWND__& bar) {
    std::string line;
    for (const auto& child : dialog.children) {
        if (child->windowClass != kStaticClass || IsIconControl(*child)) continue;
        std::string text = Shown(*child);
        if (text.empty()) continue;
        if (!line.empty()) line += ' ';
        line += text;
    }
    const int span = bar.rangeHigh - bar.rangeLow;
    const int percent = span > 0 ? (bar.position - bar.rangeLow) * 100 / span : 0;
    constexpr int kCells = 20;
    const int filled = std::clamp(percent * kCells / 100, 0, kCells);
    line += " [" + std::string(static_cast<size_t>(filled), '#') +
            std::string(static_cast<size_t>(kCells - filled), '-') + "] " +
            std::to_string(percent) + "%";
    // A terminal has no system menu: its entry is shown as a key to type.
    if (dialog.menuKey)
        line += std::string("  (") + dialog.menuKey + " 回车：" + dialog.menuLabel + ")";

    Screen& screen = TheScreen();
    if (line == screen.lastLine) return;
    screen.lastLine = line;
    if (screen.tty) {
        WriteAll(STDOUT_FILENO, "\r\x1b[K" + line);
        screen.lineOpen = true;
    } else {
        WriteAll(STDOUT_FILENO, line + "\n");
    }
}

void DrawBlock(HWND__& dialog) {
    CloseLine();
    std::string block = platform::ToUtf8(dialog.text);
    block += '\n';
    std::string buttons;
    for (const auto& child : dialog.children) {
        if (child->windowClass == kStaticClass && !IsIconControl(*child)) {
            block.append("  ").append(Shown(*child)).append("\n");
        } else if (child->windowClass == kButtonClass) {
            buttons.append("[").append(Shown(*child)).append("] ");
        }
    }
    if (!buttons.empty()) block.append("  ").append(buttons).append("\n");
    WriteAll(STDOUT_FILENO, block);
    dialog.drawn = true;
}

}  // namespace

void Render(const std::vector<HWND>& dialogs) {
    HWND top = nullptr;
    for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it) {
        if ((*it)->visible) {
            top = *it;
            break;
        }
    }
    if (!top) {
        CloseLine();
        return;
    }
    if (const HWND__* bar = ProgressOf(*top)) {
        DrawProgressLine(*top, *bar);
    } else if (!top->drawn) {
        DrawBlock(*top);
    }
}

// ---- terminal input -----------------------------------------------------------------------

namespace {

enum class Read { Line, End, Stopped };

// One line without its end; End at the end of input with nothing read. A stop request ends
// the wait, whichever thread its signal reached.
Read ReadLine(int fd, std::string& line) {
    line.clear();
    for (;;) {
        if (platform::StopRequested()) return Read::Stopped;
        pollfd ready{fd, POLLIN, 0};
        const int n = ::poll(&ready, 1, kStopCheckMs);
        if (n == 0 || (n < 0 && errno == EINTR)) continue;
        char c;
        const ssize_t got = n < 0 ? -1 : ::read(fd, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return line.empty() ? Read::End : Read::Line;
        if (c == '\n') return Read::Line;
        if (c != '\r') line += c;
    }
}

}  // namespace

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    size_t end = text.find_last_not_of(" \t");
    std::string out = text.substr(begin, end - begin + 1);
    for (char& c : out) {
        c = platform::FoldAscii(c);
    }
    return out;
}

int AskOnTerminal(const CString& text, const CString& caption, UINT type) {
    const bool yesNo = (type & MB_TYPEMASK) == MB_YESNO;
    const std::string box = platform::ToUtf8(caption) + ": " + platform::ToUtf8(text);
    Terminal terminal;
    if (!terminal.Open()) {
        // Nobody to ask: a question is answered No, a notice is only printed.
        WriteAll(STDOUT_FILENO, box + (yesNo ? " [y/n] n\n" : "\n"));
        return yesNo ? IDNO : IDOK;
    }
    // Keys pressed before the question was there do not answer it.
    ::tcflush(terminal.in, TCIFLUSH);
    std::string prompt = box + (yesNo ? " [y/n] " : " [Enter] ");
    for (;;) {
        WriteAll(terminal.out, prompt);
        std::string answer;
        const Read got = ReadLine(terminal.in, answer);
        if (got != Read::Line) WriteAll(terminal.out, "\n");
        // A stop answers a question No and closes a notice.
        if (!yesNo || got == Read::Stopped) return yesNo ? IDNO : IDOK;
        if (got == Read::End) return IDNO;
        const std::string word = Trimmed(answer);
        if (word == "y" || word == "yes" || word == "是") return IDYES;
        if (word == "n" || word == "no" || word == "否") return IDNO;
        prompt = "[y/n] ";
    }
}

}  // namespace terminal

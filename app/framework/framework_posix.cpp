// The framework on POSIX, its message loop: windows are records built from the program's
// templates, messages go through one queue that any thread may post to, timers fire from the
// modal loop, which draws with and reads from the terminal front end (terminal_posix.cpp).
// What means nothing on a terminal (icons, painting, menus, metrics) is in inert_posix.cpp.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "app/framework/framework_posix.h"
#include "platform/ascii_fold.h"
#include "platform/platform.h"

struct WindowAccess {
    static std::vector<CWnd*>& Controls(CWnd& window) { return window.m_controls; }
};

namespace {

using Clock = std::chrono::steady_clock;

struct Queued {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

struct Timer {
    HWND window;
    UINT_PTR id;
    UINT period;
    Clock::time_point due;
};

// Shared with posting threads.
std::mutex g_mutex;
std::deque<Queued> g_queue;
std::unordered_set<HWND> g_live;
int g_wake[2] = {-1, -1};

// The dialog thread's own.
std::vector<Timer> g_timers;
std::vector<HWND> g_dialogs;  // open dialogs, oldest first
const ui::ResourceModule* g_resources = nullptr;

}  // namespace

bool IsLive(HWND window) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return window && g_live.count(window) != 0;
}

const ui::ResourceModule* Resources() {
    return g_resources;
}

namespace {

// ---- windows and messages -----------------------------------------------------------------

void EnsureWakePipe() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
    });
}

void Register(HWND window, bool live) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (live) {
        g_live.insert(window);
        return;
    }
    g_live.erase(window);
    g_queue.erase(std::remove_if(g_queue.begin(), g_queue.end(),
                                 [window](const Queued& q) { return q.window == window; }),
                  g_queue.end());
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

LRESULT ProgressProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case PBM_SETRANGE: {
            const LRESULT old = static_cast<LRESULT>((static_cast<uint32_t>(bar->rangeHigh) << 16) |
                                                     static_cast<uint16_t>(bar->rangeLow));
            bar->rangeLow = static_cast<int>(lParam & 0xFFFF);
            bar->rangeHigh = static_cast<int>((lParam >> 16) & 0xFFFF);
            bar->position =
                std::clamp(bar->position, bar->rangeLow, std::max(bar->rangeLow, bar->rangeHigh));
            return old;
        }
        case PBM_SETPOS: {
            const int old = bar->position;
            bar->position = std::clamp(static_cast<int>(wParam), bar->rangeLow,
                                       std::max(bar->rangeLow, bar->rangeHigh));
            return old;
        }
        case PBM_GETPOS:
            return bar->position;
        default:
            return 0;
    }
}

// What the system does with a message the window leaves to it.
LRESULT DefaultProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SYSCOMMAND:
            switch (wParam & 0xFFF0) {
                case SC_CLOSE:
                    return Send(window, WM_CLOSE, 0, 0);
                default:
                    return inert::DefaultProc(window, message, wParam, lParam);
            }
        case WM_CLOSE:
            // A dialog is closed as if its Cancel button were pressed.
            if (window->dialog) ui::PostMessage(window, WM_COMMAND, IDCANCEL, 0);
            return 0;
        default:
            return inert::DefaultProc(window, message, wParam, lParam);
    }
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!IsLive(window)) return 0;
    if (window->windowClass == kProgressClass) return ProgressProc(window, message, wParam, lParam);
    if (window->dialog) {
        LRESULT result = 0;
        if (window->dialog->OnWndMsg(message, wParam, lParam, &result)) return result;
    }
    return DefaultProc(window, message, wParam, lParam);
}

const ui::DialogTemplate* FindTemplate(UINT id) {
    if (!g_resources) return nullptr;
    for (size_t i = 0; i < g_resources->dialogCount; ++i) {
        if (g_resources->dialogs[i].id == id) return &g_resources->dialogs[i];
    }
    return nullptr;
}

std::unique_ptr<HWND__> CreateFromTemplate(const ui::DialogTemplate& t) {
    auto window = std::make_unique<HWND__>();
    window->windowClass = u"#32770";
    window->text = t.caption ? t.caption : u"";
    window->style = t.style;
    window->cx = t.cx;
    window->cy = t.cy;
    for (size_t i = 0; i < t.controlCount; ++i) {
        const ui::ControlTemplate& c = t.controls[i];
        auto child = std::make_unique<HWND__>();
        child->parent = window.get();
        child->id = c.id;
        child->windowClass = c.windowClass ? c.windowClass : u"";
        child->text = c.text ? c.text : u"";
        child->style = c.style | WS_CHILD | WS_VISIBLE;
        child->cx = c.cx;
        child->cy = c.cy;
        child->visible = true;
        window->children.push_back(std::move(child));
    }
    return window;
}

// Takes the system menu's first text entry with an ASCII access key ("关于 Brevlo(&A)...") as
// the dialog's menu key; false when it has none.
bool SetMenuKey(HWND__& dialog) {
    if (!dialog.systemMenu) return false;
    for (const HMENU__::Item& item : dialog.systemMenu->items) {
        if (item.flags & MF_SEPARATOR) continue;
        const size_t amp = item.text.find(u'&');
        if (amp == CString::npos || amp + 1 >= item.text.size()) continue;
        char16_t key = item.text[amp + 1];
        key = platform::FoldAscii(key);
        if (!((key >= u'a' && key <= u'z') || (key >= u'0' && key <= u'9'))) continue;
        // The label without its access-key mark "(&A)" and without a trailing "...".
        CString label = item.text;
        if (amp >= 1 && amp + 2 < label.size() && label[amp - 1] == u'(' && label[amp + 2] == u')')
            label.erase(amp - 1, 4);
        else
            label.erase(amp, 1);
        while (!label.empty() && (label.back() == u'.' || label.back() == u' ')) label.pop_back();
        dialog.menuKey = static_cast<char>(key);
        dialog.menuId = item.id;
        dialog.menuLabel = platform::ToUtf8(label);
        return true;
    }
    return false;
}

// The next message for the dialog thread: posted messages first, then due timers. A line on
// `terminal` presses the default button `button` of the running dialog.
Queued NextMessage(int& terminal, HWND dialog, int button) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (!g_queue.empty()) {
                Queued next = g_queue.front();
                g_queue.pop_front();
                return next;
            }
        }
        const Clock::time_point now = Clock::now();
        Timer* soonest = nullptr;
        for (Timer& timer : g_timers) {
            if (!soonest || timer.due < soonest->due) soonest = &timer;
        }
        if (soonest && soonest->due <= now) {
            soonest->due = now + std::chrono::milliseconds(soonest->period);
            return {soonest->window, WM_TIMER, soonest->id, 0};
        }
        // A stop request closes a dialog answered on the terminal, as Esc would.
        if (terminal >= 0 && button && platform::StopRequested()) {
            terminal = -1;
            ui::PostMessage(dialog, WM_COMMAND, IDCANCEL, 0);
            continue;
        }
        int timeout = -1;
        if (soonest) {
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(soonest->due - now);
            timeout = static_cast<int>(wait.count()) + 1;
        }
        if (terminal >= 0 && button && (timeout < 0 || timeout > terminal::kStopCheckMs))
            timeout = terminal::kStopCheckMs;
        // Without the wake-up pipe, posted messages are found by looking again.
        if (g_wake[0] < 0 && (timeout < 0 || timeout > 20)) timeout = 20;
        pollfd fds[2] = {{g_wake[0], POLLIN, 0}, {terminal, POLLIN, 0}};
        const int n = ::poll(fds, terminal >= 0 ? 2 : 1, timeout);
        if (n <= 0) continue;
        if (fds[0].revents) {
            char drain[64];
            while (::read(g_wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (terminal >= 0 && fds[1].revents) {
            char c = 0;
            ssize_t got = ::read(terminal, &c, 1);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                terminal = -1;  // the terminal is gone: as if Esc were pressed
                ui::PostMessage(dialog, WM_COMMAND, IDCANCEL, 0);
            } else if (c != '\n') {
                if (dialog->typed.size() < 64) dialog->typed += c;
            } else if (button) {
                ui::PostMessage(dialog, WM_COMMAND, static_cast<WPARAM>(button), 0);
            } else if (dialog->menuKey &&
                       terminal::Trimmed(dialog->typed) == std::string(1, dialog->menuKey)) {
                ui::PostMessage(dialog, WM_SYSCOMMAND, dialog->menuId, 0);
            }
            if (c == '\n') dialog->typed.clear();
        }
    }
}

}  // namespace

// ---- CWnd ---------------------------------------------------------------------------------

BOOL CWnd::ShowWindow(int nCmdShow) {
    if (!IsLive(m_hWnd)) return FALSE;
    const bool was = m_hWnd->visible;
    if (nCmdShow == SW_HIDE) {
        terminal::Render(g_dialogs);  // what the window shows at the moment it goes
        m_hWnd->visible = false;
    } else {
        m_hWnd->visible = true;
        m_hWnd->drawn = false;
    }
    terminal::Render(g_dialogs);
    return was ? TRUE : FALSE;
}

BOOL CWnd::IsWindowVisible() const {
    for (HWND w = m_hWnd; w; w = w->parent) {
        if (!IsLive(w) || !w->visible) return FALSE;
    }
    return m_hWnd ? TRUE : FALSE;
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return ui::PostMessage(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return Send(m_hWnd, message, wParam, lParam);
}

UINT_PTR CWnd::SetTimer(UINT_PTR nIDEvent, UINT nElapse, void*) {
    if (!IsLive(m_hWnd)) return 0;
    const Clock::time_point due = Clock::now() + std::chrono::milliseconds(nElapse);
    for (Timer& timer : g_timers) {
        if (timer.window == m_hWnd && timer.id == nIDEvent) {
            timer.period = nElapse;
            timer.due = due;
            return nIDEvent;
        }
    }
    g_timers.push_back({m_hWnd, nIDEvent, nElapse, due});
    return nIDEvent;
}

BOOL CWnd::KillTimer(UINT_PTR nIDEvent) {
    auto it = std::find_if(g_timers.begin(), g_timers.end(), [&](const Timer& timer) {
        return timer.window == m_hWnd && timer.id == nIDEvent;
    });
    if (it == g_timers.end()) return FALSE;
    g_timers.erase(it);
    return TRUE;
}

void CWnd::SetWindowText(const CString& text) {
    if (IsLive(m_hWnd)) m_hWnd->text = text;
}

CString CWnd::GetWindowText() const {
    return IsLive(m_hWnd) ? m_hWnd->text : CString();
}

HWND CWnd::GetDlgItem(int id) const {
    if (!IsLive(m_hWnd)) return nullptr;
    for (const auto& child : m_hWnd->children) {
        if (child->id == id) return child.get();
    }
    return nullptr;
}

LRESULT CWnd::Default() {
    if (!m_current.valid || !IsLive(m_hWnd)) return 0;
    return DefaultProc(m_hWnd, m_current.message, m_current.wParam, m_current.lParam);
}

// ---- dialogs ------------------------------------------------------------------------------

INT_PTR CDialog::DoModal() {
    const ui::DialogTemplate* t = FindTemplate(m_nIDTemplate);
    if (!t) return -1;
    EnsureWakePipe();
    std::unique_ptr<HWND__> window = CreateFromTemplate(*t);
    HWND handle = window.get();
    handle->dialog = this;
    Register(handle, true);
    for (const auto& child : handle->children) Register(child.get(), true);
    g_dialogs.push_back(handle);
    m_hWnd = handle;
    m_ended = false;
    m_nModalResult = -1;

    ui::TestHooks* hooks = ui::CurrentTestHooks();
    // A dialog with a button is answered on the terminal: a line presses the default button.
    int button = 0;
    for (const auto& child : handle->children) {
        if (child->windowClass == kButtonClass &&
            (button == 0 || (child->style & 0x0F) == BS_DEFPUSHBUTTON))
            button = child->id;
    }
    terminal::Terminal terminal;
    int input = -1;
    if (button && !hooks) {
        if (terminal.Open()) {
            input = terminal.in;
        } else {
            ui::PostMessage(handle, WM_COMMAND, IDCANCEL, 0);
        }
    }

    OnInitDialog();
    // Without a button, a dialog reads the terminal only for its system menu's entry.
    if (!button && !hooks && SetMenuKey(*handle) && terminal.Open()) input = terminal.in;
    if (hooks) hooks->DialogReady(*this);
    if (!m_ended) {
        handle->visible = true;
        terminal::Render(g_dialogs);
    }
    while (!m_ended) {
        Queued message = NextMessage(input, handle, button);
        Send(message.window, message.message, message.wParam, message.lParam);
        terminal::Render(g_dialogs);
    }

    Send(handle, WM_DESTROY, 0, 0);
    g_timers.erase(std::remove_if(g_timers.begin(), g_timers.end(),
                                  [handle](const Timer& timer) { return timer.window == handle; }),
                   g_timers.end());
    for (const auto& child : handle->children) Register(child.get(), false);
    Register(handle, false);
    g_dialogs.erase(std::find(g_dialogs.begin(), g_dialogs.end(), handle));
    for (CWnd* control : WindowAccess::Controls(*this)) control->m_hWnd = nullptr;
    WindowAccess::Controls(*this).clear();
    m_hWnd = nullptr;
    terminal::Render(g_dialogs);
    return m_nModalResult;
}

void CDialog::EndDialog(int nResult) {
    m_nModalResult = nResult;
    m_ended = true;
    if (IsLive(m_hWnd)) {
        m_hWnd->visible = false;
        terminal::Render(g_dialogs);
    }
}

// ---- the application and the rest --------------------------------------------------------

int AfxWinMain(int argc, char** argv) {
    std::vector<CString> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(platform::FromUtf8(argv[i]));
    return ui::RunApplication(std::move(arguments));
}

namespace ui {

int MessageBox(HWND owner, const CString& text, const CString& caption, UINT type) {
    if (TestHooks* hooks = CurrentTestHooks()) return hooks->MessageBox(owner, text, caption, type);
    terminal::Render(g_dialogs);
    terminal::CloseLine();
    const int answer = terminal::AskOnTerminal(text, caption, type);
    terminal::Render(g_dialogs);
    return answer;
}

BOOL PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    EnsureWakePipe();
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!window || !g_live.count(window)) return FALSE;
        g_queue.push_back({window, message, wParam, lParam});
    }
    if (g_wake[1] >= 0) {
        const char byte = 1;
        ssize_t ignored = ::write(g_wake[1], &byte, 1);  // a full pipe already wakes the loop
        (void)ignored;
    }
    return TRUE;
}

CString LoadResourceString(UINT id) {
    if (!g_resources) return {};
    for (size_t i = 0; i < g_resources->stringCount; ++i) {
        if (g_resources->strings[i].id == id) return g_resources->strings[i].text;
    }
    return {};
}

uintptr_t BeginThread(void (*procedure)(void*), unsigned stackSize, void* argument) {
    struct Start {
        void (*procedure)(void*);
        void* argument;
    };
    auto* start = new Start{procedure, argument};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize) pthread_attr_setstacksize(&attributes, stackSize);
    pthread_t thread;
    const int error = pthread_create(
        &thread, &attributes,
        [](void* raw) -> void* {
            std::unique_ptr<Start> start(static_cast<Start*>(raw));
            start->procedure(start->argument);
            return nullptr;
        },
        start);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete start;
        return static_cast<uintptr_t>(-1);
    }
    return static_cast<uintptr_t>(thread);
}

void SetResourceModule(const ResourceModule* module) {
    g_resources = module;
}

}  // namespace ui

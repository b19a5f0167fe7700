// The progress dialog and the framework under it, in both builds. The Windows build needs a
// display; without one (a plain Wine run) these tests skip, and the e2e label runs them again
// under Xvfb.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/ImportApp.h"
#include "app/ImportDialog.h"
#include "app_support.h"
#include "support/platform_temp.h"

namespace {

using app_test::Narrow;

#define SKIP_WITHOUT_DISPLAY(result) \
    if ((result) == -1) GTEST_SKIP() << "no display to make windows on"

// Holds the worker at the first file it opens until released, so that the dialog can be
// handled while the import is known to run.
struct HeldFiles : platform::FileSystem {
    platform::FileSystem& real = platform::RealFiles();
    platform::FileSystem* previous = platform::SetFilesForTest(this);
    std::atomic<bool> released{false};
    ~HeldFiles() override { platform::SetFilesForTest(previous); }
    platform::File* OpenRead(const char16_t* path) override {
        while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return real.OpenRead(path);
    }
    platform::File* CreateTemporary(const char16_t* t, CString& p) override {
        return real.CreateTemporary(t, p);
    }
    bool Size(platform::File* f, int64_t& n) override { return real.Size(f, n); }
    bool Read(platform::File* f, void* b, size_t n, size_t& d) override {
        return real.Read(f, b, n, d);
    }
    bool Write(platform::File* f, const void* b, size_t n) override { return real.Write(f, b, n); }
    bool Flush(platform::File* f) override { return real.Flush(f); }
    bool Close(platform::File* f) override { return real.Close(f); }
    bool Replace(const char16_t* s, const char16_t* t) override { return real.Replace(s, t); }
    bool Remove(const char16_t* path) override { return real.Remove(path); }
};

class Dialog : public ::testing::Test {
  protected:
    void SetUp() override {
        app_test::ResetApp();
        // A product of 2.1 keeps its data below its install folder; an empty pack beside the
        // tool: the import has nothing to do and completes at once.
        std::filesystem::create_directories(platform_test::HostOf(folder_ / u"data"));
        std::filesystem::create_directories(platform_test::HostOf(tool_.Pack(u"marks")));
    }

    platform_test::TempFolder folder_;
    platform_test::ToolFolder tool_;
    ImportSettings settings_{u"marks", folder_.Path(), 0x00020001, 0};
    int exitCode_ = 0;
};

TEST_F(Dialog, BarClimbsByTenToNinetyThenTheQuestion) {
    app_test::User user;
    CImportDialog* dialog = nullptr;
    HWND window = nullptr;
    std::vector<int> steps;
    std::vector<LRESULT> results;
    HeldFiles held;
    CString textWaiting;
    user.onReady = [&](CDialog& d) {
        dialog = static_cast<CImportDialog*>(&d);
        window = d.GetSafeHwnd();
        steps.push_back(dialog->m_progress.GetPos());
        // What another program posts finds no news behind it while the import runs: no end,
        // whatever lParam points at, and no wait.
        results.push_back(d.SendMessage(WM_IMPORT_DONE, kImportDoneParam, 0x7FFF1234));
        d.SendMessage(WM_IMPORT_WAITING, 0, 0);
        CWnd text;
        text.m_hWnd = d.GetDlgItem(IDC_TEXT);
        EXPECT_EQ(Narrow(text.GetWindowText()), "MirvoPix正在帮您导入素材...");
        dialog->m_news.Waiting(window);
        d.SendMessage(WM_IMPORT_WAITING, 0, 0);
        textWaiting = text.GetWindowText();
        text.m_hWnd = nullptr;
        for (int tick = 0; tick < 10; ++tick) {
            d.SendMessage(WM_TIMER, kProgressTimer, 0);
            steps.push_back(dialog->m_progress.GetPos());
        }
        d.SendMessage(WM_TIMER, kProgressTimer + 1, 0);  // another timer
        steps.push_back(dialog->m_progress.GetPos());
        // Completion messages with another wParam change nothing.
        for (WPARAM w : {WPARAM(0), WPARAM(3), WPARAM(5), WPARAM(0x10004)})
            results.push_back(d.SendMessage(WM_IMPORT_DONE, w, 0));
        // Enter, Esc and the Help command neither.
        d.SendMessage(WM_COMMAND, IDOK, 0);
        d.SendMessage(WM_COMMAND, IDCANCEL, 0);
        d.SendMessage(WM_COMMAND, ID_HELP, 0);
        steps.push_back(dialog->m_progress.GetPos());
        EXPECT_EQ(reinterpret_cast<HICON>(d.SendMessage(WM_QUERYDRAGICON, 0, 0)),
                  theApp.LoadIcon(IDR_MAINFRAME));
        held.released = true;
    };
    bool ownerHidden = false;
    int barAtQuestion = -1;
    user.onBox = [&](const app_test::Box&) {
        ownerHidden = !dialog->IsWindowVisible();
        barAtQuestion = dialog->m_progress.GetPos();
        dialog->SendMessage(WM_IMPORT_DONE, kImportDoneParam, 0);  // asks nothing twice
    };
    CImportDialog importDialog(settings_, exitCode_);
    theApp.m_pMainWnd = &importDialog;
    const INT_PTR result = importDialog.DoModal();
    SKIP_WITHOUT_DISPLAY(result);

    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(steps, (std::vector<int>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 90, 90, 90}));
    EXPECT_EQ(results, (std::vector<LRESULT>{0, 0, 0, 0, 0}));
    EXPECT_EQ(Narrow(textWaiting), "等待同一产品的另一次导入结束后继续...");
    EXPECT_EQ(exitCode_, 0);
    ASSERT_EQ(user.boxes.size(), 1u);
    EXPECT_EQ(user.boxes[0].text, u"导入完成，是否试用MirvoPix？");
    EXPECT_EQ(user.boxes[0].caption, u"MirvoPix");
    EXPECT_EQ(user.boxes[0].type, MB_ICONINFORMATION | MB_YESNO);
    EXPECT_EQ(user.boxes[0].owner, window);
    EXPECT_TRUE(ownerHidden);
    EXPECT_EQ(barAtQuestion, 100);
    EXPECT_EQ(importDialog.GetSafeHwnd(), nullptr);
    EXPECT_EQ(importDialog.m_progress.GetSafeHwnd(), nullptr);
}

TEST_F(Dialog, AnImportThatDidNotCompleteSaysSoAndAsksNothing) {
    // A folder where the product's catalog should be: it cannot be read.
    const CString catalog = folder_ / u"data\\marks\\config.xml";
    std::filesystem::create_directories(platform_test::HostOf(catalog));
    app_test::User user;
    CImportDialog importDialog(settings_, exitCode_);
    theApp.m_pMainWnd = &importDialog;
    SKIP_WITHOUT_DISPLAY(importDialog.DoModal());
    ASSERT_EQ(user.boxes.size(), 1u);
    const std::string text = Narrow(user.boxes[0].text);
    EXPECT_TRUE(
        text.starts_with("导入未完成：无法读取MirvoPix的目录文件“" + Narrow(catalog) + "”："))
        << text;
    EXPECT_EQ(user.boxes[0].caption, u"MirvoPix");
    EXPECT_EQ(user.boxes[0].type, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(exitCode_, 1);
}

TEST_F(Dialog, SystemMenuOpensTheAboutBoxForIdsSixteenToThirtyOne) {
    app_test::User user;
    std::vector<CString> captions;
    bool iconic = false, restored = false;
    user.onReady = [&](CDialog& d) {
        if (d.GetSafeHwnd() != user.dialogs.front()->GetSafeHwnd()) {
            // The About box: close it as its OK button would.
            captions.push_back(d.GetWindowText());
            d.SendMessage(WM_COMMAND, IDOK, 0);
            return;
        }
        EXPECT_EQ(d.GetWindowText(), u"MirvoPix");
        for (WPARAM id : {WPARAM(16), WPARAM(31), WPARAM(15), WPARAM(32)})
            d.SendMessage(WM_SYSCOMMAND, id, 0);
        d.SendMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0);
        iconic = d.IsIconic();
        d.SendMessage(WM_SYSCOMMAND, SC_RESTORE, 0);
        restored = !d.IsIconic();
    };
    CImportDialog importDialog(settings_, exitCode_);
    theApp.m_pMainWnd = &importDialog;
    SKIP_WITHOUT_DISPLAY(importDialog.DoModal());
    EXPECT_EQ(captions, (std::vector<CString>{u"关于 Brevlo", u"关于 Brevlo"}));
    EXPECT_TRUE(iconic);
    EXPECT_TRUE(restored);
    EXPECT_EQ(user.boxes.size(), 1u);
}

#ifndef _WIN32
TEST_F(Dialog, YesStartsTheProductByPlainConcatenation) {
    app_test::Prefix prefix;
    prefix.Write("prefix/drive_c/Program Files/MirvoPix/mirvo.exe", "MZ");
    std::filesystem::create_directories(prefix.DriveC("Program Files/MirvoPix/data"));
    settings_.installPath = u"C:\\Program Files\\MirvoPix\\";
    app_test::User user;
    user.answer = IDYES;
    CImportDialog importDialog(settings_, exitCode_);
    EXPECT_EQ(importDialog.DoModal(), IDCANCEL);
    const auto started = prefix.Calls("wine", 5000);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0], (std::vector<std::string>{
                              std::filesystem::canonical(prefix.DriveC("Program Files/MirvoPix")),
                              "C:\\Program Files\\MirvoPix\\\\mirvo.exe"}));
}

// A receipt that cannot be written: the import is complete all the same, said first.
TEST_F(Dialog, AnUnwrittenReceiptIsSaidBeforeTheQuestion) {
    app_test::Prefix prefix;
    char16_t pack[platform::kMaxPath] = {};
    platform::GetModulePath(pack, platform::kMaxPath - 1);
    platform::AppendPath(pack, u"..\\marks\\a.png");
    platform_test::WriteBytes(pack, "a");
    const std::string local = Narrow(platform::LocalAppDataFolder());  // C:\users\USER\...
    prefix.Write("prefix/drive_c/users/" + local.substr(9, local.find('\\', 9) - 9) +
                     "/AppData/Local/Brevlo",
                 "");  // a file where the receipts' folder would be made
    app_test::User user;
    CImportDialog importDialog(settings_, exitCode_);
    EXPECT_EQ(importDialog.DoModal(), IDCANCEL);
    ASSERT_EQ(user.boxes.size(), 2u);
    EXPECT_TRUE(Narrow(user.boxes[0].text).starts_with("导入已完成，但导入记录未能保存到“"));
    EXPECT_EQ(user.boxes[0].type, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(user.boxes[1].text, u"导入完成，是否试用MirvoPix？");
    EXPECT_EQ(exitCode_, 0);
}

TEST_F(Dialog, NoStartsNothing) {
    app_test::Prefix prefix;
    prefix.Write("prefix/drive_c/Program Files/MirvoPix/mirvo.exe", "MZ");
    settings_.installPath = u"C:\\Program Files\\MirvoPix";
    app_test::User user;
    CImportDialog importDialog(settings_, exitCode_);
    EXPECT_EQ(importDialog.DoModal(), IDCANCEL);
    EXPECT_EQ(user.boxes.size(), 1u);
    EXPECT_TRUE(prefix.Calls("wine", 300).empty());
}
#endif

// ---- the framework, with a dialog of its own on the progress dialog's template -------------

constexpr UINT WM_PROBE = WM_USER + 5;

class ProbeDialog : public CDialog {
  public:
    ProbeDialog() : CDialog(IDD_IMPORT_DIALOG) {}

    int timerTicks = 0;
    UINT_PTR timerId = 0;
    std::vector<std::vector<LPARAM>> received = std::vector<std::vector<LPARAM>>(4);
    int total = 0;
    int expected = 0;

  protected:
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        if (timerId) SetTimer(timerId, 15, nullptr);
        return TRUE;
    }
    afx_msg void OnTimer(UINT_PTR id) {
        if (id != timerId) return;
        if (++timerTicks == 3) {
            KillTimer(id);
            EndDialog(100 + timerTicks);
        }
    }
    afx_msg LRESULT OnProbe(WPARAM thread, LPARAM sequence) {
        received.at(thread).push_back(sequence);
        if (++total == expected) EndDialog(IDOK);
        return 0;
    }

    DECLARE_MESSAGE_MAP()
};

// clang-format off
BEGIN_MESSAGE_MAP(ProbeDialog, CDialog)
    ON_WM_TIMER()
    ON_MESSAGE(WM_PROBE, &ProbeDialog::OnProbe)
END_MESSAGE_MAP()
// clang-format on

TEST(Framework, MessagesPostedFromThreadsArriveAllInOrder) {
    app_test::User user;
    ProbeDialog probe;
    probe.expected = 4 * 250;
    std::vector<std::thread> threads;
    HWND window = nullptr;
    user.onReady = [&](CDialog& d) {
        window = d.GetSafeHwnd();
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&d, t] {
                for (int i = 0; i < 250; ++i) EXPECT_TRUE(d.PostMessage(WM_PROBE, t, i));
            });
        }
    };
    const INT_PTR result = probe.DoModal();
    for (auto& thread : threads) thread.join();
    SKIP_WITHOUT_DISPLAY(result);
    EXPECT_EQ(result, IDOK);
    for (const auto& sequence : probe.received) {
        ASSERT_EQ(sequence.size(), 250u);
        for (int i = 0; i < 250; ++i) EXPECT_EQ(sequence[i], i);
    }
    // The window is gone: posting to it fails.
    EXPECT_EQ(probe.GetSafeHwnd(), nullptr);
    EXPECT_FALSE(ui::PostMessage(window, WM_PROBE, 0, 0));
}

TEST(Framework, TimerTicksUntilKilled) {
    app_test::User user;
    ProbeDialog probe;
    probe.timerId = 7;
    const INT_PTR result = probe.DoModal();
    SKIP_WITHOUT_DISPLAY(result);
    EXPECT_EQ(result, 103);
    EXPECT_EQ(probe.timerTicks, 3);
}

TEST(Framework, CloseCommandEndsAPlainDialogAsCancel) {
    app_test::User user;
    ProbeDialog probe;
    user.onReady = [](CDialog& d) { d.SendMessage(WM_SYSCOMMAND, SC_CLOSE, 0); };
    const INT_PTR result = probe.DoModal();
    SKIP_WITHOUT_DISPLAY(result);
    EXPECT_EQ(result, IDCANCEL);
}

TEST(Framework, RangeIsPackedIntoOneWord) {
    app_test::User user;
    ProbeDialog probe;
    LRESULT oldRange = -1;
    int low = -1, high = -1;
    user.onReady = [&](CDialog& d) {
        CProgressCtrl bar;
        bar.m_hWnd = d.GetDlgItem(IDC_PROGRESS);
        bar.SetRange(0, 100);
        // The range message takes the lower bound in the low word, the upper in the high one.
        oldRange = bar.SendMessage(PBM_SETRANGE, 0, 0x00C80014);
        bar.SetPos(5);
        low = bar.GetPos();
        bar.SetPos(500);
        high = bar.GetPos();
        bar.m_hWnd = nullptr;
        d.EndDialog(IDOK);
    };
    SKIP_WITHOUT_DISPLAY(probe.DoModal());
    EXPECT_EQ(oldRange, 0x00640000);
    EXPECT_EQ(low, 20);
    EXPECT_EQ(high, 200);
}

TEST(Framework, StringResourceOfTheAboutEntry) {
    EXPECT_EQ(ui::LoadResourceString(IDS_ABOUTBOX), u"关于 Brevlo(&A)...");
    EXPECT_EQ(ui::LoadResourceString(4242), u"");
    EXPECT_NE(theApp.LoadIcon(IDR_MAINFRAME), nullptr);
}

}  // namespace

// The progress dialog: a line of text and a bar that a timer moves while the import worker
// runs, then the question whether to start the product.
#pragma once

#include <atomic>

#include "app/resource.h"
#include "app/framework/framework.h"
#include "import/run_import.h"

// The worker's messages to the dialog. They carry nothing (lParam 0): what they announce is kept
// in the dialog's ImportNews, and a message with no news behind it, as any program on the
// desktop could post one, is ignored. WM_IMPORT_DONE's wParam is kImportDoneParam.
constexpr UINT WM_IMPORT_DONE = WM_USER + 1;
constexpr UINT WM_IMPORT_WAITING = WM_USER + 2;
constexpr WPARAM kImportDoneParam = 4;

// What the worker thread tells the dialog: each call leaves its news here, then posts the
// message that announces it to `window`.
class ImportNews {
  public:
    // Worker thread. The import waits for another import of the same product.
    void Waiting(HWND window);
    // Worker thread. The import has ended; `failure` is empty when it completed, `notice` what
    // a completed one says before the question (empty: nothing). The dialog may end as soon as
    // the news is here, so the worker touches nothing of it afterwards.
    void Finished(HWND window, const CString& failure, const CString& notice = {});

    bool IsWaiting() const { return m_waiting.load(std::memory_order_acquire); }
    bool IsFinished() const { return m_finished.load(std::memory_order_acquire); }
    // Read only once IsFinished().
    const CString& Failure() const { return m_failure; }
    const CString& Notice() const { return m_notice; }

  private:
    std::atomic<bool> m_waiting{false};
    std::atomic<bool> m_finished{false};
    CString m_failure;
    CString m_notice;
};

class CImportDialog : public CDialog {
  public:
    // `settings` are the import's, and give the install path the product starts from;
    // `exitCode` becomes 1 when the import did not complete.
    CImportDialog(const ImportSettings& settings, int& exitCode, CWnd* pParent = nullptr);
    ~CImportDialog() override;

    enum { IDD = IDD_IMPORT_DIALOG };

    CProgressCtrl m_progress;
    CString m_strText;

    // For the worker: what it runs, and where it leaves its news.
    const ImportSettings& Settings() const { return m_settings; }
    ImportNews m_news;

  protected:
    HICON m_hIcon;
    UINT_PTR m_nTimer = 0;

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    // The dialog ends only when the import is done: Enter, Esc and the close commands do
    // nothing.
    void OnOK() override;
    void OnCancel() override;

    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg LRESULT OnImportDone(WPARAM wParam, LPARAM lParam);
    afx_msg void OnTimer(UINT_PTR nIDEvent);
    afx_msg LRESULT OnImportWaiting(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()

  private:
    const ImportSettings m_settings;
    int& m_exitCode;
    bool m_ending = false;  // the import's end is being shown
};

// The progress timer: its id and period in milliseconds.
constexpr UINT_PTR kProgressTimer = 500;
constexpr UINT kProgressPeriod = 500;

// The worker thread's procedure; its argument is the dialog, of which it uses the window, the
// settings and the news.
void ImportWorker(void* dialog);

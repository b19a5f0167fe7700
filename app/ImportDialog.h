// The progress dialog: a line of text and a bar that a timer moves while the import worker
// runs, then the question whether to start the product.
#pragma once

#include "app/resource.h"
#include "app/framework/framework.h"

// The worker's message to the dialog when the import has ended: wParam kImportDoneParam;
// lParam the failure text (a CString the dialog takes over) or 0 when the import completed.
constexpr UINT WM_IMPORT_DONE = WM_USER + 1;
constexpr WPARAM kImportDoneParam = 4;

class CImportDialog : public CDialog {
  public:
    explicit CImportDialog(CWnd* pParent = nullptr);
    ~CImportDialog() override;

    enum { IDD = IDD_IMPORT_DIALOG };

    CProgressCtrl m_progress;
    CString m_strText;

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

    DECLARE_MESSAGE_MAP()
};

// The progress timer: its id and period in milliseconds.
constexpr UINT_PTR kProgressTimer = 500;
constexpr UINT kProgressPeriod = 500;

// The worker thread's procedure; its argument is the dialog, of which it uses the window only.
void ImportWorker(void* dialog);

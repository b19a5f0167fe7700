// The About box, opened from the progress dialog's system menu.
#pragma once

#include "app/resource.h"
#include "app/framework/framework.h"

class CAboutBox : public CDialog {
  public:
    CAboutBox();

    enum { IDD = IDD_ABOUTBOX };

  protected:
    void DoDataExchange(CDataExchange* pDX) override;

    DECLARE_MESSAGE_MAP()
};

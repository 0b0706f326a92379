// The application: runs the tuning dialog modally and ends when it closes.
#pragma once

#include "platform/ui/afxwin.h"

class CTuningApp : public CWinApp
{
public:
    CTuningApp();

    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};

extern CTuningApp theApp;

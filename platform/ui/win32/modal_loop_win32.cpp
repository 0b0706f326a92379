// The modal loop of the Win32 back end: the classic GetMessage loop, with the
// dialog manager's keyboard handling (Tab, Enter, Escape, mnemonics) through
// IsDialogMessage.
#include "platform/ui/afxwin.h"

int CWnd::RunModalLoop()
{
    MSG msg;
    while (m_bContinueModal) {
        const BOOL bResult = ::GetMessageA(&msg, nullptr, 0, 0);
        if (bResult == -1)
            break;
        if (bResult == 0) {
            // WM_QUIT ends the modal run; pass it on to any outer loop.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (!::IsDialogMessageA(m_hWnd, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    return m_nModalResult;
}

void CWnd::EndModalLoop(int nResult)
{
    m_nModalResult = nResult;
    m_bContinueModal = false;
    // Wake the loop, in case the request came from outside a dispatched
    // message (a nested loop of a message box, say).
    if (m_hWnd != nullptr)
        ::PostMessageA(m_hWnd, WM_NULL, 0, 0);
}

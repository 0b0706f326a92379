// The modal loop of the Qt back end: the toolkit's own event loop, run until
// the dialog ends it.
#include "platform/ui/afxwin.h"
#include "platform/ui/qt/shutdown_signals.h"

#include <QEventLoop>

#include <map>

namespace {

std::map<const CWnd*, QEventLoop*>& ModalLoops()
{
    static std::map<const CWnd*, QEventLoop*> loops;
    return loops;
}

}  // namespace

int CWnd::RunModalLoop()
{
    QEventLoop loop;
    ModalLoops()[this] = &loop;
    while (m_bContinueModal)
        loop.exec(QEventLoop::DialogExec);
    ModalLoops().erase(this);
    return m_nModalResult;
}

void CWnd::EndModalLoop(int nResult)
{
    m_nModalResult = nResult;
    m_bContinueModal = false;
    auto it = ModalLoops().find(this);
    if (it != ModalLoops().end())
        it->second->exit();
}

// The dialog manager names the controls as it builds a dialog: nothing more
// to do here. A dialog that goes may be the last one a shutdown waits for.
void AfxDialogBuilt(HWND) {}
void AfxDialogGoing(HWND hDlg)
{
    qtwin::NoteDialogGone(hDlg);
}

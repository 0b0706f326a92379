#include "platform/ui/qt/shutdown_signals.h"

#include "platform/ui/qt/qtwin_internal.h"
#include "platform/ui/qt/winapi_qt.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace qtwin {
namespace {

int g_signalPipe[2] = {-1, -1};

// The only thing done in the handler: one byte into the pipe.
void OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    const ssize_t written = write(g_signalPipe[1], &byte, 1);
    (void)written;   // a full pipe already has a signal waiting
    errno = saved;
}

// In the event loop, once per wake-up however many signals came.
void CancelEverything()
{
    char buffer[64];
    while (read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
    }

    // Message boxes first, as Escape takes them away (their Cancel button, or
    // the only one); the code that showed a box goes on once it has gone.
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(pWidget);
        if (box == nullptr || !box->isVisible())
            continue;
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(box, &escape);
        if (box->isVisible())
            box->reject();
    }

    // Then each dialog's Cancel command, posted so that it comes after the
    // boxes have returned, and once per dialog: a dialog on its way out is not
    // asked again. Handles are never reused.
    static std::set<HWND> cancelled;
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        HWND hDlg = HwndFromWidget(pWidget);
        if (hDlg == nullptr || !cancelled.insert(hDlg).second)
            continue;
        PostMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
    }
}

}  // namespace

void CancelOnShutdownSignals()
{
    if (g_signalPipe[0] >= 0 || QCoreApplication::instance() == nullptr)
        return;
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { CancelEverything(); });

    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction previous = {};
        if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN
            && signalNumber != SIGTERM)
            continue;
        struct sigaction action = {};
        action.sa_handler = &OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signalNumber, &action, nullptr);
    }
}

}  // namespace qtwin

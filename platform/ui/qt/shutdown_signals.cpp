#include "platform/ui/qt/shutdown_signals.h"

#include "platform/ui/afxwin.h"
#include "platform/ui/qt/qtwin_internal.h"
#include "platform/ui/qt/winapi_qt.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qtwin {
namespace {

// Signals closer together than this to the first are one request (ns).
constexpr std::int64_t OneRequestWithin = 500'000'000;

int g_signalPipe[2] = {-1, -1};

// Shared with the handler: lock-free atomics only.
std::atomic<bool> g_bSignalPending{false};      // a signal the UI thread has not acted on
std::atomic<std::int64_t> g_firstSignalAt{0};    // CLOCK_MONOTONIC of the first signal, ns
std::atomic<bool> g_bDialogsGone{false};         // the last top-level dialog has gone
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<std::int64_t>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

// The UI thread's own.
bool g_bShuttingDown = false;
std::thread::id g_uiThread;

// What a signal that ends the process at once writes, made beforehand.
char g_szEndNow[160] = {};
std::size_t g_nEndNow = 0;

std::int64_t MonotonicNow()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t ns = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    return ns != 0 ? ns : 1;   // 0 means "no signal yet"
}

// In the handler: the default action of the signal, now. Async-signal-safe
// calls only; the board stays as it is, and the kernel closes its devices
// with the process.
[[noreturn]] void EndNow(int signalNumber)
{
    const ssize_t written = write(STDERR_FILENO, g_szEndNow, g_nEndNow);
    (void)written;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(signalNumber);
    _exit(128 + signalNumber);
}

void OnSignal(int signalNumber)
{
    const int saved = errno;
    const std::int64_t now = MonotonicNow();
    std::int64_t first = 0;
    if (!g_firstSignalAt.compare_exchange_strong(first, now) && now - first > OneRequestWithin
        && !g_bDialogsGone.load())
        EndNow(signalNumber);
    g_bSignalPending.store(true);
    const char byte = 1;
    const ssize_t written = write(g_signalPipe[1], &byte, 1);
    (void)written;   // a full pipe already has a signal waiting
    errno = saved;
}

// A broken pipe fails the write that met it, and nothing more.
void OnBrokenPipe(int) {}

void WriteToStderr(const QString& caption, const QString& text)
{
    std::fprintf(stderr, "%s: %s\n", caption.toLocal8Bit().constData(), text.toLocal8Bit().constData());
    std::fflush(stderr);
}

// On the UI thread, once per signal taken (however many came at once).
void CancelEverything()
{
    g_bShuttingDown = true;

    // Message boxes first, as Escape takes them away (their Cancel button, or
    // the only one), their text to stderr; the code that showed a box goes
    // on once it has gone.
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(pWidget);
        if (box == nullptr || !box->isVisible())
            continue;
        WriteToStderr(box->windowTitle(), box->text());
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(box, &escape);
        if (box->isVisible())
            box->reject();
    }

    // Then each dialog's Cancel command, posted so that it comes after the
    // boxes have returned but ahead of whatever was queued for the dialog,
    // and once per dialog: a dialog on its way out is not asked again.
    // Handles are never reused.
    static std::set<HWND> cancelled;
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        HWND hDlg = HwndFromWidget(pWidget);
        if (hDlg == nullptr || !cancelled.insert(hDlg).second)
            continue;
        PostMessageAhead(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
    }
}

void OnSignalPipe()
{
    char buffer[64];
    while (read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
    }
    ActOnShutdownSignal();
}

// exit() from inside a dialog's run (Qt's X11 back end calls it when the
// connection to the X server breaks): the dialogs go their way out, which
// closes the board, before the process does. Not on another thread, whose
// exit the UI thread would race, and not after main has returned (no
// application object: every dialog has gone).
void CloseDialogsOnExit()
{
    if (std::this_thread::get_id() != g_uiThread || QCoreApplication::instance() == nullptr)
        return;
    g_bShuttingDown = true;
    // A box still up stays on the stack of a call that never returns: it
    // leaves its owner first, so that the owner's going does not delete it.
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(pWidget); box != nullptr && box->parentWidget() != nullptr)
            box->setParent(nullptr);
    }
    AfxDestroyModalDialogs();
}

}  // namespace

void SurviveBrokenPipes()
{
    struct sigaction previous = {};
    if (sigaction(SIGPIPE, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
        return;
    // A handler rather than SIG_IGN: programs started from here get the
    // default back.
    struct sigaction action = {};
    action.sa_handler = &OnBrokenPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
}

void CancelOnShutdownSignals()
{
    if (g_signalPipe[0] >= 0 || QCoreApplication::instance() == nullptr)
        return;
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_uiThread = std::this_thread::get_id();
    const int n = std::snprintf(g_szEndNow, sizeof g_szEndNow,
                                "%s: another signal: ending now, without closing the card\n",
                                program_invocation_short_name);
    g_nEndNow = n > 0 ? std::min(static_cast<std::size_t>(n), sizeof g_szEndNow - 1) : 0;

    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { OnSignalPipe(); });

    // The exit hook is registered once the event loop first waits: by then
    // the card library has made whatever it keeps in static storage (at
    // DVB_OpenBoard at the latest), and exit runs its handlers in reverse
    // order, so the dialogs close while the card library is still whole.
    if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, notifier, [] {
            static bool registered = false;
            if (!registered) {
                registered = true;
                std::atexit(&CloseDialogsOnExit);
            }
        });
    }

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

void ActOnShutdownSignal()
{
    if (!g_bSignalPending.load(std::memory_order_relaxed) || !g_bSignalPending.exchange(false))
        return;
    CancelEverything();
}

bool ShuttingDown()
{
    return g_bShuttingDown;
}

int ShutdownMessageBox(LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    WriteToStderr(QString::fromUtf8(lpCaption ? lpCaption : "Error"), QString::fromUtf8(lpText ? lpText : ""));
    return (uType & MB_TYPEMASK) == MB_OKCANCEL ? IDCANCEL : IDOK;
}

void NoteDialogGone(HWND hDlg)
{
    if (GetParent(hDlg) != nullptr)
        return;
    const std::vector<HWND> dialogs = Windows().TopLevelDialogs();
    if (dialogs.size() == 1 && dialogs.front() == hDlg)
        g_bDialogsGone.store(true);
}

}  // namespace qtwin

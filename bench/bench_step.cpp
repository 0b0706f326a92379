// Step latency and bursts, in the running tool with the simulated card.
//
//   bench_step [--xvfb [--a11y]] [STEPS] [BURST] [ROUNDS]
//
// Runs the tool's own start-up (AfxWinMain, the tuning dialog, its modal
// loop) and, from inside the loop:
//  - steps the video PID spin button STEPS times (default 10000), up and down
//    in turn, each by a mouse press and release that enter the toolkit as
//    input from the window system does, and times each from the press until
//    the number box has been repainted with the value read back from the
//    card; every step must make exactly one set and four gets on the card;
//  - sends ROUNDS (default 5) bursts of BURST (default 1000) clicks, queued
//    all at once, and as many WM_DVB_PROGRAM_CHANGED deliveries, over the
//    session bus (as from another process) and posted from another thread;
//    each burst must drain with every message handled, and the resident
//    memory after each round shows whether it stays flat.
// The platform is the caller's (QT_QPA_PLATFORM), offscreen if unset; with
// --xvfb, the caller's X server (DISPLAY; tools/bench.sh runs it under
// tests/support/xsession.py, which starts a private Xvfb). With --a11y (on a session bus), the
// toolkit's accessibility is on, as when a screen reader runs.
#include "bench/bench_util.h"
#include "bench/card_counter.h"
#include "platform/ui/afxwin.h"
#include "platform/ui/qt/qtwin_internal.h"
#include "res/resource.h"

#include <QAccessible>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDialog>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

// The window-system entry for mouse input, as the platform plugins and the
// toolkit's own test library use it.
Q_GUI_EXPORT void qt_handleMouseEvent(QWindow* window, const QPointF& local, const QPointF& global,
                                      Qt::MouseButtons state, Qt::MouseButton button, QEvent::Type type,
                                      Qt::KeyboardModifiers mods, int timestamp);

namespace {

// On X, input can come the whole way: from the X server's test extension,
// through the server and the toolkit's X connection, into the event loop.
// The libraries are loaded at run time, so the benchmark builds without
// their development files.
class XTestInput
{
public:
    bool Open()
    {
        void* x11 = dlopen("libX11.so.6", RTLD_NOW);
        void* xtst = dlopen("libXtst.so.6", RTLD_NOW);
        if (x11 == nullptr || xtst == nullptr)
            return false;
        auto open = reinterpret_cast<void* (*)(const char*)>(dlsym(x11, "XOpenDisplay"));
        m_flush = reinterpret_cast<int (*)(void*)>(dlsym(x11, "XFlush"));
        m_motion = reinterpret_cast<int (*)(void*, int, int, int, unsigned long)>(dlsym(xtst, "XTestFakeMotionEvent"));
        m_button = reinterpret_cast<int (*)(void*, unsigned, int, unsigned long)>(dlsym(xtst, "XTestFakeButtonEvent"));
        if (open == nullptr || m_flush == nullptr || m_motion == nullptr || m_button == nullptr)
            return false;
        m_pDisplay = open(nullptr);
        return m_pDisplay != nullptr;
    }

    // Queues a click at a point of the screen; Flush() sends what is queued.
    void Click(const QPoint& global)
    {
        if (global != m_last) {
            m_motion(m_pDisplay, -1, global.x(), global.y(), 0);
            m_last = global;
        }
        m_button(m_pDisplay, 1, 1, 0);
        m_button(m_pDisplay, 1, 0, 0);
    }

    void Flush() { m_flush(m_pDisplay); }

private:
    void* m_pDisplay = nullptr;
    int (*m_flush)(void*) = nullptr;
    int (*m_motion)(void*, int, int, int, unsigned long) = nullptr;
    int (*m_button)(void*, unsigned, int, unsigned long) = nullptr;
    QPoint m_last{-1, -1};
};

XTestInput* g_pXTest = nullptr;   // when input comes through the X server

constexpr UINT WmApplyVideoPid = WM_USER + 1;

struct Counters
{
    std::uint64_t notices = 0;        // UDN_DELTAPOS from the video PID spin
    std::uint64_t applies = 0;        // the dialog's deferred apply for it
    std::uint64_t programChanged = 0; // WM_DVB_PROGRAM_CHANGED at the dialog
};

Counters g_counters;
HWND g_hDlg = nullptr;
UINT g_wmChanged = 0;
int g_failures = 0;

LRESULT CALLBACK CountMessages(int, WPARAM, LPARAM lParam)
{
    const auto* cwp = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (cwp->hwnd != g_hDlg)
        return 0;
    if (cwp->message == WM_NOTIFY) {
        const auto* hdr = reinterpret_cast<const NMHDR*>(cwp->lParam);
        if (hdr->code == static_cast<UINT>(UDN_DELTAPOS) && hdr->idFrom == IDC_SPIN_VIDEO_PID)
            ++g_counters.notices;
    } else if (cwp->message == WmApplyVideoPid) {
        ++g_counters.applies;
    } else if (cwp->message == g_wmChanged) {
        ++g_counters.programChanged;
    }
    return 0;
}

void Fail(const char* pszWhat)
{
    ++g_failures;
    std::printf("  FAILED: %s\n", pszWhat);
}

// Remembers the text the box last painted.
class PaintWatch : public QObject
{
public:
    explicit PaintWatch(QLineEdit* pBox) : m_pBox(pBox) { pBox->installEventFilter(this); }
    QString painted;

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::Paint)
            painted = m_pBox->text();
        return false;
    }

private:
    QLineEdit* m_pBox;
};

template <typename Done>
bool ProcessUntil(Done done, int timeoutMs = 5000)
{
    const std::int64_t deadline = bench::NowNs() + std::int64_t{timeoutMs} * 1000000;
    while (!done()) {
        if (bench::NowNs() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    return true;
}

// Everything still queued is handled.
void Drain()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

struct Target
{
    QWidget* pDialog = nullptr;
    QWindow* pWindow = nullptr;
    QWidget* pSpin = nullptr;
    QLineEdit* pBox = nullptr;
    QPoint upHalf, downHalf;   // in window coordinates
};

int g_timestamp = 0;

void Click(const Target& t, bool bUp)
{
    const QPoint local = bUp ? t.upHalf : t.downHalf;
    const QPoint global = t.pWindow->mapToGlobal(local);
    if (g_pXTest != nullptr) {
        g_pXTest->Click(global);
        g_pXTest->Flush();
        return;
    }
    // A second apart, so no two clicks make a double click.
    g_timestamp += 1000;
    qt_handleMouseEvent(t.pWindow, local, global, Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress, {},
                        g_timestamp);
    qt_handleMouseEvent(t.pWindow, local, global, Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease, {},
                        g_timestamp + 50);
}

unsigned BoxValue(const Target& t)
{
    return t.pBox->text().toUInt();
}

void StepLatency(const Target& t, int steps)
{
    PaintWatch watch(t.pBox);
    std::vector<double> latencies;
    latencies.reserve(static_cast<std::size_t>(steps));
    const unsigned base = BoxValue(t);
    int badCalls = 0;
    const long rssBefore = bench::StatusKb("VmRSS");
    for (int i = 0; i < steps; ++i) {
        const bool bUp = i % 2 == 0;
        const QString expected = QString::number(bUp ? base + 1 : base);
        const bench::CardCalls before = bench::Calls();
        watch.painted.clear();
        const std::int64_t t0 = bench::NowNs();
        Click(t, bUp);
        if (!ProcessUntil([&] { return watch.painted == expected; })) {
            Fail("the box did not show the read-back value");
            return;
        }
        latencies.push_back(static_cast<double>(bench::NowNs() - t0) / 1e3);
        const bench::CardCalls after = bench::Calls();
        if (after.sets - before.sets != 1 || after.gets - before.gets != 4)
            ++badCalls;
    }
    std::printf("step latency (press to box repainted with the card's value), %d steps:\n", steps);
    std::printf("  median %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us\n", bench::Median(latencies),
                bench::Quantile(latencies, 0.90), bench::Quantile(latencies, 0.99), bench::Quantile(latencies, 1));
    std::printf("  card calls: %d of %d steps made other than one set and four gets\n", badCalls, steps);
    std::printf("  RSS before %ld kB, after %ld kB\n", rssBefore, bench::StatusKb("VmRSS"));
    if (badCalls != 0)
        Fail("card calls per step");
}

void ClickBurst(const Target& t, int burst, int round)
{
    const unsigned base = BoxValue(t);
    const Counters c0 = g_counters;
    const bench::CardCalls k0 = bench::Calls();
    const bool bUp = round % 2 == 0;   // up, then back down, so rounds repeat
    const std::int64_t t0 = bench::NowNs();
    // Queue every click before any is handled, as input that arrives faster
    // than the tool handles it.
    const QPoint local = bUp ? t.upHalf : t.downHalf;
    for (int i = 0; i < burst && g_pXTest != nullptr; ++i)
        g_pXTest->Click(t.pWindow->mapToGlobal(local));
    if (g_pXTest != nullptr)
        g_pXTest->Flush();
    for (int i = 0; i < burst && g_pXTest == nullptr; ++i) {
        g_timestamp += 1000;
        const QPointF global = t.pWindow->mapToGlobal(QPointF(local));
        QCoreApplication::postEvent(t.pWindow, new QMouseEvent(QEvent::MouseButtonPress, QPointF(local), global,
                                                               Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
        QCoreApplication::postEvent(t.pWindow, new QMouseEvent(QEvent::MouseButtonRelease, QPointF(local), global,
                                                               Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
    }
    const auto n = static_cast<std::uint64_t>(burst);
    const bool drained = ProcessUntil([&] { return g_counters.applies - c0.applies >= n; }, 20000);
    const double ms = static_cast<double>(bench::NowNs() - t0) / 1e6;
    Drain();
    const unsigned expected = bUp ? base + static_cast<unsigned>(burst) : base - static_cast<unsigned>(burst);
    const Counters c1 = g_counters;
    const bench::CardCalls k1 = bench::Calls();
    std::printf("  clicks   round %d: %d queued, drained in %7.2f ms; notices %llu, applies %llu, sets %llu, "
                "gets %llu, box %u (expected %u); RSS %ld kB, heap %ld kB\n",
                round + 1, burst, ms, static_cast<unsigned long long>(c1.notices - c0.notices),
                static_cast<unsigned long long>(c1.applies - c0.applies),
                static_cast<unsigned long long>(k1.sets - k0.sets), static_cast<unsigned long long>(k1.gets - k0.gets),
                BoxValue(t), expected, bench::StatusKb("VmRSS"), bench::HeapInUseKb());
    if (!drained || c1.notices - c0.notices != n || c1.applies - c0.applies != n || k1.sets - k0.sets != n
        || k1.gets - k0.gets != 4 * n || BoxValue(t) != expected)
        Fail("click burst");
}

void ProgramChangedBurst(const char* pszHow, int burst, int round, const std::function<void()>& deliver)
{
    const Counters c0 = g_counters;
    const bench::CardCalls k0 = bench::Calls();
    const std::int64_t t0 = bench::NowNs();
    deliver();
    const auto n = static_cast<std::uint64_t>(burst);
    const bool drained = ProcessUntil([&] { return g_counters.programChanged - c0.programChanged >= n; }, 20000);
    const double ms = static_cast<double>(bench::NowNs() - t0) / 1e6;
    Drain();
    const Counters c1 = g_counters;
    const bench::CardCalls k1 = bench::Calls();
    std::printf("  %-8s round %d: %d sent,   drained in %7.2f ms; handled %llu, sets %llu, gets %llu; RSS %ld kB, "
                "heap %ld kB\n",
                pszHow, round + 1, burst, ms, static_cast<unsigned long long>(c1.programChanged - c0.programChanged),
                static_cast<unsigned long long>(k1.sets - k0.sets), static_cast<unsigned long long>(k1.gets - k0.gets),
                bench::StatusKb("VmRSS"), bench::HeapInUseKb());
    if (!drained || c1.programChanged - c0.programChanged != n || k1.sets != k0.sets || k1.gets - k0.gets != 4 * n)
        Fail(pszHow);
}

void Bursts(const Target& t, int burst, int rounds)
{
    std::printf("bursts of %d, %d rounds (memory should stay flat across rounds):\n", burst, rounds);
    for (int r = 0; r < rounds; ++r)
        ClickBurst(t, burst, r);

    QDBusConnection sender = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("bench-sender"));
    if (sender.isConnected()) {
        for (int r = 0; r < rounds; ++r) {
            ProgramChangedBurst("d-bus", burst, r, [&] {
                for (int i = 0; i < burst; ++i) {
                    QDBusMessage signal = QDBusMessage::createSignal(
                        QStringLiteral("/org/tavrik/bench"), QStringLiteral("org.tavrik.WindowMessage"),
                        QStringLiteral("Broadcast"));
                    signal << QStringLiteral("WM_DVB_PROGRAM_CHANGED");
                    sender.send(signal);
                }
            });
        }
    } else {
        std::printf("  d-bus    skipped: no session bus\n");
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("bench-sender"));

    for (int r = 0; r < rounds; ++r) {
        ProgramChangedBurst("posted", burst, r, [&] {
            std::thread poster([&] {
                for (int i = 0; i < burst; ++i)
                    PostMessageA(g_hDlg, g_wmChanged, 0, 0);
            });
            poster.join();
        });
    }
    std::printf("  peak RSS %ld kB\n", bench::StatusKb("VmHWM"));
}

void RunBenchmarks(int steps, int burst, int rounds)
{
    QWidget* pDialog = QApplication::activeModalWidget();
    g_hDlg = qtwin::HwndFromWidget(pDialog);
    if (g_hDlg == nullptr) {
        Fail("no dialog");
        return;
    }
    Target t;
    t.pDialog = pDialog;
    t.pWindow = pDialog->windowHandle();
    t.pSpin = qtwin::WidgetFromHwnd(GetDlgItem(g_hDlg, IDC_SPIN_VIDEO_PID));
    t.pBox = qobject_cast<QLineEdit*>(qtwin::WidgetFromHwnd(GetDlgItem(g_hDlg, IDC_EDIT_VIDEO_PID)));
    if (t.pWindow == nullptr || t.pSpin == nullptr || t.pBox == nullptr) {
        Fail("controls not found");
        return;
    }
    if (!ProcessUntil([&] { return t.pWindow->isExposed(); })) {
        Fail("the dialog is not shown");
        return;
    }
    t.upHalf = t.pSpin->mapTo(pDialog, QPoint(t.pSpin->width() / 2, t.pSpin->height() / 4));
    t.downHalf = t.pSpin->mapTo(pDialog, QPoint(t.pSpin->width() / 2, t.pSpin->height() * 3 / 4));
    g_wmChanged = RegisterWindowMessageA("WM_DVB_PROGRAM_CHANGED");
    static XTestInput xtest;
    if (QGuiApplication::platformName() == QLatin1String("xcb") && xtest.Open())
        g_pXTest = &xtest;
    std::printf("input: %s\n", g_pXTest ? "X test extension, through the X server"
                                          : "the toolkit's window-system input entry");
    HHOOK hHook = SetWindowsHookExA(WH_CALLWNDPROC, CountMessages, nullptr, 0);

    StepLatency(t, steps);
    Bursts(t, burst, rounds);

    UnhookWindowsHookEx(hHook);
}

}  // namespace

int main(int argc, char* argv[])
{
    std::vector<int> numbers;
    bool bXvfb = false;
    bool bA11y = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--xvfb") == 0)
            bXvfb = true;
        else if (std::strcmp(argv[i], "--a11y") == 0)
            bA11y = true;
        else
            numbers.push_back(std::atoi(argv[i]));
    }
    const int steps = numbers.size() > 0 ? numbers[0] : 10000;
    const int burst = numbers.size() > 1 ? numbers[1] : 1000;
    const int rounds = numbers.size() > 2 ? numbers[2] : 5;

    if (bXvfb) {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            std::printf("--xvfb: no X server (DISPLAY; run under tests/support/xsession.py)\n");
            return 1;
        }
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (bA11y)
        qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication application(argc, argv);
    if (bA11y) {
        // The session's accessibility bus, which the toolkit joins once it is there.
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected())
            bus.interface()->startService(QStringLiteral("org.a11y.Bus"));
        const std::int64_t deadline = bench::NowNs() + 5000000000LL;
        while (!QAccessible::isActive() && bench::NowNs() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }

    bench::PrintMachine();
    std::printf("platform: %s, accessibility %s\n", qPrintable(QGuiApplication::platformName()),
                QAccessible::isActive() ? "on" : "off");
    QTimer::singleShot(0, [=] {
        RunBenchmarks(steps, burst, rounds);
        // Close the dialog with OK, as the user would.
        if (HWND hOk = GetDlgItem(g_hDlg, IDOK))
            SendMessageA(hOk, BM_CLICK, 0, 0);
    });
    AfxWinMain(::GetModuleHandleA(nullptr), nullptr, nullptr, 0);
    std::printf("%s\n", g_failures ? "SOME CHECKS FAILED" : "all checks passed");
    return g_failures ? 1 : 0;
}

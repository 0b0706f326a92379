// tavrik-sim with a probe: the same application, dialog and simulated card,
// with a process entry that writes to stdout when main() begins ("main
// <ns>"), when the toolkit's application object is ready ("app <ns>") and
// when the dialog has first been painted ("painted <ns>"), all on
// CLOCK_MONOTONIC, and then closes the dialog through its close box, as a
// user closing it at once would.
#include "bench/bench_util.h"
#include "platform/ui/afxwin.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QTimer>

#include <cstdio>

namespace {

class FirstPaintProbe : public QObject
{
protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override
    {
        if (!m_bDone && pEvent->type() == QEvent::Paint && qobject_cast<QDialog*>(pObject) != nullptr) {
            m_bDone = true;
            auto* pDialog = static_cast<QDialog*>(pObject);
            // Stamp once the painting (children included) and its flush to
            // the screen are over: the first thing the loop does afterwards.
            QTimer::singleShot(0, pDialog, [pDialog] {
                std::printf("painted %lld\n", static_cast<long long>(bench::NowNs()));
                std::fflush(stdout);
                pDialog->close();
            });
        }
        return false;
    }

private:
    bool m_bDone = false;
};

}  // namespace

int main(int argc, char* argv[])
{
    std::printf("main %lld\n", static_cast<long long>(bench::NowNs()));
    QApplication application(argc, argv);
    std::printf("app %lld\n", static_cast<long long>(bench::NowNs()));
    FirstPaintProbe probe;
    application.installEventFilter(&probe);
    return AfxWinMain(::GetModuleHandleA(nullptr), nullptr, nullptr, 0);
}

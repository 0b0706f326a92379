// The start-up probe both start-up programs share: writes to stdout when
// main() begins ("main <ns>"), when the toolkit's application object is ready
// ("app <ns>") and when the first dialog has first been painted ("painted
// <ns>"), all on CLOCK_MONOTONIC, and then closes the dialog, as a user
// closing it at once would.
#pragma once

#include "bench/bench_util.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QObject>
#include <QTimer>

#include <cstdio>

namespace bench {

inline void Stamp(const char* pszWhat)
{
    std::printf("%s %lld\n", pszWhat, static_cast<long long>(NowNs()));
    std::fflush(stdout);
}

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
                Stamp("painted");
                pDialog->close();
            });
        }
        return false;
    }

private:
    bool m_bDone = false;
};

struct MainStamp
{
    MainStamp() { Stamp("main"); }
};

// The application object with the probe: "main" before the toolkit starts,
// "app" once it is ready, "painted" after the first dialog's first paint.
class ProbedApplication : private MainStamp, public QApplication
{
public:
    ProbedApplication(int& argc, char** argv) : QApplication(argc, argv)
    {
        Stamp("app");
        installEventFilter(&m_probe);
    }

private:
    FirstPaintProbe m_probe;
};

}  // namespace bench

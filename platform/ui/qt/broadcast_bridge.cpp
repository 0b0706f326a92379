// Registered messages from other processes: they arrive as a session-bus
// signal org.tavrik.WindowMessage.Broadcast(name [, wParam, lParam]) and go
// to every top-level dialog, as a broadcast does.

#include "platform/ui/qt/qtwin_internal.h"
#include "platform/ui/qt/winapi_qt.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QVariant>

namespace qtwin {
namespace {

class BroadcastListener : public QObject
{
    Q_OBJECT

public slots:
    void OnBroadcast(const QDBusMessage& message)
    {
        const QList<QVariant> args = message.arguments();
        if (args.isEmpty())
            return;
        const UINT nMessage = FindRegisteredMessage(args[0].toString().toUtf8().constData());
        if (nMessage == 0)
            return;   // nobody here registered it
        const WPARAM wParam = args.size() > 1 ? static_cast<WPARAM>(args[1].toULongLong()) : 0;
        const LPARAM lParam = args.size() > 2 ? static_cast<LPARAM>(args[2].toLongLong()) : 0;
        for (HWND hWnd : Windows().TopLevelDialogs())
            PostMessageA(hWnd, nMessage, wParam, lParam);
    }
};

}  // namespace

void StartBroadcastBridge()
{
    static bool started = false;
    if (started)
        return;
    started = true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;   // no session bus: the tool runs without it
    auto* listener = new BroadcastListener;
    listener->setParent(QCoreApplication::instance());
    bus.connect(QString(), QString(), QStringLiteral("org.tavrik.WindowMessage"), QStringLiteral("Broadcast"),
                listener, SLOT(OnBroadcast(QDBusMessage)));
}

}  // namespace qtwin

#include "broadcast_bridge.moc"

// The window-system API over Qt Widgets, its core: windows behind integer
// handles, sent and posted messages, registered messages, hooks, and the
// module.

#include "platform/ui/qt/qtwin_internal.h"
#include "platform/ui/qt/shutdown_signals.h"
#include "platform/ui/qt/winapi_qt.h"

#include <QApplication>

#include <algorithm>
#include <cstring>
#include <string>
#include <unistd.h>

namespace qtwin {

HWND Registry::Add(std::unique_ptr<Window> window)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_next += 4;
    HWND hWnd = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(m_next));
    window->hWnd = hWnd;
    m_windows[hWnd] = std::move(window);
    return hWnd;
}

Window* Registry::Find(HWND hWnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_windows.find(hWnd);
    return it == m_windows.end() ? nullptr : it->second.get();
}

std::unique_ptr<Window> Registry::Remove(HWND hWnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_windows.find(hWnd);
    if (it == m_windows.end())
        return nullptr;
    std::unique_ptr<Window> window = std::move(it->second);
    m_windows.erase(it);
    return window;
}

bool Registry::Contains(HWND hWnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_windows.count(hWnd) != 0;
}

std::vector<HWND> Registry::TopLevelDialogs()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<HWND> result;
    for (const auto& [hWnd, window] : m_windows) {
        if (window->kind == Kind::Dialog && window->hWndParent == nullptr)
            result.push_back(hWnd);
    }
    return result;
}

Window* Registry::FindByWidget(const QWidget* pWidget)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [hWnd, window] : m_windows) {
        if (window->widget == pWidget)
            return window.get();
    }
    return nullptr;
}

Registry& Windows()
{
    static Registry registry;
    return registry;
}

QWidget* WidgetFromHwnd(HWND hWnd)
{
    Window* w = Windows().Find(hWnd);
    return w ? w->widget.data() : nullptr;
}

HWND HwndFromWidget(const QWidget* pWidget)
{
    Window* w = Windows().FindByWidget(pWidget);
    return w ? w->hWnd : nullptr;
}

LRESULT CopyTextOut(const QByteArray& text, WPARAM wParam, LPARAM lParam)
{
    if (wParam == 0 || lParam == 0)
        return 0;
    const auto n = std::min<std::size_t>(static_cast<std::size_t>(text.size()), wParam - 1);
    std::memcpy(reinterpret_cast<char*>(lParam), text.constData(), n);
    reinterpret_cast<char*>(lParam)[n] = '\0';
    return static_cast<LRESULT>(n);
}

namespace {

// --- Posted messages ---------------------------------------------------------

const QEvent::Type PostedMessageEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

struct PostedMessageEvent : QEvent
{
    PostedMessageEvent(HWND h, UINT m, WPARAM w, LPARAM l)
        : QEvent(PostedMessageEventType), hWnd(h), message(m), wParam(w), lParam(l) {}
    HWND hWnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool bAhead = false;   // PostMessageAhead's
};

// The thread's message queue: posted messages travel through the toolkit's
// event queue, in order, and reach their window when the loop gets to them.
// The toolkit delivers everything queued in one go: a shutdown signal that
// comes in meanwhile is acted on between two messages, and from then on only
// the shutdown's own posts are delivered, since the dialogs are on their way
// out (a queued refresh would read the card for nobody).
class MessageQueue : public QObject
{
public:
    bool event(QEvent* e) override
    {
        if (e->type() != PostedMessageEventType)
            return QObject::event(e);
        auto* m = static_cast<PostedMessageEvent*>(e);
        ActOnShutdownSignal();
        if (ShuttingDown() && !m->bAhead)
            return true;
        if (Windows().Contains(m->hWnd))
            SendMessageA(m->hWnd, m->message, m->wParam, m->lParam);
        return true;
    }
};

std::mutex g_queueMutex;
MessageQueue* g_pQueue = nullptr;

// --- Registered messages -----------------------------------------------------

// Function statics: a program may register its messages while its own
// statics are initialised.
std::mutex& AtomMutex()
{
    static std::mutex m;
    return m;
}

// Message 0xC000 + i is name i.
std::vector<std::string>& AtomNames()
{
    static std::vector<std::string> names;
    return names;
}

// The identifier of an already registered name, or 0; under AtomMutex().
UINT LookUpAtom(const char* pszName)
{
    const std::size_t length = std::strlen(pszName);
    const auto& names = AtomNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (name.size() == length && strncasecmp(name.c_str(), pszName, length) == 0)
            return static_cast<UINT>(0xC000 + i);
    }
    return 0;
}

// --- Hooks -------------------------------------------------------------------

std::vector<HOOKPROC> g_callWndProcHooks;

}  // namespace

void EnsureMessageQueue()
{
    std::lock_guard<std::mutex> lock(g_queueMutex);
    if (g_pQueue == nullptr && QCoreApplication::instance() != nullptr) {
        g_pQueue = new MessageQueue;
        // The queue goes with the application object.
        QObject::connect(QCoreApplication::instance(), &QObject::destroyed, [] {
            std::lock_guard<std::mutex> l(g_queueMutex);
            g_pQueue = nullptr;
        });
        g_pQueue->setParent(QCoreApplication::instance());
    }
}

UINT FindRegisteredMessage(const char* pszName)
{
    std::lock_guard<std::mutex> lock(AtomMutex());
    return LookUpAtom(pszName);
}

BOOL PostMessageAhead(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (!Windows().Contains(hWnd))
        return FALSE;
    std::lock_guard<std::mutex> lock(g_queueMutex);
    if (g_pQueue == nullptr)
        return FALSE;
    auto* e = new PostedMessageEvent(hWnd, Msg, wParam, lParam);
    e->bAhead = true;
    QCoreApplication::postEvent(g_pQueue, e, Qt::HighEventPriority);
    return TRUE;
}

}  // namespace qtwin

using namespace qtwin;

// --- Windows -----------------------------------------------------------------

BOOL WINAPI DestroyWindow(HWND hWnd)
{
    Window* w = Windows().Find(hWnd);
    if (w == nullptr)
        return FALSE;
    if (w->kind == Kind::Dialog && w->pfnDlgProc != nullptr)
        w->pfnDlgProc(hWnd, WM_DESTROY, 0, 0);
    if ((w = Windows().Find(hWnd)) == nullptr)
        return TRUE;
    for (HWND hChild : w->children)
        Windows().Remove(hChild);
    if (Window* parent = Windows().Find(w->hWndParent)) {
        auto& siblings = parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), hWnd), siblings.end());
    }
    std::unique_ptr<Window> removed = Windows().Remove(hWnd);
    delete removed->widget.data();
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd)
{
    return Windows().Contains(hWnd);
}

BOOL WINAPI IsWindowVisible(HWND hWnd)
{
    QWidget* pWidget = WidgetFromHwnd(hWnd);
    return pWidget != nullptr && pWidget->isVisible();
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable)
{
    QWidget* pWidget = WidgetFromHwnd(hWnd);
    if (pWidget == nullptr)
        return FALSE;
    const BOOL bWasDisabled = !pWidget->isEnabled();
    pWidget->setEnabled(bEnable);
    return bWasDisabled;
}

HWND WINAPI GetParent(HWND hWnd)
{
    Window* w = Windows().Find(hWnd);
    return w ? w->hWndParent : nullptr;
}

HWND WINAPI GetFocus()
{
    QWidget* pWidget = QApplication::focusWidget();
    return pWidget ? HwndFromWidget(pWidget) : nullptr;
}

HWND WINAPI SetFocus(HWND hWnd)
{
    HWND hPrevious = GetFocus();
    if (QWidget* pWidget = WidgetFromHwnd(hWnd))
        pWidget->setFocus(Qt::OtherFocusReason);
    return hPrevious;
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString)
{
    return static_cast<BOOL>(SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString ? lpString : "")));
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
{
    if (lpString == nullptr || nMaxCount <= 0)
        return 0;
    lpString[0] = '\0';
    return static_cast<int>(SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount),
                                         reinterpret_cast<LPARAM>(lpString)));
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
{
    Window* w = Windows().Find(hWnd);
    if (w == nullptr)
        return 0;
    LONG_PTR* slot = nIndex == GWLP_USERDATA ? &w->userData
                   : (nIndex == DWLP_MSGRESULT && w->kind == Kind::Dialog) ? &w->msgResult : nullptr;
    if (slot == nullptr)
        return 0;
    const LONG_PTR previous = *slot;
    *slot = dwNewLong;
    return previous;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex)
{
    Window* w = Windows().Find(hWnd);
    if (w == nullptr)
        return 0;
    if (nIndex == GWLP_USERDATA)
        return w->userData;
    if (nIndex == DWLP_MSGRESULT && w->kind == Kind::Dialog)
        return w->msgResult;
    return 0;
}

// --- Messages ----------------------------------------------------------------

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (!g_callWndProcHooks.empty()) {
        CWPSTRUCT cwp{lParam, wParam, Msg, hWnd};
        const std::vector<HOOKPROC> hooks = g_callWndProcHooks;
        for (HOOKPROC pfn : hooks)
            pfn(0, 1, reinterpret_cast<LPARAM>(&cwp));
    }

    Window* w = Windows().Find(hWnd);
    if (w == nullptr)
        return 0;
    if (w->kind != Kind::Dialog)
        return ControlMessage(*w, Msg, wParam, lParam);

    // The dialog manager: the dialog procedure first, then the defaults.
    if (w->pfnDlgProc != nullptr) {
        w->msgResult = 0;
        const INT_PTR result = w->pfnDlgProc(hWnd, Msg, wParam, lParam);
        if (result != 0) {
            if (Msg == WM_INITDIALOG || Msg == WM_QUERYDRAGICON)
                return result;
            Window* after = Windows().Find(hWnd);
            return after ? after->msgResult : 0;
        }
        if ((w = Windows().Find(hWnd)) == nullptr)
            return 0;
    }
    return DefaultDialogMessage(*w, Msg, wParam, lParam);
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (!Windows().Contains(hWnd))
        return FALSE;
    std::lock_guard<std::mutex> lock(g_queueMutex);
    if (g_pQueue == nullptr)
        return FALSE;
    QCoreApplication::postEvent(g_pQueue, new PostedMessageEvent(hWnd, Msg, wParam, lParam));
    return TRUE;
}

UINT WINAPI RegisterWindowMessageA(LPCSTR lpString)
{
    if (lpString == nullptr || *lpString == '\0')
        return 0;
    std::lock_guard<std::mutex> lock(AtomMutex());
    if (const UINT nMessage = LookUpAtom(lpString))
        return nMessage;
    auto& names = AtomNames();
    if (names.size() >= 0x4000)
        return 0;
    names.emplace_back(lpString);
    return static_cast<UINT>(0xC000 + names.size() - 1);
}

// --- Hooks -------------------------------------------------------------------

HHOOK WINAPI SetWindowsHookExA(int idHook, HOOKPROC lpfn, HINSTANCE, DWORD)
{
    if (idHook != WH_CALLWNDPROC || lpfn == nullptr)
        return nullptr;
    g_callWndProcHooks.push_back(lpfn);
    return reinterpret_cast<HHOOK>(lpfn);
}

BOOL WINAPI UnhookWindowsHookEx(HHOOK hhk)
{
    auto it = std::find(g_callWndProcHooks.begin(), g_callWndProcHooks.end(), reinterpret_cast<HOOKPROC>(hhk));
    if (it == g_callWndProcHooks.end())
        return FALSE;
    g_callWndProcHooks.erase(it);
    return TRUE;
}

LRESULT WINAPI CallNextHookEx(HHOOK, int, WPARAM, LPARAM)
{
    return 0;
}

// --- Module ------------------------------------------------------------------

DWORD WINAPI GetModuleFileNameA(HINSTANCE, LPSTR lpFilename, DWORD nSize)
{
    if (lpFilename == nullptr || nSize == 0)
        return 0;
    char szPath[4096];
    const ssize_t n = readlink("/proc/self/exe", szPath, sizeof szPath - 1);
    if (n <= 0) {
        lpFilename[0] = '\0';
        return 0;
    }
    return static_cast<DWORD>(CopyTextOut(QByteArray(szPath, static_cast<qsizetype>(n)), nSize,
                                          reinterpret_cast<LPARAM>(lpFilename)));
}

HINSTANCE WINAPI GetModuleHandleA(LPCSTR)
{
    // The one module; its resources are the ones the build embedded.
    return reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(0x400000));
}

// The window-system API over Qt Widgets: windows behind integer handles, a
// dialog manager that builds dialogs from compiled templates, sent and posted
// messages, registered messages (also from other processes, over D-Bus),
// message boxes, icons and painting.

#include "platform/ui/qt/winapi_qt.h"
#include "platform/ui/qt/qtwin_internal.h"
#include "platform/ui/qt/resources.h"
#include "platform/ui/qt/updown_accessible.h"
#include "platform/ui/qt/updown_control.h"

#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDialog>
#include <QFontMetrics>
#include <QIcon>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

// Handles that carry data: an icon, and a paint device context.
struct HICON__
{
    QIcon icon;
};

struct HDC__
{
    QWidget* pWidget = nullptr;
    std::unique_ptr<QPainter> pPainter;
};

namespace qtwin {
namespace {

enum class Kind { Dialog, Button, Edit, Static, UpDown, Other };

struct Window
{
    HWND hWnd = nullptr;
    Kind kind = Kind::Other;
    QPointer<QWidget> widget;
    HWND hWndParent = nullptr;
    int id = 0;
    DWORD style = 0;
    DLGPROC pfnDlgProc = nullptr;
    LONG_PTR userData = 0;
    LONG_PTR msgResult = 0;
    int defId = IDOK;
    HICON hIconBig = nullptr;
    HICON hIconSmall = nullptr;
    int baseUnitX = 0;
    int baseUnitY = 0;
    std::vector<HWND> children;   // in template order
    HDC__* pPaintDC = nullptr;    // while the window handles WM_PAINT
};

// Windows are reached through integer handles, as on Windows: a handle that
// has gone is simply not found, from any thread.
class Registry
{
public:
    HWND Add(std::unique_ptr<Window> window)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_next += 4;
        HWND hWnd = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(m_next));
        window->hWnd = hWnd;
        m_windows[hWnd] = std::move(window);
        return hWnd;
    }

    // UI thread only: the window stays valid until Remove on the same thread.
    Window* Find(HWND hWnd)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_windows.find(hWnd);
        return it == m_windows.end() ? nullptr : it->second.get();
    }

    std::unique_ptr<Window> Remove(HWND hWnd)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_windows.find(hWnd);
        if (it == m_windows.end())
            return nullptr;
        std::unique_ptr<Window> window = std::move(it->second);
        m_windows.erase(it);
        return window;
    }

    bool Contains(HWND hWnd)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_windows.count(hWnd) != 0;
    }

    std::vector<HWND> TopLevelDialogs()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<HWND> result;
        for (const auto& [hWnd, window] : m_windows) {
            if (window->kind == Kind::Dialog && window->hWndParent == nullptr)
                result.push_back(hWnd);
        }
        return result;
    }

    Window* FindByWidget(const QWidget* pWidget)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [hWnd, window] : m_windows) {
            if (window->widget == pWidget)
                return window.get();
        }
        return nullptr;
    }

private:
    std::mutex m_mutex;
    std::unordered_map<HWND, std::unique_ptr<Window>> m_windows;
    std::uintptr_t m_next = 0x10000;
};

Registry& Windows()
{
    static Registry registry;
    return registry;
}

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
};

// The thread's message queue: posted messages travel through the toolkit's
// event queue, in order, and reach their window when the loop gets to them.
class MessageQueue : public QObject
{
public:
    bool event(QEvent* e) override
    {
        if (e->type() != PostedMessageEventType)
            return QObject::event(e);
        auto* m = static_cast<PostedMessageEvent*>(e);
        if (Windows().Contains(m->hWnd))
            SendMessageA(m->hWnd, m->message, m->wParam, m->lParam);
        return true;
    }
};

std::mutex g_queueMutex;
MessageQueue* g_pQueue = nullptr;

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

// --- Registered messages -----------------------------------------------------

std::mutex& AtomMutex()
{
    static std::mutex m;
    return m;
}

std::vector<std::string>& AtomNames()
{
    static std::vector<std::string> names;
    return names;
}

bool SameAtomName(const std::string& a, const char* b)
{
    return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

// The identifier of an already registered name, or 0.
UINT FindRegisteredMessage(const char* pszName)
{
    std::lock_guard<std::mutex> lock(AtomMutex());
    const auto& names = AtomNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (SameAtomName(names[i], pszName))
            return static_cast<UINT>(0xC000 + i);
    }
    return 0;
}

// Other processes deliver registered messages as a session-bus signal
// org.tavrik.WindowMessage.Broadcast(name [, wParam, lParam]); they go to
// every top-level dialog, as a broadcast does.
class BroadcastListener : public QObject
{
    Q_OBJECT

public:
    static void Start()
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
        bus.connect(QString(), QString(), QStringLiteral("org.tavrik.WindowMessage"),
                    QStringLiteral("Broadcast"), listener, SLOT(OnBroadcast(QDBusMessage)));
    }

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

// --- Hooks -------------------------------------------------------------------

std::vector<HOOKPROC> g_callWndProcHooks;

// --- Dialogs -----------------------------------------------------------------

HWND CreateControl(Window& dialog, QWidget* pDialogWidget, const DialogItem& item);
LRESULT DefaultDialogMessage(Window& w, UINT message, WPARAM wParam, LPARAM lParam);

class DialogWidget : public QDialog
{
public:
    DialogWidget(HWND hWnd, QWidget* parent, Qt::WindowFlags flags)
        : QDialog(parent, flags), m_hWnd(hWnd) {}

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        // The dialog manager's keys: Enter presses the default button, Escape
        // cancels, F1 asks for help.
        switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter: {
            const int defId = LOWORD(SendMessageA(m_hWnd, DM_GETDEFID, 0, 0));
            SendMessageA(m_hWnd, WM_COMMAND, MAKEWPARAM(defId, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(m_hWnd, defId)));
            return;
        }
        case Qt::Key_Escape:
            SendMessageA(m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(m_hWnd, IDCANCEL)));
            return;
        case Qt::Key_F1:
            SendMessageA(m_hWnd, WM_HELP, 0, 0);
            return;
        default:
            QWidget::keyPressEvent(event);
        }
    }

    void closeEvent(QCloseEvent* event) override
    {
        // The close box: the dialog decides, through WM_CLOSE.
        event->ignore();
        SendMessageA(m_hWnd, WM_CLOSE, 0, 0);
    }

    void paintEvent(QPaintEvent* event) override
    {
        Window* w = Windows().Find(m_hWnd);
        bool bHandled = false;
        if (w != nullptr && w->pfnDlgProc != nullptr) {
            HDC__ dc;
            dc.pWidget = this;
            w->pPaintDC = &dc;
            w->msgResult = 0;
            bHandled = w->pfnDlgProc(m_hWnd, WM_PAINT, 0, 0) != 0;
            if ((w = Windows().Find(m_hWnd)) != nullptr)
                w->pPaintDC = nullptr;
        }
        if (!bHandled)
            QDialog::paintEvent(event);
    }

    void reject() override
    {
        SendMessageA(m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }

private:
    HWND m_hWnd;
};

const char* const g_typefaceSubstitutes[][2] = {
    // Metrically close to the classic dialog font: same average width and
    // nearly the same height, so dialog units come out as on Windows.
    {"MS Sans Serif", "Liberation Sans"},
    {"MS Shell Dlg", "Liberation Sans"},
    {"Microsoft Sans Serif", "Liberation Sans"},
};

int MulDiv(int number, int numerator, int denominator)
{
    const long long product = static_cast<long long>(number) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

QRect MapRect(const Window& dialog, short x, short y, short cx, short cy)
{
    return QRect(MulDiv(x, dialog.baseUnitX, 4), MulDiv(y, dialog.baseUnitY, 8),
                 MulDiv(cx, dialog.baseUnitX, 4), MulDiv(cy, dialog.baseUnitY, 8));
}

void UpdateDefaultButton(Window& dialog)
{
    for (HWND hChild : dialog.children) {
        Window* child = Windows().Find(hChild);
        if (child && child->kind == Kind::Button && child->widget)
            static_cast<QPushButton*>(child->widget.data())->setDefault(child->id == dialog.defId);
    }
}

HWND CreateControl(Window& dialog, QWidget* pDialogWidget, const DialogItem& item)
{
    auto window = std::make_unique<Window>();
    window->hWndParent = dialog.hWnd;
    window->id = item.id;
    window->style = item.style;
    Window* pWindow = window.get();
    HWND hWnd = Windows().Add(std::move(window));

    QWidget* pWidget = nullptr;
    switch (item.controlClass) {
    case ControlClass::Button: {
        auto* button = new QPushButton(item.text, pDialogWidget);
        button->setAutoDefault(true);
        const HWND hDlg = dialog.hWnd;
        const int id = item.id;
        QObject::connect(button, &QPushButton::clicked, button, [hDlg, hWnd, id] {
            SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(hWnd));
        });
        if ((item.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
            dialog.defId = item.id;
        pWindow->kind = Kind::Button;
        pWidget = button;
        break;
    }
    case ControlClass::Edit: {
        auto* edit = new QLineEdit(item.text, pDialogWidget);
        edit->setReadOnly(item.style & ES_READONLY);
        edit->setFrame(item.style & WS_BORDER);
        if (item.style & ES_NUMBER)
            edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
        if (item.style & ES_READONLY) {
            // A read-only box shows the dialog's face, as Windows draws it.
            QPalette palette = edit->palette();
            palette.setBrush(QPalette::Base, palette.brush(QPalette::Window));
            edit->setPalette(palette);
        }
        pWindow->kind = Kind::Edit;
        pWidget = edit;
        break;
    }
    case ControlClass::Static: {
        auto* label = new QLabel(item.text, pDialogWidget);
        const DWORD align = item.style & SS_TYPEMASK;
        label->setAlignment((align == SS_CENTER ? Qt::AlignHCenter : align == SS_RIGHT ? Qt::AlignRight : Qt::AlignLeft)
                            | Qt::AlignTop);
        label->setTextFormat(Qt::PlainText);
        pWindow->kind = Kind::Static;
        pWidget = label;
        break;
    }
    case ControlClass::UpDown:
        InstallUpDownAccessibility();
        pWindow->kind = Kind::UpDown;
        pWidget = new UpDownControl(hWnd, dialog.hWnd, item.id, item.style, pDialogWidget);
        break;
    case ControlClass::Unknown:
        pWindow->kind = Kind::Other;
        pWidget = new QWidget(pDialogWidget);
        break;
    }

    pWidget->setGeometry(MapRect(dialog, item.x, item.y, item.cx, item.cy));
    // A button or static says what it is by its text; other controls get the
    // name of their label (LabelControls).
    if (pWindow->kind == Kind::Button || pWindow->kind == Kind::Static)
        pWidget->setAccessibleName(item.text);
    if (pWindow->kind == Kind::Static || pWindow->kind == Kind::Other)
        pWidget->setFocusPolicy(Qt::NoFocus);
    else if (pWindow->kind != Kind::UpDown)
        pWidget->setFocusPolicy((item.style & WS_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus);
    pWidget->setEnabled(!(item.style & WS_DISABLED));
    pWidget->setVisible(item.style & WS_VISIBLE);
    pWindow->widget = pWidget;
    dialog.children.push_back(hWnd);
    return hWnd;
}

bool IsTextStatic(const Window& w)
{
    if (w.kind != Kind::Static)
        return false;
    switch (w.style & SS_TYPEMASK) {
    case SS_LEFT:
    case SS_CENTER:
    case SS_RIGHT:
    case SS_SIMPLE:
    case SS_LEFTNOWORDWRAP:
        return true;
    default:
        return false;
    }
}

// Names the controls that carry no text of their own (edits, up-down
// controls) after their label, for assistive technology. Windows takes the
// static text just before a control in template order. Templates do not
// always keep that order (a label may follow its box, or precede another
// row's control), so the label is first looked for where the eye finds it:
// the nearest static text to the left of the control, on the same row (its
// vertical middle within the control's height). Only a control with no
// such text falls back to the template-order rule. An edit becomes the
// label's buddy, so the label also reports the relation; any other control
// takes the label's text, without its mnemonic marker and closing colon.
void LabelControls(Window& dialog, const std::vector<DialogItem>& items)
{
    if (items.size() != dialog.children.size())
        return;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Window* control = Windows().Find(dialog.children[i]);
        if (control == nullptr || !control->widget || control->kind == Kind::Button || control->kind == Kind::Static)
            continue;
        const DialogItem& item = items[i];
        Window* label = nullptr;
        int labelRight = 0;
        for (std::size_t j = 0; j < items.size(); ++j) {
            Window* candidate = Windows().Find(dialog.children[j]);
            if (candidate == nullptr || !IsTextStatic(*candidate) || !candidate->widget)
                continue;
            const DialogItem& text = items[j];
            const int middle2 = 2 * text.y + text.cy;   // twice the vertical middle
            const int right = text.x + text.cx;
            if (middle2 < 2 * item.y || middle2 > 2 * (item.y + item.cy) || right > item.x)
                continue;
            if (label == nullptr || right > labelRight) {
                label = candidate;
                labelRight = right;
            }
        }
        if (label == nullptr && i > 0) {
            Window* previous = Windows().Find(dialog.children[i - 1]);
            if (previous != nullptr && IsTextStatic(*previous) && previous->widget)
                label = previous;
        }
        if (label == nullptr)
            continue;
        auto* pLabel = static_cast<QLabel*>(label->widget.data());
        if (control->kind == Kind::Edit && pLabel->buddy() == nullptr) {
            pLabel->setBuddy(control->widget);
            continue;
        }
        QString name = pLabel->text();
        name.remove(QLatin1Char('&'));
        name = name.trimmed();
        if (name.endsWith(QLatin1Char(':')))
            name.chop(1);
        control->widget->setAccessibleName(name.trimmed());
    }
}

LRESULT DefaultDialogMessage(Window& w, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        SendMessageA(w.hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(w.hWnd, IDCANCEL)));
        return 0;
    case DM_GETDEFID:
        return MAKELONG(w.defId, DC_HASDEFID);
    case DM_SETDEFID:
        w.defId = static_cast<int>(wParam);
        UpdateDefaultButton(w);
        return TRUE;
    case WM_SETICON: {
        HICON& slot = wParam == ICON_BIG ? w.hIconBig : w.hIconSmall;
        HICON hPrevious = slot;
        slot = reinterpret_cast<HICON>(lParam);
        QIcon icon;
        for (HICON h : {w.hIconBig, w.hIconSmall}) {
            if (h == nullptr)
                continue;
            for (const QSize& size : h->icon.availableSizes())
                icon.addPixmap(h->icon.pixmap(size));
        }
        if (w.widget)
            w.widget->setWindowIcon(icon);
        return reinterpret_cast<LRESULT>(hPrevious);
    }
    case WM_GETICON:
        return reinterpret_cast<LRESULT>(wParam == ICON_BIG ? w.hIconBig : w.hIconSmall);
    case WM_ICONERASEBKGND: {
        auto* hDC = reinterpret_cast<HDC>(wParam);
        if (hDC != nullptr && hDC->pPainter && w.widget)
            hDC->pPainter->fillRect(w.widget->rect(), w.widget->palette().window());
        return TRUE;
    }
    case WM_SETTEXT:
        if (w.widget)
            w.widget->setWindowTitle(QString::fromUtf8(reinterpret_cast<const char*>(lParam)));
        return TRUE;
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH: {
        const QByteArray text = w.widget ? w.widget->windowTitle().toUtf8() : QByteArray();
        if (message == WM_GETTEXTLENGTH)
            return text.size();
        if (wParam == 0 || lParam == 0)
            return 0;
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(text.size()), wParam - 1);
        std::memcpy(reinterpret_cast<char*>(lParam), text.constData(), n);
        reinterpret_cast<char*>(lParam)[n] = '\0';
        return static_cast<LRESULT>(n);
    }
    default:
        return 0;
    }
}

QString ControlText(const Window& w)
{
    if (!w.widget)
        return {};
    switch (w.kind) {
    case Kind::Button: return static_cast<QPushButton*>(w.widget.data())->text();
    case Kind::Edit: return static_cast<QLineEdit*>(w.widget.data())->text();
    case Kind::Static: return static_cast<QLabel*>(w.widget.data())->text();
    default: return w.widget->windowTitle();
    }
}

void SetControlText(Window& w, const QString& text)
{
    if (!w.widget)
        return;
    switch (w.kind) {
    case Kind::Button: static_cast<QPushButton*>(w.widget.data())->setText(text); break;
    case Kind::Edit: static_cast<QLineEdit*>(w.widget.data())->setText(text); break;
    case Kind::Static: static_cast<QLabel*>(w.widget.data())->setText(text); break;
    default: w.widget->setWindowTitle(text); break;
    }
}

LRESULT ControlMessage(Window& w, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (w.kind == Kind::UpDown && w.widget) {
        bool bHandled = false;
        const LRESULT result = static_cast<UpDownControl*>(w.widget.data())->HandleMessage(message, wParam, lParam, &bHandled);
        if (bHandled)
            return result;
    }
    switch (message) {
    case WM_SETTEXT:
        SetControlText(w, QString::fromUtf8(reinterpret_cast<const char*>(lParam)));
        return TRUE;
    case WM_GETTEXT: {
        if (wParam == 0 || lParam == 0)
            return 0;
        const QByteArray text = ControlText(w).toUtf8();
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(text.size()), wParam - 1);
        std::memcpy(reinterpret_cast<char*>(lParam), text.constData(), n);
        reinterpret_cast<char*>(lParam)[n] = '\0';
        return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
        return ControlText(w).toUtf8().size();
    case BM_CLICK:
        if (w.kind == Kind::Button && w.widget)
            static_cast<QPushButton*>(w.widget.data())->click();
        return 0;
    default:
        return 0;
    }
}

std::mutex g_iconMutex;

}  // namespace

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

const char* SubstituteTypeface(const char* pszTypeface)
{
    for (const auto& pair : g_typefaceSubstitutes) {
        if (strcasecmp(pair[0], pszTypeface) == 0)
            return pair[1];
    }
    return pszTypeface;
}

}  // namespace qtwin

using namespace qtwin;

// --- Windows -----------------------------------------------------------------

HWND WINAPI CreateDialogParamA(HINSTANCE, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam)
{
    if (!IS_INTRESOURCE(lpTemplateName) || QApplication::instance() == nullptr)
        return nullptr;
    const std::optional<DialogTemplate> tmpl =
        ResourceFile::Module().FindDialog(static_cast<int>(reinterpret_cast<std::uintptr_t>(lpTemplateName)));
    if (!tmpl)
        return nullptr;

    EnsureMessageQueue();
    BroadcastListener::Start();

    auto window = std::make_unique<Window>();
    Window* pDialog = window.get();
    pDialog->kind = Kind::Dialog;
    pDialog->hWndParent = hWndParent;
    pDialog->style = tmpl->style;
    pDialog->pfnDlgProc = lpDialogFunc;
    HWND hDlg = Windows().Add(std::move(window));

    // Fixed-size frame: a caption, a system menu (close box) and, if the
    // template asks, a minimize box; never a maximize box.
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint;
    if (tmpl->style & WS_CAPTION)
        flags |= Qt::WindowTitleHint;
    if (tmpl->style & WS_SYSMENU)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (tmpl->style & WS_MINIMIZEBOX)
        flags |= Qt::WindowMinimizeButtonHint;
    auto* pWidget = new DialogWidget(hDlg, WidgetFromHwnd(hWndParent), flags);
    pDialog->widget = pWidget;
    pWidget->setWindowTitle(tmpl->caption);
    pWidget->setWindowModality(Qt::ApplicationModal);

    // The dialog font sets the dialog units: a quarter of the average
    // character width across, an eighth of the character height down.
    QFont font(QString::fromLatin1(SubstituteTypeface(tmpl->typeface.toLatin1().constData())));
    const int dpi = pWidget->logicalDpiY() > 0 ? pWidget->logicalDpiY() : 96;
    font.setPixelSize(MulDiv(tmpl->pointSize ? tmpl->pointSize : 8, dpi, 72));
    font.setWeight(tmpl->weight >= 600 ? QFont::Bold : QFont::Normal);
    font.setItalic(tmpl->italic);
    pWidget->setFont(font);
    const QFontMetrics metrics(font);
    const int alphabetWidth =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    pDialog->baseUnitX = (alphabetWidth / 26 + 1) / 2;
    pDialog->baseUnitY = metrics.height();
    pWidget->setFixedSize(MulDiv(tmpl->cx, pDialog->baseUnitX, 4), MulDiv(tmpl->cy, pDialog->baseUnitY, 8));

    for (const DialogItem& item : tmpl->items)
        CreateControl(*pDialog, pWidget, item);
    UpdateDefaultButton(*pDialog);
    LabelControls(*pDialog, tmpl->items);

    // Tab order is template order, over the controls that are tab stops.
    HWND hFirstTabStop = nullptr;
    QWidget* pPrevious = nullptr;
    for (HWND hChild : pDialog->children) {
        Window* child = Windows().Find(hChild);
        if (child == nullptr || !(child->style & WS_TABSTOP) || !child->widget)
            continue;
        if (hFirstTabStop == nullptr)
            hFirstTabStop = hChild;
        if (pPrevious != nullptr)
            QWidget::setTabOrder(pPrevious, child->widget);
        pPrevious = child->widget;
    }

    pDialog->msgResult = 0;
    const INT_PTR bSetFocus = lpDialogFunc
        ? lpDialogFunc(hDlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(hFirstTabStop), dwInitParam)
        : TRUE;
    if (!Windows().Contains(hDlg))
        return nullptr;   // destroyed while initialising

    if (tmpl->style & WS_VISIBLE) {
        if (QScreen* screen = pWidget->screen())
            pWidget->move(screen->availableGeometry().center() - pWidget->rect().center());
        pWidget->show();
        pWidget->activateWindow();
    }
    if (bSetFocus && hFirstTabStop != nullptr)
        SetFocus(hFirstTabStop);
    return hDlg;
}

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
    auto& names = AtomNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (SameAtomName(names[i], lpString))
            return static_cast<UINT>(0xC000 + i);
    }
    if (names.size() >= 0x4000)
        return 0;
    names.emplace_back(lpString);
    return static_cast<UINT>(0xC000 + names.size() - 1);
}

// --- Dialog items ------------------------------------------------------------

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem)
{
    Window* w = Windows().Find(hDlg);
    if (w == nullptr)
        return nullptr;
    for (HWND hChild : w->children) {
        Window* child = Windows().Find(hChild);
        if (child != nullptr && child->id == nIDDlgItem)
            return hChild;
    }
    return nullptr;
}

int WINAPI GetDlgCtrlID(HWND hWnd)
{
    Window* w = Windows().Find(hWnd);
    return w ? w->id : 0;
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

HWND WINAPI GetNextDlgTabItem(HWND hDlg, HWND hCtl, BOOL bPrevious)
{
    QWidget* pWidget = WidgetFromHwnd(hCtl);
    if (pWidget == nullptr || WidgetFromHwnd(hDlg) == nullptr)
        return nullptr;
    QWidget* pNext = pWidget;
    do {
        pNext = bPrevious ? pNext->previousInFocusChain() : pNext->nextInFocusChain();
        HWND hNext = HwndFromWidget(pNext);
        if (hNext != nullptr && GetParent(hNext) == hDlg && (pNext->focusPolicy() & Qt::TabFocus))
            return hNext;
    } while (pNext != pWidget);
    return hCtl;
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

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString)
{
    HWND hItem = GetDlgItem(hDlg, nIDDlgItem);
    return hItem ? SetWindowTextA(hItem, lpString) : FALSE;
}

UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax)
{
    HWND hItem = GetDlgItem(hDlg, nIDDlgItem);
    if (hItem == nullptr) {
        if (lpString != nullptr && cchMax > 0)
            lpString[0] = '\0';
        return 0;
    }
    return static_cast<UINT>(GetWindowTextA(hItem, lpString, cchMax));
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

BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect)
{
    Window* w = Windows().Find(hDlg);
    if (w == nullptr || w->kind != Kind::Dialog || lpRect == nullptr)
        return FALSE;
    lpRect->left = MulDiv(lpRect->left, w->baseUnitX, 4);
    lpRect->right = MulDiv(lpRect->right, w->baseUnitX, 4);
    lpRect->top = MulDiv(lpRect->top, w->baseUnitY, 8);
    lpRect->bottom = MulDiv(lpRect->bottom, w->baseUnitY, 8);
    return TRUE;
}

// --- Message boxes -----------------------------------------------------------

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (uType & MB_ICONMASK) {
    case MB_ICONHAND: icon = QMessageBox::Critical; break;
    case MB_ICONQUESTION: icon = QMessageBox::Question; break;
    case MB_ICONEXCLAMATION: icon = QMessageBox::Warning; break;
    case MB_ICONASTERISK: icon = QMessageBox::Information; break;
    default: break;
    }
    const QMessageBox::StandardButtons buttons =
        (uType & MB_TYPEMASK) == MB_OKCANCEL ? (QMessageBox::Ok | QMessageBox::Cancel) : QMessageBox::Ok;
    QMessageBox box(icon, QString::fromUtf8(lpCaption ? lpCaption : "Error"), QString::fromUtf8(lpText ? lpText : ""),
                    buttons, WidgetFromHwnd(hWnd));
    box.setWindowModality(Qt::ApplicationModal);
    return box.exec() == QMessageBox::Cancel ? IDCANCEL : IDOK;
}

// --- Icons and painting ------------------------------------------------------

HICON WINAPI LoadIconA(HINSTANCE, LPCSTR lpIconName)
{
    if (!IS_INTRESOURCE(lpIconName) || QGuiApplication::instance() == nullptr)
        return nullptr;
    const int id = static_cast<int>(reinterpret_cast<std::uintptr_t>(lpIconName));
    // Icons from resources are shared and live as long as the process.
    static std::map<int, std::unique_ptr<HICON__>> loaded;
    std::lock_guard<std::mutex> lock(g_iconMutex);
    auto it = loaded.find(id);
    if (it != loaded.end())
        return it->second.get();

    const std::optional<QByteArray> file = ResourceFile::Module().FindIconFile(id);
    if (!file)
        return nullptr;
    QBuffer buffer;
    buffer.setData(*file);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "ico");
    auto hIcon = std::make_unique<HICON__>();
    for (int i = 0; i < reader.imageCount(); ++i) {
        if (!reader.jumpToImage(i))
            break;
        const QImage image = reader.read();
        if (!image.isNull())
            hIcon->icon.addPixmap(QPixmap::fromImage(image));
    }
    if (hIcon->icon.isNull())
        return nullptr;
    HICON result = hIcon.get();
    loaded[id] = std::move(hIcon);
    return result;
}

BOOL WINAPI IsIconic(HWND hWnd)
{
    QWidget* pWidget = WidgetFromHwnd(hWnd);
    return pWidget != nullptr && pWidget->isMinimized();
}

HDC WINAPI BeginPaint(HWND hWnd, PAINTSTRUCT* lpPaint)
{
    Window* w = Windows().Find(hWnd);
    // Painting happens only while the window handles WM_PAINT.
    if (w == nullptr || w->pPaintDC == nullptr || lpPaint == nullptr)
        return nullptr;
    HDC hDC = w->pPaintDC;
    if (!hDC->pPainter)
        hDC->pPainter = std::make_unique<QPainter>(hDC->pWidget);
    *lpPaint = PAINTSTRUCT{};
    lpPaint->hdc = hDC;
    lpPaint->fErase = TRUE;
    const QRect r = hDC->pWidget->rect();
    lpPaint->rcPaint = RECT{r.left(), r.top(), r.right() + 1, r.bottom() + 1};
    return hDC;
}

BOOL WINAPI EndPaint(HWND, const PAINTSTRUCT* lpPaint)
{
    if (lpPaint == nullptr || lpPaint->hdc == nullptr)
        return FALSE;
    lpPaint->hdc->pPainter.reset();
    return TRUE;
}

int WINAPI GetSystemMetrics(int nIndex)
{
    switch (nIndex) {
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    default:
        return 0;
    }
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect)
{
    QWidget* pWidget = WidgetFromHwnd(hWnd);
    if (pWidget == nullptr || lpRect == nullptr)
        return FALSE;
    *lpRect = RECT{0, 0, pWidget->width(), pWidget->height()};
    return TRUE;
}

BOOL WINAPI DrawIcon(HDC hDC, int X, int Y, HICON hIcon)
{
    if (hDC == nullptr || !hDC->pPainter || hIcon == nullptr)
        return FALSE;
    const int size = GetSystemMetrics(SM_CXICON);
    hDC->pPainter->drawPixmap(X, Y, hIcon->icon.pixmap(QSize(size, size)));
    return TRUE;
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
    const auto len = std::min<std::size_t>(static_cast<std::size_t>(n), nSize - 1);
    std::memcpy(lpFilename, szPath, len);
    lpFilename[len] = '\0';
    return static_cast<DWORD>(len);
}

HINSTANCE WINAPI GetModuleHandleA(LPCSTR)
{
    // The one module; its resources are the ones the build embedded.
    return reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(0x400000));
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

#include "qtwin.moc"

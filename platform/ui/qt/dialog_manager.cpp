// The dialog manager: a dialog template becomes a dialog widget with its
// controls (positions in dialog units, labels, tab chain, default button);
// the dialog's and the controls' own handling of messages; dialog items.

#include "platform/ui/control_names.h"
#include "platform/ui/qt/digits_validator.h"
#include "platform/ui/qt/edit_accessible.h"
#include "platform/ui/qt/qtwin_internal.h"
#include "platform/ui/qt/resources.h"
#include "platform/ui/qt/updown_accessible.h"
#include "platform/ui/qt/updown_control.h"
#include "platform/ui/qt/winapi_qt.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace qtwin {
namespace {

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
        if (!PaintThroughDialogProc(m_hWnd, this))
            QDialog::paintEvent(event);
    }

    void reject() override
    {
        SendMessageA(m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }

    bool focusNextPrevChild(bool next) override
    {
        // Tab and Shift+Tab, from any control (one that is no tab stop, such
        // as an up-down control, included): the next or previous tab stop in
        // template order, as the dialog manager finds it.
        HWND hFocus = GetFocus();
        if (hFocus == nullptr || GetParent(hFocus) != m_hWnd)
            hFocus = nullptr;
        HWND hNext = GetNextDlgTabItem(m_hWnd, hFocus, !next);
        QWidget* pNext = WidgetFromHwnd(hNext);
        if (pNext == nullptr)
            return false;
        pNext->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
        return true;
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
        InstallEditAccessibility();
        auto* edit = new QLineEdit(item.text, pDialogWidget);
        edit->setReadOnly(item.style & ES_READONLY);
        edit->setFrame(item.style & WS_BORDER);
        if (item.style & ES_NUMBER)
            edit->setValidator(new DigitsValidator(edit));
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

afx::NamedControl::Kind NamingKind(const DialogItem& item)
{
    using K = afx::NamedControl::Kind;
    switch (item.controlClass) {
    case ControlClass::Button: return K::Button;
    case ControlClass::Edit: return K::Edit;
    case ControlClass::UpDown: return K::UpDown;
    case ControlClass::Unknown: return K::Other;
    case ControlClass::Static: return afx::StaticKind(item.style);
    }
    return K::Other;
}

// Names every control for assistive technology by the rule every back end
// shares (platform/ui/control_names.h). An edit also becomes its label's
// buddy, so both report the relation.
void NameControls(Window& dialog, const std::vector<DialogItem>& items)
{
    if (items.size() != dialog.children.size())
        return;
    const std::vector<afx::ControlName> names = TemplateControlNames(items);
    for (std::size_t i = 0; i < items.size(); ++i) {
        Window* control = Windows().Find(dialog.children[i]);
        if (control == nullptr || !control->widget || names[i].name[0] == '\0')
            continue;
        control->widget->setAccessibleName(QString::fromUtf8(names[i].name));
        if (control->kind != Kind::Edit || names[i].label < 0)
            continue;
        Window* label = Windows().Find(dialog.children[static_cast<std::size_t>(names[i].label)]);
        if (label != nullptr && label->kind == Kind::Static && label->widget) {
            auto* pLabel = static_cast<QLabel*>(label->widget.data());
            if (pLabel->buddy() == nullptr)
                pLabel->setBuddy(control->widget);
        }
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

}  // namespace

Qt::WindowFlags DialogWindowFlags(DWORD style)
{
    // Only what the styles ask for, so the window manager's hints (Motif's
    // decorations and functions among them) follow: a caption, and with a
    // system menu its close box and the minimize and maximize boxes the
    // template names; no sizing border, a fixed size.
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if ((style & WS_CAPTION) == WS_CAPTION)
        flags |= Qt::WindowTitleHint;
    if (style & WS_SYSMENU) {
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        if (style & WS_MINIMIZEBOX)
            flags |= Qt::WindowMinimizeButtonHint;
        if (style & WS_MAXIMIZEBOX)
            flags |= Qt::WindowMaximizeButtonHint;
    }
    if (!(style & WS_THICKFRAME))
        flags |= Qt::MSWindowsFixedSizeDialogHint;
    return flags;
}

std::vector<afx::ControlName> TemplateControlNames(const std::vector<DialogItem>& items)
{
    std::vector<std::string> texts;
    texts.reserve(items.size());
    std::vector<afx::NamedControl> controls(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        texts.push_back(items[i].text.toStdString());
        controls[i].kind = NamingKind(items[i]);
        controls[i].x = items[i].x;
        controls[i].y = items[i].y;
        controls[i].cx = items[i].cx;
        controls[i].cy = items[i].cy;
        controls[i].text = texts.back().c_str();
    }
    std::vector<afx::ControlName> names(items.size());
    afx::NameControls(controls.data(), static_cast<int>(controls.size()), names.data());
    return names;
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
    case WM_SETICON:
    case WM_GETICON:
    case WM_ICONERASEBKGND:
        return DialogIconMessage(w, message, wParam, lParam);
    case WM_SETTEXT:
        if (w.widget)
            w.widget->setWindowTitle(QString::fromUtf8(reinterpret_cast<const char*>(lParam)));
        return TRUE;
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH: {
        const QByteArray text = w.widget ? w.widget->windowTitle().toUtf8() : QByteArray();
        return message == WM_GETTEXTLENGTH ? text.size() : CopyTextOut(text, wParam, lParam);
    }
    default:
        return 0;
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
    case WM_GETTEXT:
        return CopyTextOut(ControlText(w).toUtf8(), wParam, lParam);
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

const char* SubstituteTypeface(const char* pszTypeface)
{
    for (const auto& pair : g_typefaceSubstitutes) {
        if (strcasecmp(pair[0], pszTypeface) == 0)
            return pair[1];
    }
    return pszTypeface;
}

QFont DialogFont(const char* pszTypeface, int pointSize, int weight, bool italic, const QWidget* pWidget)
{
    QFont font(QString::fromLatin1(SubstituteTypeface(pszTypeface)));
    const int dpi = pWidget != nullptr && pWidget->logicalDpiY() > 0 ? pWidget->logicalDpiY() : 96;
    font.setPixelSize(MulDiv(pointSize ? pointSize : 8, dpi, 72));
    font.setWeight(weight >= 600 ? QFont::Bold : QFont::Normal);
    font.setItalic(italic);
    return font;
}

QFont MessageBoxFont(QWidget* pOwner)
{
    if (pOwner != nullptr)
        return pOwner->window()->font();
    return DialogFont("MS Shell Dlg", 8, 400, false, nullptr);
}

}  // namespace qtwin

using namespace qtwin;

// --- Dialogs -----------------------------------------------------------------

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
    StartBroadcastBridge();

    auto window = std::make_unique<Window>();
    Window* pDialog = window.get();
    pDialog->kind = Kind::Dialog;
    pDialog->hWndParent = hWndParent;
    pDialog->style = tmpl->style;
    pDialog->pfnDlgProc = lpDialogFunc;
    HWND hDlg = Windows().Add(std::move(window));

    const Qt::WindowFlags flags = DialogWindowFlags(tmpl->style);
    auto* pWidget = new DialogWidget(hDlg, WidgetFromHwnd(hWndParent), flags);
    pDialog->widget = pWidget;
    pWidget->setWindowTitle(tmpl->caption);
    pWidget->setWindowModality(Qt::ApplicationModal);

    // The dialog font sets the dialog units: a quarter of the average
    // character width across, an eighth of the character height down.
    const QFont font = DialogFont(tmpl->typeface.toLatin1().constData(), tmpl->pointSize, tmpl->weight, tmpl->italic,
                                  pWidget);
    pWidget->setFont(font);
    const QFontMetrics metrics(font);
    const int alphabetWidth =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    pDialog->baseUnitX = (alphabetWidth / 26 + 1) / 2;
    pDialog->baseUnitY = metrics.height();
    const QSize size(MulDiv(tmpl->cx, pDialog->baseUnitX, 4), MulDiv(tmpl->cy, pDialog->baseUnitY, 8));
    // Without a sizing border the window manager is told the size is fixed.
    if (tmpl->style & WS_THICKFRAME)
        pWidget->resize(size);
    else
        pWidget->setFixedSize(size);

    for (const DialogItem& item : tmpl->items)
        CreateControl(*pDialog, pWidget, item);
    UpdateDefaultButton(*pDialog);
    NameControls(*pDialog, tmpl->items);

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

HWND WINAPI GetNextDlgTabItem(HWND hDlg, HWND hCtl, BOOL bPrevious)
{
    // Template order, round the end: the first control after (or before) hCtl
    // that is a tab stop, visible and enabled. hCtl need not be a tab stop
    // itself; without one, the search starts at the ends. hCtl when there is
    // no other.
    Window* dialog = Windows().Find(hDlg);
    if (dialog == nullptr || dialog->kind != Kind::Dialog)
        return nullptr;
    const std::vector<HWND>& children = dialog->children;
    const std::size_t count = children.size();
    if (count == 0)
        return nullptr;
    const auto at = std::find(children.begin(), children.end(), hCtl);
    if (hCtl != nullptr && at == children.end())
        return nullptr;
    std::size_t i = at == children.end() ? (bPrevious ? 0 : count - 1)
                                         : static_cast<std::size_t>(at - children.begin());
    for (std::size_t n = 0; n < count; ++n) {
        i = bPrevious ? (i + count - 1) % count : (i + 1) % count;
        Window* child = Windows().Find(children[i]);
        if (child == nullptr || !child->widget || children[i] == hCtl)
            continue;
        if ((child->style & WS_TABSTOP) && child->widget->isVisibleTo(child->widget->window())
            && child->widget->isEnabled())
            return children[i];
    }
    return hCtl;
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

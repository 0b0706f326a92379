// Painting, icons and the message box: device contexts on a widget while a
// window handles WM_PAINT, icons from the module's resources, the dialog's
// icons, and message boxes as Qt message boxes.

#include "platform/ui/qt/qtwin_internal.h"
#include "platform/ui/qt/resources.h"
#include "platform/ui/qt/shutdown_signals.h"
#include "platform/ui/qt/winapi_qt.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QIcon>
#include <QImageReader>
#include <QMessageBox>
#include <QPainter>

#include <map>
#include <optional>

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

std::mutex g_iconMutex;

}  // namespace

bool PaintThroughDialogProc(HWND hWnd, QWidget* pWidget)
{
    Window* w = Windows().Find(hWnd);
    bool bHandled = false;
    if (w != nullptr && w->pfnDlgProc != nullptr) {
        HDC__ dc;
        dc.pWidget = pWidget;
        w->pPaintDC = &dc;
        w->msgResult = 0;
        bHandled = w->pfnDlgProc(hWnd, WM_PAINT, 0, 0) != 0;
        if ((w = Windows().Find(hWnd)) != nullptr)
            w->pPaintDC = nullptr;
    }
    return bHandled;
}

LRESULT DialogIconMessage(Window& w, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
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
    default:
        return 0;
    }
}

}  // namespace qtwin

using namespace qtwin;

// --- Message boxes -----------------------------------------------------------

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    if (ShuttingDown())
        return ShutdownMessageBox(lpText, lpCaption, uType);
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
    // The dialog's font, not the toolkit's default: with only the package's
    // fonts installed, fontconfig's sans-serif can be a monospaced face.
    box.setFont(MessageBoxFont(WidgetFromHwnd(hWnd)));
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
    // The format is known: no other image plugin need be loaded to guess it.
    reader.setAutoDetectImageFormat(false);
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

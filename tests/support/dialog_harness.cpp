#include "tests/support/dialog_harness.h"

#include "platform/ui/qt/qtwin_internal.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontInfo>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

namespace harness {
namespace {

HWND FindVisibleDialog()
{
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        HWND hWnd = qtwin::HwndFromWidget(pWidget);
        if (hWnd != nullptr && pWidget->isVisible() && GetDlgItem(hWnd, IDOK) != nullptr)
            return hWnd;
    }
    return nullptr;
}

QMessageBox* OpenMessageBox()
{
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(pWidget); box != nullptr && box->isVisible())
            return box;
    }
    return nullptr;
}

SetPosSpy* g_pSpy = nullptr;

LRESULT CALLBACK SpyHook(int, WPARAM, LPARAM lParam)
{
    const auto* cwp = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (g_pSpy != nullptr && cwp->message == UDM_SETPOS)
        g_pSpy->positions.emplace_back(GetDlgCtrlID(cwp->hwnd), static_cast<short>(LOWORD(cwp->lParam)));
    return 0;
}

}  // namespace

Session::Session() = default;
Session::~Session() = default;

void Session::Poll()
{
    if (m_inPoll)
        return;
    m_inPoll = true;
    if (QMessageBox* box = OpenMessageBox()) {
        MessageBoxSeen seen;
        seen.caption = box->windowTitle().toStdString();
        seen.text = box->text().toStdString();
        seen.icon = box->icon();
        HWND hOwner = qtwin::HwndFromWidget(box->parentWidget());
        seen.ownerIsDialog = hOwner != nullptr && GetDlgItem(hOwner, IDOK) != nullptr;
        seen.dialogWasVisible = hOwner != nullptr && IsWindowVisible(hOwner);
        const QFontInfo font(box->font());
        seen.fontFamily = font.family().toStdString();
        seen.fontPixelSize = font.pixelSize();
        if (onMessageBox)
            onMessageBox(seen);
        messageBoxes.push_back(seen);
        box->button(QMessageBox::Ok)->click();
    } else if (!m_scriptDone) {
        if (HWND hDlg = FindVisibleDialog()) {
            m_scriptDone = true;
            m_hDlg = hDlg;
            Pump();
            m_script(hDlg);
        }
    } else if (!m_cancelSent && IsWindow(m_hDlg)) {
        // The script left the dialog open: cancel it, once.
        m_cancelSent = true;
        SendMessageA(m_hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    m_inPoll = false;
}

INT_PTR Session::RunModal(CDialog& dlg, const std::function<void(HWND)>& script)
{
    INT_PTR result = -1;
    Run([&] { result = dlg.DoModal(); }, script);
    return result;
}

void Session::Run(const std::function<void()>& run, const std::function<void(HWND)>& script)
{
    m_script = script;
    m_scriptDone = false;
    m_cancelSent = false;
    m_hDlg = nullptr;
    QTimer timer;
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [this] { Poll(); });
    timer.start();
    run();
    timer.stop();
    EXPECT_TRUE(m_scriptDone) << "the dialog never came up";
}

void Pump()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

QWidget* Control(HWND hDlg, int id)
{
    QWidget* pWidget = qtwin::WidgetFromHwnd(GetDlgItem(hDlg, id));
    EXPECT_NE(pWidget, nullptr) << "no control " << id;
    return pWidget;
}

std::string Text(HWND hDlg, int id)
{
    char szText[64] = {};
    GetDlgItemTextA(hDlg, id, szText, static_cast<int>(sizeof szText));
    return szText;
}

int SpinPos(HWND hDlg, int id)
{
    return static_cast<short>(LOWORD(SendMessageA(GetDlgItem(hDlg, id), UDM_GETPOS, 0, 0)));
}

void ClickSpin(HWND hDlg, int id, bool up)
{
    QWidget* spin = Control(hDlg, id);
    QTest::mouseClick(spin, Qt::LeftButton, Qt::NoModifier,
                      QPoint(spin->width() / 2, up ? spin->height() / 4 : spin->height() * 3 / 4));
}

void PressSpinKey(HWND hDlg, int id, bool up)
{
    QWidget* spin = Control(hDlg, id);
    spin->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(spin, up ? Qt::Key_Up : Qt::Key_Down);
}

void ClickButton(HWND hDlg, int id)
{
    QWidget* button = Control(hDlg, id);
    QTest::mouseClick(button, Qt::LeftButton);
}

void PressKey(HWND hDlg, int qtKey)
{
    QWidget* target = QApplication::focusWidget();
    if (target == nullptr)
        target = qtwin::WidgetFromHwnd(hDlg);
    QTest::keyClick(target, static_cast<Qt::Key>(qtKey));
}

SetPosSpy::SetPosSpy()
{
    g_pSpy = this;
    m_hHook = SetWindowsHookExA(WH_CALLWNDPROC, &SpyHook, nullptr, 0);
}

SetPosSpy::~SetPosSpy()
{
    UnhookWindowsHookEx(m_hHook);
    g_pSpy = nullptr;
}

int SetPosSpy::Last(int id) const
{
    for (auto it = positions.rbegin(); it != positions.rend(); ++it) {
        if (it->first == id)
            return it->second;
    }
    return -1;
}

}  // namespace harness

// The up-down control and the dialog manager as assistive technology sees
// them, in process: the tuning dialog's template under a dialog procedure of
// the test's own, which records (and can veto) every UDN_DELTAPOS notice.
// Accessibility events flow only where accessibility is on: on X, with a
// session bus (CMakeLists.txt runs the tests on a private X server and bus);
// elsewhere the tests that count them skip.
#include "platform/ui/qt/qtwin_internal.h"
#include "platform/ui/winapi.h"
#include "res/resource.h"

#include <QAccessible>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace {

struct Notice
{
    int id;
    int iPos;
    int iDelta;
};

std::vector<Notice> g_notices;
bool g_bVeto = false;

struct ValueEvent
{
    QObject* pObject;
    int value;
};

std::vector<ValueEvent> g_valueEvents;

void RecordEvent(QAccessibleEvent* pEvent)
{
    if (pEvent->type() == QAccessible::ValueChanged)
        g_valueEvents.push_back(
            {pEvent->object(), static_cast<QAccessibleValueChangeEvent*>(pEvent)->value().toInt()});
}

INT_PTR CALLBACK TestDlgProc(HWND hDlg, UINT message, WPARAM, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_NOTIFY) {
        const auto* nm = reinterpret_cast<const NMUPDOWN*>(lParam);
        if (nm->hdr.code == static_cast<UINT>(UDN_DELTAPOS)) {
            g_notices.push_back({static_cast<int>(nm->hdr.idFrom), nm->iPos, nm->iDelta});
            SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, g_bVeto ? 1 : 0);
            return TRUE;
        }
    }
    return FALSE;
}

class UpDownAccessibility : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_notices.clear();
        g_valueEvents.clear();
        g_bVeto = false;
        QAccessible::setActive(true);
        m_previousHandler = QAccessible::installUpdateHandler(RecordEvent);
        m_hDlg = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_TUNING_DIALOG), nullptr,
                                    TestDlgProc, 0);
        ASSERT_NE(m_hDlg, nullptr);
        m_hSpin = GetDlgItem(m_hDlg, IDC_SPIN_FREQUENCY);
        SendMessageA(m_hSpin, UDM_SETRANGE, 0, MAKELPARAM(18, 0));
        SendMessageA(m_hSpin, UDM_SETPOS, 0, MAKELPARAM(9, 0));
        g_valueEvents.clear();
    }

    void TearDown() override
    {
        DestroyWindow(m_hDlg);
        QAccessible::installUpdateHandler(m_previousHandler);
    }

    static QAccessibleInterface* Accessible(HWND hWnd)
    {
        return QAccessible::queryAccessibleInterface(qtwin::WidgetFromHwnd(hWnd));
    }

    // Accessibility events flow only where the platform has accessibility.
    static bool EventsFlow() { return QAccessible::isActive(); }

    int Position() const { return LOWORD(SendMessageA(m_hSpin, UDM_GETPOS, 0, 0)); }

    void Act(const QString& action) { Accessible(m_hSpin)->actionInterface()->doAction(action); }

    QAccessible::UpdateHandler m_previousHandler = nullptr;
    HWND m_hDlg = nullptr;
    HWND m_hSpin = nullptr;
};

TEST_F(UpDownAccessibility, ControlsAreNamedByTheLabelOfTheirRow)
{
    // In the template, "Video PID:" comes after its box and "Audio PID:"
    // right before the video PID spin button: the row decides, not the order.
    const struct
    {
        int id;
        QAccessible::Role role;
        const char* name;
    } expected[] = {
        {IDC_EDIT_FREQUENCY, QAccessible::EditableText, "Frequency:"},
        {IDC_EDIT_VIDEO_PID, QAccessible::EditableText, "Video PID:"},
        {IDC_EDIT_AUDIO_PID, QAccessible::EditableText, "Audio PID:"},
        {IDC_EDIT_SYMBOL_RATE, QAccessible::EditableText, "Symbolrate:"},
        {IDC_SPIN_FREQUENCY, QAccessible::SpinBox, "Frequency"},
        {IDC_SPIN_VIDEO_PID, QAccessible::SpinBox, "Video PID"},
        {IDC_SPIN_AUDIO_PID, QAccessible::SpinBox, "Audio PID"},
    };
    for (const auto& e : expected) {
        QAccessibleInterface* pAccessible = Accessible(GetDlgItem(m_hDlg, e.id));
        ASSERT_NE(pAccessible, nullptr) << e.id;
        EXPECT_EQ(pAccessible->role(), e.role) << e.id;
        EXPECT_EQ(pAccessible->text(QAccessible::Name).toStdString(), e.name) << e.id;
    }
    // A box reports its label as such, and the label the box.
    const auto labels = Accessible(GetDlgItem(m_hDlg, IDC_EDIT_VIDEO_PID))->relations(QAccessible::Label);
    ASSERT_EQ(labels.size(), 1);
    auto* pLabel = qobject_cast<QLabel*>(labels[0].first->object());
    ASSERT_NE(pLabel, nullptr);
    EXPECT_EQ(pLabel->text().toStdString(), "Video PID:");
}

TEST_F(UpDownAccessibility, ValueIsThePositionWithinTheRange)
{
    QAccessibleValueInterface* pValue = Accessible(m_hSpin)->valueInterface();
    ASSERT_NE(pValue, nullptr);
    EXPECT_EQ(pValue->currentValue().toInt(), 9);
    EXPECT_EQ(pValue->minimumValue().toInt(), 0);
    EXPECT_EQ(pValue->maximumValue().toInt(), 18);
    // A written value moves it as one step does: one notice with the whole
    // difference, then the move; the notice can veto it.
    pValue->setCurrentValue(12);
    EXPECT_EQ(Position(), 12);
    ASSERT_EQ(g_notices.size(), 1u);
    EXPECT_EQ(g_notices[0].id, IDC_SPIN_FREQUENCY);
    EXPECT_EQ(g_notices[0].iPos, 9);
    EXPECT_EQ(g_notices[0].iDelta, 3);
    g_bVeto = true;
    pValue->setCurrentValue(2);
    EXPECT_EQ(Position(), 12);
    ASSERT_EQ(g_notices.size(), 2u);
    EXPECT_EQ(g_notices[1].iDelta, -10);
    g_bVeto = false;
    // Outside the range it goes to the end; where it already is, or with no
    // number at all, nothing is sent.
    pValue->setCurrentValue(1e12);
    EXPECT_EQ(Position(), 18);
    ASSERT_EQ(g_notices.size(), 3u);
    EXPECT_EQ(g_notices[2].iDelta, 6);
    pValue->setCurrentValue(18.2);
    pValue->setCurrentValue(std::numeric_limits<double>::quiet_NaN());
    pValue->setCurrentValue(QStringLiteral("many"));
    EXPECT_EQ(Position(), 18);
    EXPECT_EQ(g_notices.size(), 3u);
    pValue->setCurrentValue(-1e300);
    EXPECT_EQ(Position(), 0);
    EXPECT_EQ(g_notices.size(), 4u);

    // A range that runs backwards still reports its lower end as minimum.
    SendMessageA(m_hSpin, UDM_SETRANGE, 0, MAKELPARAM(0, 100));
    EXPECT_EQ(pValue->minimumValue().toInt(), 0);
    EXPECT_EQ(pValue->maximumValue().toInt(), 100);
}

TEST_F(UpDownAccessibility, ActionsStepThroughTheNoticeAndAnnounceTheValue)
{
    QAccessibleActionInterface* pActions = Accessible(m_hSpin)->actionInterface();
    ASSERT_NE(pActions, nullptr);
    EXPECT_TRUE(pActions->actionNames().contains(QAccessibleActionInterface::increaseAction()));
    EXPECT_TRUE(pActions->actionNames().contains(QAccessibleActionInterface::decreaseAction()));
    EXPECT_EQ(pActions->keyBindingsForAction(QAccessibleActionInterface::increaseAction()), QStringList{"Up"});

    Act(QAccessibleActionInterface::increaseAction());
    ASSERT_EQ(g_notices.size(), 1u);
    EXPECT_EQ(g_notices[0].id, IDC_SPIN_FREQUENCY);
    EXPECT_EQ(g_notices[0].iPos, 9);
    EXPECT_EQ(g_notices[0].iDelta, 1);
    EXPECT_EQ(Position(), 10);

    Act(QAccessibleActionInterface::decreaseAction());
    ASSERT_EQ(g_notices.size(), 2u);
    EXPECT_EQ(g_notices[1].iPos, 10);
    EXPECT_EQ(g_notices[1].iDelta, -1);
    EXPECT_EQ(Position(), 9);

    if (!EventsFlow())
        GTEST_SKIP() << "no accessibility events on this platform";
    ASSERT_EQ(g_valueEvents.size(), 2u);
    EXPECT_EQ(g_valueEvents[0].pObject, qtwin::WidgetFromHwnd(m_hSpin));
    EXPECT_EQ(g_valueEvents[0].value, 10);
    EXPECT_EQ(g_valueEvents[1].value, 9);
}

TEST_F(UpDownAccessibility, IncreaseRaisesTheValueOnABackwardRange)
{
    // The window system's default range runs from 100 down to 0: the up
    // arrow lowers the position there, so "increase" is the down arrow.
    SendMessageA(m_hSpin, UDM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(m_hSpin, UDM_SETPOS, 0, MAKELPARAM(50, 0));
    Act(QAccessibleActionInterface::increaseAction());
    EXPECT_EQ(Position(), 51);
    Act(QAccessibleActionInterface::decreaseAction());
    EXPECT_EQ(Position(), 50);
    EXPECT_EQ(Accessible(m_hSpin)->actionInterface()->keyBindingsForAction(QAccessibleActionInterface::increaseAction()),
              QStringList{"Down"});
}

TEST_F(UpDownAccessibility, StepsThatDoNotMoveAnnounceNothing)
{
    // Vetoed by the dialog.
    g_bVeto = true;
    Act(QAccessibleActionInterface::increaseAction());
    EXPECT_EQ(g_notices.size(), 1u);
    EXPECT_EQ(Position(), 9);

    // At the end of the range: the notice goes out, the position stays.
    g_bVeto = false;
    SendMessageA(m_hSpin, UDM_SETPOS, 0, MAKELPARAM(18, 0));
    g_valueEvents.clear();
    Act(QAccessibleActionInterface::increaseAction());
    EXPECT_EQ(g_notices.size(), 2u);
    EXPECT_EQ(Position(), 18);
    EXPECT_TRUE(g_valueEvents.empty());
}

TEST_F(UpDownAccessibility, SetPosAnnouncesEveryChangeAndOnlyChanges)
{
    if (!EventsFlow())
        GTEST_SKIP() << "no accessibility on this platform";
    SendMessageA(m_hSpin, UDM_SETPOS, 0, MAKELPARAM(9, 0));
    EXPECT_TRUE(g_valueEvents.empty());
    SendMessageA(m_hSpin, UDM_SETPOS, 0, MAKELPARAM(4, 0));
    // Out of range: clamped, and the clamped value is announced.
    SendMessageA(m_hSpin, UDM_SETPOS, 0, MAKELPARAM(300, 0));
    ASSERT_EQ(g_valueEvents.size(), 2u);
    EXPECT_EQ(g_valueEvents[0].value, 4);
    EXPECT_EQ(g_valueEvents[1].value, 18);
    EXPECT_TRUE(g_notices.empty());
}

// The number boxes: read-only, so nothing outside the tool edits them; and a
// digits-only box that is writable takes only writes that leave digits.
TEST_F(UpDownAccessibility, BoxesTakeNoWritesWhenReadOnlyAndOnlyDigitsWhenNumeric)
{
    HWND hBox = GetDlgItem(m_hDlg, IDC_EDIT_VIDEO_PID);
    SetWindowTextA(hBox, "257");
    QAccessibleInterface* pBox = Accessible(hBox);
    ASSERT_NE(pBox, nullptr);
    EXPECT_TRUE(pBox->state().readOnly);
    EXPECT_FALSE(pBox->state().editable);
    ASSERT_NE(pBox->textInterface(), nullptr);
    EXPECT_EQ(pBox->textInterface()->text(0, pBox->textInterface()->characterCount()).toStdString(), "257");
    EXPECT_EQ(pBox->editableTextInterface(), nullptr);
    pBox->setText(QAccessible::Value, QStringLiteral("999"));

    auto text = [hBox] {
        char sz[32] = {};
        GetWindowTextA(hBox, sz, sizeof sz);
        return std::string(sz);
    };
    EXPECT_EQ(text(), "257");

    // The same box made writable: digits go in, anything else is refused.
    static_cast<QLineEdit*>(qtwin::WidgetFromHwnd(hBox))->setReadOnly(false);
    EXPECT_TRUE(pBox->state().editable);
    QAccessibleEditableTextInterface* pEdit = pBox->editableTextInterface();
    ASSERT_NE(pEdit, nullptr);
    pEdit->insertText(0, QStringLiteral("ab"));
    EXPECT_EQ(text(), "257");
    pEdit->replaceText(0, 3, QStringLiteral("-1"));
    EXPECT_EQ(text(), "257");
    pBox->setText(QAccessible::Value, QStringLiteral("9 9"));
    EXPECT_EQ(text(), "257");
    pEdit->insertText(99, QStringLiteral("1"));
    pEdit->deleteText(2, 1);
    EXPECT_EQ(text(), "257");
    pEdit->insertText(3, QStringLiteral("0"));
    EXPECT_EQ(text(), "2570");
    pEdit->deleteText(0, 1);
    EXPECT_EQ(text(), "570");
    pEdit->replaceText(0, 3, QStringLiteral("1001"));
    EXPECT_EQ(text(), "1001");
    pBox->setText(QAccessible::Value, QStringLiteral("42"));
    EXPECT_EQ(text(), "42");
}

}  // namespace

int main(int argc, char* argv[])
{
    // With a session bus, start the accessibility bus, as a desktop session
    // does, and have the toolkit turn accessibility on without a screen reader.
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication application(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && QGuiApplication::platformName() == QLatin1String("xcb")) {
        bus.interface()->startService(QStringLiteral("org.a11y.Bus"));
        QElapsedTimer timer;
        timer.start();
        while (!QAccessible::isActive() && timer.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

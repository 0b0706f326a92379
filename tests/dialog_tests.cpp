// The tuning dialog on the recording card: start-up and shutdown, the
// read-out, refreshes, the layout and the keyboard.

#include "app/tuning_app.h"
#include "dialog/tuning_dlg.h"
#include "platform/ui/qt/qtwin_internal.h"
#include "platform/ui/qt/resources.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/recording_card.h"
#include "tests/support/scenarios.h"

#include <QApplication>
#include <QFontInfo>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QValidator>

#include <thread>

#include <gtest/gtest.h>

using harness::Session;
using reccard::TheCard;

namespace {

const std::vector<std::string> kRefresh = {"GetAudioPid", "GetVideoPID", "GetFrequency", "GetSymbolrate"};

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The log since a given entry count.
std::vector<std::string> LogSince(std::size_t start)
{
    const auto& log = TheCard().log;
    return {log.begin() + static_cast<std::ptrdiff_t>(std::min(start, log.size())), log.end()};
}

std::string AppName()
{
    return AfxGetAppName();
}

class TuningDialogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        reccard::Reset();
        theApp.InitAppName();
    }
};

}  // namespace

// --- Start-up and shutdown ----------------------------------------------------

TEST_F(TuningDialogTest, ApplicationRunsTheDialogAndClosesTheBoardBeforeTheObjectGoes)
{
    bool windowExistedAtClose = false;
    TheCard().onCall = [&](const std::string& call) {
        if (call == "DVB_CloseBoard")
            windowExistedAtClose = IsWindow(TheCard().hCloseWindow);
    };
    HWND hDialog = nullptr;
    BOOL result = TRUE;
    Session session;
    session.Run([&] { result = theApp.InitInstance(); },
                [&](HWND hDlg) {
                    hDialog = hDlg;
                    harness::ClickButton(hDlg, IDOK);
                });

    EXPECT_EQ(result, FALSE);
    EXPECT_EQ(TheCard().log, Concat({{"CMPEGDecoder", "CFrontend", "DVB_OpenBoard"},
                                     kRefresh,
                                     {"DVB_CloseBoard", "~CFrontend", "~CMPEGDecoder"}}));
    EXPECT_EQ(TheCard().hOpenWindow, hDialog);
    EXPECT_EQ(TheCard().hCloseWindow, hDialog);
    EXPECT_TRUE(windowExistedAtClose);
    EXPECT_FALSE(IsWindow(hDialog));
    EXPECT_TRUE(session.messageBoxes.empty());
}

// Every way of closing ends the run the same way: one open, one close.
struct CloseWay
{
    const char* name;
    std::function<void(HWND)> close;
    INT_PTR expected;
};

void PrintTo(const CloseWay& way, std::ostream* os)
{
    *os << way.name;
}

class ClosingTest : public TuningDialogTest, public ::testing::WithParamInterface<CloseWay> {};

TEST_P(ClosingTest, OpensOnceAndClosesOnce)
{
    CTuningDlg dlg;
    Session session;
    HWND hDialog = nullptr;
    const INT_PTR result = session.RunModal(dlg, [&](HWND hDlg) {
        hDialog = hDlg;
        GetParam().close(hDlg);
    });
    EXPECT_EQ(result, GetParam().expected);
    EXPECT_FALSE(IsWindow(hDialog));
    EXPECT_EQ(reccard::CountOf("DVB_OpenBoard"), 1u);
    EXPECT_EQ(reccard::CountOf("DVB_CloseBoard"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    AllWays, ClosingTest,
    ::testing::Values(
        CloseWay{"OK", [](HWND h) { harness::ClickButton(h, IDOK); }, IDOK},
        CloseWay{"Enter", [](HWND h) { harness::PressKey(h, Qt::Key_Return); }, IDOK},
        CloseWay{"Enter on a number box",
                 [](HWND h) {
                     harness::Control(h, IDC_EDIT_FREQUENCY)->setFocus();
                     harness::PressKey(h, Qt::Key_Enter);
                 },
                 IDOK},
        CloseWay{"Escape", [](HWND h) { harness::PressKey(h, Qt::Key_Escape); }, IDCANCEL},
        CloseWay{"Cancel command", [](HWND h) { SendMessageA(h, WM_COMMAND, IDCANCEL, 0); }, IDCANCEL},
        CloseWay{"close box", [](HWND h) { qtwin::WidgetFromHwnd(h)->close(); }, IDCANCEL}),
    [](const ::testing::TestParamInfo<CloseWay>& param) {
        std::string name = param.param.name;
        for (char& c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST_F(TuningDialogTest, NoCardShowsTheOpenErrorThenZeros)
{
    TheCard().nOpenResult = 31;
    for (const char* getter : {"GetAudioPid", "GetVideoPID", "GetFrequency", "GetSymbolrate"})
        TheCard().failures[getter] = 0;
    harness::SetPosSpy spy;
    std::size_t callsWhenBoxWasUp = 0;
    CTuningDlg dlg;
    Session session;
    session.onMessageBox = [&](const harness::MessageBoxSeen&) { callsWhenBoxWasUp = TheCard().log.size(); };
    session.RunModal(dlg, [&](HWND hDlg) {
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_AUDIO_PID), "0");
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_VIDEO_PID), "0");
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "0");
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_SYMBOL_RATE), "0");
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_AUDIO_PID), 0);
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_VIDEO_PID), 0);
    });

    ASSERT_EQ(session.messageBoxes.size(), 1u);
    const harness::MessageBoxSeen& box = session.messageBoxes[0];
    EXPECT_EQ(box.text, "Error on DVB_OpenBoard: 31");
    EXPECT_EQ(box.caption, AppName());
    EXPECT_EQ(box.icon, QMessageBox::Warning);
    EXPECT_TRUE(box.ownerIsDialog);
    EXPECT_FALSE(box.dialogWasVisible) << "the box comes up before the dialog is first seen";
    // In the dialog's font, whatever the toolkit's default face is.
    EXPECT_EQ(box.fontFamily, "Liberation Sans");
    EXPECT_EQ(box.fontPixelSize, 11);
    // The box comes after the open and before the refresh.
    EXPECT_EQ(callsWhenBoxWasUp, 3u);
    EXPECT_EQ(spy.Last(IDC_SPIN_FREQUENCY), 12542);
    EXPECT_EQ(spy.Last(IDC_SPIN_AUDIO_PID), 0);
    EXPECT_EQ(spy.Last(IDC_SPIN_VIDEO_PID), 0);
    // The refresh still runs, and the board is still closed.
    EXPECT_EQ(reccard::Calls({"GetAudioPid", "GetVideoPID", "GetFrequency", "GetSymbolrate"}), kRefresh);
    EXPECT_EQ(reccard::CountOf("DVB_CloseBoard"), 1u);
}

TEST_F(TuningDialogTest, ErrorCodesAreShownUnsigned)
{
    TheCard().nOpenResult = 0xFFFFFFFFu;
    TheCard().nCloseResult = 0x80000000u;
    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [](HWND hDlg) { harness::ClickButton(hDlg, IDOK); });
    ASSERT_EQ(session.messageBoxes.size(), 2u);
    EXPECT_EQ(session.messageBoxes[0].text, "Error on DVB_OpenBoard: 4294967295");
    EXPECT_EQ(session.messageBoxes[1].text, "Error on DVB_CloseBoard: 2147483648");
}

TEST_F(TuningDialogTest, FailedOpenStillShowsTheCardAndClosesAtTheEnd)
{
    TheCard().nOpenResult = 2;
    TheCard().wVideoPid = 160;
    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [](HWND hDlg) {
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_VIDEO_PID), "160");
        harness::ClickButton(hDlg, IDOK);
    });
    EXPECT_EQ(session.messageBoxes.size(), 1u);
    EXPECT_EQ(reccard::CountOf("DVB_CloseBoard"), 1u);
}

TEST_F(TuningDialogTest, FailedCloseShowsItsBoxAndTheWindowStillGoes)
{
    TheCard().nCloseResult = 7;
    HWND hDialog = nullptr;
    CTuningDlg dlg;
    Session session;
    session.onMessageBox = [&](const harness::MessageBoxSeen&) {
        EXPECT_TRUE(IsWindow(hDialog)) << "the close error comes while the window exists";
    };
    const INT_PTR result = session.RunModal(dlg, [&](HWND hDlg) {
        hDialog = hDlg;
        harness::PressKey(hDlg, Qt::Key_Escape);
    });
    EXPECT_EQ(result, IDCANCEL);
    ASSERT_EQ(session.messageBoxes.size(), 1u);
    EXPECT_EQ(session.messageBoxes[0].text, "Error on DVB_CloseBoard: 7");
    EXPECT_EQ(session.messageBoxes[0].fontFamily, "Liberation Sans");
    EXPECT_EQ(session.messageBoxes[0].fontPixelSize, 11);
    EXPECT_FALSE(IsWindow(hDialog));
}

// --- The read-out -------------------------------------------------------------

TEST_F(TuningDialogTest, FrequencyReadingsGiveGridPositionsAndShowUnchanged)
{
    harness::SetPosSpy spy;
    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        for (const auto& [frequency, position] : scenarios::FrequencyReadings) {
            TheCard().nFrequency = frequency;
            harness::ClickButton(hDlg, IDC_REFRESH);
            EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), std::to_string(frequency));
            EXPECT_EQ(spy.Last(IDC_SPIN_FREQUENCY), position) << frequency;
            // The spin button itself keeps to its range.
            EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_FREQUENCY), std::min(position, scenarios::FrequencySpinMax))
                << frequency;
        }
    });
}

TEST_F(TuningDialogTest, PidAboveTheSpinRangeIsShownAsReported)
{
    TheCard().wVideoPid = 5000;
    TheCard().wAudioPid = 8191;
    harness::SetPosSpy spy;
    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_VIDEO_PID), "5000");
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_AUDIO_PID), "8191");
        EXPECT_EQ(spy.Last(IDC_SPIN_VIDEO_PID), 5000);
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_VIDEO_PID), 4096);
    });
}

TEST_F(TuningDialogTest, FailingGetterKeepsTheLastShownValue)
{
    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "394000");
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_SYMBOL_RATE), "6900");

        TheCard().nFrequency = 402000;
        TheCard().nSymbolRate = 6875;
        TheCard().wAudioPid = 0x222;
        TheCard().failures["GetFrequency"] = 0;
        TheCard().failures["GetSymbolrate"] = -5;
        const std::size_t before = TheCard().log.size();
        harness::ClickButton(hDlg, IDC_REFRESH);
        // All four getters run, whatever the earlier ones return.
        EXPECT_EQ(LogSince(before), kRefresh);
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "394000");
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_SYMBOL_RATE), "6900");
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_AUDIO_PID), std::to_string(0x222));

        TheCard().failures.clear();
        harness::ClickButton(hDlg, IDC_REFRESH);
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "402000");
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_SYMBOL_RATE), "6875");
    });
}

// --- Refresh on the registered message -----------------------------------------

TEST_F(TuningDialogTest, RegisteredMessageIsTheProcessWideIdentifier)
{
    EXPECT_GE(g_wmProgramChanged, 0xC000u);
    EXPECT_EQ(RegisterWindowMessageA("WM_DVB_PROGRAM_CHANGED"), g_wmProgramChanged);
    EXPECT_EQ(RegisterWindowMessageA("wm_dvb_program_changed"), g_wmProgramChanged);
    EXPECT_NE(RegisterWindowMessageA("WM_DVB_SOMETHING_ELSE"), g_wmProgramChanged);
}

TEST_F(TuningDialogTest, ProgramChangedGivesExactlyOneRefreshWhateverItsParameters)
{
    const std::pair<WPARAM, LPARAM> params[] = {{0, 0}, {1, -1}, {~WPARAM{0}, 0x7FFFFFFF}};
    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        for (const auto& [wParam, lParam] : params) {
            TheCard().nFrequency += 8000;
            std::size_t before = TheCard().log.size();
            PostMessageA(hDlg, g_wmProgramChanged, wParam, lParam);
            harness::Pump();
            EXPECT_EQ(LogSince(before), kRefresh);
            EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), std::to_string(TheCard().nFrequency));

            before = TheCard().log.size();
            EXPECT_EQ(SendMessageA(hDlg, g_wmProgramChanged, wParam, lParam), 0);
            EXPECT_EQ(LogSince(before), kRefresh);
        }
    });
}

TEST_F(TuningDialogTest, ProgramChangedFromAnotherThreadIsDelivered)
{
    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        const std::size_t before = TheCard().log.size();
        std::thread([hDlg] { EXPECT_TRUE(PostMessageA(hDlg, g_wmProgramChanged, 0, 0)); }).join();
        harness::Pump();
        EXPECT_EQ(LogSince(before), kRefresh);
    });
}

TEST_F(TuningDialogTest, ProgramChangedWhileTheOpenErrorIsUpRefreshesInside)
{
    TheCard().nOpenResult = 9;
    {
        CTuningDlg dlg;
        Session session;
        session.onMessageBox = [&](const harness::MessageBoxSeen&) {
            PostMessageA(TheCard().hOpenWindow, g_wmProgramChanged, 0, 0);
            harness::Pump();
        };
        session.RunModal(dlg, [](HWND) {});
    }
    // The refresh the message asks for runs while the box is up, before the
    // one that ends the dialog's initialisation.
    EXPECT_EQ(LogSince(0), Concat({{"CMPEGDecoder", "CFrontend", "DVB_OpenBoard"},
                                   kRefresh, kRefresh,
                                   {"DVB_CloseBoard", "~CFrontend", "~CMPEGDecoder"}}));
}

TEST_F(TuningDialogTest, PostingToAClosedDialogFails)
{
    HWND hDialog = nullptr;
    {
        CTuningDlg dlg;
        Session session;
        session.RunModal(dlg, [&](HWND hDlg) { hDialog = hDlg; });
    }
    EXPECT_FALSE(PostMessageA(hDialog, g_wmProgramChanged, 0, 0));
}

// --- Layout, keyboard and icon ---------------------------------------------------

TEST_F(TuningDialogTest, LayoutFollowsTheTemplateInDialogUnits)
{
    const auto tmpl = qtwin::ResourceFile::Module().FindDialog(IDD_TUNING_DIALOG);
    ASSERT_TRUE(tmpl);
    EXPECT_EQ(tmpl->language, 0x0407);
    EXPECT_EQ(tmpl->caption.toStdString(), "Tavrik f\u00fcr Siemens-DVB v1.0");
    EXPECT_EQ(tmpl->cx, 181);
    EXPECT_EQ(tmpl->cy, 100);
    EXPECT_EQ(tmpl->items.size(), 14u);

    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        QWidget* pDialog = qtwin::WidgetFromHwnd(hDlg);
        EXPECT_EQ(pDialog->windowTitle().toStdString(), "Tavrik f\u00fcr Siemens-DVB v1.0");
        // The substitute for the dialog font is really there.
        EXPECT_EQ(QFontInfo(pDialog->font()).family().toStdString(), "Liberation Sans");

        RECT size{0, 0, tmpl->cx, tmpl->cy};
        MapDialogRect(hDlg, &size);
        EXPECT_EQ(pDialog->size(), QSize(size.right, size.bottom));
        EXPECT_EQ(pDialog->minimumSize(), pDialog->maximumSize()) << "fixed size";
        const Qt::WindowFlags flags = pDialog->windowFlags();
        EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
        EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);

        // Every control where the template puts it, statics included.
        const QList<QWidget*> children = pDialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        std::size_t matched = 0;
        for (const qtwin::DialogItem& item : tmpl->items) {
            // Position and size each convert on their own, as the dialog
            // manager converts them.
            RECT r{item.x, item.y, item.cx, item.cy};
            MapDialogRect(hDlg, &r);
            const QRect expected(r.left, r.top, r.right, r.bottom);
            for (QWidget* child : children) {
                if (child->geometry() == expected && GetDlgCtrlID(qtwin::HwndFromWidget(child)) == item.id) {
                    ++matched;
                    break;
                }
            }
        }
        EXPECT_EQ(matched, tmpl->items.size());

    });
}

// The frame follows the template's window styles, whatever they are: the
// boxes it names, and a fixed size without a sizing border.
TEST(DialogFrame, WindowFlagsFollowTheTemplatesStyles)
{
    const auto tmpl = qtwin::ResourceFile::Module().FindDialog(IDD_TUNING_DIALOG);
    ASSERT_TRUE(tmpl);
    const Qt::WindowFlags ours = qtwin::DialogWindowFlags(tmpl->style);
    EXPECT_TRUE(ours & Qt::CustomizeWindowHint) << "only the hints asked for";
    EXPECT_TRUE(ours & Qt::WindowTitleHint);
    EXPECT_TRUE(ours & Qt::WindowSystemMenuHint);
    EXPECT_TRUE(ours & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(ours & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(ours & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(ours & Qt::MSWindowsFixedSizeDialogHint);

    const DWORD sizable = tmpl->style | WS_MAXIMIZEBOX | WS_THICKFRAME;
    const Qt::WindowFlags other = qtwin::DialogWindowFlags(sizable);
    EXPECT_TRUE(other & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(other & Qt::MSWindowsFixedSizeDialogHint);

    // Minimize and maximize boxes come with a system menu only; a border
    // alone is no caption.
    const Qt::WindowFlags bare = qtwin::DialogWindowFlags(WS_POPUP | WS_BORDER | WS_MINIMIZEBOX | WS_MAXIMIZEBOX);
    EXPECT_FALSE(bare & (Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint
                         | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
}

TEST_F(TuningDialogTest, TabOrderFocusAndDefaultButton)
{
    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        EXPECT_EQ(GetFocus(), GetDlgItem(hDlg, IDOK));
        EXPECT_TRUE(static_cast<QPushButton*>(harness::Control(hDlg, IDOK))->isDefault());
        EXPECT_EQ(LOWORD(SendMessageA(hDlg, DM_GETDEFID, 0, 0)), IDOK);

        const int order[] = {IDC_EDIT_VIDEO_PID, IDC_EDIT_AUDIO_PID, IDC_REFRESH,
                             IDC_EDIT_FREQUENCY, IDC_EDIT_SYMBOL_RATE, IDOK};
        for (int id : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            EXPECT_EQ(GetDlgCtrlID(GetFocus()), id);
        }
        for (int id : {IDC_SPIN_FREQUENCY, IDC_SPIN_AUDIO_PID, IDC_SPIN_VIDEO_PID})
            EXPECT_FALSE(harness::Control(hDlg, id)->focusPolicy() & Qt::TabFocus);
    });
}

// From an up-down control, which is no tab stop, Tab goes to the next tab
// stop after it in template order and Shift+Tab to the one before, whether
// it got the focus from a click or from outside (a screen reader).
TEST_F(TuningDialogTest, TabFromASpinButtonGoesOnInTemplateOrder)
{
    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        const struct
        {
            int spin;
            int next;
            int previous;
        } cases[] = {
            {IDC_SPIN_VIDEO_PID, IDC_EDIT_AUDIO_PID, IDC_EDIT_VIDEO_PID},
            {IDC_SPIN_AUDIO_PID, IDC_REFRESH, IDC_EDIT_AUDIO_PID},
            {IDC_SPIN_FREQUENCY, IDC_EDIT_SYMBOL_RATE, IDC_EDIT_FREQUENCY},
        };
        for (const auto& c : cases) {
            for (bool bForward : {true, false}) {
                SetFocus(GetDlgItem(hDlg, c.spin));
                ASSERT_EQ(GetDlgCtrlID(GetFocus()), c.spin);
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab,
                                bForward ? Qt::NoModifier : Qt::ShiftModifier);
                EXPECT_EQ(GetDlgCtrlID(GetFocus()), bForward ? c.next : c.previous)
                    << "from " << c.spin << (bForward ? " forward" : " back");
            }
        }
        // A click gives the spin button the focus (and steps it); Tab then
        // moves on from there.
        QWidget* pSpin = harness::Control(hDlg, IDC_SPIN_AUDIO_PID);
        QTest::mouseClick(pSpin, Qt::LeftButton, Qt::NoModifier, QPoint(pSpin->width() / 2, 2));
        harness::Pump();
        ASSERT_EQ(GetDlgCtrlID(GetFocus()), IDC_SPIN_AUDIO_PID);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(GetDlgCtrlID(GetFocus()), IDC_REFRESH);

        // Shift+Tab runs the tab stops backwards, round the end.
        SetFocus(GetDlgItem(hDlg, IDOK));
        const int backwards[] = {IDC_EDIT_SYMBOL_RATE, IDC_EDIT_FREQUENCY, IDC_REFRESH,
                                 IDC_EDIT_AUDIO_PID, IDC_EDIT_VIDEO_PID, IDOK};
        for (int id : backwards) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ShiftModifier);
            EXPECT_EQ(GetDlgCtrlID(GetFocus()), id);
        }
        // The dialog manager's own answer agrees, for a control and for none.
        EXPECT_EQ(GetNextDlgTabItem(hDlg, GetDlgItem(hDlg, IDC_SPIN_VIDEO_PID), FALSE),
                  GetDlgItem(hDlg, IDC_EDIT_AUDIO_PID));
        EXPECT_EQ(GetNextDlgTabItem(hDlg, nullptr, FALSE), GetDlgItem(hDlg, IDOK));
        EXPECT_EQ(GetNextDlgTabItem(hDlg, nullptr, TRUE), GetDlgItem(hDlg, IDC_EDIT_SYMBOL_RATE));
    });
}

TEST_F(TuningDialogTest, NumberBoxesAreReadOnlyDigits)
{
    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        for (int id : {IDC_EDIT_VIDEO_PID, IDC_EDIT_AUDIO_PID, IDC_EDIT_FREQUENCY, IDC_EDIT_SYMBOL_RATE}) {
            auto* edit = static_cast<QLineEdit*>(harness::Control(hDlg, id));
            const std::string before = harness::Text(hDlg, id);
            EXPECT_TRUE(edit->isReadOnly());
            edit->setFocus();
            QTest::keyClicks(edit, "12a");
            QTest::keyClick(edit, Qt::Key_Backspace);
            EXPECT_EQ(harness::Text(hDlg, id), before);
            ASSERT_NE(edit->validator(), nullptr);
            QString text = "12a";
            int pos = 0;
            EXPECT_EQ(edit->validator()->validate(text, pos), QValidator::Invalid);
        }
        // The dialog handles no keys of its own beyond the dialog manager's.
        const std::size_t before = TheCard().log.size();
        harness::PressKey(hDlg, Qt::Key_F1);
        EXPECT_EQ(TheCard().log.size(), before);
        EXPECT_TRUE(IsWindow(hDlg));
    });
}

TEST_F(TuningDialogTest, IconIsSetBigThenSmallAndPaintedWhenMinimized)
{
    std::vector<WPARAM> iconsSet;
    static std::vector<WPARAM>* s_pIcons = nullptr;
    s_pIcons = &iconsSet;
    HHOOK hHook = SetWindowsHookExA(WH_CALLWNDPROC, [](int, WPARAM, LPARAM lParam) -> LRESULT {
        const auto* cwp = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (cwp->message == WM_SETICON)
            s_pIcons->push_back(cwp->wParam);
        return 0;
    }, nullptr, 0);

    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        HICON hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
        ASSERT_NE(hIcon, nullptr);
        EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(hDlg, WM_GETICON, ICON_BIG, 0)), hIcon);
        EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(hDlg, WM_GETICON, ICON_SMALL, 0)), hIcon);
        EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(hDlg, WM_QUERYDRAGICON, 0, 0)), hIcon);
        const QList<QSize> sizes = qtwin::WidgetFromHwnd(hDlg)->windowIcon().availableSizes();
        EXPECT_TRUE(sizes.contains(QSize(32, 32)));
        EXPECT_TRUE(sizes.contains(QSize(16, 16)));

        // Minimized, the window paints the icon centred on its background.
        // (The window itself, without its controls: a minimized window shows
        // none of them.)
        QWidget* pDialog = qtwin::WidgetFromHwnd(hDlg);
        auto render = [pDialog] {
            QImage image(pDialog->size(), QImage::Format_ARGB32);
            image.fill(Qt::black);
            pDialog->render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
            return image;
        };
        const QImage normal = render();
        pDialog->showMinimized();
        ASSERT_TRUE(IsIconic(hDlg));
        const QImage iconic = render();
        pDialog->showNormal();
        RECT rc;
        GetClientRect(hDlg, &rc);
        const int x = (rc.right - 32 + 1) / 2;
        const int y = (rc.bottom - 32 + 1) / 2;
        const QImage drawn = iconic.copy(x, y, 32, 32);

        // The icon's picture (its blue and navy screen) at the centre, and no
        // control painted any more.
        EXPECT_EQ(drawn.pixelColor(14, 13), QColor(0, 0, 255));
        EXPECT_EQ(drawn.pixelColor(14, 21), QColor(0, 0, 128));
        EXPECT_NE(iconic, normal);
        EXPECT_EQ(iconic.pixelColor(2, 2), pDialog->palette().window().color());
    });
    UnhookWindowsHookEx(hHook);
    EXPECT_EQ(iconsSet, (std::vector<WPARAM>{ICON_BIG, ICON_SMALL}));
}

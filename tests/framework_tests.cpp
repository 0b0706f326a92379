// The framework and the Qt back end: the up-down control's notices,
// registered messages across threads and processes, and the compiled
// resources read from damaged data.

#include "app/tuning_app.h"
#include "dialog/tuning_dlg.h"
#include "platform/ui/qt/digits_validator.h"
#include "platform/ui/qt/qtwin_internal.h"
#include "platform/ui/qt/resources.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/recording_card.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>

using harness::Session;
using reccard::TheCard;

namespace {

// A dialog on the tuning template whose video spin button notice can veto
// or change the step.
class NoticeDlg : public CDialog
{
public:
    NoticeDlg() : CDialog(IDD_TUNING_DIALOG) {}

    LRESULT m_nAnswer = 0;
    int m_nNewDelta = 0;                 // 0: leave the delta alone
    std::vector<std::pair<int, int>> m_notices;   // (iPos, iDelta)

    CSpinButtonCtrl m_spin;

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, IDC_SPIN_VIDEO_PID, m_spin); }

    void OnDeltapos(NMHDR* pNMHDR, LRESULT* pResult)
    {
        auto* pNM = reinterpret_cast<NMUPDOWN*>(pNMHDR);
        m_notices.emplace_back(pNM->iPos, pNM->iDelta);
        EXPECT_EQ(m_spin.GetPos(), pNM->iPos) << "the notice comes before the move";
        if (m_nNewDelta != 0)
            pNM->iDelta = m_nNewDelta;
        *pResult = m_nAnswer;
    }

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(NoticeDlg, CDialog)
    ON_NOTIFY(UDN_DELTAPOS, IDC_SPIN_VIDEO_PID, NoticeDlg::OnDeltapos)
END_MESSAGE_MAP()

}  // namespace

TEST(UpDownControl, RangeIsPackedUpperLowAndLowerHigh)
{
    NoticeDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND) {
        dlg.m_spin.SetRange(-5, 4096);
        EXPECT_EQ(dlg.m_spin.SendMessage(UDM_GETRANGE), MAKELONG(4096, -5));
        EXPECT_EQ(dlg.m_spin.SetPos(7000), 0);     // the previous position
        EXPECT_EQ(dlg.m_spin.GetPos(), 4096);      // clamped
        dlg.m_spin.SetPos(-9);
        EXPECT_EQ(static_cast<short>(LOWORD(dlg.m_spin.GetPos())), -5);
    });
}

TEST(UpDownControl, NoticeCanVetoOrChangeTheStep)
{
    NoticeDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        dlg.m_spin.SetRange(0, 100);
        dlg.m_spin.SetPos(50);

        dlg.m_nAnswer = 1;
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, true);
        EXPECT_EQ(dlg.m_spin.GetPos(), 50) << "vetoed";

        dlg.m_nAnswer = 0;
        dlg.m_nNewDelta = 10;
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, false);
        EXPECT_EQ(dlg.m_spin.GetPos(), 60) << "moved by the delta the notice gave back";

        dlg.m_nNewDelta = 0;
        dlg.m_spin.SetPos(100);
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, true);
        EXPECT_EQ(dlg.m_spin.GetPos(), 100) << "no wrap at the end";

        // A range that runs backwards: the up arrow goes down.
        dlg.m_spin.SetRange(10, 0);
        dlg.m_spin.SetPos(5);
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, true);
        EXPECT_EQ(dlg.m_spin.GetPos(), 4);
    });
    EXPECT_EQ(dlg.m_notices, (std::vector<std::pair<int, int>>{{50, 1}, {50, -1}, {100, 1}, {5, -1}}));
}

TEST(RegisteredMessages, SameNameSameIdentifierFromEveryThread)
{
    const UINT own = RegisterWindowMessageA("TAVRIK_TEST_MESSAGE");
    std::vector<UINT> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] {
            seen[i] = RegisterWindowMessageA(i % 2 ? "TAVRIK_TEST_MESSAGE" : "tavrik_test_message");
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(std::set<UINT>(seen.begin(), seen.end()), std::set<UINT>{own});
    EXPECT_GE(own, 0xC000u);
    EXPECT_LE(own, 0xFFFFu);
    EXPECT_EQ(RegisterWindowMessageA(""), 0u);
    EXPECT_EQ(RegisterWindowMessageA(nullptr), 0u);
}

// An ES_NUMBER box takes the digits 0-9 and nothing else: no sign, space,
// separator or other script's digits.
TEST(NumberBox, TakesTheDigitsAlone)
{
    const qtwin::DigitsValidator validator;
    for (const char* pszText : {"", "0", "0123456789", "00000000000000000000000001"}) {
        QString text = QString::fromUtf8(pszText);
        int pos = 0;
        EXPECT_EQ(validator.validate(text, pos), QValidator::Acceptable) << pszText;
    }
    for (const char* pszText : {"12a", "-1", "+1", " 1", "1 ", "1.5", "1,5", "\u0661\u0662", "\uff11", "x"}) {
        QString text = QString::fromUtf8(pszText);
        int pos = 0;
        EXPECT_EQ(validator.validate(text, pos), QValidator::Invalid) << pszText;
    }
}

// Text copied out of a window (a control's, or the dialog's caption) and the
// module's path: cut to the caller's buffer, always terminated, the length
// copied returned.
TEST(WindowText, CopiedOutCutToTheBufferAndTerminated)
{
    NoticeDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        const HWND hEdit = GetDlgItem(hDlg, IDC_EDIT_VIDEO_PID);
        for (const HWND hWnd : {hEdit, hDlg}) {
            SetWindowTextA(hWnd, "12345");
            EXPECT_EQ(SendMessageA(hWnd, WM_GETTEXTLENGTH, 0, 0), 5);
            char sz[8];
            std::memset(sz, 'x', sizeof sz);
            EXPECT_EQ(GetWindowTextA(hWnd, sz, 4), 3);
            EXPECT_STREQ(sz, "123");
            EXPECT_EQ(sz[4], 'x') << "nothing written past the buffer";
            EXPECT_EQ(GetWindowTextA(hWnd, sz, sizeof sz), 5);
            EXPECT_STREQ(sz, "12345");
            EXPECT_EQ(SendMessageA(hWnd, WM_GETTEXT, 0, reinterpret_cast<LPARAM>(sz)), 0) << "no room";
            EXPECT_EQ(SendMessageA(hWnd, WM_GETTEXT, sizeof sz, 0), 0) << "no buffer";
        }
    });

    char szPath[4096];
    const DWORD nPath = GetModuleFileNameA(nullptr, szPath, sizeof szPath);
    ASSERT_GT(nPath, 4u);
    EXPECT_EQ(std::strlen(szPath), nPath);
    char szShort[5];
    EXPECT_EQ(GetModuleFileNameA(nullptr, szShort, sizeof szShort), 4u);
    EXPECT_EQ(std::string(szShort), std::string(szPath, 4));
}

TEST(Resources, TheModuleHasTheDialogAndBothIconImages)
{
    const auto& module = qtwin::ResourceFile::Module();
    ASSERT_TRUE(module.IsValid());
    ASSERT_TRUE(module.FindDialog(IDD_TUNING_DIALOG));
    const auto icon = module.FindIconFile(IDR_MAINFRAME);
    ASSERT_TRUE(icon);
    EXPECT_EQ(static_cast<unsigned char>((*icon)[4]), 2u) << "a 32x32 and a 16x16 image";
    EXPECT_FALSE(module.FindDialog(999));
    EXPECT_FALSE(module.FindIconFile(999));
}

// The icon is read by the icon format's plugin alone: no other image plugin
// is loaded (each costs start-up time and memory) to guess a format that is
// known.
TEST(Resources, IconLoadsThroughTheIconPluginAlone)
{
    const HICON hIcon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
    ASSERT_NE(hIcon, nullptr);
    EXPECT_EQ(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME)), hIcon) << "loaded once, shared";
    EXPECT_EQ(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(999)), nullptr);

    std::ifstream maps("/proc/self/maps");
    std::string line;
    std::set<std::string> plugins;
    while (std::getline(maps, line)) {
        const std::size_t at = line.find("/imageformats/");
        if (at != std::string::npos)
            plugins.insert(line.substr(at + 14));
    }
    EXPECT_EQ(plugins, std::set<std::string>{"libqico.so"});
}

TEST(Resources, DamagedDataIsRejectedNotRead)
{
    const QByteArray whole(reinterpret_cast<const char*>(g_moduleResources), static_cast<int>(g_moduleResourcesSize));
    for (int n = 0; n < whole.size(); ++n) {
        const qtwin::ResourceFile cut(whole.left(n));
        cut.FindDialog(IDD_TUNING_DIALOG);
        cut.FindIconFile(IDR_MAINFRAME);
    }
    // Every byte flipped in turn: whatever is found, nothing is read
    // outside the data (the sanitizers watch this).
    for (int i = 0; i < whole.size(); ++i) {
        QByteArray damaged = whole;
        damaged[i] = static_cast<char>(damaged[i] ^ 0xA5);
        const qtwin::ResourceFile file(damaged);
        file.FindDialog(IDD_TUNING_DIALOG);
        file.FindIconFile(IDR_MAINFRAME);
    }
    SUCCEED();
}

// Run under a private session bus (see tests/CMakeLists.txt).
TEST(DbusBroadcast, AnotherProcessDeliversTheRegisteredMessage)
{
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "needs a session bus: run under dbus-run-session";
    reccard::Reset();
    theApp.InitAppName();
    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [](HWND) {
        auto send = [](const QStringList& args) {
            QStringList all{"--session", "--type=signal", "/org/tavrik/WindowMessage",
                            "org.tavrik.WindowMessage.Broadcast"};
            return QProcess::execute("dbus-send", all + args);
        };
        auto waitForRefreshes = [](std::size_t count) {
            QElapsedTimer timer;
            timer.start();
            while (reccard::CountOf("GetSymbolrate") < count && timer.elapsed() < 3000)
                QTest::qWait(10);
            return reccard::CountOf("GetSymbolrate");
        };
        TheCard().nFrequency = 402000;
        ASSERT_EQ(send({"string:WM_DVB_PROGRAM_CHANGED"}), 0);
        EXPECT_EQ(waitForRefreshes(2), 2u);
        ASSERT_EQ(send({"string:wm_dvb_program_changed", "uint64:7", "int64:-1"}), 0);
        EXPECT_EQ(waitForRefreshes(3), 3u);
        // A name nobody here registered reaches nobody.
        ASSERT_EQ(send({"string:WM_SOMETHING_UNKNOWN"}), 0);
        QTest::qWait(300);
        EXPECT_EQ(reccard::CountOf("GetSymbolrate"), 3u);
    });
}

// WM_USER+0..+2 are the dialog manager's DM_GETDEFID, DM_SETDEFID and
// DM_REPOSITION, and WM_USER+1..+2 also the tuning dialog's apply messages.
// Only what the dialog posted itself is an apply; anything else is the dialog
// manager's, and must neither write to the card nor lose the default button.
TEST(DialogManagerMessages, OnlyTheDialogsOwnPostsAreApplies)
{
    reccard::Reset();
    TheCard().wVideoPid = 256;
    TheCard().wAudioPid = 300;
    CTuningDlg dlg;
    Session session;
    session.RunModal(dlg, [&](HWND hDlg) {
        harness::Pump();
        const std::size_t before = TheCard().log.size();
        EXPECT_EQ(SendMessageA(hDlg, DM_SETDEFID, IDC_REFRESH, 0), TRUE);
        EXPECT_EQ(SendMessageA(hDlg, DM_GETDEFID, 0, 0), MAKELONG(IDC_REFRESH, DC_HASDEFID));
        SendMessageA(hDlg, DM_REPOSITION, 0, 0);
        PostMessageA(hDlg, DM_SETDEFID, IDOK, 0);
        PostMessageA(hDlg, DM_REPOSITION, 0, 0);
        harness::Pump();
        EXPECT_EQ(SendMessageA(hDlg, DM_GETDEFID, 0, 0), MAKELONG(IDOK, DC_HASDEFID));
        EXPECT_EQ(TheCard().log.size(), before) << reccard::LogText();

        // The dialog's own posts still apply, once each.
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, true);
        harness::Pump();
        harness::ClickSpin(hDlg, IDC_SPIN_AUDIO_PID, false);
        harness::Pump();
        EXPECT_EQ(reccard::Calls({"SetVideoPID", "SetAudioPID", "SetFrequency"}),
                  (std::vector<std::string>{"SetVideoPID(257)", "SetAudioPID(299)"}));
    });
    EXPECT_TRUE(session.messageBoxes.empty());
}

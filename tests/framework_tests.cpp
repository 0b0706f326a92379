// The framework and the Qt back end: the up-down control's notices,
// registered messages across threads and processes, and the compiled
// resources read from damaged data.

#include "app/tuning_app.h"
#include "dialog/tuning_dlg.h"
#include "platform/ui/control_names.h"
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

namespace {

// A resource entry as the resource compiler writes one: the two sizes, an
// ordinal type and name, the fixed fields, then the data, padded to 4.
QByteArray ResourceEntry(std::uint32_t dataSize, std::uint32_t headerSize, std::uint16_t type,
                         std::uint16_t name, const QByteArray& data)
{
    QByteArray out;
    auto put16 = [&out](std::uint16_t v) { out.append(char(v & 0xFF)).append(char(v >> 8)); };
    auto put32 = [&put16](std::uint32_t v) { put16(std::uint16_t(v & 0xFFFF)); put16(std::uint16_t(v >> 16)); };
    put32(dataSize);
    put32(headerSize);
    put16(0xFFFF);
    put16(type);
    put16(0xFFFF);
    put16(name);
    put32(0);          // DataVersion
    put16(0x30);       // MemoryFlags
    put16(0x0407);     // LanguageId
    put32(0);          // Version
    put32(0);          // Characteristics
    out.append(data);
    while (out.size() % 4 != 0)
        out.append('\0');
    return out;
}

// The empty entry every compiled resource file starts with.
QByteArray FileStart()
{
    return ResourceEntry(0, 32, 0, 0, {});
}

}  // namespace

// Inputs a fuzz run found: before, the first made the reader step back one
// byte and loop for ever, the second overflowed a signed offset. Both are
// rejected at once now.
TEST(Resources, HeaderSizesBeyondTheDataAreRejected)
{
    const QByteArray backwards = FileStart() + ResourceEntry(0, 0xFFFFFFFFu, 5, 102, {});
    const qtwin::ResourceFile a(backwards);
    EXPECT_FALSE(a.IsValid());
    EXPECT_FALSE(a.FindDialog(102));

    const QByteArray overflowing = FileStart() + ResourceEntry(0, 0x7FFFFFFFu, 5, 102, {});
    const qtwin::ResourceFile b(overflowing);
    EXPECT_FALSE(b.IsValid());

    // Sizes at the ends of the range, in every entry position.
    for (std::uint32_t dataSize : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        for (std::uint32_t headerSize : {0u, 1u, 8u, 15u, 16u, 31u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
            const qtwin::ResourceFile first(ResourceEntry(dataSize, headerSize, 5, 102, {}));
            const qtwin::ResourceFile second(FileStart() + ResourceEntry(dataSize, headerSize, 5, 102, {}));
            EXPECT_FALSE(first.IsValid()) << dataSize << " " << headerSize;
            EXPECT_FALSE(second.IsValid()) << dataSize << " " << headerSize;
        }
    }

    // A header whose fields run past its declared size.
    EXPECT_FALSE(qtwin::ResourceFile(FileStart() + ResourceEntry(4, 24, 5, 102, "abcd")).IsValid());
    // The well-formed entry the cases above damage.
    const qtwin::ResourceFile good(FileStart() + ResourceEntry(4, 32, 3, 1, "abcd"));
    EXPECT_TRUE(good.IsValid());
}

TEST(Resources, AnIconGroupNamesEachImageOnce)
{
    // A group naming one image many times would make a file many times the
    // size of the data: it is rejected, not built.
    QByteArray group;
    const int count = 1000;
    group.append("\0\0\1\0", 4).append(char(count & 0xFF)).append(char(count >> 8));
    for (int i = 0; i < count; ++i)
        group.append(QByteArray(12, '\0')).append("\1\0", 2);
    const QByteArray file = FileStart() + ResourceEntry(4096, 32, 3, 1, QByteArray(4096, 'x'))
                          + ResourceEntry(static_cast<std::uint32_t>(group.size()), 32, 14, 128, group);
    const qtwin::ResourceFile resources(file);
    ASSERT_TRUE(resources.IsValid());
    EXPECT_FALSE(resources.FindIconFile(128));
}

// The naming rule both back ends share, on the real template: the name each
// control gets, by its row's label where the template order would mislead
// (the video PID spin button follows "Audio PID:").
TEST(ControlNames, TheTemplatesControlsAreNamedByTheirRows)
{
    const auto tmpl = qtwin::ResourceFile::Module().FindDialog(IDD_TUNING_DIALOG);
    ASSERT_TRUE(tmpl);
    const std::vector<afx::ControlName> names = qtwin::TemplateControlNames(tmpl->items);
    ASSERT_EQ(names.size(), tmpl->items.size());
    std::vector<std::pair<int, std::string>> named;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (tmpl->items[i].id != IDC_STATIC)
            named.emplace_back(tmpl->items[i].id, std::string(names[i].name));
        else
            EXPECT_EQ(std::string(names[i].name), tmpl->items[i].text.toStdString()) << "a static text is named by its text";
    }
    const std::vector<std::pair<int, std::string>> expected = {
        {IDOK, "OK"},
        {IDC_EDIT_VIDEO_PID, "Video PID:"},
        {IDC_SPIN_VIDEO_PID, "Video PID"},
        {IDC_EDIT_AUDIO_PID, "Audio PID:"},
        {IDC_SPIN_AUDIO_PID, "Audio PID"},
        {IDC_REFRESH, "Refresh"},
        {IDC_EDIT_FREQUENCY, "Frequency:"},
        {IDC_SPIN_FREQUENCY, "Frequency"},
        {IDC_EDIT_SYMBOL_RATE, "Symbolrate:"},
    };
    EXPECT_EQ(named, expected);
}

TEST(ControlNames, TheRowFirstThenTemplateOrderAndNeverAMnemonic)
{
    using K = afx::NamedControl::Kind;
    auto nameAll = [](const std::vector<afx::NamedControl>& controls) {
        std::vector<afx::ControlName> names(controls.size());
        afx::NameControls(controls.data(), static_cast<int>(controls.size()), names.data());
        return names;
    };
    auto control = [](K kind, int x, int y, int cx, int cy, const char* text = "") {
        afx::NamedControl c;
        c.kind = kind;
        c.x = x;
        c.y = y;
        c.cx = cx;
        c.cy = cy;
        c.text = text;
        return c;
    };
    const std::vector<afx::NamedControl> controls = {
        control(K::Text, 0, 0, 30, 8, "&Left:"),          // 0: the row's label of 2
        control(K::Text, 40, 40, 30, 8, "Be&fore  "),     // 1: before 2, another row
        control(K::Edit, 50, 0, 40, 14),                  // 2: named by its row
        control(K::Text, 0, 60, 30, 8, "A && B:"),        // 3
        control(K::UpDown, 100, 100, 10, 14),             // 4: nothing on its row: the text just before
        control(K::Picture, 0, 100, 20, 20),              // 5: no text, no label
        control(K::UpDown, 100, 200, 10, 14),             // 6: a picture before it: no name
        control(K::Button, 0, 200, 50, 14, "&Refresh"),   // 7
        control(K::Text, 95, 2, 4, 8, "Right"),           // 8: on 2's row but to its right
        control(K::Other, 200, 60, 10, 10),               // 9: 3 on its row, far to the left
    };
    const auto names = nameAll(controls);
    ASSERT_EQ(names.size(), controls.size());
    EXPECT_STREQ(names[0].name, "Left:");
    EXPECT_STREQ(names[2].name, "Left:");
    EXPECT_EQ(names[2].label, 0);
    EXPECT_STREQ(names[4].name, "A & B");
    EXPECT_EQ(names[4].label, 3);
    EXPECT_STREQ(names[5].name, "");
    EXPECT_STREQ(names[6].name, "");
    EXPECT_STREQ(names[7].name, "Refresh");
    EXPECT_STREQ(names[9].name, "A & B");
    EXPECT_EQ(names[9].label, 3);

    // Without the row's label, the static text just before decides, as the
    // window system's own rule has it.
    const std::vector<afx::NamedControl> byOrder = {
        control(K::Text, 40, 40, 30, 8, "Be&fore  :"),
        control(K::UpDown, 100, 100, 10, 14),
        control(K::Edit, 100, 120, 10, 14),
    };
    const auto orderNames = nameAll(byOrder);
    EXPECT_STREQ(orderNames[1].name, "Before");
    EXPECT_EQ(orderNames[1].label, 0);
    EXPECT_STREQ(orderNames[2].name, "") << "an up-down control is no label";
    char buffer[8];
    afx::CopyWithoutMnemonic("&&&a&", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "&a");
    // Cut to fit, never inside a character: "ü" is two bytes.
    afx::CopyWithoutMnemonic("f\xc3\xbc\xc3\xbcr", buffer, 5);
    EXPECT_STREQ(buffer, "f\xc3\xbc");
    afx::CopyWithoutMnemonic("f\xc3\xbc\xc3\xbcr", buffer, 6);
    EXPECT_STREQ(buffer, "f\xc3\xbc\xc3\xbc");
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

// Behaviour of the Windows build under Wine's real dialog manager and
// up-down controls: the tool on the recording card, driven from this process.
#include "res/resource.h"
#include "tests/support/scenarios.h"
#include "tests/windows/dialog_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using driver::Session;
using Log = std::vector<std::string>;

namespace {

const Log Refresh = {"GetAudioPid", "GetVideoPID", "GetFrequency", "GetSymbolrate"};
const Log Shutdown = {"DVB_CloseBoard", "~CFrontend", "~CMPEGDecoder"};

Log Then(Log first, const Log& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::size_t CountPrefix(const Log& log, const std::string& prefix)
{
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const std::string& e) {
        return e.compare(0, prefix.size(), prefix) == 0;
    }));
}

// A session whose dialog is up; fails the test if it never comes.
struct Started
{
    explicit Started(const std::vector<std::string>& commands = {}) : s(commands)
    {
        ready = s.WaitForDialog();
    }
    Session s;
    bool ready = false;
};

}  // namespace

// --- Opening and closing -----------------------------------------------------

TEST(WineDialog, OpensWithTheCardsTuningAndFocusOnOk)
{
    Started run({"audio 258", "video 257", "frequency 394000", "symbolrate 6900"});
    ASSERT_TRUE(run.ready);
    Session& s = run.s;

    EXPECT_EQ(s.Log(), Then({"CMPEGDecoder", "CFrontend", "DVB_OpenBoard"}, Refresh));
    EXPECT_EQ(s.Text(IDC_EDIT_VIDEO_PID), "257");
    EXPECT_EQ(s.Text(IDC_EDIT_AUDIO_PID), "258");
    EXPECT_EQ(s.Text(IDC_EDIT_FREQUENCY), "394000");
    EXPECT_EQ(s.Text(IDC_EDIT_SYMBOL_RATE), "6900");
    EXPECT_EQ(s.SpinPos(IDC_SPIN_VIDEO_PID), 257);
    EXPECT_EQ(s.SpinPos(IDC_SPIN_AUDIO_PID), 258);
    EXPECT_EQ(s.SpinPos(IDC_SPIN_FREQUENCY), 9);
    EXPECT_EQ(s.Focus(), s.Item(IDOK));
    // The caption survives the resource compiler: the dialog was found by it.
    EXPECT_EQ(Session::WindowText(s.Dialog()), "Tavrik f\xc3\xbcr Siemens-DVB v1.0");
}

struct CloseWay
{
    const char* name;
    void (*close)(Session&);
};

class WineDialogClose : public testing::TestWithParam<CloseWay> {};

TEST_P(WineDialogClose, EndsTheRunAndClosesTheBoardOnce)
{
    Started run;
    ASSERT_TRUE(run.ready);
    const std::size_t nMark = run.s.Mark();
    GetParam().close(run.s);
    EXPECT_EQ(run.s.WaitForExit(), 0);
    EXPECT_EQ(run.s.LogSince(nMark), Shutdown);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, WineDialogClose,
    testing::Values(CloseWay{"OkButton", [](Session& s) { s.Click(IDOK); }},
                    CloseWay{"Enter", [](Session& s) { s.Key(VK_RETURN); }},
                    CloseWay{"Escape", [](Session& s) { s.Key(VK_ESCAPE); }},
                    CloseWay{"CloseBox", [](Session& s) { s.SysCommand(SC_CLOSE); }}),
    [](const testing::TestParamInfo<CloseWay>& way) { return std::string(way.param.name); });

TEST(WineDialog, FailedOpenIsReportedBeforeTheDialogShowsAndTheDialogGoesOn)
{
    Session s({"open 5", "fail GetAudioPid 0", "fail GetVideoPID 0", "fail GetFrequency 0",
               "fail GetSymbolrate 0"});
    HWND hBox = s.WaitForMessageBox();
    ASSERT_NE(hBox, nullptr);
    EXPECT_EQ(Session::MessageBoxText(hBox), "Error on DVB_OpenBoard: 5");
    EXPECT_EQ(Session::WindowText(hBox), "tavrik-rec");
    EXPECT_EQ(s.Log(), Log({"CMPEGDecoder", "CFrontend", "DVB_OpenBoard"}));
    HWND hDialog = ::GetWindow(hBox, GW_OWNER);
    ASSERT_NE(hDialog, nullptr);
    EXPECT_FALSE(::IsWindowVisible(hDialog));

    ::PostMessageW(::GetDlgItem(hBox, IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(s.WaitForDialog());
    EXPECT_EQ(s.Log(), Then({"CMPEGDecoder", "CFrontend", "DVB_OpenBoard"}, Refresh));
    for (int nID : {IDC_EDIT_VIDEO_PID, IDC_EDIT_AUDIO_PID, IDC_EDIT_FREQUENCY, IDC_EDIT_SYMBOL_RATE})
        EXPECT_EQ(s.Text(nID), "0") << nID;
    EXPECT_EQ(s.SpinPos(IDC_SPIN_VIDEO_PID), 0);
    EXPECT_EQ(s.SpinPos(IDC_SPIN_AUDIO_PID), 0);
    // Position 12542 is sent; the control keeps to its range.
    EXPECT_EQ(s.SpinPos(IDC_SPIN_FREQUENCY), 18);

    s.Key(VK_ESCAPE);
    EXPECT_EQ(s.WaitForExit(), 0);
    EXPECT_EQ(s.LogSince(7), Shutdown);
}

TEST(WineDialog, FailedCloseIsReportedAndTheWindowStillGoes)
{
    Started run({"close 7"});
    ASSERT_TRUE(run.ready);
    Session& s = run.s;
    s.Key(VK_ESCAPE);
    HWND hBox = s.WaitForMessageBox();
    ASSERT_NE(hBox, nullptr);
    EXPECT_EQ(Session::MessageBoxText(hBox), "Error on DVB_CloseBoard: 7");
    EXPECT_EQ(::GetWindow(hBox, GW_OWNER), s.Dialog());
    ::PostMessageW(::GetDlgItem(hBox, IDOK), BM_CLICK, 0, 0);
    EXPECT_EQ(s.WaitForExit(), 0);
    EXPECT_EQ(s.LogSince(7), Shutdown);
}

TEST(WineDialog, FrequencyReadingsGiveGridPositionsAndShowUnchanged)
{
    Started run;
    ASSERT_TRUE(run.ready);
    Session& s = run.s;
    for (const auto& [nFrequency, nPosition] : scenarios::FrequencyReadings) {
        s.Card({"frequency " + std::to_string(nFrequency)});
        s.Click(IDC_REFRESH);
        EXPECT_EQ(s.Text(IDC_EDIT_FREQUENCY), std::to_string(nFrequency));
        // The real control keeps to its range whatever it is sent.
        EXPECT_EQ(s.SpinPos(IDC_SPIN_FREQUENCY), std::min(nPosition, scenarios::FrequencySpinMax)) << nFrequency;
    }
}

// --- Spin buttons ------------------------------------------------------------

TEST(WineSpin, ClicksOnTheVideoArrowsSendEachStepAndReadBack)
{
    Started run({"video 256"});
    ASSERT_TRUE(run.ready);
    Session& s = run.s;

    std::size_t nMark = s.Mark();
    s.ClickSpin(IDC_SPIN_VIDEO_PID, true);
    EXPECT_EQ(s.LogSince(nMark), Then({"SetVideoPID(257)"}, Refresh));
    EXPECT_EQ(s.Text(IDC_EDIT_VIDEO_PID), "257");
    EXPECT_EQ(s.SpinPos(IDC_SPIN_VIDEO_PID), 257);

    nMark = s.Mark();
    s.ClickSpin(IDC_SPIN_VIDEO_PID, false);
    EXPECT_EQ(s.LogSince(nMark), Then({"SetVideoPID(256)"}, Refresh));
    EXPECT_EQ(s.Text(IDC_EDIT_VIDEO_PID), "256");
    EXPECT_EQ(s.SpinPos(IDC_SPIN_VIDEO_PID), 256);
}

TEST(WineSpin, ArrowKeysOnTheAudioSpinTakeTheSamePath)
{
    Started run({"audio 258"});
    ASSERT_TRUE(run.ready);
    Session& s = run.s;

    std::size_t nMark = s.Mark();
    s.SpinKey(IDC_SPIN_AUDIO_PID, VK_UP);
    EXPECT_EQ(s.LogSince(nMark), Then({"SetAudioPID(259)"}, Refresh));
    EXPECT_EQ(s.Text(IDC_EDIT_AUDIO_PID), "259");

    nMark = s.Mark();
    s.SpinKey(IDC_SPIN_AUDIO_PID, VK_DOWN);
    EXPECT_EQ(s.LogSince(nMark), Then({"SetAudioPID(258)"}, Refresh));
    EXPECT_EQ(s.Text(IDC_EDIT_AUDIO_PID), "258");
    EXPECT_EQ(s.SpinPos(IDC_SPIN_AUDIO_PID), 258);
}

TEST(WineSpin, FrequencyStepsFollowTheGridAndStopAtItsTop)
{
    Started run({"frequency 322000"});
    ASSERT_TRUE(run.ready);
    Session& s = run.s;
    EXPECT_EQ(s.SpinPos(IDC_SPIN_FREQUENCY), 0);

    std::size_t nMark = s.Mark();
    s.ClickSpin(IDC_SPIN_FREQUENCY, true);
    EXPECT_EQ(s.LogSince(nMark), Then({"SetFrequency(330000,1)"}, Refresh));
    EXPECT_EQ(s.Text(IDC_EDIT_FREQUENCY), "330000");
    EXPECT_EQ(s.SpinPos(IDC_SPIN_FREQUENCY), 1);

    nMark = s.Mark();
    s.ClickSpin(IDC_SPIN_FREQUENCY, false);
    EXPECT_EQ(s.LogSince(nMark), Then({"SetFrequency(322000,1)"}, Refresh));

    // At the top of the range a click changes nothing; if the control still
    // announces a step, the same frequency is sent again.
    s.Card({"frequency 466000"});
    s.Click(IDC_REFRESH);
    EXPECT_EQ(s.SpinPos(IDC_SPIN_FREQUENCY), 18);
    nMark = s.Mark();
    s.ClickSpin(IDC_SPIN_FREQUENCY, true);
    for (const std::string& entry : s.LogSince(nMark)) {
        if (entry.compare(0, 12, "SetFrequency") == 0) {
            EXPECT_EQ(entry, "SetFrequency(466000,1)");
        }
    }
    EXPECT_EQ(s.Text(IDC_EDIT_FREQUENCY), "466000");
    EXPECT_EQ(s.SpinPos(IDC_SPIN_FREQUENCY), 18);
}

TEST(WineSpin, TheCardsAnswerWinsAndAFailedReadKeepsTheStep)
{
    // The card refuses the new video PID: box and spin go back to its value.
    Started run({"video 256", "fail SetVideoPID 0", "fail GetAudioPid 0", "audio 300"});
    ASSERT_TRUE(run.ready);
    Session& s = run.s;
    s.ClickSpin(IDC_SPIN_VIDEO_PID, true);
    EXPECT_EQ(CountPrefix(s.Log(), "SetVideoPID(257)"), 1u);
    EXPECT_EQ(s.Text(IDC_EDIT_VIDEO_PID), "256");
    EXPECT_EQ(s.SpinPos(IDC_SPIN_VIDEO_PID), 256);

    // The audio PID cannot be read: the stepped value stays on screen.
    EXPECT_EQ(s.Text(IDC_EDIT_AUDIO_PID), "0");
    s.ClickSpin(IDC_SPIN_AUDIO_PID, true);
    EXPECT_EQ(CountPrefix(s.Log(), "SetAudioPID(1)"), 1u);
    EXPECT_EQ(s.Text(IDC_EDIT_AUDIO_PID), "1");
    EXPECT_EQ(s.SpinPos(IDC_SPIN_AUDIO_PID), 1);
}

// --- Refresh and the registered message -------------------------------------

TEST(WineDialog, RefreshAndTheRegisteredMessageFromAnotherProcessReadTheCard)
{
    Started run({"audio 258", "symbolrate 6900"});
    ASSERT_TRUE(run.ready);
    Session& s = run.s;

    s.Card({"audio 300", "symbolrate 27500"});
    std::size_t nMark = s.Mark();
    s.Click(IDC_REFRESH);
    EXPECT_EQ(s.LogSince(nMark), Refresh);
    EXPECT_EQ(s.Text(IDC_EDIT_AUDIO_PID), "300");
    EXPECT_EQ(s.Text(IDC_EDIT_SYMBOL_RATE), "27500");
    EXPECT_EQ(s.SpinPos(IDC_SPIN_AUDIO_PID), 300);

    s.Card({"video 5000"});
    nMark = s.Mark();
    s.ProgramChanged(false);
    EXPECT_EQ(s.LogSince(nMark), Refresh);
    EXPECT_EQ(s.Text(IDC_EDIT_VIDEO_PID), "5000");

    s.Card({"frequency 474000"});
    nMark = s.Mark();
    s.ProgramChanged(true);
    EXPECT_EQ(s.LogSince(nMark), Refresh);
    EXPECT_EQ(s.Text(IDC_EDIT_FREQUENCY), "474000");
}

// --- The dialog manager's own messages ---------------------------------------
//
// WM_USER+0..+2 are also DM_GETDEFID, DM_SETDEFID and DM_REPOSITION, and the
// dialog's private apply messages are WM_USER+1..+3.

const std::string GetDefId = "0x400 0 0";

TEST(WineDialogManager, TabEnterFocusMinimiseAndRestoreSendOnlyGetDefIdAndWriteNothing)
{
    Started run;
    ASSERT_TRUE(run.ready);
    Session& s = run.s;

    // Tab runs through the tab stops in template order, twice round.
    const int order[] = {IDC_EDIT_VIDEO_PID, IDC_EDIT_AUDIO_PID, IDC_REFRESH, IDC_EDIT_FREQUENCY, IDC_EDIT_SYMBOL_RATE, IDOK};
    for (int nRound = 0; nRound < 2; ++nRound) {
        for (int nID : order) {
            s.Key(VK_TAB);
            EXPECT_EQ(s.Focus(), s.Item(nID)) << "tab to " << nID;
        }
    }
    s.Key(VK_TAB);
    s.Key(VK_TAB);
    s.Key(VK_TAB);
    ASSERT_EQ(s.Focus(), s.Item(IDC_REFRESH));
    // Focus on Refresh: Enter presses it; OK stays the default button.
    std::size_t nMark = s.Mark();
    s.Key(VK_RETURN);
    EXPECT_EQ(s.LogSince(nMark), Refresh);
    EXPECT_EQ(::SendMessageW(s.Dialog(), DM_GETDEFID, 0, 0), MAKELONG(IDOK, DC_HASDEFID));

    s.SysCommand(SC_MINIMIZE);
    EXPECT_TRUE(::IsIconic(s.Dialog()));
    s.SysCommand(SC_RESTORE);
    EXPECT_FALSE(::IsIconic(s.Dialog()));

    // Focus on a number box: Enter is the default button, OK.
    for (int i = 0; i < 6 && s.Focus() != s.Item(IDC_EDIT_FREQUENCY); ++i)
        s.Key(VK_TAB);
    ASSERT_EQ(s.Focus(), s.Item(IDC_EDIT_FREQUENCY));
    const Log trace = s.DialogManagerTrace();
    nMark = s.Mark();
    s.Key(VK_RETURN);
    EXPECT_EQ(s.WaitForExit(), 0);
    EXPECT_EQ(s.LogSince(nMark), Shutdown);
    EXPECT_EQ(CountPrefix(s.Log(), "Set"), 0u) << testing::PrintToString(s.Log());

    // The dialog manager sent DM_GETDEFID for the Enter key, and nothing
    // else of the range (the driver's own DM_GETDEFID above is one of them).
    EXPECT_FALSE(trace.empty());
    for (const std::string& entry : trace)
        EXPECT_EQ(entry, GetDefId);
}

TEST(WineDialogManager, ItsMessagesFromOutsideWorkAndWriteNothingToTheCard)
{
    Started run({"video 256", "audio 258"});
    ASSERT_TRUE(run.ready);
    Session& s = run.s;
    HWND hDialog = s.Dialog();

    // DM_SETDEFID moves the default button to Refresh, as the dialog manager
    // defines it; it is not the video PID's apply message.
    EXPECT_EQ(::SendMessageW(hDialog, DM_SETDEFID, IDC_REFRESH, 0), TRUE);
    EXPECT_EQ(::SendMessageW(hDialog, DM_GETDEFID, 0, 0), MAKELONG(IDC_REFRESH, DC_HASDEFID));
    ::SendMessageW(hDialog, DM_REPOSITION, 0, 0);
    s.Settle();
    EXPECT_EQ(CountPrefix(s.Log(), "Set"), 0u) << testing::PrintToString(s.Log());

    s.Key(VK_TAB);
    ASSERT_EQ(s.Focus(), s.Item(IDC_EDIT_VIDEO_PID));
    std::size_t nMark = s.Mark();
    s.Key(VK_RETURN);
    EXPECT_EQ(s.LogSince(nMark), Refresh);

    // Posted from outside, they are no apply either.
    ::PostMessageW(hDialog, DM_SETDEFID, IDOK, 0);
    ::PostMessageW(hDialog, WM_USER + 2, 0, 0);
    s.Settle();
    EXPECT_EQ(::SendMessageW(hDialog, DM_GETDEFID, 0, 0), MAKELONG(IDOK, DC_HASDEFID));
    EXPECT_EQ(CountPrefix(s.Log(), "Set"), 0u) << testing::PrintToString(s.Log());

    // The dialog's own apply messages still work.
    s.ClickSpin(IDC_SPIN_VIDEO_PID, true);
    s.ClickSpin(IDC_SPIN_AUDIO_PID, false);
    EXPECT_EQ(CountPrefix(s.Log(), "Set"), 2u);
    EXPECT_EQ(CountPrefix(s.Log(), "SetVideoPID(257)"), 1u);
    EXPECT_EQ(CountPrefix(s.Log(), "SetAudioPID(257)"), 1u);

    nMark = s.Mark();
    s.Key(VK_RETURN);
    EXPECT_EQ(s.WaitForExit(), 0);
    EXPECT_EQ(s.LogSince(nMark), Shutdown);
}

// --- Names for screen readers ------------------------------------------------

namespace {

// The annotation calls the tool makes, in the order it makes them (the names
// the shared rule gives the real template), without the system's answers.
const Log Annotations = {
    "SetHwndPropStr 1002 -4 0 name Video PID:",
    "SetHwndPropStr 1003 -4 0 name Video PID",
    "SetHwndPropStr 1004 -4 0 name Audio PID:",
    "SetHwndPropStr 1005 -4 0 name Audio PID",
    "SetHwndPropStr 1007 -4 0 name Frequency:",
    "SetHwndPropStr 1008 -4 0 name Frequency",
    "SetHwndPropStr 1009 -4 0 name Symbolrate:",
};

// Splits "call ... answer" into the call and the answer.
std::pair<Log, Log> CallsAndAnswers(const Log& trace)
{
    Log calls;
    Log answers;
    for (const std::string& line : trace) {
        if (line == "trace ready")
            continue;
        const std::size_t space = line.find_last_of(' ');
        calls.push_back(line.substr(0, space));
        answers.push_back(line.substr(space + 1));
    }
    return {calls, answers};
}

}  // namespace

TEST(WineAccessibility, ControlsWithoutTextOfTheirOwnAreNamedOnceAndAFailedCallChangesNothing)
{
    Started run({"audio 258", "video 257"});
    ASSERT_TRUE(run.ready);
    Session& s = run.s;
    const Log trace = s.AnnotationTrace();
    ASSERT_FALSE(trace.empty());
    ASSERT_EQ(trace[0], "trace ready");
    const auto [calls, answers] = CallsAndAnswers(trace);
    EXPECT_EQ(calls, Annotations);
    // Wine takes no annotations (E_NOTIMPL); the dialog goes on as always.
    for (const std::string& answer : answers)
        EXPECT_EQ(answer, "0x80004001");
    EXPECT_EQ(s.Log(), Then({"CMPEGDecoder", "CFrontend", "DVB_OpenBoard"}, Refresh));
    EXPECT_EQ(s.Focus(), s.Item(IDOK));
    EXPECT_EQ(s.Text(IDC_EDIT_VIDEO_PID), "257");
    s.ClickSpin(IDC_SPIN_VIDEO_PID, true);
    EXPECT_EQ(s.Text(IDC_EDIT_VIDEO_PID), "258");
    const std::size_t nMark = s.Mark();
    s.Key(VK_ESCAPE);
    EXPECT_EQ(s.WaitForExit(), 0);
    EXPECT_EQ(s.LogSince(nMark), Shutdown);
    // Nothing was set, so nothing is cleared.
    EXPECT_EQ(s.AnnotationTrace(), trace);
}

TEST(WineAccessibility, NamesASystemTookAreClearedWhenTheDialogGoes)
{
    ::SetEnvironmentVariableA("TAVRIK_ACC_SUCCEED", "1");
    Started run;
    ::SetEnvironmentVariableA("TAVRIK_ACC_SUCCEED", nullptr);
    ASSERT_TRUE(run.ready);
    Session& s = run.s;
    EXPECT_EQ(CallsAndAnswers(s.AnnotationTrace()).first, Annotations);
    s.Click(IDOK);
    EXPECT_EQ(s.WaitForExit(), 0);
    const Log trace = s.AnnotationTrace();
    Log clears;
    for (const std::string& line : CallsAndAnswers(trace).first) {
        if (line.compare(0, 14, "ClearHwndProps") == 0)
            clears.push_back(line);
    }
    EXPECT_EQ(clears, Log({"ClearHwndProps 1002 -4 0 name 1", "ClearHwndProps 1003 -4 0 name 1",
                           "ClearHwndProps 1004 -4 0 name 1", "ClearHwndProps 1005 -4 0 name 1",
                           "ClearHwndProps 1007 -4 0 name 1", "ClearHwndProps 1008 -4 0 name 1",
                           "ClearHwndProps 1009 -4 0 name 1"}))
        << testing::PrintToString(trace);
}

// Spin-button tuning on the recording card: every step posted to the dialog,
// sent to the card once the spin button has moved, and read back.

#include "dialog/frequency_grid.h"
#include "dialog/tuning_dlg.h"
#include "platform/ui/qt/qtwin_internal.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/recording_card.h"

#include <QApplication>
#include <QStyle>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

using harness::Session;
using reccard::TheCard;

namespace {

const std::vector<std::string> kRefresh = {"GetAudioPid", "GetVideoPID", "GetFrequency", "GetSymbolrate"};

std::vector<std::string> Then(std::string first, const std::vector<std::string>& rest)
{
    std::vector<std::string> all{std::move(first)};
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

std::vector<std::string> LogSince(std::size_t start)
{
    const auto& log = TheCard().log;
    return {log.begin() + static_cast<std::ptrdiff_t>(std::min(start, log.size())), log.end()};
}

// How deep the dialog is in handling a spin button's notice.
int g_nNoticeDepth = 0;

// The dialog with a watch on its notices: the card complains if it is
// called while a spin button's notice is being handled.
class WatchedTuningDlg : public CTuningDlg
{
protected:
    INT_PTR OnDialogMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message != WM_NOTIFY)
            return CTuningDlg::OnDialogMessage(message, wParam, lParam);
        ++g_nNoticeDepth;
        const INT_PTR result = CTuningDlg::OnDialogMessage(message, wParam, lParam);
        --g_nNoticeDepth;
        return result;
    }
};

class SpinTuningTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        reccard::Reset();
        TheCard().onCall = [](const std::string& call) {
            if (g_nNoticeDepth != 0)
                ADD_FAILURE() << call << " called inside the spin button's notice";
        };
    }

    // Runs the dialog; the script gets the dialog and the log length at its start.
    void Run(const std::function<void(HWND)>& script)
    {
        Session session;
        session.RunModal(m_dlg, script);
        EXPECT_TRUE(session.messageBoxes.empty());
    }

    WatchedTuningDlg m_dlg;
};

}  // namespace

TEST_F(SpinTuningTest, ClickUpOnVideoSetsTheNextPidOnceThenReadsBack)
{
    TheCard().wVideoPid = 256;
    Run([](HWND hDlg) {
        ASSERT_EQ(harness::SpinPos(hDlg, IDC_SPIN_VIDEO_PID), 256);
        const std::size_t before = TheCard().log.size();
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, true);
        // Nothing reaches the card until the posted apply runs.
        EXPECT_EQ(TheCard().log.size(), before);
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_VIDEO_PID), 257);
        harness::Pump();
        EXPECT_EQ(LogSince(before), Then("SetVideoPID(257)", kRefresh));
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_VIDEO_PID), "257");
    });
}

TEST_F(SpinTuningTest, TheBoxShowsWhatTheCardReportsNotWhatWasAsked)
{
    TheCard().wVideoPid = 256;
    // A card that maps the PID it is given onto another one.
    auto record = TheCard().onCall;
    TheCard().onCall = [record](const std::string& call) {
        record(call);
        if (call == "SetVideoPID(257)") {
            TheCard().failures["SetVideoPID"] = 2;   // it keeps its own choice
            TheCard().wVideoPid = 300;
        }
    };
    Run([](HWND hDlg) {
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, true);
        harness::Pump();
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_VIDEO_PID), "300");
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_VIDEO_PID), 300);
    });
}

TEST_F(SpinTuningTest, ArrowKeysStepTheAudioPidTheSameWay)
{
    TheCard().wAudioPid = 1000;
    Run([](HWND hDlg) {
        std::size_t before = TheCard().log.size();
        harness::PressSpinKey(hDlg, IDC_SPIN_AUDIO_PID, true);
        harness::Pump();
        EXPECT_EQ(LogSince(before), Then("SetAudioPID(1001)", kRefresh));
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_AUDIO_PID), "1001");

        before = TheCard().log.size();
        harness::PressSpinKey(hDlg, IDC_SPIN_AUDIO_PID, false);
        harness::PressSpinKey(hDlg, IDC_SPIN_AUDIO_PID, false);
        harness::Pump();
        // Both applies read the position current when they run.
        EXPECT_EQ(LogSince(before), Then("SetAudioPID(999)", Then("GetAudioPid", {"GetVideoPID", "GetFrequency",
                  "GetSymbolrate", "SetAudioPID(999)", "GetAudioPid", "GetVideoPID", "GetFrequency", "GetSymbolrate"})));
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_AUDIO_PID), "999");
    });
}

TEST_F(SpinTuningTest, FrequencyPositionsSendTheGrid)
{
    TheCard().nFrequency = 330000;   // position 1
    Run([](HWND hDlg) {
        std::size_t before = TheCard().log.size();
        harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, false);
        harness::Pump();
        EXPECT_EQ(LogSince(before), Then("SetFrequency(322000,1)", kRefresh));
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "322000");

        harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, true);
        harness::Pump();
        EXPECT_EQ(reccard::Calls({"SetFrequency"}).back(), "SetFrequency(330000,1)");

        TheCard().nFrequency = 458000;   // position 17
        harness::ClickButton(hDlg, IDC_REFRESH);
        harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, true);
        harness::Pump();
        EXPECT_EQ(reccard::Calls({"SetFrequency"}).back(), "SetFrequency(466000,1)");
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "466000");
    });
    for (std::uint16_t p = 0; p <= 18; ++p)
        EXPECT_EQ(PositionFromFrequency(FrequencyFromPosition(p)), p);
}

// --- The read-back rule ---------------------------------------------------------

TEST_F(SpinTuningTest, RefusedValueSnapsBackToTheCardsValue)
{
    TheCard().wVideoPid = 40;
    TheCard().failures["SetVideoPID"] = -1;
    Run([](HWND hDlg) {
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, true);
        harness::Pump();
        EXPECT_EQ(reccard::Calls({"SetVideoPID"}), std::vector<std::string>{"SetVideoPID(41)"});
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_VIDEO_PID), "40");
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_VIDEO_PID), 40);
    });
}

TEST_F(SpinTuningTest, FailingGetterKeepsTheAppliedValueAndTheNewPosition)
{
    TheCard().wAudioPid = 500;
    TheCard().nFrequency = 338000;
    Run([](HWND hDlg) {
        TheCard().failures["GetAudioPid"] = 0;
        TheCard().failures["SetAudioPID"] = 0;   // and the card took nothing
        harness::ClickSpin(hDlg, IDC_SPIN_AUDIO_PID, false);
        harness::Pump();
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_AUDIO_PID), "499");
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_AUDIO_PID), 499);

        TheCard().failures["GetFrequency"] = 0;
        harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, true);
        harness::Pump();
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "346000");
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_FREQUENCY), 3);
    });
}

TEST_F(SpinTuningTest, FrequencyStepShowsThePidsAndSymbolRateTheCardNowReports)
{
    TheCard().nFrequency = 394000;
    auto record = TheCard().onCall;
    TheCard().onCall = [record](const std::string& call) {
        record(call);
        if (call.rfind("SetFrequency(", 0) == 0) {
            TheCard().wVideoPid = 0x0A01;
            TheCard().wAudioPid = 0x0A02;
            TheCard().nSymbolRate = 6875;
        }
    };
    Run([](HWND hDlg) {
        harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, true);
        harness::Pump();
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "402000");
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_VIDEO_PID), std::to_string(0x0A01));
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_AUDIO_PID), std::to_string(0x0A02));
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_SYMBOL_RATE), "6875");
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_VIDEO_PID), 0x0A01);
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_AUDIO_PID), 0x0A02);
    });
}

// --- Deferral ---------------------------------------------------------------------

TEST_F(SpinTuningTest, TwoStepsBeforeTheLoopRunsBothReadTheFinalPosition)
{
    TheCard().wVideoPid = 256;
    Run([](HWND hDlg) {
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, true);
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, true);
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_VIDEO_PID), 258);
        harness::Pump();
        EXPECT_EQ(reccard::Calls({"SetVideoPID"}), (std::vector<std::string>{"SetVideoPID(258)", "SetVideoPID(258)"}));
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_VIDEO_PID), "258");
    });
}

TEST_F(SpinTuningTest, ABurstOfStepsIsAppliedInFull)
{
    TheCard().wVideoPid = 1000;
    Run([](HWND hDlg) {
        for (int i = 0; i < 300; ++i)
            harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, false);
        harness::Pump();
        const std::vector<std::string> sets = reccard::Calls({"SetVideoPID"});
        EXPECT_EQ(sets.size(), 300u);
        EXPECT_EQ(std::count(sets.begin(), sets.end(), "SetVideoPID(700)"), 300);
        EXPECT_EQ(reccard::CountOf("GetSymbolrate"), 301u);
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_VIDEO_PID), "700");
    });
}

TEST_F(SpinTuningTest, TheNoticeOnlyPostsAndLetsTheStepThrough)
{
    TheCard().wVideoPid = 100;
    Run([](HWND hDlg) {
        // Sent by hand, the notice moves nothing and calls no card function;
        // its answer lets the spin button go on.
        const std::size_t before = TheCard().log.size();
        NMUPDOWN nm{};
        nm.hdr.hwndFrom = GetDlgItem(hDlg, IDC_SPIN_VIDEO_PID);
        nm.hdr.idFrom = IDC_SPIN_VIDEO_PID;
        nm.hdr.code = UDN_DELTAPOS;
        nm.iPos = 100;
        nm.iDelta = 5;
        EXPECT_EQ(SendMessageA(hDlg, WM_NOTIFY, IDC_SPIN_VIDEO_PID, reinterpret_cast<LPARAM>(&nm)), 0);
        EXPECT_EQ(TheCard().log.size(), before);
        harness::Pump();
        // The apply reads the spin button, not the notice's figures.
        EXPECT_EQ(LogSince(before), Then("SetVideoPID(100)", kRefresh));
    });
}

TEST_F(SpinTuningTest, HoldingTheMouseRepeatsTheStep)
{
    TheCard().nFrequency = 322000;
    Run([](HWND hDlg) {
        QWidget* spin = harness::Control(hDlg, IDC_SPIN_FREQUENCY);
        const QPoint upper(spin->width() / 2, spin->height() / 4);
        QTest::mousePress(spin, Qt::LeftButton, Qt::NoModifier, upper);
        const int threshold = spin->style()->styleHint(QStyle::SH_SpinBox_ClickAutoRepeatThreshold, nullptr, spin);
        const int rate = spin->style()->styleHint(QStyle::SH_SpinBox_ClickAutoRepeatRate, nullptr, spin);
        QTest::qWait(threshold + 3 * rate + rate / 2);
        QTest::mouseRelease(spin, Qt::LeftButton, Qt::NoModifier, upper);
        harness::Pump();
        const std::vector<std::string> sets = reccard::Calls({"SetFrequency"});
        ASSERT_GE(sets.size(), 3u);
        for (std::size_t i = 0; i < sets.size(); ++i)
            EXPECT_EQ(sets[i], "SetFrequency(" + std::to_string(FrequencyFromPosition(static_cast<std::uint16_t>(i + 1))) + ",1)");
        // Released, it stops.
        const std::size_t count = sets.size();
        QTest::qWait(2 * rate);
        EXPECT_EQ(reccard::Calls({"SetFrequency"}).size(), count);
    });
}

TEST_F(SpinTuningTest, AtTheEndsOfTheRangeTheUnchangedValueIsSentAgain)
{
    TheCard().wVideoPid = 4096;
    TheCard().wAudioPid = 0;
    TheCard().nFrequency = 466000;
    Run([](HWND hDlg) {
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, true);
        harness::ClickSpin(hDlg, IDC_SPIN_AUDIO_PID, false);
        harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, true);
        harness::Pump();
        EXPECT_EQ(reccard::Calls({"SetVideoPID", "SetAudioPID", "SetFrequency"}),
                  (std::vector<std::string>{"SetVideoPID(4096)", "SetAudioPID(0)", "SetFrequency(466000,1)"}));
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_VIDEO_PID), 4096);
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_AUDIO_PID), 0);
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_FREQUENCY), 18);
    });
}

TEST_F(SpinTuningTest, OutOfRangeReadingsNeverSendValuesOutsideTheSpinRange)
{
    TheCard().wVideoPid = 5000;     // shown, but the spin button stops at 4096
    TheCard().nFrequency = 100000;  // far below the grid: position 12542, held at 18
    Run([](HWND hDlg) {
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, true);
        harness::Pump();
        harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, false);
        harness::Pump();
        EXPECT_EQ(reccard::Calls({"SetVideoPID", "SetFrequency"}),
                  (std::vector<std::string>{"SetVideoPID(4096)", "SetFrequency(458000,1)"}));
    });
}

TEST_F(SpinTuningTest, AnApplyReadsThePositionAsTheEarlierReadBackLeftIt)
{
    // Two spin buttons stepped before the loop runs: the first apply's
    // read-back re-positions the second spin button from the card, and the
    // second apply sends that position.
    TheCard().wVideoPid = 100;
    TheCard().nFrequency = 394000;   // position 9
    Run([](HWND hDlg) {
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, true);
        harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, true);
        harness::Pump();
        EXPECT_EQ(reccard::Calls({"SetVideoPID", "SetFrequency"}),
                  (std::vector<std::string>{"SetVideoPID(101)", "SetFrequency(394000,1)"}));
    });
}

// The simulated card on its own, and the whole dialog on it.

#include "dialog/frequency_grid.h"
#include "dialog/tuning_dlg.h"
#include "platform/card/sim/sim_card.h"
#include "tests/support/dialog_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

HWND const kWindow = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0x1234));

class SimCardTest : public ::testing::Test
{
protected:
    void SetUp() override { simcard::Reset(); }
    void TearDown() override { simcard::Reset(); }
};

}  // namespace

TEST_F(SimCardTest, NetworkSitsOnTheGridWithItsSymbolRates)
{
    for (std::size_t i = 0; i < simcard::MultiplexCount; ++i) {
        const simcard::Multiplex& mux = simcard::NetworkMultiplex(i);
        EXPECT_EQ(mux.nFrequency, FrequencyFromPosition(static_cast<std::uint16_t>(i)));
        EXPECT_TRUE(mux.nSymbolRate == 6900 || mux.nSymbolRate == 6875) << mux.nSymbolRate;
        ASSERT_GE(mux.nPrograms, 1u);
        for (std::size_t j = 0; j < mux.nPrograms; ++j) {
            EXPECT_GE(mux.programs[j].wVideoPid, simcard::MinPid);
            EXPECT_LE(mux.programs[j].wAudioPid, simcard::MaxPid);
        }
    }
}

TEST_F(SimCardTest, OpenAndCloseBelongToOneWindow)
{
    CMPEGDecoder decoder;
    std::uint16_t w = 0;
    EXPECT_NE(decoder.GetVideoPID(w), CCommonDVB::Success) << "no readings before the open";
    EXPECT_EQ(DVB_CloseBoard(kWindow), simcard::ErrNotOpen);

    EXPECT_EQ(DVB_OpenBoard(kWindow), 0u);
    EXPECT_EQ(DVB_OpenBoard(kWindow), simcard::ErrAlreadyOpen);
    EXPECT_EQ(decoder.GetVideoPID(w), CCommonDVB::Success);
    EXPECT_EQ(DVB_CloseBoard(nullptr), simcard::ErrWrongWindow);
    EXPECT_EQ(DVB_CloseBoard(kWindow), 0u);
    EXPECT_NE(decoder.SetVideoPID(200), CCommonDVB::Success);
}

TEST_F(SimCardTest, TuningFollowsTheMultiplexAndRefusesWhatTheCardCannotDo)
{
    ASSERT_EQ(DVB_OpenBoard(kWindow), 0u);
    CMPEGDecoder decoder;
    CFrontend frontend;
    std::uint16_t w = 0;
    std::uint32_t l = 0;

    // A multiplex: its symbol rate and its first program.
    const simcard::Multiplex& mux = simcard::NetworkMultiplex(1);
    EXPECT_EQ(frontend.SetFrequency(mux.nFrequency, 1), CCommonDVB::Success);
    EXPECT_EQ(frontend.GetSymbolrate(l), CCommonDVB::Success);
    EXPECT_EQ(l, mux.nSymbolRate);
    EXPECT_EQ(decoder.GetVideoPID(w), CCommonDVB::Success);
    EXPECT_EQ(w, mux.programs[0].wVideoPid);

    // Between multiplexes: tuned, no new symbol rate, the PIDs stay.
    ASSERT_EQ(decoder.SetAudioPID(0x0777), CCommonDVB::Success);
    EXPECT_EQ(frontend.SetFrequency(mux.nFrequency + 4000, 1), CCommonDVB::Success);
    EXPECT_EQ(frontend.GetFrequency(l), CCommonDVB::Success);
    EXPECT_EQ(l, mux.nFrequency + 4000);
    EXPECT_EQ(frontend.GetSymbolrate(l), CCommonDVB::Success);
    EXPECT_EQ(l, mux.nSymbolRate);
    EXPECT_EQ(decoder.GetAudioPid(w), CCommonDVB::Success);
    EXPECT_EQ(w, 0x0777);

    // Outside the tuner and the decoder: refused, nothing changes.
    EXPECT_NE(frontend.SetFrequency(simcard::MinFrequency - 1, 1), CCommonDVB::Success);
    EXPECT_NE(frontend.SetFrequency(simcard::MaxFrequency + 1, 1), CCommonDVB::Success);
    EXPECT_EQ(frontend.GetFrequency(l), CCommonDVB::Success);
    EXPECT_EQ(l, mux.nFrequency + 4000);
    for (std::uint16_t bad : {std::uint16_t{0}, std::uint16_t{0x1F}, std::uint16_t{0x1FFF}, std::uint16_t{0xFFFF}})
        EXPECT_NE(decoder.SetVideoPID(bad), CCommonDVB::Success) << bad;
    EXPECT_EQ(decoder.SetVideoPID(simcard::MinPid), CCommonDVB::Success);
    EXPECT_EQ(decoder.SetVideoPID(simcard::MaxPid), CCommonDVB::Success);
    EXPECT_EQ(DVB_CloseBoard(kWindow), 0u);
}

// The whole dialog on the simulated card, stepped as a user would.
TEST_F(SimCardTest, SteppingTheFrequencyThroughTheWholeGridShowsEachMultiplex)
{
    CTuningDlg dlg;
    harness::Session session;
    session.RunModal(dlg, [](HWND hDlg) {
        // Down to the bottom of the grid, then up through all of it.
        while (harness::SpinPos(hDlg, IDC_SPIN_FREQUENCY) > 0) {
            harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, false);
            harness::Pump();
        }
        for (std::uint16_t p = 0; p <= FrequencyPositionMax; ++p) {
            if (p > 0) {
                harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, true);
                harness::Pump();
            }
            const simcard::Multiplex& mux = simcard::NetworkMultiplex(p);
            EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), std::to_string(FrequencyFromPosition(p)));
            EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_SYMBOL_RATE), std::to_string(mux.nSymbolRate));
            EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_VIDEO_PID), std::to_string(mux.programs[0].wVideoPid));
            EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_AUDIO_PID), std::to_string(mux.programs[0].wAudioPid));
            EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_FREQUENCY), p);
        }
        // The top end: the step is made again, the card stays.
        harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, true);
        harness::Pump();
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "466000");
        harness::ClickButton(hDlg, IDOK);
    });
    EXPECT_TRUE(session.messageBoxes.empty());
}

TEST_F(SimCardTest, APidTheCardRefusesSnapsBack)
{
    CTuningDlg dlg;
    harness::Session session;
    session.RunModal(dlg, [](HWND hDlg) {
        // Hold the spin button down to the lowest PID the decoder takes...
        SendMessageA(GetDlgItem(hDlg, IDC_SPIN_VIDEO_PID), UDM_SETPOS, 0, MAKELPARAM(simcard::MinPid + 1, 0));
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, false);
        harness::Pump();
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_VIDEO_PID), std::to_string(simcard::MinPid));
        // ...and one past it, into the table PIDs: refused, read back.
        harness::ClickSpin(hDlg, IDC_SPIN_VIDEO_PID, false);
        harness::Pump();
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_VIDEO_PID), std::to_string(simcard::MinPid));
        EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_VIDEO_PID), simcard::MinPid);

        // The audio PID steps freely within what the card takes.
        const int audio = harness::SpinPos(hDlg, IDC_SPIN_AUDIO_PID);
        harness::PressSpinKey(hDlg, IDC_SPIN_AUDIO_PID, true);
        harness::Pump();
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_AUDIO_PID), std::to_string(audio + 1));
    });
}

TEST_F(SimCardTest, ASecondWindowIsToldOnceThatTheBoardIsInUse)
{
    ASSERT_EQ(DVB_OpenBoard(kWindow), 0u);   // another window of the process holds the board
    CTuningDlg dlg;
    harness::Session session;
    session.RunModal(dlg, [](HWND hDlg) {
        EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "394000");
    });
    // Its close gives no second error: its open had opened nothing.
    ASSERT_EQ(session.messageBoxes.size(), 1u);
    EXPECT_EQ(session.messageBoxes[0].text, "Error on DVB_OpenBoard: " + std::to_string(simcard::ErrAlreadyOpen));
    // The other window still holds the board.
    EXPECT_EQ(DVB_CloseBoard(kWindow), 0u);
}

// The card lives in the process: a second copy of the tool (this test
// program started again, in the role the environment gives it) opens a card
// of its own while this one is open, and tunes it alone.
TEST_F(SimCardTest, ASecondProcessHasACardOfItsOwn)
{
    if (std::getenv("TAVRIK_SIM_SECOND_COPY") != nullptr) {
        CFrontend frontend;
        std::uint32_t nFrequency = 0;
        EXPECT_EQ(DVB_OpenBoard(kWindow), 0u);
        EXPECT_EQ(frontend.SetFrequency(322000, 1), CCommonDVB::Success);
        EXPECT_EQ(frontend.GetFrequency(nFrequency), CCommonDVB::Success);
        EXPECT_EQ(nFrequency, 322000u);
        EXPECT_EQ(DVB_CloseBoard(kWindow), 0u);
        return;
    }

    ASSERT_EQ(DVB_OpenBoard(kWindow), 0u);
    std::string filter = "--gtest_filter=SimCardTest.ASecondProcessHasACardOfItsOwn";
    char* argv[] = {const_cast<char*>("tavrik_sim_tests"), filter.data(), nullptr};
    std::vector<std::string> env{"TAVRIK_SIM_SECOND_COPY=1"};
    for (char** p = environ; *p != nullptr; ++p)
        env.emplace_back(*p);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, envp.data()), 0);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second copy's checks failed: " << status;

    CFrontend frontend;
    std::uint32_t nFrequency = 0;
    ASSERT_EQ(frontend.GetFrequency(nFrequency), CCommonDVB::Success);
    EXPECT_EQ(nFrequency, 394000u) << "the other process tuned its own card";
    EXPECT_EQ(DVB_CloseBoard(kWindow), 0u);
}

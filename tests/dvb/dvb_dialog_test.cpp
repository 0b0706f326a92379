// The whole tool on a real DVB device: the application, the dialog, the Qt
// back end and the Linux DVB card library, on Qt's offscreen platform.
// Needs the kernel's virtual DVB driver (on the adapter TAVRIK_TEST_ADAPTER
// names); tests/vm/run.sh runs it in the VM, TavrikOnAFreshCard.* first,
// right after the driver has loaded.
#include "app/tuning_app.h"
#include "platform/card/card_library.h"
#include "platform/card/linux/dvb_card.h"
#include "res/resource.h"
#include "tests/dvb/dvb_test_support.h"
#include "tests/support/dialog_harness.h"

#include <gtest/gtest.h>

#include <libdvbv5/dvb-fe.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace {

using namespace dvbtest;
using harness::Session;
using Clock = std::chrono::steady_clock;

class TavrikOnTheCard : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(AdapterPresent()) << "these tests need the vidtv driver on adapter " << TestAdapter();
        // On the grid: position 9.
        PutCardOn(SYS_DVBC_ANNEX_A, 394000000, 6900000);
    }
};

TEST_F(TavrikOnTheCard, AFrequencyStepRetunesTheFrontEnd)
{
    Session session;
    session.Run([] { theApp.InitInstance(); },
                [](HWND hDlg) {
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "394000");
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_SYMBOL_RATE), "6900");
                    EXPECT_EQ(harness::SpinPos(hDlg, IDC_SPIN_FREQUENCY), 9);

                    harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, true);
                    harness::Pump();
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "402000");
                    const KernelTuning k = ReadKernelTuning();
                    EXPECT_EQ(k.nSystem, static_cast<std::uint32_t>(SYS_DVBC_ANNEX_A));
                    EXPECT_EQ(k.nFrequency, 402000000u);
                    EXPECT_EQ(k.nSymbolRate, 6900000u);

                    harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, false);
                    harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, false);
                    harness::Pump();
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "386000");
                    EXPECT_EQ(ReadKernelTuning().nFrequency, 386000000u);
                    harness::ClickButton(hDlg, IDOK);
                });
    EXPECT_TRUE(session.messageBoxes.empty());
}

TEST_F(TavrikOnTheCard, WatchesAnotherProgramsTuning)
{
    OtherProgram other;
    ASSERT_EQ(other.Start(), 0);
    Session session;
    session.Run([] { theApp.InitInstance(); },
                [&](HWND hDlg) {
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "394000");

                    // The other program retunes; the card library's message
                    // brings the dialog up to date.
                    ASSERT_EQ(other.TuneTo(SYS_DVBC_ANNEX_A, 482000000, 6875000), 0);
                    const auto deadline = Clock::now() + std::chrono::milliseconds(2500);
                    while (harness::Text(hDlg, IDC_EDIT_FREQUENCY) != "482000" &&
                           Clock::now() < deadline) {
                        harness::Pump();
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    }
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "482000");
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_SYMBOL_RATE), "6875");

                    // A monitor does not tune: the step is refused and the
                    // dialog shows the card's frequency again.
                    harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, true);
                    harness::Pump();
                    EXPECT_EQ(ReadKernelTuning().nFrequency, 482000000u);
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "482000");
                    harness::ClickButton(hDlg, IDOK);
                });
    // Only the open's box: the close had nothing to lose.
    ASSERT_EQ(session.messageBoxes.size(), 1u);
    EXPECT_EQ(session.messageBoxes[0].text, "Error on DVB_OpenBoard: 16");
}

// Right after the driver has loaded, no other program has tuned the card.
TEST(TavrikOnAFreshCard, FirstFrequencyStepTunesTheFrontEnd)
{
    ASSERT_TRUE(AdapterPresent()) << "needs the vidtv driver on adapter " << TestAdapter();
    // The VM runs this first; its harness counts a skip as a failure.
    if (ReadKernelTuning().nFrequency != 0)
        GTEST_SKIP() << "the card has been tuned since its driver loaded";
    Session session;
    session.Run([] { theApp.InitInstance(); },
                [](HWND hDlg) {
                    // Nothing to read yet: the dialog keeps its zeros.
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "0");
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_SYMBOL_RATE), "0");

                    harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, false);
                    harness::Pump();
                    const KernelTuning k = ReadKernelTuning();
                    EXPECT_EQ(k.nSystem, static_cast<std::uint32_t>(SYS_DVBC_ANNEX_A));
                    EXPECT_EQ(k.nFrequency, 458000000u) << "the step from the top of the grid";
                    EXPECT_EQ(k.nSymbolRate, 6900000u);
                    // The box shows the card's reading.
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), std::to_string(k.nFrequency / 1000));
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_SYMBOL_RATE), "6900");

                    harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, false);
                    harness::Pump();
                    EXPECT_EQ(ReadKernelTuning().nFrequency, 450000000u);
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "450000");
                    harness::ClickButton(hDlg, IDOK);
                });
    EXPECT_TRUE(session.messageBoxes.empty());
}

// The card goes away under the running tool, as a USB stick pulled out: the
// driver's real disconnect (vidtv unbound from its platform driver) waits
// for every handle, so the tool must let go at once. The VM runs this last:
// the card does not come back.
TEST(TavrikOnARemovedCard, LetsGoAtOnceAndGoesOnUntilClosed)
{
    const char* pszUnbind = "/sys/bus/platform/drivers/vidtv/unbind";
    if (::access(pszUnbind, W_OK) != 0)
        GTEST_SKIP() << "no vidtv platform driver to unbind";
    ASSERT_TRUE(AdapterPresent()) << "needs the vidtv driver on adapter " << TestAdapter();
    PutCardOn(SYS_DVBC_ANNEX_A, 394000000, 6900000);
    const auto refcnt = [] {
        std::string n;
        std::ifstream("/sys/module/dvb_vidtv_bridge/refcnt") >> n;
        return n;
    };
    const std::string before = refcnt();
    Session session;
    session.Run([] { theApp.InitInstance(); },
                [&](HWND hDlg) {
                    harness::ClickSpin(hDlg, IDC_SPIN_AUDIO_PID, true);   // routes and tables in place
                    harness::Pump();
                    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                    harness::Pump();
                    const std::string shown = harness::Text(hDlg, IDC_EDIT_FREQUENCY);
                    EXPECT_EQ(shown, "394000");

                    const auto start = Clock::now();
                    {
                        std::ofstream unbind(pszUnbind);
                        unbind << "vidtv.0" << std::flush;   // returns when the disconnect has finished
                        EXPECT_TRUE(unbind.good());
                    }
                    const auto took =
                        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
                    std::printf("unbind with the tool running: %lld ms\n", static_cast<long long>(took.count()));
                    EXPECT_LE(took, std::chrono::milliseconds(1200)) << "the library lets go within its watcher's second";
                    const std::string after = refcnt();
                    std::printf("dvb_vidtv_bridge refcnt: %s before the tool, %s after the unbind\n",
                                before.c_str(), after.c_str());
                    EXPECT_EQ(after, before) << "every reference the tool held is gone";

                    // Every card call fails from now on, and says why.
                    CFrontend frontend;
                    CMPEGDecoder decoder;
                    std::uint32_t nFrequency = 0;
                    std::uint16_t wPid = 0;
                    EXPECT_EQ(frontend.GetFrequency(nFrequency), dvbcard::ResDeviceError);
                    EXPECT_EQ(frontend.SetFrequency(482000, 1), dvbcard::ResDeviceError);
                    EXPECT_EQ(decoder.GetVideoPID(wPid), dvbcard::ResDeviceError);
                    EXPECT_EQ(decoder.SetAudioPID(0x100), dvbcard::ResDeviceError);

                    // The window goes on: a step and Refresh change nothing the
                    // card did not report, and OK still closes it.
                    harness::ClickSpin(hDlg, IDC_SPIN_FREQUENCY, true);
                    harness::Pump();
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "402000") << "the box keeps the value sent";
                    harness::ClickButton(hDlg, IDC_REFRESH);
                    harness::Pump();
                    EXPECT_EQ(harness::Text(hDlg, IDC_EDIT_FREQUENCY), "402000");
                    harness::ClickButton(hDlg, IDOK);
                });
    EXPECT_TRUE(session.messageBoxes.empty()) << "the close has nothing left to lose";
    // Opening again finds no adapter: a replugged card needs the tool started again.
    EXPECT_EQ(DVB_OpenBoard(nullptr), dvbcard::ErrNoAdapter);
    EXPECT_EQ(DVB_CloseBoard(nullptr), 0u);
}

}  // namespace

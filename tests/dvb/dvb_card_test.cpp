// Tests of the Linux DVB card library against a real DVB device.
//
// DvbCard.* needs adapter 0 from the kernel's virtual DVB driver (vidtv),
// which tunes DVB-C, DVB-T/T2 and DVB-S/S2 from 51 MHz to 2150 MHz and reads
// back what was set; tests/vm/run.sh boots a VM with it. DvbNoAdapter.* runs
// on any machine without a DVB adapter.
#include "platform/card/card_library.h"
#include "platform/card/linux/dvb_card.h"
#include "tests/dvb/dvb_test_support.h"
#include "tests/support/window_messages_double.h"

#include <gtest/gtest.h>

#include <libdvbv5/dvb-fe.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace dvbtest;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t CableHz = 474000000;   // where vidtv's DVB-C locks
constexpr std::uint32_t CableSymbols = 6900000;

HWND Window(std::uintptr_t n)
{
    return reinterpret_cast<HWND>(n);
}

const HWND hDialog = Window(0x1001);

UINT ProgramChanged()
{
    return RegisterWindowMessageA("WM_DVB_PROGRAM_CHANGED");
}

class DvbCard : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(AdapterPresent()) << "these tests need adapter 0 (the vidtv driver)";
        ASSERT_EQ(DVB_CloseBoard(hDialog), 0u);
        PutCardOn(SYS_DVBC_ANNEX_A, CableHz, CableSymbols);
        windowmessages::ClearPosts();
    }

    void TearDown() override { DVB_CloseBoard(hDialog); }

    CMPEGDecoder m_decoder;
    CFrontend m_frontend;
};

// --- Open and close ----------------------------------------------------------

TEST_F(DvbCard, OpensOnceAndClosesWithTheSameWindow)
{
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    EXPECT_EQ(DVB_OpenBoard(hDialog), dvbcard::ErrAlreadyOpen);

    EXPECT_EQ(DVB_CloseBoard(Window(0x2002)), dvbcard::ErrWrongWindow);
    std::uint32_t nFrequency = 0;
    EXPECT_EQ(m_frontend.GetFrequency(nFrequency), CCommonDVB::Success) << "still open";

    EXPECT_EQ(DVB_CloseBoard(hDialog), 0u);
    EXPECT_EQ(DVB_CloseBoard(hDialog), 0u) << "nothing left open";
    EXPECT_EQ(m_frontend.GetFrequency(nFrequency), dvbcard::ResNotOpen);
    std::uint16_t wPid = 0;
    EXPECT_EQ(m_decoder.GetVideoPID(wPid), dvbcard::ResNotOpen);
    EXPECT_EQ(m_frontend.SetFrequency(330000, 1), dvbcard::ResNotOpen);

    // The front end is free again for another program.
    OtherProgram other;
    EXPECT_EQ(other.Start(), 0);
}

TEST_F(DvbCard, CloseStopsWatchingAtOnce)
{
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    std::this_thread::sleep_for(200ms);
    const auto start = Clock::now();
    EXPECT_EQ(DVB_CloseBoard(hDialog), 0u);
    EXPECT_LT(Clock::now() - start, 300ms);
}

// --- Front end -----------------------------------------------------------------

TEST_F(DvbCard, FrequencyOnTheGridInKhzKeepsTheOtherParameters)
{
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    std::uint32_t nFrequency = 0;
    ASSERT_EQ(m_frontend.GetFrequency(nFrequency), CCommonDVB::Success);
    EXPECT_EQ(nFrequency, 474000u);

    for (std::uint32_t p : {0u, 1u, 9u, 18u}) {
        const std::uint32_t nGrid = 322000 + 8000 * p;
        SCOPED_TRACE(nGrid);
        ASSERT_EQ(m_frontend.SetFrequency(nGrid, 1), CCommonDVB::Success);
        ASSERT_EQ(m_frontend.GetFrequency(nFrequency), CCommonDVB::Success);
        EXPECT_EQ(nFrequency, nGrid);
        std::uint32_t nSymbolRate = 0;
        ASSERT_EQ(m_frontend.GetSymbolrate(nSymbolRate), CCommonDVB::Success);
        EXPECT_EQ(nSymbolRate, 6900u);

        // The kernel got Hz, on the same system and symbol rate.
        const KernelTuning k = ReadKernelTuning();
        EXPECT_EQ(k.nSystem, static_cast<std::uint32_t>(SYS_DVBC_ANNEX_A));
        EXPECT_EQ(k.nFrequency, nGrid * 1000);
        EXPECT_EQ(k.nSymbolRate, CableSymbols);
    }
}

TEST_F(DvbCard, SymbolRateInKsymAndSatelliteFrequencyInKhz)
{
    PutCardOn(SYS_DVBC_ANNEX_A, 482000000, 6875000);
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    std::uint32_t nSymbolRate = 0;
    ASSERT_EQ(m_frontend.GetSymbolrate(nSymbolRate), CCommonDVB::Success);
    EXPECT_EQ(nSymbolRate, 6875u);
    ASSERT_EQ(DVB_CloseBoard(hDialog), 0u);

    // Satellite front ends count in kHz already.
    PutCardOn(SYS_DVBS, 1200000, 27500000);
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    std::uint32_t nFrequency = 0;
    ASSERT_EQ(m_frontend.GetFrequency(nFrequency), CCommonDVB::Success);
    EXPECT_EQ(nFrequency, 1200000u);
    ASSERT_EQ(m_frontend.GetSymbolrate(nSymbolRate), CCommonDVB::Success);
    EXPECT_EQ(nSymbolRate, 27500u);
    ASSERT_EQ(m_frontend.SetFrequency(1300000, 1), CCommonDVB::Success);
    const KernelTuning k = ReadKernelTuning();
    EXPECT_EQ(k.nSystem, static_cast<std::uint32_t>(SYS_DVBS));
    EXPECT_EQ(k.nFrequency, 1300000u);
    EXPECT_EQ(k.nSymbolRate, 27500000u);
}

// --- Decoder -------------------------------------------------------------------

TEST_F(DvbCard, PidsGoThroughTheDemuxToTheDecoder)
{
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    ASSERT_EQ(m_decoder.SetVideoPID(0x100), CCommonDVB::Success);
    ASSERT_EQ(m_decoder.SetAudioPID(0x111), CCommonDVB::Success);

    std::uint16_t wPid = 0;
    ASSERT_EQ(m_decoder.GetVideoPID(wPid), CCommonDVB::Success);
    EXPECT_EQ(wPid, 0x100);
    ASSERT_EQ(m_decoder.GetAudioPid(wPid), CCommonDVB::Success);
    EXPECT_EQ(wPid, 0x111);
    KernelPids k = ReadKernelPids();
    EXPECT_EQ(k.wVideo, 0x100);
    EXPECT_EQ(k.wAudio, 0x111);

    // Stepping re-sets the same filter.
    ASSERT_EQ(m_decoder.SetVideoPID(0x101), CCommonDVB::Success);
    ASSERT_EQ(m_decoder.GetVideoPID(wPid), CCommonDVB::Success);
    EXPECT_EQ(wPid, 0x101);
    ASSERT_EQ(m_decoder.SetVideoPID(8191), CCommonDVB::Success);
    ASSERT_EQ(m_decoder.GetVideoPID(wPid), CCommonDVB::Success);
    EXPECT_EQ(wPid, 8191);
    k = ReadKernelPids();
    EXPECT_EQ(k.wAudio, 0x111) << "the audio filter is untouched";
}

// --- Bad values ----------------------------------------------------------------

TEST_F(DvbCard, BadValuesFailAndLeaveTheCardAsItWas)
{
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    ASSERT_EQ(m_frontend.SetFrequency(394000, 1), CCommonDVB::Success);
    ASSERT_EQ(m_decoder.SetVideoPID(0x200), CCommonDVB::Success);
    ASSERT_EQ(m_decoder.SetAudioPID(0x201), CCommonDVB::Success);

    EXPECT_EQ(m_decoder.SetVideoPID(8192), dvbcard::ResOutOfRange);
    EXPECT_EQ(m_decoder.SetAudioPID(0xffff), dvbcard::ResOutOfRange);
    EXPECT_EQ(m_frontend.SetFrequency(40000, 1), dvbcard::ResOutOfRange);     // below 51 MHz
    EXPECT_EQ(m_frontend.SetFrequency(2200000, 1), dvbcard::ResOutOfRange);   // above 2150 MHz
    EXPECT_EQ(m_frontend.SetFrequency(0xffffffffu, 1), dvbcard::ResOutOfRange);
    EXPECT_EQ(m_frontend.SetFrequency(0, 1), dvbcard::ResOutOfRange);
    EXPECT_EQ(m_frontend.SetFrequency(402000, 0), dvbcard::ResBadFlags);
    EXPECT_EQ(m_frontend.SetFrequency(402000, 2), dvbcard::ResBadFlags);

    std::uint16_t wPid = 0;
    ASSERT_EQ(m_decoder.GetVideoPID(wPid), CCommonDVB::Success);
    EXPECT_EQ(wPid, 0x200);
    ASSERT_EQ(m_decoder.GetAudioPid(wPid), CCommonDVB::Success);
    EXPECT_EQ(wPid, 0x201);
    const KernelTuning k = ReadKernelTuning();
    EXPECT_EQ(k.nFrequency, 394000000u);
    EXPECT_EQ(k.nSymbolRate, CableSymbols);
    EXPECT_TRUE(windowmessages::Posts().empty());
}

TEST_F(DvbCard, DecoderSlotOwnedElsewhereIsRefused)
{
    // Another program routes video to the decoder and keeps its filter.
    OtherProgram other;
    ASSERT_EQ(other.Start(), 0);
    ASSERT_EQ(other.SetVideoPid(0x300), 0);
    ASSERT_EQ(other.LetGoOfFrontEnd(), 0);

    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    EXPECT_EQ(m_decoder.SetVideoPID(0x301), dvbcard::ResRefused);
    std::uint16_t wPid = 0;
    ASSERT_EQ(m_decoder.GetVideoPID(wPid), CCommonDVB::Success);
    EXPECT_EQ(wPid, 0x300);
    // The audio slot is ours.
    ASSERT_EQ(m_decoder.SetAudioPID(0x302), CCommonDVB::Success);
    ASSERT_EQ(m_decoder.GetAudioPid(wPid), CCommonDVB::Success);
    EXPECT_EQ(wPid, 0x302);
}

// --- Another program -----------------------------------------------------------

TEST_F(DvbCard, BusyFrontEndGivesAReadOnlyMonitorThatSeesRetunes)
{
    OtherProgram other;
    ASSERT_EQ(other.Start(), 0);
    ASSERT_EQ(DVB_OpenBoard(hDialog), dvbcard::ErrBusy);

    std::uint32_t nFrequency = 0;
    std::uint32_t nSymbolRate = 0;
    ASSERT_EQ(m_frontend.GetFrequency(nFrequency), CCommonDVB::Success);
    EXPECT_EQ(nFrequency, 474000u);
    ASSERT_EQ(m_frontend.GetSymbolrate(nSymbolRate), CCommonDVB::Success);
    EXPECT_EQ(nSymbolRate, 6900u);
    EXPECT_EQ(m_frontend.SetFrequency(482000, 1), dvbcard::ResReadOnly);
    EXPECT_EQ(m_decoder.SetVideoPID(0x100), dvbcard::ResReadOnly);
    EXPECT_EQ(m_decoder.SetAudioPID(0x101), dvbcard::ResReadOnly);
    EXPECT_EQ(ReadKernelTuning().nFrequency, CableHz) << "a refused set touches nothing";

    // The other program retunes: the window hears of it within two seconds.
    ASSERT_EQ(other.TuneTo(SYS_DVBC_ANNEX_A, 482000000, CableSymbols), 0);
    const auto retuned = Clock::now();
    ASSERT_TRUE(windowmessages::WaitForPosts(1, 2500ms));
    auto posts = windowmessages::Posts();
    EXPECT_EQ(posts[0].hWnd, hDialog);
    EXPECT_EQ(posts[0].nMessage, ProgramChanged());
    EXPECT_LE(posts[0].when - retuned, 2000ms);
    ASSERT_EQ(m_frontend.GetFrequency(nFrequency), CCommonDVB::Success);
    EXPECT_EQ(nFrequency, 482000u);

    // One change, one message.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(windowmessages::Posts().size(), 1u);

    // It changes the decoder's video PID.
    ASSERT_EQ(other.SetVideoPid(0x123), 0);
    ASSERT_TRUE(windowmessages::WaitForPosts(2, 2500ms));
    std::uint16_t wPid = 0;
    ASSERT_EQ(m_decoder.GetVideoPID(wPid), CCommonDVB::Success);
    EXPECT_EQ(wPid, 0x123);

    // It switches to satellite: the unit follows.
    ASSERT_EQ(other.TuneTo(SYS_DVBS2, 1500000, 22000000), 0);
    ASSERT_TRUE(windowmessages::WaitForPosts(3, 2500ms));
    ASSERT_EQ(m_frontend.GetFrequency(nFrequency), CCommonDVB::Success);
    EXPECT_EQ(nFrequency, 1500000u);
    ASSERT_EQ(m_frontend.GetSymbolrate(nSymbolRate), CCommonDVB::Success);
    EXPECT_EQ(nSymbolRate, 22000u);

    EXPECT_EQ(DVB_CloseBoard(hDialog), 0u) << "the failed open left only a monitor to release";

    // Closed: no more messages.
    ASSERT_EQ(other.TuneTo(SYS_DVBC_ANNEX_A, CableHz, CableSymbols), 0);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(windowmessages::Posts().size(), 3u);
}

TEST_F(DvbCard, OwnSetsAreNotReportedAsChanges)
{
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    // Each kind of set on its own, with a watcher round after it.
    ASSERT_EQ(m_frontend.SetFrequency(330000, 1), CCommonDVB::Success);
    std::this_thread::sleep_for(1200ms);
    ASSERT_EQ(m_decoder.SetVideoPID(0x400), CCommonDVB::Success);
    std::this_thread::sleep_for(1200ms);
    ASSERT_EQ(m_decoder.SetAudioPID(0x500), CCommonDVB::Success);
    std::this_thread::sleep_for(1200ms);
    // And quick steps, as a user clicking a spin button.
    for (std::uint32_t i = 0; i < 5; ++i) {
        ASSERT_EQ(m_frontend.SetFrequency(338000 + 8000 * i, 1), CCommonDVB::Success);
        std::this_thread::sleep_for(150ms);
    }
    std::this_thread::sleep_for(1200ms);
    EXPECT_TRUE(windowmessages::Posts().empty());
}

// --- Without an adapter ----------------------------------------------------------

TEST(DvbNoAdapter, OpenFailsWithErrnoAndCloseSucceeds)
{
    if (AdapterPresent())
        GTEST_SKIP() << "this machine has a DVB adapter 0";
    CMPEGDecoder decoder;
    CFrontend frontend;
    EXPECT_EQ(DVB_OpenBoard(hDialog), static_cast<DVBErrReturn>(ENOENT));
    std::uint32_t nFrequency = 0;
    EXPECT_EQ(frontend.GetFrequency(nFrequency), dvbcard::ResNotOpen);
    EXPECT_EQ(frontend.SetFrequency(330000, 1), dvbcard::ResNotOpen);
    std::uint16_t wPid = 0;
    EXPECT_EQ(decoder.GetAudioPid(wPid), dvbcard::ResNotOpen);
    EXPECT_EQ(decoder.SetVideoPID(0x100), dvbcard::ResNotOpen);
    EXPECT_EQ(DVB_CloseBoard(hDialog), 0u) << "nothing was opened, nothing is lost";
    EXPECT_TRUE(windowmessages::Posts().empty());
}

}  // namespace

// Tests of the Linux DVB card library against a real DVB device.
//
// DvbCard.* needs the kernel's virtual DVB driver (vidtv) on the adapter
// TAVRIK_TEST_ADAPTER names (0 if unset), which tunes DVB-C, DVB-T/T2 and
// DVB-S/S2 from 51 MHz to 2150 MHz and reads back what was set;
// tests/vm/run.sh boots a VM with it. DvbNoAdapter.* runs on any machine
// without a DVB adapter, DvbRules.* on any machine.
#include "platform/card/card_library.h"
#include "platform/card/linux/dvb_card.h"
#include "tests/dvb/dvb_test_support.h"
#include "tests/support/window_messages_double.h"

#include <gtest/gtest.h>

#include <libdvbv5/dvb-fe.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
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
        ASSERT_TRUE(AdapterPresent()) << "these tests need the vidtv driver on adapter " << TestAdapter();
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


// --- A front end that has never been tuned ----------------------------------------

TEST_F(DvbCard, NeverTunedFrontEndFailsToReadAndTunesWithCableDefaults)
{
    ForgetTuning();
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    std::uint32_t nFrequency = 12345;
    std::uint32_t nSymbolRate = 12345;
    EXPECT_EQ(m_frontend.GetFrequency(nFrequency), dvbcard::ResNotTuned);
    EXPECT_EQ(m_frontend.GetSymbolrate(nSymbolRate), dvbcard::ResNotTuned);
    EXPECT_EQ(nFrequency, 12345u) << "nothing written on failure";
    EXPECT_EQ(nSymbolRate, 12345u);
    // Out of range and bad flags: refused, still never tuned.
    EXPECT_EQ(m_frontend.SetFrequency(40000, 1), dvbcard::ResOutOfRange);
    EXPECT_EQ(m_frontend.SetFrequency(458000, 0), dvbcard::ResBadFlags);
    EXPECT_EQ(ReadKernelTuning().nFrequency, 0u);

    // vidtv can do DVB-T/T2, DVB-C and DVB-S/S2: the first tune is on cable.
    ASSERT_EQ(m_frontend.SetFrequency(458000, 1), CCommonDVB::Success);
    const KernelTuning k = ReadKernelTuning();
    EXPECT_EQ(k.nSystem, static_cast<std::uint32_t>(SYS_DVBC_ANNEX_A));
    EXPECT_EQ(k.nFrequency, 458000000u);
    EXPECT_EQ(k.nSymbolRate, dvbcard::DefaultCableSymbolRate);
    EXPECT_EQ(k.nModulation, static_cast<std::uint32_t>(QAM_AUTO)) << "vidtv can do QAM_AUTO";
    EXPECT_EQ(k.nInversion, static_cast<std::uint32_t>(INVERSION_AUTO));
    ASSERT_EQ(m_frontend.GetFrequency(nFrequency), CCommonDVB::Success);
    EXPECT_EQ(nFrequency, 458000u);
    ASSERT_EQ(m_frontend.GetSymbolrate(nSymbolRate), CCommonDVB::Success);
    EXPECT_EQ(nSymbolRate, 6900u);

    // From now on steps keep what is there.
    ASSERT_EQ(m_frontend.SetFrequency(450000, 1), CCommonDVB::Success);
    EXPECT_EQ(ReadKernelTuning().nFrequency, 450000000u);
    EXPECT_EQ(ReadKernelTuning().nSymbolRate, dvbcard::DefaultCableSymbolRate);
    std::this_thread::sleep_for(1200ms);
    EXPECT_TRUE(windowmessages::Posts().empty()) << "our own tunes are not reported";
}

TEST_F(DvbCard, ATunerLeftAsleepIsTunedAgainByItsOwnerNotByAMonitor)
{
    // SetUp put the card on 474 MHz and closed it: the kernel put the tuner
    // to sleep, and a read-write open only wakes it.
    long nBefore = TunerTunes();
    if (nBefore < 0)
        GTEST_SKIP() << "no kprobe events on this kernel";
    {
        // The count works: a tune of our own is one.
        ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
        const long nOpened = SettledTunerTunes();
        ASSERT_EQ(m_frontend.SetFrequency(482000, 1), CCommonDVB::Success);
        const long nTuned = SettledTunerTunes();
        ASSERT_EQ(m_frontend.SetFrequency(474000, 1), CCommonDVB::Success);
        ASSERT_EQ(DVB_CloseBoard(hDialog), 0u);
        std::printf("tuner tunes: %ld, %ld after an open, %ld after a step\n", nBefore, nOpened, nTuned);
        ASSERT_EQ(nTuned, nOpened + 1) << "the kprobe counts the tuner's tunes";
    }
    nBefore = SettledTunerTunes();
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    const long nOwner = SettledTunerTunes();
    std::uint32_t nFrequency = 0;
    ASSERT_EQ(m_frontend.GetFrequency(nFrequency), CCommonDVB::Success);
    EXPECT_EQ(nFrequency, 474000u);
    ASSERT_EQ(DVB_CloseBoard(hDialog), 0u);
    std::printf("tuner tunes: %ld before, %ld after the owner's open\n", nBefore, nOwner);
    EXPECT_EQ(nOwner, nBefore + 1) << "the owner tunes the card to what it reports";
    EXPECT_EQ(ReadKernelTuning().nFrequency, CableHz);

    OtherProgram other;
    ASSERT_EQ(other.Start(), 0);
    const long nHeld = SettledTunerTunes();
    ASSERT_EQ(DVB_OpenBoard(hDialog), dvbcard::ErrBusy);
    EXPECT_EQ(SettledTunerTunes(), nHeld) << "a monitor tunes nothing";
}

TEST_F(DvbCard, AFirstTuneFromASatelliteSystemLeavesLaterStepsInRange)
{
    // The front end sits on DVB-S, never tuned: its range is stated in kHz
    // until the first tune moves it to cable, in Hz.
    ForgetTuningOn(SYS_DVBS);
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    ASSERT_EQ(m_frontend.SetFrequency(474000, 1), CCommonDVB::Success);
    EXPECT_EQ(ReadKernelTuning().nSystem, static_cast<std::uint32_t>(SYS_DVBC_ANNEX_A));
    EXPECT_EQ(m_frontend.SetFrequency(482000, 1), CCommonDVB::Success) << "the range's unit follows the system";
    EXPECT_EQ(ReadKernelTuning().nFrequency, 482000000u);
    EXPECT_EQ(m_frontend.SetFrequency(40000, 1), dvbcard::ResOutOfRange);
}

TEST_F(DvbCard, WatcherReportsTheFirstTuneOfAnotherProgram)
{
    ForgetTuning();
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    ASSERT_EQ(DVB_CloseBoard(hDialog), 0u);
    OtherProgram other;
    ASSERT_EQ(other.Start(), 0);
    ASSERT_EQ(DVB_OpenBoard(hDialog), dvbcard::ErrBusy);
    std::uint32_t nFrequency = 0;
    EXPECT_EQ(m_frontend.GetFrequency(nFrequency), dvbcard::ResNotTuned);
    ASSERT_EQ(other.TuneTo(SYS_DVBC_ANNEX_A, CableHz, CableSymbols), 0);
    ASSERT_TRUE(windowmessages::WaitForPosts(1, 2500ms));
    ASSERT_EQ(m_frontend.GetFrequency(nFrequency), CCommonDVB::Success);
    EXPECT_EQ(nFrequency, 474000u);
}

// --- What reaches the DVR device ---------------------------------------------------

// vidtv's multiplex: PAT (0x0000) with one program, its PMT on 0x0101 lists
// one audio stream on 0x0111 (PCR on 0x0200); SI on 0x0010-0x0012.
constexpr std::uint16_t VidtvPmt = 0x0101;
constexpr std::uint16_t VidtvAudio = 0x0111;
constexpr std::uint16_t VidtvPcr = 0x0200;    // the program's clock, on a PID of its own
constexpr std::uint16_t VidtvSdt = 0x0011;    // carried, in no program
constexpr std::uint16_t VidtvEit = 0x0012;    // carried, in no program

std::set<std::uint16_t> Pids(const std::map<std::uint16_t, unsigned>& packets)
{
    std::set<std::uint16_t> pids;
    for (const auto& [wPid, n] : packets)
        if (n > 0)
            pids.insert(wPid);
    return pids;
}

TEST_F(DvbCard, DvrCarriesTheSelectedPidsThePatAndTheirProgramsPmt)
{
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    EXPECT_TRUE(CountDvrPackets(100ms, 500ms).empty()) << "nothing selected, nothing routed";

    ASSERT_EQ(m_decoder.SetAudioPID(VidtvAudio), CCommonDVB::Success);
    ASSERT_EQ(m_decoder.SetVideoPID(VidtvSdt), CCommonDVB::Success);
    // The first selection waits for the tables; later steps route at once.
    auto packets = CountDvrPackets(1000ms, 1000ms);
    std::printf("DVR, audio 0x0111 and video 0x0011 selected, 1 s: %s\n", Describe(packets).c_str());
    // The program's clock (PCR) is on a PID of its own, 0x200: it goes too.
    EXPECT_EQ(Pids(packets), (std::set<std::uint16_t>{0x0000, VidtvSdt, VidtvPmt, VidtvPcr, VidtvAudio}))
        << Describe(packets);
    EXPECT_GT(packets[VidtvAudio], 100u) << "vidtv sends about 1500 audio packets a second";
    // The kernel still counts them as the decoder's.
    KernelPids k = ReadKernelPids();
    EXPECT_EQ(k.wAudio, VidtvAudio);
    EXPECT_EQ(k.wVideo, VidtvSdt);

    // Audio to a PID of no program: its PMT goes.
    ASSERT_EQ(m_decoder.SetAudioPID(VidtvEit), CCommonDVB::Success);
    packets = CountDvrPackets(500ms, 1000ms);
    std::printf("DVR, audio 0x0012 and video 0x0011 selected, 1 s: %s\n", Describe(packets).c_str());
    EXPECT_EQ(Pids(packets), (std::set<std::uint16_t>{0x0000, VidtvSdt, VidtvEit})) << Describe(packets);

    // Video on the program's PCR PID brings the PMT back; a retune keeps the
    // routes and reads the tables again.
    ASSERT_EQ(m_decoder.SetVideoPID(0x0200), CCommonDVB::Success);
    ASSERT_EQ(m_frontend.SetFrequency(458000, 1), CCommonDVB::Success);
    ASSERT_EQ(m_frontend.SetFrequency(474000, 1), CCommonDVB::Success);
    packets = CountDvrPackets(1500ms, 1000ms);
    EXPECT_EQ(Pids(packets), (std::set<std::uint16_t>{0x0000, 0x0200, VidtvPmt, VidtvEit})) << Describe(packets);

    // The same PID for both streams reaches the DVR device once: as many
    // packets as with one stream alone.
    ASSERT_EQ(m_decoder.SetVideoPID(VidtvAudio), CCommonDVB::Success);
    ASSERT_EQ(m_decoder.SetAudioPID(VidtvAudio), CCommonDVB::Success);
    const auto both = CountDvrPackets(500ms, 1000ms);
    ASSERT_EQ(m_decoder.SetAudioPID(VidtvEit), CCommonDVB::Success);
    const auto one = CountDvrPackets(500ms, 1000ms);
    EXPECT_LT(both.at(VidtvAudio), one.at(VidtvAudio) * 3 / 2) << Describe(both) << " / " << Describe(one);
    EXPECT_GT(one.at(VidtvEit), 0u) << "the audio filter taps again once the PIDs differ";

    // Closed: nothing routed any more.
    ASSERT_EQ(DVB_CloseBoard(hDialog), 0u);
    EXPECT_TRUE(CountDvrPackets(200ms, 500ms).empty());
}

TEST_F(DvbCard, CloseDoesNotWaitForTablesThatDoNotCome)
{
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    ASSERT_EQ(m_decoder.SetAudioPID(VidtvAudio), CCommonDVB::Success);
    // 338 MHz does not lock: no tables arrive, and the library waits for them.
    ASSERT_EQ(m_frontend.SetFrequency(338000, 1), CCommonDVB::Success);
    std::this_thread::sleep_for(200ms);
    const auto start = Clock::now();
    EXPECT_EQ(DVB_CloseBoard(hDialog), 0u);
    EXPECT_LT(Clock::now() - start, 300ms);
}

TEST_F(DvbCard, MonitorRoutesNothing)
{
    OtherProgram other;
    ASSERT_EQ(other.Start(), 0);
    ASSERT_EQ(DVB_OpenBoard(hDialog), dvbcard::ErrBusy);
    EXPECT_EQ(m_decoder.SetAudioPID(VidtvAudio), dvbcard::ResReadOnly);
    EXPECT_TRUE(CountDvrPackets(200ms, 800ms).empty());
}

// A player reads what the tool routes: a few seconds of the DVR device go to
// the file TAVRIK_CAPTURE names (the VM hands it out for ffprobe).
TEST_F(DvbCard, CaptureForAPlayer)
{
    const char* pszFile = std::getenv("TAVRIK_CAPTURE");
    if (pszFile == nullptr)
        GTEST_SKIP() << "TAVRIK_CAPTURE is not set";
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    // The audio alone: its program's clock comes by itself.
    ASSERT_EQ(m_decoder.SetAudioPID(VidtvAudio), CCommonDVB::Success);
    std::vector<std::uint8_t> capture;
    const auto packets = CountDvrPackets(1000ms, 3000ms, &capture);
    std::printf("capture, 3 s: %s\n", Describe(packets).c_str());
    ASSERT_FALSE(capture.empty());
    EXPECT_EQ(Pids(packets), (std::set<std::uint16_t>{0x0000, VidtvPmt, VidtvPcr, VidtvAudio})) << Describe(packets);
    std::ofstream(pszFile, std::ios::binary).write(reinterpret_cast<const char*>(capture.data()),
                                                   static_cast<std::streamsize>(capture.size()));
}

// --- PIDs no filter routes -------------------------------------------------------------

TEST_F(DvbCard, PidsLeftBehindByAClosedRunAreNotReported)
{
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    ASSERT_EQ(m_decoder.SetVideoPID(8191), CCommonDVB::Success);
    ASSERT_EQ(m_decoder.SetAudioPID(31), CCommonDVB::Success);
    ASSERT_EQ(DVB_CloseBoard(hDialog), 0u);
    // The kernel keeps a closed filter's PID in its table.
    KernelPids k = ReadKernelPids();
    EXPECT_EQ(k.wVideo, 8191);
    EXPECT_EQ(k.wAudio, 31);

    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    std::uint16_t wPid = 77;
    EXPECT_EQ(m_decoder.GetVideoPID(wPid), dvbcard::ResNoPid);
    EXPECT_EQ(m_decoder.GetAudioPid(wPid), dvbcard::ResNoPid);
    EXPECT_EQ(wPid, 77);
    ASSERT_EQ(DVB_CloseBoard(hDialog), 0u);

    // A monitor does not report them either, and routes nothing for it.
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    ASSERT_EQ(m_decoder.SetVideoPID(0x0222), CCommonDVB::Success);
    ASSERT_EQ(DVB_CloseBoard(hDialog), 0u);
    OtherProgram other;
    ASSERT_EQ(other.Start(), 0);
    ASSERT_EQ(DVB_OpenBoard(hDialog), dvbcard::ErrBusy);
    EXPECT_EQ(m_decoder.GetVideoPID(wPid), dvbcard::ResNoPid);
    EXPECT_TRUE(CountDvrPackets(100ms, 500ms).empty());
    // ... but reports what the other program's filter routes now.
    ASSERT_EQ(other.SetVideoPid(0x0123), 0);
    ASSERT_EQ(m_decoder.GetVideoPID(wPid), CCommonDVB::Success);
    EXPECT_EQ(wPid, 0x0123);
}

TEST_F(DvbCard, AMonitorWritesNothing)
{
    // A run leaves video 0x0222 behind in the decoder's table.
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    ASSERT_EQ(m_decoder.SetVideoPID(0x0222), CCommonDVB::Success);
    ASSERT_EQ(DVB_CloseBoard(hDialog), 0u);

    OtherProgram other;
    ASSERT_EQ(other.Start(), 0);
    const KernelTuning before = ReadKernelTuning();
    ASSERT_EQ(DVB_OpenBoard(hDialog), dvbcard::ErrBusy);
    std::uint16_t wPid = 77;
    EXPECT_EQ(m_decoder.GetVideoPID(wPid), dvbcard::ResNoPid) << "live or left behind: it cannot tell";
    EXPECT_EQ(m_decoder.GetAudioPid(wPid), dvbcard::ResNoPid);
    std::uint32_t n = 0;
    EXPECT_EQ(m_frontend.GetFrequency(n), CCommonDVB::Success);
    EXPECT_EQ(m_frontend.GetSymbolrate(n), CCommonDVB::Success);
    std::this_thread::sleep_for(1500ms);   // the watcher reads too
    EXPECT_EQ(ReadKernelPids().wVideo, 0x0222) << "the table is as the run left it";
    const KernelTuning after = ReadKernelTuning();
    EXPECT_EQ(after.nFrequency, before.nFrequency);
    EXPECT_EQ(after.nSymbolRate, before.nSymbolRate);
    EXPECT_EQ(after.nModulation, before.nModulation);
    EXPECT_EQ(DVB_CloseBoard(hDialog), 0u);
}

// --- Finding the adapter, permissions --------------------------------------------------

TEST_F(DvbCard, FindsTheAdapterWithoutOptions)
{
    EXPECT_EQ(dvbcard::FindAdapter("/dev/dvb"), TestAdapter());
    ASSERT_EQ(DVB_OpenBoard(hDialog), 0u);
    std::uint32_t nFrequency = 0;
    ASSERT_EQ(m_frontend.GetFrequency(nFrequency), CCommonDVB::Success);
    EXPECT_EQ(nFrequency * 1000, ReadKernelTuning().nFrequency);
    ASSERT_EQ(m_frontend.SetFrequency(482000, 1), CCommonDVB::Success);
    EXPECT_EQ(ReadKernelTuning().nFrequency, 482000000u) << "tuned the adapter it found";
}

// Sets a device's permission bits for the life of the object.
class DeviceMode
{
public:
    DeviceMode(const std::string& path, mode_t mode) : m_path(path)
    {
        struct stat st;
        m_bOk = ::stat(path.c_str(), &st) == 0 && ::chmod(path.c_str(), mode) == 0;
        m_old = st.st_mode & 07777;
    }
    ~DeviceMode()
    {
        if (m_bOk)
            ::chmod(m_path.c_str(), m_old);
    }
    bool Ok() const { return m_bOk; }

private:
    std::string m_path;
    mode_t m_old = 0;
    bool m_bOk = false;
};

constexpr unsigned SomeUser = 1000;

TEST_F(DvbCard, ReadOnlyUserGetsAMonitorAndNoAccessItsCode)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to change the devices' permissions";
    // Readable for everyone, writable for root only.
    DeviceMode frontend(DevicePath("frontend0"), 0644);
    DeviceMode demux(DevicePath("demux0"), 0644);
    ASSERT_TRUE(frontend.Ok() && demux.Ok());
    const int nMonitor = RunAsUser(SomeUser, [this] {
        if (DVB_OpenBoard(hDialog) != dvbcard::ErrNoWriteAccess)
            return 1;
        std::uint32_t nFrequency = 0;
        if (m_frontend.GetFrequency(nFrequency) != CCommonDVB::Success || nFrequency != 474000)
            return 2;
        if (m_frontend.SetFrequency(482000, 1) != dvbcard::ResReadOnly ||
            m_decoder.SetVideoPID(0x100) != dvbcard::ResReadOnly)
            return 3;
        return DVB_CloseBoard(hDialog) == 0 ? 0 : 4;
    });
    EXPECT_EQ(nMonitor, 0) << "1: open's code, 2: reading, 3: setters, 4: close";
    EXPECT_EQ(ReadKernelTuning().nFrequency, CableHz);

    // Not even readable: the errno, and nothing open.
    DeviceMode hidden(DevicePath("frontend0"), 0600);
    ASSERT_TRUE(hidden.Ok());
    const int nDenied = RunAsUser(SomeUser, [this] {
        if (DVB_OpenBoard(hDialog) != static_cast<DVBErrReturn>(EACCES))
            return 1;
        std::uint32_t nFrequency = 0;
        std::uint16_t wPid = 0;
        if (m_frontend.GetFrequency(nFrequency) != dvbcard::ResNotOpen || nFrequency != 0 ||
            m_decoder.GetVideoPID(wPid) != dvbcard::ResNotOpen || wPid != 0)
            return 2;
        return DVB_CloseBoard(hDialog) == 0 ? 0 : 3;
    });
    EXPECT_EQ(nDenied, 0) << "1: open's code, 2: getters, 3: close";
}

TEST_F(DvbCard, MissingDemuxHasItsOwnCode)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to move the device node";
    const std::string demux = DevicePath("demux0");
    const std::string away = demux + ".away";
    ASSERT_EQ(::rename(demux.c_str(), away.c_str()), 0);
    const DVBErrReturn nResult = DVB_OpenBoard(hDialog);
    OtherProgram other;
    const int nFree = other.Start();   // the failed open let go of the front end
    ::rename(away.c_str(), demux.c_str());
    EXPECT_EQ(nResult, dvbcard::ErrNoDemux);
    EXPECT_EQ(nFree, 0);
    std::uint32_t nFrequency = 0;
    EXPECT_EQ(m_frontend.GetFrequency(nFrequency), dvbcard::ResNotOpen);
    EXPECT_EQ(DVB_CloseBoard(hDialog), 0u);
}

// --- The device goes away ---------------------------------------------------------------

// Unbinds vidtv from its platform driver, which runs the driver's real
// disconnect: it waits until every demux and DVR handle is closed. Runs last
// in the VM (tests/vm/init.sh): the adapter is gone afterwards. Never
// followed by rmmod, which crashed the kernel at shutdown in a boot without
// the tool.
// --- Without an adapter ----------------------------------------------------------

TEST(DvbNoAdapter, OpenFailsWithErrnoAndCloseSucceeds)
{
    if (AnyAdapterPresent())
        GTEST_SKIP() << "this machine has a DVB adapter";
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

// --- Rules that need no device ----------------------------------------------------

class DvbRules : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char sz[] = "/tmp/tavrik-dvb-XXXXXX";
        ASSERT_NE(::mkdtemp(sz), nullptr);
        m_root = sz;
    }
    void TearDown() override { std::system(("rm -rf '" + m_root + "'").c_str()); }

    // root/<name>, and root/<name>/frontend0 when bFrontend.
    void Adapter(const std::string& name, bool bFrontend)
    {
        const std::string dir = m_root + "/" + name;
        ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
        if (bFrontend)
            std::ofstream(dir + "/frontend0").put('x');
    }
    int Find() const { return dvbcard::FindAdapter(m_root.c_str()); }

    std::string m_root;
};

TEST_F(DvbRules, AdapterZeroWhenItHasAFrontEndElseTheLowestThatHasOne)
{
    EXPECT_EQ(dvbcard::FindAdapter("/nonexistent/dvb"), -1);
    EXPECT_EQ(Find(), -1) << "empty";
    Adapter("adapter10", true);
    EXPECT_EQ(Find(), 10);
    Adapter("adapter9", true);
    EXPECT_EQ(Find(), 9) << "by number, not by name";
    Adapter("adapter3", false);
    Adapter("adapter0", false);
    EXPECT_EQ(Find(), 9) << "adapters without a front end do not count";
    // Names that are no adapter number.
    Adapter("adapter", true);
    Adapter("adapter-1", true);
    Adapter("adapter01", true);
    Adapter("adapter2x", true);
    Adapter("adapter99999999999", true);
    Adapter("xadapter1", true);
    EXPECT_EQ(Find(), 9);
    std::ofstream(m_root + "/adapter0/frontend0").put('x');
    EXPECT_EQ(Find(), 0);
}

TEST_F(DvbRules, AFreeFrontEndBeforeABusyAdapterZero)
{
    // A front end that cannot be opened read-write (here: a directory)
    // stands for one another program holds.
    ASSERT_EQ(::mkdir((m_root + "/adapter0").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((m_root + "/adapter0/frontend0").c_str(), 0755), 0);
    EXPECT_EQ(dvbcard::ChooseAdapter(m_root.c_str()), 0) << "alone, it is the one";
    Adapter("adapter5", true);
    Adapter("adapter3", true);
    EXPECT_EQ(dvbcard::ChooseAdapter(m_root.c_str()), 3);
    EXPECT_EQ(Find(), 0) << "the search itself still starts at 0";
    ASSERT_EQ(::rmdir((m_root + "/adapter0/frontend0").c_str()), 0);
    std::ofstream(m_root + "/adapter0/frontend0").put('x');
    EXPECT_EQ(dvbcard::ChooseAdapter(m_root.c_str()), 0) << "free again";
}

TEST_F(DvbRules, FirstTuneGoesToCableThenTerrestrialNeverSatellite)
{
    const auto first = [](std::initializer_list<std::uint32_t> systems) {
        return dvbcard::FirstTuneSystem(systems.begin(), static_cast<int>(systems.size()));
    };
    EXPECT_EQ(first({SYS_DVBT, SYS_DVBT2, SYS_DVBC_ANNEX_A, SYS_DVBS, SYS_DVBS2}),
              static_cast<std::uint32_t>(SYS_DVBC_ANNEX_A));
    EXPECT_EQ(first({SYS_DVBT2, SYS_DVBT}), static_cast<std::uint32_t>(SYS_DVBT));
    EXPECT_EQ(first({SYS_ATSC, SYS_DVBC_ANNEX_B}), static_cast<std::uint32_t>(SYS_DVBC_ANNEX_B));
    EXPECT_EQ(first({SYS_DVBS, SYS_DVBS2}), static_cast<std::uint32_t>(SYS_UNDEFINED));
    EXPECT_EQ(first({}), static_cast<std::uint32_t>(SYS_UNDEFINED));
}

}  // namespace

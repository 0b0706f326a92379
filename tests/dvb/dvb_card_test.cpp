// Tests of the Linux DVB card library against a real DVB device.
//
// DvbCard.* needs adapter 0 from the kernel's virtual DVB driver (vidtv),
// which tunes DVB-C, DVB-T/T2 and DVB-S/S2 from 51 MHz to 2150 MHz and reads
// back what was set; tests/vm/run.sh boots a VM with it. DvbNoAdapter.* runs
// on any machine without a DVB adapter.
#include "platform/card/card_library.h"
#include "platform/card/linux/dvb_card.h"
#include "tests/dvb/window_messages_double.h"

#include <gtest/gtest.h>

#include <libdvbv5/dvb-fe.h>
#include <linux/dvb/dmx.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t CableHz = 474000000;   // where vidtv's DVB-C locks
constexpr std::uint32_t CableSymbols = 6900000;

HWND Window(std::uintptr_t n)
{
    return reinterpret_cast<HWND>(n);
}

const HWND hDialog = Window(0x1001);

void QuietLog(int, const char*, ...) {}

bool AdapterPresent()
{
    struct stat st;
    return ::stat("/dev/dvb/adapter0/frontend0", &st) == 0;
}

// --- Another program on the same card ----------------------------------------

// A child process that holds the front end read-write, as a TV program would,
// and retunes it or routes a decoder PID when told.
class OtherProgram
{
public:
    enum Kind : std::uint32_t { Tune, VideoPid, Release, Quit };
    struct Command
    {
        Kind kind;
        std::uint32_t nSystem;
        std::uint32_t nFrequency;    // the front end's unit
        std::uint32_t nSymbolRate;   // symbols per second
        std::uint16_t wPid;
    };

    // Starts the program; the errno of its read-write open, or 0.
    int Start()
    {
        int toChild[2];
        int fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0)
            return errno;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(toChild[1]);
            ::close(fromChild[0]);
            Run(toChild[0], fromChild[1]);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        m_fdCommand = toChild[1];
        m_fdAnswer = fromChild[0];
        return Answer();
    }

    int Do(const Command& c)
    {
        if (::write(m_fdCommand, &c, sizeof c) != static_cast<ssize_t>(sizeof c))
            return EPIPE;
        return Answer();
    }

    int TuneTo(std::uint32_t nSystem, std::uint32_t nFrequency, std::uint32_t nSymbolRate)
    {
        return Do(Command{Tune, nSystem, nFrequency, nSymbolRate, 0});
    }

    int SetVideoPid(std::uint16_t wPid) { return Do(Command{VideoPid, 0, 0, 0, wPid}); }
    // Closes the front end but keeps the decoder filters.
    int LetGoOfFrontEnd() { return Do(Command{Release, 0, 0, 0, 0}); }

    ~OtherProgram()
    {
        if (m_pid <= 0)
            return;
        const Command quit{Quit, 0, 0, 0, 0};
        [[maybe_unused]] const ssize_t n = ::write(m_fdCommand, &quit, sizeof quit);
        ::close(m_fdCommand);
        ::close(m_fdAnswer);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }

private:
    int Answer()
    {
        pollfd p{m_fdAnswer, POLLIN, 0};
        std::int32_t nResult = ETIMEDOUT;
        if (::poll(&p, 1, 10000) == 1 && ::read(m_fdAnswer, &nResult, sizeof nResult) != sizeof nResult)
            nResult = EPIPE;
        return nResult;
    }

    [[noreturn]] static void Run(int fdCommand, int fdAnswer)
    {
        dvb_v5_fe_parms* fe = dvb_fe_open_flags(0, 0, 0, 0, QuietLog, O_RDWR);
        std::int32_t nResult = 0;
        if (fe == nullptr) {
            const int fd = ::open("/dev/dvb/adapter0/frontend0", O_RDWR | O_NONBLOCK);
            nResult = fd < 0 ? errno : EIO;
        }
        [[maybe_unused]] ssize_t n = ::write(fdAnswer, &nResult, sizeof nResult);
        if (fe == nullptr)
            ::_exit(1);
        int fdDemux = -1;
        Command c;
        while (::read(fdCommand, &c, sizeof c) == sizeof c && c.kind != Quit) {
            if (c.kind == Release) {
                dvb_fe_close(fe);
                fe = nullptr;
                nResult = 0;
            } else if (c.kind == Tune && fe == nullptr) {
                nResult = EBADF;
            } else if (c.kind == Tune) {
                const auto sys = static_cast<fe_delivery_system_t>(c.nSystem);
                nResult = dvb_set_sys(fe, sys);
                dvb_fe_store_parm(fe, DTV_FREQUENCY, c.nFrequency);
                dvb_fe_store_parm(fe, DTV_SYMBOL_RATE, c.nSymbolRate);
                dvb_fe_store_parm(fe, DTV_INNER_FEC, FEC_AUTO);
                dvb_fe_store_parm(fe, DTV_MODULATION, sys == SYS_DVBC_ANNEX_A ? QAM_256 : QPSK);
                if (nResult == 0)
                    nResult = dvb_fe_set_parms(fe);
            } else {
                if (fdDemux < 0)
                    fdDemux = ::open("/dev/dvb/adapter0/demux0", O_RDWR | O_NONBLOCK);
                dmx_pes_filter_params params{};
                params.pid = c.wPid;
                params.input = DMX_IN_FRONTEND;
                params.output = DMX_OUT_DECODER;
                params.pes_type = DMX_PES_VIDEO0;
                params.flags = DMX_IMMEDIATE_START;
                nResult = ::ioctl(fdDemux, DMX_SET_PES_FILTER, &params) == 0 ? 0 : errno;
            }
            n = ::write(fdAnswer, &nResult, sizeof nResult);
        }
        if (fe != nullptr)
            dvb_fe_close(fe);
        ::_exit(0);
    }

    pid_t m_pid = -1;
    int m_fdCommand = -1;
    int m_fdAnswer = -1;
};

// --- What the kernel holds, read past the library -----------------------------

struct KernelTuning
{
    std::uint32_t nSystem = 0;
    std::uint32_t nFrequency = 0;
    std::uint32_t nSymbolRate = 0;
};

KernelTuning ReadKernelTuning()
{
    KernelTuning t;
    dvb_v5_fe_parms* fe = dvb_fe_open_flags(0, 0, 0, 0, QuietLog, O_RDONLY);
    if (fe == nullptr) {
        ADD_FAILURE() << "cannot open the front end read-only";
        return t;
    }
    EXPECT_EQ(dvb_fe_get_parms(fe), 0);
    t.nSystem = fe->current_sys;
    dvb_fe_retrieve_parm(fe, DTV_FREQUENCY, &t.nFrequency);
    dvb_fe_retrieve_parm(fe, DTV_SYMBOL_RATE, &t.nSymbolRate);
    dvb_fe_close(fe);
    return t;
}

struct KernelPids
{
    std::uint16_t wAudio = 0;
    std::uint16_t wVideo = 0;
};

KernelPids ReadKernelPids()
{
    KernelPids k;
    const int fd = ::open("/dev/dvb/adapter0/demux0", O_RDONLY | O_NONBLOCK);
    std::uint16_t pids[5] = {};
    EXPECT_EQ(::ioctl(fd, DMX_GET_PES_PIDS, pids), 0);
    ::close(fd);
    k.wAudio = pids[0];
    k.wVideo = pids[1];
    return k;
}

// Puts the card on a known DVB-C multiplex, as another program would, and
// leaves it free.
void PutCardOn(std::uint32_t nSystem, std::uint32_t nFrequency, std::uint32_t nSymbolRate)
{
    OtherProgram tuner;
    ASSERT_EQ(tuner.Start(), 0);
    ASSERT_EQ(tuner.TuneTo(nSystem, nFrequency, nSymbolRate), 0);
}

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

#include "tests/dvb/dvb_test_support.h"

#include <gtest/gtest.h>

#include <libdvbv5/dvb-fe.h>
#include <linux/dvb/dmx.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace dvbtest {
namespace {

void QuietLog(int, const char*, ...) {}

}  // namespace

bool AdapterPresent()
{
    struct stat st;
    return ::stat("/dev/dvb/adapter0/frontend0", &st) == 0;
}

// --- Another program on the same card ----------------------------------------

namespace {

[[noreturn]] void RunOtherProgram(int fdCommand, int fdAnswer)
{
    using Command = OtherProgram::Command;
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
    while (::read(fdCommand, &c, sizeof c) == sizeof c && c.kind != OtherProgram::Quit) {
        if (c.kind == OtherProgram::Release) {
            dvb_fe_close(fe);
            fe = nullptr;
            nResult = 0;
        } else if (c.kind == OtherProgram::Tune && fe == nullptr) {
            nResult = EBADF;
        } else if (c.kind == OtherProgram::Tune) {
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

}  // namespace

int OtherProgram::Start()
{
    int toChild[2];
    int fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0)
        return errno;
    m_pid = ::fork();
    if (m_pid == 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        RunOtherProgram(toChild[0], fromChild[1]);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    m_fdCommand = toChild[1];
    m_fdAnswer = fromChild[0];
    return Answer();
}

int OtherProgram::Do(const Command& c)
{
    if (::write(m_fdCommand, &c, sizeof c) != static_cast<ssize_t>(sizeof c))
        return EPIPE;
    return Answer();
}

int OtherProgram::TuneTo(std::uint32_t nSystem, std::uint32_t nFrequency, std::uint32_t nSymbolRate)
{
    return Do(Command{Tune, nSystem, nFrequency, nSymbolRate, 0});
}

int OtherProgram::SetVideoPid(std::uint16_t wPid)
{
    return Do(Command{VideoPid, 0, 0, 0, wPid});
}

int OtherProgram::LetGoOfFrontEnd()
{
    return Do(Command{Release, 0, 0, 0, 0});
}

OtherProgram::~OtherProgram()
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

int OtherProgram::Answer()
{
    pollfd p{m_fdAnswer, POLLIN, 0};
    std::int32_t nResult = ETIMEDOUT;
    if (::poll(&p, 1, 10000) == 1 && ::read(m_fdAnswer, &nResult, sizeof nResult) != sizeof nResult)
        nResult = EPIPE;
    return nResult;
}

// --- What the kernel holds, read past the library -----------------------------

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

void PutCardOn(std::uint32_t nSystem, std::uint32_t nFrequency, std::uint32_t nSymbolRate)
{
    OtherProgram tuner;
    ASSERT_EQ(tuner.Start(), 0);
    ASSERT_EQ(tuner.TuneTo(nSystem, nFrequency, nSymbolRate), 0);
}

}  // namespace dvbtest

#include "tests/dvb/dvb_test_support.h"

#include <gtest/gtest.h>

#include <libdvbv5/dvb-fe.h>
#include <linux/dvb/dmx.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dvbtest {
namespace {

void QuietLog(int, const char*, ...) {}

}  // namespace

int TestAdapter()
{
    const char* psz = std::getenv("TAVRIK_TEST_ADAPTER");
    return psz != nullptr ? std::atoi(psz) : 0;
}

std::string DevicePath(const char* pszDevice)
{
    return "/dev/dvb/adapter" + std::to_string(TestAdapter()) + "/" + pszDevice;
}

bool AdapterPresent()
{
    struct stat st;
    return ::stat(DevicePath("frontend0").c_str(), &st) == 0;
}

bool AnyAdapterPresent()
{
    DIR* dir = ::opendir("/dev/dvb");
    if (dir == nullptr)
        return false;
    bool bFound = false;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st;
        const std::string path = std::string("/dev/dvb/") + entry->d_name + "/frontend0";
        bFound = bFound || ::stat(path.c_str(), &st) == 0;
    }
    ::closedir(dir);
    return bFound;
}

// --- Another program on the same card ----------------------------------------

namespace {

[[noreturn]] void RunOtherProgram(int fdCommand, int fdAnswer)
{
    using Command = OtherProgram::Command;
    dvb_v5_fe_parms* fe = dvb_fe_open_flags(TestAdapter(), 0, 0, 0, QuietLog, O_RDWR);
    std::int32_t nResult = 0;
    if (fe == nullptr) {
        const int fd = ::open(DevicePath("frontend0").c_str(), O_RDWR | O_NONBLOCK);
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
                fdDemux = ::open(DevicePath("demux0").c_str(), O_RDWR | O_NONBLOCK);
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

// Straight from the kernel, one property at a time: a front end that has
// never been tuned refuses some (EINVAL), and those read 0.
KernelTuning ReadKernelTuning()
{
    KernelTuning t;
    const int fd = ::open(DevicePath("frontend0").c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open the front end read-only";
        return t;
    }
    const auto get = [fd](std::uint32_t cmd, std::uint32_t& value) {
        dtv_property prop{};
        prop.cmd = cmd;
        dtv_properties props{1, &prop};
        if (::ioctl(fd, FE_GET_PROPERTY, &props) == 0)
            value = prop.u.data;
    };
    get(DTV_DELIVERY_SYSTEM, t.nSystem);
    get(DTV_FREQUENCY, t.nFrequency);
    get(DTV_SYMBOL_RATE, t.nSymbolRate);
    get(DTV_MODULATION, t.nModulation);
    get(DTV_INVERSION, t.nInversion);
    ::close(fd);
    return t;
}

KernelPids ReadKernelPids()
{
    KernelPids k;
    const int fd = ::open(DevicePath("demux0").c_str(), O_RDONLY | O_NONBLOCK);
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
    // The kernel tunes on its front-end thread, which ends when the last
    // read-write handle closes: a tune it has not reached by then is lost
    // (FE_READ_STATUS reads 0 until the next tune). So the tuner stays until
    // the front end locks (or a second has passed, where nothing locks).
    const int fd = ::open(DevicePath("frontend0").c_str(), O_RDONLY | O_NONBLOCK);
    for (int i = 0; i < 50 && fd >= 0; ++i) {
        fe_status_t status{};
        if (::ioctl(fd, FE_READ_STATUS, &status) == 0 && (status & FE_HAS_LOCK))
            break;
        ::usleep(20000);
    }
    if (fd >= 0)
        ::close(fd);
}

void ForgetTuning()
{
    ForgetTuningOn(SYS_DVBT);
}

void ForgetTuningOn(std::uint32_t nSystem)
{
    const int fd = ::open(DevicePath("frontend0").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0) << "the front end is not free";
    dtv_property props[2] = {};
    props[0].cmd = DTV_DELIVERY_SYSTEM;
    props[0].u.data = nSystem;
    props[1].cmd = DTV_CLEAR;
    dtv_properties all{2, props};
    EXPECT_EQ(::ioctl(fd, FE_SET_PROPERTY, &all), 0);
    ::close(fd);
    ASSERT_EQ(ReadKernelTuning().nFrequency, 0u);
}

// --- The DVR device ------------------------------------------------------------

std::map<std::uint16_t, unsigned> CountDvrPackets(std::chrono::milliseconds settling,
                                                  std::chrono::milliseconds counting,
                                                  std::vector<std::uint8_t>* pCapture)
{
    std::map<std::uint16_t, unsigned> packets;
    const int fd = ::open(DevicePath("dvr0").c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open the DVR device: errno " << errno;
        return packets;
    }
    using Clock = std::chrono::steady_clock;
    const auto countFrom = Clock::now() + settling;
    const auto end = countFrom + counting;
    std::vector<std::uint8_t> pending;
    std::uint8_t buf[188 * 64];
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        if (::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100))) <= 0)
            continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            continue;   // EOVERFLOW: the buffer overran; go on
        if (Clock::now() < countFrom)
            continue;
        pending.insert(pending.end(), buf, buf + n);
        std::size_t i = 0;
        for (; i + 188 <= pending.size(); i += 188) {
            if (pending[i] != 0x47) {
                ADD_FAILURE() << "lost TS packet sync on the DVR device";
                ::close(fd);
                return packets;
            }
            ++packets[static_cast<std::uint16_t>(((pending[i + 1] & 0x1f) << 8) | pending[i + 2])];
            if (pCapture != nullptr)
                pCapture->insert(pCapture->end(), pending.begin() + i, pending.begin() + i + 188);
        }
        pending.erase(pending.begin(), pending.begin() + i);
    }
    ::close(fd);
    return packets;
}

std::string Describe(const std::map<std::uint16_t, unsigned>& packets)
{
    std::string s;
    for (const auto& [wPid, n] : packets) {
        char sz[32];
        std::snprintf(sz, sizeof sz, "%s0x%04x: %u", s.empty() ? "" : ", ", wPid, n);
        s += sz;
    }
    return s.empty() ? "none" : s;
}

// --- Another user ----------------------------------------------------------------

int RunAsUser(unsigned id, const std::function<int()>& fn)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0)
            ::_exit(255);
        ::_exit(fn() & 0xff);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) == 255)
        return -1;
    return WEXITSTATUS(status);
}

// --- Counting the tuner's tunes ------------------------------------------------------

long TunerTunes()
{
    static const std::string tracing = [] {
        const std::string dir = "/sys/kernel/tracing";
        if (::access((dir + "/kprobe_events").c_str(), W_OK) != 0 &&
            ::mount("tracefs", dir.c_str(), "tracefs", 0, nullptr) != 0)
            std::printf("tracefs: mount failed, errno %d\n", errno);
        // The probe, on the symbol alone or with its module's name.
        bool bSet = false;
        for (const char* probe : {"p:tavrik/tune vidtv_tuner_set_params\n",
                                  "p:tavrik/tune dvb_vidtv_tuner:vidtv_tuner_set_params\n"}) {
            const int fd = ::open((dir + "/kprobe_events").c_str(), O_WRONLY | O_APPEND);
            const ssize_t n = fd >= 0 ? ::write(fd, probe, std::strlen(probe)) : -1;
            if (n < 0)
                std::printf("tracefs: kprobe_events refused %s(errno %d)\n", probe, errno);
            if (fd >= 0)
                ::close(fd);
            if ((bSet = n > 0))
                break;
        }
        if (!bSet) {
            std::ifstream symbols("/proc/kallsyms");
            for (std::string line; std::getline(symbols, line);)
                if (line.find("vidtv_tuner_set") != std::string::npos)
                    std::printf("tracefs: kallsyms has %s\n", line.c_str());
        }
        std::ofstream enable(dir + "/events/tavrik/tune/enable");
        enable << "1" << std::flush;
        if (!enable.good())
            std::printf("tracefs: the probe could not be enabled\n");
        return dir;
    }();
    std::ifstream profile(tracing + "/kprobe_profile");
    std::string name;
    long nHits = 0;
    long nMisses = 0;
    // One line a probe: its event's name (without the group), hits, misses.
    while (profile >> name >> nHits >> nMisses)
        if (name == "tune" || name == "tavrik/tune")
            return nHits;
    return -1;
}

long SettledTunerTunes()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    long n = TunerTunes();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline &&
           std::chrono::steady_clock::now() - since < std::chrono::milliseconds(300)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (const long now = TunerTunes(); now != n) {
            n = now;
            since = std::chrono::steady_clock::now();
        }
    }
    return n;
}

}  // namespace dvbtest

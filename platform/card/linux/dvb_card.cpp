#include "platform/card/linux/dvb_card.h"

#include "platform/card/card_library.h"
#include "platform/ui/winapi.h"

#include <libdvbv5/dvb-fe.h>
#include <linux/dvb/dmx.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <thread>

namespace dvbcard {
namespace {

constexpr int Adapter = 0;
constexpr const char* FrontendPath = "/dev/dvb/adapter0/frontend0";
constexpr const char* DemuxPath = "/dev/dvb/adapter0/demux0";
constexpr const char* ProgramChangedMessage = "WM_DVB_PROGRAM_CHANGED";

constexpr std::uint16_t MaxPid = 8191;
constexpr std::uint16_t NoPid = 0xffff;
// Slots of DMX_GET_PES_PIDS.
constexpr int AudioSlot = 0;
constexpr int VideoSlot = 1;

// libdvbv5 reports on stdout and stderr by default; a desktop tool reports
// through its results instead.
void QuietLog(int, const char*, ...) {}

bool IsSatellite(std::uint32_t nSystem)
{
    switch (nSystem) {
    case SYS_DVBS:
    case SYS_DVBS2:
    case SYS_TURBO:
    case SYS_ISDBS:
    case SYS_DSS:
        return true;
    default:
        return false;
    }
}

// Hz -> kHz and Sym/s -> kSym/s, to the nearest.
std::uint32_t Thousands(std::uint32_t n)
{
    return static_cast<std::uint32_t>((std::uint64_t{n} + 500) / 1000);
}

// Maps an errno value of a decoder or front-end call to its result. Drivers
// return kernel-internal codes too (524, ENOTSUPP), so anything not known
// here counts as "not supported".
CCommonDVB::ErrReturn ResultOf(int nErrno)
{
    switch (nErrno) {
    case EINVAL:
    case ERANGE:
        return ResRefused;
    case EPERM:
    case EACCES:
        return ResReadOnly;
    case ENODEV:
    case ENXIO:
    case EIO:
    case EBADF:
    case EFAULT:
    case ENOMEM:
    case EAGAIN:
    case EBUSY:
    case ETIMEDOUT:
    case EINTR:
        return ResDeviceError;
    default:
        return ResNotSupported;
    }
}

// What the watcher compares: the values the tool shows, and the delivery
// system that gives the frequency its unit.
struct Reading
{
    std::uint32_t nSystem = 0;
    std::uint32_t nFrequency = 0;    // the front end's own unit
    std::uint32_t nSymbolRate = 0;   // symbols per second
    bool bHasSymbolRate = false;
    std::uint16_t wAudioPid = NoPid;
    std::uint16_t wVideoPid = NoPid;

    bool operator==(const Reading& o) const
    {
        return nSystem == o.nSystem && nFrequency == o.nFrequency && nSymbolRate == o.nSymbolRate &&
               bHasSymbolRate == o.bHasSymbolRate && wAudioPid == o.wAudioPid &&
               wVideoPid == o.wVideoPid;
    }
    bool operator!=(const Reading& o) const { return !(*this == o); }
};

// The one board. Every device access happens under m_mutex, from the
// user-interface thread or from the watcher.
class Board
{
public:
    ~Board()
    {
        StopWatcher();
        Release();
    }

    DVBErrReturn Open(HWND hWnd);
    DVBErrReturn Close(HWND hWnd);

    CCommonDVB::ErrReturn GetPid(int nSlot, std::uint16_t& wPid);
    CCommonDVB::ErrReturn SetPid(dmx_pes_type_t type, std::uint16_t wPid);
    CCommonDVB::ErrReturn GetFrequency(std::uint32_t& nFrequency);
    CCommonDVB::ErrReturn GetSymbolRate(std::uint32_t& nSymbolRate);
    CCommonDVB::ErrReturn SetFrequency(std::uint32_t nFrequency, int nFlags);

private:
    int ReadFrontend(Reading& r);
    // The front end's reading, if the board is open (the lock held).
    CCommonDVB::ErrReturn ReadOpenFrontend(Reading& r);
    int ReadPids(std::uint16_t pids[5]);
    bool Read(Reading& r);
    int ApplyPid(int fd, dmx_pes_type_t type, std::uint16_t wPid);
    void Watch();
    void StopWatcher();
    int Release();

    std::mutex m_mutex;
    bool m_bOpen = false;
    bool m_bReadOnly = false;
    HWND m_hWnd = nullptr;
    UINT m_nMessage = 0;
    dvb_v5_fe_parms* m_pFrontend = nullptr;
    int m_fdVideo = -1;   // the video PES filter (read-write only)
    int m_fdAudio = -1;   // the audio PES filter (read-write only)
    int m_fdQuery = -1;   // the handle the PID table is read through
    std::uint16_t m_wAppliedVideo = NoPid;
    std::uint16_t m_wAppliedAudio = NoPid;

    Reading m_last;       // what the window was last told about
    std::thread m_watcher;
    std::condition_variable m_wake;
    bool m_bStop = false;
};

Board& TheBoard()
{
    static Board board;
    return board;
}

// The errno of opening the front end with these flags, 0 if it opens. Tells
// the user why libdvbv5 could not open it (it reports only "failed").
int ProbeFrontend(int nFlags)
{
    const int fd = ::open(FrontendPath, nFlags | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

DVBErrReturn Board::Open(HWND hWnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bOpen)
        return ErrAlreadyOpen;

    m_nMessage = ::RegisterWindowMessageA(ProgramChangedMessage);
    m_bReadOnly = false;
    // A read-only look first: it disturbs no other program, and without a
    // device there is nothing to hand to libdvbv5.
    if (const int nErr = ProbeFrontend(O_RDONLY))
        return static_cast<DVBErrReturn>(nErr);
    m_pFrontend = dvb_fe_open_flags(Adapter, 0, 0, 0, QuietLog, O_RDWR);
    if (m_pFrontend == nullptr) {
        const int nErr = ProbeFrontend(O_RDWR);
        if (nErr != EBUSY)
            return nErr != 0 ? static_cast<DVBErrReturn>(nErr) : ErrFrontend;
        // Another program tunes the card: watch it read-only.
        m_pFrontend = dvb_fe_open_flags(Adapter, 0, 0, 0, QuietLog, O_RDONLY);
        if (m_pFrontend == nullptr) {
            const int nErrRo = ProbeFrontend(O_RDONLY);
            return nErrRo != 0 ? static_cast<DVBErrReturn>(nErrRo) : ErrFrontend;
        }
        m_bReadOnly = true;
    }

    if (m_bReadOnly) {
        // A monitor only reads the PID table; without it the PID getters fail.
        m_fdQuery = ::open(DemuxPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } else {
        m_fdVideo = ::open(DemuxPath, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (m_fdVideo >= 0)
            m_fdAudio = ::open(DemuxPath, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (m_fdVideo < 0 || m_fdAudio < 0) {
            const int nErr = errno;
            Release();
            return static_cast<DVBErrReturn>(nErr);
        }
        m_fdQuery = m_fdVideo;
    }
    m_wAppliedVideo = m_wAppliedAudio = NoPid;

    m_bOpen = true;
    m_hWnd = hWnd;
    m_last = Reading{};
    Read(m_last);
    m_bStop = false;
    m_watcher = std::thread(&Board::Watch, this);
    return m_bReadOnly ? ErrBusy : 0;
}

DVBErrReturn Board::Close(HWND hWnd)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bOpen)
            return 0;
        if (hWnd != m_hWnd)
            return ErrWrongWindow;
    }
    StopWatcher();
    std::lock_guard<std::mutex> lock(m_mutex);
    const int nErr = Release();
    return static_cast<DVBErrReturn>(nErr);
}

// Releases what the open acquired; the errno of the first handle that failed
// to close, or 0. Called with m_mutex held (or from the destructor).
int Board::Release()
{
    int nErr = 0;
    for (int* pfd : {&m_fdVideo, &m_fdAudio}) {
        if (*pfd >= 0 && ::close(*pfd) != 0 && nErr == 0)
            nErr = errno;
        *pfd = -1;
    }
    if (m_bReadOnly && m_fdQuery >= 0 && ::close(m_fdQuery) != 0 && nErr == 0)
        nErr = errno;
    m_fdQuery = -1;
    if (m_pFrontend != nullptr)
        dvb_fe_close(m_pFrontend);
    m_pFrontend = nullptr;
    m_bOpen = false;
    m_bReadOnly = false;
    m_hWnd = nullptr;
    return nErr;
}

void Board::StopWatcher()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_wake.notify_all();
    if (m_watcher.joinable())
        m_watcher.join();
}

void Board::Watch()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait_for(lock, std::chrono::milliseconds(WatchIntervalMs), [this] { return m_bStop; });
        if (m_bStop)
            return;
        Reading now;
        // A failed read is not a change: the window keeps what it shows.
        if (!Read(now) || now == m_last)
            continue;
        m_last = now;
        const HWND hWnd = m_hWnd;
        const UINT nMessage = m_nMessage;
        lock.unlock();
        ::PostMessageA(hWnd, nMessage, 0, 0);
        lock.lock();
    }
}

// Reads the front end's current parameters into r; 0 or an errno value.
int Board::ReadFrontend(Reading& r)
{
    dvb_v5_fe_parms* fe = m_pFrontend;
    int nRet = dvb_fe_get_parms(fe);
    if (nRet != 0)
        return nRet < 0 ? -nRet : nRet;
    std::uint32_t nSystem = fe->current_sys;
    dvb_fe_retrieve_parm(fe, DTV_DELIVERY_SYSTEM, &nSystem);
    if (nSystem != static_cast<std::uint32_t>(fe->current_sys)) {
        // Another program switched the delivery system, which changes the
        // parameter set (and the frequency's unit). Follow it.
        if (m_bReadOnly) {
            // A read-only handle cannot select a system; a fresh one starts
            // on the current system.
            dvb_v5_fe_parms* fresh = dvb_fe_open_flags(Adapter, 0, 0, 0, QuietLog, O_RDONLY);
            if (fresh == nullptr)
                return ENODEV;
            dvb_fe_close(fe);
            m_pFrontend = fe = fresh;
        } else if ((nRet = dvb_set_sys(fe, static_cast<fe_delivery_system_t>(nSystem))) != 0) {
            return nRet < 0 ? -nRet : nRet;
        }
        nRet = dvb_fe_get_parms(fe);
        if (nRet != 0)
            return nRet < 0 ? -nRet : nRet;
    }
    r.nSystem = fe->current_sys;
    if (dvb_fe_retrieve_parm(fe, DTV_FREQUENCY, &r.nFrequency) != 0)
        return EOPNOTSUPP;
    r.bHasSymbolRate = dvb_fe_retrieve_parm(fe, DTV_SYMBOL_RATE, &r.nSymbolRate) == 0;
    if (!r.bHasSymbolRate)
        r.nSymbolRate = 0;
    return 0;
}

int Board::ReadPids(std::uint16_t pids[5])
{
    if (m_fdQuery < 0)
        return EBADF;
    if (::ioctl(m_fdQuery, DMX_GET_PES_PIDS, pids) != 0)
        return errno;
    return 0;
}

bool Board::Read(Reading& r)
{
    if (ReadFrontend(r) != 0)
        return false;
    std::uint16_t pids[5];
    if (m_fdQuery >= 0) {
        if (ReadPids(pids) != 0)
            return false;
        r.wAudioPid = pids[AudioSlot];
        r.wVideoPid = pids[VideoSlot];
    }
    return true;
}

CCommonDVB::ErrReturn Board::GetPid(int nSlot, std::uint16_t& wPid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOpen)
        return ResNotOpen;
    std::uint16_t pids[5];
    const int nErr = ReadPids(pids);
    if (nErr != 0)
        return ResultOf(nErr);
    // 0xffff: never set; the kernel marks a released filter's PID with 0x8000.
    if (pids[nSlot] > MaxPid)
        return ResNoPid;
    wPid = pids[nSlot];
    return CCommonDVB::Success;
}

int Board::ApplyPid(int fd, dmx_pes_type_t type, std::uint16_t wPid)
{
    dmx_pes_filter_params params{};
    params.pid = wPid;
    params.input = DMX_IN_FRONTEND;
    params.output = DMX_OUT_DECODER;
    params.pes_type = type;
    params.flags = DMX_IMMEDIATE_START;
    return ::ioctl(fd, DMX_SET_PES_FILTER, &params) == 0 ? 0 : errno;
}

CCommonDVB::ErrReturn Board::SetPid(dmx_pes_type_t type, std::uint16_t wPid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOpen)
        return ResNotOpen;
    if (wPid > MaxPid)
        return ResOutOfRange;
    if (m_bReadOnly)
        return ResReadOnly;
    const bool bVideo = type == DMX_PES_VIDEO0;
    const int fd = bVideo ? m_fdVideo : m_fdAudio;
    std::uint16_t& wApplied = bVideo ? m_wAppliedVideo : m_wAppliedAudio;
    const int nErr = ApplyPid(fd, type, wPid);
    if (nErr != 0) {
        // Setting a filter stops it first: put the last PID back, so a
        // refused value leaves the decoder as it was.
        if (wApplied != NoPid)
            ApplyPid(fd, type, wApplied);
        return ResultOf(nErr);
    }
    wApplied = wPid;
    // Our own change: the watcher must not report it (but still reports
    // what others changed meanwhile).
    std::uint16_t pids[5];
    if (ReadPids(pids) == 0)
        (bVideo ? m_last.wVideoPid : m_last.wAudioPid) = pids[bVideo ? VideoSlot : AudioSlot];
    return CCommonDVB::Success;
}

CCommonDVB::ErrReturn Board::ReadOpenFrontend(Reading& r)
{
    if (!m_bOpen)
        return ResNotOpen;
    const int nErr = ReadFrontend(r);
    return nErr != 0 ? ResultOf(nErr) : CCommonDVB::Success;
}

CCommonDVB::ErrReturn Board::GetFrequency(std::uint32_t& nFrequency)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Reading r;
    const CCommonDVB::ErrReturn result = ReadOpenFrontend(r);
    if (result != CCommonDVB::Success)
        return result;
    nFrequency = IsSatellite(r.nSystem) ? r.nFrequency : Thousands(r.nFrequency);
    return CCommonDVB::Success;
}

CCommonDVB::ErrReturn Board::GetSymbolRate(std::uint32_t& nSymbolRate)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Reading r;
    const CCommonDVB::ErrReturn result = ReadOpenFrontend(r);
    if (result != CCommonDVB::Success)
        return result;
    if (!r.bHasSymbolRate)
        return ResNotSupported;
    nSymbolRate = Thousands(r.nSymbolRate);
    return CCommonDVB::Success;
}

CCommonDVB::ErrReturn Board::SetFrequency(std::uint32_t nFrequency, int nFlags)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOpen)
        return ResNotOpen;
    if (nFlags != KeepOtherParameters)
        return ResBadFlags;
    if (m_bReadOnly)
        return ResReadOnly;

    // Fresh parameters, so everything but the frequency stays as it is.
    Reading before;
    int nErr = ReadFrontend(before);
    if (nErr != 0)
        return ResultOf(nErr);

    std::uint64_t nTarget = nFrequency;
    if (!IsSatellite(before.nSystem))
        nTarget *= 1000;   // kHz -> Hz
    const dvb_frontend_info& info = m_pFrontend->info;
    if (nTarget > UINT32_MAX || nTarget < info.frequency_min ||
        (info.frequency_max != 0 && nTarget > info.frequency_max))
        return ResOutOfRange;

    dvb_fe_store_parm(m_pFrontend, DTV_FREQUENCY, static_cast<std::uint32_t>(nTarget));
    nErr = dvb_fe_set_parms(m_pFrontend);
    if (nErr != 0) {
        nErr = nErr < 0 ? -nErr : nErr;
        // The kernel stores properties one by one before it tunes: put the
        // old frequency back, so a refused retune leaves the card as it was.
        dvb_fe_store_parm(m_pFrontend, DTV_FREQUENCY, before.nFrequency);
        dvb_fe_set_parms(m_pFrontend);
        return ResultOf(nErr);
    }
    // Our own change: the watcher must not report it.
    Reading after;
    if (ReadFrontend(after) == 0) {
        m_last.nSystem = after.nSystem;
        m_last.nFrequency = after.nFrequency;
        m_last.nSymbolRate = after.nSymbolRate;
        m_last.bHasSymbolRate = after.bHasSymbolRate;
    }
    return CCommonDVB::Success;
}

}  // namespace
}  // namespace dvbcard

using dvbcard::TheBoard;

DVBErrReturn DVB_OpenBoard(HWND hWnd)
{
    return TheBoard().Open(hWnd);
}

DVBErrReturn DVB_CloseBoard(HWND hWnd)
{
    return TheBoard().Close(hWnd);
}

// All state lives in the one board; the objects only give access to it.
CMPEGDecoder::CMPEGDecoder() = default;
CMPEGDecoder::~CMPEGDecoder() = default;

CCommonDVB::ErrReturn CMPEGDecoder::GetAudioPid(std::uint16_t& wPid)
{
    return TheBoard().GetPid(dvbcard::AudioSlot, wPid);
}

CCommonDVB::ErrReturn CMPEGDecoder::GetVideoPID(std::uint16_t& wPid)
{
    return TheBoard().GetPid(dvbcard::VideoSlot, wPid);
}

CCommonDVB::ErrReturn CMPEGDecoder::SetAudioPID(std::uint16_t wPid)
{
    return TheBoard().SetPid(DMX_PES_AUDIO0, wPid);
}

CCommonDVB::ErrReturn CMPEGDecoder::SetVideoPID(std::uint16_t wPid)
{
    return TheBoard().SetPid(DMX_PES_VIDEO0, wPid);
}

CFrontend::CFrontend() = default;
CFrontend::~CFrontend() = default;

CCommonDVB::ErrReturn CFrontend::GetFrequency(std::uint32_t& nFrequency)
{
    return TheBoard().GetFrequency(nFrequency);
}

CCommonDVB::ErrReturn CFrontend::GetSymbolrate(std::uint32_t& nSymbolRate)
{
    return TheBoard().GetSymbolRate(nSymbolRate);
}

CCommonDVB::ErrReturn CFrontend::SetFrequency(std::uint32_t nFrequency, int nFlags)
{
    return TheBoard().SetFrequency(nFrequency, nFlags);
}

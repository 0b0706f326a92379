#include "platform/card/linux/dvb_card.h"

#include "platform/card/card_library.h"
#include "platform/ui/winapi.h"

#include <libdvbv5/dvb-demux.h>
#include <libdvbv5/descriptors.h>
#include <libdvbv5/dvb-fe.h>
#include <libdvbv5/header.h>
#include <libdvbv5/pat.h>
#include <libdvbv5/pmt.h>
#include <linux/dvb/dmx.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace dvbcard {
namespace {

constexpr const char* DvbRoot = "/dev/dvb";
constexpr const char* ProgramChangedMessage = "WM_DVB_PROGRAM_CHANGED";

constexpr std::uint16_t MaxPid = 8191;
constexpr std::uint16_t NoPid = 0xffff;
// The demux's "every packet" PID. A decoder filter on it whose packets go
// to the (absent) decoder routes nothing; the library uses it to find out
// whether a decoder slot is taken, and leaves it in the slot's table entry,
// where it reads as "no PID".
constexpr std::uint16_t AllPids = 0x2000;
constexpr std::uint16_t PatPid = 0;
// Slots of DMX_GET_PES_PIDS.
constexpr int AudioSlot = 0;
constexpr int VideoSlot = 1;
// How long the program tables may take to arrive after a change (they
// repeat at least every 100 ms on air), and how often to try.
constexpr int TableTimeoutMs = 1500;
constexpr int TableAttempts = 3;
// PMT section filters open at once.
constexpr std::size_t PmtBatch = 16;

// libdvbv5 reports on stdout and stderr by default; a desktop tool reports
// through its results instead.
void QuietLog(int, const char*, ...) {}

std::string DevicePath(int nAdapter, const char* pszDevice)
{
    return std::string(DvbRoot) + "/adapter" + std::to_string(nAdapter) + "/" + pszDevice;
}

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

bool IsCable(std::uint32_t nSystem)
{
    switch (nSystem) {
    case SYS_DVBC_ANNEX_A:
    case SYS_DVBC_ANNEX_B:
    case SYS_DVBC_ANNEX_C:
    case SYS_ISDBC:
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
// system that gives the frequency its unit. A front end that has never been
// tuned reads frequency 0.
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

// The program tables routed to the DVR device with the selected PIDs.
struct TableRoute
{
    std::uint16_t wPat = NoPid;
    std::uint16_t wPmt[2] = {NoPid, NoPid};
};

// What the multiplex's PMTs list: for each program, its PMT PID and the PIDs
// it carries (its streams and its PCR).
struct ProgramMap
{
    struct Program
    {
        std::uint16_t wPmtPid;
        std::vector<std::uint16_t> pids;
    };
    std::vector<Program> programs;

    // The PMT PID of the first program that carries wPid; NoPid if none.
    std::uint16_t PmtFor(std::uint16_t wPid) const
    {
        for (const Program& p : programs)
            if (std::find(p.pids.begin(), p.pids.end(), wPid) != p.pids.end())
                return p.wPmtPid;
        return NoPid;
    }
};

// The one board. Every device access happens under m_mutex, from the
// user-interface thread, the watcher or the table router; only the router's
// waits for program tables happen outside it, on handles of their own.
class Board
{
public:
    ~Board()
    {
        StopThreads();
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
    DVBErrReturn OpenDemux();
    int ReadFrontend(Reading& r);
    // The front end's reading, if the board is open (the lock held).
    CCommonDVB::ErrReturn ReadOpenFrontend(Reading& r);
    int ReadPids(std::uint16_t wPids[2]);
    bool Read(Reading& r);
    CCommonDVB::ErrReturn TuneFirstTime(std::uint32_t nFrequency);
    void TakeOwnTuning();
    bool InRange(std::uint64_t nHz) const;
    int QueryFd() const { return m_bReadOnly ? m_fdQuery : m_fdProbe; }
    void RouteSelection();
    void ApplyTableRoute(const TableRoute& want);
    void Watch();
    void RouteTables();
    void StopThreads();
    int Release();

    std::mutex m_mutex;
    bool m_bOpen = false;
    bool m_bReadOnly = false;
    HWND m_hWnd = nullptr;
    UINT m_nMessage = 0;
    int m_nAdapter = -1;
    std::string m_demuxPath;
    dvb_v5_fe_parms* m_pFrontend = nullptr;
    bool m_bInfoInKhz = false;   // m_pFrontend->info's frequencies
    int m_fdVideo = -1;   // the video PES filter (read-write only)
    int m_fdAudio = -1;   // the audio PES filter (read-write only)
    int m_fdProbe = -1;   // finds out whether a decoder slot is taken (read-write only)
    int m_fdPat = -1;     // the PAT to the DVR device (read-write only)
    int m_fdPmt[2] = {-1, -1};   // the selected programs' PMTs (read-write only)
    int m_fdQuery = -1;   // the monitor's read-only handle
    int m_fdFrontend = -1;   // a read-only front-end handle of our own
    int m_fdStop = -1;    // eventfd: ends the router's waits for tables
    std::uint16_t m_wAppliedVideo = NoPid;
    std::uint16_t m_wAppliedAudio = NoPid;
    TableRoute m_routed;
    ProgramMap m_map;           // of the multiplex the card is on
    bool m_bMapValid = false;   // false until read after each tune
    bool m_bNeedMap = false;    // for the router: read it
    unsigned m_nTuning = 0;     // counts our tunes

    Reading m_last;       // what the window was last told about
    std::thread m_watcher;
    std::thread m_router;
    std::condition_variable m_wake;
    std::condition_variable m_routerWake;
    bool m_bStop = false;
};

Board& TheBoard()
{
    static Board board;
    return board;
}

// The errno of opening the device with these flags, 0 if it opens. Tells
// the user why libdvbv5 could not open it (it reports only "failed").
int ProbeDevice(const std::string& path, int nFlags)
{
    const int fd = ::open(path.c_str(), nFlags | O_NONBLOCK | O_CLOEXEC);
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
    m_nAdapter = FindAdapter(DvbRoot);
    if (m_nAdapter < 0)
        return ErrNoAdapter;
    const std::string frontendPath = DevicePath(m_nAdapter, "frontend0");
    m_demuxPath = DevicePath(m_nAdapter, "demux0");

    // A read-only look first: it disturbs no other program, and without a
    // device there is nothing to hand to libdvbv5.
    if (const int nErr = ProbeDevice(frontendPath, O_RDONLY))
        return static_cast<DVBErrReturn>(nErr);
    DVBErrReturn nResult = 0;
    m_pFrontend = dvb_fe_open_flags(m_nAdapter, 0, 0, 0, QuietLog, O_RDWR);
    if (m_pFrontend == nullptr) {
        const int nErr = ProbeDevice(frontendPath, O_RDWR);
        if (nErr == EBUSY)
            nResult = ErrBusy;   // another program tunes the card
        else if (nErr == EACCES || nErr == EPERM)
            nResult = ErrNoWriteAccess;   // this user may only look
        else
            return nErr != 0 ? static_cast<DVBErrReturn>(nErr) : ErrFrontend;
        // Watch it read-only.
        m_pFrontend = dvb_fe_open_flags(m_nAdapter, 0, 0, 0, QuietLog, O_RDONLY);
        if (m_pFrontend == nullptr) {
            const int nErrRo = ProbeDevice(frontendPath, O_RDONLY);
            return nErrRo != 0 ? static_cast<DVBErrReturn>(nErrRo) : ErrFrontend;
        }
        m_bReadOnly = true;
    }

    m_bInfoInKhz = IsSatellite(m_pFrontend->current_sys);
    m_fdFrontend = ::open(frontendPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (const DVBErrReturn nErr = OpenDemux()) {
        Release();
        return nErr;
    }
    m_wAppliedVideo = m_wAppliedAudio = NoPid;
    m_routed = TableRoute{};
    m_map = ProgramMap{};
    m_bMapValid = m_bNeedMap = false;

    m_bOpen = true;
    m_hWnd = hWnd;
    m_last = Reading{};
    Read(m_last);
    m_bStop = false;
    m_watcher = std::thread(&Board::Watch, this);
    pthread_setname_np(m_watcher.native_handle(), "tavrik-watch");
    if (!m_bReadOnly) {
        m_router = std::thread(&Board::RouteTables, this);
        pthread_setname_np(m_router.native_handle(), "tavrik-tables");
    }
    return nResult;
}

// The demux handles; 0 or the open's code. A monitor only reads the PID
// table (without it the PID getters fail) and routes nothing.
DVBErrReturn Board::OpenDemux()
{
    if (m_bReadOnly) {
        m_fdQuery = ::open(m_demuxPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        return 0;
    }
    for (int* pfd : {&m_fdVideo, &m_fdAudio, &m_fdProbe, &m_fdPat, &m_fdPmt[0], &m_fdPmt[1]}) {
        *pfd = ::open(m_demuxPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (*pfd < 0)
            return errno == ENOENT ? ErrNoDemux : static_cast<DVBErrReturn>(errno);
    }
    m_fdStop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return m_fdStop < 0 ? static_cast<DVBErrReturn>(errno) : 0;
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
    StopThreads();
    std::lock_guard<std::mutex> lock(m_mutex);
    const int nErr = Release();
    return static_cast<DVBErrReturn>(nErr);
}

// Releases what the open acquired; the errno of the first handle that failed
// to close, or 0. Called with m_mutex held (or from the destructor).
int Board::Release()
{
    int nErr = 0;
    for (int* pfd : {&m_fdVideo, &m_fdAudio, &m_fdProbe, &m_fdPat, &m_fdPmt[0], &m_fdPmt[1], &m_fdQuery,
                     &m_fdStop, &m_fdFrontend}) {
        if (*pfd >= 0 && ::close(*pfd) != 0 && nErr == 0)
            nErr = errno;
        *pfd = -1;
    }
    if (m_pFrontend != nullptr)
        dvb_fe_close(m_pFrontend);
    m_pFrontend = nullptr;
    m_bOpen = false;
    m_bReadOnly = false;
    m_hWnd = nullptr;
    m_wAppliedVideo = m_wAppliedAudio = NoPid;
    m_routed = TableRoute{};
    return nErr;
}

void Board::StopThreads()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
        if (m_fdStop >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(m_fdStop, &one, sizeof one);
        }
    }
    m_wake.notify_all();
    m_routerWake.notify_all();
    if (m_watcher.joinable())
        m_watcher.join();
    if (m_router.joinable())
        m_router.join();
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

// Whether the front end has never been tuned: its frequency reads 0. On a
// never-tuned front end libdvbv5's read of all the system's properties at
// once fails (EINVAL, kernel 6.1), so the frequency is read alone.
bool NeverTuned(int fd)
{
    dtv_property prop{};
    prop.cmd = DTV_FREQUENCY;
    dtv_properties props{1, &prop};
    return fd >= 0 && ::ioctl(fd, FE_GET_PROPERTY, &props) == 0 && prop.u.data == 0;
}

// Reads the front end's current parameters into r (frequency 0: never
// tuned); 0 or an errno value.
int Board::ReadFrontend(Reading& r)
{
    dvb_v5_fe_parms* fe = m_pFrontend;
    int nRet = dvb_fe_get_parms(fe);
    if (nRet != 0 && NeverTuned(m_fdFrontend)) {
        r.nSystem = fe->current_sys;
        r.nFrequency = r.nSymbolRate = 0;
        r.bHasSymbolRate = false;
        return 0;
    }
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
            dvb_v5_fe_parms* fresh = dvb_fe_open_flags(m_nAdapter, 0, 0, 0, QuietLog, O_RDONLY);
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

// Sets and starts a PES filter on the handle; 0 or an errno value.
int SetPesFilter(int fd, dmx_pes_type_t type, std::uint16_t wPid, dmx_output_t output)
{
    dmx_pes_filter_params params{};
    params.pid = wPid;
    params.input = DMX_IN_FRONTEND;
    params.output = output;
    params.pes_type = type;
    params.flags = DMX_IMMEDIATE_START;
    return ::ioctl(fd, DMX_SET_PES_FILTER, &params) == 0 ? 0 : errno;
}

// Sets a PES filter; 0 or an errno value. When the kernel refuses a decoder
// filter because another handle holds the slot, it releases the refused feed
// as what that feed structure was last used for, and if that was a decoder
// feed, it frees that slot from its owner. So the handle's feed structure is
// first used for a filter that is no decoder's (null packets, to nowhere):
// the set that follows gets that same structure back (the lowest free one).
int ApplyPid(int fd, dmx_pes_type_t type, std::uint16_t wPid, dmx_output_t output)
{
    if (type < DMX_PES_OTHER)
        SetPesFilter(fd, DMX_PES_OTHER, 0x1fff, DMX_OUT_DECODER);
    return SetPesFilter(fd, type, wPid, output);
}

// The PIDs filters route in the audio and the video slot now (NoPid when
// none), from one read of the kernel's table; 0 or an errno value. The table
// keeps a filter's PID after the filter has gone, so a PID that is not the
// library's own is checked: a decoder filter that routes nothing is set on
// the slot. If the kernel refuses it (EINVAL), another handle's filter holds
// the slot and routes the PID; if it takes it, the PID was left behind, and
// the filter is stopped again, leaving AllPids in the table ("no PID" for
// every later reader).
int Board::ReadPids(std::uint16_t wPids[2])
{
    const int fd = QueryFd();
    if (fd < 0)
        return EBADF;
    std::uint16_t table[5];
    if (::ioctl(fd, DMX_GET_PES_PIDS, table) != 0)
        return errno;
    for (int nSlot : {AudioSlot, VideoSlot}) {
        const std::uint16_t wOwn = nSlot == VideoSlot ? m_wAppliedVideo : m_wAppliedAudio;
        std::uint16_t& wPid = wPids[nSlot];
        wPid = NoPid;
        if (!m_bReadOnly && wOwn != NoPid) {
            wPid = wOwn;
            continue;
        }
        if (table[nSlot] > MaxPid)
            continue;
        const auto type = static_cast<dmx_pes_type_t>(nSlot == VideoSlot ? DMX_PES_VIDEO0 : DMX_PES_AUDIO0);
        const int nErr = ApplyPid(fd, type, AllPids, DMX_OUT_DECODER);
        if (nErr == EINVAL)
            wPid = table[nSlot];
        else if (nErr != 0)
            return nErr;
        else
            ::ioctl(fd, DMX_STOP);
    }
    return 0;
}

bool Board::Read(Reading& r)
{
    if (ReadFrontend(r) != 0)
        return false;
    if (QueryFd() >= 0) {
        std::uint16_t wPids[2];
        if (ReadPids(wPids) != 0)
            return false;
        r.wAudioPid = wPids[AudioSlot];
        r.wVideoPid = wPids[VideoSlot];
    }
    return true;
}

CCommonDVB::ErrReturn Board::GetPid(int nSlot, std::uint16_t& wPid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOpen)
        return ResNotOpen;
    std::uint16_t wPids[2];
    const int nErr = ReadPids(wPids);
    if (nErr != 0)
        return ResultOf(nErr);
    if (wPids[nSlot] == NoPid)
        return ResNoPid;
    wPid = wPids[nSlot];
    return CCommonDVB::Success;
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
    // Each PID reaches the DVR device once: the video filter always taps its
    // PID, the audio filter only when the video does not have the same one
    // (otherwise it only holds the decoder slot).
    const bool bVideo = type == DMX_PES_VIDEO0;
    const auto audioOutput = [this](std::uint16_t wAudio) {
        return wAudio == m_wAppliedVideo ? DMX_OUT_DECODER : DMX_OUT_TS_TAP;
    };
    const std::uint16_t wOldVideo = m_wAppliedVideo;
    if (bVideo) {
        const int nErr = ApplyPid(m_fdVideo, DMX_PES_VIDEO0, wPid, DMX_OUT_TS_TAP);
        if (nErr != 0) {
            // Setting a filter stops it first: put the last PID back, so a
            // refused value leaves the decoder as it was.
            if (wOldVideo != NoPid)
                ApplyPid(m_fdVideo, DMX_PES_VIDEO0, wOldVideo, DMX_OUT_TS_TAP);
            return ResultOf(nErr);
        }
        m_wAppliedVideo = wPid;
        // The audio filter's tap follows.
        if (m_wAppliedAudio != NoPid && (m_wAppliedAudio == wPid || m_wAppliedAudio == wOldVideo))
            ApplyPid(m_fdAudio, DMX_PES_AUDIO0, m_wAppliedAudio, audioOutput(m_wAppliedAudio));
    } else {
        const int nErr = ApplyPid(m_fdAudio, DMX_PES_AUDIO0, wPid, audioOutput(wPid));
        if (nErr != 0) {
            if (m_wAppliedAudio != NoPid)
                ApplyPid(m_fdAudio, DMX_PES_AUDIO0, m_wAppliedAudio, audioOutput(m_wAppliedAudio));
            return ResultOf(nErr);
        }
        m_wAppliedAudio = wPid;
    }
    // Our own change: the watcher must not report it (but still reports
    // what others changed meanwhile).
    (bVideo ? m_last.wVideoPid : m_last.wAudioPid) = wPid;
    RouteSelection();
    return CCommonDVB::Success;
}

CCommonDVB::ErrReturn Board::ReadOpenFrontend(Reading& r)
{
    if (!m_bOpen)
        return ResNotOpen;
    const int nErr = ReadFrontend(r);
    if (nErr != 0)
        return ResultOf(nErr);
    return r.nFrequency == 0 ? ResNotTuned : CCommonDVB::Success;
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

// Forgets a failed first tune: back to the old system, with no frequency,
// as a front end that was never tuned. The kernel stores the frequency
// before it refuses the tune to 0 Hz.
void ForgetTune(dvb_v5_fe_parms* fe, fe_delivery_system_t oldSystem)
{
    dvb_set_sys(fe, oldSystem);
    dvb_fe_store_parm(fe, DTV_FREQUENCY, 0);
    dvb_fe_set_parms(fe);
}

CCommonDVB::ErrReturn Board::TuneFirstTime(std::uint32_t nFrequency)
{
    dvb_v5_fe_parms* fe = m_pFrontend;
    std::uint32_t systems[MAX_DELIVERY_SYSTEMS];
    const int nSystems = std::min(fe->num_systems, MAX_DELIVERY_SYSTEMS);
    std::copy(fe->systems, fe->systems + nSystems, systems);
    const auto sys = static_cast<fe_delivery_system_t>(FirstTuneSystem(systems, nSystems));
    if (sys == SYS_UNDEFINED)
        return ResSatelliteNotTuned;
    const std::uint64_t nTarget = std::uint64_t{nFrequency} * 1000;   // kHz -> Hz
    if (nTarget > UINT32_MAX || !InRange(nTarget))
        return ResOutOfRange;

    const fe_delivery_system_t oldSystem = static_cast<fe_delivery_system_t>(fe->current_sys);
    int nErr = dvb_set_sys(fe, sys);
    if (nErr == 0) {
        // Properties the system lacks are refused by libdvbv5 and left out.
        if (IsCable(sys)) {
            dvb_fe_store_parm(fe, DTV_SYMBOL_RATE, DefaultCableSymbolRate);
            dvb_fe_store_parm(fe, DTV_MODULATION, (fe->info.caps & FE_CAN_QAM_AUTO) ? QAM_AUTO : QAM_256);
            dvb_fe_store_parm(fe, DTV_INNER_FEC, FEC_AUTO);
        } else {
            dvb_fe_store_parm(fe, DTV_BANDWIDTH_HZ, DefaultTerrestrialBandwidth);
            dvb_fe_store_parm(fe, DTV_MODULATION, sys == SYS_ATSC ? VSB_8 : QAM_AUTO);
            dvb_fe_store_parm(fe, DTV_CODE_RATE_HP, FEC_AUTO);
            dvb_fe_store_parm(fe, DTV_CODE_RATE_LP, FEC_AUTO);
            dvb_fe_store_parm(fe, DTV_GUARD_INTERVAL, GUARD_INTERVAL_AUTO);
            dvb_fe_store_parm(fe, DTV_TRANSMISSION_MODE, TRANSMISSION_MODE_AUTO);
            dvb_fe_store_parm(fe, DTV_HIERARCHY, HIERARCHY_AUTO);
        }
        dvb_fe_store_parm(fe, DTV_INVERSION, INVERSION_AUTO);
        dvb_fe_store_parm(fe, DTV_FREQUENCY, static_cast<std::uint32_t>(nTarget));
        nErr = dvb_fe_set_parms(fe);
    }
    if (nErr != 0) {
        ForgetTune(fe, oldSystem);
        return ResultOf(nErr < 0 ? -nErr : nErr);
    }
    return CCommonDVB::Success;
}

// Whether a frequency (Hz) is within the front end's range. FE_GET_INFO
// reported the range in kHz if the front end was on a satellite system
// when it was opened.
bool Board::InRange(std::uint64_t nHz) const
{
    const dvb_frontend_info& info = m_pFrontend->info;
    const std::uint64_t nUnit = m_bInfoInKhz ? 1000 : 1;
    return nHz >= info.frequency_min * nUnit && (info.frequency_max == 0 || nHz <= info.frequency_max * nUnit);
}

// After one of our own tunes: the watcher must not report it, and the
// program tables follow the new multiplex.
void Board::TakeOwnTuning()
{
    Reading after;
    if (ReadFrontend(after) == 0) {
        m_last.nSystem = after.nSystem;
        m_last.nFrequency = after.nFrequency;
        m_last.nSymbolRate = after.nSymbolRate;
        m_last.bHasSymbolRate = after.bHasSymbolRate;
    }
    // Another multiplex: its tables are read again; until then no PMT.
    ++m_nTuning;
    m_bMapValid = false;
    m_map = ProgramMap{};
    RouteSelection();
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
    if (before.nFrequency == 0) {
        // Never tuned: nothing to keep.
        const CCommonDVB::ErrReturn result = TuneFirstTime(nFrequency);
        if (result == CCommonDVB::Success)
            TakeOwnTuning();
        return result;
    }

    std::uint64_t nTarget = nFrequency;
    if (!IsSatellite(before.nSystem))
        nTarget *= 1000;   // kHz -> Hz
    if (nTarget > UINT32_MAX || !InRange(std::uint64_t{nFrequency} * 1000))
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
    TakeOwnTuning();
    return CCommonDVB::Success;
}

// --- The program tables on the DVR device ------------------------------------

// Routes the PAT and the PMTs that go with the selected PIDs, from the
// program map; while the map is not known, the PAT alone, and the router is
// asked to read the map. The lock held.
void Board::RouteSelection()
{
    const std::uint16_t selected[2] = {m_wAppliedVideo, m_wAppliedAudio};
    const auto isSelected = [&](std::uint16_t w) { return w == selected[0] || w == selected[1]; };
    TableRoute want;
    if (selected[0] != NoPid || selected[1] != NoPid) {
        // A selected PID 0 or PMT PID reaches the DVR device already: once is enough.
        want.wPat = isSelected(PatPid) ? NoPid : PatPid;
        for (int k = 0; k < 2; ++k) {
            const std::uint16_t wPmt = selected[k] != NoPid ? m_map.PmtFor(selected[k]) : NoPid;
            want.wPmt[k] = isSelected(wPmt) ? NoPid : wPmt;
        }
        if (want.wPmt[1] == want.wPmt[0])
            want.wPmt[1] = NoPid;
        if (!m_bMapValid) {
            m_bNeedMap = true;
            m_routerWake.notify_all();
        }
    }
    ApplyTableRoute(want);
}

// Routes (or stops) one table PID on its handle; the lock held.
void RouteTable(int fd, std::uint16_t& wRouted, std::uint16_t wWanted)
{
    if (wRouted == wWanted)
        return;
    if (wWanted != NoPid && ApplyPid(fd, DMX_PES_OTHER, wWanted, DMX_OUT_TS_TAP) == 0) {
        wRouted = wWanted;
        return;
    }
    ::ioctl(fd, DMX_STOP);
    wRouted = NoPid;
}

void Board::ApplyTableRoute(const TableRoute& want)
{
    RouteTable(m_fdPat, m_routed.wPat, want.wPat);
    // A PMT already on one of the handles stays there.
    std::uint16_t wPmt[2] = {want.wPmt[0], want.wPmt[1]};
    if (wPmt[0] == m_routed.wPmt[1] || wPmt[1] == m_routed.wPmt[0])
        std::swap(wPmt[0], wPmt[1]);
    RouteTable(m_fdPmt[0], m_routed.wPmt[0], wPmt[0]);
    RouteTable(m_fdPmt[1], m_routed.wPmt[1], wPmt[1]);
}

// Waits until fd has data, the stop event fires or the deadline passes.
bool WaitForData(int fd, int fdStop, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p[2] = {{fd, POLLIN, 0}, {fdStop, POLLIN, 0}};
        const int n = ::poll(p, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || (p[1].revents & POLLIN))
            return false;
        if (p[0].revents & (POLLIN | POLLERR))
            return true;
    }
}

// One section from a section filter; its length, or 0 for none yet.
ssize_t ReadSection(int fd, std::uint8_t* buf, std::size_t size)
{
    const ssize_t n = ::read(fd, buf, size);
    // A too-small read is no section (a PSI section has at least a header
    // and its CRC).
    return n >= static_cast<ssize_t>(sizeof(dvb_table_header) + 4) ? n : 0;
}

// A demux handle with a section filter on table tid of pid (and, for a PMT,
// of one program only); -1 if it cannot be set.
int OpenSectionFilter(const std::string& demuxPath, std::uint16_t pid, std::uint8_t tid, int nProgram)
{
    const int fd = ::open(demuxPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // Filter bytes follow the section's table id and its two length bytes.
    unsigned char filter[3] = {tid, 0, 0};
    unsigned char mask[3] = {0xff, 0, 0};
    if (nProgram >= 0) {
        filter[1] = static_cast<unsigned char>(nProgram >> 8);
        filter[2] = static_cast<unsigned char>(nProgram & 0xff);
        mask[1] = mask[2] = 0xff;
    }
    if (dvb_set_section_filter(fd, pid, nProgram >= 0 ? 3 : 1, filter, mask, nullptr,
                               DMX_IMMEDIATE_START | DMX_CHECK_CRC) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Program
{
    std::uint16_t wNumber;
    std::uint16_t wPmtPid;
};

// The programs of the multiplex, from every section of its PAT; false if the
// PAT did not arrive in time.
bool ReadPat(dvb_v5_fe_parms* parms, const std::string& demuxPath, int fdStop,
             std::chrono::steady_clock::time_point deadline, std::vector<Program>& programs)
{
    const int fd = OpenSectionFilter(demuxPath, PatPid, DVB_TABLE_PAT, -1);
    if (fd < 0)
        return false;
    dvb_table_pat* pat = nullptr;
    bool bSeen[256] = {};
    int nLast = -1;
    bool bComplete = false;
    std::vector<std::uint8_t> buf(DVB_MAX_PAYLOAD_PACKET_SIZE);
    while (!bComplete && WaitForData(fd, fdStop, deadline)) {
        const ssize_t n = ReadSection(fd, buf.data(), buf.size());
        if (n == 0)
            continue;
        dvb_table_header header;
        std::memcpy(&header, buf.data(), sizeof header);
        dvb_table_header_init(&header);
        if (bSeen[header.section_id] || (nLast >= 0 && header.last_section != nLast))
            continue;
        if (dvb_table_pat_init(parms, buf.data(), n - 4, &pat) < 0)
            continue;
        bSeen[header.section_id] = true;
        nLast = header.last_section;
        bComplete = std::all_of(bSeen, bSeen + nLast + 1, [](bool b) { return b; });
    }
    ::close(fd);
    if (bComplete) {
        dvb_pat_program_foreach(program, pat) {
            if (program->service_id != 0)   // 0: the network PID
                programs.push_back(Program{program->service_id, static_cast<std::uint16_t>(program->pid)});
        }
    }
    if (pat != nullptr)
        dvb_table_pat_free(pat);
    return bComplete;
}

// The program map of the multiplex: the PAT, then every program's PMT
// (several at once, each on a filter of its own). False if the PAT or some
// PMT did not arrive in time; map then holds what did.
bool ReadProgramMap(dvb_v5_fe_parms* parms, const std::string& demuxPath, int fdStop, ProgramMap& map)
{
    const auto patDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TableTimeoutMs);
    std::vector<Program> programs;
    if (!ReadPat(parms, demuxPath, fdStop, patDeadline, programs))
        return false;
    bool bComplete = true;
    std::vector<std::uint8_t> buf(DVB_MAX_PAYLOAD_PACKET_SIZE);
    // Each program's streams, in the PAT's order: the first program listed
    // carries a shared PID.
    std::vector<std::optional<ProgramMap::Program>> found(programs.size());
    for (std::size_t first = 0; first < programs.size(); first += PmtBatch) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TableTimeoutMs);
        const std::size_t count = std::min(PmtBatch, programs.size() - first);
        std::vector<pollfd> fds;
        for (std::size_t i = 0; i < count; ++i) {
            const Program& p = programs[first + i];
            const int fd = OpenSectionFilter(demuxPath, p.wPmtPid, DVB_TABLE_PMT, p.wNumber);
            fds.push_back(pollfd{fd, POLLIN, 0});
        }
        std::size_t nOpen = 0;
        for (const pollfd& p : fds)
            nOpen += p.fd >= 0;
        bComplete = bComplete && nOpen == count;
        while (nOpen > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            std::vector<pollfd> waits = fds;
            waits.push_back(pollfd{fdStop, POLLIN, 0});
            if (left.count() <= 0 || ::poll(waits.data(), waits.size(), static_cast<int>(left.count())) <= 0 ||
                (waits.back().revents & POLLIN))
                break;
            for (std::size_t i = 0; i < count; ++i) {
                if (fds[i].fd < 0 || !(waits[i].revents & (POLLIN | POLLERR)))
                    continue;
                const ssize_t n = ReadSection(fds[i].fd, buf.data(), buf.size());
                if (n == 0)
                    continue;
                dvb_table_pmt* pmt = nullptr;
                if (dvb_table_pmt_init(parms, buf.data(), n - 4, &pmt) >= 0 && pmt != nullptr) {
                    ProgramMap::Program& program = found[first + i].emplace();
                    program.wPmtPid = programs[first + i].wPmtPid;
                    program.pids.push_back(static_cast<std::uint16_t>(pmt->pcr_pid));
                    dvb_pmt_stream_foreach(stream, pmt) {
                        program.pids.push_back(static_cast<std::uint16_t>(stream->elementary_pid));
                    }
                }
                if (pmt != nullptr)
                    dvb_table_pmt_free(pmt);
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --nOpen;
            }
        }
        for (const pollfd& p : fds)
            if (p.fd >= 0)
                ::close(p.fd);
        bComplete = bComplete && nOpen == 0;
        pollfd stop{fdStop, POLLIN, 0};
        if (::poll(&stop, 1, 0) > 0)
            return false;   // closing
    }
    for (std::optional<ProgramMap::Program>& program : found)
        if (program)
            map.programs.push_back(std::move(*program));
    return bComplete;
}

// The router: whenever the program map of the multiplex is wanted (a PID
// is selected and the card has been tuned since the map was read), reads
// the PAT and the PMTs on handles of its own, without the lock, and routes
// the tables that go with the selected PIDs. A map that came in part is
// used, and read again, up to TableAttempts times.
void Board::RouteTables()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    int nAttempts = 0;
    for (;;) {
        m_routerWake.wait(lock, [this] { return m_bStop || m_bNeedMap; });
        if (m_bStop)
            return;
        m_bNeedMap = false;
        const unsigned nTuning = m_nTuning;
        dvb_v5_fe_parms* parms = m_pFrontend;
        const std::string demuxPath = m_demuxPath;
        const int fdStop = m_fdStop;
        lock.unlock();
        ProgramMap map;
        const bool bComplete = ReadProgramMap(parms, demuxPath, fdStop, map);
        lock.lock();
        if (m_bStop)
            return;
        if (nTuning != m_nTuning) {
            nAttempts = 0;   // retuned meanwhile: the map is asked for again
            continue;
        }
        m_map = std::move(map);
        m_bMapValid = bComplete || ++nAttempts >= TableAttempts;
        if (m_bMapValid) {
            nAttempts = 0;
            m_bNeedMap = false;   // asked for while it was being read
        }
        RouteSelection();
    }
}

}  // namespace

std::uint32_t FirstTuneSystem(const std::uint32_t* systems, int nSystems)
{
    static const fe_delivery_system_t preferred[] = {
        SYS_DVBC_ANNEX_A, SYS_DVBC_ANNEX_C, SYS_DVBC_ANNEX_B, SYS_ISDBC,
        SYS_DVBT,         SYS_DVBT2,        SYS_ISDBT,        SYS_DTMB, SYS_ATSC,
    };
    for (fe_delivery_system_t sys : preferred)
        for (int i = 0; i < nSystems; ++i)
            if (systems[i] == static_cast<std::uint32_t>(sys))
                return sys;
    return SYS_UNDEFINED;
}

int FindAdapter(const char* root)
{
    const auto hasFrontend = [root](long n) {
        struct stat st;
        const std::string path = std::string(root) + "/adapter" + std::to_string(n) + "/frontend0";
        return ::stat(path.c_str(), &st) == 0;
    };
    if (hasFrontend(0))
        return 0;
    DIR* dir = ::opendir(root);
    if (dir == nullptr)
        return -1;
    long best = -1;
    while (const dirent* entry = ::readdir(dir)) {
        const char* digits = entry->d_name;
        if (std::strncmp(digits, "adapter", 7) != 0)
            continue;
        digits += 7;
        // Decimal, no sign, no leading zero, within int.
        const std::size_t len = std::strlen(digits);
        if (len == 0 || len > 9 || (digits[0] == '0' && len > 1) ||
            std::strspn(digits, "0123456789") != len)
            continue;
        const long n = std::strtol(digits, nullptr, 10);
        if ((best < 0 || n < best) && hasFrontend(n))
            best = n;
    }
    ::closedir(dir);
    return static_cast<int>(best);
}

namespace {
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

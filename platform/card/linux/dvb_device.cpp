#include "platform/card/linux/dvb_device.h"

#include "platform/card/linux/dvb_card.h"

#include <libdvbv5/dvb-fe.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace dvbcard {

void QuietLog(int, const char*, ...) {}

Status StatusOfErrno(int nErrno)
{
    switch (nErrno) {
    case 0:
        return Status::Ok;
    case EINVAL:
    case ERANGE:
        return Status::Refused;
    case EPERM:
    case EACCES:
        return Status::Denied;
    case ENODEV:
        return Status::Gone;
    case ENXIO:
    case EIO:
    case EBADF:
    case EFAULT:
    case ENOMEM:
    case EAGAIN:
    case EBUSY:
    case ETIMEDOUT:
    case EINTR:
        return Status::Failed;
    default:
        return Status::NotSupported;
    }
}

namespace {

std::string FrontendPath(const char* root, long n)
{
    return std::string(root) + "/adapter" + std::to_string(n) + "/frontend0";
}

bool HasFrontend(const char* root, long n)
{
    struct stat st;
    return ::stat(FrontendPath(root, n).c_str(), &st) == 0;
}

// Every adapter under root that has a front end, by number.
std::vector<int> Adapters(const char* root)
{
    std::vector<int> adapters;
    DIR* dir = ::opendir(root);
    if (dir == nullptr)
        return adapters;
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
        if (HasFrontend(root, n))
            adapters.push_back(static_cast<int>(n));
    }
    ::closedir(dir);
    std::sort(adapters.begin(), adapters.end());
    return adapters;
}

}  // namespace

int FindAdapter(const char* root)
{
    if (HasFrontend(root, 0))
        return 0;
    const std::vector<int> adapters = Adapters(root);
    return adapters.empty() ? -1 : adapters.front();
}

int ChooseAdapter(const char* root)
{
    const int nFirst = FindAdapter(root);
    const std::vector<int> adapters = Adapters(root);
    if (adapters.size() < 2)
        return nFirst;
    // Another program may hold the first: a free one can be tuned.
    if (const int fd = ::open(FrontendPath(root, nFirst).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC); fd >= 0) {
        ::close(fd);
        return nFirst;
    }
    for (int n : adapters) {
        if (n == nFirst)
            continue;
        const int fd = ::open(FrontendPath(root, n).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            return n;
        }
    }
    return nFirst;
}

namespace {

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

}  // namespace

LinuxDevice::LinuxDevice(const char* root) : m_root(root) {}

LinuxDevice::~LinuxDevice()
{
    Close();
}

std::uint32_t LinuxDevice::Open(Access& access)
{
    std::lock_guard<std::recursive_mutex> front(m_frontLock);
    std::lock_guard<std::recursive_mutex> demux(m_demuxLock);
    access = Access::None;
    if (m_bOpen)
        return ErrAlreadyOpen;
    m_bReadOnly = false;
    m_nAdapter = ChooseAdapter(m_root.c_str());
    if (m_nAdapter < 0)
        return ErrNoAdapter;
    const std::string adapter = m_root + "/adapter" + std::to_string(m_nAdapter) + "/";
    m_frontendPath = adapter + "frontend0";
    m_demuxPath = adapter + "demux0";

    // A read-only look first: it disturbs no other program, and without a
    // device there is nothing to hand to libdvbv5.
    if (const int nErr = ProbeDevice(m_frontendPath, O_RDONLY))
        return static_cast<std::uint32_t>(nErr);
    std::uint32_t nResult = 0;
    m_pFrontend = dvb_fe_open_flags(m_nAdapter, 0, 0, 0, QuietLog, O_RDWR);
    if (m_pFrontend == nullptr) {
        const int nErr = ProbeDevice(m_frontendPath, O_RDWR);
        if (nErr == EBUSY)
            nResult = ErrBusy;   // another program tunes the card
        else if (nErr == EACCES || nErr == EPERM)
            nResult = ErrNoWriteAccess;   // this user may only look
        else
            return nErr != 0 ? static_cast<std::uint32_t>(nErr) : ErrFrontend;
        // Watch it read-only.
        m_pFrontend = dvb_fe_open_flags(m_nAdapter, 0, 0, 0, QuietLog, O_RDONLY);
        if (m_pFrontend == nullptr) {
            const int nErrRo = ProbeDevice(m_frontendPath, O_RDONLY);
            return nErrRo != 0 ? static_cast<std::uint32_t>(nErrRo) : ErrFrontend;
        }
        m_bReadOnly = true;
    }

    m_fdFrontend = ::open(m_frontendPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (const std::uint32_t nErr = OpenDemux()) {
        Close();
        return nErr;
    }
    m_bOpen = true;
    NoteTableAtOpen();
    access = m_bReadOnly ? Access::Monitor : Access::Owner;
    return nResult;
}

// The demux handles; 0 or the open's code. A monitor only reads the PID
// table (without it the PID getters fail) and routes nothing.
std::uint32_t LinuxDevice::OpenDemux()
{
    m_fdStop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_fdStop < 0)
        return static_cast<std::uint32_t>(errno);
    if (m_bReadOnly) {
        m_fdQuery = ::open(m_demuxPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        return 0;
    }
    // The video, audio and table routes, and the probe; the clock's route
    // is opened when it is first used.
    for (int* pfd : {&m_fdRoute[static_cast<int>(Route::Video)], &m_fdRoute[static_cast<int>(Route::Audio)],
                     &m_fdProbe, &m_fdRoute[static_cast<int>(Route::Pat)],
                     &m_fdRoute[static_cast<int>(Route::Pmt)], &m_fdRoute[static_cast<int>(Route::SecondPmt)]}) {
        *pfd = ::open(m_demuxPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (*pfd < 0)
            return errno == ENOENT ? ErrNoDemux : static_cast<std::uint32_t>(errno);
    }
    return 0;
}

Status LinuxDevice::Outcome(int nErrno)
{
    const Status status = StatusOfErrno(nErrno);
    if (status == Status::Gone && !m_bGone)
        LoseDevice();
    return status;
}

// The device has gone (ENODEV): every handle is closed at once, since the
// kernel's disconnect waits until the last demux handle is closed, and the
// table reader's waits end, so it closes its section filters too. A
// front-end call under way on another thread lets go of the front end when
// it returns. Only the interrupt's eventfd stays until Close. Every later
// call fails.
void LinuxDevice::LoseDevice()
{
    m_bGone = true;
    Interrupt();
    // The front end first: once the last demux handle is closed, the
    // disconnect ends, and nothing of the tool should be left by then.
    if (m_frontLock.try_lock()) {
        ReleaseFrontend();
        m_frontLock.unlock();
    }
    std::lock_guard<std::recursive_mutex> lock(m_demuxLock);
    ReleaseDemux();
}

namespace {

// Closes fd and forgets it; keeps the first errno of a failed close.
void Release(int& fd, int& nErr)
{
    if (fd >= 0 && ::close(fd) != 0 && nErr == 0)
        nErr = errno;
    fd = -1;
}

}  // namespace

// The front end's handles; the errno of the first that failed to close, or 0.
int LinuxDevice::ReleaseFrontend()
{
    int nErr = 0;
    Release(m_fdFrontend, nErr);
    if (m_pFrontend != nullptr)
        dvb_fe_close(m_pFrontend);
    m_pFrontend = nullptr;
    return nErr;
}

// The demux handles; the errno of the first that failed to close, or 0.
int LinuxDevice::ReleaseDemux()
{
    int nErr = 0;
    for (int& fd : m_fdRoute)
        Release(fd, nErr);
    Release(m_fdProbe, nErr);
    Release(m_fdQuery, nErr);
    for (std::uint16_t& w : m_wRouted)
        w = NoPid;
    return nErr;
}

// Releases what the open acquired; the errno of the first handle that
// failed to close, or 0.
std::uint32_t LinuxDevice::Close()
{
    std::lock_guard<std::recursive_mutex> front(m_frontLock);
    std::lock_guard<std::recursive_mutex> demux(m_demuxLock);
    int nErr = ReleaseFrontend();
    const int nDemux = ReleaseDemux();
    if (nErr == 0)
        nErr = nDemux;
    Release(m_fdStop, nErr);
    m_bOpen = false;
    m_bReadOnly = false;
    m_bGone = false;
    return static_cast<std::uint32_t>(nErr);
}

}  // namespace dvbcard

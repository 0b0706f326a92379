// The demux: routes to the DVR device, the decoder slots, and the section
// filters the program tables are read on.
#include "platform/card/linux/dvb_device.h"

#include <libdvbv5/dvb-demux.h>
#include <linux/dvb/dmx.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace dvbcard {
namespace {

// Slots of DMX_GET_PES_PIDS.
constexpr int AudioSlot = 0;
constexpr int VideoSlot = 1;
// The shortest PSI section: its header and its CRC.
constexpr std::ptrdiff_t MinSection = 8 + 4;

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
// the set that follows usually gets that same structure back (the lowest
// free one). That depends on what other programs free meanwhile, so it only
// narrows the harm: the library makes a decoder set only when the user sets
// a PID, never to find something out.
int ApplyPid(int fd, dmx_pes_type_t type, std::uint16_t wPid, dmx_output_t output)
{
    if (type < DMX_PES_OTHER)
        SetPesFilter(fd, DMX_PES_OTHER, 0x1fff, DMX_OUT_DECODER);
    return SetPesFilter(fd, type, wPid, output);
}

dmx_pes_type_t PesTypeOf(Route r)
{
    switch (r) {
    case Route::Video:
        return DMX_PES_VIDEO0;
    case Route::Audio:
        return DMX_PES_AUDIO0;
    default:
        return DMX_PES_OTHER;
    }
}

}  // namespace

// The route's handle, opened on first use; -1 if it cannot be.
int LinuxDevice::RouteFd(Route r)
{
    int& fd = m_fdRoute[static_cast<int>(r)];
    if (fd < 0 && m_bOpen && !m_bReadOnly)
        fd = ::open(m_demuxPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd;
}

Status LinuxDevice::SetRoute(Route r, std::uint16_t wPid, bool bToOutput)
{
    const std::lock_guard<std::recursive_mutex> lock(m_demuxLock);
    if (const Status why = MayChange(); why != Status::Ok)
        return why;
    const int fd = RouteFd(r);
    if (fd < 0)
        return Outcome(errno);
    std::uint16_t& wRouted = m_wRouted[static_cast<int>(r)];
    if (wPid == NoPid) {
        ::ioctl(fd, DMX_STOP);
        wRouted = NoPid;
        return Status::Ok;
    }
    const int nErr = ApplyPid(fd, PesTypeOf(r), wPid, bToOutput ? DMX_OUT_TS_TAP : DMX_OUT_DECODER);
    if (nErr != 0) {
        if (PesTypeOf(r) == DMX_PES_OTHER)
            ::ioctl(fd, DMX_STOP);
        wRouted = NoPid;
        // A decoder slot refused: another handle's filter holds it, with the
        // PID the table shows.
        std::uint16_t table[5];
        if (nErr == EINVAL && PesTypeOf(r) < DMX_PES_OTHER && ReadPidTable(table) == 0) {
            const int nSlot = r == Route::Video ? VideoSlot : AudioSlot;
            m_wHeldElsewhere[nSlot] = table[nSlot];
        }
        return Outcome(nErr);
    }
    wRouted = wPid;
    return Status::Ok;
}

// The kernel's decoder PID table (DMX_GET_PES_PIDS); 0 or an errno value.
int LinuxDevice::ReadPidTable(std::uint16_t table[5])
{
    const int fd = m_bReadOnly ? m_fdQuery : m_fdProbe;
    if (fd < 0)
        return EBADF;
    return ::ioctl(fd, DMX_GET_PES_PIDS, table) == 0 ? 0 : errno;
}

// The PIDs filters route in the audio and the video slot now, as far as
// can be told without writing anything: the kernel's table keeps a
// filter's PID after the filter has gone, and the only way to find out
// whether a slot is still held is to try to take it, which would change
// another program's demux. So a slot's PID is reported when it is our own
// filter's, when it has changed since the open (someone set it while we
// watched), or when our own set on that slot was refused (a filter holds
// it); otherwise the slot reads "no PID" (NoPid).
Status LinuxDevice::ReadDecoderPids(std::uint16_t& wAudio, std::uint16_t& wVideo)
{
    const std::lock_guard<std::recursive_mutex> lock(m_demuxLock);
    if (!m_bOpen)
        return Status::Failed;
    if (m_bGone)
        return Status::Gone;
    std::uint16_t table[5];
    if (const int nErr = ReadPidTable(table))
        return Outcome(nErr);
    std::uint16_t wPids[2] = {NoPid, NoPid};
    for (int nSlot : {AudioSlot, VideoSlot}) {
        const Route r = nSlot == VideoSlot ? Route::Video : Route::Audio;
        const std::uint16_t wOwn = m_wRouted[static_cast<int>(r)];
        const std::uint16_t wTable = table[nSlot];
        if (!m_bReadOnly && wOwn != NoPid)
            wPids[nSlot] = wOwn;
        else if (wTable <= MaxPid && (wTable != m_wTableAtOpen[nSlot] || wTable == m_wHeldElsewhere[nSlot]))
            wPids[nSlot] = wTable;
    }
    wAudio = wPids[AudioSlot];
    wVideo = wPids[VideoSlot];
    return Status::Ok;
}

// What the decoder table holds when the board opens: PIDs there may be
// left behind by filters long closed.
void LinuxDevice::NoteTableAtOpen()
{
    const std::lock_guard<std::recursive_mutex> lock(m_demuxLock);
    std::uint16_t table[5];
    const bool bRead = ReadPidTable(table) == 0;
    for (int nSlot : {AudioSlot, VideoSlot}) {
        m_wTableAtOpen[nSlot] = bRead ? table[nSlot] : NoPid;
        m_wHeldElsewhere[nSlot] = NoPid;
    }
}

// --- Section filters: the filter number is the handle ---------------------------

int LinuxDevice::OpenSections(std::uint16_t wPid, std::uint8_t nTableId, int nProgram)
{
    if (m_bGone)
        return -1;
    const int fd = ::open(m_demuxPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // Filter bytes follow the section's table id and its two length bytes.
    unsigned char filter[3] = {nTableId, 0, 0};
    unsigned char mask[3] = {0xff, 0, 0};
    if (nProgram >= 0) {
        filter[1] = static_cast<unsigned char>(nProgram >> 8);
        filter[2] = static_cast<unsigned char>(nProgram & 0xff);
        mask[1] = mask[2] = 0xff;
    }
    if (dvb_set_section_filter(fd, wPid, nProgram >= 0 ? 3 : 1, filter, mask, nullptr,
                               DMX_IMMEDIATE_START | DMX_CHECK_CRC) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int LinuxDevice::WaitSections(const int* pFilters, bool* bReady, std::size_t n, int nTimeoutMs)
{
    if (m_bGone)
        return -1;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    std::vector<pollfd> p(n + 1);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return 0;
        for (std::size_t i = 0; i < n; ++i)
            p[i] = pollfd{pFilters[i], POLLIN, 0};
        p[n] = pollfd{m_fdStop, POLLIN, 0};
        const int nPolled = ::poll(p.data(), p.size(), static_cast<int>(left.count()));
        if (nPolled < 0 && errno == EINTR)
            continue;
        if (nPolled < 0 || (p[n].revents & POLLIN))
            return -1;
        if (nPolled == 0)
            return 0;
        int nReady = 0;
        for (std::size_t i = 0; i < n; ++i) {
            bReady[i] = (p[i].revents & (POLLIN | POLLERR)) != 0;
            nReady += bReady[i];
        }
        if (nReady > 0)
            return nReady;
    }
}

std::ptrdiff_t LinuxDevice::ReadSection(int nFilter, std::uint8_t* buf, std::size_t nSize)
{
    const ssize_t n = ::read(nFilter, buf, nSize);
    if (n < 0 && errno == ENODEV)
        return -1;
    // A too-small read is no section.
    return n >= MinSection ? n : 0;
}

void LinuxDevice::CloseSections(int nFilter)
{
    if (nFilter >= 0)
        ::close(nFilter);
}

void LinuxDevice::Interrupt()
{
    if (m_fdStop >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_fdStop, &one, sizeof one);
    }
}

}  // namespace dvbcard

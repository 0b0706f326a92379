// The card device over the Linux DVB API: one adapter's frontend0 through
// libdvbv5, and its demux0 through the demux ioctls. The jobs are in files
// of their own: dvb_device.cpp (finding the adapter, opening, closing,
// errno values), dvb_frontend.cpp (the front end), dvb_demux.cpp (routes,
// the decoder slots, section filters); dvb_sections.cpp reads the program
// tables from bytes, and dvb_entry.cpp gives the board to card_library.h.
#pragma once

#include "platform/card/card_device.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct dvb_v5_fe_parms;

namespace dvbcard {

// An errno value of a device call as its status. Drivers return
// kernel-internal codes too (524, ENOTSUPP), so anything not known here
// counts as "not supported".
Status StatusOfErrno(int nErrno);

// libdvbv5 reports on stdout and stderr by default; a desktop tool reports
// through its results instead.
void QuietLog(int nLevel, const char* pszFormat, ...);

class LinuxDevice : public CardDevice
{
public:
    // root: where the adapters are, normally "/dev/dvb".
    explicit LinuxDevice(const char* root);
    ~LinuxDevice() override;
    LinuxDevice(const LinuxDevice&) = delete;
    LinuxDevice& operator=(const LinuxDevice&) = delete;

    std::uint32_t Open(Access& access) override;
    std::uint32_t Close() override;

    Status ReadInfo(FrontendInfo& info) override;
    Status ReadTuning(Tuning& tuning) override;
    Status ReadLock(bool& bLocked) override;
    Status Tune(const TuneParameters& parameters) override;
    Status Retune(std::uint32_t nFrequency) override;
    Status Untune(System system) override;

    Status SetRoute(Route r, std::uint16_t wPid, bool bToOutput) override;
    Status ReadDecoderPids(std::uint16_t& wAudio, std::uint16_t& wVideo) override;

    int OpenSections(std::uint16_t wPid, std::uint8_t nTableId, int nProgram) override;
    int WaitSections(const int* pFilters, bool* bReady, std::size_t n, int nTimeoutMs) override;
    std::ptrdiff_t ReadSection(int nFilter, std::uint8_t* buf, std::size_t nSize) override;
    void CloseSections(int nFilter) override;
    void Interrupt() override;

private:
    // dvb_device.cpp
    std::uint32_t OpenDemux();
    // A call's errno as its status; ENODEV lets go of the device.
    Status Outcome(int nErrno);
    // Ok when the device may be changed now; otherwise why not (not open,
    // gone, or open as a monitor).
    Status MayChange() const
    {
        return !m_bOpen ? Status::Failed : m_bGone ? Status::Gone : m_bReadOnly ? Status::Denied : Status::Ok;
    }
    void LoseDevice();
    int ReleaseFrontend();
    int ReleaseDemux();
    // Held through a front-end call; lets go of the front end when the
    // device went meanwhile.
    class FrontendCall
    {
    public:
        explicit FrontendCall(LinuxDevice& device) : m_device(device), m_lock(device.m_frontLock) {}
        ~FrontendCall()
        {
            if (m_device.m_bGone)
                m_device.ReleaseFrontend();
        }
        FrontendCall(const FrontendCall&) = delete;
        FrontendCall& operator=(const FrontendCall&) = delete;

    private:
        LinuxDevice& m_device;
        std::lock_guard<std::recursive_mutex> m_lock;
    };
    // dvb_frontend.cpp: the parameters as the front end has them now; 0 or
    // an errno value (EINVAL on a front end that has never been tuned).
    int FetchParameters();
    // dvb_demux.cpp
    int RouteFd(Route r);
    int ReadPidTable(std::uint16_t table[5]);
    void NoteTableAtOpen();

    std::string m_root;
    int m_nAdapter = -1;
    std::string m_frontendPath;
    std::string m_demuxPath;
    bool m_bOpen = false;
    bool m_bReadOnly = false;
    std::atomic<bool> m_bGone{false};   // ENODEV seen: every handle let go
    // The front-end handles and the demux handles are used under their own
    // locks: a front-end call may take seconds while demux calls go on.
    std::recursive_mutex m_frontLock;
    std::recursive_mutex m_demuxLock;
    dvb_v5_fe_parms* m_pFrontend = nullptr;
    int m_fdFrontend = -1;   // a read-only front-end handle of our own
    int m_fdRoute[RouteCount] = {-1, -1, -1, -1, -1, -1};   // read-write only
    std::uint16_t m_wRouted[RouteCount] = {NoPid, NoPid, NoPid, NoPid, NoPid, NoPid};
    int m_fdProbe = -1;   // finds out whether a decoder slot is taken (read-write only)
    int m_fdQuery = -1;   // the monitor's read-only handle
    int m_fdStop = -1;    // eventfd: ends the waits for sections
    // The decoder table's audio and video entries at the open, and a PID a
    // refused set showed to be held by another handle's filter.
    std::uint16_t m_wTableAtOpen[2] = {NoPid, NoPid};
    std::uint16_t m_wHeldElsewhere[2] = {NoPid, NoPid};
};

}  // namespace dvbcard

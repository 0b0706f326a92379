// A card device held in memory (platform/card/card_device.h), for native
// tests of the board: a front end that takes what it is told, decoder slots
// another program may hold, routes, and program table sections "on the air"
// (tests/support/ts_stream.h makes them) that the section filters hand out.
// Every call is logged; any call can be made to fail. Safe to call from the
// board's threads.
#pragma once

#include "platform/card/card_device.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace carddouble {

using dvbcard::Status;

class DeviceDouble : public dvbcard::CardDevice
{
public:
    DeviceDouble();

    // --- What the card is ------------------------------------------------------
    // The open's answer: its code and the access it grants.
    void SetOpen(std::uint32_t nCode, dvbcard::Access access)
    {
        Locked([&] { m_nOpenCode = nCode; m_openAccess = access; });
    }
    void SetInfo(const dvbcard::FrontendInfo& info) { Locked([&] { m_info = info; }); }
    // The front end's tuning, as another program (or a fresh driver) left it.
    void SetTuning(const dvbcard::Tuning& tuning) { Locked([&] { m_tuning = tuning; }); }
    dvbcard::Tuning TuningNow() { return Locked([&] { return m_tuning; }); }
    // Another program's decoder slots (NoPid: free).
    void SetOtherPids(std::uint16_t wAudio, std::uint16_t wVideo)
    {
        Locked([&] { m_wOtherAudio = wAudio; m_wOtherVideo = wVideo; });
    }
    // Makes the named call (as logged: "Open", "ReadTuning", "Retune", ...;
    // or with its first argument: "SetRoute 1" for the audio route) answer
    // status the next nTimes times (-1: from now on); Status::Ok stops it. A
    // refused Retune or Tune stores its frequency first, as the kernel does.
    void Fail(const std::string& call, Status status, int nTimes = -1);
    // A section on the air on wPid, from `after` on, until `until` (0: for
    // ever), both from now.
    void Broadcast(std::uint16_t wPid, const std::vector<std::uint8_t>& section,
                   std::chrono::milliseconds after = std::chrono::milliseconds(0),
                   std::chrono::milliseconds until = std::chrono::milliseconds(0));
    // Whether the front end reports a lock (by default: whenever it is tuned).
    void SetLocked(bool bLocked) { Locked([&] { m_nLocked = bLocked; }); }
    // Every tune keeps the front end busy for this long: calls on it wait,
    // as on a kernel whose front-end thread holds the semaphore.
    void SetTuneTime(std::chrono::milliseconds time) { Locked([&] { m_tuneTime = time; }); }
    // The demux refuses a section filter while this many are open.
    void SetFilterLimit(int nFilters) { Locked([&] { m_nFilterLimit = nFilters; }); }

    // --- What the board did ------------------------------------------------------
    std::vector<std::string> Calls() { return Locked([&] { return m_calls; }); }
    void ClearCalls() { Locked([&] { m_calls.clear(); }); }
    // Calls that change the card: Tune, Retune, Untune, SetRoute.
    std::vector<std::string> Writes();
    dvbcard::TuneParameters LastTune() { return Locked([&] { return m_lastTune; }); }
    // What route r sends to the output now (NoPid: nothing).
    std::uint16_t Routed(dvbcard::Route r) { return Locked([&] { return m_wRouted[static_cast<int>(r)]; }); }
    bool ToOutput(dvbcard::Route r) { return Locked([&] { return m_bToOutput[static_cast<int>(r)]; }); }
    int OpenFilters() { return Locked([&] { return static_cast<int>(m_filters.size()); }); }

    // --- CardDevice ------------------------------------------------------------------
    std::uint32_t Open(dvbcard::Access& access) override;
    std::uint32_t Close() override;
    Status ReadInfo(dvbcard::FrontendInfo& info) override;
    Status ReadTuning(dvbcard::Tuning& tuning) override;
    Status ReadLock(bool& bLocked) override;
    Status Tune(const dvbcard::TuneParameters& parameters) override;
    Status Retune(std::uint32_t nFrequency) override;
    Status Untune(dvbcard::System system) override;
    Status SetRoute(dvbcard::Route r, std::uint16_t wPid, bool bToOutput) override;
    Status ReadDecoderPids(std::uint16_t& wAudio, std::uint16_t& wVideo) override;
    int OpenSections(std::uint16_t wPid, std::uint8_t nTableId, int nProgram) override;
    int WaitSections(const int* pFilters, bool* bReady, std::size_t n, int nTimeoutMs) override;
    std::ptrdiff_t ReadSection(int nFilter, std::uint8_t* buf, std::size_t nSize) override;
    void CloseSections(int nFilter) override;
    void Interrupt() override;

private:
    using Clock = std::chrono::steady_clock;
    struct OnAir
    {
        std::uint16_t wPid;
        std::vector<std::uint8_t> bytes;
        Clock::time_point from;
        Clock::time_point until;   // epoch: for ever
    };
    struct Filter
    {
        std::uint16_t wPid;
        std::uint8_t nTableId;
        int nProgram;
        std::size_t nNext;   // the next section on the air it looks at
    };
    template <class F>
    auto Locked(F f) -> decltype(f())
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f();
    }
    // The lock held.
    Status Enter(const std::string& call, std::unique_lock<std::mutex>& lock, bool bWrite = false);
    const OnAir* Pending(Filter& f, bool bTake);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_calls;
    struct Failure
    {
        Status status;
        int nLeft;   // -1: for ever
    };
    std::map<std::string, Failure> m_failures;
    std::uint32_t m_nOpenCode = 0;
    dvbcard::Access m_openAccess = dvbcard::Access::Owner;
    dvbcard::Access m_access = dvbcard::Access::None;
    dvbcard::FrontendInfo m_info;
    dvbcard::Tuning m_tuning;
    dvbcard::TuneParameters m_lastTune;
    std::uint16_t m_wOtherAudio = dvbcard::NoPid;
    std::uint16_t m_wOtherVideo = dvbcard::NoPid;
    std::uint16_t m_wRouted[dvbcard::RouteCount];
    bool m_bToOutput[dvbcard::RouteCount] = {};
    std::vector<OnAir> m_air;
    std::map<int, Filter> m_filters;
    int m_nNextFilter = 1;
    bool m_bInterrupted = false;
    int m_nLocked = -1;   // -1: when tuned
    int m_nFilterLimit = 1000;
    bool m_bGone = false;   // a call answered Gone: every later one does
    std::chrono::milliseconds m_tuneTime{0};
    Clock::time_point m_busyUntil{};
};

}  // namespace carddouble

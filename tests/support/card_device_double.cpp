#include "tests/support/card_device_double.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace carddouble {

using namespace dvbcard;

DeviceDouble::DeviceDouble()
{
    std::fill(std::begin(m_wRouted), std::end(m_wRouted), NoPid);
    // A cable and terrestrial front end from 51 to 858 MHz, on cable at 474 MHz.
    m_info.systems[0] = System::DvbCAnnexA;
    m_info.systems[1] = System::DvbT;
    m_info.nSystems = 2;
    m_info.nMinHz = 51000000;
    m_info.nMaxHz = 858000000;
    m_info.bInversionAuto = m_info.bCodeRateAuto = m_info.bModulationAuto = true;
    m_tuning = Tuning{System::DvbCAnnexA, 474000000, 6900000, true};
}

void DeviceDouble::Fail(const std::string& call, Status status, int nTimes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (status == Status::Ok || nTimes == 0)
        m_failures.erase(call);
    else
        m_failures[call] = Failure{status, nTimes};
}

void DeviceDouble::Broadcast(std::uint16_t wPid, const std::vector<std::uint8_t>& section,
                             std::chrono::milliseconds after, std::chrono::milliseconds until)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Clock::time_point now = Clock::now();
        m_air.push_back(OnAir{wPid, section, now + after, until.count() > 0 ? now + until : Clock::time_point{}});
    }
    m_changed.notify_all();
}

std::vector<std::string> DeviceDouble::Writes()
{
    std::vector<std::string> writes;
    for (const std::string& call : Calls())
        for (const char* name : {"Tune ", "Retune ", "Untune ", "SetRoute "})
            if (call.rfind(name, 0) == 0)
                writes.push_back(call);
    return writes;
}

// Logs the call, waits while a tune keeps the front end busy (front-end
// calls), and gives its failure, if one is set, or Denied for a write
// without the owner's access.
Status DeviceDouble::Enter(const std::string& call, std::unique_lock<std::mutex>& lock, bool bWrite)
{
    m_calls.push_back(call);
    const std::string name = call.substr(0, call.find(' '));
    if (m_bGone && name != "Close" && name != "Open")
        return Status::Gone;
    static const char* const frontEnd[] = {"ReadInfo", "ReadTuning", "ReadLock", "Tune", "Retune", "Untune"};
    if (std::find(std::begin(frontEnd), std::end(frontEnd), name) != std::end(frontEnd))
        while (Clock::now() < m_busyUntil)
            m_changed.wait_until(lock, m_busyUntil);
    auto failure = m_failures.end();
    for (auto f = m_failures.begin(); f != m_failures.end(); ++f)
        if (call == f->first || call.rfind(f->first + " ", 0) == 0)
            failure = f;
    if (failure == m_failures.end())
        return bWrite && m_access != Access::Owner ? Status::Denied : Status::Ok;
    const Status status = failure->second.status;
    if (failure->second.nLeft > 0 && --failure->second.nLeft == 0)
        m_failures.erase(failure);
    if (status == Status::Gone && m_access != Access::None) {
        // As a back end must: let go of everything at once, end the waits.
        m_bGone = true;
        m_bInterrupted = true;
        std::fill(std::begin(m_wRouted), std::end(m_wRouted), NoPid);
        std::fill(std::begin(m_bToOutput), std::end(m_bToOutput), false);
        m_changed.notify_all();
    }
    return status;
}

std::uint32_t DeviceDouble::Open(Access& access)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const Status status = Enter("Open", lock);
    access = status == Status::Ok ? m_openAccess : Access::None;
    m_access = access;
    m_bInterrupted = false;
    return status == Status::Ok ? m_nOpenCode : 19;
}

std::uint32_t DeviceDouble::Close()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const Status status = Enter("Close", lock);
    m_access = Access::None;
    m_bGone = false;
    std::fill(std::begin(m_wRouted), std::end(m_wRouted), NoPid);
    return status == Status::Ok ? 0 : 5;
}

Status DeviceDouble::ReadInfo(FrontendInfo& info)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const Status status = Enter("ReadInfo", lock);
    if (status == Status::Ok)
        info = m_info;
    return status;
}

Status DeviceDouble::ReadTuning(Tuning& tuning)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const Status status = Enter("ReadTuning", lock);
    if (status == Status::Ok)
        tuning = m_tuning;
    return status;
}

Status DeviceDouble::ReadLock(bool& bLocked)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const Status status = Enter("ReadLock", lock);
    if (status == Status::Ok)
        bLocked = m_nLocked < 0 ? m_tuning.nFrequency != 0 : m_nLocked != 0;
    return status;
}

Status DeviceDouble::Tune(const TuneParameters& p)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const Status status = Enter("Tune " + std::to_string(static_cast<unsigned>(p.system)) + " " +
                                std::to_string(p.nFrequency), lock, true);
    if (status == Status::Denied)
        return status;
    m_lastTune = p;
    m_tuning.system = p.system;
    m_tuning.nFrequency = p.nFrequency;   // stored even when refused
    if (status != Status::Ok)
        return status;
    const bool bTerrestrial = p.system == System::DvbT || p.system == System::DvbT2 ||
                              p.system == System::IsdbT || p.system == System::Dtmb || p.system == System::Atsc;
    m_tuning.bHasSymbolRate = !bTerrestrial;
    m_tuning.nSymbolRate = bTerrestrial ? 0 : p.nSymbolRate;
    m_busyUntil = Clock::now() + m_tuneTime;
    return Status::Ok;
}

Status DeviceDouble::Retune(std::uint32_t nFrequency)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const Status status = Enter("Retune " + std::to_string(nFrequency), lock, true);
    if (status == Status::Denied)
        return status;
    m_tuning.nFrequency = nFrequency;   // stored even when refused
    if (status == Status::Ok)
        m_busyUntil = Clock::now() + m_tuneTime;
    return status;
}

Status DeviceDouble::Untune(System system)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const Status status = Enter("Untune " + std::to_string(static_cast<unsigned>(system)), lock, true);
    if (status == Status::Ok)
        m_tuning = Tuning{system, 0, 0, false};
    return status;
}

Status DeviceDouble::SetRoute(Route r, std::uint16_t wPid, bool bToOutput)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    Status status = Enter("SetRoute " + std::to_string(static_cast<int>(r)) + " " + std::to_string(wPid) +
                              (bToOutput ? "" : " slot"), lock, true);
    if (status == Status::Denied)
        return status;
    // Another program's filter holds the decoder slot: refused.
    if (status == Status::Ok && wPid != NoPid &&
        ((r == Route::Video && m_wOtherVideo != NoPid) || (r == Route::Audio && m_wOtherAudio != NoPid)))
        status = Status::Refused;
    const int i = static_cast<int>(r);
    m_wRouted[i] = status == Status::Ok ? wPid : NoPid;
    m_bToOutput[i] = status == Status::Ok && wPid != NoPid && bToOutput;
    return status;
}

Status DeviceDouble::ReadDecoderPids(std::uint16_t& wAudio, std::uint16_t& wVideo)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const Status status = Enter("ReadDecoderPids", lock);
    if (status != Status::Ok)
        return status;
    const std::uint16_t wOwnAudio = m_wRouted[static_cast<int>(Route::Audio)];
    const std::uint16_t wOwnVideo = m_wRouted[static_cast<int>(Route::Video)];
    wAudio = wOwnAudio != NoPid ? wOwnAudio : m_wOtherAudio;
    wVideo = wOwnVideo != NoPid ? wOwnVideo : m_wOtherVideo;
    return status;
}

// The next section on the air filter f passes, after the last it took,
// round and round as a carousel; nullptr if none is on the air yet.
const DeviceDouble::OnAir* DeviceDouble::Pending(Filter& f, bool bTake)
{
    const Clock::time_point now = Clock::now();
    for (std::size_t k = 0; k < m_air.size(); ++k) {
        const std::size_t i = (f.nNext + k) % m_air.size();
        const OnAir& s = m_air[i];
        if (s.wPid != f.wPid || s.from > now || (s.until != Clock::time_point{} && s.until <= now) ||
            s.bytes.empty() || s.bytes[0] != f.nTableId)
            continue;
        if (f.nProgram >= 0 && (s.bytes.size() < 5 || ((s.bytes[3] << 8) | s.bytes[4]) != f.nProgram))
            continue;
        if (bTake)
            f.nNext = i + 1;
        return &s;
    }
    return nullptr;
}

int DeviceDouble::OpenSections(std::uint16_t wPid, std::uint8_t nTableId, int nProgram)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (Enter("OpenSections " + std::to_string(wPid), lock) != Status::Ok ||
        static_cast<int>(m_filters.size()) >= m_nFilterLimit)
        return -1;
    const int n = m_nNextFilter++;
    m_filters[n] = Filter{wPid, nTableId, nProgram, 0};
    return n;
}

int DeviceDouble::WaitSections(const int* pFilters, bool* bReady, std::size_t n, int nTimeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        if (m_bInterrupted)
            return -1;
        int nReady = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const auto f = m_filters.find(pFilters[i]);
            bReady[i] = f != m_filters.end() && Pending(f->second, false) != nullptr;
            nReady += bReady[i];
        }
        if (nReady > 0)
            return nReady;
        if (Clock::now() >= deadline)
            return 0;
        // Sections put on the air for later arrive without a notify.
        m_changed.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(5)));
    }
}

std::ptrdiff_t DeviceDouble::ReadSection(int nFilter, std::uint8_t* buf, std::size_t nSize)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto f = m_filters.find(nFilter);
    if (f == m_filters.end() || m_bGone)
        return -1;
    const OnAir* s = Pending(f->second, true);
    if (s == nullptr)
        return 0;
    const std::size_t n = std::min(nSize, s->bytes.size());
    std::memcpy(buf, s->bytes.data(), n);
    return static_cast<std::ptrdiff_t>(n);
}

void DeviceDouble::CloseSections(int nFilter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_filters.erase(nFilter);
}

void DeviceDouble::Interrupt()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bInterrupted = true;
    }
    m_changed.notify_all();
}

}  // namespace carddouble

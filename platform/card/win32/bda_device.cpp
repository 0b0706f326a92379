#include "platform/card/win32/bda_device.h"

using dvbcard::Status;

namespace bda {
namespace {

// What an HRESULT of a tuning call means to the board.
Status StatusOf(HRESULT hr)
{
    if (SUCCEEDED(hr))
        return Status::Ok;
    if (hr == E_INVALIDARG)
        return Status::Refused;
    if (hr == E_NOTIMPL || hr == E_NOINTERFACE)
        return Status::NotSupported;
    return Status::Failed;
}

ModulationType ModulationOf(dvbcard::Modulation m)
{
    switch (m) {
    case dvbcard::Modulation::Qam16: return BDA_MOD_16QAM;
    case dvbcard::Modulation::Qam32: return BDA_MOD_32QAM;
    case dvbcard::Modulation::Qam64: return BDA_MOD_64QAM;
    case dvbcard::Modulation::Qam128: return BDA_MOD_128QAM;
    case dvbcard::Modulation::Qam256: return BDA_MOD_256QAM;
    case dvbcard::Modulation::Qpsk: return BDA_MOD_QPSK;
    case dvbcard::Modulation::Vsb8: return BDA_MOD_8VSB;
    case dvbcard::Modulation::Auto: break;
    }
    return BDA_MOD_NOT_SET;
}

// kHz or kSym/s from the device's Hz or symbols per second, rounded; -1
// (not set) for 0.
long Thousands(std::uint32_t n)
{
    return n == 0 ? -1 : static_cast<long>((std::uint64_t{n} + 500) / 1000);
}

std::uint32_t Units(long nThousands)
{
    return nThousands <= 0 ? 0 : static_cast<std::uint32_t>(nThousands) * 1000u;
}

// The board calls the front end from threads of its own too (its tuner and
// its watcher), which have not joined COM, and a tune creates a locator.
// Each such call joins the multithreaded apartment for as long as it lasts,
// unless its thread is in COM already (the user-interface thread).
class ComScope
{
public:
    ComScope() : m_hr(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT m_hr;
};

}  // namespace

Device::Device() : m_graph(&Device::OnStream, this), m_filter(&tsfilter::UdpSender::SinkTo, &m_udp)
{
    ::InitializeCriticalSection(&m_lock);
}

Device::~Device()
{
    Close();
    ::DeleteCriticalSection(&m_lock);
}

void Device::OnStream(void* pContext, const std::uint8_t* pData, std::size_t nBytes)
{
    Device* self = static_cast<Device*>(pContext);
    ::EnterCriticalSection(&self->m_lock);
    self->m_filter.Push(pData, nBytes);
    ::LeaveCriticalSection(&self->m_lock);
}

std::uint32_t Device::Open(dvbcard::Access& access)
{
    access = dvbcard::Access::None;
    if (m_bOpen)
        return 0;
    Step failed = Step::Com;
    const HRESULT hr = m_graph.Build(failed);
    if (hr != S_OK) {
        m_graph.Teardown();
        return OpenCode(failed, static_cast<std::uint32_t>(hr));
    }
    m_udp.Open();   // without it the card still tunes; nothing plays
    m_bOpen = true;
    access = dvbcard::Access::Owner;
    return 0;
}

std::uint32_t Device::Close()
{
    if (!m_bOpen)
        return 0;
    // Teardown stops the graph: no stream callback runs after it.
    m_graph.Teardown();
    m_udp.Close();
    m_bOpen = false;
    m_wVideoPid = m_wAudioPid = dvbcard::NoPid;
    ::EnterCriticalSection(&m_lock);
    m_filter.Select(dvbcard::NoPid, dvbcard::NoPid);
    ::LeaveCriticalSection(&m_lock);
    return 0;
}

Status Device::ReadInfo(dvbcard::FrontendInfo& info)
{
    // The graph is a DVB-C one; BDA states no range the board could use.
    info = dvbcard::FrontendInfo{};
    info.systems[0] = dvbcard::System::DvbCAnnexA;
    info.nSystems = 1;
    info.bInversionAuto = true;
    info.bCodeRateAuto = true;
    return m_bOpen ? Status::Ok : Status::Failed;
}

Status Device::ReadTuning(dvbcard::Tuning& tuning)
{
    if (!m_bOpen)
        return Status::Failed;
    ComScope com;
    Tuning t;
    m_bFromNodes = m_graph.ReadNodes(t) == S_OK;
    if (!m_bFromNodes) {
        const HRESULT hr = m_graph.ReadRequest(t);
        if (FAILED(hr))
            return StatusOf(hr);
    }
    tuning.system = dvbcard::System::DvbCAnnexA;
    tuning.nFrequency = Units(t.nFrequency);
    tuning.nSymbolRate = Units(t.nSymbolRate);
    tuning.bHasSymbolRate = true;
    return Status::Ok;
}

Status Device::ReadLock(bool& bLocked)
{
    if (!m_bOpen)
        return Status::Failed;
    ComScope com;
    return StatusOf(m_graph.ReadLock(bLocked));
}

Status Device::TuneTo(const Tuning& tuning)
{
    if (!m_bOpen)
        return Status::Failed;
    ComScope com;
    return StatusOf(m_graph.Tune(tuning));
}

Status Device::Tune(const dvbcard::TuneParameters& parameters)
{
    if (parameters.system != dvbcard::System::DvbCAnnexA)
        return Status::NotSupported;
    Tuning tuning;
    tuning.nFrequency = Thousands(parameters.nFrequency);
    tuning.nSymbolRate = Thousands(parameters.nSymbolRate);
    tuning.modulation = ModulationOf(parameters.modulation);
    return TuneTo(tuning);
}

Status Device::Retune(std::uint32_t nFrequency)
{
    // Keeps the symbol rate and modulation of the current request.
    ComScope com;
    Tuning tuning;
    const HRESULT hr = m_graph.ReadRequest(tuning);
    if (FAILED(hr))
        return StatusOf(hr);
    tuning.nFrequency = Thousands(nFrequency);
    return TuneTo(tuning);
}

Status Device::Untune(dvbcard::System)
{
    return TuneTo(Tuning{});
}

Status Device::SetRoute(dvbcard::Route r, std::uint16_t wPid, bool)
{
    if (!m_bOpen)
        return Status::Failed;
    if (wPid != dvbcard::NoPid && wPid > dvbcard::MaxPid)
        return Status::Refused;
    if (r == dvbcard::Route::Video)
        m_wVideoPid = wPid;
    else if (r == dvbcard::Route::Audio)
        m_wAudioPid = wPid;
    else
        return Status::Ok;   // the filter follows the tables itself
    ::EnterCriticalSection(&m_lock);
    m_filter.Select(m_wVideoPid, m_wAudioPid);
    ::LeaveCriticalSection(&m_lock);
    return Status::Ok;
}

Status Device::ReadDecoderPids(std::uint16_t& wAudio, std::uint16_t& wVideo)
{
    if (!m_bOpen)
        return Status::Failed;
    wAudio = m_wAudioPid;
    wVideo = m_wVideoPid;
    return Status::Ok;
}

// The PID filter reads the PAT and PMTs from the captured stream itself.
int Device::OpenSections(std::uint16_t, std::uint8_t, int)
{
    return -1;
}

int Device::WaitSections(const int*, bool*, std::size_t, int)
{
    return -1;
}

std::ptrdiff_t Device::ReadSection(int, std::uint8_t*, std::size_t)
{
    return -1;
}

void Device::CloseSections(int) {}

void Device::Interrupt() {}

}  // namespace bda

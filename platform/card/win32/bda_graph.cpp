#include "platform/card/win32/bda_graph.h"

#include "platform/card/win32/bda_guids.h"

#include <windows.h>
#include <dshow.h>
#include <bdaiface.h>
#include <bdamedia.h>
#include <ks.h>
#include <ksmedia.h>
#include <qedit.h>
#include <tuner.h>
#include <uuids.h>
#include <wrl/client.h>

#include <new>

using Microsoft::WRL::ComPtr;

namespace bda {
namespace {

// The sample grabber's callback: hands each buffer of the stream on. It
// lives as long as the graph's parts; the grabber lets go of it first.
class GrabberCallback : public ISampleGrabberCB
{
public:
    GrabberCallback(StreamSink sink, void* pContext) : m_sink(sink), m_pContext(pContext) {}
    virtual ~GrabberCallback() = default;
    GrabberCallback(const GrabberCallback&) = delete;
    GrabberCallback& operator=(const GrabberCallback&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
            *ppv = static_cast<ISampleGrabberCB*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_nRefs)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(::InterlockedDecrement(&m_nRefs)); }
    STDMETHODIMP SampleCB(double, IMediaSample*) override { return S_OK; }
    STDMETHODIMP BufferCB(double, BYTE* pBuffer, long nLength) override
    {
        if (pBuffer != nullptr && nLength > 0)
            m_sink(m_pContext, pBuffer, static_cast<std::size_t>(nLength));
        return S_OK;
    }

private:
    StreamSink m_sink;
    void* m_pContext;
    LONG m_nRefs = 1;
};

HRESULT Create(const GUID& clsid, const IID& iid, void** ppv)
{
    return ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, ppv);
}

// A filter's friendly name from its moniker's property bag.
void FriendlyName(IMoniker* pMoniker, wchar_t* pszName, std::size_t nSize)
{
    pszName[0] = L'\0';
    ComPtr<IPropertyBag> bag;
    if (FAILED(pMoniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(bag.GetAddressOf()))))
        return;
    VARIANT v;
    ::VariantInit(&v);
    if (SUCCEEDED(bag->Read(L"FriendlyName", &v, nullptr)) && v.vt == VT_BSTR) {
        ::lstrcpynW(pszName, v.bstrVal, static_cast<int>(nSize));
    }
    ::VariantClear(&v);
}

}  // namespace

struct Graph::Parts
{
    Parts(StreamSink sink, void* pContext) : callback(sink, pContext) {}
    GrabberCallback callback;
    ComPtr<IGraphBuilder> graph;
    ComPtr<ICaptureGraphBuilder2> builder;
    ComPtr<IMediaControl> control;
    ComPtr<IBaseFilter> provider;
    ComPtr<ITuner> tuner;
    ComPtr<IDVBTuningSpace2> space;
    ComPtr<IDVBCLocator> locator;   // the current request's
    ComPtr<IBaseFilter> tunerFilter;
    ComPtr<IBaseFilter> capture;    // the tuner, or the receiver after it
    ComPtr<IBaseFilter> grabberFilter;
    ComPtr<ISampleGrabber> grabber;
    ComPtr<IBDA_FrequencyFilter> frequencyNode;
    ComPtr<IBDA_DigitalDemodulator> demodulatorNode;
    ComPtr<IBDA_SignalStatistics> statisticsNode;
};

Graph::Graph(StreamSink sink, void* pContext)
    : m_p(new (m_storage) Parts(sink, pContext))
{
    static_assert(sizeof(Parts) <= sizeof m_storage, "m_storage holds the parts");
    static_assert(alignof(Parts) <= alignof(void*), "m_storage is aligned for the parts");
}

Graph::~Graph()
{
    Teardown();
    m_p->~Parts();
}

void Graph::Note(Step step, HRESULT hr)
{
    if (m_report != nullptr) {
        const bool bTunerStep = step == Step::ConnectTuner && m_szTuner[0] != L'\0';
        m_report(m_pReportContext, step, hr, bTunerStep ? m_szTuner : nullptr);
    }
}

HRESULT Graph::Build(Step& failed, StepReport report, void* pContext, bool bKeepGoing)
{
    Teardown();
    m_report = report;
    m_pReportContext = pContext;
    Parts& p = *m_p;
    HRESULT hrFirst = S_OK;
    // Notes a step's result; true when the build is to stop here.
    auto fail = [&](Step step, HRESULT hr) {
        Note(step, hr);
        if (hr != S_OK && hrFirst == S_OK) {
            hrFirst = hr;
            failed = step;
        }
        return hr != S_OK && !bKeepGoing;
    };

    HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    m_bComStarted = SUCCEEDED(hr);
    if (hr == S_FALSE || hr == RPC_E_CHANGED_MODE)
        hr = S_OK;   // already started on this thread
    if (fail(Step::Com, hr))
        return hrFirst;

    // A tuner first: with none, nothing else matters (and on a system
    // without TV support the category is empty too). Before the graph, so
    // that a PC without a card does not even load DirectShow's graph.
    ComPtr<ICreateDevEnum> devices;
    ComPtr<IEnumMoniker> tuners;
    hr = Create(CLSID_SystemDeviceEnum, IID_ICreateDevEnum, reinterpret_cast<void**>(devices.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = devices->CreateClassEnumerator(CategoryNetworkTuner, tuners.GetAddressOf(), 0);
    if (hr == S_OK && !tuners)
        hr = S_FALSE;
    if (fail(Step::FindTuner, hr) || hr != S_OK)
        return hrFirst;

    hr = Create(CLSID_FilterGraph, IID_IGraphBuilder, reinterpret_cast<void**>(p.graph.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = Create(CLSID_CaptureGraphBuilder2, IID_ICaptureGraphBuilder2, reinterpret_cast<void**>(p.builder.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = p.builder->SetFiltergraph(p.graph.Get());
    if (SUCCEEDED(hr))
        hr = p.graph.As(&p.control);
    if (fail(Step::Graph, hr) || FAILED(hr))
        return hrFirst;   // nothing further can be made without a graph

    // The network provider: the generic one (Windows 7 on), else DVB-C's.
    hr = Create(ClsidGenericNetworkProvider, IID_IBaseFilter, reinterpret_cast<void**>(p.provider.GetAddressOf()));
    if (FAILED(hr))
        hr = Create(CLSID_DVBCNetworkProvider, IID_IBaseFilter, reinterpret_cast<void**>(p.provider.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = p.graph->AddFilter(p.provider.Get(), L"Network Provider");
    if (SUCCEEDED(hr))
        hr = p.provider.As(&p.tuner);
    if (fail(Step::Provider, hr))
        return hrFirst;

    // A DVB tuning space of the cable system type: there is no DVB-C class.
    hr = Create(CLSID_DVBTuningSpace, IID_IDVBTuningSpace2, reinterpret_cast<void**>(p.space.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = p.space->put_SystemType(DVB_Cable);
    if (SUCCEEDED(hr))
        hr = p.space->put__NetworkType(CableNetworkType);
    if (SUCCEEDED(hr)) {
        BSTR name = ::SysAllocString(L"Tavrik DVB-C");
        hr = p.space->put_UniqueName(name);
        if (SUCCEEDED(hr))
            hr = p.space->put_FriendlyName(name);
        ::SysFreeString(name);
    }
    if (fail(Step::TuningSpace, hr))
        return hrFirst;

    hr = Create(CLSID_DVBCLocator, IID_IDVBCLocator, reinterpret_cast<void**>(p.locator.GetAddressOf()));
    if (SUCCEEDED(hr) && p.space)
        hr = p.space->put_DefaultLocator(p.locator.Get());
    if (fail(Step::Locator, hr))
        return hrFirst;

    ComPtr<ITuneRequest> request;
    hr = p.space ? p.space->CreateTuneRequest(request.GetAddressOf()) : E_POINTER;
    if (SUCCEEDED(hr) && p.locator)
        hr = request->put_Locator(p.locator.Get());
    if (fail(Step::TuneRequest, hr))
        return hrFirst;

    hr = p.tuner ? p.tuner->put_TuningSpace(p.space.Get()) : E_POINTER;
    if (SUCCEEDED(hr))
        hr = p.tuner->put_TuneRequest(request.Get());
    if (fail(Step::ProviderTuning, hr))
        return hrFirst;

    // The first tuner that connects to the provider. Without a provider (a
    // look only), the first tuner that can be added at all.
    ComPtr<IMoniker> moniker;
    hr = S_FALSE;
    while (tuners->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        FriendlyName(moniker.Get(), m_szTuner, sizeof m_szTuner / sizeof m_szTuner[0]);
        ComPtr<IBaseFilter> filter;
        hr = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(filter.GetAddressOf()));
        if (SUCCEEDED(hr))
            hr = p.graph->AddFilter(filter.Get(), m_szTuner);
        if (SUCCEEDED(hr) && p.provider) {
            hr = p.builder->RenderStream(nullptr, nullptr, p.provider.Get(), nullptr, filter.Get());
            if (FAILED(hr))
                p.graph->RemoveFilter(filter.Get());
        }
        if (SUCCEEDED(hr)) {
            p.tunerFilter = filter;
            break;
        }
        Note(Step::ConnectTuner, hr);   // this one did not; the next
    }
    if (!p.tunerFilter)
        m_szTuner[0] = L'\0';
    if (fail(Step::ConnectTuner, p.tunerFilter ? S_OK : (hr == S_OK ? S_FALSE : hr)) || !p.tunerFilter)
        return hrFirst;

    // A receiver component, for tuners that need one; otherwise the tuner
    // itself is the capture side.
    p.capture = p.tunerFilter;
    ComPtr<IEnumMoniker> receivers;
    hr = devices->CreateClassEnumerator(CategoryReceiverComponent, receivers.GetAddressOf(), 0);
    if (hr == S_OK && receivers) {
        while (receivers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
            ComPtr<IBaseFilter> filter;
            if (FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(filter.GetAddressOf()))))
                continue;
            if (FAILED(p.graph->AddFilter(filter.Get(), L"Receiver")))
                continue;
            if (SUCCEEDED(p.builder->RenderStream(nullptr, nullptr, p.tunerFilter.Get(), nullptr, filter.Get()))) {
                p.capture = filter;
                break;
            }
            p.graph->RemoveFilter(filter.Get());
        }
    }
    Note(Step::Receiver, p.capture == p.tunerFilter ? S_FALSE : S_OK);

    // The whole transport stream, through the sample grabber.
    hr = Create(ClsidSampleGrabber, IID_IBaseFilter, reinterpret_cast<void**>(p.grabberFilter.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = p.graph->AddFilter(p.grabberFilter.Get(), L"Sample Grabber");
    if (SUCCEEDED(hr))
        hr = p.grabberFilter.As(&p.grabber);
    if (SUCCEEDED(hr)) {
        AM_MEDIA_TYPE type{};
        type.majortype = MEDIATYPE_Stream;
        type.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT;
        hr = p.grabber->SetMediaType(&type);
    }
    if (SUCCEEDED(hr))
        hr = p.grabber->SetOneShot(FALSE);
    if (SUCCEEDED(hr))
        hr = p.grabber->SetBufferSamples(FALSE);
    if (SUCCEEDED(hr))
        hr = p.grabber->SetCallback(&p.callback, 1);   // 1: BufferCB
    if (SUCCEEDED(hr))
        hr = p.builder->RenderStream(nullptr, nullptr, p.capture.Get(), nullptr, p.grabberFilter.Get());
    if (FAILED(hr) && p.grabberFilter) {
        // An unconnected grabber would only stop the graph from running.
        p.graph->RemoveFilter(p.grabberFilter.Get());
        p.grabber.Reset();
        p.grabberFilter.Reset();
    }
    if (fail(Step::Grabber, hr))
        return hrFirst;

    // The demultiplexer and the transport information filter, where the
    // system has them: some drivers tune only with them in the graph. Not
    // having them is no failure.
    ComPtr<IBaseFilter> demux;
    hr = Create(CLSID_MPEG2Demultiplexer, IID_IBaseFilter, reinterpret_cast<void**>(demux.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = p.graph->AddFilter(demux.Get(), L"MPEG-2 Demultiplexer");
    if (SUCCEEDED(hr))
        hr = p.builder->RenderStream(nullptr, nullptr, p.grabberFilter.Get(), nullptr, demux.Get());
    if (SUCCEEDED(hr)) {
        ComPtr<IEnumMoniker> infos;
        if (devices->CreateClassEnumerator(CategoryTransportInformation, infos.GetAddressOf(), 0) == S_OK && infos) {
            while (infos->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
                ComPtr<IBaseFilter> filter;
                if (FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(filter.GetAddressOf()))))
                    continue;
                p.graph->AddFilter(filter.Get(), L"Transport Information");
                if (SUCCEEDED(p.builder->RenderStream(nullptr, nullptr, demux.Get(), nullptr, filter.Get())))
                    break;
                p.graph->RemoveFilter(filter.Get());
            }
        }
    } else if (demux) {
        p.graph->RemoveFilter(demux.Get());
    }
    Note(Step::Demux, hr);

    FindNodes();

    hr = p.control->Run();
    if (hr == S_FALSE) {
        OAFilterState state = State_Stopped;
        hr = p.control->GetState(2000, &state);
        if (SUCCEEDED(hr) && state != State_Running)
            hr = VFW_S_STATE_INTERMEDIATE;
    }
    if (hr == VFW_S_STATE_INTERMEDIATE)
        hr = S_OK;   // running, still settling
    m_bRunning = SUCCEEDED(hr);
    if (FAILED(hr))
        p.control->Stop();
    fail(Step::Run, hr);
    return hrFirst;
}

void Graph::FindNodes()
{
    Parts& p = *m_p;
    ComPtr<IBDA_Topology> topology;
    if (!p.tunerFilter || FAILED(p.tunerFilter.As(&topology)))
        return;
    ULONG nTypes = 0;
    ULONG types[32];
    if (FAILED(topology->GetNodeTypes(&nTypes, 32, types)))
        return;
    for (ULONG i = 0; i < nTypes && i < 32; ++i) {
        ComPtr<IUnknown> node;
        if (FAILED(topology->GetControlNode(0, 1, types[i], node.GetAddressOf())) || !node)
            continue;
        if (!p.frequencyNode)
            node.As(&p.frequencyNode);
        if (!p.demodulatorNode)
            node.As(&p.demodulatorNode);
        if (!p.statisticsNode)
            node.As(&p.statisticsNode);
    }
}

void Graph::Teardown()
{
    Parts& p = *m_p;
    if (p.control)
        p.control->Stop();
    if (p.grabber)
        p.grabber->SetCallback(nullptr, 1);
    // Release in the reverse order of building.
    p.statisticsNode.Reset();
    p.demodulatorNode.Reset();
    p.frequencyNode.Reset();
    p.grabber.Reset();
    p.grabberFilter.Reset();
    p.capture.Reset();
    p.tunerFilter.Reset();
    p.locator.Reset();
    p.space.Reset();
    p.tuner.Reset();
    p.provider.Reset();
    p.control.Reset();
    p.builder.Reset();
    p.graph.Reset();
    m_bRunning = false;
    m_szTuner[0] = L'\0';
    if (m_bComStarted) {
        ::CoUninitialize();
        m_bComStarted = false;
    }
}

HRESULT Graph::Tune(const Tuning& tuning)
{
    Parts& p = *m_p;
    if (!p.tuner || !p.space)
        return E_UNEXPECTED;
    ComPtr<IDVBCLocator> locator;
    HRESULT hr = Create(CLSID_DVBCLocator, IID_IDVBCLocator, reinterpret_cast<void**>(locator.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = locator->put_CarrierFrequency(tuning.nFrequency);
    if (SUCCEEDED(hr))
        hr = locator->put_SymbolRate(tuning.nSymbolRate);
    if (SUCCEEDED(hr))
        hr = locator->put_Modulation(tuning.modulation);
    if (SUCCEEDED(hr))
        hr = locator->put_InnerFEC(BDA_FEC_METHOD_NOT_SET);
    ComPtr<ITuneRequest> request;
    if (SUCCEEDED(hr))
        hr = p.space->CreateTuneRequest(request.GetAddressOf());
    if (SUCCEEDED(hr))
        hr = request->put_Locator(locator.Get());
    if (SUCCEEDED(hr))
        hr = p.tuner->put_TuneRequest(request.Get());
    if (SUCCEEDED(hr))
        p.locator = locator;
    return hr;
}

HRESULT Graph::ReadRequest(Tuning& tuning) const
{
    const Parts& p = *m_p;
    if (!p.locator)
        return E_UNEXPECTED;
    Tuning t;
    HRESULT hr = p.locator->get_CarrierFrequency(&t.nFrequency);
    if (SUCCEEDED(hr))
        hr = p.locator->get_SymbolRate(&t.nSymbolRate);
    if (SUCCEEDED(hr))
        hr = p.locator->get_Modulation(&t.modulation);
    if (SUCCEEDED(hr))
        tuning = t;
    return hr;
}

HRESULT Graph::ReadNodes(Tuning& tuning) const
{
    const Parts& p = *m_p;
    if (!p.frequencyNode || !p.demodulatorNode)
        return E_NOINTERFACE;
    ULONG nFrequency = 0;
    ULONG nMultiplier = 0;
    ULONG nSymbolRate = 0;
    ModulationType modulation = BDA_MOD_NOT_SET;
    HRESULT hr = p.frequencyNode->get_Frequency(&nFrequency);
    if (SUCCEEDED(hr))
        hr = p.frequencyNode->get_FrequencyMultiplier(&nMultiplier);
    if (SUCCEEDED(hr))
        hr = p.demodulatorNode->get_SymbolRate(&nSymbolRate);
    if (SUCCEEDED(hr))
        hr = p.demodulatorNode->get_ModulationType(&modulation);
    if (FAILED(hr))
        return hr;
    // The multiplier is the frequency's unit in Hz (1000: kHz; 1000000: MHz);
    // BDA_FREQUENCY_NOT_SET (-1) or no unit: the node knows nothing.
    if (nFrequency == static_cast<ULONG>(-1) || nMultiplier == 0 || nMultiplier == static_cast<ULONG>(-1))
        return S_FALSE;
    const unsigned long long nKHz = static_cast<unsigned long long>(nFrequency) * nMultiplier / 1000;
    tuning.nFrequency = nKHz > 0x7fffffffull ? -1 : static_cast<long>(nKHz);
    tuning.nSymbolRate = nSymbolRate == static_cast<ULONG>(-1) ? -1 : static_cast<long>(nSymbolRate);
    tuning.modulation = modulation;
    return S_OK;
}

HRESULT Graph::ReadLock(bool& bLocked) const
{
    const Parts& p = *m_p;
    if (p.statisticsNode) {
        BOOLEAN locked = FALSE;
        const HRESULT hr = p.statisticsNode->get_SignalLocked(&locked);
        if (SUCCEEDED(hr)) {
            bLocked = locked != FALSE;
            return S_OK;
        }
    }
    if (!p.tuner)
        return E_UNEXPECTED;
    long nStrength = 0;
    const HRESULT hr = p.tuner->get_SignalStrength(&nStrength);
    if (SUCCEEDED(hr))
        bLocked = nStrength > 0;
    return hr;
}

}  // namespace bda

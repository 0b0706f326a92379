// fake_tuner.dll: a filter that stands in for a BDA tuner under Wine, where
// no tuner exists. Registered (DllRegisterServer) in the network-tuner
// category, it lets the device enumerator find a tuner, so the graph gets
// as far as Windows' own TV classes, which Wine lacks. It has no pins and
// does nothing; with TAVRIK_FAKE_TUNER=busy in the environment, Pause and
// Run answer HRESULT_FROM_WIN32(ERROR_BUSY), as a tuner another program
// holds. Registration goes into the prefix: tests use a throwaway one and
// unregister (DllUnregisterServer) when done.
#include "platform/card/win32/bda_guids.h"

#include <windows.h>
#include <dshow.h>

#include <cstddef>

namespace {

// {5A9C3E1E-7B0D-4C41-9E55-3F1D2B7C0A19}
constexpr GUID ClsidFakeTuner = {0x5a9c3e1e, 0x7b0d, 0x4c41, {0x9e, 0x55, 0x3f, 0x1d, 0x2b, 0x7c, 0x0a, 0x19}};
constexpr wchar_t FakeTunerKey[] = L"CLSID\\{5A9C3E1E-7B0D-4C41-9E55-3F1D2B7C0A19}";
constexpr wchar_t FakeTunerServer[] = L"CLSID\\{5A9C3E1E-7B0D-4C41-9E55-3F1D2B7C0A19}\\InprocServer32";
constexpr wchar_t FakeTunerInstance[] =
    L"CLSID\\{71985F48-1CA1-11D3-9CC8-00C04F7971E0}\\Instance\\{5A9C3E1E-7B0D-4C41-9E55-3F1D2B7C0A19}";
constexpr wchar_t FakeTunerName[] = L"Tavrik test tuner";

HMODULE g_hModule = nullptr;

void Copy(wchar_t* pszTo, const wchar_t* pszFrom, std::size_t nSize)
{
    std::size_t i = 0;
    for (; pszFrom != nullptr && pszFrom[i] != L'\0' && i + 1 < nSize; ++i)
        pszTo[i] = pszFrom[i];
    pszTo[i] = L'\0';
}
LONG g_nObjects = 0;

bool Busy()
{
    char szValue[16] = {};
    return ::GetEnvironmentVariableA("TAVRIK_FAKE_TUNER", szValue, sizeof szValue) > 0 &&
           lstrcmpA(szValue, "busy") == 0;
}

template <class Interface>
class Unknown : public Interface
{
public:
    virtual ~Unknown() { ::InterlockedDecrement(&g_nObjects); }
    Unknown() { ::InterlockedIncrement(&g_nObjects); }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_nRefs)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG n = ::InterlockedDecrement(&m_nRefs);
        if (n == 0)
            delete this;
        return static_cast<ULONG>(n);
    }

private:
    LONG m_nRefs = 1;
};

class NoPins : public Unknown<IEnumPins>
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IEnumPins) {
            *ppv = static_cast<IEnumPins*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP Next(ULONG, IPin**, ULONG* pnFetched) override
    {
        if (pnFetched != nullptr)
            *pnFetched = 0;
        return S_FALSE;
    }
    STDMETHODIMP Skip(ULONG) override { return S_FALSE; }
    STDMETHODIMP Reset() override { return S_OK; }
    STDMETHODIMP Clone(IEnumPins** ppEnum) override
    {
        *ppEnum = new NoPins;
        return S_OK;
    }
};

class FakeTuner : public Unknown<IBaseFilter>
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) {
            *ppv = static_cast<IBaseFilter*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP GetClassID(CLSID* pClsid) override
    {
        *pClsid = ClsidFakeTuner;
        return S_OK;
    }
    STDMETHODIMP Stop() override
    {
        m_state = State_Stopped;
        return S_OK;
    }
    STDMETHODIMP Pause() override { return Enter(State_Paused); }
    STDMETHODIMP Run(REFERENCE_TIME) override { return Enter(State_Running); }
    STDMETHODIMP GetState(DWORD, FILTER_STATE* pState) override
    {
        *pState = m_state;
        return S_OK;
    }
    STDMETHODIMP SetSyncSource(IReferenceClock*) override { return S_OK; }
    STDMETHODIMP GetSyncSource(IReferenceClock** ppClock) override
    {
        *ppClock = nullptr;
        return S_OK;
    }
    STDMETHODIMP EnumPins(IEnumPins** ppEnum) override
    {
        *ppEnum = new NoPins;
        return S_OK;
    }
    STDMETHODIMP FindPin(LPCWSTR, IPin** ppPin) override
    {
        *ppPin = nullptr;
        return VFW_E_NOT_FOUND;
    }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* pInfo) override
    {
        Copy(pInfo->achName, m_szName, MAX_FILTER_NAME);
        pInfo->pGraph = m_pGraph;
        if (m_pGraph != nullptr)
            m_pGraph->AddRef();
        return S_OK;
    }
    STDMETHODIMP JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pszName) override
    {
        m_pGraph = pGraph;   // not held: the graph holds the filter
        Copy(m_szName, pszName, MAX_FILTER_NAME);
        return S_OK;
    }
    STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

private:
    HRESULT Enter(FILTER_STATE state)
    {
        if (Busy())
            return HRESULT_FROM_WIN32(ERROR_BUSY);
        m_state = state;
        return S_OK;
    }

    FILTER_STATE m_state = State_Stopped;
    IFilterGraph* m_pGraph = nullptr;
    wchar_t m_szName[MAX_FILTER_NAME] = {};
};

class Factory : public IClassFactory
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (pOuter != nullptr)
            return CLASS_E_NOAGGREGATION;
        FakeTuner* pTuner = new FakeTuner;
        const HRESULT hr = pTuner->QueryInterface(riid, ppv);
        pTuner->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

HRESULT SetKey(const wchar_t* pszKey, const wchar_t* pszName, const wchar_t* pszValue)
{
    HKEY hKey = nullptr;
    LONG nErr = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, pszKey, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr);
    if (nErr == ERROR_SUCCESS) {
        nErr = ::RegSetValueExW(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszValue),
                                static_cast<DWORD>((lstrlenW(pszValue) + 1) * sizeof(wchar_t)));
        ::RegCloseKey(hKey);
    }
    return HRESULT_FROM_WIN32(nErr);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD nReason, LPVOID)
{
    if (nReason == DLL_PROCESS_ATTACH)
        g_hModule = hInstance;
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (clsid != ClsidFakeTuner) {
        *ppv = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return g_nObjects == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    wchar_t szPath[MAX_PATH] = {};
    ::GetModuleFileNameW(g_hModule, szPath, MAX_PATH);
    HRESULT hr = SetKey(FakeTunerKey, nullptr, FakeTunerName);
    if (SUCCEEDED(hr))
        hr = SetKey(FakeTunerServer, nullptr, szPath);
    if (SUCCEEDED(hr))
        hr = SetKey(FakeTunerServer, L"ThreadingModel", L"Both");
    IFilterMapper2* pMapper = nullptr;
    if (SUCCEEDED(hr))
        hr = ::CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                reinterpret_cast<void**>(&pMapper));
    if (SUCCEEDED(hr)) {
        REGFILTER2 filter{};
        filter.dwVersion = 1;
        filter.dwMerit = MERIT_DO_NOT_USE;
        filter.cPins = 0;
        hr = pMapper->RegisterFilter(ClsidFakeTuner, FakeTunerName, nullptr, &bda::CategoryNetworkTuner, nullptr,
                                     &filter);
        pMapper->Release();
    }
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    IFilterMapper2* pMapper = nullptr;
    if (SUCCEEDED(::CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                     reinterpret_cast<void**>(&pMapper)))) {
        pMapper->UnregisterFilter(&bda::CategoryNetworkTuner, nullptr, ClsidFakeTuner);
        pMapper->Release();
    }
    // UnregisterFilter leaves the instance's key behind; with it the
    // category would not read as empty again.
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, FakeTunerInstance);
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, FakeTunerKey);
    return S_OK;
}

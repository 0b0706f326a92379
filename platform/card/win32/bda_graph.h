// The BDA filter graph for a DVB-C card: the thin part only a Windows PC
// with a card can judge. It builds, tunes, reads back and tears down; every
// rule above it (units, defaults, what a retune keeps, the PIDs, the codes)
// lives in platform-free code.
//
// The graph, in the usual order:
//   network provider (the generic one, else the DVB-C one)
//     -> the first tuner in the network-tuner category that connects
//     -> a receiver component, if the tuner needs one
//     -> sample grabber (the whole transport stream, to the StreamSink)
//     -> MPEG-2 demultiplexer -> transport information filter, where the
//        system has them (some drivers only tune with them in the graph)
// run with no renderer. The provider holds a DVB tuning space of the cable
// system type, and tunes with a tune request holding a DVB-C locator.
//
// Units, as BDA has them: frequency kHz (the locator's carrier frequency),
// symbol rate kSym/s, -1 for "not set".
#pragma once

#include "platform/card/bda_open_codes.h"

#include <windows.h>
#include <bdatypes.h>

#include <cstddef>
#include <cstdint>

struct IGraphBuilder;
struct IBaseFilter;
struct ITuner;
struct ITuningSpace;
struct IDVBCLocator;
struct IBDA_FrequencyFilter;
struct IBDA_DigitalDemodulator;
struct IBDA_SignalStatistics;
struct IMediaControl;

namespace bda {

// Receives the captured stream, on the graph's streaming thread.
typedef void (*StreamSink)(void* pContext, const std::uint8_t* pData, std::size_t nBytes);
// Told each step's result as the graph is built (detail: the tuner's name
// for the tuner steps, else null).
typedef void (*StepReport)(void* pContext, Step step, HRESULT hr, const wchar_t* pszDetail);

// What a tune request's locator or the tuner's nodes hold.
struct Tuning
{
    long nFrequency = -1;    // kHz; -1: not set
    long nSymbolRate = -1;   // kSym/s; -1: not set
    ModulationType modulation = BDA_MOD_NOT_SET;
};

class Graph
{
public:
    Graph(StreamSink sink, void* pContext);
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    // Builds the graph and runs it. S_OK, or the HRESULT of the first step
    // that failed, with that step in failed (S_FALSE for a step that found
    // nothing). With bKeepGoing, the steps that can still be made are made
    // after a failure (tavrik-check.exe shows them all); the graph is then
    // for looking at only, and Teardown ends it.
    HRESULT Build(Step& failed, StepReport report = nullptr, void* pContext = nullptr, bool bKeepGoing = false);
    // Stops the graph and lets go of everything.
    void Teardown();
    bool Running() const { return m_bRunning; }

    // A new tune request with these values.
    HRESULT Tune(const Tuning& tuning);
    // The current tune request's locator.
    HRESULT ReadRequest(Tuning& tuning) const;
    // What the tuner's own nodes report, where the driver has them: the RF
    // tuner's frequency (with its multiplier, in kHz) and the demodulator's
    // symbol rate and modulation. E_NOINTERFACE without such nodes.
    HRESULT ReadNodes(Tuning& tuning) const;
    HRESULT ReadLock(bool& bLocked) const;

    // The connected tuner's friendly name (empty before).
    const wchar_t* TunerName() const { return m_szTuner; }

private:
    struct Parts;
    // Tells the report, if any, how a step went.
    void Note(Step step, HRESULT hr);
    void FindNodes();

    // The COM objects (Parts, in the .cpp), kept in place: the product
    // allocates nothing with operator new, which would bring in the C++
    // runtime's exception support.
    void* m_storage[20];
    Parts* m_p;
    StepReport m_report = nullptr;
    void* m_pReportContext = nullptr;
    bool m_bRunning = false;
    bool m_bComStarted = false;
    wchar_t m_szTuner[128] = {};
};

}  // namespace bda

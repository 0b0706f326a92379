// What a failed step of building a Windows BDA graph means to the user: the
// code DVB_OpenBoard reports for it. Platform-free, so the rules are tested
// natively; HRESULTs are carried as the 32-bit numbers they are.
//
//   2            no tuner: the network-tuner category is empty, or no tuner
//                in it connects to the DVB-C network provider
//   16           busy: another program has the tuner (the step answered
//                HRESULT_FROM_WIN32(ERROR_BUSY) or a sharing violation)
//   4101         the system lacks the BDA components: a class of Windows'
//                TV support is not registered (REGDB_E_CLASSNOTREG), as on
//                the N editions of Windows and under Wine
//   4102         a step succeeded but gave nothing to go on
//   2147483648   and above: any other failure, the step's HRESULT itself
//                (0x80000000 and up, shown in decimal; tavrik-check.exe
//                prints it in hex with the step)
#pragma once

#include <cstdint>

namespace bda {

// The steps, in the order the graph is built.
enum class Step {
    Com,              // CoInitializeEx
    FindTuner,        // the network-tuner category has a device
    Graph,            // the filter graph and the capture graph builder
    Provider,         // the network provider: the generic one, else DVB-C's
    TuningSpace,      // a DVB tuning space of the cable system type
    Locator,          // a DVB-C locator as its default
    TuneRequest,      // a tune request from the tuning space
    ProviderTuning,   // the provider takes the tuning space and the request
    ConnectTuner,     // the first tuner that connects to the provider
    Receiver,         // a receiver component after the tuner, if it needs one
    Grabber,          // the sample grabber on the capture side
    Demux,            // the MPEG-2 demultiplexer and transport information
    Run,              // the graph runs, with no renderer
};
constexpr int StepCount = 13;

constexpr std::uint32_t ErrNoTuner = 2;
constexpr std::uint32_t ErrBusy = 16;
constexpr std::uint32_t ErrNoBdaComponents = 4101;
constexpr std::uint32_t ErrNothingFound = 4102;

// HRESULTs the mapping knows.
constexpr std::uint32_t HrClassNotRegistered = 0x80040154u;   // REGDB_E_CLASSNOTREG
constexpr std::uint32_t HrBusy = 0x800700AAu;                 // HRESULT_FROM_WIN32(ERROR_BUSY)
constexpr std::uint32_t HrSharingViolation = 0x80070020u;     // ERROR_SHARING_VIOLATION
constexpr std::uint32_t HrFalse = 1;                          // S_FALSE: nothing there

// The code for the first step that failed with hr.
constexpr std::uint32_t OpenCode(Step step, std::uint32_t hr)
{
    if (hr == HrClassNotRegistered)
        return ErrNoBdaComponents;
    if (hr == HrBusy || hr == HrSharingViolation)
        return ErrBusy;
    if (step == Step::FindTuner || step == Step::ConnectTuner)
        return ErrNoTuner;
    return (hr & 0x80000000u) ? hr : ErrNothingFound;
}

inline const char* StepName(Step step)
{
    static const char* const names[StepCount] = {
        "COM", "network tuner category", "filter graph", "network provider", "DVB-C tuning space",
        "DVB-C locator", "tune request", "provider tuning", "tuner connected", "receiver component",
        "sample grabber", "demultiplexer", "run"};
    const int i = static_cast<int>(step);
    return i >= 0 && i < StepCount ? names[i] : "?";
}

}  // namespace bda

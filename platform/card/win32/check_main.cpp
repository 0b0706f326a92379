// tavrik-check.exe: what a Windows PC makes of a DVB-C card, step by step,
// for a bug report. It builds the BDA graph as tavrik.exe does and prints
// every step's HRESULT (going on after a failure where it can, to show as
// much as possible), tunes to the frequency given, reads back from the
// tuner's nodes and from the tune request, selects the PIDs given and
// counts what the PID filter passes to 127.0.0.1:1234 for a few seconds.
//
//   tavrik-check [frequency-kHz [symbol-rate-kSym/s [video-PID [audio-PID]]]]
//
// Defaults: 394000 kHz, 6900 kSym/s, no PIDs. The exit code is the code
// DVB_OpenBoard reports for this card (0: it opens).
#include "platform/card/bda_open_codes.h"
#include "platform/card/ts/ts_pid_filter.h"
#include "platform/card/ts/udp_sender.h"
#include "platform/card/win32/bda_graph.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

struct Stream
{
    CRITICAL_SECTION lock;
    tsfilter::UdpSender udp;
    tsfilter::PidFilter filter{&tsfilter::UdpSender::SinkTo, &udp};
    std::uint64_t nBytes = 0;
};

void OnStream(void* pContext, const std::uint8_t* pData, std::size_t nBytes)
{
    Stream* s = static_cast<Stream*>(pContext);
    ::EnterCriticalSection(&s->lock);
    s->nBytes += nBytes;
    s->filter.Push(pData, nBytes);
    ::LeaveCriticalSection(&s->lock);
}

const char* Name(HRESULT hr)
{
    switch (static_cast<std::uint32_t>(hr)) {
    case 0x00000000u: return "S_OK";
    case 0x00000001u: return "S_FALSE, nothing found";
    case 0x80040154u: return "REGDB_E_CLASSNOTREG, class not registered";
    case 0x800700AAu: return "ERROR_BUSY, in use by another program";
    case 0x80070020u: return "ERROR_SHARING_VIOLATION";
    case 0x80004002u: return "E_NOINTERFACE";
    case 0x80004001u: return "E_NOTIMPL";
    case 0x80070057u: return "E_INVALIDARG";
    case 0x80004005u: return "E_FAIL";
    case 0x80004003u: return "E_POINTER, an earlier step made nothing";
    case 0x80040217u: return "VFW_E_CANNOT_CONNECT";
    case 0x80040207u: return "VFW_E_NO_ACCEPTABLE_TYPES";
    case 0x8004020Bu: return "VFW_E_NOT_FOUND";
    default: return "";
    }
}

void Report(void*, bda::Step step, HRESULT hr, const wchar_t* pszDetail)
{
    std::printf("step %-24s 0x%08lX %s", bda::StepName(step), static_cast<unsigned long>(hr), Name(hr));
    if (pszDetail != nullptr)
        std::printf(" [%ls]", pszDetail);
    std::printf("\n");
}

unsigned long Argument(int argc, char** argv, int i, unsigned long nDefault)
{
    return i < argc ? std::strtoul(argv[i], nullptr, 0) : nDefault;
}

void PrintTuning(const char* pszFrom, HRESULT hr, const bda::Tuning& t)
{
    std::printf("read back from %-12s 0x%08lX", pszFrom, static_cast<unsigned long>(hr));
    if (hr == S_OK)
        std::printf(": %ld kHz, %ld kSym/s, modulation %d", t.nFrequency, t.nSymbolRate, static_cast<int>(t.modulation));
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    const long nFrequency = static_cast<long>(Argument(argc, argv, 1, 394000));
    const long nSymbolRate = static_cast<long>(Argument(argc, argv, 2, 6900));
    const unsigned long nVideo = Argument(argc, argv, 3, tsfilter::NoPid);
    const unsigned long nAudio = Argument(argc, argv, 4, tsfilter::NoPid);
    std::printf("tavrik-check 1.0: a DVB-C card through the Broadcast Driver Architecture\n");

    Stream stream;
    ::InitializeCriticalSection(&stream.lock);
    bda::Graph graph(&OnStream, &stream);
    bda::Step failed = bda::Step::Com;
    const HRESULT hrBuild = graph.Build(failed, &Report, nullptr, true);
    const std::uint32_t nCode = hrBuild == S_OK ? 0 : bda::OpenCode(failed, static_cast<std::uint32_t>(hrBuild));
    if (hrBuild != S_OK)
        std::printf("first failure: %s, 0x%08lX\n", bda::StepName(failed), static_cast<unsigned long>(hrBuild));
    std::printf("DVB_OpenBoard code: %lu\n", static_cast<unsigned long>(nCode));

    if (hrBuild == S_OK) {
        std::printf("tuner: %ls\n", graph.TunerName());
        bda::Tuning tuning;
        tuning.nFrequency = nFrequency;
        tuning.nSymbolRate = nSymbolRate;
        tuning.modulation = BDA_MOD_256QAM;
        std::printf("tune %ld kHz, %ld kSym/s, QAM-256: 0x%08lX\n", nFrequency, nSymbolRate,
                    static_cast<unsigned long>(graph.Tune(tuning)));
        ::Sleep(1000);
        bda::Tuning read;
        HRESULT hr = graph.ReadNodes(read);
        PrintTuning("tuner nodes", hr, read);
        std::printf("tavrik shows the %s\n", hr == S_OK ? "tuner nodes' values" : "tune request's values");
        read = bda::Tuning{};
        PrintTuning("tune request", graph.ReadRequest(read), read);
        bool bLocked = false;
        hr = graph.ReadLock(bLocked);
        std::printf("signal locked: 0x%08lX %s\n", static_cast<unsigned long>(hr), bLocked ? "yes" : "no");

        if (nVideo != tsfilter::NoPid || nAudio != tsfilter::NoPid) {
            const bool bUdp = stream.udp.Open();
            ::EnterCriticalSection(&stream.lock);
            stream.filter.Select(static_cast<std::uint16_t>(nVideo), static_cast<std::uint16_t>(nAudio));
            ::LeaveCriticalSection(&stream.lock);
            std::printf("PIDs video %lu audio %lu to udp://%s:%u%s; watching 5 s\n", nVideo, nAudio,
                        tsfilter::DefaultUdpHost, tsfilter::DefaultUdpPort, bUdp ? "" : " (no socket)");
            ::Sleep(5000);
        } else {
            ::Sleep(2000);
        }
        ::EnterCriticalSection(&stream.lock);
        std::printf("stream: %lu bytes captured, %lu packets, %lu passed, %lu programs, %lu damaged sections\n",
                    static_cast<unsigned long>(stream.nBytes), static_cast<unsigned long>(stream.filter.PacketsIn()),
                    static_cast<unsigned long>(stream.filter.PacketsOut()),
                    static_cast<unsigned long>(stream.filter.ProgramCount()),
                    static_cast<unsigned long>(stream.filter.SectionsDropped()));
        for (std::size_t i = 0; i < stream.filter.ProgramCount(); ++i) {
            const tsfilter::PidFilter::Program& program = stream.filter.ProgramAt(i);
            std::printf("  program %u: PMT %u, PCR %u, streams", program.wNumber, program.wPmtPid, program.wPcrPid);
            for (std::size_t j = 0; j < program.nStreams; ++j)
                std::printf(" %u", program.streamPids[j]);
            std::printf("\n");
        }
        ::LeaveCriticalSection(&stream.lock);
    }
    graph.Teardown();
    ::DeleteCriticalSection(&stream.lock);
    return static_cast<int>(nCode);
}

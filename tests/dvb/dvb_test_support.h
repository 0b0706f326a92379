// What the DVB tests need besides the card library: another program on the
// same card, and the kernel's view of the card read past the library.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace dvbtest {

// The adapter the tests expect the card on: TAVRIK_TEST_ADAPTER, or 0.
int TestAdapter();
std::string DevicePath(const char* pszDevice);   // of TestAdapter()
bool AdapterPresent();
// Whether any /dev/dvb/adapterN has a front end.
bool AnyAdapterPresent();

// A child process that holds the front end read-write, as a TV program would,
// and retunes it or routes a decoder PID when told. Start it while the
// process has no other threads touching the card.
class OtherProgram
{
public:
    enum Kind : std::uint32_t { Tune, VideoPid, Release, Quit };
    struct Command
    {
        Kind kind;
        std::uint32_t nSystem;
        std::uint32_t nFrequency;    // the front end's unit
        std::uint32_t nSymbolRate;   // symbols per second
        std::uint16_t wPid;
    };

    OtherProgram() = default;
    OtherProgram(const OtherProgram&) = delete;
    OtherProgram& operator=(const OtherProgram&) = delete;
    ~OtherProgram();

    // Starts the program; the errno of its read-write open, or 0.
    int Start();
    // Each returns 0 or an errno value.
    int TuneTo(std::uint32_t nSystem, std::uint32_t nFrequency, std::uint32_t nSymbolRate);
    int SetVideoPid(std::uint16_t wPid);
    // Closes the front end but keeps the decoder filters.
    int LetGoOfFrontEnd();

private:
    int Do(const Command& c);
    int Answer();

    pid_t m_pid = -1;
    int m_fdCommand = -1;
    int m_fdAnswer = -1;
};

struct KernelTuning
{
    std::uint32_t nSystem = 0;
    std::uint32_t nFrequency = 0;     // the front end's unit
    std::uint32_t nSymbolRate = 0;    // symbols per second
    std::uint32_t nModulation = 0;
    std::uint32_t nInversion = 0;
};
KernelTuning ReadKernelTuning();

struct KernelPids
{
    std::uint16_t wAudio = 0;
    std::uint16_t wVideo = 0;
};
KernelPids ReadKernelPids();

// Puts the card on a multiplex, as another program would, and leaves it free.
void PutCardOn(std::uint32_t nSystem, std::uint32_t nFrequency, std::uint32_t nSymbolRate);

// Makes the front end look as it does after the driver has loaded: on
// DVB-T, with no frequency (DTV_CLEAR).
void ForgetTuning();
// The same, on another delivery system (its SYS_* number).
void ForgetTuningOn(std::uint32_t nSystem);

// TS packets read from the DVR device, by PID: what arrives in `counting`
// after `settling` (whose packets are dropped). Appends the packets to
// *pCapture when given.
std::map<std::uint16_t, unsigned> CountDvrPackets(std::chrono::milliseconds settling,
                                                  std::chrono::milliseconds counting,
                                                  std::vector<std::uint8_t>* pCapture = nullptr);
std::string Describe(const std::map<std::uint16_t, unsigned>& packets);

// How often the kernel has called vidtv's tuner to tune (a kprobe on
// vidtv_tuner_set_params, set up through tracefs at the first call); -1
// where kprobe events are not to be had.
long TunerTunes();
// TunerTunes once the count has stayed the same for 300 ms (at most 3 s):
// the kernel's front-end thread tunes after the call that asked for it.
long SettledTunerTunes();

// Runs fn in a child process as user and group `id` with no supplementary
// groups, and returns what it returned (fn must return 0..255; -1 if the
// child could not switch or died).
int RunAsUser(unsigned id, const std::function<int()>& fn);

}  // namespace dvbtest

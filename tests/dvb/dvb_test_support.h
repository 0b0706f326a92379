// What the DVB tests need besides the card library: another program on the
// same card, and the kernel's view of the card read past the library.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace dvbtest {

bool AdapterPresent();

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

}  // namespace dvbtest

// Counts the calls the tool makes into the card library. The benchmark links
// the simulated card with the linker's --wrap for each entry point, so every
// call from the dialog passes through here on its way to the card.
#pragma once

#include <cstdint>

namespace bench {

struct CardCalls
{
    std::uint64_t sets = 0;   // SetVideoPID, SetAudioPID, SetFrequency
    std::uint64_t gets = 0;   // GetVideoPID, GetAudioPid, GetFrequency, GetSymbolrate
};

CardCalls& Calls();

}  // namespace bench

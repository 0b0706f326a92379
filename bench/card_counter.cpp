#include "bench/card_counter.h"

#include "platform/card/card_library.h"

// The wrapped entry points under their linker names (Itanium C++ ABI: a
// member function takes the object as its first argument).
#define TAVRIK_WRAP(sym, ...)                                                              \
    extern "C" CCommonDVB::ErrReturn __real_##sym(__VA_ARGS__);                            \
    extern "C" CCommonDVB::ErrReturn __wrap_##sym(__VA_ARGS__)

namespace bench {

CardCalls& Calls()
{
    static CardCalls calls;
    return calls;
}

}  // namespace bench

TAVRIK_WRAP(_ZN12CMPEGDecoder11GetAudioPidERt, CMPEGDecoder* p, std::uint16_t& w)
{
    ++bench::Calls().gets;
    return __real__ZN12CMPEGDecoder11GetAudioPidERt(p, w);
}

TAVRIK_WRAP(_ZN12CMPEGDecoder11GetVideoPIDERt, CMPEGDecoder* p, std::uint16_t& w)
{
    ++bench::Calls().gets;
    return __real__ZN12CMPEGDecoder11GetVideoPIDERt(p, w);
}

TAVRIK_WRAP(_ZN12CMPEGDecoder11SetAudioPIDEt, CMPEGDecoder* p, std::uint16_t w)
{
    ++bench::Calls().sets;
    return __real__ZN12CMPEGDecoder11SetAudioPIDEt(p, w);
}

TAVRIK_WRAP(_ZN12CMPEGDecoder11SetVideoPIDEt, CMPEGDecoder* p, std::uint16_t w)
{
    ++bench::Calls().sets;
    return __real__ZN12CMPEGDecoder11SetVideoPIDEt(p, w);
}

TAVRIK_WRAP(_ZN9CFrontend12GetFrequencyERj, CFrontend* p, std::uint32_t& n)
{
    ++bench::Calls().gets;
    return __real__ZN9CFrontend12GetFrequencyERj(p, n);
}

TAVRIK_WRAP(_ZN9CFrontend13GetSymbolrateERj, CFrontend* p, std::uint32_t& n)
{
    ++bench::Calls().gets;
    return __real__ZN9CFrontend13GetSymbolrateERj(p, n);
}

TAVRIK_WRAP(_ZN9CFrontend12SetFrequencyEji, CFrontend* p, std::uint32_t n, int nFlags)
{
    ++bench::Calls().sets;
    return __real__ZN9CFrontend12SetFrequencyEji(p, n, nFlags);
}

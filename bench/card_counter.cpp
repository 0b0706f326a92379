#include "bench/card_counter.h"

#include "platform/card/card_library.h"

#include <type_traits>

// Each wrapped entry point: its linker name (Itanium C++ ABI: a member
// function takes the object as its first argument), the member it stands for
// and that member's parameters. The build stops when the two drift apart:
// the static_assert when the member's parameters change (or it gains an
// overload), the linker (__real_<name> undefined) when the name is not the
// member's. bench/CMakeLists.txt reads the names from this file for --wrap.
#define TAVRIK_WRAP(sym, Class, member, ...)                                                             \
    static_assert(std::is_same_v<decltype(&Class::member), CCommonDVB::ErrReturn (Class::*)(__VA_ARGS__)>, \
                  #Class "::" #member " is no longer " #sym);                                             \
    extern "C" CCommonDVB::ErrReturn __real_##sym(Class*, __VA_ARGS__);                                  \
    extern "C" CCommonDVB::ErrReturn __wrap_##sym(Class* p, __VA_ARGS__)

namespace bench {

CardCalls& Calls()
{
    static CardCalls calls;
    return calls;
}

}  // namespace bench

TAVRIK_WRAP(_ZN12CMPEGDecoder11GetAudioPidERt, CMPEGDecoder, GetAudioPid, std::uint16_t& w)
{
    ++bench::Calls().gets;
    return __real__ZN12CMPEGDecoder11GetAudioPidERt(p, w);
}

TAVRIK_WRAP(_ZN12CMPEGDecoder11GetVideoPIDERt, CMPEGDecoder, GetVideoPID, std::uint16_t& w)
{
    ++bench::Calls().gets;
    return __real__ZN12CMPEGDecoder11GetVideoPIDERt(p, w);
}

TAVRIK_WRAP(_ZN12CMPEGDecoder11SetAudioPIDEt, CMPEGDecoder, SetAudioPID, std::uint16_t w)
{
    ++bench::Calls().sets;
    return __real__ZN12CMPEGDecoder11SetAudioPIDEt(p, w);
}

TAVRIK_WRAP(_ZN12CMPEGDecoder11SetVideoPIDEt, CMPEGDecoder, SetVideoPID, std::uint16_t w)
{
    ++bench::Calls().sets;
    return __real__ZN12CMPEGDecoder11SetVideoPIDEt(p, w);
}

TAVRIK_WRAP(_ZN9CFrontend12GetFrequencyERj, CFrontend, GetFrequency, std::uint32_t& n)
{
    ++bench::Calls().gets;
    return __real__ZN9CFrontend12GetFrequencyERj(p, n);
}

TAVRIK_WRAP(_ZN9CFrontend13GetSymbolrateERj, CFrontend, GetSymbolrate, std::uint32_t& n)
{
    ++bench::Calls().gets;
    return __real__ZN9CFrontend13GetSymbolrateERj(p, n);
}

TAVRIK_WRAP(_ZN9CFrontend12SetFrequencyEji, CFrontend, SetFrequency, std::uint32_t n, int nFlags)
{
    ++bench::Calls().sets;
    return __real__ZN9CFrontend12SetFrequencyEji(p, n, nFlags);
}

// The global operator new and delete of the Windows card tools. The product
// is built without exceptions, so the C++ runtime's own operator new, which
// throws std::bad_alloc, would bring in its exception support and its
// demangler (some 150 KB in the i686 exe) for a throw that could never be
// caught. These are the replaceable functions of the standard: new asks
// the C runtime for the memory and ends the program when there is none, as
// an uncaught std::bad_alloc would.
#include <cstdlib>
#include <new>

void* operator new(std::size_t nBytes)
{
    void* p = std::malloc(nBytes != 0 ? nBytes : 1);
    if (p == nullptr)
        std::abort();
    return p;
}

void* operator new[](std::size_t nBytes)
{
    return ::operator new(nBytes);
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

// Fuzz target: the program tables' path from the air. Any bytes a section
// filter hands out go to both parsers (our checks, then libdvbv5's); each
// must end, refuse what is no section of its table, and read nothing past
// the bytes it was given. What it accepts must make sense.
#include "platform/card/program_tables.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A copy of exactly the input's size, so a read past it is caught.
    const std::vector<std::uint8_t> section(data, data + size);
    dvbcard::PatSection pat;
    if (dvbcard::ParsePatSection(section.data(), section.size(), pat)) {
        // Four bytes an entry, within the section.
        if (pat.programs.size() * 4 > size)
            std::abort();
    }
    dvbcard::PmtSection pmt;
    if (dvbcard::ParsePmtSection(section.data(), section.size(), pmt)) {
        // Five bytes at least a stream, within the section.
        if (pmt.streams.size() * 5 > size || pmt.wPcrPid > 0x1fff)
            std::abort();
        for (std::uint16_t wPid : pmt.streams)
            if (wPid > 0x1fff)
                std::abort();
    }
    return 0;
}

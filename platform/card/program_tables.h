// Program tables from bytes: what the board takes from the PAT and the PMT
// sections a card device hands out (CardDevice::ReadSection), and the
// multiplex's program map built from them.
//
// The two parsers are the platform's: the Linux back end's use libdvbv5's
// table parsers (platform/card/linux/dvb_sections.cpp). These bytes come
// from the air, so each parser takes any bytes: a section that is short,
// damaged or of another table is refused (false), never read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dvbcard {

constexpr std::uint16_t PatPid = 0;
constexpr std::uint16_t NullPid = 0x1fff;   // stuffing; as a PCR PID: no clock
constexpr std::uint8_t PatTableId = 0x00;
constexpr std::uint8_t PmtTableId = 0x02;

// One section of a PAT (table 0 on PID 0).
struct PatSection
{
    struct Program
    {
        std::uint16_t wNumber;   // 0: the network PID, not a program
        std::uint16_t wPmtPid;
    };
    std::uint16_t wTransportStream = 0;
    std::uint8_t nVersion = 0;
    std::uint8_t nSection = 0;
    std::uint8_t nLastSection = 0;
    std::vector<Program> programs;
};

// A PMT section (table 2): one program's streams and clock.
struct PmtSection
{
    std::uint16_t wProgram = 0;
    std::uint8_t nVersion = 0;
    std::uint16_t wPcrPid = 0;
    std::vector<std::uint16_t> streams;   // elementary PIDs, in the table's order
};

// Whole sections, from the table id to the CRC; true when the bytes are a
// section of that table and it was read.
bool ParsePatSection(const std::uint8_t* pSection, std::size_t nSize, PatSection& pat);
bool ParsePmtSection(const std::uint8_t* pSection, std::size_t nSize, PmtSection& pmt);

// What the multiplex's PMTs list: for each program, its PMT PID, its clock
// and the PIDs it carries.
struct ProgramMap
{
    struct Program
    {
        std::uint16_t wNumber = 0;
        std::uint16_t wPmtPid = 0;
        std::uint16_t wPcrPid = 0;
        std::uint8_t nVersion = 0;   // of its PMT
        std::vector<std::uint16_t> pids;   // its PCR first, then its streams
    };
    std::vector<Program> programs;   // in the PAT's order

    // The first program (in the PAT's order) that carries wPid as a stream
    // or as its clock; nullptr if none.
    const Program* ProgramFor(std::uint16_t wPid) const;
};

}  // namespace dvbcard

// The program tables from bytes, with libdvbv5's table parsers.
//
// The bytes come from the air. libdvbv5 trusts the section's own length
// field as far as the length it is given, so every section is checked here
// first: long enough for its header and CRC, no longer than a PSI section
// may be, its length field within the bytes read, and of the table asked
// for.
#include "platform/card/program_tables.h"

#include <libdvbv5/dvb-fe.h>
#include <libdvbv5/header.h>
#include <libdvbv5/pat.h>
#include <libdvbv5/pmt.h>

#include <cstring>

namespace dvbcard {
namespace {

constexpr std::size_t HeaderSize = 8;   // up to and with last_section_number
constexpr std::size_t CrcSize = 4;
constexpr std::size_t MaxSectionLength = 1021;   // a PSI section's length field

void Quiet(int, const char*, ...) {}

// libdvbv5's parsers log through a front end's parameters; these stand for
// none, and say nothing (bad sections are the air's, not the user's).
dvb_v5_fe_parms* ParserParms()
{
    static dvb_v5_fe_parms* const parms = [] {
        dvb_v5_fe_parms* p = dvb_fe_dummy();
        if (p != nullptr)
            p->logfunc = Quiet;
        return p;
    }();
    return parms;
}

// The bytes a parser may read (the section without its CRC), or 0 if the
// bytes are no whole section of table nTableId.
std::size_t Checked(const std::uint8_t* p, std::size_t nSize, std::uint8_t nTableId)
{
    if (p == nullptr || nSize < HeaderSize + CrcSize || p[0] != nTableId)
        return 0;
    const std::size_t nLength = ((p[1] & 0x0fu) << 8) | p[2];
    if ((p[1] & 0x80) == 0 || nLength > MaxSectionLength || nLength + 3 < HeaderSize + CrcSize ||
        nLength + 3 > nSize)
        return 0;
    return nLength + 3 - CrcSize;
}

void ReadHeader(const std::uint8_t* p, std::uint8_t& nVersion, std::uint8_t& nSection, std::uint8_t& nLast)
{
    dvb_table_header header;
    std::memcpy(&header, p, sizeof header);
    dvb_table_header_init(&header);
    nVersion = header.version;
    nSection = header.section_id;
    nLast = header.last_section;
}

}  // namespace

bool ParsePatSection(const std::uint8_t* pSection, std::size_t nSize, PatSection& pat)
{
    const std::size_t n = Checked(pSection, nSize, PatTableId);
    dvb_v5_fe_parms* parms = ParserParms();
    if (n == 0 || parms == nullptr)
        return false;
    dvb_table_pat* table = nullptr;
    const bool bParsed = dvb_table_pat_init(parms, pSection, static_cast<ssize_t>(n), &table) >= 0 && table != nullptr;
    if (bParsed) {
        pat = PatSection{};
        pat.wTransportStream = static_cast<std::uint16_t>((pSection[3] << 8) | pSection[4]);
        ReadHeader(pSection, pat.nVersion, pat.nSection, pat.nLastSection);
        dvb_pat_program_foreach(program, table) {
            pat.programs.push_back(PatSection::Program{program->service_id, static_cast<std::uint16_t>(program->pid)});
        }
    }
    if (table != nullptr)
        dvb_table_pat_free(table);
    return bParsed;
}

bool ParsePmtSection(const std::uint8_t* pSection, std::size_t nSize, PmtSection& pmt)
{
    const std::size_t n = Checked(pSection, nSize, PmtTableId);
    dvb_v5_fe_parms* parms = ParserParms();
    if (n == 0 || parms == nullptr)
        return false;
    dvb_table_pmt* table = nullptr;
    const bool bParsed = dvb_table_pmt_init(parms, pSection, static_cast<ssize_t>(n), &table) >= 0 && table != nullptr;
    if (bParsed) {
        pmt = PmtSection{};
        pmt.wProgram = static_cast<std::uint16_t>((pSection[3] << 8) | pSection[4]);
        std::uint8_t nSection = 0;
        std::uint8_t nLast = 0;
        ReadHeader(pSection, pmt.nVersion, nSection, nLast);
        pmt.wPcrPid = static_cast<std::uint16_t>(table->pcr_pid);
        dvb_pmt_stream_foreach(stream, table) {
            pmt.streams.push_back(static_cast<std::uint16_t>(stream->elementary_pid));
        }
    }
    if (table != nullptr)
        dvb_table_pmt_free(table);
    return bParsed;
}

}  // namespace dvbcard

// The program tables from bytes, with libdvbv5's table parsers.
//
// The bytes come from the air. libdvbv5 trusts the section's own length
// field as far as the length it is given, so every section is checked here
// first: long enough for its header and CRC, no longer than a PSI section
// may be, its length field within the bytes read, and of the table asked
// for. A PMT reaches libdvbv5 without its descriptors, which the tool does
// not use: its descriptor parsers leak memory on some damaged descriptors
// (libdvbv5 1.22.1: a frequency list descriptor of length 0 in a PMT loses
// 1020 bytes each time). Each of the PMT's loops is checked to end within
// the section first.
#include "platform/card/program_tables.h"

#include <libdvbv5/dvb-fe.h>
#include <libdvbv5/header.h>
#include <libdvbv5/pat.h>
#include <libdvbv5/pmt.h>

#include <cstring>
#include <vector>

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

// A copy of the PMT section p (its parsed bytes n, without the CRC) with
// every descriptor loop emptied, and room for a CRC after it; empty if a
// loop runs past the section or a stream entry is cut short.
std::vector<std::uint8_t> WithoutDescriptors(const std::uint8_t* p, std::size_t n)
{
    constexpr std::size_t Fixed = HeaderSize + 4;   // PCR PID, program info length
    if (n < Fixed)
        return {};
    std::size_t at = Fixed + (((p[HeaderSize + 2] & 0x0fu) << 8) | p[HeaderSize + 3]);
    std::vector<std::uint8_t> copy(p, p + Fixed);
    copy[HeaderSize + 2] = static_cast<std::uint8_t>(p[HeaderSize + 2] & 0xf0);
    copy[HeaderSize + 3] = 0;
    while (at < n) {
        if (n - at < 5)
            return {};
        const std::size_t nInfo = ((p[at + 3] & 0x0fu) << 8) | p[at + 4];
        copy.insert(copy.end(), {p[at], p[at + 1], p[at + 2], static_cast<std::uint8_t>(p[at + 3] & 0xf0), 0});
        at += 5 + nInfo;
    }
    if (at != n)
        return {};
    const std::size_t nLength = copy.size() + CrcSize - 3;
    copy[1] = static_cast<std::uint8_t>((copy[1] & 0xf0) | (nLength >> 8));
    copy[2] = static_cast<std::uint8_t>(nLength & 0xff);
    copy.resize(copy.size() + CrcSize, 0);
    return copy;
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
    const std::vector<std::uint8_t> bare = WithoutDescriptors(pSection, n);
    if (bare.empty())
        return false;
    dvb_table_pmt* table = nullptr;
    const bool bParsed =
        dvb_table_pmt_init(parms, bare.data(), static_cast<ssize_t>(bare.size() - CrcSize), &table) >= 0 &&
        table != nullptr;
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

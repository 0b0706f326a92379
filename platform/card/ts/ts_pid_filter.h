// The PID filter: from a captured MPEG transport stream, the packets a player
// needs to play the selected video and audio PIDs, and nothing else.
//
// What passes, once a PID is selected:
//   - the selected video and audio PIDs themselves;
//   - the PMT of every program whose map lists a selected PID, and that
//     program's PCR PID;
//   - a PAT (PID 0) of the filter's own that lists those programs only, sent
//     each time the stream's PAT comes by, once a map has shown which
//     program carries a selected PID. A player that starts on the first
//     program of the PAT thus starts on the one the dialog shows, not on one
//     whose map never comes.
// Null packets (0x1FFF) never pass. With no PID selected nothing passes.
//
// The filter reads the PAT and the PMTs from the stream itself (any program,
// any number of them, sections split across packets), so it follows a retune
// or a new program map without being told. A section passes its length and
// CRC checks before anything in it is believed; a damaged one is dropped and
// the previous map stays.
//
// Bytes may arrive in chunks of any size, not aligned to packets; the filter
// finds the packets' sync bytes again after a gap. Packets that pass go out
// in datagrams of up to 7 packets (1316 bytes), the usual payload of a
// transport stream over UDP, through the sink given at construction. Every
// Push ends with its last, possibly shorter, datagram sent.
//
// Fixed storage only (no allocation while the stream runs): up to
// MaxPrograms programs in the PAT and MaxStreams streams in each map; what
// lies beyond is not followed.
//
// One thread at a time: callers that select from one thread and push from
// another hold their own lock around both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tsfilter {

constexpr std::size_t PacketSize = 188;
constexpr std::size_t PacketsPerDatagram = 7;
constexpr std::uint16_t PatPid = 0x0000;
constexpr std::uint16_t NullPid = 0x1FFF;
constexpr std::uint16_t NoPid = 0xFFFF;   // no PID selected

constexpr std::size_t MaxPrograms = 64;
constexpr std::size_t MaxStreams = 32;
constexpr std::size_t MaxSection = 1024;   // a PAT or PMT section, whole

// Receives each datagram: whole packets, 1 to PacketsPerDatagram of them.
typedef void (*Sink)(void* pContext, const std::uint8_t* pData, std::size_t nBytes);

// The MPEG-2 CRC-32 of a PSI section (polynomial 0x04C11DB7, no reflection);
// a whole section including its CRC gives 0.
std::uint32_t Crc32(const std::uint8_t* pData, std::size_t nBytes);

class PidFilter
{
public:
    PidFilter(Sink sink, void* pContext);

    // The PIDs to pass (NoPid for none). Takes effect from the next packet.
    void Select(std::uint16_t wVideoPid, std::uint16_t wAudioPid);

    // Filters a chunk of the captured stream.
    void Push(const std::uint8_t* pData, std::size_t nBytes);

    // Whether a packet on this PID passes now.
    bool Passes(std::uint16_t wPid) const;

    // What the filter has learnt from the stream: the PAT's programs and the
    // PCR PID of each program whose map has arrived (NoPid until then).
    struct Program
    {
        std::uint16_t wNumber = 0;
        std::uint16_t wPmtPid = NoPid;
        std::uint16_t wPcrPid = NoPid;
        bool bHaveMap = false;
        std::size_t nStreams = 0;
        std::uint16_t streamPids[MaxStreams] = {};   // elementary streams in its map
        bool Carries(std::uint16_t wPid) const;
    };
    std::size_t ProgramCount() const { return m_nPrograms; }
    const Program& ProgramAt(std::size_t i) const { return m_programs[i]; }

    // Counts, for diagnostics and tests.
    std::uint64_t PacketsIn() const { return m_nPacketsIn; }
    std::uint64_t PacketsOut() const { return m_nPacketsOut; }
    std::uint64_t SectionsDropped() const { return m_nSectionsDropped; }

private:
    // A PSI section being put together from the packets of one PID.
    struct Assembly
    {
        std::uint16_t wPid = NoPid;
        std::uint8_t nLastCounter = 0xFF;
        std::size_t nNeeded = 0;   // the section's whole length once known, else 0
        std::size_t nHave = 0;
        std::uint8_t bytes[MaxSection];
    };

    std::size_t Scan(const std::uint8_t* p, std::size_t nBytes);
    void Packet(const std::uint8_t* p);
    void Send(const std::uint8_t* p);
    void BuildPat(const std::size_t* pCarrying, std::size_t nCarrying);
    void FlushDatagram();
    void Tables(std::uint16_t wPid, const std::uint8_t* p);
    std::size_t Collect(Assembly& a, const std::uint8_t* pData, std::size_t nBytes);
    void Section(std::uint16_t wPid, const std::uint8_t* p, std::size_t nBytes);
    void OnPat(const std::uint8_t* p, std::size_t nBytes);
    void OnPmt(std::uint16_t wPid, const std::uint8_t* p, std::size_t nBytes);
    Assembly& AssemblyFor(std::uint16_t wPid);
    void Recompute();

    Sink m_sink;
    void* m_pContext;
    std::uint16_t m_wVideoPid = NoPid;
    std::uint16_t m_wAudioPid = NoPid;

    Program m_programs[MaxPrograms];
    std::size_t m_nPrograms = 0;
    Program m_newPrograms[MaxPrograms];   // a PAT being read
    int m_nPatVersion = -1;
    // One section under way per table PID: the PAT's, then each program's.
    Assembly m_assemblies[1 + MaxPrograms];
    std::size_t m_nAssemblies = 0;
    std::uint8_t m_section[MaxSection];   // a whole section, being read
    bool m_bNewPat = false;   // the PAT changed: start every section afresh
    // The PIDs that pass, and those that carry the PAT or a PMT, as bitmaps
    // over all 8192.
    std::uint8_t m_passes[8192 / 8] = {};
    std::uint8_t m_tablePids[8192 / 8] = {1};

    // The PAT that goes out instead of the stream's.
    std::uint16_t m_wStreamId = 0;   // transport_stream_id of the stream's PAT
    std::uint8_t m_pat[PacketSize] = {};
    std::size_t m_nPatEntries = 0;
    std::uint8_t m_nPatOutVersion = 0;
    std::uint8_t m_nPatOutCounter = 0;

    // Bytes of a packet not yet whole, or not yet known to be one.
    std::uint8_t m_carry[2 * PacketSize + 1] = {};
    std::size_t m_nCarry = 0;
    bool m_bLocked = false;   // the last packet was followed by a sync byte
    std::uint8_t m_datagram[PacketSize * PacketsPerDatagram] = {};
    std::size_t m_nDatagram = 0;

    std::uint64_t m_nPacketsIn = 0;
    std::uint64_t m_nPacketsOut = 0;
    std::uint64_t m_nSectionsDropped = 0;
};

}  // namespace tsfilter

#include "platform/card/ts/ts_pid_filter.h"

#include <algorithm>
#include <cstring>

namespace tsfilter {
namespace {

constexpr std::uint8_t SyncByte = 0x47;
constexpr std::uint8_t TablePat = 0x00;
constexpr std::uint8_t TablePmt = 0x02;
// A PAT or PMT section is at most 1024 bytes: 3 of header, 1021 after.
constexpr std::size_t MaxSectionLength = 1021;
// The fixed part of a long section after its length (5 bytes) and its CRC.
constexpr std::size_t MinSectionLength = 9;

std::uint16_t Pid13(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(((p[0] & 0x1F) << 8) | p[1]);
}

std::uint16_t Length12(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(((p[0] & 0x0F) << 8) | p[1]);
}

void SetBit(std::uint8_t* bits, std::uint16_t wPid)
{
    if (wPid < 8192)
        bits[wPid >> 3] = static_cast<std::uint8_t>(bits[wPid >> 3] | (1u << (wPid & 7)));
}

bool Bit(const std::uint8_t* bits, std::uint16_t wPid)
{
    return wPid < 8192 && (bits[wPid >> 3] & (1u << (wPid & 7))) != 0;
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* pData, std::size_t nBytes)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < nBytes; ++i) {
        crc ^= static_cast<std::uint32_t>(pData[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

PidFilter::PidFilter(Sink sink, void* pContext) : m_sink(sink), m_pContext(pContext) {}

void PidFilter::Select(std::uint16_t wVideoPid, std::uint16_t wAudioPid)
{
    m_wVideoPid = wVideoPid;
    m_wAudioPid = wAudioPid;
    Recompute();
}

bool PidFilter::Passes(std::uint16_t wPid) const
{
    return Bit(m_passes, wPid);
}

void PidFilter::Push(const std::uint8_t* pData, std::size_t nBytes)
{
    while (nBytes > 0) {
        if (m_nCarry == 0) {
            const std::size_t nUsed = Scan(pData, nBytes);
            // What is left is less than a packet, or one waiting for the
            // next sync byte to confirm it.
            std::memcpy(m_carry, pData + nUsed, nBytes - nUsed);
            m_nCarry = nBytes - nUsed;
            break;
        }
        // Complete the carried packet (in sync: just that packet, so the
        // rest goes the fast way above), or gather enough to look ahead.
        const std::size_t nRoom = (m_bLocked && m_nCarry < PacketSize) ? PacketSize - m_nCarry
                                                                        : sizeof m_carry - m_nCarry;
        const std::size_t nTake = std::min(nRoom, nBytes);
        std::memcpy(m_carry + m_nCarry, pData, nTake);
        m_nCarry += nTake;
        pData += nTake;
        nBytes -= nTake;
        const std::size_t nUsed = Scan(m_carry, m_nCarry);
        std::memmove(m_carry, m_carry + nUsed, m_nCarry - nUsed);
        m_nCarry -= nUsed;
    }
    FlushDatagram();
}

std::size_t PidFilter::Scan(const std::uint8_t* p, std::size_t nBytes)
{
    std::size_t i = 0;
    while (nBytes - i >= PacketSize) {
        if (p[i] != SyncByte) {
            // Lost sync: skip to the next sync byte.
            m_bLocked = false;
            const void* pNext = std::memchr(p + i, SyncByte, nBytes - i);
            i = pNext ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(pNext) - p) : nBytes;
            continue;
        }
        if (!m_bLocked) {
            // Out of sync, a sync byte counts only with another one a packet
            // later: otherwise it is a data byte that happens to be 0x47.
            if (nBytes - i == PacketSize)
                break;   // wait for the next byte
            if (p[i + PacketSize] != SyncByte) {
                ++i;
                continue;
            }
            m_bLocked = true;
        }
        Packet(p + i);
        i += PacketSize;
    }
    return i;
}

void PidFilter::Packet(const std::uint8_t* p)
{
    ++m_nPacketsIn;
    const std::uint16_t wPid = Pid13(p + 1);
    const bool bError = (p[1] & 0x80) != 0;
    if (!bError && Bit(m_tablePids, wPid))
        Tables(wPid, p);
    if (wPid == PatPid) {
        // Our own PAT, at the rate of the stream's.
        if (Bit(m_passes, PatPid) && (p[1] & 0x40) != 0) {
            m_pat[3] = static_cast<std::uint8_t>(0x10 | m_nPatOutCounter);
            m_nPatOutCounter = static_cast<std::uint8_t>((m_nPatOutCounter + 1) & 0x0F);
            Send(m_pat);
        }
    } else if (Bit(m_passes, wPid)) {
        Send(p);
    }
}

void PidFilter::Send(const std::uint8_t* p)
{
    std::memcpy(m_datagram + m_nDatagram, p, PacketSize);
    m_nDatagram += PacketSize;
    ++m_nPacketsOut;
    if (m_nDatagram == sizeof m_datagram)
        FlushDatagram();
}

void PidFilter::FlushDatagram()
{
    if (m_nDatagram == 0)
        return;
    m_sink(m_pContext, m_datagram, m_nDatagram);
    m_nDatagram = 0;
}

PidFilter::Assembly& PidFilter::AssemblyFor(std::uint16_t wPid)
{
    for (std::size_t i = 0; i < m_nAssemblies; ++i) {
        if (m_assemblies[i].wPid == wPid)
            return m_assemblies[i];
    }
    // Only the PAT's PID and the programs' PMT PIDs get one, so there is
    // room; should there not be, the last one is taken over.
    if (m_nAssemblies < sizeof m_assemblies / sizeof m_assemblies[0])
        ++m_nAssemblies;
    Assembly& a = m_assemblies[m_nAssemblies - 1];
    a.wPid = wPid;
    a.nLastCounter = 0xFF;
    a.nNeeded = 0;
    a.nHave = 0;
    return a;
}

void PidFilter::Tables(std::uint16_t wPid, const std::uint8_t* p)
{
    // Forget the sections under way on PIDs that no longer carry a table, and
    // all of them after the PAT changed (a retune: new counters, new maps);
    // never while a reference into the list is held below.
    if (m_bNewPat) {
        m_nAssemblies = 0;
        m_bNewPat = false;
    }
    std::size_t nKept = 0;
    for (std::size_t i = 0; i < m_nAssemblies; ++i) {
        if (Bit(m_tablePids, m_assemblies[i].wPid)) {
            if (nKept != i)
                m_assemblies[nKept] = m_assemblies[i];
            ++nKept;
        }
    }
    m_nAssemblies = nKept;

    const unsigned nControl = (p[3] >> 4) & 3;
    if ((nControl & 1) == 0)
        return;   // no payload
    std::size_t nStart = 4;
    if (nControl & 2)
        nStart += 1 + static_cast<std::size_t>(p[4]);
    if (nStart >= PacketSize)
        return;
    const std::uint8_t* pPayload = p + nStart;
    std::size_t nPayload = PacketSize - nStart;

    Assembly& a = AssemblyFor(wPid);
    const std::uint8_t nCounter = p[3] & 0x0F;
    if (a.nLastCounter == nCounter)
        return;   // a repeated packet
    if (a.nLastCounter != 0xFF && nCounter != ((a.nLastCounter + 1) & 0x0F)) {
        // Packets were lost: the section under way is incomplete.
        if (a.nHave != 0)
            ++m_nSectionsDropped;
        a.nHave = 0;
        a.nNeeded = 0;
    }
    a.nLastCounter = nCounter;

    if ((p[1] & 0x40) == 0) {
        // A continuation; after the section's end comes stuffing.
        if (a.nHave != 0)
            Collect(a, pPayload, nPayload);
        return;
    }
    // A section starts in this packet, after the pointer field; the bytes
    // before it end the previous one.
    const std::size_t nPointer = pPayload[0];
    if (1 + nPointer > nPayload) {
        a.nHave = 0;
        a.nNeeded = 0;
        return;
    }
    if (a.nHave != 0)
        Collect(a, pPayload + 1, nPointer);
    if (a.nHave != 0) {
        ++m_nSectionsDropped;   // it should have ended where the next starts
        a.nHave = 0;
        a.nNeeded = 0;
    }
    pPayload += 1 + nPointer;
    nPayload -= 1 + nPointer;
    while (nPayload > 0 && pPayload[0] != 0xFF) {
        const std::size_t nUsed = Collect(a, pPayload, nPayload);
        pPayload += nUsed;
        nPayload -= nUsed;
    }
}

std::size_t PidFilter::Collect(Assembly& a, const std::uint8_t* pData, std::size_t nBytes)
{
    std::size_t nUsed = 0;
    while (nUsed < nBytes) {
        const std::size_t nWant = a.nNeeded ? a.nNeeded - a.nHave : 3 - a.nHave;
        const std::size_t nTake = std::min(nWant, nBytes - nUsed);
        std::memcpy(a.bytes + a.nHave, pData + nUsed, nTake);
        a.nHave += nTake;
        nUsed += nTake;
        if (a.nNeeded == 0) {
            if (a.nHave < 3)
                continue;
            const std::size_t nLength = Length12(a.bytes + 1);
            if (nLength > MaxSectionLength || nLength < MinSectionLength) {
                ++m_nSectionsDropped;
                a.nHave = 0;
                return nBytes;   // nothing after a bad length can be trusted
            }
            a.nNeeded = 3 + nLength;
        } else if (a.nHave == a.nNeeded) {
            // Read from a copy: the section may change which PIDs carry
            // tables, never the assembly in hand.
            const std::size_t nSection = a.nHave;
            std::memcpy(m_section, a.bytes, nSection);
            a.nHave = 0;
            a.nNeeded = 0;
            Section(a.wPid, m_section, nSection);
            return nUsed;
        }
    }
    return nUsed;
}

void PidFilter::Section(std::uint16_t wPid, const std::uint8_t* p, std::size_t nBytes)
{
    // Syntax indicator set, and the CRC over the whole section comes out 0.
    if ((p[1] & 0x80) == 0 || Crc32(p, nBytes) != 0) {
        ++m_nSectionsDropped;
        return;
    }
    if ((p[5] & 0x01) == 0)
        return;   // not yet in force
    if (wPid == PatPid && p[0] == TablePat)
        OnPat(p, nBytes);
    else if (p[0] == TablePmt)
        OnPmt(wPid, p, nBytes);
}

void PidFilter::OnPat(const std::uint8_t* p, std::size_t nBytes)
{
    const int nVersion = (p[5] >> 1) & 0x1F;
    const std::uint8_t nSection = p[6];
    std::size_t nNew = 0;
    if (nSection != 0 && nVersion == m_nPatVersion) {
        // A further section of the same table.
        std::copy(m_programs, m_programs + m_nPrograms, m_newPrograms);
        nNew = m_nPrograms;
    }
    // Loop entries: program number, then PMT PID (or, for program 0, the
    // network PID); the CRC follows.
    for (std::size_t i = 8; i + 4 <= nBytes - 4 && nNew < MaxPrograms; i += 4) {
        const std::uint16_t wNumber = static_cast<std::uint16_t>((p[i] << 8) | p[i + 1]);
        const std::uint16_t wPmtPid = Pid13(p + i + 2);
        if (wNumber == 0)
            continue;
        const bool bKnown = std::any_of(m_newPrograms, m_newPrograms + nNew,
                                        [&](const Program& q) { return q.wNumber == wNumber; });
        if (bKnown)
            continue;
        Program& prog = m_newPrograms[nNew++];
        prog = Program{};
        prog.wNumber = wNumber;
        prog.wPmtPid = wPmtPid;
        // A program whose map is known already keeps it.
        for (std::size_t j = 0; j < m_nPrograms; ++j) {
            if (m_programs[j].wNumber == wNumber && m_programs[j].wPmtPid == wPmtPid)
                prog = m_programs[j];
        }
    }
    const bool bChanged = nNew != m_nPrograms ||
                          !std::equal(m_newPrograms, m_newPrograms + nNew, m_programs,
                                      [](const Program& a, const Program& b) {
                                          return a.wNumber == b.wNumber && a.wPmtPid == b.wPmtPid;
                                      });
    if (bChanged)
        m_bNewPat = true;
    m_nPatVersion = nVersion;
    m_wStreamId = static_cast<std::uint16_t>((p[3] << 8) | p[4]);
    std::copy(m_newPrograms, m_newPrograms + nNew, m_programs);
    m_nPrograms = nNew;

    std::memset(m_tablePids, 0, sizeof m_tablePids);
    SetBit(m_tablePids, PatPid);
    for (std::size_t i = 0; i < m_nPrograms; ++i)
        SetBit(m_tablePids, m_programs[i].wPmtPid);
    Recompute();
}

void PidFilter::OnPmt(std::uint16_t wPid, const std::uint8_t* p, std::size_t nBytes)
{
    const std::uint16_t wNumber = static_cast<std::uint16_t>((p[3] << 8) | p[4]);
    Program* prog = std::find_if(m_programs, m_programs + m_nPrograms, [&](const Program& q) {
        return q.wNumber == wNumber && q.wPmtPid == wPid;
    });
    if (prog == m_programs + m_nPrograms)
        return;   // another program's map on a shared PID, or none in the PAT
    // Header (12 bytes), program descriptors, stream loop, CRC (4 bytes).
    const std::size_t nEnd = nBytes - 4;
    std::size_t i = 12 + Length12(p + 10);
    std::uint16_t streams[MaxStreams];
    std::size_t nStreams = 0;
    while (i < nEnd) {
        if (i + 5 > nEnd) {
            ++m_nSectionsDropped;   // a loop entry that runs past the end
            return;
        }
        if (nStreams < MaxStreams)
            streams[nStreams++] = Pid13(p + i + 1);
        i += 5 + Length12(p + i + 3);
    }
    if (i != nEnd) {
        ++m_nSectionsDropped;
        return;
    }
    prog->wPcrPid = Pid13(p + 8);
    std::copy(streams, streams + nStreams, prog->streamPids);
    prog->nStreams = nStreams;
    prog->bHaveMap = true;
    Recompute();
}

bool PidFilter::Program::Carries(std::uint16_t wPid) const
{
    return wPid != NoPid && std::find(streamPids, streamPids + nStreams, wPid) != streamPids + nStreams;
}

void PidFilter::Recompute()
{
    std::memset(m_passes, 0, sizeof m_passes);
    if (m_wVideoPid == NoPid && m_wAudioPid == NoPid)
        return;
    SetBit(m_passes, m_wVideoPid);
    SetBit(m_passes, m_wAudioPid);
    std::size_t carrying[MaxPrograms];
    std::size_t nCarrying = 0;
    for (std::size_t i = 0; i < m_nPrograms; ++i) {
        const Program& prog = m_programs[i];
        if (prog.bHaveMap && (prog.Carries(m_wVideoPid) || prog.Carries(m_wAudioPid))) {
            SetBit(m_passes, prog.wPmtPid);
            SetBit(m_passes, prog.wPcrPid);
            carrying[nCarrying++] = i;
        }
    }
    // PID 0 passes as our own PAT only; a selected PID 0 is the stream's PAT,
    // which never passes as it is.
    m_passes[0] = static_cast<std::uint8_t>(m_passes[0] & ~1u);
    if (nCarrying > 0) {
        BuildPat(carrying, nCarrying);
        SetBit(m_passes, PatPid);
    }
    // Null packets are padding, never worth sending.
    m_passes[NullPid >> 3] = static_cast<std::uint8_t>(m_passes[NullPid >> 3] & ~(1u << (NullPid & 7)));
}

void PidFilter::BuildPat(const std::size_t* pCarrying, std::size_t nCarrying)
{
    // One packet holds up to 42 programs after the pointer field, the
    // section's 8 header bytes and its CRC.
    const std::size_t nEntries = std::min<std::size_t>(nCarrying, (PacketSize - 4 - 1 - 8 - 4) / 4);
    std::uint8_t section[PacketSize] = {};
    const std::size_t nLength = 5 + 4 * nEntries + 4;
    section[0] = TablePat;
    section[1] = static_cast<std::uint8_t>(0xB0 | (nLength >> 8));
    section[2] = static_cast<std::uint8_t>(nLength);
    section[3] = static_cast<std::uint8_t>(m_wStreamId >> 8);
    section[4] = static_cast<std::uint8_t>(m_wStreamId);
    section[6] = 0;   // section number
    section[7] = 0;   // last section number
    for (std::size_t i = 0; i < nEntries; ++i) {
        std::uint8_t* e = section + 8 + 4 * i;
        const Program& prog = m_programs[pCarrying[i]];
        e[0] = static_cast<std::uint8_t>(prog.wNumber >> 8);
        e[1] = static_cast<std::uint8_t>(prog.wNumber);
        e[2] = static_cast<std::uint8_t>(0xE0 | (prog.wPmtPid >> 8));
        e[3] = static_cast<std::uint8_t>(prog.wPmtPid);
    }
    // A new version whenever what it lists changes, so a player reads it again.
    const bool bSame = nEntries == m_nPatEntries && std::memcmp(section + 3, m_pat + 5 + 3, 2) == 0 &&
                       std::memcmp(section + 8, m_pat + 5 + 8, 4 * nEntries) == 0;
    if (!bSame)
        m_nPatOutVersion = static_cast<std::uint8_t>((m_nPatOutVersion + 1) & 0x1F);
    section[5] = static_cast<std::uint8_t>(0xC1 | (m_nPatOutVersion << 1));
    const std::uint32_t crc = Crc32(section, 8 + 4 * nEntries);
    for (int i = 0; i < 4; ++i)
        section[8 + 4 * nEntries + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));

    std::memset(m_pat, 0xFF, sizeof m_pat);
    m_pat[0] = SyncByte;
    m_pat[1] = 0x40;   // payload unit start, PID 0
    m_pat[2] = 0x00;
    m_pat[3] = 0x10;   // payload only; the counter is set as it goes out
    m_pat[4] = 0x00;   // pointer field
    std::memcpy(m_pat + 5, section, 3 + nLength);
    m_nPatEntries = nEntries;
}

}  // namespace tsfilter

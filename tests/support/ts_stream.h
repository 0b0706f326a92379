// Transport stream bytes for tests: PAT and PMT sections with their CRC (as
// the section filters hand them out, or cut into 188-byte packets with
// running continuity counters), and payload packets for any PID.
#pragma once

#include "platform/card/ts/ts_pid_filter.h"

#include <cstdint>
#include <map>
#include <vector>

namespace tstest {

using Bytes = std::vector<std::uint8_t>;

struct Stream
{
    std::uint16_t wPid;
    std::size_t nDescriptorBytes = 0;   // ES descriptors, to make a map long
    std::uint8_t nType = 0x02;          // stream_type: 0x02 MPEG-2 video, 0x04 audio, ...
};

// The sections' CRC-32 (MPEG-2), computed here and not by the code under test.
inline std::uint32_t Crc32(const Bytes& bytes)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::uint8_t b : bytes) {
        crc ^= std::uint32_t{b} << 24;
        for (int k = 0; k < 8; ++k)
            crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

// A whole section: header, body, CRC.
inline Bytes Section(std::uint8_t nTable, std::uint16_t wExtension, std::uint8_t nVersion, const Bytes& body,
                     std::uint8_t nSection = 0, std::uint8_t nLastSection = 0)
{
    const std::size_t nLength = 5 + body.size() + 4;
    Bytes s = {nTable, static_cast<std::uint8_t>(0xB0 | (nLength >> 8)), static_cast<std::uint8_t>(nLength),
               static_cast<std::uint8_t>(wExtension >> 8), static_cast<std::uint8_t>(wExtension),
               static_cast<std::uint8_t>(0xC1 | ((nVersion & 0x1F) << 1)), nSection, nLastSection};
    s.insert(s.end(), body.begin(), body.end());
    const std::uint32_t crc = Crc32(s);
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<std::uint8_t>(crc >> shift));
    return s;
}

// PAT: program number -> PMT PID.
inline Bytes Pat(const std::map<std::uint16_t, std::uint16_t>& programs, std::uint8_t nVersion = 0,
                 std::uint16_t wTransportStream = 1, std::uint8_t nSection = 0, std::uint8_t nLastSection = 0)
{
    Bytes body;
    for (const auto& [wNumber, wPmtPid] : programs) {
        body.insert(body.end(), {static_cast<std::uint8_t>(wNumber >> 8), static_cast<std::uint8_t>(wNumber),
                                 static_cast<std::uint8_t>(0xE0 | (wPmtPid >> 8)), static_cast<std::uint8_t>(wPmtPid)});
    }
    return Section(0x00, wTransportStream, nVersion, body, nSection, nLastSection);
}

inline Bytes Pmt(std::uint16_t wProgram, std::uint16_t wPcrPid, const std::vector<Stream>& streams,
                 std::uint8_t nVersion = 0)
{
    Bytes body = {static_cast<std::uint8_t>(0xE0 | (wPcrPid >> 8)), static_cast<std::uint8_t>(wPcrPid), 0xF0, 0};
    for (const Stream& es : streams) {
        body.insert(body.end(), {es.nType, static_cast<std::uint8_t>(0xE0 | (es.wPid >> 8)),
                                 static_cast<std::uint8_t>(es.wPid),
                                 static_cast<std::uint8_t>(0xF0 | (es.nDescriptorBytes >> 8)),
                                 static_cast<std::uint8_t>(es.nDescriptorBytes)});
        body.insert(body.end(), es.nDescriptorBytes, 0x00);
    }
    return Section(0x02, wProgram, nVersion, body);
}

// Packs packets, keeping one continuity counter per PID.
class Muxer
{
public:
    // A section, starting in a new packet (pointer field 0), stuffed with
    // 0xFF to the end of its last packet.
    void Table(std::uint16_t wPid, const Bytes& section)
    {
        Bytes payload = {0};
        payload.insert(payload.end(), section.begin(), section.end());
        for (std::size_t i = 0; i < payload.size(); i += 184) {
            Bytes chunk(payload.begin() + static_cast<std::ptrdiff_t>(i),
                        payload.begin() + static_cast<std::ptrdiff_t>(std::min(payload.size(), i + 184)));
            chunk.resize(184, 0xFF);
            Packet(wPid, i == 0, chunk);
        }
    }
    // A payload packet whose bytes after the header all say which PID it is on.
    void Data(std::uint16_t wPid, std::size_t nCount = 1)
    {
        for (std::size_t i = 0; i < nCount; ++i)
            Packet(wPid, false, Bytes(184, static_cast<std::uint8_t>(wPid)));
    }
    void Packet(std::uint16_t wPid, bool bStart, const Bytes& payload184)
    {
        std::uint8_t& cc = m_counters[wPid];
        bytes.insert(bytes.end(), {0x47, static_cast<std::uint8_t>((bStart ? 0x40 : 0) | (wPid >> 8)),
                                   static_cast<std::uint8_t>(wPid), static_cast<std::uint8_t>(0x10 | cc)});
        bytes.insert(bytes.end(), payload184.begin(), payload184.end());
        cc = static_cast<std::uint8_t>((cc + 1) & 0x0F);
    }

    Bytes bytes;

private:
    std::map<std::uint16_t, std::uint8_t> m_counters;
};

// The PIDs of the packets in a stream, in order.
inline std::vector<std::uint16_t> Pids(const Bytes& ts)
{
    std::vector<std::uint16_t> pids;
    for (std::size_t i = 0; i + 188 <= ts.size(); i += 188)
        pids.push_back(static_cast<std::uint16_t>(((ts[i + 1] & 0x1F) << 8) | ts[i + 2]));
    return pids;
}

// A PidFilter that keeps what it sends, datagram by datagram.
struct Capture
{
    Capture() = default;
    // The filter with this selection, fed the whole stream at once.
    Capture(const Bytes& ts, std::uint16_t wVideo, std::uint16_t wAudio)
    {
        filter.Select(wVideo, wAudio);
        filter.Push(ts.data(), ts.size());
    }

    tsfilter::PidFilter filter{&Capture::Take, this};
    Bytes out;
    std::vector<std::size_t> datagrams;

    static void Take(void* pContext, const std::uint8_t* pData, std::size_t nBytes)
    {
        auto* self = static_cast<Capture*>(pContext);
        self->out.insert(self->out.end(), pData, pData + nBytes);
        self->datagrams.push_back(nBytes);
    }
};

}  // namespace tstest

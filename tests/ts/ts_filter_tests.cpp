// The PID filter on transport stream bytes: what passes for a selection,
// tables that arrive late, change or come damaged, and chunking.
#include "platform/card/ts/ts_pid_filter.h"
#include "tests/support/ts_stream.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

using namespace tstest;
using tsfilter::NoPid;

namespace {

// Two programs: 0x880 (PMT 0x101, PCR on its own PID 0x200, video 0x110,
// audio 0x111) and 0x881 (PMT 0x102, PCR on its video 0x120, audio 0x121),
// plus SI on 0x11 and null packets; the PAT again after each round.
Muxer TwoPrograms()
{
    Muxer m;
    const Bytes pat = Pat({{0x880, 0x101}, {0x881, 0x102}});
    m.Table(0x0000, pat);
    m.Table(0x0101, Pmt(0x880, 0x200, {{0x110}, {0x111}}));
    m.Table(0x0102, Pmt(0x881, 0x120, {{0x120}, {0x121}}));
    for (int i = 0; i < 3; ++i) {
        for (int pid : {0x110, 0x111, 0x200, 0x120, 0x121, 0x011, 0x1FFF})
            m.Data(static_cast<std::uint16_t>(pid));
        m.Table(0x0000, pat);
    }
    return m;
}

// The programs (number -> PMT PID) of each PAT in a filtered stream, after
// checking its CRC and that counters run on.
std::vector<std::map<std::uint16_t, std::uint16_t>> PatsIn(const Bytes& ts)
{
    std::vector<std::map<std::uint16_t, std::uint16_t>> pats;
    int nCounter = -1;
    for (std::size_t i = 0; i + 188 <= ts.size(); i += 188) {
        const std::uint8_t* p = ts.data() + i;
        if (p[1] != 0x40 || p[2] != 0x00)
            continue;
        if (nCounter >= 0) {
            EXPECT_EQ(p[3] & 0x0F, (nCounter + 1) & 0x0F);
        }
        nCounter = p[3] & 0x0F;
        const std::uint8_t* section = p + 5 + p[4];
        const std::size_t nLength = 3 + (((section[1] & 0x0F) << 8) | section[2]);
        EXPECT_EQ(Crc32(Bytes(section, section + nLength)), 0u) << "the PAT written has a sound CRC";
        std::map<std::uint16_t, std::uint16_t> programs;
        for (std::size_t e = 8; e + 4 < nLength; e += 4)
            programs[static_cast<std::uint16_t>((section[e] << 8) | section[e + 1])] =
                static_cast<std::uint16_t>(((section[e + 2] & 0x1F) << 8) | section[e + 3]);
        pats.push_back(programs);
    }
    return pats;
}

std::set<std::uint16_t> PidSet(const Bytes& ts)
{
    const auto pids = Pids(ts);
    return {pids.begin(), pids.end()};
}

}  // namespace

TEST(TsFilter, PassesTheSelectedProgramWithItsTablesAndNothingElse)
{
    const Muxer m = TwoPrograms();
    Capture c(m.bytes, 0x120, 0x121);

    // The second program's map and its streams (PCR on the video), and a PAT
    // that lists that program alone, from the first time the PAT comes by
    // after the map; in the order they came, nothing lost or doubled.
    EXPECT_EQ(Pids(c.out), (std::vector<std::uint16_t>{0x102, 0x120, 0x121, 0x000, 0x120, 0x121, 0x000, 0x120,
                                                       0x121, 0x000}));
    const auto pats = PatsIn(c.out);
    ASSERT_EQ(pats.size(), 3u);
    for (const auto& programs : pats)
        EXPECT_EQ(programs, (std::map<std::uint16_t, std::uint16_t>{{0x881, 0x102}}));
    EXPECT_EQ(c.filter.PacketsIn(), m.bytes.size() / 188);
    for (std::size_t n : c.datagrams) {
        EXPECT_EQ(n % 188, 0u);
        EXPECT_LE(n, 7u * 188);
    }

    // The first program: its PCR on a PID of its own comes along.
    Capture d(m.bytes, 0x110, 0x111);
    EXPECT_EQ(PidSet(d.out), (std::set<std::uint16_t>{0x000, 0x101, 0x110, 0x111, 0x200}));

    // Video of one program, audio of the other: both maps and both PCRs.
    Capture e(m.bytes, 0x110, 0x121);
    EXPECT_EQ(PidSet(e.out), (std::set<std::uint16_t>{0x000, 0x101, 0x102, 0x110, 0x121, 0x120, 0x200}));
    EXPECT_EQ(PatsIn(e.out).back(), (std::map<std::uint16_t, std::uint16_t>{{0x880, 0x101}, {0x881, 0x102}}));

    // Nothing selected: nothing at all, not even the PAT.
    Capture none(m.bytes, NoPid, NoPid);
    EXPECT_TRUE(none.out.empty());
}

TEST(TsFilter, ChunksOfAnySizeAndGarbageBetweenGiveTheSamePackets)
{
    const Muxer m = TwoPrograms();
    Capture whole(m.bytes, 0x110, 0x111);

    Bytes noisy = {0x00, 0x47, 0x12};   // junk, with a false sync byte
    noisy.insert(noisy.end(), m.bytes.begin(), m.bytes.end());
    for (std::size_t nChunk : {1, 7, 187, 188, 189, 1000}) {
        Capture c;
        c.filter.Select(0x110, 0x111);
        for (std::size_t i = 0; i < noisy.size(); i += nChunk)
            c.filter.Push(noisy.data() + i, std::min(nChunk, noisy.size() - i));
        EXPECT_EQ(c.out, whole.out) << "chunks of " << nChunk;
    }
}

TEST(TsFilter, AMapThatArrivesLateAddsItsTablesFromThen)
{
    Muxer m;
    m.Table(0x0000, Pat({{0x880, 0x101}}));
    m.Data(0x111);
    m.Data(0x200);   // PCR, not yet known as such: dropped
    m.Table(0x0101, Pmt(0x880, 0x200, {{0x111}}));
    m.Data(0x200);
    m.Data(0x111);
    m.Table(0x0000, Pat({{0x880, 0x101}}));

    Capture c(m.bytes, NoPid, 0x111);
    // No PAT before the map has shown which program to list.
    EXPECT_EQ(Pids(c.out), (std::vector<std::uint16_t>{0x111, 0x101, 0x200, 0x111, 0x000}));
    ASSERT_EQ(c.filter.ProgramCount(), 1u);
    EXPECT_EQ(c.filter.ProgramAt(0).wPcrPid, 0x200);
}

TEST(TsFilter, ALongMapAcrossPacketsIsPutTogether)
{
    Muxer m;
    m.Table(0x0000, Pat({{7, 0x1F0}}));
    // 0x1F0's map is about 500 bytes: three packets.
    m.Table(0x01F0, Pmt(7, 0x300, {{0x301, 200}, {0x302, 250}}));
    m.Data(0x300);
    m.Table(0x01F0, Pmt(7, 0x300, {{0x301, 200}, {0x302, 250}}));
    Capture c(m.bytes, 0x301, 0x302);
    // The map's PID passes from the packet that completes the first map on.
    EXPECT_EQ(Pids(c.out), (std::vector<std::uint16_t>{0x1F0, 0x300, 0x1F0, 0x1F0, 0x1F0}));
    ASSERT_EQ(c.filter.ProgramCount(), 1u);
    EXPECT_EQ(c.filter.ProgramAt(0).nStreams, 2u);
    EXPECT_EQ(c.filter.ProgramAt(0).streamPids[0], 0x301);
    EXPECT_EQ(c.filter.ProgramAt(0).streamPids[1], 0x302);
    EXPECT_EQ(c.filter.SectionsDropped(), 0u);
}

TEST(TsFilter, DamagedSectionsAreDroppedAndTheLastGoodMapStays)
{
    Muxer m;
    m.Table(0x0000, Pat({{0x880, 0x101}}));
    m.Table(0x0101, Pmt(0x880, 0x200, {{0x111}}));
    // The same map with the PCR moved, one bit flipped in transit: bad CRC.
    Bytes damaged = Pmt(0x880, 0x300, {{0x111}}, 1);
    damaged[9] ^= 0x01;
    m.Table(0x0101, damaged);
    // A section length past the limit.
    Bytes tooLong = Pmt(0x880, 0x500, {{0x111}}, 3);
    tooLong[1] = 0xBF;
    tooLong[2] = 0xFF;
    m.Table(0x0101, tooLong);
    // A long map (three packets) whose middle packet is lost: incomplete,
    // never believed, though what arrives of it is well formed.
    const std::size_t nBefore = m.bytes.size();
    m.Table(0x0101, Pmt(0x880, 0x400, {{0x111, 400}}, 2));
    ASSERT_EQ(m.bytes.size() - nBefore, 3 * 188u);
    m.bytes.erase(m.bytes.begin() + static_cast<std::ptrdiff_t>(nBefore + 188),
                  m.bytes.begin() + static_cast<std::ptrdiff_t>(nBefore + 2 * 188));

    Capture c(m.bytes, NoPid, 0x111);

    EXPECT_EQ(c.filter.SectionsDropped(), 3u);
    ASSERT_EQ(c.filter.ProgramCount(), 1u);
    EXPECT_EQ(c.filter.ProgramAt(0).wPcrPid, 0x200);
    EXPECT_TRUE(c.filter.Passes(0x200));
    EXPECT_FALSE(c.filter.Passes(0x300));
    EXPECT_FALSE(c.filter.Passes(0x400));
    EXPECT_FALSE(c.filter.Passes(0x500));
}

TEST(TsFilter, ANewPatAfterARetuneReplacesThePrograms)
{
    const Muxer first = TwoPrograms();
    Capture c(first.bytes, 0x120, 0x121);
    EXPECT_TRUE(c.filter.Passes(0x102));

    // Another multiplex: one program, its map on the PID the old one used.
    Muxer second;
    second.Table(0x0000, Pat({{0x10, 0x101}}, 5));
    second.Table(0x0101, Pmt(0x10, 0x121, {{0x121}}));
    second.Table(0x0000, Pat({{0x10, 0x101}}, 5));
    c.out.clear();
    c.filter.Push(second.bytes.data(), second.bytes.size());
    EXPECT_FALSE(c.filter.Passes(0x102));
    EXPECT_EQ(PatsIn(c.out), (std::vector<std::map<std::uint16_t, std::uint16_t>>{{{0x10, 0x101}}}));
    EXPECT_TRUE(c.filter.Passes(0x101));
    ASSERT_EQ(c.filter.ProgramCount(), 1u);
    EXPECT_EQ(c.filter.ProgramAt(0).wNumber, 0x10);
}

// Whatever arrives, no crash, no read out of bounds (ASan), and never more
// out than in.
TEST(TsFilter, SurvivesRandomDamage)
{
    const Muxer m = TwoPrograms();
    std::mt19937 random(1234);
    for (int round = 0; round < 300; ++round) {
        Bytes ts = m.bytes;
        for (int i = 0; i < 40; ++i)
            ts[random() % ts.size()] = static_cast<std::uint8_t>(random());
        Capture c(ts, static_cast<std::uint16_t>(random() % 0x2000), 0x121);
        EXPECT_LE(c.out.size(), ts.size());
        EXPECT_EQ(c.out.size() % 188, 0u);
    }
}

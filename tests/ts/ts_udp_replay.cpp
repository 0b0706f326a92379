// Plays a recorded transport stream through the PID filter to UDP, as the
// Windows card does with the captured stream:
//
//   ts_udp_replay FILE VIDEO_PID AUDIO_PID [HOST [PORT]]
//
// The file goes in chunks that do not line up with packets, paced at about
// 2 MB/s, so a player on the port sees a live stream.
#include "platform/card/ts/ts_pid_filter.h"
#include "platform/card/ts/udp_sender.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: ts_udp_replay FILE VIDEO_PID AUDIO_PID [HOST [PORT]]\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<std::uint8_t> ts;
    std::uint8_t buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        ts.insert(ts.end(), buffer, buffer + n);
    std::fclose(file);

    tsfilter::UdpSender udp;
    if (!udp.Open(argc > 4 ? argv[4] : tsfilter::DefaultUdpHost,
                  static_cast<std::uint16_t>(argc > 5 ? std::strtoul(argv[5], nullptr, 0) : tsfilter::DefaultUdpPort))) {
        std::fprintf(stderr, "ts_udp_replay: no UDP socket\n");
        return 1;
    }
    tsfilter::PidFilter filter(&tsfilter::UdpSender::SinkTo, &udp);
    filter.Select(static_cast<std::uint16_t>(std::strtoul(argv[2], nullptr, 0)),
                  static_cast<std::uint16_t>(std::strtoul(argv[3], nullptr, 0)));
    constexpr std::size_t Chunk = 4000;   // not a multiple of 188
    for (std::size_t i = 0; i < ts.size(); i += Chunk) {
        filter.Push(ts.data() + i, std::min(Chunk, ts.size() - i));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::printf("ts_udp_replay: %lu packets in, %lu out, %lu datagrams, %lu programs\n",
                static_cast<unsigned long>(filter.PacketsIn()), static_cast<unsigned long>(filter.PacketsOut()),
                static_cast<unsigned long>(udp.DatagramsSent()), static_cast<unsigned long>(filter.ProgramCount()));
    return filter.PacketsOut() > 0 ? 0 : 1;
}

// A DVB-C card on Windows, as a card device (card_device.h): the BDA graph
// (bda_graph.h) for the front end, and the PID filter on the captured
// stream (ts_pid_filter.h) with its UDP sender as the demux.
//
// Windows has no DVR device: the selected PIDs, with their program's PMT,
// its PCR and a PAT of their own, go out as a transport stream over UDP to
// 127.0.0.1:1234, so `vlc udp://@:1234` or `ffplay udp://127.0.0.1:1234`
// plays what the dialog shows. The filter finds the tables in the stream
// itself, so the device hands out no section filters.
//
// Read-back: the tuner's own nodes where the driver offers them (the RF
// tuner's frequency with its multiplier, the demodulator's symbol rate),
// otherwise the current tune request's locator (what was asked for).
// tavrik-check.exe prints which one a card has.
//
// Open codes: bda_open_codes.h. The graph holds the tuner alone; a tuner
// another program has cannot be read at all (ErrBusy, nothing open).
//
// Threads: the board (card_board.h) opens and closes on the user-interface
// thread, which builds the graph there; its tuner and watcher threads make
// the front-end calls, each joining COM's multithreaded apartment for the
// call. The PID filter is guarded against the graph's streaming thread.
#pragma once

#include "platform/card/card_device.h"
#include "platform/card/ts/ts_pid_filter.h"
#include "platform/card/ts/udp_sender.h"
#include "platform/card/win32/bda_graph.h"

#include <windows.h>

namespace bda {

class Device : public dvbcard::CardDevice
{
public:
    Device();
    ~Device() override;

    std::uint32_t Open(dvbcard::Access& access) override;
    std::uint32_t Close() override;

    dvbcard::Status ReadInfo(dvbcard::FrontendInfo& info) override;
    dvbcard::Status ReadTuning(dvbcard::Tuning& tuning) override;
    dvbcard::Status ReadLock(bool& bLocked) override;
    dvbcard::Status Tune(const dvbcard::TuneParameters& parameters) override;
    dvbcard::Status Retune(std::uint32_t nFrequency) override;
    dvbcard::Status Untune(dvbcard::System system) override;

    dvbcard::Status SetRoute(dvbcard::Route r, std::uint16_t wPid, bool bToOutput) override;
    dvbcard::Status ReadDecoderPids(std::uint16_t& wAudio, std::uint16_t& wVideo) override;

    int OpenSections(std::uint16_t wPid, std::uint8_t nTableId, int nProgram) override;
    int WaitSections(const int* pFilters, bool* bReady, std::size_t n, int nTimeoutMs) override;
    std::ptrdiff_t ReadSection(int nFilter, std::uint8_t* buf, std::size_t nSize) override;
    void CloseSections(int nFilter) override;
    void Interrupt() override;

    // Which source the last ReadTuning used: true for the tuner's nodes.
    bool ReadFromNodes() const { return m_bFromNodes; }

private:
    static void OnStream(void* pContext, const std::uint8_t* pData, std::size_t nBytes);
    dvbcard::Status TuneTo(const Tuning& tuning);

    Graph m_graph;
    tsfilter::UdpSender m_udp;
    tsfilter::PidFilter m_filter;
    CRITICAL_SECTION m_lock;   // the filter: the UI thread selects, the graph's thread pushes
    bool m_bOpen = false;
    bool m_bFromNodes = false;
    std::uint16_t m_wVideoPid = dvbcard::NoPid;
    std::uint16_t m_wAudioPid = dvbcard::NoPid;
};

}  // namespace bda

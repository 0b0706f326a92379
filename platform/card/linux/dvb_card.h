// The Linux DVB card: the card library (platform/card/card_board.h) over the
// kernel's DVB API (dvb_device.h).
//
// The adapter: adapter 0 when it has a front end, otherwise the
// lowest-numbered adapter that has one; but a free front end before a busy
// one (ChooseAdapter below).
//
// The front end (frontend0) goes through libdvbv5; the decoder PIDs go
// through the demux (demux0) with one PES filter handle per stream. Each
// selected PID is routed to the adapter's DVR device (DMX_OUT_TS_TAP),
// together with the PAT and the PMT of the program that carries it (read
// with libdvbv5's table parsers), so a player reading dvr0 plays what the
// dialog shows. The kernel still counts those filters as the decoder's PIDs
// (dmxdev marks every PES filter below DMX_PES_OTHER as TS_DECODER).
//
// Units, the first tune's defaults, the results and the watcher are the
// board's (card_board.h). The watcher's change reaches the window given to
// DVB_OpenBoard as the registered window message "WM_DVB_PROGRAM_CHANGED".
#pragma once

#include "platform/card/card_board.h"

#include <cerrno>
#include <cstdint>

namespace dvbcard {

// Codes of DVB_OpenBoard and DVB_CloseBoard other than 0 (success) and the
// board's own (ErrAlreadyOpen, ErrWrongWindow).
//
// Codes below 4096 are the system's errno values of the call that failed,
// for example 13 (EACCES: the front end is not even readable),
// 19 (ENODEV: the device has gone), 5 (EIO). Some have a meaning of their own:
constexpr std::uint32_t ErrNoAdapter = ENOENT;  // 2: no /dev/dvb/adapterN has a
                                                // front end (no driver loaded)
constexpr std::uint32_t ErrBusy = EBUSY;   // 16: another program holds the
                                           // front end; the board is open as a
                                           // read-only monitor (getters work,
                                           // setters fail with ResReadOnly)
constexpr std::uint32_t ErrFrontend = 4098;     // the front end opened, but libdvbv5
                                                // could not set it up
constexpr std::uint32_t ErrNoDemux = 4099;      // the adapter has a front end but
                                                // no demux; nothing is open
constexpr std::uint32_t ErrNoWriteAccess = 4100;  // the front end may be read but
                                                  // not written (EACCES/EPERM):
                                                  // open as a read-only monitor,
                                                  // as with ErrBusy

// The adapter the board opens, looked up under root (normally "/dev/dvb"):
// 0 when root/adapter0/frontend0 exists, otherwise the lowest N for which
// root/adapterN/frontend0 exists; -1 when there is none.
int FindAdapter(const char* root);

// The adapter the board opens: FindAdapter's, unless another program holds
// its front end (it cannot be opened read-write) and another adapter's
// front end is free; then the lowest-numbered free one. With one adapter,
// nothing is opened to find out.
int ChooseAdapter(const char* root);

}  // namespace dvbcard

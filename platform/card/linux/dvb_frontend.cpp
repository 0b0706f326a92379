// The front end through libdvbv5: what it reports, and tuning it.
#include "platform/card/linux/dvb_device.h"

#include <libdvbv5/dvb-fe.h>

#include <fcntl.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>

namespace dvbcard {
namespace {

int Errno(int nRet)
{
    return nRet < 0 ? -nRet : nRet;
}

// Whether the front end has never been tuned: its frequency reads 0. On a
// never-tuned front end libdvbv5's read of all the system's properties at
// once fails (EINVAL, kernel 6.1), so the frequency is read alone.
bool NeverTuned(int fd)
{
    dtv_property prop{};
    prop.cmd = DTV_FREQUENCY;
    dtv_properties props{1, &prop};
    return fd >= 0 && ::ioctl(fd, FE_GET_PROPERTY, &props) == 0 && prop.u.data == 0;
}

fe_modulation ModulationOf(Modulation m)
{
    switch (m) {
    case Modulation::Auto: return QAM_AUTO;
    case Modulation::Qpsk: return QPSK;
    case Modulation::Qam16: return QAM_16;
    case Modulation::Qam32: return QAM_32;
    case Modulation::Qam64: return QAM_64;
    case Modulation::Qam128: return QAM_128;
    case Modulation::Qam256: return QAM_256;
    case Modulation::Vsb8: return VSB_8;
    }
    return QAM_AUTO;
}

fe_code_rate CodeRateOf(CodeRate c)
{
    switch (c) {
    case CodeRate::Auto: return FEC_AUTO;
    case CodeRate::None: return FEC_NONE;
    case CodeRate::Rate1_2: return FEC_1_2;
    case CodeRate::Rate2_3: return FEC_2_3;
    case CodeRate::Rate3_4: return FEC_3_4;
    case CodeRate::Rate5_6: return FEC_5_6;
    case CodeRate::Rate7_8: return FEC_7_8;
    }
    return FEC_AUTO;
}

fe_guard_interval GuardOf(GuardInterval g)
{
    switch (g) {
    case GuardInterval::Auto: return GUARD_INTERVAL_AUTO;
    case GuardInterval::Guard1_32: return GUARD_INTERVAL_1_32;
    case GuardInterval::Guard1_16: return GUARD_INTERVAL_1_16;
    case GuardInterval::Guard1_8: return GUARD_INTERVAL_1_8;
    case GuardInterval::Guard1_4: return GUARD_INTERVAL_1_4;
    }
    return GUARD_INTERVAL_AUTO;
}

fe_transmit_mode TransmissionOf(TransmissionMode t)
{
    switch (t) {
    case TransmissionMode::Auto: return TRANSMISSION_MODE_AUTO;
    case TransmissionMode::Mode2K: return TRANSMISSION_MODE_2K;
    case TransmissionMode::Mode8K: return TRANSMISSION_MODE_8K;
    }
    return TRANSMISSION_MODE_AUTO;
}

bool IsSatelliteSystem(std::uint32_t nSystem)
{
    switch (nSystem) {
    case SYS_DVBS:
    case SYS_DVBS2:
    case SYS_TURBO:
    case SYS_ISDBS:
    case SYS_DSS:
        return true;
    default:
        return false;
    }
}

bool IsCableSystem(std::uint32_t nSystem)
{
    return nSystem == SYS_DVBC_ANNEX_A || nSystem == SYS_DVBC_ANNEX_B || nSystem == SYS_DVBC_ANNEX_C ||
           nSystem == SYS_ISDBC;
}

}  // namespace

Status LinuxDevice::ReadInfo(FrontendInfo& info)
{
    const FrontendCall call(*this);
    if (!m_bOpen)
        return Status::Failed;
    if (m_bGone)
        return Status::Gone;
    const dvb_v5_fe_parms* fe = m_pFrontend;
    info = FrontendInfo{};
    info.nSystems = std::min(fe->num_systems, FrontendInfo::MaxSystems);
    for (int i = 0; i < info.nSystems; ++i)
        info.systems[i] = static_cast<System>(fe->systems[i]);
    // The kernel states the range in kHz while the front end sits on a
    // satellite system, otherwise in Hz: ask again each time, and take the
    // unit from the answer's type.
    dvb_frontend_info now = fe->info;
    if (m_fdFrontend < 0 || ::ioctl(m_fdFrontend, FE_GET_INFO, &now) != 0)
        now = fe->info;
    const std::uint64_t nUnit = now.type == FE_QPSK ? 1000 : 1;
    info.nMinHz = std::uint64_t{now.frequency_min} * nUnit;
    info.nMaxHz = std::uint64_t{now.frequency_max} * nUnit;
    const auto caps = static_cast<std::uint32_t>(now.caps);
    info.bInversionAuto = caps & FE_CAN_INVERSION_AUTO;
    info.bCodeRateAuto = caps & FE_CAN_FEC_AUTO;
    info.bModulationAuto = caps & FE_CAN_QAM_AUTO;
    info.bBandwidthAuto = caps & FE_CAN_BANDWIDTH_AUTO;
    info.bTransmissionModeAuto = caps & FE_CAN_TRANSMISSION_MODE_AUTO;
    info.bGuardIntervalAuto = caps & FE_CAN_GUARD_INTERVAL_AUTO;
    info.bHierarchyAuto = caps & FE_CAN_HIERARCHY_AUTO;
    return Status::Ok;
}

int LinuxDevice::FetchParameters()
{
    dvb_v5_fe_parms* fe = m_pFrontend;
    int nRet = dvb_fe_get_parms(fe);
    if (nRet != 0)
        return Errno(nRet);
    std::uint32_t nSystem = fe->current_sys;
    dvb_fe_retrieve_parm(fe, DTV_DELIVERY_SYSTEM, &nSystem);
    if (nSystem == static_cast<std::uint32_t>(fe->current_sys))
        return 0;
    // Another program switched the delivery system, which changes the
    // parameter set (and the frequency's unit). Follow it.
    if (m_bReadOnly) {
        // A read-only handle cannot select a system; a fresh one starts on
        // the current system.
        dvb_v5_fe_parms* fresh = dvb_fe_open_flags(m_nAdapter, 0, 0, 0, QuietLog, O_RDONLY);
        if (fresh == nullptr)
            return ENODEV;
        dvb_fe_close(fe);
        m_pFrontend = fe = fresh;
    } else if ((nRet = dvb_set_sys(fe, static_cast<fe_delivery_system_t>(nSystem))) != 0) {
        return Errno(nRet);
    }
    return Errno(dvb_fe_get_parms(fe));
}

Status LinuxDevice::ReadTuning(Tuning& tuning)
{
    const FrontendCall call(*this);
    if (!m_bOpen)
        return Status::Failed;
    if (m_bGone)
        return Status::Gone;
    const int nErr = FetchParameters();
    dvb_v5_fe_parms* fe = m_pFrontend;
    if (nErr != 0 && NeverTuned(m_fdFrontend)) {
        tuning = Tuning{};
        tuning.system = static_cast<System>(fe->current_sys);
        return Status::Ok;
    }
    if (nErr != 0)
        return Outcome(nErr);
    tuning.system = static_cast<System>(fe->current_sys);
    if (dvb_fe_retrieve_parm(fe, DTV_FREQUENCY, &tuning.nFrequency) != 0)
        return Status::NotSupported;
    tuning.bHasSymbolRate = dvb_fe_retrieve_parm(fe, DTV_SYMBOL_RATE, &tuning.nSymbolRate) == 0;
    if (!tuning.bHasSymbolRate)
        tuning.nSymbolRate = 0;
    return Status::Ok;
}

Status LinuxDevice::ReadLock(bool& bLocked)
{
    const FrontendCall call(*this);
    if (!m_bOpen)
        return Status::Failed;
    if (m_bGone)
        return Status::Gone;
    fe_status_t status{};
    if (::ioctl(m_fdFrontend, FE_READ_STATUS, &status) != 0)
        return Outcome(errno);
    bLocked = (status & FE_HAS_LOCK) != 0;
    return Status::Ok;
}

Status LinuxDevice::Tune(const TuneParameters& p)
{
    const FrontendCall call(*this);
    if (const Status why = MayChange(); why != Status::Ok)
        return why;
    dvb_v5_fe_parms* fe = m_pFrontend;
    const auto sys = static_cast<fe_delivery_system_t>(p.system);
    int nErr = dvb_set_sys(fe, sys);
    if (nErr != 0)
        return Outcome(Errno(nErr));
    // Properties the system lacks are refused by libdvbv5 and left out.
    if (IsCableSystem(sys) || IsSatelliteSystem(sys)) {
        dvb_fe_store_parm(fe, DTV_SYMBOL_RATE, p.nSymbolRate);
        dvb_fe_store_parm(fe, DTV_MODULATION, ModulationOf(p.modulation));
        dvb_fe_store_parm(fe, DTV_INNER_FEC, CodeRateOf(p.codeRate));
    } else {
        dvb_fe_store_parm(fe, DTV_BANDWIDTH_HZ, p.nBandwidth);
        dvb_fe_store_parm(fe, DTV_MODULATION, ModulationOf(p.modulation));
        dvb_fe_store_parm(fe, DTV_CODE_RATE_HP, CodeRateOf(p.codeRate));
        dvb_fe_store_parm(fe, DTV_CODE_RATE_LP, CodeRateOf(p.codeRate));
        dvb_fe_store_parm(fe, DTV_GUARD_INTERVAL, GuardOf(p.guard));
        dvb_fe_store_parm(fe, DTV_TRANSMISSION_MODE, TransmissionOf(p.transmission));
        dvb_fe_store_parm(fe, DTV_HIERARCHY, p.hierarchy == Hierarchy::None ? HIERARCHY_NONE : HIERARCHY_AUTO);
    }
    dvb_fe_store_parm(fe, DTV_INVERSION, p.bInversionAuto ? INVERSION_AUTO : INVERSION_OFF);
    dvb_fe_store_parm(fe, DTV_FREQUENCY, p.nFrequency);
    return Outcome(Errno(dvb_fe_set_parms(fe)));
}

Status LinuxDevice::Retune(std::uint32_t nFrequency)
{
    const FrontendCall call(*this);
    if (const Status why = MayChange(); why != Status::Ok)
        return why;
    // Fresh parameters, so everything but the frequency stays as it is.
    if (const int nErr = FetchParameters())
        return Outcome(nErr);
    dvb_fe_store_parm(m_pFrontend, DTV_FREQUENCY, nFrequency);
    return Outcome(Errno(dvb_fe_set_parms(m_pFrontend)));
}

Status LinuxDevice::Untune(System system)
{
    const FrontendCall call(*this);
    if (const Status why = MayChange(); why != Status::Ok)
        return why;
    // The kernel stores the frequency before it refuses the tune to 0 Hz.
    dvb_v5_fe_parms* fe = m_pFrontend;
    dvb_set_sys(fe, static_cast<fe_delivery_system_t>(system));
    dvb_fe_store_parm(fe, DTV_FREQUENCY, 0);
    dvb_fe_set_parms(fe);
    return Status::Ok;
}

}  // namespace dvbcard

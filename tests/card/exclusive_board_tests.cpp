// The board for a device the tool holds alone (tavrik.exe's card library
// above the BDA device), over a double of the device, and what a failed
// step of the BDA graph reports.
#include "platform/card/bda_open_codes.h"
#include "platform/card/exclusive_board.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using dvbcard::Access;
using dvbcard::Route;
using dvbcard::Status;
using dvbcard::System;
using namespace exclusiveboard;

namespace {

// A DVB-C front end that takes what it is told, as the BDA device reports
// it: frequency in Hz, symbol rate in symbols per second, 0 before a tune.
class Device : public dvbcard::CardDevice
{
public:
    std::uint32_t nOpenCode = 0;
    Access openAccess = Access::Owner;
    dvbcard::FrontendInfo info;
    dvbcard::Tuning tuning;
    dvbcard::TuneParameters lastTune;
    Status tuneStatus = Status::Ok;
    std::uint16_t wVideo = dvbcard::NoPid;
    std::uint16_t wAudio = dvbcard::NoPid;
    std::vector<std::string> calls;

    Device()
    {
        info.systems[0] = System::DvbCAnnexA;
        info.nSystems = 1;
        tuning.system = System::DvbCAnnexA;
        tuning.bHasSymbolRate = true;
    }

    std::uint32_t Open(Access& access) override
    {
        calls.push_back("Open");
        access = openAccess;
        return nOpenCode;
    }
    std::uint32_t Close() override
    {
        calls.push_back("Close");
        return 0;
    }
    Status ReadInfo(dvbcard::FrontendInfo& i) override
    {
        i = info;
        return Status::Ok;
    }
    Status ReadTuning(dvbcard::Tuning& t) override
    {
        t = tuning;
        return Status::Ok;
    }
    Status ReadLock(bool& bLocked) override
    {
        bLocked = true;
        return Status::Ok;
    }
    Status Tune(const dvbcard::TuneParameters& p) override
    {
        calls.push_back("Tune(" + std::to_string(p.nFrequency) + ")");
        lastTune = p;
        if (tuneStatus == Status::Ok) {
            tuning.nFrequency = p.nFrequency;
            tuning.nSymbolRate = p.nSymbolRate;
        }
        return tuneStatus;
    }
    Status Retune(std::uint32_t nFrequency) override
    {
        calls.push_back("Retune(" + std::to_string(nFrequency) + ")");
        if (tuneStatus == Status::Ok)
            tuning.nFrequency = nFrequency;
        return tuneStatus;
    }
    Status Untune(System) override
    {
        calls.push_back("Untune");
        tuning.nFrequency = tuning.nSymbolRate = 0;
        return Status::Ok;
    }
    Status SetRoute(Route r, std::uint16_t wPid, bool) override
    {
        calls.push_back("SetRoute(" + std::to_string(static_cast<int>(r)) + "," + std::to_string(wPid) + ")");
        (r == Route::Video ? wVideo : wAudio) = wPid;
        return Status::Ok;
    }
    Status ReadDecoderPids(std::uint16_t& a, std::uint16_t& v) override
    {
        a = wAudio;
        v = wVideo;
        return Status::Ok;
    }
    int OpenSections(std::uint16_t, std::uint8_t, int) override { return -1; }
    int WaitSections(const int*, bool*, std::size_t, int) override { return -1; }
    std::ptrdiff_t ReadSection(int, std::uint8_t*, std::size_t) override { return -1; }
    void CloseSections(int) override {}
    void Interrupt() override {}
};

Device* g_pDevice = nullptr;

class ExclusiveBoard : public testing::Test
{
protected:
    void SetUp() override
    {
        Reset();
        g_pDevice = &device;
    }
    void TearDown() override { g_pDevice = nullptr; }

    Device device;
    HWND hWnd = reinterpret_cast<HWND>(0x1234);
    CMPEGDecoder decoder;
    CFrontend frontend;
};

}  // namespace

dvbcard::CardDevice& exclusiveboard::TheDevice()
{
    return *g_pDevice;
}

// Whatever made the open fail, the board stays closed: every getter fails
// (the window shows zeros), every setter too, and the close that always
// follows succeeds without touching the device.
TEST_F(ExclusiveBoard, AFailedOpenLeavesEverythingClosed)
{
    for (std::uint32_t nCode : {bda::ErrNoTuner, bda::ErrBusy, bda::ErrNoBdaComponents, 0x80004005u}) {
        Reset();
        device.calls.clear();
        device.nOpenCode = nCode;
        device.openAccess = Access::None;
        EXPECT_EQ(DVB_OpenBoard(hWnd), nCode);
        std::uint16_t w = 77;
        std::uint32_t n = 77;
        EXPECT_EQ(decoder.GetVideoPID(w), ResNotOpen);
        EXPECT_EQ(decoder.GetAudioPid(w), ResNotOpen);
        EXPECT_EQ(frontend.GetFrequency(n), ResNotOpen);
        EXPECT_EQ(frontend.GetSymbolrate(n), ResNotOpen);
        EXPECT_EQ(w, 77);
        EXPECT_EQ(n, 77u);
        EXPECT_EQ(decoder.SetVideoPID(100), ResNotOpen);
        EXPECT_EQ(frontend.SetFrequency(394000, 1), ResNotOpen);
        EXPECT_EQ(DVB_CloseBoard(hWnd), 0u);
        EXPECT_EQ(device.calls, std::vector<std::string>{"Open"});
    }
}

// A never-tuned card reads as not tuned; the first step tunes it with the
// cable defaults (6900 kSym/s, QAM-256 where the front end cannot find the
// modulation itself), later steps retune and keep the rest.
TEST_F(ExclusiveBoard, FirstTuneDefaultsThenRetunesKeepingTheRest)
{
    ASSERT_EQ(DVB_OpenBoard(hWnd), 0u);
    std::uint32_t n = 0;
    EXPECT_EQ(frontend.GetFrequency(n), ResNotTuned);
    EXPECT_EQ(frontend.GetSymbolrate(n), ResNotTuned);

    EXPECT_EQ(frontend.SetFrequency(394000, 1), CCommonDVB::Success);
    EXPECT_EQ(device.lastTune.system, System::DvbCAnnexA);
    EXPECT_EQ(device.lastTune.nFrequency, 394000000u);
    EXPECT_EQ(device.lastTune.nSymbolRate, 6900000u);
    EXPECT_EQ(device.lastTune.modulation, dvbcard::Modulation::Qam256);
    EXPECT_EQ(frontend.GetFrequency(n), CCommonDVB::Success);
    EXPECT_EQ(n, 394000u);
    EXPECT_EQ(frontend.GetSymbolrate(n), CCommonDVB::Success);
    EXPECT_EQ(n, 6900u);

    device.calls.clear();
    device.tuning.nSymbolRate = 6874500;   // what the card locked on: rounds to 6875
    EXPECT_EQ(frontend.SetFrequency(402000, 1), CCommonDVB::Success);
    EXPECT_EQ(device.calls, std::vector<std::string>{"Retune(402000000)"});
    EXPECT_EQ(frontend.GetSymbolrate(n), CCommonDVB::Success);
    EXPECT_EQ(n, 6875u);

    // Anything but 1 is refused untouched; so is a frequency the device
    // cannot hold.
    device.calls.clear();
    EXPECT_EQ(frontend.SetFrequency(410000, 0), ResBadFlags);
    EXPECT_EQ(frontend.SetFrequency(4300000, 1), ResOutOfRange);
    EXPECT_TRUE(device.calls.empty());
    EXPECT_EQ(DVB_CloseBoard(hWnd), 0u);
}

TEST_F(ExclusiveBoard, ARefusedFirstTuneIsUndone)
{
    ASSERT_EQ(DVB_OpenBoard(hWnd), 0u);
    device.tuneStatus = Status::Refused;
    EXPECT_EQ(frontend.SetFrequency(394000, 1), ResRefused);
    EXPECT_EQ(device.calls, (std::vector<std::string>{"Open", "Tune(394000000)", "Untune"}));
    std::uint32_t n = 0;
    EXPECT_EQ(frontend.GetFrequency(n), ResNotTuned);
    device.tuneStatus = Status::Failed;
    EXPECT_EQ(frontend.SetFrequency(394000, 1), ResDeviceError);
    EXPECT_EQ(DVB_CloseBoard(hWnd), 0u);
}

TEST_F(ExclusiveBoard, PidsGoToTheDeviceAndReadBack)
{
    ASSERT_EQ(DVB_OpenBoard(hWnd), 0u);
    std::uint16_t w = 0;
    EXPECT_EQ(decoder.GetVideoPID(w), ResNoPid);
    EXPECT_EQ(decoder.SetVideoPID(8192), ResOutOfRange);
    EXPECT_EQ(decoder.SetVideoPID(0x120), CCommonDVB::Success);
    EXPECT_EQ(decoder.SetAudioPID(0x121), CCommonDVB::Success);
    EXPECT_EQ(decoder.GetVideoPID(w), CCommonDVB::Success);
    EXPECT_EQ(w, 0x120);
    EXPECT_EQ(decoder.GetAudioPid(w), CCommonDVB::Success);
    EXPECT_EQ(w, 0x121);
    EXPECT_EQ(device.calls, (std::vector<std::string>{"Open", "SetRoute(0,288)", "SetRoute(1,289)"}));

    // Open twice, or closed with another window: refused, still open.
    EXPECT_EQ(DVB_OpenBoard(hWnd), ErrAlreadyOpen);
    EXPECT_EQ(DVB_CloseBoard(reinterpret_cast<HWND>(0x999)), ErrWrongWindow);
    EXPECT_EQ(DVB_CloseBoard(hWnd), 0u);
    EXPECT_EQ(device.calls.back(), "Close");
    EXPECT_EQ(decoder.GetVideoPID(w), ResNotOpen);
}

// What each failed step of building the graph tells the user.
TEST(BdaOpenCodes, EachFailureHasItsCode)
{
    using bda::OpenCode;
    using bda::Step;
    EXPECT_EQ(OpenCode(Step::FindTuner, bda::HrFalse), 2u);           // empty category
    EXPECT_EQ(OpenCode(Step::ConnectTuner, 0x80040217u), 2u);         // no tuner takes DVB-C
    EXPECT_EQ(OpenCode(Step::Provider, 0x80040154u), 4101u);          // Wine, N editions
    EXPECT_EQ(OpenCode(Step::TuningSpace, 0x80040154u), 4101u);
    EXPECT_EQ(OpenCode(Step::Run, 0x800700AAu), 16u);                 // another program has it
    EXPECT_EQ(OpenCode(Step::ConnectTuner, 0x80070020u), 16u);
    EXPECT_EQ(OpenCode(Step::Grabber, 0x80004005u), 0x80004005u);     // anything else: itself
    EXPECT_EQ(OpenCode(Step::Run, 0x8007001Fu), 0x8007001Fu);
    EXPECT_EQ(OpenCode(Step::Provider, 1u), 4102u);                   // success with nothing
    EXPECT_STREQ(bda::StepName(Step::Run), "run");
}

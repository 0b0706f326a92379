#include "tests/support/recording_card.h"

#include <algorithm>

namespace reccard {

Card& TheCard()
{
    static Card card;
    return card;
}

void Reset()
{
    TheCard() = Card{};
}

std::vector<std::string> Calls(std::initializer_list<const char*> names)
{
    std::vector<std::string> result;
    for (const std::string& entry : TheCard().log) {
        const std::string name = entry.substr(0, entry.find('('));
        for (const char* n : names) {
            if (name == n)
                result.push_back(entry);
        }
    }
    return result;
}

std::string LogText()
{
    std::string text;
    for (const std::string& entry : TheCard().log)
        text += (text.empty() ? "" : " ") + entry;
    return text;
}

std::size_t CountOf(const std::string& entry)
{
    const auto& log = TheCard().log;
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), entry));
}

namespace {

// Logs the call and gives its configured result (or success).
CCommonDVB::ErrReturn Record(const std::string& name, const std::string& args = {})
{
    Card& card = TheCard();
    const std::string entry = args.empty() ? name : name + "(" + args + ")";
    card.log.push_back(entry);
    if (card.onCall)
        card.onCall(entry);
    auto it = card.failures.find(name);
    return it == card.failures.end() ? CCommonDVB::Success : it->second;
}

}  // namespace
}  // namespace reccard

using reccard::Record;
using reccard::TheCard;

DVBErrReturn DVB_OpenBoard(HWND hWnd)
{
    TheCard().hOpenWindow = hWnd;
    Record("DVB_OpenBoard");
    return TheCard().nOpenResult;
}

DVBErrReturn DVB_CloseBoard(HWND hWnd)
{
    TheCard().hCloseWindow = hWnd;
    Record("DVB_CloseBoard");
    return TheCard().nCloseResult;
}

struct CMPEGDecoder::Impl {};
struct CFrontend::Impl {};

CMPEGDecoder::CMPEGDecoder() : m_pImpl(nullptr) { Record("CMPEGDecoder"); }
CMPEGDecoder::~CMPEGDecoder() { Record("~CMPEGDecoder"); }

CCommonDVB::ErrReturn CMPEGDecoder::GetAudioPid(std::uint16_t& wPid)
{
    const ErrReturn result = Record("GetAudioPid");
    if (result == Success)
        wPid = TheCard().wAudioPid;
    return result;
}

CCommonDVB::ErrReturn CMPEGDecoder::GetVideoPID(std::uint16_t& wPid)
{
    const ErrReturn result = Record("GetVideoPID");
    if (result == Success)
        wPid = TheCard().wVideoPid;
    return result;
}

CCommonDVB::ErrReturn CMPEGDecoder::SetAudioPID(std::uint16_t wPid)
{
    const ErrReturn result = Record("SetAudioPID", std::to_string(wPid));
    if (result == Success)
        TheCard().wAudioPid = wPid;
    return result;
}

CCommonDVB::ErrReturn CMPEGDecoder::SetVideoPID(std::uint16_t wPid)
{
    const ErrReturn result = Record("SetVideoPID", std::to_string(wPid));
    if (result == Success)
        TheCard().wVideoPid = wPid;
    return result;
}

CFrontend::CFrontend() : m_pImpl(nullptr) { Record("CFrontend"); }
CFrontend::~CFrontend() { Record("~CFrontend"); }

CCommonDVB::ErrReturn CFrontend::GetFrequency(std::uint32_t& nFrequency)
{
    const ErrReturn result = Record("GetFrequency");
    if (result == Success)
        nFrequency = TheCard().nFrequency;
    return result;
}

CCommonDVB::ErrReturn CFrontend::GetSymbolrate(std::uint32_t& nSymbolRate)
{
    const ErrReturn result = Record("GetSymbolrate");
    if (result == Success)
        nSymbolRate = TheCard().nSymbolRate;
    return result;
}

CCommonDVB::ErrReturn CFrontend::SetFrequency(std::uint32_t nFrequency, int nFlags)
{
    const ErrReturn result = Record("SetFrequency", std::to_string(nFrequency) + "," + std::to_string(nFlags));
    if (result == Success)
        TheCard().nFrequency = nFrequency;
    return result;
}

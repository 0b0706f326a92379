#include "tests/support/recording_card.h"

#include "platform/ui/winapi.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#if !defined(_WIN32)
#  include <cerrno>
#  include <ctime>
#endif

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

bool ApplyCommand(const std::string& command)
{
    Card& card = TheCard();
    std::istringstream in(command);
    std::string verb;
    std::string name;
    long long n = 0;
    if (!(in >> verb))
        return true;  // an empty line
    if (verb == "succeed")
        return (in >> name) && card.failures.erase(name) > 0;
    if (verb == "fail") {
        if (!(in >> name >> n))
            return false;
        card.failures[name] = static_cast<CCommonDVB::ErrReturn>(n);
        return true;
    }
    if (verb == "sleep") {
        if (!(in >> name >> n) || n < 0)
            return false;
        card.delays[name] = static_cast<unsigned>(n);
        return true;
    }
    if (!(in >> n))
        return false;
    if (verb == "audio")
        card.wAudioPid = static_cast<std::uint16_t>(n);
    else if (verb == "video")
        card.wVideoPid = static_cast<std::uint16_t>(n);
    else if (verb == "frequency")
        card.nFrequency = static_cast<std::uint32_t>(n);
    else if (verb == "symbolrate")
        card.nSymbolRate = static_cast<std::uint32_t>(n);
    else if (verb == "open")
        card.nOpenResult = static_cast<DVBErrReturn>(n);
    else if (verb == "close")
        card.nCloseResult = static_cast<DVBErrReturn>(n);
    else if (verb == "post" && n >= 0)
        card.nPostsDue += static_cast<unsigned>(n);
    else
        return false;
    return true;
}

namespace {

// Out of process: takes the inbox file, if any, and applies it.
void ReadInbox()
{
    static const char* const pszInbox = std::getenv("TAVRIK_RECCARD_INBOX");
    if (pszInbox == nullptr || *pszInbox == '\0')
        return;
    std::FILE* file = std::fopen(pszInbox, "r");
    if (file == nullptr)
        return;
    std::string text;
    char buffer[256];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    std::fclose(file);
    std::remove(pszInbox);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!ApplyCommand(line))
            std::fprintf(stderr, "recording card: bad command \"%s\"\n", line.c_str());
    }
}

// Out of process: appends the call to the log file.
void WriteLog(const std::string& entry)
{
    static const char* const pszLog = std::getenv("TAVRIK_RECCARD_LOG");
    if (pszLog == nullptr || *pszLog == '\0')
        return;
    if (std::FILE* file = std::fopen(pszLog, "a")) {
        std::fprintf(file, "%s\n", entry.c_str());
        std::fclose(file);
    }
}

void SleepFor(unsigned ms)
{
#if defined(_WIN32)
    ::Sleep(ms);
#else
    timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
#endif
}

// Logs the call and gives its configured result (or success).
CCommonDVB::ErrReturn Record(const std::string& name, const std::string& args = {})
{
    ReadInbox();
    Card& card = TheCard();
    const std::string entry = args.empty() ? name : name + "(" + args + ")";
    card.log.push_back(entry);
    WriteLog(entry);
    if (card.nPostsDue != 0 && card.hOpenWindow != nullptr) {
        const UINT nMessage = ::RegisterWindowMessageA("WM_DVB_PROGRAM_CHANGED");
        for (; card.nPostsDue != 0; --card.nPostsDue)
            ::PostMessageA(card.hOpenWindow, nMessage, 0, 0);
    }
    if (card.onCall)
        card.onCall(entry);
    if (auto delay = card.delays.find(name); delay != card.delays.end())
        SleepFor(delay->second);
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

CMPEGDecoder::CMPEGDecoder() { Record("CMPEGDecoder"); }
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

CFrontend::CFrontend() { Record("CFrontend"); }
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

// The recording card: a card library for tests. It logs every call with its
// arguments, behaves like a card that takes what it is given (a getter
// reports what the last setter set), and can fail any call with any code.
//
// Out of process, when a test drives the tool as a separate program, two
// environment variables name files:
//   TAVRIK_RECCARD_LOG    every call is appended to it as one line, as it
//                         appears in Card::log.
//   TAVRIK_RECCARD_INBOX  commands for the card, one a line; at every call the
//                         card takes the file, if there is one, applies it and
//                         deletes it (write it elsewhere and rename it into
//                         place). Commands:
//                           audio N | video N | frequency N | symbolrate N
//                           open N | close N        board results
//                           fail NAME N             NAME returns N
//                           succeed NAME            NAME succeeds again
//                           sleep NAME MS           NAME takes MS ms more
//                           post N                  WM_DVB_PROGRAM_CHANGED
//                                                   N times to the window
//                                                   the board is open for,
//                                                   once it is
#pragma once

#include "platform/card/card_library.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace reccard {

struct Card
{
    // What the card reports.
    std::uint16_t wAudioPid = 0x0102;
    std::uint16_t wVideoPid = 0x0101;
    std::uint32_t nFrequency = 394000;
    std::uint32_t nSymbolRate = 6900;

    DVBErrReturn nOpenResult = 0;
    DVBErrReturn nCloseResult = 0;

    // Results to return instead of success, by call name ("GetAudioPid",
    // "SetVideoPID", ...). A getter that fails leaves its out-value alone; a
    // setter that fails leaves the card as it was.
    std::map<std::string, CCommonDVB::ErrReturn> failures;

    // How long calls take, in ms, by call name (a slow or stuck card).
    std::map<std::string, unsigned> delays;

    // Broadcasts still to post, as soon as the board is open for a window.
    unsigned nPostsDue = 0;

    // Every call, in order, as "Name" or "Name(arguments)".
    std::vector<std::string> log;

    HWND hOpenWindow = nullptr;
    HWND hCloseWindow = nullptr;

    // Runs at every call, after it is logged and before it returns.
    std::function<void(const std::string& call)> onCall;
};

// The one card; Reset puts it back to its defaults and clears the log.
Card& TheCard();
void Reset();

// Applies one inbox command (see above); false if it is not understood.
bool ApplyCommand(const std::string& command);

// The log entries that match one of the names, in order.
std::vector<std::string> Calls(std::initializer_list<const char*> names);
// The log as one string, entries separated by " ".
std::string LogText();
std::size_t CountOf(const std::string& entry);

}  // namespace reccard

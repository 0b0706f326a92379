// Behaviour scenarios shared by the Linux dialog tests and the Windows tests
// under Wine: the same expectations, checked on each platform's own controls.
#pragma once

#include <cstdint>

namespace scenarios {

// A frequency the card reports, and the spin position the dialog computes
// for it (the box shows the frequency unchanged). Positions outside 0..18
// are sent as computed; the spin button itself keeps to its range.
struct FrequencyReading
{
    std::uint32_t nFrequency;
    int nPosition;
};

inline constexpr FrequencyReading FrequencyReadings[] = {
    {322000, 0}, {330500, 1}, {466000, 18}, {470000, 18}, {474000, 19}, {0, 12542}, {321999, 12582}};

inline constexpr int FrequencySpinMax = 18;

}  // namespace scenarios

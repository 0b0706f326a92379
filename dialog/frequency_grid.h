// The frequency grid of the frequency spin button: position p stands for
// FrequencyBase + FrequencyStep * p, in the card's frequency unit (kHz).
#pragma once

#include <cstdint>

constexpr std::uint32_t FrequencyBase = 322000;
constexpr std::uint32_t FrequencyStep = 8000;
constexpr int FrequencyPositionMin = 0;
constexpr int FrequencyPositionMax = 18;

// Position to frequency, in unsigned 32-bit arithmetic.
constexpr std::uint32_t FrequencyFromPosition(std::uint16_t nPosition)
{
    return FrequencyBase + FrequencyStep * nPosition;
}

// Frequency to position: unsigned 32-bit subtraction and truncating division,
// cut to the low 16 bits. A frequency between two grid points gives the lower
// point; one below FrequencyBase wraps around (0 gives 12542).
constexpr std::uint16_t PositionFromFrequency(std::uint32_t nFrequency)
{
    return static_cast<std::uint16_t>((nFrequency - FrequencyBase) / FrequencyStep);
}

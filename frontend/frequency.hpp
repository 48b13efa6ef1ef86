#pragma once
// From the text that the user typed to the synthesiser's dividers: the frequency with its
// K/M suffix, the range check, the post-divider or doubler, the divider search, the report.

#include <cstdint>

namespace oscset::frontend {

inline constexpr double REFERENCE_HZ = 24'000'000.0;
inline constexpr double MIN_HZ = 1.0;
inline constexpr double MAX_HZ = 180'000'000.0;
inline constexpr double POST_DIVIDER_BELOW_HZ = 30'000'000.0;
inline constexpr double DOUBLER_ABOVE_HZ = 90'000'000.0;
inline constexpr std::int32_t DIV_A_FIRST = 24;
inline constexpr std::int32_t DIV_A_LAST = 999;
inline constexpr std::int32_t DIV_B_LIMIT = 16383;

struct divider_plan {
    double target_hz = 0.0;      // requested output frequency
    double synth_hz = 0.0;       // what the synthesiser itself must make
    std::int32_t post_div = 0;   // 0, or an even divider from 2 to 30,000,000
    std::int32_t doubler = 0;    // 1: the output is the synthesiser frequency doubled
    std::int32_t div_a = 0;      // reference divider, 24 to 999
    std::int32_t div_b = 0;      // multiplier
    double best_error_hz = 0.0;  // distance between synth_hz and what the dividers make
    double achieved_hz = 0.0;    // 24 MHz / div_a * div_b
};

enum class FrequencyError { NONE, FORMAT, RANGE };

struct ParsedFrequency {
    FrequencyError error = FrequencyError::NONE;
    double target_hz = 0.0;
};

// Reads a non-empty, NUL-terminated, modifiable line: a K/k or M/m as its last character is
// the multiplier and is removed in place. Prints "input format error.\n" or
// "input range error.\n" on failure.
ParsedFrequency parse_frequency(char* text);

// Chooses the post-divider or doubler and searches div_a and div_b. False only when div_b
// exceeds its limit, after printing "Fatal error. div_a=%d dib_b=%d.\n".
bool search_dividers(double target_hz, divider_plan& plan);

// Prints the result line and the error line (followed by a blank line).
void report_plan(const divider_plan& plan);

}  // namespace oscset::frontend

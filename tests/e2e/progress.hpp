#pragma once
// The configuration progress line is rewritten in place every 100 ms, so how often it appears
// depends on timing: runs of it are cut to their last line, and the values kept apart.

#include <string>
#include <string_view>
#include <vector>

namespace oscset::testing {

struct NormalisedOutput {
    std::string text;                 // each run of consecutive progress lines cut to its last
    std::vector<long long> progress;  // every value shown, in order
};

NormalisedOutput normalise_progress(std::string_view output);

// The line as the program prints it for `remain`.
std::string progress_line(long long remain);

}  // namespace oscset::testing

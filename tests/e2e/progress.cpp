#include "tests/e2e/progress.hpp"

#include <cstdio>

namespace oscset::testing {
namespace {

constexpr std::string_view PROGRESS_PREFIX = "\rConfigration remain=";

// The value after the prefix at `at` (blank padding, a sign, digits); `end` is set past it.
// False when what follows is not a number.
bool read_value(std::string_view text, std::size_t at, long long& value, std::size_t& end) {
    std::size_t i = at + PROGRESS_PREFIX.size();
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    const bool negative = i < text.size() && text[i] == '-';
    if (negative) {
        ++i;
    }
    const std::size_t digits = i;
    long long v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        v = v * 10 + (text[i] - '0');
        ++i;
    }
    if (i == digits) {
        return false;
    }
    value = negative ? -v : v;
    end = i;
    return true;
}

}  // namespace

NormalisedOutput normalise_progress(std::string_view output) {
    NormalisedOutput out;
    std::size_t pos = 0;
    while (pos < output.size()) {
        const std::size_t at = output.find(PROGRESS_PREFIX, pos);
        if (at == std::string_view::npos) {
            out.text.append(output.substr(pos));
            break;
        }
        out.text.append(output.substr(pos, at - pos));
        // A run: progress lines one straight after another; only the last one is kept.
        std::size_t run = at;
        std::size_t last = at;
        std::size_t end = at;
        long long value = 0;
        while (output.substr(run, PROGRESS_PREFIX.size()) == PROGRESS_PREFIX &&
               read_value(output, run, value, end)) {
            out.progress.push_back(value);
            last = run;
            run = end;
        }
        if (run == at) {  // the prefix without a number: keep it as text
            out.text.append(PROGRESS_PREFIX);
            pos = at + PROGRESS_PREFIX.size();
            continue;
        }
        out.text.append(output.substr(last, run - last));
        pos = run;
    }
    return out;
}

std::string progress_line(long long remain) {
    char line[64];
    std::snprintf(line, sizeof line, "\rConfigration remain=%8lld", remain);
    return line;
}

}  // namespace oscset::testing

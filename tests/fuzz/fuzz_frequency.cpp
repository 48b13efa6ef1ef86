// Arbitrary text through the frequency path as the prompt would hand it over: parse,
// search, report. Whatever it finds, the result is a plan within its limits or a message.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frontend/frequency.hpp"
#include "platform/console.hpp"

using namespace oscset::frontend;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(std::strlen(text.c_str()));  // the program sees a C string
    if (text.empty()) {
        return 0;
    }
    oscset::platform::ConsoleCapture console;
    const ParsedFrequency request = parse_frequency(text.data());
    if (request.error != FrequencyError::NONE) {
        const std::string said = console.text();
        if (said != "input format error.\n" && said != "input range error.\n") {
            std::abort();
        }
        return 0;
    }
    if (!(request.target_hz >= MIN_HZ && request.target_hz <= MAX_HZ)) {
        std::abort();
    }
    divider_plan plan;
    if (!search_dividers(request.target_hz, plan)) {
        std::abort();  // the search ranges never reach the div_b guard
    }
    if (plan.div_a < DIV_A_FIRST || plan.div_a > DIV_A_LAST || plan.div_b < 1 ||
        plan.div_b > DIV_B_LIMIT || plan.best_error_hz >= 1'000'000.0) {
        std::abort();
    }
    report_plan(plan);
    const std::string said = console.text();
    if (said.find("div_a=") == std::string::npos || said.size() < 4 ||
        said.compare(said.size() - 3, 3, "%\n\n") != 0) {
        std::abort();
    }
    return 0;
}

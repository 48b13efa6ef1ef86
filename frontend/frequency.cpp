#include "frontend/frequency.hpp"

#include <cfloat>
#include <cstring>

#include "frontend/scan_double.hpp"
#include "platform/console.hpp"

// The search's comparisons, ties and early stop are defined in double precision: a build that
// keeps wider intermediates (the x87 unit) chooses other dividers for some frequencies.
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error \
    "frequency search needs double arithmetic without excess precision (i686: -msse2 -mfpmath=sse)"
#endif

namespace oscset::frontend {

using platform::console_printf;

ParsedFrequency parse_frequency(char* text) {
    double multiplier = 1.0;
    const std::size_t length = std::strlen(text);
    if (length > 0) {
        switch (text[length - 1]) {
            case 'K':
            case 'k':
                multiplier = 1000.0;
                text[length - 1] = '\0';
                break;
            case 'M':
            case 'm':
                multiplier = 1'000'000.0;
                text[length - 1] = '\0';
                break;
            default:
                break;
        }
    }
    double value = 0.0;
    if (scan_double(text, &value) != 1) {
        console_printf("input format error.\n");
        return {FrequencyError::FORMAT, 0.0};
    }
    const double target_hz = value * multiplier;
    if (!(target_hz >= MIN_HZ && target_hz <= MAX_HZ)) {  // also refuses NaN
        console_printf("input range error.\n");
        return {FrequencyError::RANGE, target_hz};
    }
    return {FrequencyError::NONE, target_hz};
}

bool search_dividers(double target_hz, divider_plan& plan) {
    plan = divider_plan{};
    plan.target_hz = target_hz;
    plan.synth_hz = target_hz;
    if (target_hz < POST_DIVIDER_BELOW_HZ) {
        const auto n = static_cast<std::int32_t>(POST_DIVIDER_BELOW_HZ / target_hz);
        plan.post_div = 2 * ((n + 1) / 2);
        plan.synth_hz = target_hz * plan.post_div;
    }
    if (plan.synth_hz > DOUBLER_ABOVE_HZ) {
        plan.synth_hz = plan.synth_hz * 0.5;
        plan.doubler = 1;
    }

    plan.best_error_hz = 1'000'000.0;
    for (std::int32_t div_a = DIV_A_FIRST; div_a <= DIV_A_LAST; ++div_a) {
        const double step = REFERENCE_HZ / div_a;
        const auto n = static_cast<std::int32_t>(plan.synth_hz / step);
        const double below = n * step;
        const double above = (n + 1) * step;
        const double error_below = plan.synth_hz - below;
        const double error_above = above - plan.synth_hz;
        // On a tie the lower multiplier wins; an equal error never replaces the best.
        const bool take_above = error_below > error_above;
        const double error = take_above ? error_above : error_below;
        if (error < plan.best_error_hz) {
            plan.best_error_hz = error;
            plan.div_a = div_a;
            plan.div_b = take_above ? n + 1 : n;
        }
        if (plan.best_error_hz == 0.0) {
            break;
        }
    }
    plan.achieved_hz = REFERENCE_HZ / plan.div_a * plan.div_b;
    if (plan.div_b > DIV_B_LIMIT) {
        console_printf("Fatal error. div_a=%d dib_b=%d.\n", plan.div_a, plan.div_b);
        return false;
    }
    return true;
}

void report_plan(const divider_plan& plan) {
    const double achieved = plan.achieved_hz;
    if (plan.post_div != 0) {
        console_printf("%3.9fMHz/%d=%3.9fMHz div_a=%d div_b=%d\n", achieved * 0.000001,
                       plan.post_div, achieved / plan.post_div * 0.000001, plan.div_a, plan.div_b);
    } else if (plan.doubler == 1) {
        console_printf("%3.9fMHz*2=%3.9fMHz div_a=%d div_b=%d\n", achieved * 0.000001,
                       achieved * 0.000002, plan.div_a, plan.div_b);
    } else {
        console_printf("%3.9fMHz div_a=%d div_b=%d\n", achieved * 0.000001, plan.div_a, plan.div_b);
    }
    console_printf("Error %.5f%%\n\n", (1.0 - achieved / plan.synth_hz) * 100.0);
}

}  // namespace oscset::frontend

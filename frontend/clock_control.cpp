#include "frontend/clock_control.hpp"

#include "platform/time.hpp"

namespace oscset::frontend {

clock_params make_clock_params(const divider_plan& plan) {
    const std::int32_t a = plan.div_a - 1;
    const std::int32_t b = plan.div_b - 1;
    // Without a post-divider this is -1, which the record carries as FF FF FF.
    const std::int32_t half = plan.post_div / 2 - 1;
    const std::uint8_t mode = plan.doubler == 1    ? OUTPUT_DOUBLED
                              : plan.post_div != 0 ? OUTPUT_POST_DIVIDER
                                                   : OUTPUT_DIRECT;
    const auto byte = [](std::int32_t value, int shift) {
        return static_cast<std::uint8_t>((static_cast<std::uint32_t>(value) >> shift) & 0xFF);
    };
    return {byte(a, 0),    byte(a, 8),    byte(b, 0),     byte(b, 8),
            byte(half, 0), byte(half, 8), byte(half, 16), mode};
}

bool program_clock(const divider_plan& plan, BusAccess& bus) {
    const clock_params record = make_clock_params(plan);
    // The synthesiser may still be locked to the record before: its lock would not be ours.
    if (bus.write(CLOCK_ADDRESS, record.data(), static_cast<std::uint32_t>(record.size())) !=
        STATUS_OK) {
        return false;
    }
    for (int read = 0; read < LOCK_READS; ++read) {
        std::uint8_t status = 0;
        const status_t read_status = bus.read(CLOCK_ADDRESS, &status, 1);
        if (read_status == STATUS_OK && status == CLOCK_LOCKED) {
            return true;
        }
        platform::sleep_ms(platform::Wait::LOCK_POLL, LOCK_PAUSE_MS);
    }
    return false;
}

}  // namespace oscset::frontend

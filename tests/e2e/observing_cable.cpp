#include "tests/e2e/observing_cable.hpp"

namespace oscset::testing {

sim::TapState ObservingCable::state() const {
    return device_ < board_.device_count() ? board_.tap_state(device_)
                                           : sim::TapState::TEST_LOGIC_RESET;
}

std::int32_t ObservingCable::shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                                   std::int32_t tms_during, std::int32_t tms_last) {
    ObservedShift s;
    s.count = count;
    s.tms_during = tms_during != 0;
    s.tms_last = tms_last != 0;
    s.has_tdi = tdi != nullptr;
    if (tdi != nullptr) {
        // Copied first: tdi and tdo may be one buffer.
        s.tdi.assign(tdi, tdi + (count + 7) / 8);
    }
    s.reads_tdo = tdo != nullptr;
    s.state_before = state();
    s.instruction = device_ < board_.device_count() ? board_.instruction(device_) : 0;
    s.events_before = board_.events().size();
    const std::int32_t result = inner_.shift(tdi, tdo, count, tms_during, tms_last);
    s.state_after = state();
    s.events_after = board_.events().size();
    shifts_.push_back(std::move(s));
    return result;
}

}  // namespace oscset::testing

#include "sim/board/synthesiser.hpp"

#include <algorithm>
#include <cstdio>

namespace oscset::sim {
namespace {

constexpr std::uint32_t DIV_A_MIN = 24;
constexpr std::uint32_t DIV_A_MAX = 999;
constexpr std::uint32_t DIV_B_MIN = 1;
constexpr std::uint32_t DIV_B_MAX = 16383;
constexpr std::uint32_t POST_DIV_MAX = 30000000;
constexpr std::uint32_t NO_POST_DIV = 0xFFFFFF;

constexpr std::uint8_t MODE_DIRECT = 0;
constexpr std::uint8_t MODE_POST_DIVIDER = 1;
constexpr std::uint8_t MODE_DOUBLED = 2;

bool mode_fits(std::uint8_t mode, std::uint32_t post_div) {
    switch (mode) {
        case MODE_DIRECT:
        case MODE_DOUBLED:
            return post_div == 0;
        case MODE_POST_DIVIDER:
            return post_div != 0;
        default:
            return false;
    }
}

}  // namespace

SynthSettings decode_synth_record(const std::array<std::uint8_t, 8>& r) {
    SynthSettings s;
    s.div_a = (r[0] | (r[1] << 8)) + 1u;
    s.div_b = (r[2] | (r[3] << 8)) + 1u;
    const std::uint32_t half = r[4] | (r[5] << 8) | (r[6] << 16);
    s.post_div = half == NO_POST_DIV ? 0 : (half + 1) * 2;
    s.mode = r[7];
    s.valid = s.div_a >= DIV_A_MIN && s.div_a <= DIV_A_MAX && s.div_b >= DIV_B_MIN &&
              s.div_b <= DIV_B_MAX && s.post_div <= POST_DIV_MAX && mode_fits(s.mode, s.post_div);
    double f = SYNTH_REFERENCE_HZ / s.div_a * s.div_b;
    if (s.mode == MODE_POST_DIVIDER && s.post_div != 0) {
        f /= s.post_div;
    } else if (s.mode == MODE_DOUBLED) {
        f *= 2;
    }
    s.frequency_hz = f;
    return s;
}

std::uint8_t Synthesiser::read(std::uint32_t offset) {
    offset &= 7;
    if (offset != 0) {
        return record_[offset];
    }
    if (status_ == SYNTH_LOCKING) {
        ++status_reads_;
        if (lock_after_reads_ && status_reads_ >= std::max<std::uint32_t>(1, *lock_after_reads_)) {
            status_ = SYNTH_LOCKED;
            log_.add("synth locked %.3f Hz", settings_.frequency_hz);
        }
    }
    return status_;
}

void Synthesiser::take_record() {
    settings_ = decode_synth_record(record_);
    status_reads_ = 0;
    const char* post = settings_.post_div == 0 ? "none" : nullptr;
    char post_text[16];
    if (post == nullptr) {
        std::snprintf(post_text, sizeof post_text, "%u", static_cast<unsigned>(settings_.post_div));
        post = post_text;
    }
    if (settings_.valid) {
        status_ = SYNTH_LOCKING;
        log_.add("synth set %.3f Hz div_a %u div_b %u post_div %s mode %u", settings_.frequency_hz,
                 static_cast<unsigned>(settings_.div_a), static_cast<unsigned>(settings_.div_b),
                 post, static_cast<unsigned>(settings_.mode));
    } else {
        status_ = SYNTH_NO_RECORD;
        log_.add("synth set out of range div_a %u div_b %u post_div %s mode %u: never locks",
                 static_cast<unsigned>(settings_.div_a), static_cast<unsigned>(settings_.div_b),
                 post, static_cast<unsigned>(settings_.mode));
    }
}

void Synthesiser::reset() {
    record_ = {};
    settings_ = {};
    status_ = SYNTH_NO_RECORD;
    status_reads_ = 0;
}

}  // namespace oscset::sim

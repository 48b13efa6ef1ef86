#include "sim/wire/jtag_probe.hpp"

#include <algorithm>
#include <array>

namespace oscset::sim {
namespace {

constexpr std::array<char, 5> PIN_ID{'!', '"', '#', '$', '%'};
constexpr std::array<const char*, 5> PIN_NAME{"tck", "tms", "tdi", "tdo", "vref"};
constexpr std::size_t FILE_BUFFER = 1 << 16;
// clock_bits passes on in pieces of this many bytes, so that TDO can be recorded whatever
// the caller asked for.
constexpr std::uint32_t PIECE_BYTES = 512;

}  // namespace

JtagProbe::JtagProbe(JtagPort& port, const char* path, Clock clock)
    : port_(port), path_(path), clock_(std::move(clock)), file_(std::fopen(path, "w")) {
    if (!file_) {
        return;
    }
    std::FILE* f = file_.get();
    std::setvbuf(f, nullptr, _IOFBF, FILE_BUFFER);
    std::fputs("$version oscset-sim JTAG connector $end\n$timescale 1 ns $end\n", f);
    std::fputs("$scope module jtag $end\n", f);
    for (int p = 0; p < PINS; ++p) {
        std::fprintf(f, "$var wire 1 %c %s $end\n", PIN_ID[p], PIN_NAME[p]);
    }
    std::fputs("$upscope $end\n$enddefinitions $end\n#0\n", f);
    levels_[TDO] = port_.tdo();
    levels_[VREF] = port_.target_power();
    for (int p = 0; p < PINS; ++p) {
        std::fprintf(f, "%c%c\n", levels_[p] ? '1' : '0', PIN_ID[p]);
    }
}

JtagProbe::~JtagProbe() {
    if (file_) {
        std::fprintf(
            file_.get(), "#%llu\n",
            static_cast<unsigned long long>(std::max(now_, stamped_) + NOMINAL_TCK_PERIOD_NS));
    }
}

void JtagProbe::start() {
    if (clock_) {
        now_ = std::max(now_, clock_());
    }
}

void JtagProbe::set(Pin pin, bool level) {
    if (levels_[pin] == level || !file_) {
        return;
    }
    levels_[pin] = level;
    if (now_ != stamped_) {
        std::fprintf(file_.get(), "#%llu\n", static_cast<unsigned long long>(now_));
        stamped_ = now_;
    }
    std::putc(level ? '1' : '0', file_.get());
    std::putc(PIN_ID[pin], file_.get());
    std::putc('\n', file_.get());
}

void JtagProbe::record_clock(bool tdi, bool tms, bool tdo) {
    set(VREF, port_.target_power());
    set(TCK, false);
    set(TMS, tms);
    set(TDI, tdi);
    set(TDO, tdo);
    now_ += NOMINAL_TCK_PERIOD_NS / 2;
    set(TCK, true);
    now_ += NOMINAL_TCK_PERIOD_NS / 2;
}

bool JtagProbe::clock(bool tdi, bool tms) {
    start();
    const bool out = port_.clock(tdi, tms);
    record_clock(tdi, tms, out);
    return out;
}

void JtagProbe::drive(bool tck, bool tdi, bool tms) {
    start();
    port_.drive(tck, tdi, tms);
    set(VREF, port_.target_power());
    set(TMS, tms);
    set(TDI, tdi);
    set(TCK, tck);
    set(TDO, port_.tdo());
    if (!clock_) {
        now_ += NOMINAL_TCK_PERIOD_NS / 2;
    }
}

void JtagProbe::clock_bits(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                           bool tms_during, bool tms_last) {
    std::array<std::uint8_t, PIECE_BYTES> in{};
    std::array<std::uint8_t, PIECE_BYTES> out{};
    for (std::uint32_t done = 0; done < count;) {
        const std::uint32_t bits = std::min(count - done, 8 * PIECE_BYTES);
        const std::uint32_t bytes = (bits + 7) / 8;
        // Copied before the port writes TDO: the caller's two buffers may be one.
        if (tdi != nullptr) {
            std::copy_n(tdi + done / 8, bytes, in.begin());
        }
        const bool final_piece = done + bits == count;
        start();
        port_.clock_bits(tdi != nullptr ? in.data() : nullptr, out.data(), bits, tms_during,
                         final_piece ? tms_last : tms_during);
        for (std::uint32_t k = 0; k < bits; ++k) {
            const bool tms = done + k == count - 1 ? tms_last : tms_during;
            record_clock(((in[k / 8] >> (7 - k % 8)) & 1) != 0, tms,
                         ((out[k / 8] >> (k % 8)) & 1) != 0);
        }
        if (tdo != nullptr) {
            std::copy_n(out.begin(), bytes, tdo + done / 8);
        }
        done += bits;
    }
}

}  // namespace oscset::sim

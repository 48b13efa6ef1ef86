#include "tests/sim_board/jtag_driver.hpp"

#include <numeric>

#include "sim/board/parts.hpp"

namespace oscset::sim::testing {

void TestJtag::reset_to_idle() {
    for (int i = 0; i < 5; ++i) {
        clock(true);
    }
    clock(false);
}

void TestJtag::to_shift_ir() {
    clock(true);   // Select-DR-Scan
    clock(true);   // Select-IR-Scan
    clock(false);  // Capture-IR
    clock(false);  // Shift-IR
}

void TestJtag::to_shift_dr() {
    clock(true);   // Select-DR-Scan
    clock(false);  // Capture-DR
    clock(false);  // Shift-DR
}

void TestJtag::update_to_idle() {
    clock(true);   // Update
    clock(false);  // Run-Test/Idle
}

std::vector<bool> TestJtag::shift(const std::vector<bool>& bits, bool exit) {
    std::vector<bool> out;
    out.reserve(bits.size());
    for (std::size_t i = 0; i < bits.size(); ++i) {
        out.push_back(clock(exit && i + 1 == bits.size(), bits[i]));
    }
    return out;
}

std::uint64_t TestJtag::shift_value(std::uint64_t value, int bits, bool exit) {
    std::uint64_t out = 0;
    for (int i = 0; i < bits; ++i) {
        const bool tdo = clock(exit && i + 1 == bits, (value >> i) & 1);
        out |= static_cast<std::uint64_t>(tdo) << i;
    }
    return out;
}

std::vector<std::uint8_t> TestJtag::shift_bytes(std::span<const std::uint8_t> bytes, bool exit) {
    std::vector<std::uint8_t> out(bytes.size(), 0);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        for (int k = 0; k < 8; ++k) {
            const bool last = exit && i + 1 == bytes.size() && k == 7;
            const bool tdo = clock(last, (bytes[i] >> (7 - k)) & 1);
            out[i] = static_cast<std::uint8_t>(out[i] | (tdo << (7 - k)));
        }
    }
    return out;
}

void TestJtag::shift_zeros(std::uint64_t bits, bool exit) {
    for (std::uint64_t i = 0; i < bits; ++i) {
        clock(exit && i + 1 == bits, false);
    }
}

void TestJtag::load_ir(std::uint64_t bits, int length) {
    to_shift_ir();
    shift_value(bits, length, true);
    update_to_idle();
}

std::uint64_t TestJtag::scan_dr(std::uint64_t value, int bits) {
    to_shift_dr();
    const std::uint64_t out = shift_value(value, bits, true);
    update_to_idle();
    return out;
}

ChainTarget chain_target(const ChainRow& row) {
    ChainTarget target;
    for (const std::string& part : row.chain) {
        target.ir_lengths.push_back(find_part(part)->ir_length);
    }
    target.target = row.target;
    return target;
}

int ChainTarget::total_ir() const {
    return std::accumulate(ir_lengths.begin(), ir_lengths.end(), 0);
}

std::uint64_t ChainTarget::ir_bits(std::uint32_t code) const {
    std::uint64_t bits = ~0ull;
    int offset = 0;
    for (std::size_t d = 0; d < target; ++d) {
        offset += ir_lengths[d];
    }
    for (int i = 0; i < ir_lengths[target]; ++i) {
        if (((code >> i) & 1) == 0) {
            bits &= ~(1ull << (offset + i));
        }
    }
    return bits;
}

void TargetJtag::load_ir(std::uint32_t code) {
    jtag_.load_ir(chain_.ir_bits(code), chain_.total_ir());
}

void TargetJtag::cfg_in_write(std::span<const std::uint8_t> bytes) {
    load_ir(5);
    jtag_.to_shift_dr();
    const std::size_t tdi_side = chain_.tdi_side();
    jtag_.shift_zeros((32 - tdi_side % 32) % 32, false);
    jtag_.shift_bytes(bytes, tdi_side == 0);
    if (tdi_side > 0) {
        jtag_.shift_zeros(tdi_side, true);
    }
    jtag_.update_to_idle();
}

void TargetJtag::cfg_in_words(std::span<const std::uint32_t> words) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t w : words) {
        for (int s = 24; s >= 0; s -= 8) {
            bytes.push_back(static_cast<std::uint8_t>(w >> s));
        }
    }
    cfg_in_write(bytes);
}

std::uint64_t TargetJtag::read_status_bits() {
    jtag_.reset_to_idle();
    const std::uint32_t request[] = {0x2800E001, 0x00000000};
    cfg_in_words(request);
    load_ir(4);
    jtag_.to_shift_dr();
    // Drop the bypass bits of the devices on the TDO side first.
    jtag_.shift_zeros(chain_.tdo_side(), false);
    std::uint64_t bits = 0;
    for (int i = 0; i < 33; ++i) {
        bits = (bits << 1) | static_cast<std::uint64_t>(jtag_.clock(i == 32));
    }
    jtag_.update_to_idle();
    return bits;
}

std::uint32_t TargetJtag::read_status() {
    return static_cast<std::uint32_t>(read_status_bits() & 0xFFFFFFFFu);
}

void TargetJtag::jstart(int clocks) {
    load_ir(12);
    jtag_.to_shift_dr();
    jtag_.shift_zeros(static_cast<std::uint64_t>(clocks), true);
    jtag_.update_to_idle();
}

void TargetJtag::configure(std::span<const std::uint8_t> stream) {
    jtag_.reset_to_idle();
    cfg_in_write(stream);
    jstart(16);
}

}  // namespace oscset::sim::testing

#include "jtag/tap.hpp"

#include <array>
#include <atomic>

#include "cables/cable.hpp"
#include "jtag/bits.hpp"
#include "jtag/chain_position.hpp"

namespace oscset::jtag {
namespace {

using cable::cable_shift;

std::atomic<std::int32_t> user_type{USER_TYPE_UNKNOWN};
std::atomic<bool> cable_failed{false};

void shift(std::uint32_t count, std::int32_t tms_during, std::int32_t tms_last,
           const std::uint8_t* tdi = nullptr, std::uint8_t* tdo = nullptr) {
    cable_shift(tdi, tdo, count, tms_during, tms_last);
    if (cable::cable_take_failure()) {
        cable_failed.store(true);
    }
}

}  // namespace

void jtag_move(const TmsPath& path, const std::uint8_t* tdi) {
    shift(path.clocks, path.tms_during, path.tms_last, tdi);
}

void jtag_shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t n, ShiftEnd end) {
    shift(n, 0, end == ShiftEnd::EXIT1 ? 1 : 0, tdi, tdo);
    if (tdo != nullptr && cable::cable_ops().tdo_reverse == 1) {
        reverse_bytes(tdo, (n + 7) / 8);
    }
}

status_t jtag_reset_to_idle(std::int32_t clocks) {
    if (clocks > 0) {
        shift(static_cast<std::uint32_t>(clocks), 1, 0);
    }
    return STATUS_OK;
}

status_t jtag_idle_clocks(std::int32_t clocks) {
    if (clocks > 0) {
        shift(static_cast<std::uint32_t>(clocks), 0, 0);
    }
    return STATUS_OK;
}

status_t jtag_load_ir(std::uint8_t code, std::int32_t ir_length) {
    const chain_position& at = selected_position();
    const std::int32_t total = at.ir_bits_tdo_side + ir_length + at.ir_bits_tdi_side;
    if (ir_length <= 0 || at.ir_bits_tdo_side < 0 || at.ir_bits_tdi_side < 0 ||
        total > IR_STRING_BITS) {
        return STATUS_NO_FPGA;  // chain discovery refuses such chains before we get here
    }
    jtag_move(TO_SELECT_IR);
    jtag_move(SELECT_TO_SHIFT);
    // Ones everywhere is BYPASS for every other device; the code goes in least significant
    // bit first, behind the bits that travel on to the TDO-side devices.
    std::array<std::uint8_t, IR_STRING_BITS / 8> string;
    string.fill(0xFF);
    for (std::int32_t i = 0; i < ir_length; ++i) {
        const bool one = i < 8 && ((code >> i) & 1u) != 0;
        if (!one) {
            const std::int32_t bit = at.ir_bits_tdo_side + i;
            string[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
        }
    }
    jtag_shift(string.data(), nullptr, static_cast<std::uint32_t>(total), ShiftEnd::EXIT1);
    jtag_move(TMS_HIGH_ONCE);  // Update-IR
    return STATUS_OK;
}

status_t jtag_shift_dr(const std::uint8_t* tdi, std::uint8_t* tdo, std::int32_t n,
                       std::uint32_t flags) {
    const chain_position& at = selected_position();
    if ((flags & DR_ENTER) != 0) {
        jtag_move(TO_CAPTURE_DR);
        jtag_move(CAPTURE_TO_SHIFT);
        if ((flags & DR_SKIP_TDO_SIDE) != 0 && tdo != nullptr && at.devices_tdo_side > 0) {
            // The bypass bits captured between us and TDO come out first: drop them.
            jtag_shift(nullptr, nullptr, static_cast<std::uint32_t>(at.devices_tdo_side),
                       ShiftEnd::STAY);
        }
    }
    if (n <= 0) {
        return STATUS_OK;
    }
    const bool exit = (flags & DR_EXIT) != 0;
    const bool pad =
        exit && (flags & DR_PAD_TDI_SIDE) != 0 && tdi != nullptr && at.devices_tdi_side > 0;
    jtag_shift(tdi, tdo, static_cast<std::uint32_t>(n),
               exit && !pad ? ShiftEnd::EXIT1 : ShiftEnd::STAY);
    if (pad) {
        // Zeros behind the data push its last bit through the TDI-side bypasses.
        jtag_shift(nullptr, nullptr, static_cast<std::uint32_t>(at.devices_tdi_side),
                   ShiftEnd::EXIT1);
    }
    if (exit) {
        jtag_move(TMS_HIGH_ONCE);  // Update-DR
    }
    return STATUS_OK;
}

status_t jtag_scan_dr(const std::uint8_t* tdi, std::uint8_t* tdo, std::int32_t n) {
    return jtag_shift_dr(tdi, tdo, n, DR_EXIT | DR_ENTER | DR_SKIP_TDO_SIDE | DR_PAD_TDI_SIDE);
}

status_t jtag_cfg_in_write(const std::uint8_t* words, std::int32_t n) {
    status_t result = jtag_load_ir(INSTRUCTION_CFG_IN, SPARTAN2_IR_LENGTH);
    const std::int32_t tdi_side = selected_position().devices_tdi_side;
    // The zeros held in the TDI-side bypasses plus these lead zeros make one whole zero word
    // ahead of the packets, so the packets keep their word boundaries.
    const std::int32_t lead = (-tdi_side) & 31;
    if (lead == 0) {
        return result | jtag_scan_dr(words, nullptr, n);
    }
    result |= jtag_shift_dr(nullptr, nullptr, lead, DR_ENTER);
    result |= jtag_shift_dr(words, nullptr, n, 0);
    result |= jtag_shift_dr(nullptr, nullptr, tdi_side & 31, DR_EXIT);
    return result;
}

status_t jtag_select_user(std::uint32_t type) {
    const auto t = static_cast<std::int32_t>(type & 0xFF);
    status_t result = STATUS_OK;
    if (user_type.load() != t) {
        result |= jtag_reset_to_idle(RESET_CLOCKS);
        result |= jtag_idle_clocks(1);
        user_type.store(USER_TYPE_NONE);
    }
    std::uint8_t code = 0;
    if (t == 1) {
        code = INSTRUCTION_USER1;
    } else if (t == 2) {
        code = INSTRUCTION_USER2;
    }
    if (result != STATUS_OK || code == 0) {
        return result;
    }
    status_t selected = jtag_load_ir(code, SPARTAN2_IR_LENGTH);
    selected |= jtag_shift_dr(nullptr, nullptr, 0, DR_ENTER);
    if (selected == STATUS_OK) {
        user_type.store(t);
    }
    return result | selected;
}

status_t jtag_user_shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::int32_t n,
                         std::int32_t exit) {
    status_t result = jtag_shift_dr(tdi, tdo, n, exit != 0 ? DR_EXIT : 0);
    if (exit != 0) {
        result |= jtag_idle_clocks(1);
        user_type.store(USER_TYPE_NONE);
    }
    return result;
}

bool jtag_take_cable_failure() {
    return cable_failed.exchange(false);
}

std::int32_t current_user_type() {
    return user_type.load();
}

void set_current_user_type(std::int32_t type) {
    user_type.store(type);
}

}  // namespace oscset::jtag

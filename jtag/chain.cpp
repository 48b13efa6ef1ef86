#include "jtag/chain.hpp"

#include <algorithm>
#include <array>
#include <atomic>

#include "cables/cable.hpp"
#include "jtag/background.hpp"
#include "jtag/bits.hpp"
#include "jtag/device_table.hpp"
#include "jtag/spartan2.hpp"
#include "jtag/tap.hpp"

namespace oscset::jtag {
namespace {

std::array<ChainRecord, MAX_CHAIN_DEVICES> devices{};
std::int32_t device_count = 0;
std::int32_t selected = -1;
chain_position position{};
std::atomic<std::int32_t> bridge_type{-1};

constexpr std::uint8_t ONE = 0x80;  // a one-bit string holding a 1

// One clock in a Shift state with TDI high: true when TDO read high.
bool read_bit_with_tdi_high() {
    std::uint8_t tdo = 0;
    jtag_shift(&ONE, &tdo, 1, ShiftEnd::STAY);
    return tdo != 0;
}

}  // namespace

const chain_position& selected_position() {
    return position;
}

std::int32_t jtag_scan_chain() {
    devices = {};
    jtag_reset_to_idle(RESET_CLOCKS);
    jtag_move(TO_SELECT_IR);
    jtag_move(SELECT_TO_SHIFT);  // Shift-IR

    // The capture values come out first, and zeros fill every instruction register.
    std::array<std::uint8_t, CAPTURE_BITS / 8> capture{};
    jtag_shift(nullptr, capture.data(), CAPTURE_BITS, ShiftEnd::STAY);

    // Ones pushed in appear at TDO after as many clocks as the registers hold bits.
    std::int32_t ir_length = CAPTURE_BITS;
    for (std::int32_t i = 0; i < CAPTURE_BITS; ++i) {
        if (read_bit_with_tdi_high()) {
            ir_length = i;
            break;
        }
    }
    jtag_move(TMS_HIGH_ONCE, &ONE);  // Exit1-IR; every register now holds ones
    jtag_move(EXIT1_TO_SELECT_DR);   // Update-IR: all BYPASS
    jtag_move(SELECT_TO_SHIFT);      // Shift-DR

    // Each bypass register captured a 0: the zeros before the first one count the devices.
    std::int32_t count = 0;
    while (!read_bit_with_tdi_high()) {
        if (++count >= DEVICE_COUNT_BOUND) {
            break;
        }
    }
    device_count = count;
    jtag_move(TMS_HIGH_ONCE);          // Exit1-DR
    jtag_reset_to_idle(RESET_CLOCKS);  // Test-Logic-Reset puts IDCODE everywhere

    if (count < 1 || count > MAX_CHAIN_DEVICES || ir_length < 2 * count) {
        return 0;
    }
    jtag_move(TMS_HIGH_ONCE);    // Select-DR-Scan
    jtag_move(SELECT_TO_SHIFT);  // Shift-DR
    std::array<std::uint8_t, 4 * MAX_CHAIN_DEVICES> idcodes{};
    const auto idcode_bits = static_cast<std::uint32_t>(32 * count);
    jtag_shift(nullptr, idcodes.data(), idcode_bits, ShiftEnd::EXIT1);
    const std::int32_t decoded =
        chain_decode(devices.data(), MAX_CHAIN_DEVICES, capture.data(), ir_length, idcodes.data(),
                     static_cast<std::int32_t>(idcode_bits));
    return decoded == count ? 1 : 0;
}

std::int32_t chain_decode(ChainRecord* records, std::int32_t max_records,
                          const std::uint8_t* capture, std::int32_t capture_bits,
                          const std::uint8_t* idcodes, std::int32_t idcode_bits) {
    if (capture_bits <= 0) {
        return 0;
    }
    std::int32_t idcode_offset = 0;
    std::int32_t capture_offset = 0;
    std::int32_t record = 0;
    while (capture_offset < capture_bits && idcode_offset + 32 <= idcode_bits &&
           record < max_records) {
        const std::uint32_t id =
            bits_extract(idcodes, static_cast<std::uint32_t>(idcode_offset), 32);
        ChainRecord& device = records[record];
        device = ChainRecord{};
        for (const DeviceRow& row : device_table()) {
            if (row.name == nullptr) {
                break;
            }
            // A row whose instruction bits reach past the captured ones cannot be this device:
            // the chain then holds more instruction bits than were measured.
            if ((id & IDCODE_VERSION_MASK) != row.idcode ||
                capture_offset + row.ir_length > capture_bits) {
                continue;
            }
            const std::uint32_t c =
                bits_extract(capture, static_cast<std::uint32_t>(capture_offset),
                             static_cast<std::uint32_t>(row.ir_length));
            if ((c & 3u) == 1u) {  // IEEE 1149.1: the first captured bit 1, the second 0
                device = {row.name, id, row.ir_length, static_cast<std::uint8_t>(c)};
                break;
            }
        }
        if (device.name == nullptr) {
            return -1;
        }
        idcode_offset += 32;
        capture_offset += device.ir_length;
        ++record;
    }
    return record;
}

std::uint32_t chain_select(std::int32_t index) {
    if (index < 0 || index >= device_count || index >= MAX_CHAIN_DEVICES) {
        return 0;
    }
    position = chain_position{};
    position.devices_tdo_side = index;
    position.devices_tdi_side = device_count - index - 1;
    for (std::int32_t i = 0; i < device_count && i < MAX_CHAIN_DEVICES; ++i) {
        if (i < index) {
            position.ir_bits_tdo_side += devices[i].ir_length;
        } else if (i > index) {
            position.ir_bits_tdi_side += devices[i].ir_length;
        }
    }
    return devices[index].idcode;
}

const char* spartan2_name(std::uint32_t idcode) {
    const Spartan2Part* part = spartan2_part(idcode);
    return part != nullptr ? part->name : nullptr;
}

status_t jtag_read_idcode(std::uint32_t* out) {
    std::array<std::uint8_t, 4> buffer{};
    status_t result = jtag_reset_to_idle(RESET_CLOCKS);
    result |= jtag_load_ir(INSTRUCTION_IDCODE, SPARTAN2_IR_LENGTH);
    result |= jtag_scan_dr(nullptr, buffer.data(), 32);
    if (out != nullptr) {
        *out = bytes_to_word(buffer.data());
    }
    return result;
}

status_t jtag_ensure_target() {
    const status_t busy = background_collect();
    if (busy != STATUS_OK) {
        return busy;
    }
    if (selected >= 0) {
        chain_select(selected);
        return STATUS_OK;
    }
    if (cable::cable_ops().driver->probe() == 0) {
        return STATUS_NO_TARGET_POWER;
    }
    bridge_type.store(0);  // the scan resets the TAP: no USER register stays open
    if (jtag_scan_chain() == 0) {
        return STATUS_NO_FPGA;
    }
    selected = -1;
    std::int32_t index = 0;
    std::uint32_t id = 0;
    for (;; ++index) {
        id = chain_select(index);
        if (id == 0) {
            return STATUS_NO_FPGA;
        }
        if (spartan2_name(id) != nullptr) {
            break;
        }
    }
    std::uint32_t confirm = 0;
    const status_t result = jtag_read_idcode(&confirm);
    if (confirm != id) {
        return result | STATUS_NO_FPGA;
    }
    selected = index;
    return result;
}

std::span<const ChainRecord> chain_devices() {
    const std::int32_t shown = device_count < MAX_CHAIN_DEVICES ? device_count : MAX_CHAIN_DEVICES;
    return std::span<const ChainRecord>(devices.data(), static_cast<std::size_t>(shown));
}

std::int32_t chain_device_count() {
    return device_count;
}

std::int32_t selected_device() {
    return selected;
}

std::int32_t bridge_user_type() {
    return bridge_type.load();
}

void set_bridge_user_type(std::int32_t type) {
    bridge_type.store(type);
}

void chain_assume(std::span<const ChainRecord> found, std::int32_t selected_index) {
    chain_forget();
    device_count = 0;
    for (const ChainRecord& device :
         found.first(std::min<std::size_t>(found.size(), MAX_CHAIN_DEVICES))) {
        devices[static_cast<std::size_t>(device_count++)] = device;
    }
    selected = selected_index;
    chain_select(selected_index);
}

void chain_forget() {
    devices = {};
    device_count = 0;
    selected = -1;
    position = chain_position{};
    bridge_type.store(-1);
}

}  // namespace oscset::jtag

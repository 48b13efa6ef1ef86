#include "cables/usb/usb_cable.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "cables/usb/ezusb.hpp"
#include "cables/usb/usb_pipes.hpp"
#include "platform/bit_reverse.hpp"
#include "platform/console.hpp"
#include "resources/ezusb_firmware.hpp"

namespace oscset::usb {
namespace {

constexpr std::uint32_t BYTE_MODE_MAX = USB_CHUNK;  // bytes per byte-mode transfer
constexpr std::int32_t TMS_UNKNOWN = -1;

std::array<std::uint8_t, USB_CHUNK> usb_staging;
// The TMS level byte mode will use: set by a mode command, left by the last per-clock byte.
std::int32_t byte_mode_tms = TMS_UNKNOWN;
bool shift_failed = false;

// A failed transfer leaves the adapter's TMS level unknown, so the next byte-mode shift
// sends its mode command again.
bool set_byte_mode_tms(std::int32_t tms) {
    if (tms == byte_mode_tms) {
        return true;
    }
    usb_staging[0] = tms != 0 ? MODE_TMS_HIGH : MODE_TMS_LOW;
    const bool ok = usb_command_exchange(usb_staging.data(), 1) == 0;
    byte_mode_tms = ok ? tms : TMS_UNKNOWN;
    return ok;
}

}  // namespace

std::int32_t usb_cable_open(std::uint16_t index, std::int32_t, char* description) {
    usb_reader_stop();  // an adapter left open by an earlier open is released first
    if (description != nullptr) {
        std::snprintf(description, cable::DESCRIPTION_SIZE, USB_DESCRIPTION_FORMAT,
                      static_cast<int>(index));
    }
    usb_set_not_ready(true);
    platform::console_printf("Setup EZ-USB Firmware\n");
    if (ezusb_boot(index, resources::ezusb_firmware(), ADAPTER_MANUFACTURER, ADAPTER_PRODUCT) !=
        0) {
        platform::console_printf("\nCan't found EZ-USB\n");
        return 2;
    }
    platform::console_printf("\n");
    usb_set_not_ready(false);
    byte_mode_tms = TMS_UNKNOWN;
    shift_failed = false;
    return 0;
}

void usb_cable_close() {
    usb_reader_stop();
}

std::int32_t usb_cable_probe() {
    usb_staging[0] = MODE_TMS_HIGH;
    if (usb_command_exchange(usb_staging.data(), 1) != 0) {
        byte_mode_tms = TMS_UNKNOWN;
        return 0;
    }
    // The probe byte leaves TMS high at the adapter; byte mode must know it.
    byte_mode_tms = 1;
    return (usb_staging[0] & ANSWER_POWER) != 0 ? 1 : 0;
}

std::int32_t usb_cable_shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                             std::int32_t tms_during, std::int32_t tms_last) {
    if (count == 0) {
        return 0;
    }
    const std::int32_t during = tms_during != 0 ? 1 : 0;
    const std::int32_t last = tms_last != 0 ? 1 : 0;
    // A last bit at another TMS level cannot go in byte mode: keep it for the per-clock tail.
    const bool hold_last = during != last;
    std::uint32_t n = hold_last ? count - 1 : count;
    bool ok = true;

    if (n >= 8) {
        ok = set_byte_mode_tms(during);
        while (n >= 8) {
            const std::uint32_t bytes = std::min(n / 8, BYTE_MODE_MAX);
            if (tdi != nullptr) {
                // Byte mode shifts each byte out least significant bit first; the contract's
                // TDI is most significant bit first.
                std::transform(tdi, tdi + bytes, usb_staging.begin(), platform::reverse_bits8);
                tdi += bytes;
            } else {
                std::fill_n(usb_staging.begin(), bytes, std::uint8_t{0});
            }
            std::int32_t result = 0;
            if (tdo != nullptr) {
                result = usb_pipe_exchange(usb_staging.data(), tdo, bytes);
                tdo += bytes;
            } else {
                result = usb_pipe_send(usb_staging.data(), bytes);
            }
            ok = ok && result == 0;
            n -= 8 * bytes;
        }
    }

    if (hold_last) {
        ++n;
    }
    if (n > 0) {
        // Only now is the TDI byte after the byte-mode part known to hold bits of this shift.
        std::uint8_t bits = tdi != nullptr ? *tdi : 0;
        for (std::uint32_t j = 0; j < n; ++j) {
            const std::int32_t tms = j == n - 1 ? last : during;
            usb_staging[j] = static_cast<std::uint8_t>((tms != 0 ? CLOCK_TMS : 0) |
                                                       ((bits & 0x80) != 0 ? CLOCK_TDI : 0));
            bits = static_cast<std::uint8_t>(bits << 1);
        }
        const bool answered = usb_command_exchange(usb_staging.data(), n) == 0;
        if (answered && tdo != nullptr) {
            std::uint8_t levels = 0;
            for (std::uint32_t j = 0; j < n; ++j) {
                if ((usb_staging[j] & ANSWER_TDO) != 0) {
                    levels = static_cast<std::uint8_t>(levels | (1U << j));
                }
            }
            *tdo = levels;
        }
        ok = ok && answered;
    }
    byte_mode_tms = ok ? last : TMS_UNKNOWN;
    shift_failed = shift_failed || !ok;
    return 1;
}

bool usb_cable_take_failure() {
    return std::exchange(shift_failed, false);
}

cable::Cable& usb_cable() {
    static cable::FunctionCable<usb_cable_open, usb_cable_close, usb_cable_probe, usb_cable_shift,
                                usb_cable_take_failure>
        cable;
    return cable;
}

}  // namespace oscset::usb

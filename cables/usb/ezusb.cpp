#include "cables/usb/ezusb.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "platform/console.hpp"
#include "platform/time.hpp"

namespace oscset::usb {
namespace {

constexpr std::uint8_t CPU_HALT = 1;
constexpr std::uint8_t CPU_RUN = 0;
constexpr std::uint8_t MANUFACTURER_STRING = 1;
constexpr std::uint8_t PRODUCT_STRING = 2;
constexpr std::uint32_t ABSENT_SLEEP_MS = 50;      // between opens while the adapter is away
constexpr std::uint32_t RECONNECT_SLEEP_MS = 500;  // after the first open following a boot
constexpr std::uint32_t RESTART_SLEEP_MS = 1500;   // the firmware's disconnect time
// Answers an interrupted exchange can leave: a whole chunk and what the firmware still
// makes of the bytes it had taken. Polled in reads of several packets each.
constexpr std::uint32_t DRAIN_READ_BYTES = 4096;
constexpr int DRAIN_READS = 2 * USB_CHUNK / DRAIN_READ_BYTES;

bool cpu_control(UsbDevice& control, std::uint8_t data) {
    return control.vendor_request(EZUSB_LOAD_REQUEST, EZUSB_CPUCS, 0, data);
}

bool identifies(UsbDevice& control, const char* manufacturer, const char* product) {
    std::array<char, EZUSB_STRING_TEXT_SIZE> text{};
    return ezusb_get_string(control, MANUFACTURER_STRING, text) == 0 &&
           std::strcmp(text.data(), manufacturer) == 0 &&
           ezusb_get_string(control, PRODUCT_STRING, text) == 0 &&
           std::strcmp(text.data(), product) == 0;
}

// Halt, download, run, stopping at the first refusal (which has printed its message).
bool load_firmware(UsbDevice& control, std::span<const std::uint8_t> image) {
    return ezusb_cpu_halt(control) == 0 && ezusb_download(control, image) == 0 &&
           ezusb_cpu_run(control) == 0;
}

// A run that ended in the middle of an exchange leaves its answers in the adapter; the
// reader's first read would meet them (as an overflow, or as the wrong answer).
void drain_answers(UsbDevice& read) {
    std::array<std::uint8_t, DRAIN_READ_BYTES> dropped{};
    for (int i = 0; i < DRAIN_READS; ++i) {
        std::uint32_t got = 0;
        if (!read.poll_read(PIPE_ANSWER, dropped.data(), DRAIN_READ_BYTES, got) || got == 0) {
            return;
        }
    }
}

// Opens the adapter being booted: by its index until a handle has named where it is
// plugged in, then only there. While a booted adapter renumerates, its index may belong to
// another adapter.
std::int32_t open_booted(int index, std::string& location, UsbDeviceSlot& slot) {
    UsbBackend* backend = usb_backend();
    if (location.empty() || backend == nullptr) {
        if (ezusb_open_device(index, slot) == 0) {
            location = slot->location();
            return 0;
        }
        return -1;
    }
    slot = backend->open_at(location);
    return slot != nullptr ? 0 : -1;
}

void wait_absent() {
    platform::sleep_ms(platform::Wait::ADAPTER_ABSENT, ABSENT_SLEEP_MS);
    platform::console_printf(".");
}

}  // namespace

std::int32_t ezusb_open_device(int index, UsbDeviceSlot& slot) {
    UsbBackend* backend = usb_backend();
    slot = backend != nullptr ? backend->open(index) : nullptr;
    return slot != nullptr ? 0 : -1;
}

std::int32_t ezusb_close_device(UsbDeviceSlot& slot) {
    slot.reset();
    return 0;
}

std::int32_t ezusb_get_string(UsbDevice& control, std::uint8_t index, std::span<char> text) {
    if (text.empty()) {
        return -1;
    }
    text[0] = '\0';
    std::array<std::uint8_t, STRING_ANSWER_SIZE> answer{};
    if (!control.get_string(index, EZUSB_STRING_LANGUAGE, answer)) {
        return -1;
    }
    // The length byte comes from the device: never let it take the conversion beyond the
    // answer or the text buffer.
    const int declared = answer[0] / 2 - 1;
    const int fits_answer = static_cast<int>((answer.size() - 2) / 2);
    const int fits_text = static_cast<int>(text.size()) - 1;
    const int count = std::max(0, std::min({declared, fits_answer, fits_text}));
    for (int k = 0; k < count; ++k) {
        text[static_cast<std::size_t>(k)] =
            static_cast<char>(answer[2 + 2 * static_cast<std::size_t>(k)]);
    }
    text[static_cast<std::size_t>(count)] = '\0';
    return 0;
}

std::int32_t ezusb_cpu_halt(UsbDevice& control) {
    if (!cpu_control(control, CPU_HALT)) {
        platform::console_printf("i8051 halt err.\n");
        return -1;
    }
    return 0;
}

std::int32_t ezusb_cpu_run(UsbDevice& control) {
    if (!cpu_control(control, CPU_RUN)) {
        platform::console_printf("i8051 run err.\n");
        return -1;
    }
    return 0;
}

std::int32_t ezusb_download(UsbDevice& control, std::span<const std::uint8_t> image) {
    if (!control.download(image)) {
        platform::console_printf("usb dwnload err.\n");
        return -1;
    }
    return 0;
}

std::int32_t ezusb_boot(int index, std::span<const std::uint8_t> image, const char* manufacturer,
                        const char* product) {
    UsbDeviceSlot& control = usb_control_handle();
    UsbDeviceSlot& read = usb_read_handle();
    bool reconnect_pending = false;
    std::string location;
    for (int attempt = 0; attempt < EZUSB_BOOT_TRIES; ++attempt) {
        if (open_booted(index, location, control) != 0) {
            if (attempt == 0) {
                return -1;  // no adapter at all
            }
            wait_absent();
            continue;
        }
        if (reconnect_pending) {
            // The first open after a boot may still see the adapter mid-enumeration.
            platform::console_printf("-Reconnect");
            ezusb_close_device(control);
            platform::sleep_ms(platform::Wait::ADAPTER_RECONNECT, RECONNECT_SLEEP_MS);
            reconnect_pending = false;
            continue;
        }
        if (identifies(*control, manufacturer, product)) {
            // Without its read handle the adapter is of no use; treat it as not there yet.
            if (open_booted(index, location, read) != 0) {
                ezusb_close_device(control);
                wait_absent();
                continue;
            }
            drain_answers(*read);
            if (usb_reader_start() != 0) {
                ezusb_close_device(read);
                ezusb_close_device(control);
                return -1;
            }
            return 0;
        }
        platform::console_printf("-Boot");
        if (!load_firmware(*control, image)) {
            ezusb_close_device(control);
            return -1;
        }
        ezusb_close_device(control);
        reconnect_pending = true;
        platform::sleep_ms(platform::Wait::ADAPTER_RESTART, RESTART_SLEEP_MS);
        platform::console_printf("-Wait");
        platform::console_printf(".");
    }
    return -1;
}

}  // namespace oscset::usb

#include "tests/firmware/firmware_support.hpp"

#include <thread>

#include "resources/ezusb_firmware.hpp"

namespace oscset::firmware_test {

bool RecordingPort::clock(bool tdi_level, bool tms_level) {
    drive(false, tdi_level, tms_level);
    const bool out = tdo_;
    drive(true, tdi_level, tms_level);
    return out;
}

void RecordingPort::drive(bool tck_level, bool tdi_level, bool tms_level) {
    ++drives;
    if (tck && !tck_level)
        tdo_ = tdo_of(falls_++);
    if (!tck && tck_level)
        clocks.push_back({tdi_level, tms_level});
    tck = tck_level;
    tdi = tdi_level;
    tms = tms_level;
}

std::unique_ptr<usb::UsbDevice> boot(sim::EmulatedAdapter& adapter, int* absent_opens) {
    std::unique_ptr<usb::UsbDevice> device = adapter.open(0);
    if (!device || !device->vendor_request(0xA0, 0x7F92, 0, 1) ||
        !device->download(resources::ezusb_firmware()) ||
        !device->vendor_request(0xA0, 0x7F92, 0, 0)) {
        return nullptr;
    }
    device.reset();
    int absent = 0;
    for (int attempt = 0; attempt < 200 && !device; ++attempt) {
        device = adapter.open(0);
        if (!device)
            ++absent;
    }
    if (absent_opens)
        *absent_opens = absent;
    return device;
}

std::vector<std::uint8_t> exchange(usb::UsbDevice& device, std::uint32_t pipe,
                                   std::span<const std::uint8_t> bytes, bool& ok) {
    std::vector<std::uint8_t> answers(bytes.size());
    bool read_ok = true;
    std::thread reader([&] {
        std::uint32_t at = 0;
        while (read_ok && at < answers.size()) {
            const std::uint32_t chunk = std::min<std::uint32_t>(0x8000, answers.size() - at);
            std::uint32_t got = 0;
            read_ok = device.bulk_read(PIPE_ANSWERS, answers.data() + at, chunk, got);
            at += got;
        }
        answers.resize(at);
    });
    const bool write_ok = send(device, pipe, bytes);
    reader.join();
    ok = write_ok && read_ok;
    return answers;
}

bool send(usb::UsbDevice& device, std::uint32_t pipe, std::span<const std::uint8_t> bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::uint32_t chunk =
            static_cast<std::uint32_t>(std::min<std::size_t>(0x8000, bytes.size() - at));
        std::uint32_t done = 0;
        if (!device.bulk_write(pipe, bytes.data() + at, chunk, done))
            return false;
        at += done;
    }
    return true;
}

}  // namespace oscset::firmware_test

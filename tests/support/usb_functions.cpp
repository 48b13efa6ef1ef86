// The simulated adapters as devices on the bus: the emulated EZ-USB answers control
// transfers itself; the simpler simulated adapter, which knows only the driver's calls, has
// its requests taken apart here as the chip's core would take them.

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>

#include "platform/time.hpp"
#include "sim/mcs51/emulated_adapter.hpp"
#include "sim/usb/sim_adapter.hpp"
#include "tests/support/usb_functions.hpp"

namespace oscset::testing {
namespace {

constexpr std::uint8_t LOAD_REQUEST = 0xA0;
constexpr std::uint8_t GET_DESCRIPTOR = 6;
constexpr std::uint8_t VENDOR_OUT = 0x40;
constexpr std::uint8_t VENDOR_IN = 0xC0;
constexpr std::uint8_t STANDARD_IN = 0x80;
constexpr std::uint8_t DESCRIPTOR_DEVICE = 1;
constexpr std::uint8_t DESCRIPTOR_CONFIGURATION = 2;
constexpr std::uint8_t DESCRIPTOR_STRING = 3;
constexpr std::uint8_t DESCRIPTOR_INTERFACE = 4;
constexpr std::uint8_t DESCRIPTOR_ENDPOINT = 5;
constexpr std::size_t DEVICE_DESCRIPTOR_SIZE = 18;
constexpr std::uint8_t CPU_RUN = 0;
constexpr std::size_t INTERNAL_RAM_END = 0x1B40;
constexpr std::uint32_t CYCLES_PER_MS = sim::EmulatedAdapter::CYCLES_PER_SECOND / 1000;
// Bus time a hub step lets pass at most: a host's long sleep need not be emulated in full.
constexpr std::uint32_t STEP_LIMIT_MS = 50;

std::uint16_t word(std::span<const std::uint8_t> d, std::size_t at) {
    return static_cast<std::uint16_t>(d[at] | (d[at + 1] << 8));
}

sim::mcs51::SetupPacket setup_packet(std::span<const std::uint8_t, 8> s) {
    return {s[0], s[1], word(s, 2), word(s, 4), word(s, 6)};
}

bool starts_cpu(const sim::mcs51::SetupPacket& s, std::span<const std::uint8_t> data) {
    return s.request_type == VENDOR_OUT && s.request == LOAD_REQUEST &&
           s.value == sim::mcs51::reg::CPUCS && data.size() == 1 && (data[0] & 1) == CPU_RUN;
}

// Bulk and interrupt transfers through a driver handle, one call per URB as the adapters'
// fault counts expect: the bytes moved, -EAGAIN for a read that waited and found nothing
// (the device NAKs; the host asks again while the URB is in flight), or `failure` for a
// refusal.
int through(usb::UsbDevice& handle, std::uint32_t pipe, bool in, std::span<std::uint8_t> data,
            int failure, bool poll = false) {
    std::uint32_t moved = 0;
    const auto length = static_cast<std::uint32_t>(data.size());
    if (!in) {
        return handle.bulk_write(pipe, data.data(), length, moved) || moved > 0
                   ? static_cast<int>(moved)
                   : failure;
    }
    const auto start = std::chrono::steady_clock::now();
    const bool read = poll ? handle.poll_read(pipe, data.data(), length, moved)
                           : handle.bulk_read(pipe, data.data(), length, moved);
    if (read || moved > 0) {
        return static_cast<int>(moved);
    }
    const bool waited =
        std::chrono::steady_clock::now() - start >= platform::wait_limit(usb::POLL_READ_MS);
    return waited ? -EAGAIN : failure;
}

class EmulatedFunction final : public UsbFunction {
  public:
    EmulatedFunction(sim::EmulatedAdapter& adapter, usb::UsbBackend& handles)
        : adapter_(adapter), handles_(handles) {}

    std::vector<std::uint8_t> descriptors() override {
        std::shared_ptr<usb::UsbDevice> handle = handles_.open(0);  // the host enumerates
        if (handle == nullptr) {
            return {};
        }
        std::array<std::uint8_t, 255> buffer{};
        std::size_t got = 0;
        if (!adapter_.control_in({STANDARD_IN, GET_DESCRIPTOR, DESCRIPTOR_DEVICE << 8, 0, 18},
                                 buffer, got) ||
            got != 18) {
            return {};
        }
        std::vector<std::uint8_t> all(buffer.begin(), buffer.begin() + 18);
        if (!adapter_.control_in({STANDARD_IN, GET_DESCRIPTOR, DESCRIPTOR_CONFIGURATION << 8, 0,
                                  static_cast<std::uint16_t>(buffer.size())},
                                 buffer, got) ||
            got < 4 || word(buffer, 2) != got) {
            return {};
        }
        all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
        std::lock_guard lock(mutex_);
        handle_ = std::move(handle);
        return all;
    }

    std::uint32_t connection() override { return adapter_.connection(); }

    void pass_time(std::uint32_t ms) override {
        if (adapter_.connection() == 0) {
            adapter_.open(0);  // lets the adapter's absent step pass
        } else if (booting_.load()) {
            const std::uint32_t before = adapter_.connection();
            adapter_.advance(std::uint64_t{std::min(ms, STEP_LIMIT_MS)} * CYCLES_PER_MS);
            booting_.store(adapter_.connection() == before);
        }
    }

    int control(std::span<const std::uint8_t, 8> setup, std::span<std::uint8_t> data) override {
        const sim::mcs51::SetupPacket s = setup_packet(setup);
        const std::uint32_t connection = adapter_.connection();
        std::size_t got = 0;
        const bool ok = (s.request_type & STANDARD_IN) != 0 ? adapter_.control_in(s, data, got)
                                                            : adapter_.control_out(s, data);
        if (!ok) {
            return adapter_.connection() == connection && connection != 0 ? -EPIPE : -ESHUTDOWN;
        }
        if (starts_cpu(s, data)) {
            booting_.store(true);
        }
        return static_cast<int>((s.request_type & STANDARD_IN) != 0 ? got : data.size());
    }

    // A transfer the adapter could not finish in its own time was NAKed: the host asks again.
    int bulk(std::uint32_t pipe, bool in, std::span<std::uint8_t> data, bool poll) override {
        std::shared_ptr<usb::UsbDevice> handle;
        {
            std::lock_guard lock(mutex_);
            handle = handle_;
        }
        const std::uint32_t connection = adapter_.connection();
        if (handle == nullptr || connection == 0) {
            return -ESHUTDOWN;
        }
        // The chip's own idle waits are emulated time: a failure with the adapter still there
        // is a NAK.
        const int result = through(*handle, pipe, in, data, -EAGAIN, poll);
        return result < 0 && adapter_.connection() != connection ? -ESHUTDOWN : result;
    }

  private:
    sim::EmulatedAdapter& adapter_;
    usb::UsbBackend& handles_;
    std::atomic<bool> booting_{false};
    std::mutex mutex_;
    std::shared_ptr<usb::UsbDevice> handle_;  // the bulk pipes of the current connection
};

// The firmware's configuration: interface 0 with the eight endpoints in pipe order.
constexpr std::array<std::uint8_t, 9 + 9 + 8 * 7> FIRMWARE_CONFIGURATION{
    9, 2,  74,   0, 1,    1,    0,    0x80, 50,  // one interface, bus powered, 100 mA
    9, 4,  0,    0, 8,    0xFF, 0,    0,    0,   // vendor class
    7, 5,  0x01, 2, 64,   0,    0,    7,    5,  0x02, 2, 64,   0, 0,    7, 5,  0x04, 2, 64,
    0, 0,  7,    5, 0x06, 2,    64,   0,    0,  7,    5, 0x81, 3, 64,   0, 1,  7,    5, 0x82,
    2, 64, 0,    0, 7,    5,    0x84, 2,    64, 0,    0, 7,    5, 0x86, 2, 64, 0,    0,
};

class SimFunction final : public UsbFunction {
  public:
    SimFunction(sim::SimAdapter& adapter, usb::UsbBackend& handles)
        : adapter_(adapter), handles_(handles) {
        handle_ = handles_.open(0);
        if (handle_ != nullptr) {
            connection_ = ++connections_;
        }
    }

    std::vector<std::uint8_t> descriptors() override {
        std::vector<std::uint8_t> all =
            sim::mcs51::EzUsbChip::default_descriptor(DESCRIPTOR_DEVICE, 0);
        if (adapter_.firmware_running()) {
            all.insert(all.end(), FIRMWARE_CONFIGURATION.begin(), FIRMWARE_CONFIGURATION.end());
        } else {
            const std::vector<std::uint8_t> blank =
                sim::mcs51::EzUsbChip::default_descriptor(DESCRIPTOR_CONFIGURATION, 0);
            all.insert(all.end(), blank.begin(), blank.end());
        }
        return all;
    }

    std::uint32_t connection() override {
        std::lock_guard lock(mutex_);
        return connection_;
    }

    // While it re-enumerates, the adapter misses one look of the hub per step.
    void pass_time(std::uint32_t) override {
        std::lock_guard lock(mutex_);
        if (connection_ == 0) {
            handle_ = handles_.open(0);
            connection_ = handle_ != nullptr ? ++connections_ : 0;
        }
    }

    int control(std::span<const std::uint8_t, 8> setup, std::span<std::uint8_t> data) override {
        const sim::mcs51::SetupPacket s = setup_packet(setup);
        std::lock_guard lock(mutex_);
        if (handle_ == nullptr || connection_ == 0) {
            return -ESHUTDOWN;
        }
        if (s.request_type == VENDOR_OUT && s.request == LOAD_REQUEST && data.size() == 1 &&
            s.value == sim::mcs51::reg::CPUCS) {
            return cpu_control(s, data[0]);
        }
        if ((s.request_type == VENDOR_OUT || s.request_type == VENDOR_IN) &&
            s.request == LOAD_REQUEST) {
            if (s.value + data.size() > ram_.size()) {
                return -EPIPE;
            }
            if (s.request_type == VENDOR_OUT) {
                std::copy(data.begin(), data.end(), ram_.begin() + s.value);
                loaded_ = std::max(loaded_, s.value + data.size());
                pending_ = true;
                return static_cast<int>(data.size());
            }
            // The driver's download is whole: a read-back ends it, and sees its refusal.
            if (pending_ && !commit()) {
                return -EPIPE;
            }
            std::copy_n(ram_.begin() + s.value, data.size(), data.begin());
            return static_cast<int>(data.size());
        }
        if (s.request_type == STANDARD_IN && s.request == GET_DESCRIPTOR &&
            (s.value >> 8) == DESCRIPTOR_STRING) {
            std::array<std::uint8_t, usb::STRING_ANSWER_SIZE> answer{};
            if (!handle_->get_string(static_cast<std::uint8_t>(s.value), s.index, answer)) {
                return -EPIPE;
            }
            const std::size_t n = std::min<std::size_t>({answer[0], data.size(), answer.size()});
            std::copy_n(answer.begin(), n, data.begin());
            return static_cast<int>(n);
        }
        return -EPIPE;
    }

    int bulk(std::uint32_t pipe, bool in, std::span<std::uint8_t> data, bool poll) override {
        std::shared_ptr<usb::UsbDevice> handle;
        {
            std::lock_guard lock(mutex_);
            handle = handle_;
        }
        if (handle == nullptr) {
            return -ESHUTDOWN;
        }
        const int result = through(*handle, pipe, in, data, -EPROTO, poll);
        if (result == -EPROTO && handles_.open(0) == nullptr) {
            std::lock_guard lock(mutex_);
            connection_ = 0;  // pulled off the bus
            handle_.reset();
            return -ESHUTDOWN;
        }
        return result;
    }

    // Called with mutex_ held.
    int cpu_control(const sim::mcs51::SetupPacket& s, std::uint8_t value) {
        const bool run = (value & 1) == CPU_RUN;
        if (run && pending_) {
            commit();
        }
        if (!handle_->vendor_request(s.request, s.value, s.index, value)) {
            return -EPIPE;
        }
        if (!run) {
            loaded_ = 0;
            pending_ = false;
        } else if (adapter_.firmware_running()) {
            connection_ = 0;  // the firmware renumerates
            handle_.reset();
        }
        return 1;
    }

    bool commit() {
        pending_ = false;
        return handle_->download(std::span<const std::uint8_t>(ram_.data(), loaded_));
    }

    sim::SimAdapter& adapter_;
    usb::UsbBackend& handles_;
    std::mutex mutex_;
    std::uint32_t connection_ = 0;
    std::uint32_t connections_ = 0;
    std::shared_ptr<usb::UsbDevice> handle_;  // the hub's, for the current connection
    std::array<std::uint8_t, INTERNAL_RAM_END> ram_{};
    std::size_t loaded_ = 0;
    bool pending_ = false;
};

}  // namespace

std::unique_ptr<UsbFunction> emulated_adapter_function(sim::EmulatedAdapter& adapter,
                                                       usb::UsbBackend& handles) {
    return std::make_unique<EmulatedFunction>(adapter, handles);
}

std::unique_ptr<UsbFunction> sim_adapter_function(sim::SimAdapter& adapter,
                                                  usb::UsbBackend& handles) {
    return std::make_unique<SimFunction>(adapter, handles);
}

}  // namespace oscset::testing

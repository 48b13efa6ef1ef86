#include "sim/app/sim_hardware.hpp"

#include <algorithm>
#include <string>

#include "cables/cable.hpp"
#include "cables/parallel/port_io.hpp"
#include "cables/usb/usb_cable.hpp"
#include "cables/usb/usb_device.hpp"
#include "cables/usb/usb_pipes.hpp"
#include "jtag/background.hpp"
#include "jtag/chain.hpp"
#include "jtag/tap.hpp"
#include "platform/console.hpp"

namespace oscset::sim {
namespace {

// The emulated adapter as a run interrupted in the middle of an exchange leaves it: running
// the firmware, with the answers to a two-byte command unread on its IN endpoint.
void leave_stale_answer(EmulatedAdapter& adapter) {
    usb::set_usb_backend(&adapter);
    platform::ConsoleCapture quiet;
    if (usb::usb_cable_open(0, 0, nullptr) == 0) {
        const std::uint8_t probes[2] = {usb::MODE_TMS_HIGH, usb::MODE_TMS_HIGH};
        usb::usb_bulk_write(usb::PIPE_COMMAND, probes, sizeof probes);
    }
    usb::usb_cable_close();
}

// The emulated chip's time on the wire's axis.
std::uint64_t nanoseconds(std::uint64_t cycles) {
    constexpr std::uint64_t NS_PER_SECOND = 1'000'000'000;
    constexpr std::uint64_t RATE = EmulatedAdapter::CYCLES_PER_SECOND;
    return cycles / RATE * NS_PER_SECOND + cycles % RATE * NS_PER_SECOND / RATE;
}

}  // namespace

void reset_program_state() {
    cable::cable_close();
    jtag::background_reset();
    jtag::chain_forget();
    jtag::set_current_user_type(jtag::USER_TYPE_UNKNOWN);
}

SimHardware::SimHardware(const SimDescription& description, SimHardwareOptions options) {
    reset_program_state();
    const AdapterKind kind = description.direct_cable ? AdapterKind::ABSENT : description.adapter;
    for (std::uint32_t n = 0; n < description.adapters; ++n) {
        Slot& slot = slots_.emplace_back();
        BoardConfig board = description.board;
        if (description.adapters > 1) {
            board.log_prefix = "board " + std::to_string(n) + ": ";
        }
        slot.board = std::make_unique<Board>(board);
        if (!options.vcd_file.empty()) {
            JtagProbe::Clock clock;
            if (kind == AdapterKind::EMULATED) {
                clock = [this, n] {
                    return nanoseconds(slots_[n].emulated->cycles_in_port_call());
                };
            }
            const std::string file =
                n == 0 ? options.vcd_file : options.vcd_file + "." + std::to_string(n);
            slot.probe = std::make_unique<JtagProbe>(*slot.board, file.c_str(), std::move(clock));
        }
        UnpluggableAdapter* adapter = nullptr;
        if (kind == AdapterKind::EMULATED) {
            slot.emulated = std::make_unique<EmulatedAdapter>(port(n));
            if (description.faults.stale) {
                leave_stale_answer(*slot.emulated);
            }
            adapter = slot.emulated.get();
        } else if (kind != AdapterKind::ABSENT) {
            SimAdapterConfig config;
            config.mode =
                kind == AdapterKind::READY ? SimAdapterMode::RUNNING : SimAdapterMode::FRESH;
            if (options.adapter_fault != SimAdapterMode::FRESH) {
                config.mode = options.adapter_fault;  // a test's own fault wins
            }
            config.offline_opens =
                static_cast<int>(description.reconnect.value_or(config.offline_opens));
            config.stale_answer = description.faults.stale;
            slot.adapter = std::make_unique<SimAdapter>(port(n), config);
            adapter = slot.adapter.get();
        }
        if (adapter != nullptr) {
            slot.usb = std::make_unique<FaultyUsb>(*adapter, description.faults);
            bus_.plug(*slot.usb);
        }
    }
    if (!options.pcap_file.empty()) {
        UsbmonCapture::Clock clock;
        if (kind == AdapterKind::EMULATED) {
            // The chips keep their own times: the latest of them.
            clock = [this] {
                std::uint64_t cycles = 0;
                for (const Slot& slot : slots_) {
                    cycles = std::max(cycles, slot.emulated->cycles());
                }
                return nanoseconds(cycles);
            };
        }
        capture_ =
            std::make_unique<UsbmonCapture>(bus_, options.pcap_file.c_str(), std::move(clock));
    }
    usb::set_usb_backend(&host_usb());
    if (options.printer_port) {
        printer_port_ = std::make_unique<SimPrinterPort>(port());
    }
    parallel::set_port_io(printer_port_.get());
    if (description.direct_cable) {
        direct_ = std::make_unique<DirectCable>(port());
        cable::cable_set_driver(cable::USB_CABLE_NAME, direct_.get());
    }
}

usb::UsbBackend& SimHardware::host_usb() {
    if (capture_) {
        return *capture_;
    }
    return bus_;
}

JtagPort& SimHardware::port(std::size_t n) {
    Slot& slot = slots_.at(n);
    if (slot.probe) {
        return *slot.probe;
    }
    return *slot.board;
}

SimHardware::~SimHardware() {
    reset_program_state();
    if (direct_) {
        cable::cable_set_driver(cable::USB_CABLE_NAME, nullptr);
    }
    usb::set_usb_backend(nullptr);
    parallel::set_port_io(nullptr);
}

}  // namespace oscset::sim

#include "sim/app/sim_hardware.hpp"

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

// The bus with no adapter plugged in.
class EmptyBus final : public usb::UsbBackend {
  public:
    std::unique_ptr<usb::UsbDevice> open(int) override { return nullptr; }
};
EmptyBus empty_bus;

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

SimHardware::SimHardware(const SimDescription& description, SimHardwareOptions options)
    : board_(std::make_unique<Board>(description.board)) {
    reset_program_state();
    const AdapterKind kind = description.direct_cable ? AdapterKind::ABSENT : description.adapter;
    if (!options.vcd_file.empty()) {
        JtagProbe::Clock clock;
        if (kind == AdapterKind::EMULATED) {
            clock = [this] { return nanoseconds(emulated_->cycles_in_port_call()); };
        }
        probe_ = std::make_unique<JtagProbe>(*board_, options.vcd_file.c_str(), std::move(clock));
    }
    UnpluggableAdapter* adapter = nullptr;
    if (kind == AdapterKind::EMULATED) {
        emulated_ = std::make_unique<EmulatedAdapter>(port());
        if (description.faults.stale) {
            leave_stale_answer(*emulated_);
        }
        adapter = emulated_.get();
    } else if (kind != AdapterKind::ABSENT) {
        SimAdapterConfig config = options.adapter;
        config.mode = kind == AdapterKind::READY ? SimAdapterMode::RUNNING : SimAdapterMode::FRESH;
        if (options.adapter.mode != SimAdapterMode::FRESH) {
            config.mode = options.adapter.mode;  // a test's own fault wins
        }
        config.stale_answer = config.stale_answer || description.faults.stale;
        adapter_ = std::make_unique<SimAdapter>(port(), config);
        adapter = adapter_.get();
    }
    if (adapter != nullptr) {
        usb_ = std::make_unique<FaultyUsb>(*adapter, description.faults);
    }
    if (!options.pcap_file.empty()) {
        UsbmonCapture::Clock clock;
        if (emulated_) {
            clock = [this] { return nanoseconds(emulated_->cycles()); };
        }
        capture_ =
            std::make_unique<UsbmonCapture>(usb_ ? static_cast<usb::UsbBackend&>(*usb_) : empty_bus,
                                            options.pcap_file.c_str(), std::move(clock));
    }
    usb::set_usb_backend(host_usb());
    if (options.printer_port) {
        printer_port_ = std::make_unique<SimPrinterPort>(port());
    }
    parallel::set_port_io(printer_port_.get());
    if (description.direct_cable) {
        direct_ = std::make_unique<DirectCable>(port());
        cable::cable_set_driver(cable::USB_CABLE_NAME, direct_.get());
    }
}

usb::UsbBackend* SimHardware::host_usb() {
    if (capture_) {
        return capture_.get();
    }
    return usb_.get();
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

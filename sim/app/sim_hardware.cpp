#include "sim/app/sim_hardware.hpp"

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

}  // namespace

void reset_program_state() {
    cable::cable_close();
    jtag::background_reset();
    jtag::chain_forget();
    jtag::set_current_user_type(jtag::USER_TYPE_UNKNOWN);
}

SimHardware::SimHardware(const SimDescription& description, SimHardwareOptions options) {
    reset_program_state();
    for (std::uint32_t n = 0; n < description.adapters; ++n) {
        Slot& slot = slots_.emplace_back();
        BoardConfig board = description.board;
        if (description.adapters > 1) {
            board.log_prefix = "board " + std::to_string(n) + ": ";
        }
        slot.board = std::make_unique<Board>(board);
        UnpluggableAdapter* adapter = nullptr;
        if (description.adapter == AdapterKind::EMULATED) {
            slot.emulated = std::make_unique<EmulatedAdapter>(*slot.board);
            if (description.faults.stale) {
                leave_stale_answer(*slot.emulated);
            }
            adapter = slot.emulated.get();
        } else if (description.adapter != AdapterKind::ABSENT) {
            SimAdapterConfig config;
            config.mode = description.adapter == AdapterKind::READY ? SimAdapterMode::RUNNING
                                                                    : SimAdapterMode::FRESH;
            if (options.adapter_fault != SimAdapterMode::FRESH) {
                config.mode = options.adapter_fault;  // a test's own fault wins
            }
            config.offline_opens =
                static_cast<int>(description.reconnect.value_or(config.offline_opens));
            config.stale_answer = description.faults.stale;
            slot.adapter = std::make_unique<SimAdapter>(*slot.board, config);
            adapter = slot.adapter.get();
        }
        if (adapter != nullptr) {
            slot.usb = std::make_unique<FaultyUsb>(*adapter, description.faults);
            bus_.plug(*slot.usb);
        }
    }
    usb::set_usb_backend(&bus_);
    if (options.printer_port) {
        printer_port_ = std::make_unique<SimPrinterPort>(board());
    }
    parallel::set_port_io(printer_port_.get());
}

SimHardware::~SimHardware() {
    reset_program_state();
    usb::set_usb_backend(nullptr);
    parallel::set_port_io(nullptr);
}

}  // namespace oscset::sim

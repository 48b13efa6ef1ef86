#include "sim/app/sim_hardware.hpp"

#include "cables/cable.hpp"
#include "cables/parallel/port_io.hpp"
#include "cables/usb/usb_device.hpp"
#include "jtag/background.hpp"
#include "jtag/chain.hpp"
#include "jtag/tap.hpp"

namespace oscset::sim {

void reset_program_state() {
    cable::cable_close();
    jtag::background_reset();
    jtag::chain_forget();
    jtag::set_current_user_type(jtag::USER_TYPE_UNKNOWN);
}

SimHardware::SimHardware(const SimDescription& description, SimHardwareOptions options)
    : board_(std::make_unique<Board>(description.board)) {
    reset_program_state();
    if (description.adapter == AdapterKind::emulated) {
        emulated_ = std::make_unique<EmulatedAdapter>(*board_);
        usb::set_usb_backend(emulated_.get());
    } else if (description.adapter != AdapterKind::absent) {
        SimAdapterConfig config = options.adapter;
        config.mode = description.adapter == AdapterKind::ready ? SimAdapterMode::running
                                                                : SimAdapterMode::fresh;
        if (options.adapter.mode != SimAdapterMode::fresh) {
            config.mode = options.adapter.mode;  // a test's own fault wins
        }
        adapter_ = std::make_unique<SimAdapter>(*board_, config);
        usb::set_usb_backend(adapter_.get());
    } else {
        usb::set_usb_backend(nullptr);
    }
    if (options.printer_port) {
        printer_port_ = std::make_unique<SimPrinterPort>(*board_);
    }
    parallel::set_port_io(printer_port_.get());
}

SimHardware::~SimHardware() {
    reset_program_state();
    usb::set_usb_backend(nullptr);
    parallel::set_port_io(nullptr);
}

}  // namespace oscset::sim

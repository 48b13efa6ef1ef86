#pragma once
// The simulated hardware put behind the program: the board, the USB adapter on its bus and,
// when asked for, the parallel cable on a printer port at 0x378. While alive it is what the
// USB and printer-port backends reach; the program's layers never know the difference.

#include <memory>

#include "sim/app/board_description.hpp"
#include "sim/board/board.hpp"
#include "sim/mcs51/emulated_adapter.hpp"
#include "sim/parallel/sim_printer_port.hpp"
#include "sim/usb/sim_adapter.hpp"

namespace oscset::sim {

struct SimHardwareOptions {
    bool printer_port = false;  // a printer port at 0x378 with the parallel cable attached
    SimAdapterConfig adapter;   // its mode follows the description's adapter kind
};

class SimHardware {
  public:
    explicit SimHardware(const SimDescription& description, SimHardwareOptions options = {});
    // Closes the cable and takes the simulated hardware away again.
    ~SimHardware();
    SimHardware(const SimHardware&) = delete;
    SimHardware& operator=(const SimHardware&) = delete;

    Board& board() { return *board_; }
    SimAdapter* adapter() { return adapter_.get(); }  // null when absent or emulated
    EmulatedAdapter* emulated_adapter() { return emulated_.get(); }
    // What the host reaches: the adapter behind the description's faults; null when absent.
    FaultyUsb* usb() { return usb_.get(); }
    SimPrinterPort* printer_port() { return printer_port_.get(); }

  private:
    std::unique_ptr<Board> board_;
    std::unique_ptr<SimAdapter> adapter_;
    std::unique_ptr<EmulatedAdapter> emulated_;
    std::unique_ptr<FaultyUsb> usb_;
    std::unique_ptr<SimPrinterPort> printer_port_;
};

// Returns the program's layers to their state at start (no cable open, no chain known), so
// that one process can run the program more than once.
void reset_program_state();

}  // namespace oscset::sim

#pragma once
// The simulated hardware put behind the program: the boards, their USB adapters on one bus
// and, when asked for, the parallel cable on a printer port at 0x378, or a cable wired straight
// to board 0. While alive it is what the USB and printer-port backends reach; the program's
// layers never know the difference. On request it shows the wire: each board's JTAG pins as a
// VCD file, the bus's USB traffic as a usbmon pcap file.

#include <memory>
#include <string>
#include <vector>

#include "sim/app/board_description.hpp"
#include "sim/board/board.hpp"
#include "sim/board/direct_cable.hpp"
#include "sim/mcs51/emulated_adapter.hpp"
#include "sim/parallel/sim_printer_port.hpp"
#include "sim/usb/sim_adapter.hpp"
#include "sim/usb/sim_bus.hpp"
#include "sim/wire/jtag_probe.hpp"
#include "sim/wire/usbmon_capture.hpp"

namespace oscset::sim {

struct SimHardwareOptions {
    bool printer_port = false;  // a printer port at 0x378 with the parallel cable attached
    // A fault of the simulated adapters that no description names (REFUSES_DOWNLOAD,
    // NEVER_RETURNS); FRESH: none, the description's adapter kind decides.
    SimAdapterMode adapter_fault = SimAdapterMode::FRESH;
    // Board 0's JTAG pins, written as the run goes (board N's to "<file>.N"); empty: none.
    std::string vcd_file{};
    std::string pcap_file{};  // the bus's USB traffic; empty: none
};

class SimHardware {
  public:
    explicit SimHardware(const SimDescription& description, SimHardwareOptions options = {});
    // Closes the cable and takes the simulated hardware away again.
    ~SimHardware();
    SimHardware(const SimHardware&) = delete;
    SimHardware& operator=(const SimHardware&) = delete;

    // Adapter N (from 0, in port order) and the board behind it; the printer port is on
    // board 0.
    std::size_t adapter_count() const { return slots_.size(); }
    Board& board(std::size_t n = 0) { return *slots_.at(n).board; }
    SimAdapter* adapter(std::size_t n = 0) { return slots_.at(n).adapter.get(); }  // or null
    EmulatedAdapter* emulated_adapter(std::size_t n = 0) { return slots_.at(n).emulated.get(); }
    // What the host reaches of adapter N: it behind the description's faults; null when absent.
    FaultyUsb* usb(std::size_t n = 0) { return slots_.at(n).usb.get(); }
    // The bus with every adapter on it.
    SimBus& bus() { return bus_; }
    // The backend the program's USB layer uses: the bus, behind the capture when one records.
    usb::UsbBackend& host_usb();
    // Board N's connector as every cable reaches it: through the probe when one records.
    JtagPort& port(std::size_t n = 0);
    JtagProbe* probe(std::size_t n = 0) { return slots_.at(n).probe.get(); }  // or null
    UsbmonCapture* capture() { return capture_.get(); }                       // or null
    SimPrinterPort* printer_port() { return printer_port_.get(); }

  private:
    struct Slot {
        std::unique_ptr<Board> board;
        std::unique_ptr<JtagProbe> probe;
        std::unique_ptr<SimAdapter> adapter;
        std::unique_ptr<EmulatedAdapter> emulated;
        std::unique_ptr<FaultyUsb> usb;
    };

    std::vector<Slot> slots_;
    SimBus bus_;
    std::unique_ptr<UsbmonCapture> capture_;
    std::unique_ptr<SimPrinterPort> printer_port_;
    std::unique_ptr<DirectCable> direct_;
};

// Returns the program's layers to their state at start (no cable open, no chain known), so
// that one process can run the program more than once.
void reset_program_state();

}  // namespace oscset::sim

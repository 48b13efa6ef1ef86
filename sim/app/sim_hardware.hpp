#pragma once
// The simulated hardware put behind the program: the board, the USB adapter on its bus and,
// when asked for, the parallel cable on a printer port at 0x378, or a cable wired straight to
// the board. While alive it is what the USB and printer-port backends reach; the program's
// layers never know the difference. On request it shows the wire: the JTAG connector's pins
// as a VCD file and the adapter's USB traffic as a usbmon pcap file.

#include <memory>
#include <string>

#include "sim/app/board_description.hpp"
#include "sim/board/board.hpp"
#include "sim/board/direct_cable.hpp"
#include "sim/mcs51/emulated_adapter.hpp"
#include "sim/parallel/sim_printer_port.hpp"
#include "sim/usb/sim_adapter.hpp"
#include "sim/wire/jtag_probe.hpp"
#include "sim/wire/usbmon_capture.hpp"

namespace oscset::sim {

struct SimHardwareOptions {
    bool printer_port = false;  // a printer port at 0x378 with the parallel cable attached
    SimAdapterConfig adapter;   // its mode follows the description's adapter kind
    std::string vcd_file{};     // the JTAG pins, written as the run goes; empty: none
    std::string pcap_file{};    // the adapter's USB traffic; empty: none
};

class SimHardware {
  public:
    explicit SimHardware(const SimDescription& description, SimHardwareOptions options = {});
    // Closes the cable and takes the simulated hardware away again.
    ~SimHardware();
    SimHardware(const SimHardware&) = delete;
    SimHardware& operator=(const SimHardware&) = delete;

    Board& board() { return *board_; }
    // The connector as every cable reaches it: the board, through the probe when one records.
    JtagPort& port() { return probe_ ? static_cast<JtagPort&>(*probe_) : *board_; }
    // Null when no VCD file was asked for.
    JtagProbe* probe() { return probe_.get(); }
    // Null when no pcap file was asked for.
    UsbmonCapture* capture() { return capture_.get(); }
    // What the host's USB backend reaches: the adapter behind the faults and the capture.
    usb::UsbBackend* host_usb();
    SimAdapter* adapter() { return adapter_.get(); }  // null when absent or emulated
    EmulatedAdapter* emulated_adapter() { return emulated_.get(); }
    // What the host reaches: the adapter behind the description's faults; null when absent.
    FaultyUsb* usb() { return usb_.get(); }
    SimPrinterPort* printer_port() { return printer_port_.get(); }

  private:
    std::unique_ptr<Board> board_;
    std::unique_ptr<JtagProbe> probe_;
    std::unique_ptr<SimAdapter> adapter_;
    std::unique_ptr<EmulatedAdapter> emulated_;
    std::unique_ptr<FaultyUsb> usb_;
    std::unique_ptr<UsbmonCapture> capture_;
    std::unique_ptr<SimPrinterPort> printer_port_;
    std::unique_ptr<DirectCable> direct_;
};

// Returns the program's layers to their state at start (no cable open, no chain known), so
// that one process can run the program more than once.
void reset_program_state();

}  // namespace oscset::sim

#pragma once
// The whole program (frontend/driver.hpp with the real layers) run on a simulated board over
// one of four cable paths, with its console, exit code and the board's event log.

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/time.hpp"
#include "sim/app/sim_hardware.hpp"
#include "sim/board/direct_cable.hpp"
#include "tests/support/recording_cable.hpp"
#include "tests/support/winusb_bus.hpp"

namespace oscset::mockdev {
class UsbBus;
class ParportNode;
}  // namespace oscset::mockdev
namespace oscset::parallel {
class PpdevPort;
}  // namespace oscset::parallel
namespace oscset::usb {
class WinusbBackend;
}  // namespace oscset::usb

namespace oscset::testing {

enum class CablePath {
    USB_ADAPTER,       // the simulated EZ-USB adapter: the path the program really takes
    DIRECT,            // a cable wired straight to the board, behind the USB cable's name
    PARALLEL,          // the printer-port cable on a simulated port at 0x378, behind that name
    EMULATED_ADAPTER,  // an emulated EZ-USB running the program's own firmware image
    // The program's Linux backends on device nodes (umockdev): libusb over usbfs to the
    // simulated adapter or to the emulated one, and ppdev on /dev/parport0 to the printer port.
    LIBUSB,
    LIBUSB_EMULATED,
    PPDEV,
    // The program's WinUSB backend on WinUSB's calls as Windows answers them, played by the
    // simulated adapters (or the emulated ones, when the description has them).
    WINUSB,
};

// Null when the path can run in this process, else why not (one line).
const char* path_unavailable(CablePath path);

const char* path_name(CablePath path);
void PrintTo(CablePath path, std::ostream* os);

// Sleeps and bounded waits last 1/TIME_DIVISOR of their nominal time: the USB read-back's
// 5000 ms limit still leaves a loaded machine 250 ms for the reader thread.
inline constexpr std::uint32_t TIME_DIVISOR = 20;

// A shift as a spy in front of the path's own cable saw it, with where the simulated board
// stood before and after: enough to tell scans, instruction loads and resets apart without
// changing a single clock.
struct ObservedShift : ShiftCall {
    sim::TapState state_before = sim::TapState::TEST_LOGIC_RESET;
    sim::TapState state_after = sim::TapState::TEST_LOGIC_RESET;
    std::uint32_t instruction = 0;  // the watched FPGA's, as the shift began
    std::size_t events_before = 0;  // board event lines before and after the shift
    std::size_t events_after = 0;
};

struct ProgramRun {
    int exit_code = 0;
    std::string output;               // progress line runs cut to their last line
    std::vector<long long> progress;  // every value the progress line showed
};

class Rig {
  public:
    // `description` as OSCSET_SIM_BOARD takes it (it must parse). Waits last
    // 1/time_divisor of their nominal time.
    Rig(const char* description, CablePath path, sim::SimHardwareOptions options = {},
        std::uint32_t time_divisor = TIME_DIVISOR);
    // For what the text cannot say (the board's faults).
    Rig(const sim::SimDescription& description, CablePath path,
        sim::SimHardwareOptions options = {}, std::uint32_t time_divisor = TIME_DIVISOR);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // The program with these arguments (without the program name), standard input `input`.
    // Each run starts as a new process would, on the hardware as the last run left it.
    ProgramRun run(std::vector<const char*> args, std::string_view input = "");
    // Later runs load this file (OSCSET_CONFIG_IMAGE) in place of the embedded image; empty:
    // the embedded image.
    void use_design(std::string file) { design_ = std::move(file); }
    // Later runs take the system-wide design from this file (none when empty); at the start,
    // the description's.
    void use_system_design(std::string file) { system_design_ = std::move(file); }
    // Later runs name this cable (OSCSET_CABLE); empty: the default.
    void use_cable(std::string cable) { cable_ = std::move(cable); }

    // What the USB cable prints on its way to an open adapter that already runs its firmware;
    // nothing on the other paths.
    std::string ready_adapter_text() const;

    sim::SimHardware& hardware() { return *hardware_; }
    // Board and adapter N (the description's adapters=); 0 unless named.
    sim::Board& board(std::size_t n = 0) { return hardware_->board(n); }
    const std::vector<std::string>& events(std::size_t n = 0) { return board(n).events(); }
    sim::SimAdapter* adapter(std::size_t n = 0) { return hardware_->adapter(n); }
    sim::EmulatedAdapter* emulated_adapter() { return hardware_->emulated_adapter(); }
    sim::FaultyUsb* usb() { return hardware_->usb(); }
    sim::SimPrinterPort* printer_port() { return hardware_->printer_port(); }
    // Written by whichever thread shifts; read once the program has ended.
    const std::vector<ObservedShift>& shifts() const { return shifts_; }
    const platform::SimulatedTime& time() const { return time_; }
    CablePath path() const { return path_; }
    // No handle of the program's is left on the adapter (on a device node: its interface is
    // released).
    bool adapter_closed() const;
    mockdev::UsbBus* bus() { return bus_.get(); }               // the libusb paths' bus
    WinusbBus* winusb_bus() { return winusb_bus_.get(); }       // the WinUSB path's bus
    mockdev::ParportNode* parport() { return parport_.get(); }  // the ppdev path's node

  private:
    std::vector<std::unique_ptr<UsbFunction>> adapter_functions();

    platform::SimulatedTime time_;
    CablePath path_;
    std::string design_;
    std::string system_design_;
    std::string cable_;
    bool refuse_placeholder_ = false;
    std::unique_ptr<sim::SimHardware> hardware_;
    std::unique_ptr<sim::DirectCable> direct_;
    std::unique_ptr<SpyCable> spy_;
    ObservedShift pending_;
    std::vector<ObservedShift> shifts_;
    std::unique_ptr<mockdev::UsbBus> bus_;
    std::unique_ptr<WinusbBus> winusb_bus_;
    std::unique_ptr<usb::WinusbBackend> winusb_;
    std::unique_ptr<mockdev::ParportNode> parport_;
    std::unique_ptr<parallel::PpdevPort> ppdev_;
};

// Every case over every path, for INSTANTIATE_TEST_SUITE_P with CaseOnPath.
template <typename Cases, typename Paths>
auto cases_on_paths(const Cases& cases, const Paths& paths) {
    return ::testing::Combine(::testing::ValuesIn(cases), ::testing::ValuesIn(paths));
}

// Test names for cases run over every path: the case's name, then the path's.
struct CaseOnPath {
    template <typename Info>
    std::string operator()(const Info& info) const {
        return std::string(std::get<0>(info.param).name) + "_" + path_name(std::get<1>(info.param));
    }
};

// The description as OSCSET_SIM_BOARD takes it; a text that does not parse fails the test.
sim::SimDescription parsed_description(const char* text);

// Event lines that start with `prefix`.
std::vector<std::string> events_starting(const std::vector<std::string>& events,
                                         std::string_view prefix);

}  // namespace oscset::testing

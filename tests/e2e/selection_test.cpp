// The cable the user names (OSCSET_CABLE) against the simulated hardware; "auto": the USB
// adapter first, then the parallel cable on the printer port at 0x378.

#include <gtest/gtest.h>

#include <string>

#include "cables/cable.hpp"
#include "cables/parallel/xpar.hpp"
#include "cables/usb/usb_cable.hpp"
#include "frontend/hardware_board.hpp"
#include "platform/console.hpp"
#include "platform/time.hpp"
#include "sim/app/board_description.hpp"
#include "sim/app/sim_hardware.hpp"
#include "tests/e2e/rig.hpp"
#include "tests/support/input_file.hpp"

namespace oscset::testing {
namespace {

enum class Chosen { usb, parallel, none };

struct SelectionCase {
    const char* name;
    const char* cable;  // OSCSET_CABLE
    const char* board;
    bool printer_port;
    bool parallel_cable_attached;
    status_t result;
    std::string output;
    Chosen bound;
    std::size_t adapter = 0;  // the adapter that holds the cable, when it is one
};

void PrintTo(const SelectionCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string SETUP = "Setup EZ-USB Firmware\n";
const std::string NO_ADAPTER = SETUP + "\nCan't found EZ-USB\n";

const SelectionCase SELECTION_CASES[] = {
    {"AdapterFirst", "auto", "adapter=ready", true, true, STATUS_OK, SETUP + "\n", Chosen::usb},
    {"FreshAdapterIsBooted", "auto", "adapter=fresh", true, true, STATUS_OK,
     SETUP + "-Boot-Wait....-Reconnect\n", Chosen::usb},
    {"ParallelCableWithoutAdapter", "auto", "adapter=absent", true, true, STATUS_OK, NO_ADAPTER,
     Chosen::parallel},
    {"ParallelCableUnplugged", "auto", "adapter=absent", true, false, STATUS_NO_CABLE,
     NO_ADAPTER + "No Probe\n", Chosen::parallel},
    {"NoPrinterPort", "auto", "adapter=absent", false, false, STATUS_NO_CABLE,
     NO_ADAPTER + "Can't access GIVEIO system\n", Chosen::parallel},
    {"UsbByDefault", "", "adapter=ready", true, true, STATUS_OK, SETUP + "\n", Chosen::usb},
    {"FirstAdapterNamed", "usb:0", "adapter=ready", true, true, STATUS_OK, SETUP + "\n",
     Chosen::usb},
    {"NoSecondAdapter", "usb:1", "adapter=ready", true, true, STATUS_NO_CABLE, NO_ADAPTER,
     Chosen::usb},
    {"SecondAdapterNamed", "usb:1", "adapters=2,adapter=fresh", true, true, STATUS_OK,
     SETUP + "-Boot-Wait....-Reconnect\n", Chosen::usb, 1},
    {"ParallelBeforeAnAdapter", "parallel", "adapter=ready", true, true, STATUS_OK, "",
     Chosen::parallel},
    {"ParallelAtItsBase", "parallel:0x378", "adapter=ready", true, true, STATUS_OK, "",
     Chosen::parallel},
    {"NoPortAtAnotherBase", "parallel:632", "adapter=ready", true, true, STATUS_NO_CABLE,
     "Can't access GIVEIO system\n", Chosen::parallel},
    {"UnknownName", "serial", "adapter=ready", true, true, STATUS_UNKNOWN_CABLE,
     "OSCSET_CABLE=\"serial\" names no cable: use usb, usb:N, parallel, parallel:0xBASE or "
     "auto\n",
     Chosen::none},
    {"PortBeyond16Bits", "parallel:0x10000", "adapter=ready", true, true, STATUS_UNKNOWN_CABLE,
     "OSCSET_CABLE=\"parallel:0x10000\" names no cable: use usb, usb:N, parallel, "
     "parallel:0xBASE or auto\n",
     Chosen::none},
};

class CableChoice : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(CableChoice, OpensTheNamedCable) {
    const SelectionCase& c = GetParam();
    sim::SimDescription description;
    std::string error;
    ASSERT_TRUE(sim::parse_board_description(c.board, description, error)) << error;
    platform::SimulatedTime time(TIME_DIVISOR);
    sim::SimHardware hardware(description, {.printer_port = c.printer_port});
    if (sim::SimPrinterPort* port = hardware.printer_port()) {
        port->attach_cable(c.parallel_cable_attached);
    }

    set_environment(frontend::CABLE_VARIABLE, c.cable);
    frontend::HardwareClockBoard board;
    platform::ConsoleCapture console;
    EXPECT_EQ(board.open(), c.result);
    set_environment(frontend::CABLE_VARIABLE, "");
    EXPECT_EQ(console.text(), c.output);
    EXPECT_EQ(cable::cable_is_open(), c.result == STATUS_OK ? 1 : 0);
    if (c.bound != Chosen::none) {
        cable::Cable* expected = c.bound == Chosen::usb
                                     ? &usb::usb_cable()
                                     : static_cast<cable::Cable*>(&parallel::xpar_cable());
        EXPECT_EQ(cable::cable_ops().driver, expected);
        EXPECT_EQ(cable::cable_ops().tdo_reverse, 1);
    }
    if (c.result == STATUS_OK) {
        EXPECT_EQ(cable::cable_ops().driver->probe(), 1) << "the powered board is sensed";
    }
    for (std::size_t n = 0; n < hardware.adapter_count(); ++n) {
        const bool holds = c.result == STATUS_OK && c.bound == Chosen::usb && n == c.adapter;
        if (const sim::SimAdapter* adapter = hardware.adapter(n)) {
            EXPECT_EQ(adapter->open_handles() > 0, holds) << "adapter " << n;
        }
    }
    if (sim::SimPrinterPort* port = hardware.printer_port(); port && c.bound != Chosen::parallel) {
        EXPECT_EQ(port->data(), 0) << "the printer port is not touched when the adapter opens";
    }
    cable::cable_close();
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, CableChoice, ::testing::ValuesIn(SELECTION_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace oscset::testing

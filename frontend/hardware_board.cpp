#include <cstdlib>

#include "bridge/bridge.hpp"
#include "bridge/user_transfer.hpp"
#include "cables/cable.hpp"
#include "frontend/clock_control.hpp"
#include "frontend/driver.hpp"
#include "jtag/config_engine.hpp"
#include "resources/config_image.hpp"

namespace oscset::frontend {
namespace {

class BridgeBus final : public BusAccess {
  public:
    status_t write(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) override {
        return bridge::bridge_write(address, data, length);
    }
    status_t read(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) override {
        return bridge::bridge_read(address, buffer, length);
    }
};

class HardwareClockBoard final : public ClockBoard {
  public:
    // The first USB adapter, with no fallback to the parallel cable.
    status_t open() override { return cable::cable_open(cable::CABLE_FIRST_USB); }

    // The design named by OSCSET_CONFIG_IMAGE (a .bit file or a raw stream) when set, else
    // the embedded image.
    status_t configure() override {
        if (const char* file = std::getenv(CONFIG_IMAGE_VARIABLE);
            file != nullptr && *file != '\0') {
            return jtag::fpga_configure_with_progress(file, 0);
        }
        const auto image = resources::config_image();
        return jtag::fpga_configure_with_progress(image.data(),
                                                  static_cast<std::int32_t>(image.size()));
    }

    bool program(const divider_plan& plan) override {
        BridgeBus bus;
        return program_clock(plan, bus);
    }

    // Leaves the TAP in Run-Test/Idle with no USER register selected, then closes the cable.
    void close() override {
        bridge::user_transfer(0, nullptr, nullptr, nullptr);
        cable::cable_close();
    }
};

}  // namespace

ClockBoard& hardware_board() {
    static HardwareClockBoard board;
    return board;
}

}  // namespace oscset::frontend

#include "frontend/hardware_board.hpp"

#include <cstdlib>

#include "bridge/bridge.hpp"
#include "bridge/user_transfer.hpp"
#include "cables/cable.hpp"
#include "frontend/clock_control.hpp"
#include "jtag/config_engine.hpp"
#include "platform/console.hpp"
#include "platform/file.hpp"
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

const char* set_variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

status_t HardwareClockBoard::open() {
    std::uint32_t id = cable::CABLE_FIRST_USB;
    if (const char* named = set_variable(CABLE_VARIABLE);
        named != nullptr && !cable::cable_id_from_text(named, id)) {
        platform::console_printf(
            "%s=\"%s\" names no cable: use usb, usb:N, parallel, parallel:0xBASE or auto\n",
            CABLE_VARIABLE, named);
        return STATUS_UNKNOWN_CABLE;
    }
    return cable::cable_open(id);
}

status_t HardwareClockBoard::configure() {
    if (const char* file = set_variable(CONFIG_IMAGE_VARIABLE)) {
        return jtag::fpga_configure_with_progress(jtag::ConfigSource::design_file(file));
    }
    if (!places_.system_file.empty() && platform::path_exists(places_.system_file.c_str())) {
        return jtag::fpga_configure_with_progress(
            jtag::ConfigSource::design_file(places_.system_file.c_str()));
    }
    if (resources::config_image_is_placeholder() && !places_.accept_placeholder) {
        // Loading it would stop the design that the FPGA runs, and the board's clock with it.
        platform::console_printf(
            "No design for the board's FPGA: name its file in %s or install it as %s "
            "(see man oscset)\n",
            CONFIG_IMAGE_VARIABLE, OSCSET_SYSTEM_DESIGN);
        return STATUS_FILE_ERROR;
    }
    return jtag::fpga_configure_with_progress(jtag::ConfigSource::memory(resources::config_image()));
}

bool HardwareClockBoard::program(const divider_plan& plan) {
    BridgeBus bus;
    return program_clock(plan, bus);
}

void HardwareClockBoard::close() {
    bridge::user_transfer(0, nullptr, nullptr, nullptr);
    cable::cable_close();
}

}  // namespace oscset::frontend

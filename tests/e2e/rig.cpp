#include "tests/e2e/rig.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "cables/cable.hpp"
#include "cables/parallel/xpar.hpp"
#include "cables/usb/usb_cable.hpp"
#include "cables/usb/usb_device.hpp"
#include "cables/usb/winusb.hpp"
#include "frontend/driver.hpp"
#include "frontend/hardware_board.hpp"
#include "platform/console.hpp"
#include "sim/app/board_description.hpp"
#include "tests/e2e/progress.hpp"
#include "tests/support/input_file.hpp"
#if OSCSET_MOCKDEV
#include "cables/parallel/ppdev_port.hpp"
#include "cables/usb/libusb_backend.hpp"
#include "tests/mockdev/mock_devices.hpp"
#else
// Without device nodes the rig never makes these, but its members still need whole types.
namespace oscset::mockdev {
class UsbBus {};
class ParportNode {};
}  // namespace oscset::mockdev
namespace oscset::parallel {
class PpdevPort {};
}  // namespace oscset::parallel
#endif

namespace oscset::testing {
namespace {

// The FPGA nearest TDO, whose instruction the spy's observations watch; device 0 without one.
std::size_t watched_device(const sim::Board& board) {
    for (std::size_t i = 0; i < board.device_count(); ++i) {
        if (board.fpga(i) != nullptr) {
            return i;
        }
    }
    return 0;
}

}  // namespace

const char* path_name(CablePath path) {
    switch (path) {
        case CablePath::USB_ADAPTER:
            return "UsbAdapter";
        case CablePath::DIRECT:
            return "Direct";
        case CablePath::PARALLEL:
            return "Parallel";
        case CablePath::EMULATED_ADAPTER:
            return "EmulatedAdapter";
        case CablePath::LIBUSB:
            return "Libusb";
        case CablePath::LIBUSB_EMULATED:
            return "LibusbEmulatedAdapter";
        case CablePath::PPDEV:
            return "Ppdev";
        case CablePath::WINUSB:
            return "Winusb";
    }
    return "?";
}

const char* path_unavailable(CablePath path) {
    if (path != CablePath::LIBUSB && path != CablePath::LIBUSB_EMULATED &&
        path != CablePath::PPDEV) {
        return nullptr;
    }
#if OSCSET_MOCKDEV
    return mockdev::mock_devices_missing();
#else
    return "device nodes are emulated on Linux only (umockdev)";
#endif
}

void PrintTo(CablePath path, std::ostream* os) {
    *os << path_name(path);
}

sim::SimDescription parsed_description(const char* text) {
    sim::SimDescription parsed;
    std::string error;
    if (!sim::parse_board_description(text, parsed, error)) {
        ADD_FAILURE() << "board description \"" << text << "\": " << error;
    }
    return parsed;
}

Rig::Rig(const char* description, CablePath path, sim::SimHardwareOptions options,
         std::uint32_t time_divisor)
    : Rig(parsed_description(description), path, options, time_divisor) {}

Rig::Rig(const sim::SimDescription& description, CablePath path, sim::SimHardwareOptions options,
         std::uint32_t time_divisor)
    : time_(time_divisor),
      path_(path),
      system_design_(description.system_design),
      refuse_placeholder_(description.refuse_placeholder) {
    const bool emulated = path == CablePath::EMULATED_ADAPTER || path == CablePath::LIBUSB_EMULATED;
    options.printer_port =
        options.printer_port || path == CablePath::PARALLEL || path == CablePath::PPDEV;
    sim::SimDescription used = description;
    if (emulated && description.adapter != sim::AdapterKind::ABSENT) {
        used.adapter = sim::AdapterKind::EMULATED;
    }
    hardware_ = std::make_unique<sim::SimHardware>(used, options);
    if (emulated && description.adapter == sim::AdapterKind::READY && !description.faults.stale) {
        // "Already running": the firmware was loaded by an earlier run of the program, which
        // met no faults.
        for (std::size_t n = 0; n < hardware_->adapter_count(); ++n) {
            usb::set_usb_backend(hardware_->emulated_adapter(n));
            platform::ConsoleCapture quiet;
            if (cable::cable_open(cable::CABLE_FIRST_USB) != STATUS_OK) {
                ADD_FAILURE() << "emulated adapter " << n << " did not boot: " << quiet.text();
            }
            cable::cable_close();
        }
        usb::set_usb_backend(&hardware_->host_usb());
    }
    time_.clear();  // the waits of an earlier run's boot are not this run's
    cable::Cable* inner = &usb::usb_cable();
    if (path == CablePath::DIRECT) {
        direct_ = std::make_unique<sim::DirectCable>(hardware_->port());
        inner = direct_.get();
    } else if (path == CablePath::PARALLEL || path == CablePath::PPDEV) {
        inner = &parallel::xpar_cable();
    }
    if (path == CablePath::WINUSB) {
        winusb_bus_ = std::make_unique<WinusbBus>(&time_);
        for (std::unique_ptr<UsbFunction>& function : adapter_functions()) {
            winusb_bus_->plug(std::move(function));
        }
        winusb_ = std::make_unique<usb::WinusbBackend>(*winusb_bus_);
        usb::set_usb_backend(winusb_.get());
    }
#if OSCSET_MOCKDEV
    if (path_unavailable(path) == nullptr && (path == CablePath::LIBUSB || emulated) &&
        path != CablePath::EMULATED_ADAPTER) {
        bus_ = std::make_unique<mockdev::UsbBus>(&time_);
        for (std::unique_ptr<UsbFunction>& function : adapter_functions()) {
            bus_->plug(std::move(function));
        }
        usb::set_usb_backend(&usb::libusb_backend());
    } else if (path_unavailable(path) == nullptr && path == CablePath::PPDEV) {
        parport_ = std::make_unique<mockdev::ParportNode>(*printer_port());
        ppdev_ = std::make_unique<parallel::PpdevPort>(parport_->sysctl_dir(), "/dev");
        parallel::set_port_io(ppdev_.get());
    }
#endif
    // Every TAP moves alike; the instruction is the watched device's.
    const std::size_t watched = watched_device(board());
    const auto state = [this, watched] {
        return watched < board().device_count() ? board().tap_state(watched)
                                                : sim::TapState::TEST_LOGIC_RESET;
    };
    spy_ = std::make_unique<SpyCable>(*inner);
    spy_->on_shift = [this, watched, state](const ShiftCall&) {
        pending_.state_before = state();
        pending_.instruction = watched < board().device_count() ? board().instruction(watched) : 0;
        pending_.events_before = board().events().size();
    };
    spy_->after_shift = [this, state](const ShiftCall& call) {
        ObservedShift& s = shifts_.emplace_back(pending_);
        static_cast<ShiftCall&>(s) = call;
        s.state_after = state();
        s.events_after = board().events().size();
    };
    cable::cable_set_driver(cable::USB_CABLE_NAME, spy_.get());
}

Rig::~Rig() {
    // The spy goes before the hardware: no cable may stay bound to it.
    cable::cable_close();
    cable::cable_set_driver(cable::USB_CABLE_NAME, nullptr);
    parallel::set_port_io(nullptr);
    ppdev_.reset();
    parport_.reset();
    bus_.reset();
    winusb_.reset();
    winusb_bus_.reset();
    hardware_.reset();
}

// Every adapter on the simulated bus as a USB device, in port order.
std::vector<std::unique_ptr<UsbFunction>> Rig::adapter_functions() {
    std::vector<std::unique_ptr<UsbFunction>> functions;
    for (std::size_t n = 0; n < hardware_->adapter_count(); ++n) {
        if (hardware_->emulated_adapter(n) != nullptr) {
            functions.push_back(
                emulated_adapter_function(*hardware_->emulated_adapter(n), *hardware_->usb(n)));
        } else if (hardware_->adapter(n) != nullptr) {
            functions.push_back(sim_adapter_function(*hardware_->adapter(n), *hardware_->usb(n)));
        }
    }
    return functions;
}

ProgramRun Rig::run(std::vector<const char*> args, std::string_view input) {
    sim::reset_program_state();
    args.insert(args.begin(), "oscset");
    InputFile in(input);
    int code = 0;
    std::string text;
    set_environment(frontend::CONFIG_IMAGE_VARIABLE, design_);
    set_environment(frontend::CABLE_VARIABLE, cable_);
    {
        frontend::HardwareClockBoard board(
            {.system_file = system_design_, .accept_placeholder = !refuse_placeholder_});
        platform::ConsoleCapture console;
        code = frontend::oscset_main(static_cast<int>(args.size()), args.data(), in.get(), board);
        text = console.text();
    }
    set_environment(frontend::CONFIG_IMAGE_VARIABLE, "");
    set_environment(frontend::CABLE_VARIABLE, "");
    NormalisedOutput normalised = normalise_progress(text);
    return {code, std::move(normalised.text), std::move(normalised.progress)};
}

bool Rig::adapter_closed() const {
    if (winusb_bus_ != nullptr) {
        return winusb_bus_->open_handles() == 0;
    }
#if OSCSET_MOCKDEV
    if (bus_ != nullptr) {
        return !bus_->counts(0).claimed;
    }
#endif
    return hardware_->adapter() == nullptr || hardware_->adapter()->open_handles() == 0;
}

std::string Rig::ready_adapter_text() const {
    const bool usb = path_ == CablePath::USB_ADAPTER || path_ == CablePath::EMULATED_ADAPTER ||
                     path_ == CablePath::LIBUSB || path_ == CablePath::LIBUSB_EMULATED ||
                     path_ == CablePath::WINUSB;
    return usb ? "Setup EZ-USB Firmware\n\n" : "";
}

std::vector<std::string> events_starting(const std::vector<std::string>& events,
                                         std::string_view prefix) {
    std::vector<std::string> out;
    for (const std::string& line : events) {
        if (std::string_view(line).substr(0, prefix.size()) == prefix) {
            out.push_back(line);
        }
    }
    return out;
}

}  // namespace oscset::testing

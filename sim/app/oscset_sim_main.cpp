// oscset-sim: the program with a simulated board, adapter and chain in place of the
// hardware, described by OSCSET_SIM_BOARD. With OSCSET_SIM_LOG=<file> (or - for standard
// error) the board's event log is written as it happens; without it the output is exactly
// what oscset prints with a real board. OSCSET_SIM_VCD=<file> writes the JTAG pins as a VCD
// file, OSCSET_SIM_PCAP=<file> the adapter's USB traffic as a usbmon pcap file.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cables/cable.hpp"
#include "frontend/driver.hpp"
#include "frontend/hardware_board.hpp"
#include "sim/app/board_description.hpp"
#include "sim/app/sim_hardware.hpp"

namespace {

const oscset::frontend::ProgramText SIM_TEXT{
    "oscset-sim",
    "  OSCSET_SIM_BOARD=<keys>     the simulated board, and the simulated machine's\n"
    "                              system-wide design (system_design=; see man oscset-sim)\n"
    "  OSCSET_SIM_LOG=<file>       the board's event log (- for standard error)\n"
    "  OSCSET_SIM_VCD=<file>       the JTAG pins as a waveform (VCD)\n"
    "  OSCSET_SIM_PCAP=<file>      the USB adapter's traffic as a capture (pcap)\n",
};

// The printer port is there when the user's cable may be the printer-port cable.
bool wants_printer_port() {
    std::uint32_t id = oscset::cable::CABLE_FIRST_USB;
    const char* named = std::getenv(oscset::frontend::CABLE_VARIABLE);
    return named != nullptr && oscset::cable::cable_id_from_text(named, id) &&
           (id == oscset::cable::CABLE_AUTOMATIC || id >> 16 == oscset::cable::CABLE_KIND_PARALLEL);
}

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

int cannot_write(const char* name, const std::string& path) {
    std::fprintf(stderr, "oscset-sim: %s: cannot write %s\n", name, path.c_str());
    return 2;
}

// False, after saying which, when a wire file could not be created or written.
bool wire_files_ok(oscset::sim::SimHardware& hardware) {
    for (std::size_t n = 0; n < hardware.adapter_count(); ++n) {
        if (oscset::sim::JtagProbe* probe = hardware.probe(n); probe != nullptr && !probe->ok()) {
            cannot_write("OSCSET_SIM_VCD", probe->path());
            return false;
        }
    }
    if (hardware.capture() != nullptr && !hardware.capture()->ok()) {
        cannot_write("OSCSET_SIM_PCAP", hardware.capture()->path());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    oscset::sim::SimDescription description;
    std::string error;
    if (!oscset::sim::parse_board_description(std::getenv("OSCSET_SIM_BOARD"), description,
                                              error)) {
        std::fprintf(stderr, "oscset-sim: OSCSET_SIM_BOARD: %s\n", error.c_str());
        return 2;
    }
    std::FILE* log = nullptr;
    if (const char* path = std::getenv("OSCSET_SIM_LOG"); path != nullptr && *path != '\0') {
        log = std::string(path) == "-" ? stderr : std::fopen(path, "w");
        if (log == nullptr) {
            return cannot_write("OSCSET_SIM_LOG", path);
        }
        std::setvbuf(log, nullptr, _IOLBF, 1024);
        description.board.log_file = log;
    }
    oscset::sim::SimHardwareOptions options;
    options.printer_port = wants_printer_port();
    options.vcd_file = variable("OSCSET_SIM_VCD");
    options.pcap_file = variable("OSCSET_SIM_PCAP");
    int code = 0;
    {
        oscset::sim::SimHardware hardware(description, options);
        if (!hardware.board().valid()) {
            std::fprintf(stderr, "oscset-sim: OSCSET_SIM_BOARD: %s\n",
                         hardware.board().error().c_str());
            return 2;
        }
        if (!wire_files_ok(hardware)) {
            return 2;
        }
        oscset::frontend::HardwareClockBoard board(
            {.system_file = description.system_design,
             .accept_placeholder = !description.refuse_placeholder});
        code = oscset::frontend::oscset_main(argc, argv, stdin, board, SIM_TEXT);
        // A wire file cut short by a failed write is no record of the run.
        if (!wire_files_ok(hardware)) {
            code = 2;
        }
    }
    if (log != nullptr && log != stderr) {
        std::fclose(log);
    }
    return code;
}

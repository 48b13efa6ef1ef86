// oscset-sim: the program with a simulated board, adapter and chain in place of the
// hardware, described by OSCSET_SIM_BOARD. With OSCSET_SIM_LOG=<file> (or - for standard
// error) the board's event log is written as it happens; without it the output is exactly
// what oscset prints with a real board.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "frontend/driver.hpp"
#include "sim/app/board_description.hpp"
#include "sim/app/sim_hardware.hpp"

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
            std::fprintf(stderr, "oscset-sim: OSCSET_SIM_LOG: cannot write %s\n", path);
            return 2;
        }
        std::setvbuf(log, nullptr, _IOLBF, 1024);
        description.board.log_file = log;
    }
    int code = 0;
    {
        oscset::sim::SimHardware hardware(description);
        if (!hardware.board().valid()) {
            std::fprintf(stderr, "oscset-sim: OSCSET_SIM_BOARD: %s\n",
                         hardware.board().error().c_str());
            return 2;
        }
        code = oscset::frontend::oscset_main(argc, argv, stdin, oscset::frontend::hardware_board());
    }
    if (log != nullptr && log != stderr) {
        std::fclose(log);
    }
    return code;
}

#pragma once
// The program: opens the board, configures the FPGA and sets the clock for one frequency
// from the command line or for each frequency typed at the prompt.

#include <cstdio>

#include "cables/status.hpp"
#include "frontend/frequency.hpp"

namespace oscset::frontend {

// What the driver needs of the board; the layers below provide it (hardware_board), tests
// may provide their own.
class ClockBoard {
  public:
    virtual status_t open() = 0;       // the first USB adapter's cable; 0 = open and ready
    virtual status_t configure() = 0;  // the board's design, with progress; 0 = configured
    virtual bool program(const divider_plan& plan) = 0;  // control record; true = locked
    virtual void close() = 0;  // releases the USER register, then closes the cable

  protected:
    ~ClockBoard() = default;
};

// The board through the cable, configuration and bridge layers.
ClockBoard& hardware_board();

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = -1;
inline constexpr std::size_t LINE_BUFFER_SIZE = 256;
// Names a configuration file to load in place of the embedded image.
inline constexpr const char* CONFIG_IMAGE_VARIABLE = "OSCSET_CONFIG_IMAGE";

// The whole program: argv as main receives it, lines from `input` in conversation mode, all
// text to the console. Returns the exit code, 0 or -1.
int oscset_main(int argc, const char* const* argv, std::FILE* input, ClockBoard& board);

}  // namespace oscset::frontend

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
    // The cable; 0 = open and ready. STATUS_UNKNOWN_CABLE: the user named no cable (and was
    // told so).
    virtual status_t open() = 0;
    virtual status_t configure() = 0;  // the board's design, with progress; 0 = configured
    virtual bool program(const divider_plan& plan) = 0;  // control record; true = locked
    virtual void close() = 0;  // releases the USER register, then closes the cable

  protected:
    ~ClockBoard() = default;
};

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = -1;
inline constexpr std::size_t LINE_BUFFER_SIZE = 256;
// What --help and --version say of the program: its name, and the variables that change its
// behaviour beyond those of every build (a line each).
struct ProgramText {
    const char* name = "oscset";
    const char* more_environment = "";
};

// The whole program: argv as main receives it, lines from `input` in conversation mode, all
// text to the console. "--help" (or "-h") and "--version" alone answer without touching a
// cable. Returns the exit code, 0 or -1.
int oscset_main(int argc, const char* const* argv, std::FILE* input, ClockBoard& board,
                const ProgramText& program = {});

}  // namespace oscset::frontend

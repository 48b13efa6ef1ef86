#include <cstdio>

#include "cables/cable.hpp"
#include "frontend/driver.hpp"
#include "frontend/hardware_board.hpp"

int main(int argc, char** argv) {
    // The hardware behind the cables: the USB adapters and the printer port's registers.
    oscset::cable::install_hardware_backends();
    oscset::frontend::HardwareClockBoard board;
    return oscset::frontend::oscset_main(argc, argv, stdin, board);
}

#include <cstdio>

#include "cables/cable.hpp"
#include "frontend/driver.hpp"

int main(int argc, char** argv) {
    // The hardware behind the cables: the USB adapters and the printer port's registers.
    oscset::cable::install_hardware_backends();
    return oscset::frontend::oscset_main(argc, argv, stdin, oscset::frontend::hardware_board());
}

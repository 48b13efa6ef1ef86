#include <cstdio>

#include "cables/parallel/port_io.hpp"
#include "frontend/driver.hpp"

int main(int argc, char** argv) {
    // The hardware behind the cables: the printer port's registers for the parallel cable.
    oscset::parallel::install_hardware_port_io();
    return oscset::frontend::oscset_main(argc, argv, stdin, oscset::frontend::hardware_board());
}

// Builds without a printer-port backend: the parallel cable reports no port access.

#include "cables/parallel/port_io.hpp"

namespace oscset::parallel {

bool install_hardware_port_io() {
    return false;
}

}  // namespace oscset::parallel

// The Linux hardware backend: ppdev where the port's device node exists and may be claimed,
// direct port I/O on x86 otherwise.

#include "cables/parallel/port_io.hpp"
#include "cables/parallel/ppdev_port.hpp"
#if OSCSET_DIRECT_PORT_IO
#include "cables/parallel/direct_port.hpp"
#endif

namespace oscset::parallel {

bool install_hardware_port_io() {
    static PpdevPort ppdev;
#if OSCSET_DIRECT_PORT_IO
    static DirectPort direct;
    static FallbackPort port(ppdev, &direct);
#else
    static FallbackPort port(ppdev, nullptr);
#endif
    set_port_io(&port);
    return true;
}

}  // namespace oscset::parallel

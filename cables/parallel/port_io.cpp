#include "cables/parallel/port_io.hpp"

namespace oscset::parallel {
namespace {

PortIo* installed = nullptr;

}  // namespace

void set_port_io(PortIo* port) {
    installed = port;
}

PortIo* port_io() {
    return installed;
}

}  // namespace oscset::parallel

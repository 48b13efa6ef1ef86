#include "cables/parallel/direct_port.hpp"

#include <sys/io.h>

namespace oscset::parallel {
namespace {

constexpr unsigned long PORT_REGISTERS = 3;  // data, status, control

bool within(std::uint16_t address, std::uint16_t base) {
    return address >= base && address < base + PORT_REGISTERS;
}

}  // namespace

bool DirectPort::acquire(std::uint16_t base) {
    if (granted_ && base == base_) {
        return true;
    }
    if (base > 0xFFFF - (PORT_REGISTERS - 1) || ioperm(base, PORT_REGISTERS, 1) != 0) {
        return false;
    }
    granted_ = true;
    base_ = base;
    return true;
}

void DirectPort::write(std::uint16_t address, std::uint8_t value) {
    // Outside the granted range the instruction would fault the process.
    if (granted_ && within(address, base_)) {
        outb(value, address);
    }
}

std::uint8_t DirectPort::read(std::uint16_t address) {
    if (granted_ && within(address, base_)) {
        return inb(address);
    }
    return 0xFF;
}

}  // namespace oscset::parallel

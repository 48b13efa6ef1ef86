#include "sim/parallel/sim_printer_port.hpp"

namespace oscset::sim {
namespace {

constexpr std::uint8_t DATA_TDI = 0x01;
constexpr std::uint8_t DATA_TCK = 0x02;
constexpr std::uint8_t DATA_TMS = 0x04;
constexpr std::uint8_t DATA_SENSE = 0x40;

constexpr std::uint8_t STATUS_POWER = 0x08;
constexpr std::uint8_t STATUS_TDO = 0x10;
constexpr std::uint8_t STATUS_LOOP = 0x20;
constexpr std::uint8_t STATUS_BUSY = 0x80;  // reads the inverse of the busy pin

// Every status pin high: reserved bits 0..2, error, select, paper end and acknowledge read
// 1, busy reads 0.
constexpr std::uint8_t STATUS_FLOATING = 0x7F;
// With the cable, error, select and paper end are driven; acknowledge and the reserved bits
// still float high.
constexpr std::uint8_t STATUS_UNDRIVEN = 0x47;

}  // namespace

SimPrinterPort::SimPrinterPort(JtagPort& board, std::uint16_t base) : board_(board), base_(base) {}

bool SimPrinterPort::acquire(std::uint16_t base) {
    return access_granted_ && base == base_;
}

void SimPrinterPort::write(std::uint16_t address, std::uint8_t value) {
    if (address == base_) {
        data_ = value;
        if (cable_attached_) {
            board_.drive((value & DATA_TCK) != 0, (value & DATA_TDI) != 0, (value & DATA_TMS) != 0);
        }
    } else if (address == base_ + 2) {
        control_ = value;
    }
}

std::uint8_t SimPrinterPort::read(std::uint16_t address) {
    if (address == base_) {
        return data_;
    }
    if (address == base_ + 1) {
        return status();
    }
    if (address == base_ + 2) {
        return control_;
    }
    return 0xFF;
}

std::uint8_t SimPrinterPort::status() const {
    if (!cable_attached_) {
        return STATUS_FLOATING;
    }
    std::uint8_t value = STATUS_UNDRIVEN;
    if (board_.target_power()) {
        value |= STATUS_POWER;
    }
    if (board_.tdo()) {
        value |= STATUS_TDO;
    }
    value |= (data_ & DATA_SENSE) != 0 ? STATUS_LOOP : STATUS_BUSY;
    return value;
}

}  // namespace oscset::sim

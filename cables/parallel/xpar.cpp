#include "cables/parallel/xpar.hpp"

#include <array>
#include <cstdio>

#include "cables/parallel/giveio.hpp"
#include "cables/parallel/port_io.hpp"
#include "platform/console.hpp"

namespace oscset::parallel {
namespace {

std::uint32_t xpar_io_base = XPAR_DEFAULT_IO_BASE;

std::uint16_t data_register() {
    return static_cast<std::uint16_t>(xpar_io_base);
}
std::uint16_t status_register() {
    return static_cast<std::uint16_t>(xpar_io_base + 1);
}

// The cable loops data bit 6 back to status bit 5 and, through the port's inverted busy
// line, to status bit 7. Each step writes the drive with TCK high, then checks each bit in a
// read of its own.
struct PresenceStep {
    std::uint8_t data;
    bool loop;
    bool loop_inverted;
};
constexpr std::array<PresenceStep, 2> PRESENCE_TEST{{
    {XPAR_SENSE | XPAR_IDLE | XPAR_TCK, true, false},  // 0x52
    {XPAR_IDLE | XPAR_TCK, false, true},               // 0x12
}};

bool presence_test(PortIo& port) {
    for (const PresenceStep& step : PRESENCE_TEST) {
        port.write(data_register(), step.data);
        if (((port.read(status_register()) & XPAR_LOOP) != 0) != step.loop) {
            return false;
        }
        if (((port.read(status_register()) & XPAR_LOOP_INVERTED) != 0) != step.loop_inverted) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::int32_t xpar_open(std::uint16_t port, std::int32_t, char* description) {
    xpar_io_base = port != 0 ? port : XPAR_DEFAULT_IO_BASE;
    if (description != nullptr) {
        std::snprintf(description, cable::DESCRIPTION_SIZE,
                      "Xilinx Parallel ISP Cable (JTAG),IO Base=%04X", port);
    }
    // On Windows NT the driver service opens the ports to the process; the platform's port
    // backend then gains access to this port (on Linux it alone decides).
    PortIo* io = port_io();
    if (io == nullptr || giveio_acquire() == 0 || !io->acquire(data_register())) {
        platform::console_printf("Can't access GIVEIO system\n");
        return 1;
    }
    if (!presence_test(*io)) {
        platform::console_printf("No Probe\n");
        return 1;
    }
    // The lines now rest at TCK high, TDI and TMS low.
    return 0;
}

void xpar_close() {}

std::int32_t xpar_probe() {
    PortIo* io = port_io();
    if (io == nullptr) {
        return 0;
    }
    return (io->read(status_register()) & XPAR_POWER) != 0 ? 1 : 0;
}

std::int32_t xpar_shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                        std::int32_t tms_during, std::int32_t tms_last) {
    PortIo* io = port_io();
    if (count == 0 || io == nullptr) {
        return 0;
    }
    const std::uint16_t data = data_register();
    const std::uint16_t status = status_register();
    std::uint8_t tdi_bits = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t byte = i / 8;
        const std::uint32_t bit = i % 8;
        std::uint8_t value = XPAR_IDLE;
        if (tdi != nullptr) {
            tdi_bits = bit == 0 ? tdi[byte] : static_cast<std::uint8_t>(tdi_bits << 1);
            if ((tdi_bits & 0x80) != 0) {
                value |= XPAR_TDI;
            }
        }
        if ((i == count - 1 ? tms_last : tms_during) != 0) {
            value |= XPAR_TMS;
        }
        // TCK falls: the target presents this clock's TDO bit, read before the rising edge.
        io->write(data, value);
        if (tdo != nullptr) {
            if (bit == 0) {
                tdo[byte] = 0;
            }
            if ((io->read(status) & XPAR_TDO) != 0) {
                tdo[byte] |= static_cast<std::uint8_t>(1u << bit);
            }
        }
        // TCK rises: the target takes TDI and TMS. It rests high after the last clock.
        io->write(data, static_cast<std::uint8_t>(value | XPAR_TCK));
    }
    return 0;
}

bool xpar_take_failure() {
    PortIo* io = port_io();
    return io != nullptr && io->take_failure();
}

cable::Cable& xpar_cable() {
    static cable::FunctionCable<xpar_open, xpar_close, xpar_probe, xpar_shift, xpar_take_failure>
        cable;
    return cable;
}

}  // namespace oscset::parallel

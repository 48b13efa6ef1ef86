// The chip's USB core as firmware and host see it: endpoints, interrupt requests and their
// vectors, the descriptor pointer, the control handshake, CPUCS, the load limits, the
// connection and the ports.

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "sim/mcs51/ezusb.hpp"

namespace oscset::sim::mcs51 {
namespace {

struct Wiring : PortWiring {
    struct Change {
        Port port;
        std::uint8_t out;
        std::uint8_t enable;
    };
    std::vector<Change> changes;
    std::uint8_t inputs = 0;
    void port_changed(Port port, std::uint8_t out, std::uint8_t enable) override {
        changes.push_back({port, out, enable});
    }
    std::uint8_t port_input(Port port) override { return port == Port::C ? inputs : 0; }
};

constexpr std::uint16_t SCRATCH = 0x1000;

// Runs firmware-side accesses from a scratch program with the core running.
class Chip : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::uint8_t run[1] = {0};
        ASSERT_TRUE(chip.load_write(reg::CPUCS, run));
    }
    void poke(std::uint16_t address, std::uint8_t value) {
        const std::uint8_t code[] = {0x90,
                                     static_cast<std::uint8_t>(address >> 8),
                                     static_cast<std::uint8_t>(address),
                                     0x74,
                                     value,
                                     0xF0};
        execute(code, 3);
    }
    std::uint8_t peek(std::uint16_t address) {
        const std::uint8_t code[] = {0x90, static_cast<std::uint8_t>(address >> 8),
                                     static_cast<std::uint8_t>(address), 0xE0};
        execute(code, 2);
        return chip.cpu().acc();
    }
    void execute(std::span<const std::uint8_t> code, int steps) {
        ASSERT_TRUE(chip.load_write(SCRATCH, code));
        chip.cpu().set_pc(SCRATCH);
        for (int i = 0; i < steps; ++i)
            chip.cpu().step();
    }
    bool usb_interrupt_flag() { return (chip.cpu().sfr(sfr::EXIF) & 0x10) != 0; }

    Wiring wiring;
    EzUsbChip chip{&wiring};
};

TEST_F(Chip, OutEndpointIsArmedByTheFirmwareAndFilledByTheHost) {
    EXPECT_FALSE(chip.out_armed(2)) << "not armed at power-on";
    poke(reg::out_bc(2), 0x00);
    EXPECT_TRUE(chip.out_armed(2));
    EXPECT_EQ(peek(reg::out_cs(2)) & 0x02, 0x02) << "busy while armed";
    const std::uint8_t data[] = {1, 2, 3};
    chip.out_packet(2, data);
    EXPECT_FALSE(chip.out_armed(2));
    EXPECT_EQ(peek(reg::out_cs(2)) & 0x02, 0);
    EXPECT_EQ(peek(reg::out_bc(2)), 3);
    EXPECT_EQ(peek(reg::out_buf(2) + 2), 3);
    EXPECT_EQ(peek(reg::OUT07IRQ), 0x04);
    poke(reg::OUT07IRQ, 0x04);
    EXPECT_EQ(peek(reg::OUT07IRQ), 0x00) << "write 1 to clear";
}

TEST_F(Chip, InEndpointIsLoadedByTheFirmwareAndTakenByTheHost) {
    poke(reg::in_buf(2), 0x5A);
    poke(reg::in_bc(2), 1);
    ASSERT_TRUE(chip.in_loaded(2));
    EXPECT_EQ(chip.in_count(2), 1u);
    EXPECT_EQ(peek(reg::in_cs(2)) & 0x02, 0x02);
    std::array<std::uint8_t, PACKET_SIZE> packet{};
    ASSERT_EQ(chip.in_packet(2, packet), 1u);
    EXPECT_EQ(packet[0], 0x5A);
    EXPECT_FALSE(chip.in_loaded(2));
    EXPECT_EQ(peek(reg::IN07IRQ), 0x04);
    poke(reg::in_bc(4), 200);
    EXPECT_EQ(chip.in_count(4), PACKET_SIZE) << "a packet holds at most 64 bytes";
}

TEST_F(Chip, StallBitsAreTheFirmwares) {
    poke(reg::in_cs(6), 0x01);
    poke(reg::out_cs(4), 0x01);
    EXPECT_TRUE(chip.in_stalled(6));
    EXPECT_TRUE(chip.out_stalled(4));
    poke(reg::in_cs(6), 0x00);
    EXPECT_FALSE(chip.in_stalled(6));
}

struct VectorCase {
    const char* name;
    std::uint8_t usbien, in07ien, out07ien;
    void (*raise)(EzUsbChip&);
    bool interrupt;
    std::uint8_t ivec;
};

const VectorCase VECTORS[] = {
    {"SETUP with SUDAV enabled", 0x01, 0, 0,
     [](EzUsbChip& c) {
         c.setup({0x80, 6, 0x0100, 0, 18});
     },
     true, 0x00},
    {"SETUP with SUTOK only", 0x04, 0, 0,
     [](EzUsbChip& c) {
         c.setup({0x80, 6, 0x0100, 0, 18});
     },
     true, 0x08},
    {"SETUP with nothing enabled", 0x00, 0, 0,
     [](EzUsbChip& c) {
         c.setup({0x80, 6, 0x0100, 0, 18});
     },
     false, 0x00},
    {"bus reset", 0x10, 0, 0, [](EzUsbChip& c) { c.bus_reset(); }, true, 0x10},
    {"EP2 OUT packet", 0, 0, 0x04,
     [](EzUsbChip& c) {
         const std::uint8_t b[1] = {0};
         c.out_packet(2, b);
     },
     true, 0x2C},
    {"EP6 OUT packet not enabled", 0, 0, 0x04,
     [](EzUsbChip& c) {
         const std::uint8_t b[1] = {0};
         c.out_packet(6, b);
     },
     false, 0x00},
};

TEST_F(Chip, RequestsRaiseTheUsbInterruptAndGiveTheirVector) {
    for (const VectorCase& v : VECTORS) {
        SCOPED_TRACE(v.name);
        EzUsbChip fresh(&wiring);
        const std::uint8_t run[1] = {0};
        ASSERT_TRUE(fresh.load_write(reg::CPUCS, run));
        // Enable through the firmware's own writes, autovector on, then read IVEC.
        const std::uint8_t program[] = {0x90, 0x7F, 0xAE, 0x74, v.usbien,   0xF0,  // USBIEN
                                        0x90, 0x7F, 0xAC, 0x74, v.in07ien,  0xF0,  // IN07IEN
                                        0x90, 0x7F, 0xAD, 0x74, v.out07ien, 0xF0,  // OUT07IEN
                                        0x90, 0x7F, 0xAF, 0x74, 0x01,       0xF0,  // USBBAV
                                        0x90, 0x7F, 0xA8, 0xE0};                   // IVEC
        ASSERT_TRUE(fresh.load_write(SCRATCH, program));
        fresh.cpu().set_pc(SCRATCH);
        for (int i = 0; i < 12; ++i)
            fresh.cpu().step();
        v.raise(fresh);
        EXPECT_EQ((fresh.cpu().sfr(sfr::EXIF) & 0x10) != 0, v.interrupt);
        fresh.cpu().step();
        fresh.cpu().step();  // MOV DPTR,#IVEC; MOVX A,@DPTR
        EXPECT_EQ(fresh.cpu().acc(), v.ivec);
    }
}

TEST_F(Chip, ClearingOneRequestRaisesAgainForAnotherStillPending) {
    poke(reg::USBIEN, 0x05);  // SUDAV and SUTOK
    chip.setup({0x80, 6, 0x0100, 0, 18});
    chip.cpu().set_sfr(sfr::EXIF, 0x00);
    poke(reg::USBIRQ, 0x01);  // SUDAV served, SUTOK still pending
    EXPECT_TRUE(usb_interrupt_flag());
    chip.cpu().set_sfr(sfr::EXIF, 0x00);
    poke(reg::USBIRQ, 0x04);
    EXPECT_FALSE(usb_interrupt_flag());
}

struct PointerCase {
    const char* name;
    std::vector<std::uint8_t> descriptor;
    std::uint16_t length;              // the host's wLength
    std::vector<std::size_t> packets;  // sizes the host receives
};

const PointerCase POINTERS[] = {
    {"device descriptor: its first byte", {18, 1, 0x10, 0x01}, 255, {18}},
    {"host asks for less", {18, 1, 0x10, 0x01}, 8, {8}},
    {"configuration: its total length", {9, 2, 74, 0}, 255, {64, 10}},
    {"configuration header only", {9, 2, 74, 0}, 9, {9}},
};

TEST_F(Chip, DescriptorPointerSendsFromRam) {
    for (const PointerCase& c : POINTERS) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> ram(128);
        std::copy(c.descriptor.begin(), c.descriptor.end(), ram.begin());
        for (std::size_t i = c.descriptor.size(); i < ram.size(); ++i)
            ram[i] = static_cast<std::uint8_t>(i);
        ASSERT_TRUE(chip.load_write(0x0800, ram));
        chip.setup({0x80, 6, 0x0100, 0, c.length});
        EXPECT_EQ(chip.ep0_in(std::span<std::uint8_t, PACKET_SIZE>(ram.data(), PACKET_SIZE)), -1)
            << "nothing before the firmware points at a descriptor";
        poke(reg::SUDPTRH, 0x08);
        poke(reg::SUDPTRL, 0x00);
        std::array<std::uint8_t, PACKET_SIZE> packet{};
        std::size_t offset = 0;
        for (const std::size_t expected : c.packets) {
            const int n = chip.ep0_in(packet);
            ASSERT_EQ(n, static_cast<int>(expected));
            for (int i = 0; i < n; ++i)
                EXPECT_EQ(packet[i], ram[offset + i]);
            offset += expected;
        }
    }
}

TEST_F(Chip, ControlHandshakeAndStall) {
    chip.setup({0x00, 9, 1, 0, 0});
    EXPECT_TRUE(chip.ep0_handshake_pending());
    EXPECT_EQ(peek(reg::SETUPDAT + 1), 9);
    EXPECT_EQ(peek(reg::EP0CS) & 0x02, 0x02);
    poke(reg::EP0CS, 0x02);
    EXPECT_FALSE(chip.ep0_handshake_pending());
    EXPECT_FALSE(chip.ep0_stalled());
    chip.setup({0x00, 9, 1, 0, 0});
    poke(reg::EP0CS, 0x03);
    EXPECT_TRUE(chip.ep0_stalled());
    chip.setup({0x80, 8, 0, 0, 1});
    EXPECT_FALSE(chip.ep0_stalled()) << "a SETUP clears the stall";
    poke(reg::in_buf(0), 0x01);
    poke(reg::IN0BC, 1);
    std::array<std::uint8_t, PACKET_SIZE> packet{};
    EXPECT_EQ(chip.ep0_in(packet), 1);
    EXPECT_EQ(packet[0], 0x01);
    EXPECT_EQ(chip.ep0_in(packet), -1);
}

TEST(ChipPower, CpucsHoldsAndRestartsTheCore) {
    EzUsbChip chip;
    EXPECT_TRUE(chip.held_in_reset()) << "held at power-on";
    const std::uint8_t code[] = {0x80, 0xFE};  // SJMP $ at address 0
    ASSERT_TRUE(chip.load_write(0, code));
    const std::uint64_t before = chip.now();
    chip.run_until(before + 1000);
    EXPECT_EQ(chip.cpu().instructions(), 0u) << "time passes, nothing runs";
    EXPECT_EQ(chip.now(), before + 1000);
    const std::uint8_t run[1] = {0};
    const std::uint8_t hold[1] = {1};
    ASSERT_TRUE(chip.load_write(reg::CPUCS, run));
    chip.cpu().set_pc(0x0100);
    ASSERT_TRUE(chip.load_write(reg::CPUCS, run));
    EXPECT_EQ(chip.cpu().pc(), 0x0100) << "run while running is no restart";
    ASSERT_TRUE(chip.load_write(reg::CPUCS, hold));
    ASSERT_TRUE(chip.load_write(reg::CPUCS, run));
    EXPECT_EQ(chip.cpu().pc(), 0x0000) << "released from reset: starts at 0";
    chip.run_until(chip.now() + 30);
    EXPECT_EQ(chip.cpu().instructions(), 10u);
}

TEST_F(Chip, FirmwareCannotResetItselfAndReadsTheRevision) {
    poke(reg::CPUCS, 0x03);
    EXPECT_FALSE(chip.held_in_reset());
    EXPECT_EQ(peek(reg::CPUCS) & 0x03, 0x02) << "only the clock output bit is written";
    EXPECT_NE(peek(reg::CPUCS) & 0xF0, 0) << "the chip revision";
}

TEST(ChipLoad, StaysInsideTheLoadableRam) {
    EzUsbChip chip;
    const std::uint8_t one[1] = {0x11};
    const std::uint8_t two[2] = {0x11, 0x22};
    EXPECT_TRUE(chip.load_write(LOAD_LIMIT, one));
    EXPECT_FALSE(chip.load_write(LOAD_LIMIT, two));
    EXPECT_FALSE(chip.load_write(LOAD_LIMIT + 1, one));
    EXPECT_FALSE(chip.load_write(0x7F96, one)) << "registers other than CPUCS are not loadable";
    std::uint8_t back[1] = {};
    EXPECT_TRUE(chip.load_read(LOAD_LIMIT, back));
    EXPECT_EQ(back[0], 0x11);
    std::uint8_t back_two[2] = {};
    EXPECT_FALSE(chip.load_read(LOAD_LIMIT, back_two));
}

TEST_F(Chip, DisconnectAndRenumerate) {
    EXPECT_TRUE(chip.connected());
    EXPECT_FALSE(chip.renumerated());
    const std::uint32_t first = chip.connection();
    poke(reg::USBCS, 0x0A);  // RENUM and DISCON
    EXPECT_FALSE(chip.connected());
    EXPECT_TRUE(chip.renumerated());
    EXPECT_EQ(chip.connection(), first + 1);
    poke(reg::USBCS, 0x06);  // RENUM and DISCOE
    EXPECT_TRUE(chip.connected());
    EXPECT_EQ(chip.connection(), first + 1);
    poke(reg::USBCS, 0x02);  // DISCOE clear floats the pin: also off the bus
    EXPECT_FALSE(chip.connected());
    EXPECT_EQ(chip.connection(), first + 2);
}

TEST_F(Chip, PortsShowOutputsAndInputs) {
    wiring.inputs = 0x09;  // TDO and power high
    poke(reg::OEC, 0x06);
    poke(reg::OUTC, 0x02);
    poke(reg::OUTC, 0x02);  // no change: not reported again
    ASSERT_EQ(wiring.changes.size(), 2u);
    EXPECT_EQ(wiring.changes.back().port, Port::C);
    EXPECT_EQ(wiring.changes.back().out, 0x02);
    EXPECT_EQ(wiring.changes.back().enable, 0x06);
    EXPECT_EQ(peek(reg::PINSC), 0x0B);
    EXPECT_EQ(peek(reg::OUTC), 0x02);
    poke(reg::OEA, 0x20);
    EXPECT_EQ(wiring.changes.back().port, Port::A);
    EXPECT_EQ(peek(reg::PINSA), 0x00);
}

}  // namespace
}  // namespace oscset::sim::mcs51

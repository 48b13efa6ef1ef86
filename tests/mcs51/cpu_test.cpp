// The core's instructions one by one: results, flags, addressing modes and machine cycles.

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "sim/mcs51/cpu.hpp"

namespace oscset::sim::mcs51 {
namespace {

using Bytes = std::vector<std::pair<std::uint16_t, std::uint8_t>>;

constexpr std::uint16_t DEVICE_BASE = 0x7F00;

struct Given {
    std::uint8_t a = 0;
    std::uint8_t psw = 0;
    std::uint8_t b = 0;
    Bytes iram = {};  // also the registers: bank 0 is 0x00..0x07
    Bytes sfr = {};
    Bytes xram = {};  // plain RAM below DEVICE_BASE, the device registers above
};

struct Expect {
    std::optional<std::uint8_t> a = {};
    std::optional<std::uint8_t> psw = {};  // as read, with the parity bit
    std::optional<std::uint8_t> b = {};
    std::optional<std::uint16_t> pc = {};
    std::optional<std::uint32_t> cycles = {};  // of all the steps together
    Bytes iram = {};
    Bytes sfr = {};
    Bytes xram = {};
};

struct Case {
    const char* name;
    std::vector<std::uint8_t> code;  // at address 0x0100 (room below for jumps back)
    Given given;
    int steps;
    Expect expect;
};

constexpr std::uint16_t ORIGIN = 0x0100;

// Records the device side of MOVX.
struct Device : XdataDevice {
    std::uint8_t registers[0x100] = {};
    std::uint8_t xdata_read(std::uint16_t a) override { return registers[a - DEVICE_BASE]; }
    void xdata_write(std::uint16_t a, std::uint8_t v) override { registers[a - DEVICE_BASE] = v; }
};

struct Machine {
    std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(MEMORY_SIZE, 0);
    Device device;
    Cpu cpu{memory.data(), &device, DEVICE_BASE};
};

// clang-format off
const Case CASES[] = {
    // Arithmetic and its flags (PSW: CY 0x80, AC 0x40, OV 0x04, P 0x01).
    {"add signed overflow and half carry", {0x24, 0x01}, {.a = 0x7F}, 1, {.a = 0x80, .psw = 0x45, .cycles = 2}},
    {"add carry out", {0x24, 0x01}, {.a = 0xFF}, 1, {.a = 0x00, .psw = 0xC0}},
    {"addc takes the carry", {0x34, 0x00}, {.a = 0xFF, .psw = 0x80}, 1, {.a = 0x00, .psw = 0xC0}},
    {"add a,r3 in bank 2", {0x2B}, {.a = 0x10, .psw = 0x10, .iram = {{0x13, 0x22}, {0x03, 0x99}}}, 1, {.a = 0x32, .psw = 0x11, .cycles = 1}},
    {"add a,@r1 in upper internal RAM", {0x27}, {.a = 0x01, .iram = {{0x01, 0xC0}, {0xC0, 0x02}}}, 1, {.a = 0x03, .psw = 0x00, .cycles = 1}},
    {"add a,direct reads an SFR", {0x25, 0xF0}, {.a = 0x81, .b = 0x81}, 1, {.a = 0x02, .psw = 0x85}},
    {"subb borrow without signed overflow", {0x94, 0x7F}, {.a = 0x00, .psw = 0x80}, 1, {.a = 0x80, .psw = 0xC1}},
    {"subb signed overflow", {0x94, 0x01}, {.a = 0x80}, 1, {.a = 0x7F, .psw = 0x45}},
    {"subb a,r2 with borrow in", {0x9A}, {.a = 0x10, .psw = 0x80, .iram = {{0x02, 0x33}}}, 1, {.a = 0xDC, .psw = 0xC1}},
    {"da after a half carry", {0xD4}, {.a = 0x41, .psw = 0x40}, 1, {.a = 0x47, .psw = 0x40, .cycles = 1}},
    {"da with carry out", {0xD4}, {.a = 0x9A}, 1, {.a = 0x00, .psw = 0x80}},
    {"da keeps a carry that was set", {0xD4}, {.a = 0x12, .psw = 0x80}, 1, {.a = 0x72, .psw = 0x80}},
    {"mul overflow", {0xA4}, {.a = 0x80, .psw = 0x80, .b = 0x04}, 1, {.a = 0x00, .psw = 0x04, .b = 0x02, .cycles = 5}},
    {"mul small", {0xA4}, {.a = 0x0C, .b = 0x0B}, 1, {.a = 0x84, .psw = 0x00, .b = 0x00}},
    {"div", {0x84}, {.a = 0xFB, .psw = 0x80, .b = 0x12}, 1, {.a = 0x0D, .psw = 0x01, .b = 0x11, .cycles = 5}},
    {"div by zero sets OV", {0x84}, {.a = 0x10, .b = 0x00}, 1, {.psw = 0x05}},
    {"inc and dec wrap without flags", {0x04, 0x14, 0x14}, {.a = 0xFF, .psw = 0xC4}, 3, {.a = 0xFE, .psw = 0xC5, .cycles = 3}},
    {"inc direct, dec @r0", {0x05, 0x40, 0x16}, {.iram = {{0x40, 0xFF}, {0x00, 0x41}, {0x41, 0x00}}}, 2,
     {.cycles = 3, .iram = {{0x40, 0x00}, {0x41, 0xFF}}}},
    // Rotates and logic.
    {"rl, rr", {0x23, 0x23, 0x03}, {.a = 0x81}, 3, {.a = 0x03}},
    {"rlc through carry", {0x33}, {.a = 0x80, .psw = 0x00}, 1, {.a = 0x00, .psw = 0x80}},
    {"rrc through carry", {0x13}, {.a = 0x01, .psw = 0x80}, 1, {.a = 0x80, .psw = 0x81}},
    {"swap then cpl", {0xC4, 0xF4}, {.a = 0x1E}, 2, {.a = 0x1E}},
    {"orl/anl/xrl immediate", {0x44, 0x0F, 0x54, 0x3C, 0x64, 0xFF}, {.a = 0x80}, 3, {.a = 0xF3, .cycles = 6}},
    {"orl direct,#imm on internal RAM", {0x43, 0x30, 0x81}, {.iram = {{0x30, 0x10}}}, 1, {.cycles = 3, .iram = {{0x30, 0x91}}}},
    {"xrl direct,a on an SFR", {0x62, 0xF0}, {.a = 0x0F, .b = 0xFF}, 1, {.b = 0xF0, .cycles = 2}},
    {"anl a,@r0", {0x56}, {.a = 0xF0, .iram = {{0x00, 0x50}, {0x50, 0x3C}}}, 1, {.a = 0x30}},
    {"parity follows A, not PSW writes", {0x75, 0xD0, 0x00}, {.a = 0x01}, 1, {.psw = 0x01}},
    // Moves and addressing.
    {"mov dir,dir takes the source first", {0x85, 0x30, 0x31}, {.iram = {{0x30, 0xAB}}}, 1, {.cycles = 3, .iram = {{0x31, 0xAB}}}},
    {"mov @r1,#imm and mov dir,@r1", {0x77, 0x5A, 0x87, 0x32}, {.iram = {{0x01, 0xF0}}}, 2, {.cycles = 4, .iram = {{0xF0, 0x5A}, {0x32, 0x5A}}}},
    {"mov @r0,dir", {0xA6, 0xF0}, {.b = 0x66, .iram = {{0x00, 0x90}}}, 1, {.iram = {{0x90, 0x66}}}},
    {"mov rn,dir and mov dir,rn", {0xAD, 0x30, 0x8D, 0x31}, {.iram = {{0x30, 0x12}}}, 2, {.cycles = 4, .iram = {{0x05, 0x12}, {0x31, 0x12}}}},
    {"xch a,rn", {0xCA}, {.a = 0x11, .iram = {{0x02, 0x22}}}, 1, {.a = 0x22, .iram = {{0x02, 0x11}}}},
    {"xch a,@ri and xchd", {0xC7, 0xD7}, {.a = 0x12, .iram = {{0x01, 0x70}, {0x70, 0x34}}}, 2, {.a = 0x32, .iram = {{0x70, 0x14}}}},
    {"xch a,dir", {0xC5, 0xF0}, {.a = 0x01, .b = 0x02}, 1, {.a = 0x02, .b = 0x01, .cycles = 2}},
    {"push and pop", {0xC0, 0xF0, 0xD0, 0x30}, {.b = 0x77, .sfr = {{sfr::SP, 0x40}}}, 2,
     {.cycles = 4, .iram = {{0x41, 0x77}, {0x30, 0x77}}, .sfr = {{sfr::SP, 0x40}}}},
    {"mov dptr and inc dptr across a byte", {0x90, 0x12, 0xFF, 0xA3}, {}, 2, {.cycles = 6, .sfr = {{sfr::DPL0, 0x00}, {sfr::DPH0, 0x13}}}},
    {"inc dptr wraps", {0xA3}, {.sfr = {{sfr::DPL0, 0xFF}, {sfr::DPH0, 0xFF}}}, 1, {.sfr = {{sfr::DPL0, 0x00}, {sfr::DPH0, 0x00}}}},
    {"dps 1 selects the second pointer", {0x90, 0xAB, 0xCD}, {.sfr = {{sfr::DPS, 0x01}, {sfr::DPL0, 0x11}}}, 1,
     {.sfr = {{sfr::DPL1, 0xCD}, {sfr::DPH1, 0xAB}, {sfr::DPL0, 0x11}, {sfr::DPH0, 0x00}}}},
    {"inc dps toggles", {0x05, 0x86, 0x05, 0x86, 0x05, 0x86}, {}, 3, {.sfr = {{sfr::DPS, 0x01}}}},
    {"movx @dptr takes 3 cycles at reset", {0xF0}, {.a = 0x5A, .sfr = {{sfr::DPL0, 0x00}, {sfr::DPH0, 0x20}}}, 1,
     {.cycles = 3, .xram = {{0x2000, 0x5A}}}},
    {"movx stretch 0: 2 cycles", {0xE0}, {.sfr = {{sfr::CKCON, 0x00}, {sfr::DPH0, 0x20}}, .xram = {{0x2000, 0x3C}}}, 1, {.a = 0x3C, .cycles = 2}},
    {"movx stretch 7: 9 cycles", {0xE0}, {.sfr = {{sfr::CKCON, 0x07}}}, 1, {.cycles = 9}},
    {"movx @r1 pages with MPAGE", {0xF3, 0xE2}, {.a = 0x77, .iram = {{0x00, 0x10}, {0x01, 0x10}}, .sfr = {{sfr::MPAGE, 0x7F}, {sfr::CKCON, 0x00}}},
     2, {.a = 0x77, .cycles = 4, .xram = {{0x7F10, 0x77}}}},
    {"movx reaches the device from its base", {0xE0}, {.sfr = {{sfr::DPL0, 0x98}, {sfr::DPH0, 0x7F}}, .xram = {{0x7F98, 0xC3}}}, 1, {.a = 0xC3}},
    {"movc a,@a+dptr", {0x93}, {.a = 0x02, .sfr = {{sfr::DPH0, 0x30}}, .xram = {{0x3002, 0x9D}}}, 1, {.a = 0x9D, .cycles = 3}},
    {"movc a,@a+pc", {0x83, 0x00, 0x42}, {.a = 0x01}, 1, {.a = 0x42, .pc = ORIGIN + 1, .cycles = 3}},
    // Bits.
    {"setb, clr, cpl in the bit area", {0xD2, 0x07, 0xD2, 0x08, 0xB2, 0x07, 0xC2, 0x08}, {}, 4, {.cycles = 8, .iram = {{0x20, 0x00}, {0x21, 0x00}}}},
    {"setb bit 0x0F", {0xD2, 0x0F}, {}, 1, {.iram = {{0x21, 0x80}}}},
    {"mov c,bit of ACC and mov bit,c into B", {0xA2, 0xE7, 0x92, 0xF0}, {.a = 0x80}, 2, {.psw = 0x81, .b = 0x01, .cycles = 4}},
    {"anl c,/bit and orl c,bit", {0xB0, 0x00, 0x72, 0x01}, {.psw = 0x80, .iram = {{0x20, 0x03}}}, 2, {.psw = 0x80, .cycles = 4}},
    {"jbc clears the bit and jumps", {0x10, 0x00, 0x05}, {.iram = {{0x20, 0x01}}}, 1, {.pc = ORIGIN + 8, .cycles = 4, .iram = {{0x20, 0x00}}}},
    {"jbc on a clear bit falls through", {0x10, 0x00, 0x05}, {}, 1, {.pc = ORIGIN + 3}},
    {"cpl bit of PSW keeps parity", {0xB2, 0xD5}, {.a = 0x01}, 1, {.psw = 0x21}},
    // Jumps and calls.
    {"sjmp back to itself", {0x80, 0xFE}, {}, 5, {.pc = ORIGIN, .cycles = 15}},
    {"sjmp backwards across the page", {0x80, 0x80}, {}, 1, {.pc = ORIGIN + 2 - 128}},
    {"ajmp inside the 2K page", {0xE1, 0x23}, {}, 1, {.pc = 0x0723, .cycles = 3}},
    {"ljmp", {0x02, 0x12, 0x34}, {}, 1, {.pc = 0x1234, .cycles = 4}},
    {"jmp @a+dptr", {0x73}, {.a = 0x10, .sfr = {{sfr::DPL0, 0xF8}, {sfr::DPH0, 0x00}}}, 1, {.pc = 0x0108, .cycles = 3}},
    {"lcall pushes the low byte first", {0x12, 0x20, 0x00}, {.sfr = {{sfr::SP, 0x07}}}, 1,
     {.pc = 0x2000, .cycles = 4, .iram = {{0x08, 0x03}, {0x09, 0x01}}, .sfr = {{sfr::SP, 0x09}}}},
    {"acall and ret", {0x11, 0x10}, {.xram = {{0x0010, 0x22}}}, 2, {.pc = ORIGIN + 2, .cycles = 7, .sfr = {{sfr::SP, 0x07}}}},
    {"cjne a,#imm jumps and sets CY when below", {0xB4, 0x45, 0x02}, {.a = 0x44}, 1, {.psw = 0x80, .pc = ORIGIN + 5, .cycles = 4}},
    {"cjne a,#imm equal falls through", {0xB4, 0x44, 0x02}, {.a = 0x44, .psw = 0x80}, 1, {.psw = 0x00, .pc = ORIGIN + 3}},
    {"cjne @r0 above clears CY", {0xB6, 0x01, 0x00}, {.psw = 0x80, .iram = {{0x00, 0x30}, {0x30, 0x02}}}, 1, {.psw = 0x00}},
    {"cjne r7", {0xBF, 0x09, 0x10}, {.iram = {{0x07, 0x08}}}, 1, {.psw = 0x80, .pc = ORIGIN + 0x13}},
    {"cjne a,dir", {0xB5, 0xF0, 0x00}, {.a = 0x05, .b = 0x05}, 1, {.psw = 0x00, .pc = ORIGIN + 3}},
    {"djnz rn loop", {0x7A, 0x03, 0xDA, 0xFE}, {}, 4, {.pc = ORIGIN + 4, .cycles = 2 + 3 * 3, .iram = {{0x02, 0x00}}}},
    {"djnz dir loop", {0xD5, 0x30, 0xFD}, {.iram = {{0x30, 0x02}}}, 2, {.pc = ORIGIN + 3, .cycles = 8}},
    {"jz, jnz, jc, jnc", {0x60, 0x01, 0x00, 0x70, 0x01, 0x40, 0x01, 0x00, 0x50, 0x01}, {.a = 0x00, .psw = 0x80}, 4, {.pc = ORIGIN + 10, .cycles = 12}},
    {"jb, jnb", {0x20, 0xE0, 0x00, 0x30, 0xE0, 0x01}, {.a = 0x01}, 2, {.pc = ORIGIN + 6, .cycles = 8}},
    {"undefined opcode runs as a one-cycle no-op", {0xA5}, {}, 1, {.pc = ORIGIN + 1, .cycles = 1}},
};
// clang-format on

class Instruction : public ::testing::TestWithParam<Case> {};

TEST_P(Instruction, GivesResultsFlagsAndCycles) {
    const Case& c = GetParam();
    Machine m;
    std::copy(c.code.begin(), c.code.end(), m.memory.begin() + ORIGIN);
    for (auto [a, v] : c.given.xram) {
        if (a >= DEVICE_BASE) {
            m.device.registers[a - DEVICE_BASE] = v;
        } else {
            m.memory[a] = v;
        }
    }
    m.cpu.set_pc(ORIGIN);
    m.cpu.set_sfr(sfr::ACC, c.given.a);
    m.cpu.set_sfr(sfr::PSW, c.given.psw);
    m.cpu.set_sfr(sfr::B, c.given.b);
    for (auto [a, v] : c.given.iram)
        m.cpu.set_iram(static_cast<std::uint8_t>(a), v);
    for (auto [a, v] : c.given.sfr)
        m.cpu.set_sfr(static_cast<std::uint8_t>(a), v);

    std::uint32_t cycles = 0;
    for (int i = 0; i < c.steps; ++i)
        cycles += m.cpu.step();

    const Expect& e = c.expect;
    EXPECT_EQ(m.cpu.acc(), e.a.value_or(m.cpu.acc())) << "A";
    EXPECT_EQ(m.cpu.psw(), e.psw.value_or(m.cpu.psw())) << "PSW";
    EXPECT_EQ(m.cpu.b(), e.b.value_or(m.cpu.b())) << "B";
    EXPECT_EQ(m.cpu.pc(), e.pc.value_or(m.cpu.pc())) << "PC";
    EXPECT_EQ(cycles, e.cycles.value_or(cycles)) << "cycles";
    EXPECT_EQ(m.cpu.cycles(), cycles) << "step() returns what cycles() counts";
    for (auto [a, v] : e.iram)
        EXPECT_EQ(m.cpu.iram(static_cast<std::uint8_t>(a)), v) << "IRAM 0x" << std::hex << a;
    for (auto [a, v] : e.sfr)
        EXPECT_EQ(m.cpu.sfr(static_cast<std::uint8_t>(a)), v) << "SFR 0x" << std::hex << a;
    for (auto [a, v] : e.xram) {
        const std::uint8_t got =
            a >= DEVICE_BASE ? m.device.registers[a - DEVICE_BASE] : m.memory[a];
        EXPECT_EQ(got, v) << "XDATA 0x" << std::hex << a;
    }
    EXPECT_EQ(m.cpu.illegal_opcode_seen(), c.code[0] == 0xA5);
}

INSTANTIATE_TEST_SUITE_P(Table, Instruction, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             }
                             return name;
                         });

// The USB interrupt: EXIF.4 with EIE.0 and EA; vector 0x43; RETI lets one instruction run
// before the next entry; a low-level handler is not re-entered; a high one preempts it.
constexpr std::uint16_t MAIN = 0x0234;

struct InterruptMachine : Machine {
    int autovector = -1;
    struct Vectoring : XdataDevice {
        InterruptMachine* m = nullptr;
        std::uint8_t xdata_read(std::uint16_t) override { return 0; }
        void xdata_write(std::uint16_t, std::uint8_t) override {}
        int usb_autovector() override { return m->autovector; }
    } vectoring;
    Cpu core{memory.data(), &vectoring, DEVICE_BASE};
    InterruptMachine() {
        vectoring.m = this;
        memory[0x0043] = 0x02;  // LJMP 0x0200
        memory[0x0044] = 0x02;
        memory[0x0045] = 0x00;
        memory[0x0200] = 0x32;  // RETI
        memory[0x0300] = 0x32;
        core.set_pc(MAIN);  // NOPs from there
        core.set_sfr(sfr::SP, 0x30);
    }
    void enable(bool ea, bool eusb, bool high = false) {
        core.set_sfr(sfr::IE, ea ? 0x80 : 0x00);
        core.set_sfr(sfr::EIE, eusb ? 0x01 : 0x00);
        core.set_sfr(sfr::EIP, high ? 0x01 : 0x00);
        core.step();  // a write to the enables lets one instruction run first
    }
};

TEST(UsbInterrupt, EntersTheVectorOnlyWhenEnabled) {
    struct Row {
        bool ea, eusb;
        bool taken;
    };
    for (const Row row :
         {Row{true, true, true}, Row{false, true, false}, Row{true, false, false}}) {
        InterruptMachine m;
        m.enable(row.ea, row.eusb);
        m.core.raise_usb_interrupt();
        const std::uint32_t cycles = m.core.step();
        if (row.taken) {
            EXPECT_EQ(m.core.pc(), 0x0043);
            EXPECT_EQ(cycles, 4u);
            EXPECT_EQ(m.core.sp(), 0x32);
            EXPECT_EQ(m.core.iram(0x31), 0x35);  // the return address, low byte first
            EXPECT_EQ(m.core.iram(0x32), 0x02);
        } else {
            EXPECT_EQ(m.core.pc(), MAIN + 2);
        }
        EXPECT_TRUE(m.core.sfr(sfr::EXIF) & 0x10) << "software clears EXIF.4";
    }
}

TEST(UsbInterrupt, RetiRunsOneInstructionBeforeTheNextEntry) {
    InterruptMachine m;
    m.enable(true, true);
    m.core.raise_usb_interrupt();
    m.core.step();  // enter
    m.core.step();  // LJMP 0x0200
    EXPECT_EQ(m.core.pc(), 0x0200);
    m.core.step();  // RETI; EXIF.4 is still set
    EXPECT_EQ(m.core.pc(), MAIN + 1);
    m.core.step();  // one instruction of the main program
    EXPECT_EQ(m.core.pc(), MAIN + 2);
    m.core.step();  // then the handler again
    EXPECT_EQ(m.core.pc(), 0x0043);
}

TEST(UsbInterrupt, LowLevelHandlerIsNotReentered) {
    InterruptMachine m;
    m.enable(true, true);
    m.core.raise_usb_interrupt();
    m.core.step();            // enter, at 0x43
    m.core.step();            // LJMP 0x0200
    m.memory[0x0200] = 0x00;  // the handler runs on instead of returning
    m.core.step();
    EXPECT_EQ(m.core.pc(), 0x0201) << "a pending request waits for RETI";
}

TEST(UsbInterrupt, AutovectorReplacesTheLowAddressByte) {
    InterruptMachine m;
    m.autovector = 0x2C;  // EP2 OUT
    m.memory[0x022C] = 0x00;
    m.enable(true, true);
    m.core.raise_usb_interrupt();
    const std::uint32_t cycles = m.core.step();
    EXPECT_EQ(m.core.pc(), 0x022C);
    EXPECT_EQ(cycles, 8u) << "the hardware call and the LJMP at the vector";
}

TEST(Reset, RestoresSfrsAndKeepsInternalRam) {
    Machine m;
    m.cpu.set_iram(0x40, 0x99);
    m.cpu.set_sfr(sfr::SP, 0x60);
    m.cpu.set_sfr(sfr::DPS, 1);
    m.cpu.set_sfr(sfr::CKCON, 0);
    m.cpu.set_pc(0x1234);
    m.cpu.reset();
    EXPECT_EQ(m.cpu.pc(), 0);
    EXPECT_EQ(m.cpu.sp(), 0x07);
    EXPECT_EQ(m.cpu.sfr(sfr::DPS), 0);
    EXPECT_EQ(m.cpu.sfr(sfr::CKCON), 0x01);
    EXPECT_EQ(m.cpu.iram(0x40), 0x99);
}

TEST(Run, StopsAtTheCycleOrWhenStopped) {
    Machine m;
    m.memory[0] = 0x80;  // SJMP $
    m.memory[1] = 0xFE;
    m.cpu.run_until(30);
    EXPECT_EQ(m.cpu.cycles(), 30u);
    EXPECT_EQ(m.cpu.instructions(), 10u);
    m.cpu.stop();
    m.cpu.run_until(1000);
    EXPECT_EQ(m.cpu.cycles(), 30u) << "a stop before the run ends it at once";
    m.cpu.run_until(31);
    EXPECT_EQ(m.cpu.cycles(), 33u) << "the last instruction runs to its end";
}

}  // namespace
}  // namespace oscset::sim::mcs51

#pragma once
// The 8051 core of the EZ-USB AN21xx: the whole MCS-51 instruction set with the 4-clock
// machine cycles of this core, its dual data pointer (DPS), MPAGE for MOVX @Ri, the MOVX
// stretch of CKCON and the USB interrupt (INT2, EXIF.4) with two priority levels. Timers and
// serial ports are not modelled; their SFRs are plain storage.

#include <cstdint>

namespace oscset::sim::mcs51 {

inline constexpr std::uint32_t MEMORY_SIZE = 0x10000;

// SFR addresses that the core gives a meaning.
namespace sfr {
inline constexpr std::uint8_t SP = 0x81;
inline constexpr std::uint8_t DPL0 = 0x82;
inline constexpr std::uint8_t DPH0 = 0x83;
inline constexpr std::uint8_t DPL1 = 0x84;
inline constexpr std::uint8_t DPH1 = 0x85;
inline constexpr std::uint8_t DPS = 0x86;
inline constexpr std::uint8_t CKCON = 0x8E;
inline constexpr std::uint8_t EXIF = 0x91;
inline constexpr std::uint8_t MPAGE = 0x92;
inline constexpr std::uint8_t IE = 0xA8;
inline constexpr std::uint8_t IP = 0xB8;
inline constexpr std::uint8_t PSW = 0xD0;
inline constexpr std::uint8_t EICON = 0xD8;
inline constexpr std::uint8_t ACC = 0xE0;
inline constexpr std::uint8_t EIE = 0xE8;
inline constexpr std::uint8_t B = 0xF0;
inline constexpr std::uint8_t EIP = 0xF8;
}  // namespace sfr

// The peripheral side of the XDATA bus: every MOVX at or above the device's base address.
// Called from the core's thread, between two instructions' effects.
class XdataDevice {
  public:
    virtual std::uint8_t xdata_read(std::uint16_t address) = 0;
    virtual void xdata_write(std::uint16_t address, std::uint8_t value) = 0;
    // When the USB interrupt is entered: the byte that replaces the low address of the LJMP
    // at the vector (the chip's autovector), or -1 to run the vector as it stands.
    virtual int usb_autovector() { return -1; }

  protected:
    ~XdataDevice() = default;
};

class Cpu {
  public:
    // `memory` is the unified code and data RAM (MEMORY_SIZE bytes, owned by the caller):
    // instruction fetches, MOVC and MOVX below `device_base` all reach it.
    Cpu(std::uint8_t* memory, XdataDevice* device, std::uint16_t device_base);
    Cpu(const Cpu&) = delete;
    Cpu& operator=(const Cpu&) = delete;

    // The core's reset: PC 0 and the SFR reset values; internal RAM keeps its contents.
    void reset();

    // Executes one instruction, or enters a pending interrupt; returns the machine cycles.
    std::uint32_t step();
    // Executes until cycles() reaches `cycle` or stop() is called (by a device hook).
    void run_until(std::uint64_t cycle);
    void stop() { stop_ = true; }
    // Time passes without execution (the core held in reset).
    void idle(std::uint64_t cycles) { cycles_ += cycles; }

    // The USB core's interrupt request: sets EXIF.4, which stays set until software clears it.
    void raise_usb_interrupt();

    std::uint64_t cycles() const { return cycles_; }
    std::uint64_t instructions() const { return instructions_; }
    bool illegal_opcode_seen() const { return illegal_opcode_; }

    std::uint16_t pc() const { return pc_; }
    void set_pc(std::uint16_t pc) { pc_ = pc; }
    std::uint8_t acc() const { return sfr_[sfr::ACC - 0x80]; }
    std::uint8_t b() const { return sfr_[sfr::B - 0x80]; }
    std::uint8_t psw() const;  // with the parity bit
    std::uint8_t sp() const { return sfr_[sfr::SP - 0x80]; }
    std::uint16_t dptr(int which) const;
    std::uint8_t reg(int n) const { return iram_[bank() + (n & 7)]; }
    std::uint8_t iram(std::uint8_t address) const { return iram_[address]; }
    void set_iram(std::uint8_t address, std::uint8_t value) { iram_[address] = value; }
    // An SFR as a direct read or write by the program sees it (0x80..0xFF).
    std::uint8_t sfr(std::uint8_t address) const { return read_sfr(address); }
    void set_sfr(std::uint8_t address, std::uint8_t value) { write_sfr(address, value); }

  private:
    std::uint8_t bank() const { return sfr_[sfr::PSW - 0x80] & 0x18; }
    std::uint8_t& a() { return sfr_[sfr::ACC - 0x80]; }
    std::uint8_t& psw_ref() { return sfr_[sfr::PSW - 0x80]; }
    std::uint8_t& r(int n) { return iram_[bank() + n]; }
    bool carry() const { return (sfr_[sfr::PSW - 0x80] & 0x80) != 0; }
    void set_carry(bool c);

    std::uint8_t fetch() { return memory_[pc_++]; }
    std::uint8_t read_sfr(std::uint8_t address) const;
    void write_sfr(std::uint8_t address, std::uint8_t value);
    std::uint8_t read_direct(std::uint8_t address) const {
        return address < 0x80 ? iram_[address] : read_sfr(address);
    }
    void write_direct(std::uint8_t address, std::uint8_t value) {
        if (address < 0x80) {
            iram_[address] = value;
        } else {
            write_sfr(address, value);
        }
    }
    bool read_bit(std::uint8_t bit) const;
    void write_bit(std::uint8_t bit, bool value);
    std::uint8_t read_xdata(std::uint16_t address) {
        return address >= device_base_ ? device_->xdata_read(address) : memory_[address];
    }
    void write_xdata(std::uint16_t address, std::uint8_t value) {
        if (address >= device_base_) {
            device_->xdata_write(address, value);
        } else {
            memory_[address] = value;
        }
    }
    std::uint8_t dptr_low_sfr() const {
        return (sfr_[sfr::DPS - 0x80] & 1) ? sfr::DPL1 : sfr::DPL0;
    }
    std::uint16_t current_dptr() const;
    void set_current_dptr(std::uint16_t value);
    std::uint32_t movx_cycles() const { return 2u + (sfr_[sfr::CKCON - 0x80] & 7u); }

    void push(std::uint8_t value);
    std::uint8_t pop();
    // Pushes the return address (low byte first) and goes on at `target`.
    void call(std::uint16_t target);
    void return_from_call();
    // The operand of the A,<source> instructions, named by the opcode's low nibble: 4 #imm,
    // 5 a direct address, 6-7 @R0/@R1, 8-F R0-R7.
    std::uint8_t source(std::uint8_t op);
    void add(std::uint8_t value, bool with_carry);
    void subb(std::uint8_t value);
    void jump_relative(std::uint8_t offset) {
        pc_ = static_cast<std::uint16_t>(pc_ + static_cast<std::int8_t>(offset));
    }

    std::uint32_t execute();
    bool take_interrupt();

    std::uint8_t* memory_;
    XdataDevice* device_;
    std::uint16_t device_base_;
    std::uint8_t iram_[256] = {};
    std::uint8_t sfr_[128] = {};
    std::uint16_t pc_ = 0;
    std::uint64_t cycles_ = 0;
    std::uint64_t instructions_ = 0;
    bool stop_ = false;
    bool illegal_opcode_ = false;

    // Interrupts: levels in service (bit 0 low, bit 1 high); the request is looked at again
    // whenever something that bears on it changes; RETI and writes to the enable and
    // priority registers let one more instruction run first.
    std::uint8_t in_service_ = 0;
    bool interrupt_check_ = false;
    bool interrupt_hold_ = false;
};

}  // namespace oscset::sim::mcs51

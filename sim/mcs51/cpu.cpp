#include "sim/mcs51/cpu.hpp"

#include <array>

namespace oscset::sim::mcs51 {
namespace {

// Machine cycles per opcode on the 4-clock core. MOVX entries hold 2; the CKCON stretch is
// added when they run. MUL and DIV take 5 cycles on this core family.
constexpr std::array<std::uint8_t, 256> CYCLES = [] {
    std::array<std::uint8_t, 256> t{};
    // Columns 6..F: @Ri and Rn forms, same timing within a row.
    constexpr std::uint8_t INDIRECT[16] = {1, 1, 1, 1, 1, 1, 1, 2, 2, 1, 2, 4, 1, 1, 1, 1};
    constexpr std::uint8_t REGISTERS[16] = {1, 1, 1, 1, 1, 1, 1, 2, 2, 1, 2, 4, 1, 3, 1, 1};
    constexpr std::uint8_t COL0[16] = {1, 4, 4, 4, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2};
    constexpr std::uint8_t COL2[16] = {4, 4, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
    constexpr std::uint8_t COL3[16] = {1, 1, 1, 1, 3, 3, 3, 3, 3, 3, 3, 1, 1, 1, 2, 2};
    constexpr std::uint8_t COL4[16] = {1, 1, 2, 2, 2, 2, 2, 2, 5, 2, 5, 4, 1, 1, 1, 1};
    constexpr std::uint8_t COL5[16] = {2, 2, 2, 2, 2, 2, 2, 3, 3, 2, 1, 4, 2, 4, 2, 2};
    for (int hi = 0; hi < 16; ++hi) {
        t[hi * 16 + 0] = COL0[hi];
        t[hi * 16 + 1] = 3;  // AJMP / ACALL
        t[hi * 16 + 2] = COL2[hi];
        t[hi * 16 + 3] = COL3[hi];
        t[hi * 16 + 4] = COL4[hi];
        t[hi * 16 + 5] = COL5[hi];
        t[hi * 16 + 6] = INDIRECT[hi];
        t[hi * 16 + 7] = INDIRECT[hi];
        for (int lo = 8; lo < 16; ++lo)
            t[hi * 16 + lo] = REGISTERS[hi];
    }
    return t;
}();

constexpr std::array<std::uint8_t, 256> PARITY = [] {
    std::array<std::uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        int ones = 0;
        for (int b = 0; b < 8; ++b)
            ones += (i >> b) & 1;
        t[i] = static_cast<std::uint8_t>(ones & 1);
    }
    return t;
}();

constexpr std::uint8_t CY = 0x80;
constexpr std::uint8_t AC = 0x40;
constexpr std::uint8_t OV = 0x04;

constexpr std::uint8_t IE_EA = 0x80;
constexpr std::uint8_t EXIF_USBINT = 0x10;
constexpr std::uint8_t EIE_EUSB = 0x01;
constexpr std::uint8_t EIP_PUSB = 0x01;
constexpr std::uint16_t USB_VECTOR = 0x0043;
constexpr std::uint32_t INTERRUPT_ENTRY_CYCLES = 4;  // the hardware LCALL

constexpr int index(std::uint8_t sfr_address) {
    return sfr_address - 0x80;
}

}  // namespace

Cpu::Cpu(std::uint8_t* memory, XdataDevice* device, std::uint16_t device_base)
    : memory_(memory), device_(device), device_base_(device_base) {
    reset();
}

void Cpu::reset() {
    for (auto& s : sfr_)
        s = 0;
    sfr_[index(sfr::SP)] = 0x07;
    sfr_[index(sfr::CKCON)] = 0x01;  // one stretch cycle: MOVX takes 3 cycles until changed
    pc_ = 0;
    in_service_ = 0;
    interrupt_check_ = false;
    interrupt_hold_ = false;
    stop_ = false;
}

std::uint8_t Cpu::psw() const {
    return static_cast<std::uint8_t>((sfr_[index(sfr::PSW)] & 0xFE) | PARITY[acc()]);
}

std::uint16_t Cpu::dptr(int which) const {
    const int low = which ? index(sfr::DPL1) : index(sfr::DPL0);
    return static_cast<std::uint16_t>(sfr_[low] | (sfr_[low + 1] << 8));
}

std::uint16_t Cpu::current_dptr() const {
    const int low = index(dptr_low_sfr());
    return static_cast<std::uint16_t>(sfr_[low] | (sfr_[low + 1] << 8));
}

void Cpu::set_current_dptr(std::uint16_t value) {
    const int low = index(dptr_low_sfr());
    sfr_[low] = static_cast<std::uint8_t>(value);
    sfr_[low + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Cpu::set_carry(bool c) {
    std::uint8_t& p = psw_ref();
    p = static_cast<std::uint8_t>(c ? (p | CY) : (p & ~CY));
}

std::uint8_t Cpu::read_sfr(std::uint8_t address) const {
    const std::uint8_t value = sfr_[index(address)];
    switch (address) {
        case sfr::PSW:
            return psw();
        case sfr::DPS:
            return value & 0x01;  // only the select bit exists: INC DPS toggles
        case sfr::EXIF:
            return value | 0x08;
        case sfr::EICON:
            return value | 0x40;
        case sfr::EIE:
        case sfr::EIP:
            return value | 0xE0;
        default:
            return value;
    }
}

void Cpu::write_sfr(std::uint8_t address, std::uint8_t value) {
    switch (address) {
        case sfr::DPS:
            sfr_[index(address)] = value & 0x01;
            return;
        case sfr::IE:
        case sfr::IP:
        case sfr::EIE:
        case sfr::EIP:
            sfr_[index(address)] = value;
            interrupt_check_ = true;
            interrupt_hold_ = true;
            return;
        case sfr::EXIF:
            sfr_[index(address)] = value;
            interrupt_check_ = true;
            return;
        default:
            sfr_[index(address)] = value;
            return;
    }
}

bool Cpu::read_bit(std::uint8_t bit) const {
    const std::uint8_t address = bit < 0x80 ? static_cast<std::uint8_t>(0x20 + (bit >> 3))
                                            : static_cast<std::uint8_t>(bit & 0xF8);
    return (read_direct(address) >> (bit & 7)) & 1;
}

void Cpu::write_bit(std::uint8_t bit, bool value) {
    const std::uint8_t address = bit < 0x80 ? static_cast<std::uint8_t>(0x20 + (bit >> 3))
                                            : static_cast<std::uint8_t>(bit & 0xF8);
    const std::uint8_t mask = static_cast<std::uint8_t>(1u << (bit & 7));
    // Bit writes to SFRs read the latch, not a derived value: PSW keeps its stored bits.
    const std::uint8_t old = address < 0x80 ? iram_[address] : sfr_[index(address)];
    write_direct(address, static_cast<std::uint8_t>(value ? (old | mask) : (old & ~mask)));
}

void Cpu::push(std::uint8_t value) {
    std::uint8_t& sp = sfr_[index(sfr::SP)];
    ++sp;
    iram_[sp] = value;
}

std::uint8_t Cpu::pop() {
    std::uint8_t& sp = sfr_[index(sfr::SP)];
    const std::uint8_t value = iram_[sp];
    --sp;
    return value;
}

void Cpu::call(std::uint16_t target) {
    push(static_cast<std::uint8_t>(pc_));
    push(static_cast<std::uint8_t>(pc_ >> 8));
    pc_ = target;
}

void Cpu::return_from_call() {
    const std::uint8_t hi = pop();
    const std::uint8_t lo = pop();
    pc_ = static_cast<std::uint16_t>((hi << 8) | lo);
}

std::uint8_t Cpu::source(std::uint8_t op) {
    switch (op & 0x0F) {
        case 0x4:
            return fetch();
        case 0x5:
            return read_direct(fetch());
        case 0x6: case 0x7:
            return iram_[r(op & 1)];
        default:
            return r(op & 7);
    }
}

void Cpu::add(std::uint8_t value, bool with_carry) {
    const unsigned c = with_carry && carry() ? 1u : 0u;
    const unsigned x = a();
    const unsigned result = x + value + c;
    std::uint8_t p = psw_ref() & static_cast<std::uint8_t>(~(CY | AC | OV));
    if (result > 0xFF)
        p |= CY;
    if ((x & 0x0F) + (value & 0x0F) + c > 0x0F)
        p |= AC;
    if (((x ^ result) & (value ^ result) & 0x80) != 0)
        p |= OV;
    psw_ref() = p;
    a() = static_cast<std::uint8_t>(result);
}

void Cpu::subb(std::uint8_t value) {
    const unsigned c = carry() ? 1u : 0u;
    const unsigned x = a();
    const unsigned result = (x - value - c) & 0xFF;
    std::uint8_t p = psw_ref() & static_cast<std::uint8_t>(~(CY | AC | OV));
    if (x < value + c)
        p |= CY;
    if ((x & 0x0F) < (value & 0x0F) + c)
        p |= AC;
    if (((x ^ value) & (x ^ result) & 0x80) != 0)
        p |= OV;
    psw_ref() = p;
    a() = static_cast<std::uint8_t>(result);
}

void Cpu::raise_usb_interrupt() {
    sfr_[index(sfr::EXIF)] |= EXIF_USBINT;
    interrupt_check_ = true;
}

// The one interrupt source that this chip's firmware uses: INT2, the USB core.
bool Cpu::take_interrupt() {
    const bool requested = (sfr_[index(sfr::EXIF)] & EXIF_USBINT) &&
                           (sfr_[index(sfr::EIE)] & EIE_EUSB) && (sfr_[index(sfr::IE)] & IE_EA);
    if (!requested) {
        interrupt_check_ = false;
        return false;
    }
    const std::uint8_t level = (sfr_[index(sfr::EIP)] & EIP_PUSB) ? 0x02 : 0x01;
    // A high-level handler is never interrupted; a low one only by a high request.
    if ((in_service_ & 0x02) || (in_service_ & level))
        return false;
    in_service_ |= level;
    call(USB_VECTOR);
    cycles_ += INTERRUPT_ENTRY_CYCLES;
    const int vector = device_ ? device_->usb_autovector() : -1;
    if (vector >= 0 && memory_[USB_VECTOR] == 0x02) {
        // The core puts its vector byte in place of the LJMP's low address byte.
        pc_ = static_cast<std::uint16_t>((memory_[USB_VECTOR + 1] << 8) | (vector & 0xFF));
        cycles_ += CYCLES[0x02];
        ++instructions_;
    }
    return true;
}

std::uint32_t Cpu::step() {
    const std::uint64_t start = cycles_;
    if (interrupt_check_ && !interrupt_hold_ && take_interrupt()) {
        return static_cast<std::uint32_t>(cycles_ - start);
    }
    interrupt_hold_ = false;
    const std::uint32_t c = execute();
    cycles_ += c;
    ++instructions_;
    stop_ = false;  // a stop asked for during a single step has nothing left to end
    return static_cast<std::uint32_t>(cycles_ - start);
}

void Cpu::run_until(std::uint64_t cycle) {
    while (cycles_ < cycle && !stop_) {
        if (interrupt_check_ && !interrupt_hold_ && take_interrupt())
            continue;
        interrupt_hold_ = false;
        cycles_ += execute();
        ++instructions_;
    }
    stop_ = false;
}

std::uint32_t Cpu::execute() {
    // clang-format off
    const std::uint8_t op = fetch();
    std::uint32_t cycles = CYCLES[op];
    switch (op) {
        case 0x00:  // NOP
            break;
        case 0x01: case 0x21: case 0x41: case 0x61: case 0x81: case 0xA1: case 0xC1: case 0xE1: {
            const std::uint8_t low = fetch();  // AJMP
            pc_ = static_cast<std::uint16_t>((pc_ & 0xF800) | ((op & 0xE0) << 3) | low);
            break;
        }
        case 0x11: case 0x31: case 0x51: case 0x71: case 0x91: case 0xB1: case 0xD1: case 0xF1: {
            const std::uint8_t low = fetch();  // ACALL
            call(static_cast<std::uint16_t>((pc_ & 0xF800) | ((op & 0xE0) << 3) | low));
            break;
        }
        case 0x02: {  // LJMP
            const std::uint8_t hi = fetch();
            const std::uint8_t lo = fetch();
            pc_ = static_cast<std::uint16_t>((hi << 8) | lo);
            break;
        }
        case 0x12: {  // LCALL
            const std::uint8_t hi = fetch();
            const std::uint8_t lo = fetch();
            call(static_cast<std::uint16_t>((hi << 8) | lo));
            break;
        }
        case 0x22:  // RET
            return_from_call();
            break;
        case 0x32: {  // RETI
            return_from_call();
            in_service_ = (in_service_ & 0x02) ? (in_service_ & 0x01) : 0;
            interrupt_check_ = true;
            interrupt_hold_ = true;
            break;
        }
        case 0x03:  // RR A
            a() = static_cast<std::uint8_t>((a() >> 1) | (a() << 7));
            break;
        case 0x13: {  // RRC A
            const bool c = a() & 1;
            a() = static_cast<std::uint8_t>((a() >> 1) | (carry() ? 0x80 : 0));
            set_carry(c);
            break;
        }
        case 0x23:  // RL A
            a() = static_cast<std::uint8_t>((a() << 1) | (a() >> 7));
            break;
        case 0x33: {  // RLC A
            const bool c = a() & 0x80;
            a() = static_cast<std::uint8_t>((a() << 1) | (carry() ? 1 : 0));
            set_carry(c);
            break;
        }
        case 0x04:  // INC A
            ++a();
            break;
        case 0x14:  // DEC A
            --a();
            break;
        case 0x05: {  // INC dir
            const std::uint8_t d = fetch();
            write_direct(d, static_cast<std::uint8_t>(read_direct(d) + 1));
            break;
        }
        case 0x15: {  // DEC dir
            const std::uint8_t d = fetch();
            write_direct(d, static_cast<std::uint8_t>(read_direct(d) - 1));
            break;
        }
        case 0x06: case 0x07:  // INC @Ri
            ++iram_[r(op & 1)];
            break;
        case 0x16: case 0x17:  // DEC @Ri
            --iram_[r(op & 1)];
            break;
        case 0x08: case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x0E: case 0x0F:
            ++r(op & 7);  // INC Rn
            break;
        case 0x18: case 0x19: case 0x1A: case 0x1B: case 0x1C: case 0x1D: case 0x1E: case 0x1F:
            --r(op & 7);  // DEC Rn
            break;
        case 0x10: {  // JBC bit,rel
            const std::uint8_t bit = fetch();
            const std::uint8_t rel = fetch();
            if (read_bit(bit)) {
                write_bit(bit, false);
                jump_relative(rel);
            }
            break;
        }
        case 0x20: case 0x30: {  // JB / JNB bit,rel
            const std::uint8_t bit = fetch();
            const std::uint8_t rel = fetch();
            if (read_bit(bit) == (op == 0x20))
                jump_relative(rel);
            break;
        }
        case 0x40: case 0x50: {  // JC / JNC
            const std::uint8_t rel = fetch();
            if (carry() == (op == 0x40))
                jump_relative(rel);
            break;
        }
        case 0x60: case 0x70: {  // JZ / JNZ
            const std::uint8_t rel = fetch();
            if ((a() == 0) == (op == 0x60))
                jump_relative(rel);
            break;
        }
        case 0x80:  // SJMP
            jump_relative(fetch());
            break;
        case 0x73:  // JMP @A+DPTR
            pc_ = static_cast<std::uint16_t>(a() + current_dptr());
            break;
        // A,<source>: ADD 0x2x, ADDC 0x3x, SUBB 0x9x, ORL 0x4x, ANL 0x5x, XRL 0x6x.
        case 0x24: case 0x25: case 0x26: case 0x27: case 0x28: case 0x29: case 0x2A: case 0x2B:
        case 0x2C: case 0x2D: case 0x2E: case 0x2F:
            add(source(op), false);
            break;
        case 0x34: case 0x35: case 0x36: case 0x37: case 0x38: case 0x39: case 0x3A: case 0x3B:
        case 0x3C: case 0x3D: case 0x3E: case 0x3F:
            add(source(op), true);
            break;
        case 0x94: case 0x95: case 0x96: case 0x97: case 0x98: case 0x99: case 0x9A: case 0x9B:
        case 0x9C: case 0x9D: case 0x9E: case 0x9F:
            subb(source(op));
            break;
        case 0x44: case 0x45: case 0x46: case 0x47: case 0x48: case 0x49: case 0x4A: case 0x4B:
        case 0x4C: case 0x4D: case 0x4E: case 0x4F:
            a() |= source(op);
            break;
        case 0x54: case 0x55: case 0x56: case 0x57: case 0x58: case 0x59: case 0x5A: case 0x5B:
        case 0x5C: case 0x5D: case 0x5E: case 0x5F:
            a() &= source(op);
            break;
        case 0x64: case 0x65: case 0x66: case 0x67: case 0x68: case 0x69: case 0x6A: case 0x6B:
        case 0x6C: case 0x6D: case 0x6E: case 0x6F:
            a() ^= source(op);
            break;
        // ORL 0x4x, ANL 0x5x, XRL 0x6x on a direct address.
        case 0x42: case 0x52: case 0x62: {  // op dir,A
            const std::uint8_t d = fetch();
            const std::uint8_t v = read_direct(d);
            write_direct(d, static_cast<std::uint8_t>(op == 0x42   ? (v | a())
                                                      : op == 0x52 ? (v & a())
                                                                   : (v ^ a())));
            break;
        }
        case 0x43: case 0x53: case 0x63: {  // op dir,#imm
            const std::uint8_t d = fetch();
            const std::uint8_t imm = fetch();
            const std::uint8_t v = read_direct(d);
            write_direct(d, static_cast<std::uint8_t>(op == 0x43   ? (v | imm)
                                                      : op == 0x53 ? (v & imm)
                                                                   : (v ^ imm)));
            break;
        }
        // Carry and bits.
        case 0x72:  // ORL C,bit
            set_carry(read_bit(fetch()) || carry());  // the operand is fetched first
            break;
        case 0x82:  // ANL C,bit
            set_carry(read_bit(fetch()) && carry());
            break;
        case 0xA0:  // ORL C,/bit
            set_carry(!read_bit(fetch()) || carry());
            break;
        case 0xB0:  // ANL C,/bit
            set_carry(!read_bit(fetch()) && carry());
            break;
        case 0x92:  // MOV bit,C
            write_bit(fetch(), carry());
            break;
        case 0xA2:  // MOV C,bit
            set_carry(read_bit(fetch()));
            break;
        case 0xB2: {  // CPL bit
            const std::uint8_t bit = fetch();
            write_bit(bit, !read_bit(bit));
            break;
        }
        case 0xC2:  // CLR bit
            write_bit(fetch(), false);
            break;
        case 0xD2:  // SETB bit
            write_bit(fetch(), true);
            break;
        case 0xB3:  // CPL C
            set_carry(!carry());
            break;
        case 0xC3:  // CLR C
            set_carry(false);
            break;
        case 0xD3:  // SETB C
            set_carry(true);
            break;
        // Moves.
        case 0x74:  // MOV A,#imm
            a() = fetch();
            break;
        case 0x75: {  // MOV dir,#imm
            const std::uint8_t d = fetch();
            write_direct(d, fetch());
            break;
        }
        case 0x76: case 0x77:  // MOV @Ri,#imm
            iram_[r(op & 1)] = fetch();
            break;
        case 0x78: case 0x79: case 0x7A: case 0x7B: case 0x7C: case 0x7D: case 0x7E: case 0x7F:
            r(op & 7) = fetch();
            break;
        case 0x85: {  // MOV dir,dir: the source comes first
            const std::uint8_t source = fetch();
            const std::uint8_t dest = fetch();
            write_direct(dest, read_direct(source));
            break;
        }
        case 0x86: case 0x87:  // MOV dir,@Ri
            write_direct(fetch(), iram_[r(op & 1)]);
            break;
        case 0x88: case 0x89: case 0x8A: case 0x8B: case 0x8C: case 0x8D: case 0x8E: case 0x8F:
            write_direct(fetch(), r(op & 7));
            break;
        case 0xA6: case 0xA7:  // MOV @Ri,dir
            iram_[r(op & 1)] = read_direct(fetch());
            break;
        case 0xA8: case 0xA9: case 0xAA: case 0xAB: case 0xAC: case 0xAD: case 0xAE: case 0xAF:
            r(op & 7) = read_direct(fetch());
            break;
        case 0xE5:  // MOV A,dir
            a() = read_direct(fetch());
            break;
        case 0xE6: case 0xE7:
            a() = iram_[r(op & 1)];
            break;
        case 0xE8: case 0xE9: case 0xEA: case 0xEB: case 0xEC: case 0xED: case 0xEE: case 0xEF:
            a() = r(op & 7);
            break;
        case 0xF5:  // MOV dir,A
            write_direct(fetch(), a());
            break;
        case 0xF6: case 0xF7:
            iram_[r(op & 1)] = a();
            break;
        case 0xF8: case 0xF9: case 0xFA: case 0xFB: case 0xFC: case 0xFD: case 0xFE: case 0xFF:
            r(op & 7) = a();
            break;
        case 0x90: {  // MOV DPTR,#imm16
            const std::uint8_t hi = fetch();
            const std::uint8_t lo = fetch();
            set_current_dptr(static_cast<std::uint16_t>((hi << 8) | lo));
            break;
        }
        case 0xA3:  // INC DPTR
            set_current_dptr(static_cast<std::uint16_t>(current_dptr() + 1));
            break;
        case 0x83:  // MOVC A,@A+PC
            a() = memory_[static_cast<std::uint16_t>(pc_ + a())];
            break;
        case 0x93:  // MOVC A,@A+DPTR
            a() = memory_[static_cast<std::uint16_t>(current_dptr() + a())];
            break;
        case 0xE0:  // MOVX A,@DPTR
            a() = read_xdata(current_dptr());
            cycles = movx_cycles();
            break;
        case 0xE2: case 0xE3:  // MOVX A,@Ri
            a() =
                read_xdata(static_cast<std::uint16_t>((sfr_[index(sfr::MPAGE)] << 8) | r(op & 1)));
            cycles = movx_cycles();
            break;
        case 0xF0:  // MOVX @DPTR,A
            write_xdata(current_dptr(), a());
            cycles = movx_cycles();
            break;
        case 0xF2: case 0xF3:  // MOVX @Ri,A
            write_xdata(static_cast<std::uint16_t>((sfr_[index(sfr::MPAGE)] << 8) | r(op & 1)),
                        a());
            cycles = movx_cycles();
            break;
        case 0xC0:  // PUSH dir
            push(read_direct(fetch()));
            break;
        case 0xD0: {  // POP dir
            const std::uint8_t d = fetch();
            write_direct(d, pop());
            break;
        }
        case 0xC5: {  // XCH A,dir
            const std::uint8_t d = fetch();
            const std::uint8_t v = read_direct(d);
            write_direct(d, a());
            a() = v;
            break;
        }
        case 0xC6: case 0xC7: {  // XCH A,@Ri
            std::uint8_t& m = iram_[r(op & 1)];
            const std::uint8_t v = m;
            m = a();
            a() = v;
            break;
        }
        case 0xC8: case 0xC9: case 0xCA: case 0xCB: case 0xCC: case 0xCD: case 0xCE: case 0xCF: {
            std::uint8_t& m = r(op & 7);  // XCH A,Rn
            const std::uint8_t v = m;
            m = a();
            a() = v;
            break;
        }
        case 0xD6: case 0xD7: {  // XCHD A,@Ri
            std::uint8_t& m = iram_[r(op & 1)];
            const std::uint8_t v = m;
            m = static_cast<std::uint8_t>((m & 0xF0) | (a() & 0x0F));
            a() = static_cast<std::uint8_t>((a() & 0xF0) | (v & 0x0F));
            break;
        }
        // Arithmetic on A.
        case 0x84: {  // DIV AB
            std::uint8_t p = psw_ref() & static_cast<std::uint8_t>(~(CY | OV));
            const std::uint8_t divisor = b();
            if (divisor == 0) {
                p |= OV;  // A and B undefined: left as they were
            } else {
                const std::uint8_t q = static_cast<std::uint8_t>(a() / divisor);
                sfr_[index(sfr::B)] = static_cast<std::uint8_t>(a() % divisor);
                a() = q;
            }
            psw_ref() = p;
            break;
        }
        case 0xA4: {  // MUL AB
            const unsigned product = unsigned{a()} * b();
            std::uint8_t p = psw_ref() & static_cast<std::uint8_t>(~(CY | OV));
            if (product > 0xFF)
                p |= OV;
            psw_ref() = p;
            a() = static_cast<std::uint8_t>(product);
            sfr_[index(sfr::B)] = static_cast<std::uint8_t>(product >> 8);
            break;
        }
        case 0xC4:  // SWAP A
            a() = static_cast<std::uint8_t>((a() << 4) | (a() >> 4));
            break;
        case 0xD4: {  // DA A
            unsigned v = a();
            bool c = carry();
            if ((v & 0x0F) > 9 || (psw_ref() & AC))
                v += 0x06;
            if (v > 0x9F || c)
                v += 0x60;
            if (v > 0xFF)
                c = true;
            set_carry(c);
            a() = static_cast<std::uint8_t>(v);
            break;
        }
        case 0xE4:  // CLR A
            a() = 0;
            break;
        case 0xF4:  // CPL A
            a() = static_cast<std::uint8_t>(~a());
            break;
        // Compare and loop.
        case 0xB4: case 0xB5: {  // CJNE A,#imm,rel / CJNE A,dir,rel
            const std::uint8_t x = fetch();
            const std::uint8_t v = op == 0xB4 ? x : read_direct(x);
            const std::uint8_t rel = fetch();
            set_carry(a() < v);
            if (a() != v)
                jump_relative(rel);
            break;
        }
        case 0xB6: case 0xB7: {  // CJNE @Ri,#imm,rel
            const std::uint8_t v = fetch();
            const std::uint8_t rel = fetch();
            const std::uint8_t m = iram_[r(op & 1)];
            set_carry(m < v);
            if (m != v)
                jump_relative(rel);
            break;
        }
        case 0xB8: case 0xB9: case 0xBA: case 0xBB: case 0xBC: case 0xBD: case 0xBE: case 0xBF: {
            const std::uint8_t v = fetch();  // CJNE Rn,#imm,rel
            const std::uint8_t rel = fetch();
            const std::uint8_t m = r(op & 7);
            set_carry(m < v);
            if (m != v)
                jump_relative(rel);
            break;
        }
        case 0xD5: {  // DJNZ dir,rel
            const std::uint8_t d = fetch();
            const std::uint8_t rel = fetch();
            const std::uint8_t v = static_cast<std::uint8_t>(read_direct(d) - 1);
            write_direct(d, v);
            if (v != 0)
                jump_relative(rel);
            break;
        }
        case 0xD8: case 0xD9: case 0xDA: case 0xDB: case 0xDC: case 0xDD: case 0xDE: case 0xDF: {
            const std::uint8_t rel = fetch();  // DJNZ Rn,rel
            if (--r(op & 7) != 0)
                jump_relative(rel);
            break;
        }
        case 0xA5:  // undefined: runs as a one-cycle no-op and is remembered
            illegal_opcode_ = true;
            cycles = 1;
            break;
    }
    // clang-format on
    return cycles;
}

}  // namespace oscset::sim::mcs51

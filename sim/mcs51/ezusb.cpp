#include "sim/mcs51/ezusb.hpp"

#include <algorithm>

namespace oscset::sim::mcs51 {
namespace {

constexpr std::uint8_t CPUCS_RESET = 0x01;
constexpr std::uint8_t CPUCS_CLK24OE = 0x02;
constexpr std::uint8_t CHIP_REVISION = 0x40;  // bits 7..4 of CPUCS

constexpr std::uint8_t USBCS_RENUM = 0x02;
constexpr std::uint8_t USBCS_DISCOE = 0x04;
constexpr std::uint8_t USBCS_DISCON = 0x08;
constexpr std::uint8_t USBCS_WAKESRC = 0x80;

constexpr std::uint8_t USBIRQ_SUDAV = 0x01;
constexpr std::uint8_t USBIRQ_SUTOK = 0x04;
constexpr std::uint8_t USBIRQ_URES = 0x10;
constexpr std::uint8_t USBIRQ_SOURCES = 0x1F;

constexpr std::uint8_t EP0CS_STALL = 0x01;
constexpr std::uint8_t EP0CS_HSNAK = 0x02;
constexpr std::uint8_t EP0CS_IN0BSY = 0x04;
constexpr std::uint8_t EP0CS_OUT0BSY = 0x08;
constexpr std::uint8_t EPCS_STALL = 0x01;
constexpr std::uint8_t EPCS_BUSY = 0x02;
constexpr std::uint8_t USBBAV_AVEN = 0x01;

constexpr std::uint8_t DESCRIPTOR_CONFIGURATION = 2;

int port_index(std::uint16_t address, std::uint16_t first) {
    return address - first;
}

}  // namespace

EzUsbChip::EzUsbChip(PortWiring* wiring)
    : memory_(MEMORY_SIZE, 0), wiring_(wiring), cpu_(memory_.data(), this, reg::BLOCK) {
    // RAM powers up with no defined contents; a fixed pattern keeps runs repeatable and
    // shows firmware that relies on zeroed memory.
    std::uint32_t x = 0x2545F491u;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return static_cast<std::uint8_t>(x >> 11);
    };
    for (std::uint32_t a = 0; a < reg::BLOCK; ++a)
        memory_[a] = next();
    for (int a = 0; a < 256; ++a)
        cpu_.set_iram(static_cast<std::uint8_t>(a), next());
    r(reg::CPUCS) = CHIP_REVISION | CPUCS_RESET;
    r(reg::USBCS) = USBCS_DISCOE;
}

bool EzUsbChip::run_until(std::uint64_t cycle) {
    event_ = false;
    if (cycle <= now())
        return false;
    if (held_) {
        cpu_.idle(cycle - now());
        return false;
    }
    cpu_.run_until(cycle);
    const bool ended_early = event_;
    event_ = false;
    return ended_early;
}

bool EzUsbChip::load_write(std::uint16_t address, std::span<const std::uint8_t> data) {
    if (address == reg::CPUCS && data.size() == 1) {
        const bool hold = (data[0] & CPUCS_RESET) != 0;
        if (held_ && !hold)
            cpu_.reset();  // released: the core starts at address 0
        held_ = hold;
        r(reg::CPUCS) = static_cast<std::uint8_t>(CHIP_REVISION | (r(reg::CPUCS) & CPUCS_CLK24OE) |
                                                  (hold ? CPUCS_RESET : 0));
        return true;
    }
    if (address + data.size() > LOAD_LIMIT + 1u)
        return false;
    std::copy(data.begin(), data.end(), memory_.begin() + address);
    return true;
}

bool EzUsbChip::load_read(std::uint16_t address, std::span<std::uint8_t> data) const {
    if (address + data.size() > LOAD_LIMIT + 1u)
        return false;
    std::copy_n(memory_.begin() + address, data.size(), data.begin());
    return true;
}

bool EzUsbChip::connected() const {
    const std::uint8_t usbcs = r(reg::USBCS);
    return (usbcs & USBCS_DISCOE) && !(usbcs & USBCS_DISCON);
}

bool EzUsbChip::renumerated() const {
    return (r(reg::USBCS) & USBCS_RENUM) != 0;
}

void EzUsbChip::bus_reset() {
    r(reg::FNADDR) = 0;
    request(reg::USBIRQ, USBIRQ_URES);
}

void EzUsbChip::setup(const SetupPacket& p) {
    const std::uint8_t bytes[8] = {p.request_type,
                                   p.request,
                                   static_cast<std::uint8_t>(p.value),
                                   static_cast<std::uint8_t>(p.value >> 8),
                                   static_cast<std::uint8_t>(p.index),
                                   static_cast<std::uint8_t>(p.index >> 8),
                                   static_cast<std::uint8_t>(p.length),
                                   static_cast<std::uint8_t>(p.length >> 8)};
    std::copy(std::begin(bytes), std::end(bytes), memory_.begin() + reg::SETUPDAT);
    setup_length_ = p.length;
    ep0_stall_ = false;
    hsnak_ = true;
    auto_active_ = false;
    in_busy_[0] = false;
    out_busy_[0] = false;
    request(reg::USBIRQ, USBIRQ_SUTOK | USBIRQ_SUDAV);
}

int EzUsbChip::ep0_in(std::span<std::uint8_t, PACKET_SIZE> packet) {
    if (auto_active_) {
        const std::size_t n = std::min<std::size_t>(PACKET_SIZE, auto_remaining_);
        for (std::size_t i = 0; i < n; ++i) {
            packet[i] = memory_[static_cast<std::uint16_t>(auto_address_ + i)];
        }
        auto_address_ = static_cast<std::uint16_t>(auto_address_ + n);
        auto_remaining_ = static_cast<std::uint16_t>(auto_remaining_ - n);
        return static_cast<int>(n);
    }
    if (!in_busy_[0])
        return -1;
    const std::size_t n = in_packet(0, packet);
    return static_cast<int>(n);
}

void EzUsbChip::ep0_out(std::span<const std::uint8_t> data) {
    out_packet(0, data);
}

void EzUsbChip::out_packet(int ep, std::span<const std::uint8_t> data) {
    const std::size_t n = std::min(data.size(), PACKET_SIZE);
    std::copy_n(data.begin(), n, memory_.begin() + reg::out_buf(ep));
    out_count_[ep] = static_cast<std::uint8_t>(n);
    out_busy_[ep] = false;
    request(reg::OUT07IRQ, static_cast<std::uint8_t>(1u << ep));
}

std::size_t EzUsbChip::in_count(int ep) const {
    return std::min<std::size_t>(in_count_[ep], PACKET_SIZE);
}

std::size_t EzUsbChip::in_packet(int ep, std::span<std::uint8_t, PACKET_SIZE> packet) {
    const std::size_t n = in_count(ep);
    std::copy_n(memory_.begin() + reg::in_buf(ep), n, packet.begin());
    in_busy_[ep] = false;
    request(reg::IN07IRQ, static_cast<std::uint8_t>(1u << ep));
    return n;
}

std::vector<std::uint8_t> EzUsbChip::default_descriptor(std::uint8_t type, std::uint8_t index) {
    switch (type) {
        case 1:
            return {18,   1,    0x00, 0x01, 0xFF, 0xFF, 0xFF, 64, 0x47,
                    0x05, 0x31, 0x21, 0x00, 0x00, 0,    0,    0,  1};
        case 2:
            if (index != 0)
                return {};
            return {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0};
        case 3:
            if (index == 0)
                return {4, 3, 0x09, 0x04};
            return {2, 3};
        default:
            return {};
    }
}

// An event that the host side must see before the core runs on.
void EzUsbChip::host_event() {
    event_ = true;
    cpu_.stop();
}

void EzUsbChip::request(std::uint16_t irq_register, std::uint8_t bits) {
    r(irq_register) |= bits;
    update_interrupt();
}

// INT2 is raised whenever an enabled request is present after a change: a new request, or
// one still pending when the firmware clears another (so that each is served in turn).
void EzUsbChip::update_interrupt() {
    const bool pending = (r(reg::USBIRQ) & r(reg::USBIEN) & USBIRQ_SOURCES) ||
                         (r(reg::IN07IRQ) & r(reg::IN07IEN)) ||
                         (r(reg::OUT07IRQ) & r(reg::OUT07IEN));
    if (pending)
        cpu_.raise_usb_interrupt();
}

// Autovector order: SUDAV, SOF, SUTOK, SUSP, URES, (reserved), EP0 IN, EP0 OUT, EP1 IN, ...
int EzUsbChip::pending_vector_index() const {
    const std::uint8_t usb = r(reg::USBIRQ) & r(reg::USBIEN) & USBIRQ_SOURCES;
    for (int i = 0; i < 5; ++i) {
        if (usb & (1 << i))
            return i;
    }
    const std::uint8_t in = r(reg::IN07IRQ) & r(reg::IN07IEN);
    const std::uint8_t out = r(reg::OUT07IRQ) & r(reg::OUT07IEN);
    for (int ep = 0; ep < 8; ++ep) {
        if (in & (1 << ep))
            return 6 + 2 * ep;
        if (out & (1 << ep))
            return 7 + 2 * ep;
    }
    return 0;
}

int EzUsbChip::usb_autovector() {
    if (!(r(reg::USBBAV) & USBBAV_AVEN))
        return -1;
    return pending_vector_index() * 4;
}

std::uint8_t EzUsbChip::xdata_read(std::uint16_t address) {
    switch (address) {
        case reg::PINSA:
        case reg::PINSB:
        case reg::PINSC: {
            const int p = port_index(address, reg::PINSA);
            const std::uint8_t outside = wiring_ ? wiring_->port_input(static_cast<Port>(p)) : 0;
            return static_cast<std::uint8_t>((out_[p] & oe_[p]) | (outside & ~oe_[p]));
        }
        case reg::OUTA:
        case reg::OUTB:
        case reg::OUTC:
            return out_[port_index(address, reg::OUTA)];
        case reg::OEA:
        case reg::OEB:
        case reg::OEC:
            return oe_[port_index(address, reg::OEA)];
        case reg::IVEC:
            return static_cast<std::uint8_t>(pending_vector_index() * 4);
        case reg::EP0CS:
            return static_cast<std::uint8_t>(
                (ep0_stall_ ? EP0CS_STALL : 0) | (hsnak_ ? EP0CS_HSNAK : 0) |
                (in_busy_[0] ? EP0CS_IN0BSY : 0) | (out_busy_[0] ? EP0CS_OUT0BSY : 0));
        case reg::IN0BC:
            return in_count_[0];
        case reg::OUT0BC:
            return out_count_[0];
        default:
            break;
    }
    // An endpoint's pair of registers from `cs0` on: control and status, then byte count.
    const auto endpoint = [address](std::uint16_t cs0, const auto& stall, const auto& busy,
                                    const auto& count) {
        const int ep = (address - cs0) / 2;
        return (address & 1) ? count[ep]
                             : static_cast<std::uint8_t>((stall[ep] ? EPCS_STALL : 0) |
                                                         (busy[ep] ? EPCS_BUSY : 0));
    };
    if (address >= reg::in_cs(1) && address <= reg::in_bc(7))
        return endpoint(reg::in_cs(0), in_stall_, in_busy_, in_count_);
    if (address >= reg::out_cs(1) && address <= reg::out_bc(7))
        return endpoint(reg::out_cs(0), out_stall_, out_busy_, out_count_);
    return r(address);
}

void EzUsbChip::xdata_write(std::uint16_t address, std::uint8_t value) {
    switch (address) {
        case reg::OUTA:
        case reg::OUTB:
        case reg::OUTC:
        case reg::OEA:
        case reg::OEB:
        case reg::OEC: {
            const bool is_out = address <= reg::OUTC;
            const int p = port_index(address, is_out ? reg::OUTA : reg::OEA);
            std::uint8_t& target = is_out ? out_[p] : oe_[p];
            if (target != value) {
                target = value;
                if (wiring_)
                    wiring_->port_changed(static_cast<Port>(p), out_[p], oe_[p]);
            }
            return;
        }
        case reg::PINSA:
        case reg::PINSB:
        case reg::PINSC:
        case reg::IVEC:
            return;  // read only
        case reg::IN07IRQ:
        case reg::OUT07IRQ:
        case reg::USBIRQ:
            r(address) &= static_cast<std::uint8_t>(~value);  // write 1 to clear
            update_interrupt();
            return;
        case reg::IN07IEN:
        case reg::OUT07IEN:
        case reg::USBIEN:
            r(address) = value;
            update_interrupt();
            return;
        case reg::CPUCS:
            // The core cannot reset itself: only the clock output bit is the firmware's.
            r(address) =
                static_cast<std::uint8_t>((r(address) & ~CPUCS_CLK24OE) | (value & CPUCS_CLK24OE));
            return;
        case reg::EP0CS:
            ep0_stall_ = (value & EP0CS_STALL) != 0;
            if (value & EP0CS_HSNAK)
                hsnak_ = false;
            host_event();
            return;
        case reg::IN0BC:
            in_count_[0] = value;
            in_busy_[0] = true;
            host_event();
            return;
        case reg::OUT0BC:
            out_busy_[0] = true;
            host_event();
            return;
        case reg::SUDPTRL: {
            r(address) = value;
            auto_address_ = static_cast<std::uint16_t>((r(reg::SUDPTRH) << 8) | value);
            // As long as the host asked for, and no longer than the descriptor: a configuration
            // gives its total length, every other descriptor its first byte.
            std::uint16_t length = memory_[auto_address_];
            if (memory_[static_cast<std::uint16_t>(auto_address_ + 1)] ==
                DESCRIPTOR_CONFIGURATION) {
                length = static_cast<std::uint16_t>(
                    memory_[static_cast<std::uint16_t>(auto_address_ + 2)] |
                    (memory_[static_cast<std::uint16_t>(auto_address_ + 3)] << 8));
            }
            auto_remaining_ = std::min(length, setup_length_);
            auto_active_ = true;
            host_event();
            return;
        }
        case reg::USBCS: {
            r(address) = static_cast<std::uint8_t>((value & ~USBCS_WAKESRC) |
                                                   (r(address) & USBCS_WAKESRC & ~value));
            const bool now_connected = connected();
            if (was_connected_ && !now_connected)
                ++connection_;
            was_connected_ = now_connected;
            host_event();
            return;
        }
        default:
            break;
    }
    if (address >= reg::in_cs(1) && address <= reg::in_bc(7)) {
        const int ep = (address - reg::in_cs(0)) / 2;
        if (address & 1) {
            in_count_[ep] = value;
            in_busy_[ep] = true;
        } else {
            in_stall_[ep] = (value & EPCS_STALL) != 0;
        }
        host_event();
        return;
    }
    if (address >= reg::out_cs(1) && address <= reg::out_bc(7)) {
        const int ep = (address - reg::out_cs(0)) / 2;
        if (address & 1) {
            out_busy_[ep] = true;  // any value arms the endpoint
        } else {
            out_stall_[ep] = (value & EPCS_STALL) != 0;
        }
        host_event();
        return;
    }
    r(address) = value;
}

}  // namespace oscset::sim::mcs51

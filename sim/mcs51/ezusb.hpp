#pragma once
// The EZ-USB AN21xx as its firmware and the USB host see it: the 8051 core with the unified
// code/data RAM, the USB core's register block (ports A/B/C, endpoint buffers, byte counts and
// busy bits, SETUP data, the USB interrupt with its autovector, CPUCS, renumeration) and the
// host-side operations of the USB core (the 0xA0 load request, SETUP and EP0 data, bulk
// packets). The chip has no time of its own on the bus: a host model decides when packets
// move and lets the core run in between.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/mcs51/cpu.hpp"

namespace oscset::sim::mcs51 {

enum class Port : std::uint8_t { A = 0, B = 1, C = 2 };

// What is wired to the chip's port pins.
class PortWiring {
  public:
    // After a write to OUTx or OEx: the port's output latch and output enables.
    virtual void port_changed(Port port, std::uint8_t out, std::uint8_t enable) = 0;
    // The levels that the outside drives on the port's pins (PINSx shows them where the
    // output enable is 0).
    virtual std::uint8_t port_input(Port port) = 0;

  protected:
    ~PortWiring() = default;
};

// XDATA addresses of the register block.
namespace reg {
inline constexpr std::uint16_t BLOCK = 0x7F60;  // registers from here up; buffers below
inline constexpr std::uint16_t CPUCS = 0x7F92;
inline constexpr std::uint16_t OUTA = 0x7F96;
inline constexpr std::uint16_t OUTB = 0x7F97;
inline constexpr std::uint16_t OUTC = 0x7F98;
inline constexpr std::uint16_t PINSA = 0x7F99;
inline constexpr std::uint16_t PINSB = 0x7F9A;
inline constexpr std::uint16_t PINSC = 0x7F9B;
inline constexpr std::uint16_t OEA = 0x7F9C;
inline constexpr std::uint16_t OEB = 0x7F9D;
inline constexpr std::uint16_t OEC = 0x7F9E;
inline constexpr std::uint16_t IVEC = 0x7FA8;
inline constexpr std::uint16_t IN07IRQ = 0x7FA9;
inline constexpr std::uint16_t OUT07IRQ = 0x7FAA;
inline constexpr std::uint16_t USBIRQ = 0x7FAB;
inline constexpr std::uint16_t IN07IEN = 0x7FAC;
inline constexpr std::uint16_t OUT07IEN = 0x7FAD;
inline constexpr std::uint16_t USBIEN = 0x7FAE;
inline constexpr std::uint16_t USBBAV = 0x7FAF;
inline constexpr std::uint16_t EP0CS = 0x7FB4;
inline constexpr std::uint16_t IN0BC = 0x7FB5;
inline constexpr std::uint16_t OUT0BC = 0x7FC5;
inline constexpr std::uint16_t SUDPTRH = 0x7FD4;
inline constexpr std::uint16_t SUDPTRL = 0x7FD5;
inline constexpr std::uint16_t USBCS = 0x7FD6;
inline constexpr std::uint16_t FNADDR = 0x7FDB;
inline constexpr std::uint16_t SETUPDAT = 0x7FE8;
constexpr std::uint16_t in_cs(int ep) {
    return static_cast<std::uint16_t>(0x7FB4 + 2 * ep);
}
constexpr std::uint16_t in_bc(int ep) {
    return static_cast<std::uint16_t>(0x7FB5 + 2 * ep);
}
constexpr std::uint16_t out_cs(int ep) {
    return static_cast<std::uint16_t>(0x7FC4 + 2 * ep);
}
constexpr std::uint16_t out_bc(int ep) {
    return static_cast<std::uint16_t>(0x7FC5 + 2 * ep);
}
constexpr std::uint16_t in_buf(int ep) {
    return static_cast<std::uint16_t>(0x7F00 - 0x80 * ep);
}
constexpr std::uint16_t out_buf(int ep) {
    return static_cast<std::uint16_t>(0x7EC0 - 0x80 * ep);
}
}  // namespace reg

inline constexpr std::size_t PACKET_SIZE = 64;
// The highest RAM address that the host's load request may write.
inline constexpr std::uint16_t LOAD_LIMIT = 0x1B3F;

struct SetupPacket {
    std::uint8_t request_type = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
};

class EzUsbChip : private XdataDevice {
  public:
    // Power-on: RAM holds a fixed arbitrary pattern, the core is held in reset and the chip
    // is on the bus as the core's default device. `wiring` may be null (pins unconnected).
    explicit EzUsbChip(PortWiring* wiring = nullptr);
    EzUsbChip(const EzUsbChip&) = delete;
    EzUsbChip& operator=(const EzUsbChip&) = delete;

    Cpu& cpu() { return cpu_; }
    const Cpu& cpu() const { return cpu_; }
    std::uint64_t now() const { return cpu_.cycles(); }

    // Runs the core until `cycle` (time only passes while it is held in reset). Ends early,
    // returning true, after an instruction that changed what the host sees: an endpoint armed
    // or loaded, a stall, the end of a control handshake, a descriptor pointer, the connection.
    bool run_until(std::uint64_t cycle);

    // The USB core's load request (0xA0), served in every state of the firmware: RAM up to
    // LOAD_LIMIT, and CPUCS, whose bit 0 holds the core in reset (its fall restarts it at 0).
    bool load_write(std::uint16_t address, std::span<const std::uint8_t> data);
    bool load_read(std::uint16_t address, std::span<std::uint8_t> data) const;
    bool held_in_reset() const { return held_; }

    bool connected() const;    // DISCOE set and DISCON clear
    bool renumerated() const;  // RENUM: the firmware answers the control requests
    // Counts disconnections; a host's handles belong to one value.
    std::uint32_t connection() const { return connection_; }
    // The host's bus reset after an attach.
    void bus_reset();

    // The control endpoint while the firmware answers (RENUM set). A SETUP clears a stall and
    // any unfinished data stage, sets HSNAK and requests SUTOK and SUDAV.
    void setup(const SetupPacket& packet);
    bool ep0_stalled() const { return ep0_stall_; }
    bool ep0_handshake_pending() const { return hsnak_; }
    // The next IN data packet, from the descriptor pointer or from IN0BUF; -1 while the
    // firmware has provided none.
    int ep0_in(std::span<std::uint8_t, PACKET_SIZE> packet);
    bool ep0_out_armed() const { return out_busy_[0]; }
    void ep0_out(std::span<const std::uint8_t> data);

    // Bulk and interrupt endpoints 1..7.
    bool out_armed(int ep) const { return out_busy_[ep]; }
    bool out_stalled(int ep) const { return out_stall_[ep]; }
    bool in_stalled(int ep) const { return in_stall_[ep]; }
    // Requires out_armed(ep); at most PACKET_SIZE bytes.
    void out_packet(int ep, std::span<const std::uint8_t> data);
    bool in_loaded(int ep) const { return in_busy_[ep]; }
    std::size_t in_count(int ep) const;
    // Requires in_loaded(ep): the packet's bytes; the buffer goes back to the firmware.
    std::size_t in_packet(int ep, std::span<std::uint8_t, PACKET_SIZE> packet);

    std::uint8_t port_out(Port port) const { return out_[static_cast<int>(port)]; }
    std::uint8_t port_enable(Port port) const { return oe_[static_cast<int>(port)]; }

    // The descriptors that the core itself answers with while RENUM is clear: its default
    // device (vendor 0x0547, product 0x2131) carries no names, so every string but the
    // language list is empty. Empty when there is no such descriptor.
    static std::vector<std::uint8_t> default_descriptor(std::uint8_t type, std::uint8_t index);

  private:
    std::uint8_t xdata_read(std::uint16_t address) override;
    void xdata_write(std::uint16_t address, std::uint8_t value) override;
    int usb_autovector() override;

    void host_event();
    void request(std::uint16_t irq_register, std::uint8_t bits);
    void update_interrupt();
    int pending_vector_index() const;
    std::uint8_t& r(std::uint16_t address) { return memory_[address]; }
    std::uint8_t r(std::uint16_t address) const { return memory_[address]; }

    std::vector<std::uint8_t> memory_;
    PortWiring* wiring_;
    Cpu cpu_;
    bool held_ = true;
    bool event_ = false;
    bool was_connected_ = true;
    std::uint32_t connection_ = 0;

    std::array<std::uint8_t, 3> out_{};
    std::array<std::uint8_t, 3> oe_{};

    bool ep0_stall_ = false;
    bool hsnak_ = false;
    bool auto_active_ = false;
    std::uint16_t auto_address_ = 0;
    std::uint16_t auto_remaining_ = 0;
    std::uint16_t setup_length_ = 0;
    std::array<bool, 8> in_busy_{};
    std::array<bool, 8> out_busy_{};
    std::array<bool, 8> in_stall_{};
    std::array<bool, 8> out_stall_{};
    std::array<std::uint8_t, 8> in_count_{};
    std::array<std::uint8_t, 8> out_count_{};
};

}  // namespace oscset::sim::mcs51

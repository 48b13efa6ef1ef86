#pragma once
// The bus bridge of the board's FPGA design, behind the USER1 data register.
//
// After Capture-DR it waits for a start bit (the first 1 on TDI); from the next bit on it
// takes bytes, most significant bit first, and keeps byte alignment for as long as the scan
// stays open. Packets: a 4-byte header (first byte with bit 7 set; the address is the four
// bytes big-endian with bit 31 cleared), then for a write chunks of a length byte 0x40 + n
// (n = 1..63) and n data bytes to consecutive addresses, ended by 0x00; for a read one filler
// byte 0x21 per byte to read, ended by 0x00 0x00. Zero bytes between packets are idle.
// TDO: counted in bytes from the first bit after the start bit, byte k + 2 carries the bus
// data read for the filler in byte k (most significant bit first); every other bit is 0.

#include <array>
#include <cstdint>
#include <vector>

#include "sim/board/design_bus.hpp"
#include "sim/board/event_log.hpp"

namespace oscset::sim {

class BusBridge {
  public:
    BusBridge(DesignBus& bus, EventLog& log);

    // Capture-DR of USER1: a new scan; wait for the start bit.
    void capture();
    // The bit presented on TDO now, before the next rising edge.
    bool out() const { return (reply_[slot_] >> (7 - bit_)) & 1; }
    // One rising TCK edge in Shift-DR.
    void shift(bool tdi) {
        if (!started_) {
            started_ = tdi;
            return;
        }
        byte_ = static_cast<std::uint8_t>((byte_ << 1) | tdi);
        if (++bit_ == 8) {
            end_of_byte();
        }
    }
    // The design stops or the TAP resets: a packet under way ends where it is.
    void reset();

  private:
    enum class Parse : std::uint8_t { IDLE, HEADER, AFTER_HEADER, CHUNK_DATA, AFTER_CHUNK, READ };

    void end_of_byte();
    void take(std::uint8_t byte);
    void start_write_chunk(std::uint8_t length_byte);
    void read_next();
    void end_packet(bool terminated);
    // A byte that the packet's state does not expect ends it; any but the end mark begins the
    // next packet.
    void end_packet_at(std::uint8_t b);

    DesignBus& bus_;
    EventLog& log_;
    bool started_ = false;
    std::uint8_t bit_ = 0;   // bits of the current byte received so far
    std::uint8_t byte_ = 0;  // the byte being received
    std::uint8_t slot_ = 0;  // the current byte's number modulo 4
    std::array<std::uint8_t, 4> reply_{};

    Parse parse_ = Parse::IDLE;
    bool writing_ = false;
    std::uint32_t address_ = 0;
    int header_bytes_ = 0;
    std::uint32_t chunk_left_ = 0;
    std::vector<std::uint8_t> packet_data_;  // bytes written or read by this packet
};

}  // namespace oscset::sim

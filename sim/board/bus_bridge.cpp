#include "sim/board/bus_bridge.hpp"

#include <cstdio>
#include <string>
#include <utility>

namespace oscset::sim {
namespace {

constexpr std::uint8_t HEADER_FLAG = 0x80;
constexpr std::uint8_t CHUNK_BASE = 0x40;
constexpr std::uint8_t CHUNK_MIN = 0x41;
constexpr std::uint8_t CHUNK_MAX = 0x7F;
constexpr std::uint8_t READ_FILLER = 0x21;
constexpr std::uint8_t END = 0x00;
// The reply to a filler byte leaves two bytes after it: the read takes a byte time.
constexpr std::uint8_t REPLY_DELAY = 2;
// The longest packet the host sends carries 8,190 bytes.
constexpr std::size_t PACKET_DATA_RESERVE = 8192;

bool is_chunk_length(std::uint8_t b) {
    return b >= CHUNK_MIN && b <= CHUNK_MAX;
}

}  // namespace

BusBridge::BusBridge(DesignBus& bus, EventLog& log) : bus_(bus), log_(log) {
    packet_data_.reserve(PACKET_DATA_RESERVE);
}

void BusBridge::capture() {
    reset();
}

void BusBridge::reset() {
    if (parse_ != Parse::IDLE) {
        end_packet(false);
    }
    started_ = false;
    bit_ = 0;
    byte_ = 0;
    slot_ = 0;
    reply_ = {};
}

void BusBridge::end_of_byte() {
    bit_ = 0;
    // This byte's bits have been presented: its reply slot is free for byte number + 4.
    reply_[slot_] = 0;
    const std::uint8_t received = byte_;
    byte_ = 0;
    take(received);
    slot_ = (slot_ + 1) & 3;
}

void BusBridge::take(std::uint8_t b) {
    switch (parse_) {
        case Parse::IDLE:
            if (b & HEADER_FLAG) {
                address_ = b & 0x7Fu;
                header_bytes_ = 1;
                parse_ = Parse::HEADER;
            }
            // Zero bytes are idle; other stray bytes outside a packet are ignored too.
            return;
        case Parse::HEADER:
            address_ = (address_ << 8) | b;
            if (++header_bytes_ == 4) {
                parse_ = Parse::AFTER_HEADER;
            }
            return;
        case Parse::AFTER_HEADER:
            if (is_chunk_length(b)) {
                writing_ = true;
                start_write_chunk(b);
            } else if (b == READ_FILLER) {
                writing_ = false;
                parse_ = Parse::READ;
                read_next();
            } else {
                end_packet_at(b);
            }
            return;
        case Parse::CHUNK_DATA:
            bus_.write(address_ + static_cast<std::uint32_t>(packet_data_.size()), b);
            packet_data_.push_back(b);
            if (--chunk_left_ == 0) {
                parse_ = Parse::AFTER_CHUNK;
            }
            return;
        case Parse::AFTER_CHUNK:
            if (is_chunk_length(b)) {
                start_write_chunk(b);
            } else {
                end_packet_at(b);
            }
            return;
        case Parse::READ:
            if (b == READ_FILLER) {
                read_next();
            } else {
                end_packet_at(b);
            }
            return;
    }
}

void BusBridge::start_write_chunk(std::uint8_t length_byte) {
    chunk_left_ = length_byte - CHUNK_BASE;
    parse_ = Parse::CHUNK_DATA;
}

void BusBridge::read_next() {
    const std::uint8_t data = bus_.read(address_ + static_cast<std::uint32_t>(packet_data_.size()));
    packet_data_.push_back(data);
    reply_[(slot_ + REPLY_DELAY) & 3] = data;
}

void BusBridge::end_packet_at(std::uint8_t b) {
    end_packet(b == END);
    if (b != END) {
        take(b);
    }
}

void BusBridge::end_packet(bool terminated) {
    if (writing_ || !packet_data_.empty()) {
        std::string line = writing_ ? "bus write " : "bus read ";
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(address_));
        line += text;
        for (std::uint8_t b : packet_data_) {
            std::snprintf(text, sizeof text, " %02x", b);
            line += text;
        }
        if (!terminated) {
            line += " (unterminated)";
        }
        log_.add_line(std::move(line));
        if (writing_) {
            bus_.end_of_write_packet();
        }
    }
    packet_data_.clear();
    writing_ = false;
    parse_ = Parse::IDLE;
}

}  // namespace oscset::sim

#include "jtag/config_stream.hpp"

namespace oscset::jtag {
namespace {

constexpr std::uint32_t HEADER_TYPE_1 = 1;
constexpr std::uint32_t HEADER_TYPE_2 = 2;
constexpr std::uint32_t OP_NOP = 0;
constexpr std::uint32_t OP_READ = 1;
constexpr std::uint32_t OP_WRITE = 2;
constexpr std::uint32_t TYPE1_COUNT_MASK = 0x7FF;
constexpr std::uint32_t TYPE2_COUNT_MASK = 0x7FFFFFF;
constexpr std::uint32_t REGISTER_MASK = 0xF;  // the family decodes 4 of the 14 address bits
constexpr std::uint32_t REG_CRC = 0;
constexpr std::uint32_t REG_CMD = 4;
constexpr std::uint32_t REG_LOUT = 8;  // left out of the CRC
constexpr std::uint32_t CMD_RCRC = 7;
constexpr std::uint16_t CRC_POLYNOMIAL = 0xA001;  // 0x8005, reflected
constexpr int CRC_BITS_PER_WORD = 36;             // the data word, then 4 address bits

std::uint32_t word_at(std::span<const std::uint8_t> s, std::size_t at) {
    return std::uint32_t{s[at]} << 24 | std::uint32_t{s[at + 1]} << 16 |
           std::uint32_t{s[at + 2]} << 8 | s[at + 3];
}

std::uint16_t crc_step(std::uint16_t crc, std::uint32_t reg, std::uint32_t data) {
    std::uint64_t v = std::uint64_t{reg} << 32 | data;
    for (int i = 0; i < CRC_BITS_PER_WORD; ++i, v >>= 1) {
        crc = ((v ^ crc) & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ CRC_POLYNOMIAL)
                                   : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

// The sync word's place behind the dummy bytes, or the verdict why there is none.
StreamVerdict find_sync(std::span<const std::uint8_t> s, std::size_t& sync_at) {
    std::size_t at = 0;
    while (at < s.size() && at < MAX_DUMMY_BYTES && s[at] == STREAM_DUMMY_BYTE) {
        ++at;
    }
    // The chip counts words from the first stream bit: the sync word must start one.
    at -= at % 4;
    for (; at + 4 <= s.size() && at <= MAX_DUMMY_BYTES; at += 4) {
        const std::uint32_t w = word_at(s, at);
        if (w == SYNC_WORD) {
            sync_at = at;
            return {};
        }
        if (w == BIT_SWAPPED_SYNC_WORD) {
            return {StreamFault::BIT_SWAPPED, at};
        }
        if (w != 0xFFFFFFFF) {
            return {StreamFault::NO_SYNC, at};
        }
    }
    return {StreamFault::NO_SYNC, at};
}

}  // namespace

StreamVerdict check_stream(std::span<const std::uint8_t> s) {
    std::size_t at = 0;
    if (const StreamVerdict sync = find_sync(s, at); sync.fault != StreamFault::NONE) {
        return sync;
    }
    std::uint16_t crc = 0;
    std::uint32_t reg = 0;
    bool unchecked = false;      // a write since the last check
    std::size_t first_unchecked = 0;
    for (at += 4; at < s.size();) {
        if (at + 4 > s.size()) {
            return {StreamFault::BROKEN_PACKET, at};
        }
        const std::size_t header_at = at;
        const std::uint32_t w = word_at(s, at);
        at += 4;
        const std::uint32_t type = w >> 29;
        const std::uint32_t op = (w >> 27) & 3;
        if (w == 0 || w == 0xFFFFFFFF || w == SYNC_WORD) {
            continue;  // flush, dummy and sync words carry no packet
        }
        std::uint32_t count = 0;
        if (type == HEADER_TYPE_1) {
            reg = (w >> 13) & REGISTER_MASK;
            count = w & TYPE1_COUNT_MASK;
        } else if (type == HEADER_TYPE_2) {
            count = w & TYPE2_COUNT_MASK;  // for the register of the last type-1 header
        } else {
            return {StreamFault::BROKEN_PACKET, header_at};
        }
        if (op == OP_READ || op == OP_NOP) {
            continue;
        }
        if (op != OP_WRITE || (s.size() - at) / 4 < count) {
            return {StreamFault::BROKEN_PACKET, header_at};
        }
        for (std::uint32_t i = 0; i < count; ++i, at += 4) {
            const std::uint32_t data = word_at(s, at);
            if (reg == REG_LOUT) {
                continue;
            }
            crc = crc_step(crc, reg, data);
            if (reg == REG_CRC) {
                // A check leaves the register at 0 when the word equals the running value.
                if (crc != 0) {
                    return {StreamFault::CRC_MISMATCH, at};
                }
                unchecked = false;
            } else if (!unchecked) {
                unchecked = true;
                first_unchecked = at;
            }
            if (reg == REG_CMD && data == CMD_RCRC) {
                crc = 0;
            }
        }
    }
    if (unchecked) {
        return {StreamFault::UNCHECKED, first_unchecked};
    }
    return {};
}

}  // namespace oscset::jtag

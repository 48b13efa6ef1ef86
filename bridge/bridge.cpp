#include "bridge/bridge.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "bridge/user_transfer.hpp"
#include "platform/console.hpp"

namespace oscset::bridge {
namespace {

constexpr std::uint8_t CHUNK_BASE = 0x40;   // chunk length byte: 0x40 + n
constexpr std::uint8_t READ_FILLER = 0x21;  // one per byte to read
constexpr std::uint8_t PACKET_END = 0x00;
constexpr std::uint32_t CHUNKS_END = 8'190;       // no chunk reaches past this byte
constexpr std::uint32_t LAST_CHUNK_FROM = 8'189;  // no chunk starts here or later
constexpr std::uint32_t WINDOW = 0x10000;
// Past a packet the other devices' bypass bits are shifted too, one bit each: at most seven
// bits, which the first of these bytes holds.
constexpr std::size_t EXTRA_ROOM = 8;

std::array<std::uint8_t, READ_PACKET_BYTES + EXTRA_ROOM> transmit;
std::array<std::uint8_t, READ_PACKET_BYTES + EXTRA_ROOM> receive;

void put_header(std::uint32_t address) {
    transmit[0] = static_cast<std::uint8_t>((address >> 24) | 0x80);  // bit 31 is not carried
    transmit[1] = static_cast<std::uint8_t>(address >> 16);
    transmit[2] = static_cast<std::uint8_t>(address >> 8);
    transmit[3] = static_cast<std::uint8_t>(address);
}

// The bytes a segment may carry from `address`: below 0x10000 up to 0xFFFF; above, up to the
// next 64 KiB boundary, so a segment is never empty.
std::uint32_t window_at(std::uint32_t address) {
    return WINDOW - (address & (WINDOW - 1));
}

status_t shift_packet(std::uint32_t length, bool reply) {
    // The extra bits that follow a packet are zeros.
    std::fill(transmit.begin() + length, transmit.begin() + length + EXTRA_ROOM, 0);
    if (reply) {
        // A failed read leaves the cable's TDO bytes as they were, and the TAP layer reverses
        // them in place: the last answer would come back, 3 turning into 0xC0 and back.
        std::fill(receive.begin(), receive.begin() + length + EXTRA_ROOM, 0);
    }
    std::uint32_t word = length;
    return user_transfer(USER1, transmit.data(), reply ? receive.data() : nullptr, &word);
}

status_t transfer(std::uint8_t mode, std::uint32_t address, const std::uint8_t* out,
                  std::uint8_t* in, std::uint32_t length) {
    status_t result = STATUS_OK;
    while (length > 0) {
        put_header(address);
        const std::uint32_t segment = std::min(length, window_at(address));
        std::uint32_t carried = 0;
        if (mode == BRIDGE_WRITE) {
            std::uint32_t p = 4;
            while (carried < segment) {
                const std::uint32_t n = std::min({CHUNK_BYTES, CHUNKS_END - p, segment - carried});
                transmit[p] = static_cast<std::uint8_t>(CHUNK_BASE + n);
                std::memcpy(&transmit[p + 1], out + carried, n);
                p += 1 + n;
                carried += n;
                if (p >= LAST_CHUNK_FROM) {
                    break;
                }
            }
            transmit[p] = PACKET_END;
            result |= shift_packet(p + 1, false);
        } else {
            const std::uint32_t m = std::min(segment, READ_PACKET_DATA);
            std::memset(&transmit[4], READ_FILLER, m);
            transmit[m + 4] = PACKET_END;
            transmit[m + 5] = PACKET_END;
            result |= shift_packet(m + 6, true);
            // The answer to each filler byte comes two bytes later.
            const std::uint8_t* reply = &receive[6];
            if (mode == BRIDGE_VERIFY) {
                for (std::uint32_t i = 0; i < m; ++i) {
                    if (reply[i] != out[i]) {
                        platform::console_printf("Verify error %08lX\n",
                                                 static_cast<unsigned long>(address + i));
                        return result | 1;
                    }
                }
            } else {
                std::memcpy(in, reply, m);
            }
            carried = m;
        }
        address += carried;
        out += (out != nullptr) ? carried : 0;
        in += (in != nullptr) ? carried : 0;
        length -= carried;
    }
    return result;
}

}  // namespace

status_t bridge_transfer(std::uint8_t mode, std::uint32_t address, std::uint8_t* buffer,
                         std::uint32_t length) {
    if (mode == BRIDGE_WRITE || mode == BRIDGE_VERIFY) {
        return transfer(mode, address, buffer, nullptr, length);
    }
    return transfer(BRIDGE_READ, address, nullptr, buffer, length);
}

status_t bridge_write(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) {
    return transfer(BRIDGE_WRITE, address, data, nullptr, length);
}

status_t bridge_read(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) {
    return transfer(BRIDGE_READ, address, nullptr, buffer, length);
}

}  // namespace oscset::bridge

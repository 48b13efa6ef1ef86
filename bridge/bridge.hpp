#pragma once
// The bus bridge inside the configured FPGA: reads and writes addresses of its byte-wide bus
// by shifting self-delimiting packets through USER1.

#include <cstdint>

#include "cables/status.hpp"

namespace oscset::bridge {

inline constexpr std::uint8_t BRIDGE_WRITE = 0;
inline constexpr std::uint8_t BRIDGE_READ = 1;
inline constexpr std::uint8_t BRIDGE_VERIFY = 3;  // read and compare with the caller's bytes

inline constexpr std::uint32_t CHUNK_BYTES = 63;
inline constexpr std::uint32_t WRITE_PACKET_BYTES = 8'192;
inline constexpr std::uint32_t READ_PACKET_DATA = 8'190;
inline constexpr std::uint32_t READ_PACKET_BYTES = READ_PACKET_DATA + 6;

// mode: write, read or verify (any other nonzero mode reads). Returns the OR of the status
// words of all packets; a verify that finds a difference prints "Verify error %08lX\n" with
// the address, sends nothing more and adds 1. A length of 0 sends nothing.
status_t bridge_transfer(std::uint8_t mode, std::uint32_t address, std::uint8_t* buffer,
                         std::uint32_t length);
status_t bridge_write(std::uint32_t address, const std::uint8_t* data, std::uint32_t length);
status_t bridge_read(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length);

}  // namespace oscset::bridge

#pragma once
// Reader of configuration files: a .bit file (a header of keyed fields, then the configuration
// stream) or a raw stream (its first byte the dummy byte 0xFF). The file is read whole when it
// is opened (a Spartan-II stream is at most 167 KB), so a pipe reads like a regular file and a
// design is judged whole before the FPGA is touched.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace oscset::jtag {

inline constexpr std::size_t CONFIG_FIELD_SIZE = 64;
inline constexpr std::size_t CONFIG_PREAMBLE_SIZE = 13;
// Far beyond the largest Spartan-II design with its header; a larger file is none.
inline constexpr std::size_t MAX_CONFIG_FILE_BYTES = 1024 * 1024;

struct config_file {
    std::array<std::uint8_t, CONFIG_PREAMBLE_SIZE> preamble{};  // as read; not examined
    std::uint32_t part_idcode = 0;  // the device-table row named by the part field, or 0
    std::uint32_t data_length = 0;  // stream bytes after the header
    // The text fields as stored, terminator included when the file has one. A longer value
    // keeps its first 64 bytes (then without terminator); the rest is skipped.
    std::array<char, CONFIG_FIELD_SIZE> design_name{};  // 'a'
    std::array<char, CONFIG_FIELD_SIZE> part_name{};    // 'b'
    std::array<char, CONFIG_FIELD_SIZE> date{};         // 'c'
    std::array<char, CONFIG_FIELD_SIZE> time{};         // 'd'
    std::vector<std::uint8_t> contents;  // the whole file
    std::size_t data_start = 0;          // its first stream byte
    std::size_t position = 0;            // the next byte config_file_read hands out
};

using config_file_ptr = std::unique_ptr<config_file>;

enum class ConfigFileError { NONE, CANNOT_OPEN, TOO_LARGE, BAD_HEADER };

// Reads the file and its header up to the data field; a raw stream has no header, its data is
// the whole file. Null on any failure, with its kind in `error` when given (errno tells why a
// file could not be opened or read); an unknown key prints "Unknown header ID %02x found\n".
config_file_ptr config_file_open(const char* name, ConfigFileError* error = nullptr);

// The stream bytes the file holds: its data, at most data_length of them.
std::span<const std::uint8_t> config_file_stream(const config_file& file);

// Hands out up to count stream bytes; the number handed out, 0 at the end of the data.
std::uint32_t config_file_read(config_file& file, std::uint8_t* buffer, std::uint32_t count);

// Frees the record.
void config_file_close(config_file_ptr file);

// Opens a design file and judges it whole before anything reaches the FPGA: it must open, its
// header must be sound, hold the data it promises, name the FPGA's part (when it names one),
// and carry a stream that the chip takes: the sync word, the part's size, whole packets and
// passing CRC checks over every write. `fpga_idcode` is the FPGA's on the chain (0: any
// Spartan-II size). Null when refused, with the reason as one line in `problem`.
config_file_ptr config_file_load(const char* name, std::uint32_t fpga_idcode,
                                 std::string& problem);

}  // namespace oscset::jtag

#pragma once
// Reader of configuration files: a .bit file (a header of keyed fields, then the configuration
// stream) or a raw stream (its first byte the dummy byte 0xFF), handed out in blocks.

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace oscset::jtag {

inline constexpr std::size_t CONFIG_FIELD_SIZE = 64;
inline constexpr std::size_t CONFIG_PREAMBLE_SIZE = 13;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct config_file {
    std::array<std::uint8_t, CONFIG_PREAMBLE_SIZE> preamble{};  // as read; not examined
    std::unique_ptr<std::FILE, FileCloser> handle;
    std::uint32_t part_idcode = 0;  // the device-table row named by the part field, or 0
    std::uint32_t data_length = 0;  // stream bytes after the header
    // The text fields as stored, terminator included when the file has one. A longer value
    // keeps its first 64 bytes (then without terminator); the rest is skipped.
    std::array<char, CONFIG_FIELD_SIZE> design_name{};  // 'a'
    std::array<char, CONFIG_FIELD_SIZE> part_name{};    // 'b'
    std::array<char, CONFIG_FIELD_SIZE> date{};         // 'c'
    std::array<char, CONFIG_FIELD_SIZE> time{};         // 'd'
};

using config_file_ptr = std::unique_ptr<config_file>;

inline constexpr std::uint8_t RAW_STREAM_MARK = 0xFF;  // a raw stream starts with its dummy word

enum class ConfigFileError { NONE, CANNOT_OPEN, BAD_HEADER };

// Opens the file and reads its header up to the data field, leaving the file at the first
// stream byte; a raw stream has no header, its data is the whole file. Null on any failure,
// with its kind in `error` when given (errno tells why a file could not be opened); an
// unknown key prints "Unknown header ID %02x found\n".
config_file_ptr config_file_open(const char* name, ConfigFileError* error = nullptr);

// Reads up to count bytes; the number read, 0 at the end of the file or on an error.
std::uint32_t config_file_read(config_file& file, std::uint8_t* buffer, std::uint32_t count);

// Closes the file and frees the record.
void config_file_close(config_file_ptr file);

}  // namespace oscset::jtag

#pragma once
// The configuration engine: loads a configuration stream into the selected Spartan-II over
// JTAG, from memory or from a configuration file, in the foreground or on a worker thread.

#include <cstdint>

#include "cables/status.hpp"
#include "jtag/background.hpp"

namespace oscset::jtag {

// Bit 31 of the length word asks for the worker thread; bits 30..0 are the bytes of a memory
// image, or 0 for a file.
inline constexpr std::uint32_t CONFIG_BACKGROUND = LENGTH_BACKGROUND;
inline constexpr std::uint32_t CONFIG_BLOCK_SIZE = 4096;

// Status register bits.
inline constexpr std::uint32_t STAT_CRC_ERROR = 0x00000001;
inline constexpr std::uint32_t STAT_DONE = 0x00004000;
inline constexpr std::uint32_t STAT_NO_ANSWER = 0xFFFF0000;

// The wait between the reconfiguration sequences, and between progress lines.
inline constexpr std::uint32_t RECONFIG_WAIT_MS = 50;
inline constexpr std::uint32_t PROGRESS_MS = 100;

// With a source, starts a configuration: a memory image (first byte 0xFF, with its length in
// the length word) or a NUL-terminated file name. A file is refused (STATUS_FILE_ERROR) before
// the FPGA is touched when it cannot be opened, its header is bad, it holds less data than
// the header says, or its part field names another part than the selected FPGA. With a null
// source it only polls: the finished result once, STATUS_BUSY while the worker runs. The
// configuration writes the length word: bit 31 cleared when taken, the bytes still to send
// after every block.
status_t fpga_configure(const void* source, std::int32_t* length);

// Configures on the worker thread and prints "\rConfigration remain=%8ld" after the start,
// every 100 ms while it runs and once at the end, then "\n"; then, when a file failed, one
// line that names it and says why. Returns the final status.
status_t fpga_configure_with_progress(const void* source, std::int32_t length);

// The body of a configuration, inline or on the worker thread.
status_t fpga_configure_worker(const void* source, std::int32_t* length);

// Reads the configuration status register through CFG_IN and CFG_OUT.
status_t fpga_read_status(std::uint32_t* out);
// Shuts a running design down before a new stream: sequence A, JSTART clocks, sequence B.
status_t fpga_prepare_reconfig();
// Loads CFG_IN and enters Shift-DR behind one zero word.
status_t fpga_begin_stream();
// Shifts one block of the stream; the last one leaves Shift-DR and clocks the start-up.
status_t fpga_stream_block(const std::uint8_t* block, std::uint32_t count, std::int32_t last);

}  // namespace oscset::jtag

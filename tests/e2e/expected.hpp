#pragma once
// What the program prints and what the board logs, for the runs the end-to-end tests make.

#include <cstdint>
#include <string>

#include "tests/e2e/progress.hpp"

namespace oscset::testing {

inline constexpr std::int32_t IMAGE_BYTES = 97652;
inline constexpr std::uint32_t CONFIG_BLOCK_BYTES = 4096;

inline const std::string PROMPT = "input frequency(EX. 10.2K or 66M). ";
inline const std::string USAGE =
    "Ex. oscset 10.5K    .....  10.5KHz\n"
    "    oscset 12.3M    .....  12.3MHz\n"
    "    oscset          .....  conversation mode.\n"
    "      (1.0Hz <= f <= 180MHz)\n";
inline const std::string NO_LOCK = "Can't lock error!!!\n";
// What --help says after the usage: the variables that change what the program does.
inline const std::string HELP_ENVIRONMENT =
    "\nEnvironment:\n"
    "  OSCSET_CONFIG_IMAGE=<file>  the board's design (.bit file or raw stream); without\n"
    "                              it " OSCSET_SYSTEM_DESIGN ", else the built-in design\n"
    "  OSCSET_CABLE=<cable>        usb (the first USB adapter; the default), usb:N,\n"
    "                              parallel or parallel:0x378 (the printer-port cable at\n"
    "                              that I/O base), auto\n"
    "\nSee man oscset.\n";

// The progress line after a finished configuration.
inline const std::string CONFIGURED = progress_line(0) + "\n";
// When the chain cannot be used the one progress line shows the length, the request never taken.
inline const std::string NOT_CONFIG_LINE = "Can't Config ALDER-FPGA\n";
// No design given, and the image the program carries is a placeholder.
inline const std::string NO_DESIGN =
    "No design for the board's FPGA: name its file in OSCSET_CONFIG_IMAGE or install it as " OSCSET_SYSTEM_DESIGN
    " (see man oscset)\n";
inline const std::string NOT_CONFIGURED =
    progress_line(static_cast<std::int32_t>(IMAGE_BYTES)) + "\n" + NOT_CONFIG_LINE;

inline const std::string RESULT_10M =
    "40.000000000MHz/4=10.000000000MHz div_a=24 div_b=40\nError 0.00000%\n\n";
inline const std::string RESULT_12_3M =
    "24.600000000MHz/2=12.300000000MHz div_a=40 div_b=41\nError 0.00000%\n\n";
inline const std::string RESULT_66M = "66.000000000MHz div_a=24 div_b=66\nError 0.00000%\n\n";

// Board event lines.
inline std::string fpga_shutdown(int device) {
    return "fpga " + std::to_string(device) + " shutdown";
}
inline std::string fpga_configured(int device) {
    return "fpga " + std::to_string(device) + " configuration finished crc ok done 1";
}
inline const std::string WRITE_10M = "bus write 0x00000000 17 00 27 00 01 00 00 01";
inline const std::string WRITE_12_3M = "bus write 0x00000000 27 00 28 00 00 00 00 01";
inline const std::string WRITE_66M = "bus write 0x00000000 17 00 41 00 ff ff ff 00";
inline const std::string SET_10M = "synth set 10000000.000 Hz div_a 24 div_b 40 post_div 4 mode 1";
inline const std::string SET_12_3M =
    "synth set 12300000.000 Hz div_a 40 div_b 41 post_div 2 mode 1";
inline const std::string SET_66M =
    "synth set 66000000.000 Hz div_a 24 div_b 66 post_div none mode 0";
inline const std::string LOCKED_10M = "synth locked 10000000.000 Hz";
inline const std::string LOCKED_12_3M = "synth locked 12300000.000 Hz";
inline const std::string LOCKED_66M = "synth locked 66000000.000 Hz";
inline const std::string READ_LOCKING = "bus read 0x00000000 02";
inline const std::string READ_LOCKED = "bus read 0x00000000 03";

}  // namespace oscset::testing

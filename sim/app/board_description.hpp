#pragma once
// The simulated hardware as oscset-sim's user describes it in OSCSET_SIM_BOARD: a
// comma-separated list of key=value.
//   chain=<part>+<part>...        device-table names from the TDO end (default 2s100)
//   configured=0|1                the FPGA still runs the design of an earlier run (default 0)
//   adapter=fresh|ready|absent|emulated
//                                 the USB adapter: blank, already running its firmware, not
//                                 plugged in, or an emulated EZ-USB that runs the firmware
//                                 image the program loads into it (default fresh)
//   lock=<reads>|never            the synthesiser's status read that first shows lock
//                                 (default 1)
//   power=1|0                     the target's supply (default 1)
//   fail_reads=<N>                the adapter answers its first N bulk reads, then every
//                                 read fails
//   fail_writes=<N>               the adapter takes its first N bulk writes, then every
//                                 write fails; reads still answer
//   lose_write=<N>                the adapter takes N bulk writes, loses the next one and
//                                 takes the rest
//   unplug=<N>                    after N bulk transfers the adapter is gone
//   stale=1|0                     the adapter holds an answer an interrupted run left unread
//   placeholder=used|refused      whether the program takes its placeholder image when no
//                                 design is given, or refuses it as oscset does (default used)
//   system_design=<path>          the simulated machine's system-wide design file (default:
//                                 none, whatever the real machine has)
//   adapters=<N>                  N adapters on the bus (1 to 8), each with a board of its own
//                                 of this description (default 1)
//   reconnect=<N>                 opens a booted adapter misses while it renumerates
//                                 (default 3; not with emulated, whose chip keeps its own time)
//   direct=1|0                    a cable wired straight to the connector takes the USB
//                                 cable's place (no USB adapter then) (default 0)

#include <cstdint>
#include <optional>
#include <string>

#include "sim/board/board.hpp"
#include "sim/usb/faulty_usb.hpp"
#include "sim/usb/sim_adapter.hpp"

namespace oscset::sim {

enum class AdapterKind { FRESH, READY, ABSENT, EMULATED };

inline constexpr std::uint32_t MAX_SIM_ADAPTERS = 8;

struct SimDescription {
    BoardConfig board;
    AdapterKind adapter = AdapterKind::FRESH;
    UsbFaults faults;
    bool refuse_placeholder = false;
    std::string system_design;
    std::uint32_t adapters = 1;
    std::optional<std::uint32_t> reconnect;
    bool direct_cable = false;
};

// Fills `out` from the text (null or empty: every default). False with a message in `error`
// for an unknown key, a bad value or an unknown part.
bool parse_board_description(const char* text, SimDescription& out, std::string& error);

}  // namespace oscset::sim

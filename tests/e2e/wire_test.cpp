// The wire of a whole run, read back by decoders written elsewhere: sigrok's JTAG decoder on
// the connector's VCD file, tshark's usbmon dissector on the adapter's pcap file. One run on
// the emulated adapter with a real XC2S30 design feeds both.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "resources/ezusb_firmware.hpp"
#include "sim/board/chain_device.hpp"
#include "sim/board/parts.hpp"
#include "sim/board/synthesiser.hpp"
#include "sim/wire/jtag_probe.hpp"
#include "tests/e2e/rig.hpp"
#include "tests/support/temp_file.hpp"

namespace oscset::testing {
namespace {

constexpr const char* BOARD = "adapter=emulated,chain=2s30";
constexpr const char* DESIGN = "xc2s30-proxmark-hf.bit";
constexpr double REQUESTED_HZ = 12.3e6;
constexpr std::uint16_t CPUCS = 0x7F92;
constexpr std::uint8_t LOAD_REQUEST = 160;
// The firmware's endpoints: byte mode (eight clocks a byte) and one byte a clock, whose
// 0x02 bit sets levels without a clock.
constexpr unsigned BYTE_MODE_OUT[] = {0x02, 0x04};
constexpr unsigned CLOCK_OUT = 0x06;
constexpr unsigned LEVELS_ONLY = 0x02;

bool installed(const char* tool) {
    return std::system((std::string("command -v ") + tool + " > /dev/null 2>&1").c_str()) == 0;
}

// What the command prints, by line; it runs without the test program's device-node preload.
std::vector<std::string> output_lines(const std::string& command) {
    std::vector<std::string> lines;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(
        popen(("env -u LD_PRELOAD " + command + " 2>/dev/null").c_str(), "r"), pclose);
    if (!pipe) {
        return lines;
    }
    std::string line;
    for (int c = 0; (c = std::fgetc(pipe.get())) != EOF;) {
        if (c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    return lines;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (c == '\t') {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

std::vector<std::uint8_t> hex_bytes(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// One Shift-IR or Shift-DR visit as the decoder reports it, bits in the order shifted.
struct Scan {
    bool ir = false;
    std::string bits;
};

// `pin`: "tdi" or "tdo".
std::vector<Scan> decoded_scans(const std::string& vcd, const std::string& pin = "tdi") {
    std::vector<Scan> scans;
    for (const std::string& line :
         output_lines("sigrok-cli -i " + vcd + " -I vcd:compress=10 -P " +
                      "jtag:tdi=tdi:tdo=tdo:tck=tck:tms=tms -A jtag=bitstring-" + pin)) {
        for (const char* kind : {"IR TD", "DR TD"}) {
            const std::size_t at = line.find(kind);
            if (at != std::string::npos) {
                const std::size_t from = at + 8;  // past "IR TDx: "
                // The decoder prints the first bit shifted last.
                std::string bits = line.substr(from, line.find(' ', from) - from);
                std::reverse(bits.begin(), bits.end());
                scans.push_back({kind[0] == 'I', std::move(bits)});
            }
        }
    }
    return scans;
}

std::uint32_t value_lsb_first(const std::string& bits) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < bits.size() && i < 32; ++i) {
        v |= static_cast<std::uint32_t>(bits[i] == '1') << i;
    }
    return v;
}

// Bytes most significant bit first, as the FPGA's configuration logic and bridge take them.
std::vector<std::uint8_t> bytes_msb_first(const std::string& bits, std::size_t from = 0) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = from; i + 8 <= bits.size(); i += 8) {
        std::uint8_t b = 0;
        for (std::size_t k = 0; k < 8; ++k) {
            b = static_cast<std::uint8_t>(b << 1 | (bits[i + k] == '1'));
        }
        out.push_back(b);
    }
    return out;
}

// A .bit file's stream: after the 13-byte preamble, fields 'a' to 'd' (a 16-bit length each),
// then 'e' with a 32-bit length and the stream; lengths big-endian.
std::vector<std::uint8_t> bit_file_stream(const std::vector<std::uint8_t>& file) {
    const auto big_endian = [&file](std::size_t at, int bytes) {
        std::size_t v = 0;
        for (int i = 0; i < bytes && at + i < file.size(); ++i) {
            v = v << 8 | file[at + i];
        }
        return v;
    };
    for (std::size_t at = 13; at < file.size();) {
        if (file[at] == 'e') {
            const std::size_t length = big_endian(at + 1, 4);
            return {
                file.begin() + static_cast<std::ptrdiff_t>(std::min(at + 5, file.size())),
                file.begin() + static_cast<std::ptrdiff_t>(std::min(at + 5 + length, file.size()))};
        }
        at += 3 + big_endian(at + 1, 2);
    }
    return {};
}

// The decoded wire: instructions loaded after the chain scan, the longest CFG_IN scan and the
// USER1 scans' bits.
void check_jtag_wire(const std::vector<Scan>& scans,
                     const std::vector<std::uint8_t>& design_stream) {
    ASSERT_FALSE(scans.empty()) << "sigrok decoded nothing";
    const std::size_t ir_bits = sim::find_part("2s30")->ir_length;
    std::vector<std::pair<std::uint32_t, std::size_t>> instructions;
    std::uint32_t current = 0;
    std::string stream;
    std::vector<std::string> user1;
    for (std::size_t i = 1; i < scans.size(); ++i) {  // 0: the chain scan's IR
        if (scans[i].ir) {
            current = value_lsb_first(scans[i].bits);
            instructions.emplace_back(current, scans[i].bits.size());
        } else if (current == sim::FPGA_CFG_IN && scans[i].bits.size() > stream.size()) {
            stream = scans[i].bits;
        } else if (current == sim::FPGA_USER1) {
            user1.push_back(scans[i].bits);
        }
    }
    // Discovery's IDCODE check; the status read; the stream and its start-up; the status read
    // again; the bridge.
    const std::vector<std::pair<std::uint32_t, std::size_t>> expected{
        {sim::FPGA_IDCODE, ir_bits},  {sim::FPGA_CFG_IN, ir_bits}, {sim::FPGA_CFG_OUT, ir_bits},
        {sim::FPGA_CFG_IN, ir_bits},  {sim::FPGA_JSTART, ir_bits}, {sim::FPGA_CFG_IN, ir_bits},
        {sim::FPGA_CFG_OUT, ir_bits}, {sim::FPGA_USER1, ir_bits},
    };
    EXPECT_EQ(instructions, expected);

    EXPECT_EQ(stream.size(), 8 * design_stream.size());
    EXPECT_TRUE(bytes_msb_first(stream) == design_stream)
        << "the CFG_IN bits are not the design's stream";

    // From the start bit on, a write packet to address 0 with the 8-byte record:
    // header 80 00 00 00, chunk 48, the record, end 00.
    bool found = false;
    for (const std::string& bits : user1) {
        const std::vector<std::uint8_t> b = bytes_msb_first(bits, bits.find('1') + 1);
        const std::uint8_t head[] = {0x80, 0x00, 0x00, 0x00, 0x48};
        const auto packet = std::search(b.begin(), b.end(), std::begin(head), std::end(head));
        if (b.end() - packet < 14 || packet[13] != 0x00) {
            continue;
        }
        std::array<std::uint8_t, 8> record{};
        std::copy_n(packet + 5, 8, record.begin());
        const sim::SynthSettings settings = sim::decode_synth_record(record);
        EXPECT_TRUE(settings.valid);
        EXPECT_NEAR(settings.frequency_hz, REQUESTED_HZ, 1e-3);
        found = true;
    }
    EXPECT_TRUE(found) << "no USER1 packet writes the control record";
}

// The firmware's download between the CPU's halt and its run; the clocks that the bulk OUT data
// asks for; the stream in byte mode, each byte least significant bit first (its last byte goes
// one clock a byte, with the TMS change of its last clock).
void check_usb_wire(const std::vector<std::string>& submits, std::uint64_t board_clocks,
                    const std::vector<std::uint8_t>& design_stream) {
    const std::span<const std::uint8_t> firmware = resources::ezusb_firmware();
    std::vector<int> loaded(firmware.size(), -1);
    enum { BEFORE_HALT, LOADING, RUNNING } phase = BEFORE_HALT;
    std::uint64_t clocks = 0;
    std::vector<std::uint8_t> byte_mode;
    for (const std::string& line : submits) {
        const std::vector<std::string> f = fields(line);  // type, endpoint, request, value, data
        ASSERT_EQ(f.size(), 6u) << line;
        const unsigned endpoint = std::stoul(f[1], nullptr, 16);
        if (f[0] == "0x02" && endpoint == 0 && f[2] == std::to_string(LOAD_REQUEST)) {
            const unsigned value = std::stoul(f[3], nullptr, 16);
            const std::vector<std::uint8_t> data = hex_bytes(f[4]);
            if (value == CPUCS) {
                ASSERT_EQ(data.size(), 1u);
                if (data[0] == 1 && phase == BEFORE_HALT) {
                    phase = LOADING;
                } else if (data[0] == 0 && phase == LOADING) {
                    phase = RUNNING;
                }
                continue;
            }
            EXPECT_EQ(phase, LOADING) << "a RAM write outside the halt: " << line;
            for (std::size_t i = 0; i < data.size() && value + i < loaded.size(); ++i) {
                loaded[value + i] = data[i];
            }
        } else if (f[0] == "0x03") {
            const std::vector<std::uint8_t> data = hex_bytes(f[5]);
            if (std::find(std::begin(BYTE_MODE_OUT), std::end(BYTE_MODE_OUT), endpoint) !=
                std::end(BYTE_MODE_OUT)) {
                clocks += 8 * data.size();
                byte_mode.insert(byte_mode.end(), data.begin(), data.end());
            } else if (endpoint == CLOCK_OUT) {
                clocks += std::count_if(data.begin(), data.end(),
                                        [](std::uint8_t b) { return (b & LEVELS_ONLY) == 0; });
            }
        }
    }
    EXPECT_EQ(phase, RUNNING) << "no halt, download and run in that order";
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), loaded.begin()))
        << "the 0xA0 writes do not cover the firmware image";
    EXPECT_EQ(clocks, board_clocks);
    ASSERT_FALSE(design_stream.empty());
    std::vector<std::uint8_t> lsb_first(design_stream.begin(), design_stream.end() - 1);
    std::transform(lsb_first.begin(), lsb_first.end(), lsb_first.begin(), [](std::uint8_t b) {
        std::uint8_t r = 0;
        for (int k = 0; k < 8; ++k) {
            r = static_cast<std::uint8_t>(r << 1 | ((b >> k) & 1));
        }
        return r;
    });
    EXPECT_NE(std::search(byte_mode.begin(), byte_mode.end(), lsb_first.begin(), lsb_first.end()),
              byte_mode.end())
        << "the bulk OUT data does not carry the stream";
}

TEST(Wire, AWholeRunReadsBackThroughSigrokAndTshark) {
    if (!installed("sigrok-cli") || !installed("tshark")) {
        GTEST_SKIP() << "needs sigrok-cli and tshark (Debian packages sigrok-cli, tshark)";
    }
    const TempFile vcd({});
    const TempFile pcap({});
    std::uint64_t board_clocks = 0;
    {
        Rig rig(BOARD, CablePath::EMULATED_ADAPTER,
                {.vcd_file = vcd.path(), .pcap_file = pcap.path()});
        rig.use_design(test_data(DESIGN));
        EXPECT_EQ(rig.run({"12.3M"}).exit_code, 0);
        board_clocks = rig.board().clocks();
    }
    const std::vector<std::uint8_t> stream = bit_file_stream(read_file(test_data(DESIGN)));
    check_jtag_wire(decoded_scans(vcd.path()), stream);
    check_usb_wire(output_lines(std::string("tshark -r ") + pcap.path() +
                                " -Y usb.urb_type==83 -T fields -e usb.transfer_type" +
                                " -e usb.endpoint_address -e usb.setup.bRequest" +
                                " -e usb.setup.wValue -e usb.data_fragment -e usb.capdata"),
                   board_clocks, stream);
}

// Loading IDCODE and reading it, as cable shifts: count, TDI bits (the first clock's in bit 7),
// TMS on all clocks but the last and on the last.
struct Shift {
    std::uint32_t count;
    std::uint8_t tdi;
    bool tms_during;
    bool tms_last;
};
constexpr Shift IDCODE_READ[] = {
    {6, 0, true, false},     // Run-Test/Idle through Test-Logic-Reset
    {2, 0, true, true},      // Select-IR-Scan
    {2, 0, false, false},    // Shift-IR
    {5, 0x90, false, true},  // IDCODE (01001) in, least significant bit first; Exit1-IR
    {2, 0, true, true},      // Update-IR, Select-DR-Scan
    {2, 0, false, false},    // Shift-DR
    {32, 0, false, true},    // the IDCODE out; Exit1-DR
    {1, 0, true, true},      // Update-DR
};

enum class Entry { CLOCK, CLOCK_BITS, DRIVE };

// The three ways that the cables reach the connector, each through the probe: sigrok must read
// the same scans from each file, TDI and TDO.
TEST(Wire, EveryWayOfDrivingThePinsDecodesAlike) {
    if (!installed("sigrok-cli")) {
        GTEST_SKIP() << "needs sigrok-cli (Debian package sigrok-cli)";
    }
    for (const Entry entry : {Entry::CLOCK, Entry::CLOCK_BITS, Entry::DRIVE}) {
        SCOPED_TRACE(entry == Entry::CLOCK        ? "clock"
                     : entry == Entry::CLOCK_BITS ? "clock_bits"
                                                  : "drive");
        const TempFile vcd({});
        {
            sim::BoardConfig config;
            config.chain = {"2s30"};
            sim::Board board(config);
            sim::JtagProbe probe(board, vcd.path());
            for (const Shift& s : IDCODE_READ) {
                const std::array<std::uint8_t, 4> tdi{s.tdi};
                std::array<std::uint8_t, 4> tdo{};
                if (entry == Entry::CLOCK_BITS) {
                    probe.clock_bits(tdi.data(), tdo.data(), s.count, s.tms_during, s.tms_last);
                    continue;
                }
                for (std::uint32_t i = 0; i < s.count; ++i) {
                    const bool bit = i < 8 && ((s.tdi >> (7 - i)) & 1) != 0;
                    const bool tms = i + 1 == s.count ? s.tms_last : s.tms_during;
                    if (entry == Entry::CLOCK) {
                        probe.clock(bit, tms);
                    } else {
                        probe.drive(false, bit, tms);
                        probe.drive(true, bit, tms);
                    }
                }
            }
        }
        const std::vector<Scan> in = decoded_scans(vcd.path());
        const std::vector<Scan> out = decoded_scans(vcd.path(), "tdo");
        ASSERT_EQ(in.size(), 2u);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_TRUE(in[0].ir);
        EXPECT_EQ(in[0].bits, "10010");
        EXPECT_EQ(out[1].bits.size(), 32u);
        EXPECT_EQ(value_lsb_first(out[1].bits), sim::find_part("2s30")->idcode | 1u << 28);
    }
}

}  // namespace
}  // namespace oscset::testing

// What reaches the chain on the road of one request, seen shift by shift by a cable in front
// of each path's own: the image in its blocks, the record in one packet, and scans that stay
// open between transfers when nothing else is on the chain.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "jtag/chain.hpp"
#include "jtag/chain_position.hpp"
#include "jtag/tap.hpp"
#include "resources/config_image.hpp"
#include "tests/e2e/expected.hpp"
#include "tests/e2e/rig.hpp"

namespace oscset::testing {
namespace {

using sim::TapState;

// A scan seen from the cable: shifts that each begin in Shift-DR with TMS low until their last
// clock, one straight after another.
bool continues_scan(const ObservedShift& s) {
    return s.state_before == TapState::SHIFT_DR && (!s.tms_during || s.count == 1);
}

// The shifts that carried TDI data in the CFG_IN scan with the most data: the stream.
std::vector<std::size_t> stream_blocks(const std::vector<ObservedShift>& shifts) {
    std::vector<std::size_t> best;
    std::size_t best_bits = 0;
    for (std::size_t i = 0; i < shifts.size();) {
        if (!continues_scan(shifts[i]) || shifts[i].instruction != jtag::INSTRUCTION_CFG_IN) {
            ++i;
            continue;
        }
        std::vector<std::size_t> blocks;
        std::size_t bits = 0;
        for (; i < shifts.size() && continues_scan(shifts[i]); ++i) {
            if (!shifts[i].tdi.empty()) {
                blocks.push_back(i);
                bits += shifts[i].tdi.size();
            }
        }
        if (bits > best_bits) {
            best = blocks;
            best_bits = bits;
        }
    }
    return best;
}

// The index of the event line, and of the shift during which the board logged it.
std::optional<std::size_t> event_index(const std::vector<std::string>& events,
                                       std::string_view prefix, int nth = 0) {
    for (std::size_t e = 0; e < events.size(); ++e) {
        if (std::string_view(events[e]).substr(0, prefix.size()) == prefix && nth-- == 0) {
            return e;
        }
    }
    return std::nullopt;
}
std::optional<std::size_t> shift_logging(const std::vector<ObservedShift>& shifts,
                                         std::size_t event) {
    for (std::size_t i = 0; i < shifts.size(); ++i) {
        if (shifts[i].events_before <= event && event < shifts[i].events_after) {
            return i;
        }
    }
    return std::nullopt;
}

// The bit that opens every newly selected USER scan: one clock, TDI high.
bool is_start_bit(const ObservedShift& s) {
    return s.count == 1 && s.tdi == "1" && s.instruction == jtag::INSTRUCTION_USER1 &&
           s.state_before == TapState::SHIFT_DR;
}

constexpr CablePath PATHS[] = {CablePath::USB_ADAPTER, CablePath::DIRECT, CablePath::PARALLEL};
auto path_test_name = [](const auto& info) { return std::string(path_name(info.param)); };

class RoadOfOneRequest : public ::testing::TestWithParam<CablePath> {};

TEST_P(RoadOfOneRequest, ConfiguredBoardIsReconfiguredAndProgrammedWithOnePacket) {
    Rig rig("adapter=ready,configured=1", GetParam());
    const ProgramRun run = rig.run({"12.3M"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, rig.ready_adapter_text() + CONFIGURED + RESULT_12_3M);

    // The traffic took the path asked for.
    ASSERT_NE(rig.adapter(), nullptr);
    const sim::SimAdapterCounts usb = rig.adapter()->counts();
    EXPECT_EQ(usb.bytes_written[1] > 0, GetParam() == CablePath::USB_ADAPTER);
    EXPECT_EQ(rig.printer_port() != nullptr && rig.printer_port()->data() != 0,
              GetParam() == CablePath::PARALLEL);

    // One device, the XC2S100, with nothing on either side of it.
    EXPECT_EQ(jtag::chain_device_count(), 1);
    EXPECT_EQ(jtag::selected_device(), 0);
    const jtag::chain_position& at = jtag::selected_position();
    EXPECT_EQ(at.devices_tdo_side + at.devices_tdi_side + at.ir_bits_tdo_side + at.ir_bits_tdi_side,
              0);

    const std::vector<ObservedShift>& shifts = rig.shifts();
    const std::vector<std::string>& events = rig.events();

    // The image through CFG_IN: 23 blocks of 4096 bytes in one open scan, then the last one
    // of 3,444 bytes, which leaves Shift-DR.
    const std::vector<std::size_t> blocks = stream_blocks(shifts);
    ASSERT_EQ(blocks.size(), 24u);
    std::string streamed;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const ObservedShift& s = shifts[blocks[b]];
        const bool last = b + 1 == blocks.size();
        EXPECT_EQ(s.count, 8 * (last ? IMAGE_BYTES % CONFIG_BLOCK_BYTES : CONFIG_BLOCK_BYTES))
            << "block " << b;
        EXPECT_EQ(s.tms_last, last) << "block " << b;
        EXPECT_FALSE(s.reads_tdo) << "block " << b;
        streamed += s.tdi;
    }
    const auto image = resources::config_image();
    EXPECT_TRUE(streamed == byte_bits(image));

    // The running design was shut down before the stream, and the new one started after it.
    const auto shutdown = event_index(events, fpga_shutdown(0));
    ASSERT_TRUE(shutdown.has_value());
    EXPECT_LE(*shutdown, shifts[blocks.front()].events_before);
    const auto finished = event_index(events, fpga_configured(0));
    ASSERT_TRUE(finished.has_value());
    EXPECT_GE(*finished, shifts[blocks.back()].events_after);

    // The record as one write packet in the USER1 scan, right after its start bit.
    ASSERT_EQ(events_starting(events, "bus write"), (std::vector<std::string>{WRITE_12_3M}));
    const auto write = shift_logging(shifts, *event_index(events, "bus write"));
    ASSERT_TRUE(write.has_value());
    const ObservedShift& packet = shifts[*write];
    EXPECT_EQ(packet.instruction, jtag::INSTRUCTION_USER1);
    EXPECT_EQ(packet.state_before, TapState::SHIFT_DR);
    EXPECT_EQ(packet.tdi,
              byte_bits(std::vector<std::uint8_t>{0x80, 0x00, 0x00, 0x00, 0x48, 0x27, 0x00, 0x28,
                                                  0x00, 0x00, 0x00, 0x00, 0x01, 0x00}));
    ASSERT_GT(*write, 0u);
    EXPECT_TRUE(is_start_bit(shifts[*write - 1]));

    // Lock shows at the first status read.
    EXPECT_EQ(events_starting(events, "bus read"), (std::vector<std::string>{READ_LOCKED}));
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, RoadOfOneRequest, ::testing::ValuesIn(PATHS), path_test_name);

struct ScanCase {
    const char* name;
    const char* board;
    bool scan_stays_open;  // the FPGA alone on the chain: no bypass bits to push through
};

void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.name;
}

const ScanCase SCAN_CASES[] = {
    {"FpgaAlone", "adapter=ready", true},
    {"PromsOnBothSides", "adapter=ready,chain=xcf01s+2s100+18v256", false},
};

class SecondTransfer : public ::testing::TestWithParam<std::tuple<ScanCase, CablePath>> {};

TEST_P(SecondTransfer, ContinuesTheOpenScanOnlyWhenTheFpgaIsAlone) {
    const auto& [c, path] = GetParam();
    Rig rig(c.board, path);
    const ProgramRun run = rig.run({}, "10M\n12.3M\n\n");
    ASSERT_EQ(run.exit_code, 0);

    const std::vector<ObservedShift>& shifts = rig.shifts();
    const std::vector<std::string>& events = rig.events();
    const auto first = event_index(events, "bus write", 0);
    const auto second = event_index(events, "bus write", 1);
    ASSERT_TRUE(first && second);
    const auto w1 = shift_logging(shifts, *first);
    const auto w2 = shift_logging(shifts, *second);
    ASSERT_TRUE(w1 && w2);
    ASSERT_GT(*w1, 0u);
    EXPECT_TRUE(is_start_bit(shifts[*w1 - 1])) << "the first transfer selects USER1";

    // From the first write to the second: reads of the status and the second record. In an
    // open scan every one of them begins in Shift-DR of USER1 and keeps TMS low: no reset
    // and no instruction load.
    bool all_in_open_scan = true;
    for (std::size_t i = *w1 + 1; i <= *w2; ++i) {
        const ObservedShift& s = shifts[i];
        all_in_open_scan = all_in_open_scan && s.state_before == TapState::SHIFT_DR &&
                           s.instruction == jtag::INSTRUCTION_USER1 && !s.tms_during && !s.tms_last;
    }
    EXPECT_EQ(all_in_open_scan, c.scan_stays_open);
    EXPECT_EQ(is_start_bit(shifts[*w2 - 1]), !c.scan_stays_open)
        << "a scan left through Update-DR is opened again with its start bit";
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, SecondTransfer, cases_on_paths(SCAN_CASES, PATHS), CaseOnPath());

}  // namespace
}  // namespace oscset::testing

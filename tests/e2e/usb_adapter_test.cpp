// The program over the simulated USB adapter alone: what its open prints for each state the
// adapter can be found in, and what reaches the board then.

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/expected.hpp"
#include "tests/e2e/rig.hpp"

namespace oscset::testing {
namespace {

const std::string SETUP = "Setup EZ-USB Firmware\n";
const std::string NOT_FOUND = "\nCan't found EZ-USB\nCan't found ALDER-FPGA\n";
const std::string PROTOCOL_ERROR = "error ! USB SPI Protcol\n";
const std::string PROGRAMMED_66M = CONFIGURED + RESULT_66M;

struct AdapterCase {
    const char* name;
    const char* board;
    sim::SimAdapterMode fault;  // fresh: the description decides
    int offline_opens;          // failed opens while a booted adapter re-enumerates
    std::string output;
    int exit_code;
    std::uint32_t downloads;
    std::uint32_t vendor_requests;           // halt and run, per boot
    std::uint32_t reads_before_failure = 0;  // for fails_bulk_read
};

void PrintTo(const AdapterCase& c, std::ostream* os) {
    *os << c.name;
}

const AdapterCase ADAPTER_CASES[] = {
    {"AlreadyRunning", "adapter=ready", sim::SimAdapterMode::fresh, 3,
     SETUP + "\n" + PROGRAMMED_66M, 0, 0, 0},
    {"FreshBackAtOnce", "adapter=fresh", sim::SimAdapterMode::fresh, 0,
     SETUP + "-Boot-Wait.-Reconnect\n" + PROGRAMMED_66M, 0, 1, 2},
    {"FreshAfterThreeMissedOpens", "adapter=fresh", sim::SimAdapterMode::fresh, 3,
     SETUP + "-Boot-Wait....-Reconnect\n" + PROGRAMMED_66M, 0, 1, 2},
    {"FreshAfterTenMissedOpens", "adapter=fresh", sim::SimAdapterMode::fresh, 10,
     SETUP + "-Boot-Wait." + std::string(10, '.') + "-Reconnect\n" + PROGRAMMED_66M, 0, 1, 2},
    {"RefusesTheDownload", "adapter=fresh", sim::SimAdapterMode::refuses_download, 3,
     SETUP + "-Bootusb dwnload err.\n" + NOT_FOUND, -1, 1, 1},
    // 200 tries: the first boots, the other 199 find nothing.
    // Once identified, the adapter stops answering: the probe's exchange fails, so the chain
    // is taken for unpowered; the release on the way out fails the same way.
    {"AnswersStopAtOnce", "adapter=ready", sim::SimAdapterMode::fails_bulk_read, 3,
     SETUP + "\n" + PROTOCOL_ERROR + NOT_CONFIGURED + PROTOCOL_ERROR + PROTOCOL_ERROR, -1, 0, 0, 0},
    {"NeverComesBack", "adapter=fresh", sim::SimAdapterMode::never_returns, 3,
     SETUP + "-Boot-Wait." + std::string(199, '.') + NOT_FOUND, -1, 1, 2},
};

class UsbAdapter : public ::testing::TestWithParam<AdapterCase> {};

TEST_P(UsbAdapter, OpenPrintsItsMarksAndTheRunFollows) {
    const AdapterCase& c = GetParam();
    Rig rig(c.board, CablePath::usb_adapter,
            {.adapter = {.mode = c.fault,
                         .offline_opens = c.offline_opens,
                         .reads_before_failure = c.reads_before_failure}});
    const ProgramRun run = rig.run({"66M"});
    EXPECT_EQ(run.output, c.output);
    EXPECT_EQ(run.exit_code, c.exit_code);
    ASSERT_NE(rig.adapter(), nullptr);
    const sim::SimAdapterCounts counts = rig.adapter()->counts();
    EXPECT_EQ(counts.downloads, c.downloads);
    EXPECT_EQ(counts.vendor_requests, c.vendor_requests);
    if (c.exit_code == 0) {
        EXPECT_EQ(counts.missed_opens, static_cast<std::uint32_t>(c.offline_opens * c.downloads));
        EXPECT_EQ(events_starting(rig.events(), "synth locked"),
                  (std::vector<std::string>{LOCKED_66M}));
    } else {
        EXPECT_TRUE(rig.events().empty());
    }
    if (c.downloads != 0 && c.exit_code != 0) {
        EXPECT_EQ(rig.board().clocks(), 0u) << "an adapter that never ran may not clock the board";
    }
    EXPECT_EQ(rig.adapter()->open_handles(), 0) << "the run ends with the adapter closed";
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, UsbAdapter, ::testing::ValuesIn(ADAPTER_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UsbAdapterAbsent, NothingIsTriedAndNothingReachesTheBoard) {
    Rig rig("adapter=absent", CablePath::usb_adapter);
    const ProgramRun run = rig.run({"66M"});
    EXPECT_EQ(run.output, SETUP + NOT_FOUND);
    EXPECT_EQ(run.exit_code, -1);
    EXPECT_TRUE(run.progress.empty()) << "no configuration is tried";
    EXPECT_EQ(rig.adapter(), nullptr);
    EXPECT_EQ(rig.board().clocks(), 0u);
    EXPECT_TRUE(rig.events().empty());
    EXPECT_TRUE(rig.cable().shifts().empty());
}

// The next run finds what the first left: the adapter running its firmware, the FPGA
// running the design.
TEST(UsbAdapterSecondRun, NeedsNoBootButAReconfiguration) {
    Rig rig("adapter=fresh", CablePath::usb_adapter);
    const ProgramRun first = rig.run({"66M"});
    EXPECT_EQ(first.output, SETUP + "-Boot-Wait....-Reconnect\n" + PROGRAMMED_66M);
    EXPECT_EQ(first.exit_code, 0);
    EXPECT_EQ(events_starting(rig.events(), "fpga"),
              (std::vector<std::string>{fpga_configured(0)}));
    rig.board().clear_events();

    const ProgramRun second = rig.run({"12.3M"});
    EXPECT_EQ(second.output, SETUP + "\n" + CONFIGURED + RESULT_12_3M);
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_EQ(rig.events(),
              (std::vector<std::string>{fpga_shutdown(0), fpga_configured(0), WRITE_12_3M,
                                        SET_12_3M, LOCKED_12_3M, READ_LOCKED}));
    ASSERT_NE(rig.adapter(), nullptr);
    EXPECT_EQ(rig.adapter()->counts().downloads, 1u);
}

// A blank EZ-USB that runs the program's own firmware: the host's halt, download and run reach
// the emulated chip, and what the boot loop then sees is the firmware's own renumeration.
TEST(EmulatedAdapter, BootsWithTheProgramsFirmwareAndRunsTheRoad) {
    Rig rig("adapter=fresh,configured=1", CablePath::emulated_adapter);
    const ProgramRun first = rig.run({"12.3M"});
    EXPECT_EQ(first.exit_code, 0);
    const std::string boot = SETUP + "-Boot-Wait.";
    ASSERT_EQ(first.output.substr(0, boot.size()), boot);
    const std::size_t reconnect = first.output.find("-Reconnect\n");
    ASSERT_NE(reconnect, std::string::npos);
    EXPECT_EQ(first.output.find_first_not_of('.', boot.size()), reconnect)
        << "only dots while the adapter renumerates";
    EXPECT_EQ(first.output.substr(reconnect), "-Reconnect\n" + CONFIGURED + RESULT_12_3M);
    EXPECT_EQ(rig.events(),
              (std::vector<std::string>{fpga_shutdown(0), fpga_configured(0), WRITE_12_3M,
                                        SET_12_3M, LOCKED_12_3M, READ_LOCKED}));
    ASSERT_NE(rig.emulated_adapter(), nullptr);
    EXPECT_EQ(rig.emulated_adapter()->enumerations(), 2u) << "once blank, once with the firmware";

    const ProgramRun second = rig.run({"66M"});
    EXPECT_EQ(second.output,
              SETUP + "\n" + CONFIGURED + "66.000000000MHz div_a=24 div_b=66\nError 0.00000%\n\n");
}

}  // namespace
}  // namespace oscset::testing

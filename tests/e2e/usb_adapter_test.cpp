// The program over the simulated USB adapter alone: what its open prints for each state the
// adapter can be found in, and what reaches the board then.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

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
    std::uint32_t vendor_requests;  // halt and run, per boot
};

void PrintTo(const AdapterCase& c, std::ostream* os) {
    *os << c.name;
}

const AdapterCase ADAPTER_CASES[] = {
    {"AlreadyRunning", "adapter=ready", sim::SimAdapterMode::FRESH, 3,
     SETUP + "\n" + PROGRAMMED_66M, 0, 0, 0},
    {"FreshBackAtOnce", "adapter=fresh,reconnect=0", sim::SimAdapterMode::FRESH, 0,
     SETUP + "-Boot-Wait.-Reconnect\n" + PROGRAMMED_66M, 0, 1, 2},
    {"FreshAfterThreeMissedOpens", "adapter=fresh", sim::SimAdapterMode::FRESH, 3,
     SETUP + "-Boot-Wait....-Reconnect\n" + PROGRAMMED_66M, 0, 1, 2},
    {"FreshAfterTenMissedOpens", "adapter=fresh,reconnect=10", sim::SimAdapterMode::FRESH, 10,
     SETUP + "-Boot-Wait." + std::string(10, '.') + "-Reconnect\n" + PROGRAMMED_66M, 0, 1, 2},
    {"RefusesTheDownload", "adapter=fresh", sim::SimAdapterMode::REFUSES_DOWNLOAD, 3,
     SETUP + "-Bootusb dwnload err.\n" + NOT_FOUND, -1, 1, 1},
    // 200 tries: the first boots, the other 199 find nothing.
    // Once identified, the adapter stops answering: the probe's exchange fails, so the chain
    // is taken for unpowered; the release on the way out fails the same way.
    {"AnswersStopAtOnce", "adapter=ready,fail_reads=0", sim::SimAdapterMode::FRESH, 3,
     SETUP + "\n" + PROTOCOL_ERROR + NOT_CONFIGURED + PROTOCOL_ERROR + PROTOCOL_ERROR, -1, 0, 0},
    {"NeverComesBack", "adapter=fresh", sim::SimAdapterMode::NEVER_RETURNS, 3,
     SETUP + "-Boot-Wait." + std::string(199, '.') + NOT_FOUND, -1, 1, 2},
    // An earlier run left an answer in the adapter: the open takes it out before the reader's
    // first read could meet it. A stale adapter has run its firmware, so nothing is loaded.
    {"HoldsAStaleAnswer", "adapter=ready,stale=1", sim::SimAdapterMode::FRESH, 3,
     SETUP + "\n" + PROGRAMMED_66M, 0, 0, 0},
    {"FreshButHoldsAStaleAnswer", "adapter=fresh,stale=1", sim::SimAdapterMode::FRESH, 3,
     SETUP + "\n" + PROGRAMMED_66M, 0, 0, 0},
};

// The simulated adapter behind the driver's calls, behind a device node under libusb, and
// behind WinUSB's calls.
constexpr CablePath ADAPTER_PATHS[] = {CablePath::USB_ADAPTER, CablePath::LIBUSB,
                                       CablePath::WINUSB};

class UsbAdapter : public ::testing::TestWithParam<std::tuple<AdapterCase, CablePath>> {};

TEST_P(UsbAdapter, OpenPrintsItsMarksAndTheRunFollows) {
    const auto& [c, path] = GetParam();
    if (const char* why = path_unavailable(path)) {
        GTEST_SKIP() << why;
    }
    Rig rig(c.board, path, {.adapter_fault = c.fault});
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
    EXPECT_TRUE(rig.adapter_closed()) << "the run ends with the adapter closed";
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, UsbAdapter, cases_on_paths(ADAPTER_CASES, ADAPTER_PATHS),
                         CaseOnPath());

class UsbAdapterAbsent : public ::testing::TestWithParam<CablePath> {};

TEST_P(UsbAdapterAbsent, NothingIsTriedAndNothingReachesTheBoard) {
    if (const char* why = path_unavailable(GetParam())) {
        GTEST_SKIP() << why;
    }
    Rig rig("adapter=absent", GetParam());
    const ProgramRun run = rig.run({"66M"});
    EXPECT_EQ(run.output, SETUP + NOT_FOUND);
    EXPECT_EQ(run.exit_code, -1);
    EXPECT_TRUE(run.progress.empty()) << "no configuration is tried";
    EXPECT_EQ(rig.adapter(), nullptr);
    EXPECT_EQ(rig.board().clocks(), 0u);
    EXPECT_TRUE(rig.events().empty());
    EXPECT_TRUE(rig.shifts().empty());
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, UsbAdapterAbsent, ::testing::ValuesIn(ADAPTER_PATHS),
                         [](const auto& info) { return std::string(path_name(info.param)); });

class UsbAdapterTwoPlugged : public ::testing::TestWithParam<CablePath> {};

// Two blank adapters; the one that the program counts first is booted and is slow to come
// back, so that meanwhile the other one is adapter 0. The boot waits for the adapter it
// loaded: the other is neither booted nor driven, and its board sees nothing.
TEST_P(UsbAdapterTwoPlugged, TheBootedAdapterIsTheOneDriven) {
    if (const char* why = path_unavailable(GetParam())) {
        GTEST_SKIP() << why;
    }
    Rig rig("adapters=2,adapter=fresh,configured=1,reconnect=12", GetParam());
    const ProgramRun run = rig.run({"12.3M"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, SETUP + "-Boot-Wait." + std::string(12, '.') + "-Reconnect\n" +
                              CONFIGURED + RESULT_12_3M);
    const std::size_t booted = rig.adapter(0)->counts().downloads != 0 ? 0 : 1;
    const std::size_t other = 1 - booted;
    EXPECT_EQ(rig.adapter(booted)->counts().downloads, 1u);
    EXPECT_EQ(events_starting(rig.events(booted), "synth locked"),
              (std::vector<std::string>{LOCKED_12_3M}));
    const sim::SimAdapterCounts idle = rig.adapter(other)->counts();
    EXPECT_EQ(idle.downloads + idle.vendor_requests, 0u) << "the other adapter is not booted";
    EXPECT_EQ(idle.bytes_read + idle.clocks, 0u) << "the other adapter carries nothing";
    EXPECT_TRUE(rig.events(other).empty());
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, UsbAdapterTwoPlugged, ::testing::ValuesIn(ADAPTER_PATHS),
                         [](const auto& info) { return std::string(path_name(info.param)); });

// The next run finds what the first left: the adapter running its firmware, the FPGA
// running the design.
TEST(UsbAdapterSecondRun, NeedsNoBootButAReconfiguration) {
    Rig rig("adapter=fresh", CablePath::USB_ADAPTER);
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

// A run that pulls the plug, loses its answers or its writes after any number of bulk
// transfers: every frequency it reports as set (its result lines, then the next prompt, or
// exit 0 in argument mode) is one the board's synthesiser locked to, in order; every other
// end is -1 with the driver's message; and no wait outlasts the bounded ones.
struct FaultSweep {
    const char* name;
    const char* key;
    std::vector<const char*> args;
    const char* input;
    std::vector<std::string> results;  // the result lines of each frequency, in order
    bool counts_writes = false;        // the key counts bulk writes alone
};

void PrintTo(const FaultSweep& c, std::ostream* os) {
    *os << c.name;
}

const FaultSweep FAULT_SWEEPS[] = {
    {"FailReadsArgument", "fail_reads", {"66M"}, "", {RESULT_66M}},
    {"FailReadsConversation", "fail_reads", {}, "10M\n12.3M\n\n", {RESULT_10M, RESULT_12_3M}},
    {"UnplugArgument", "unplug", {"66M"}, "", {RESULT_66M}},
    {"UnplugConversation", "unplug", {}, "10M\n12.3M\n\n", {RESULT_10M, RESULT_12_3M}},
};

// A write that fails leaves the read armed for its answers waiting out its whole bound. Over
// libusb that bound is libusb's own, in real time, so these leave libusb out; their faulted
// runs go on a faster clock (a healthy exchange that then runs out of time is one more fault,
// under the same rule).
constexpr std::uint32_t WRITE_FAULT_TIME_DIVISOR = 100;
const FaultSweep WRITE_FAULT_SWEEPS[] = {
    {"FailWritesArgument", "fail_writes", {"66M"}, "", {RESULT_66M}, true},
    {"FailWritesConversation",
     "fail_writes",
     {},
     "10M\n12.3M\n\n",
     {RESULT_10M, RESULT_12_3M},
     true},
    // Lost alone, the second record leaves the synthesiser locked to the first one.
    {"LoseWriteConversation", "lose_write", {}, "10M\n12.3M\n\n", {RESULT_10M, RESULT_12_3M}, true},
};

// The synthesiser's frequency in a result block ("...=12.300000000MHz div_a=..."), as the
// board logs it.
std::string locked_event(const std::string& result) {
    const std::size_t mhz = result.find("MHz div_a");
    const std::size_t from = result.rfind('=', mhz) + 1;
    const double hz = std::stod(result.substr(from, mhz - from)) * 1e6;
    char text[64];
    std::snprintf(text, sizeof text, "synth locked %.3f Hz", hz);
    return text;
}

// Bulk transfers (or writes) of the run without faults; the sweep goes from 0 to this.
std::uint32_t transfers_of_a_clean_run(const FaultSweep& c, CablePath path) {
    Rig rig("adapter=ready", path);
    const ProgramRun run = rig.run(c.args, c.input);
    EXPECT_EQ(run.exit_code, 0);
    return rig.usb()->bulk_transfers() - (c.counts_writes ? rig.usb()->bulk_reads() : 0);
}

// Checks the rule on one run; true when the run ended with 0.
bool keeps_the_rule(const FaultSweep& c, Rig& rig, const ProgramRun& run) {
    const bool argument_mode = c.args.size() == 1;
    // Frequencies reported as set, in order.
    std::vector<std::string> reported;
    std::size_t at = 0;
    for (const std::string& result : c.results) {
        const std::size_t found = run.output.find(result, at);
        if (found == std::string::npos) {
            break;
        }
        at = found + result.size();
        const std::size_t prompt = run.output.find(PROMPT, at);
        const std::size_t no_lock = run.output.find(NO_LOCK, at);
        const bool set =
            argument_mode ? run.exit_code == 0 : prompt != std::string::npos && prompt < no_lock;
        if (set) {
            reported.push_back(locked_event(result));
        }
    }
    // A lock whose answer was lost is not reported; a reported one was logged.
    const std::vector<std::string> locked = events_starting(rig.events(), "synth locked");
    EXPECT_LE(reported.size(), locked.size()) << run.output;
    EXPECT_TRUE(reported.size() <= locked.size() &&
                std::equal(reported.begin(), reported.end(), locked.begin()))
        << run.output;
    if (run.exit_code == 0) {
        EXPECT_EQ(reported.size(), c.results.size());
        return true;
    }
    EXPECT_EQ(run.exit_code, -1);
    const bool ends_as_the_driver_says =
        run.output.find("Can't found ALDER-FPGA\n") != std::string::npos ||
        run.output.find("Can't Config ALDER-FPGA\n") != std::string::npos ||
        run.output.find(NO_LOCK) != std::string::npos;
    EXPECT_TRUE(ends_as_the_driver_says) << run.output;
    return false;
}

class FaultSweepTest : public ::testing::TestWithParam<std::tuple<FaultSweep, CablePath>> {};

// Every count over the driver's calls; over libusb, where every run plugs a device node, and
// over WinUSB, whose backend's own handling is what it adds, every eighth count and the last.
// Under a sanitizer, whose runs are slow, every fourth of those.
constexpr std::uint32_t BACKEND_SWEEP_STEP = 8;
constexpr std::uint32_t SWEEP_STRIDE = OSCSET_SANITIZED ? 4 : 1;

TEST_P(FaultSweepTest, NoFrequencyIsReportedSetWithoutLock) {
#ifdef _WIN32
    // The same code on every platform; under the Windows emulator the sweep's thousand runs
    // would use up the whole test program's time.
    GTEST_SKIP() << "the sweep runs in the native builds";
#endif
    const auto& [c, path] = GetParam();
    if (const char* why = path_unavailable(path)) {
        GTEST_SKIP() << why;
    }
    const std::uint32_t transfers = transfers_of_a_clean_run(c, path);
    ASSERT_GT(transfers, 20u);
    RecordProperty(c.counts_writes ? "bulk_writes" : "bulk_transfers", static_cast<int>(transfers));
    const std::uint32_t step =
        (path == CablePath::USB_ADAPTER ? 1 : BACKEND_SWEEP_STEP) * SWEEP_STRIDE;
    for (std::uint32_t n = 0; n <= transfers;
         n = n < transfers ? std::min(n + step, transfers) : transfers + 1) {
        SCOPED_TRACE(std::string(c.key) + "=" + std::to_string(n));
        const std::string board = std::string("adapter=ready,") + c.key + "=" + std::to_string(n);
        const std::uint32_t divisor =
            c.counts_writes && n < transfers ? WRITE_FAULT_TIME_DIVISOR : TIME_DIVISOR;
        Rig rig(board.c_str(), path, {}, divisor);
        const auto start = std::chrono::steady_clock::now();
        const ProgramRun run = rig.run(c.args, c.input);
        const auto took = std::chrono::steady_clock::now() - start;
        const bool succeeded = keeps_the_rule(c, rig, run);
        if (n == 0 || n == transfers) {
            EXPECT_EQ(succeeded, n == transfers) << "a fault from the start shows, none at the end";
        }
        // The longest wait a run may meet: the read-back's bound once, then the lock poll.
        EXPECT_LT(took, std::chrono::milliseconds(2 * 6000 / divisor + 2000));
    }
}

// The keys on the other adapters: a booted one, and the emulated chip running the firmware.
struct FaultOnAdapter {
    const char* board;
    CablePath path;
    bool succeeds;
};

TEST(FaultKeys, WorkOnEveryAdapter) {
    const FaultSweep& conversation = FAULT_SWEEPS[1];
    const FaultOnAdapter cases[] = {
        {"adapter=fresh,fail_reads=60", CablePath::USB_ADAPTER, false},
        {"adapter=fresh,unplug=0", CablePath::USB_ADAPTER, false},
        {"adapter=fresh,unplug=200", CablePath::USB_ADAPTER, false},
        {"adapter=ready,fail_reads=3", CablePath::EMULATED_ADAPTER, false},
        {"adapter=ready,unplug=0", CablePath::EMULATED_ADAPTER, false},
        {"adapter=ready,unplug=5", CablePath::EMULATED_ADAPTER, false},
        {"adapter=ready,stale=1", CablePath::EMULATED_ADAPTER, true},
        {"adapter=fresh,fail_writes=40", CablePath::USB_ADAPTER, false},
        {"adapter=ready,fail_writes=3", CablePath::EMULATED_ADAPTER, false},
        {"adapter=ready,lose_write=3", CablePath::EMULATED_ADAPTER, false},
    };
    for (const FaultOnAdapter& c : cases) {
        SCOPED_TRACE(std::string(c.board) + " " + path_name(c.path));
        Rig rig(c.board, c.path);
        const ProgramRun run = rig.run(conversation.args, conversation.input);
        EXPECT_EQ(keeps_the_rule(conversation, rig, run), c.succeeds) << run.output;
    }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, FaultSweepTest, cases_on_paths(FAULT_SWEEPS, ADAPTER_PATHS),
                         CaseOnPath());
constexpr CablePath WRITE_FAULT_PATHS[] = {CablePath::USB_ADAPTER, CablePath::WINUSB};
INSTANTIATE_TEST_SUITE_P(WriteFaults, FaultSweepTest,
                         cases_on_paths(WRITE_FAULT_SWEEPS, WRITE_FAULT_PATHS), CaseOnPath());

// A run of 12.3M on a blank emulated adapter and a configured board: the boot with the
// firmware's own renumeration, then the whole job.
void expect_booted_run(Rig& rig, const ProgramRun& run) {
    EXPECT_EQ(run.exit_code, 0);
    const std::string boot = SETUP + "-Boot-Wait.";
    ASSERT_EQ(run.output.substr(0, boot.size()), boot);
    const std::size_t reconnect = run.output.find("-Reconnect\n");
    ASSERT_NE(reconnect, std::string::npos);
    EXPECT_EQ(run.output.find_first_not_of('.', boot.size()), reconnect)
        << "only dots while the adapter renumerates";
    EXPECT_EQ(run.output.substr(reconnect), "-Reconnect\n" + CONFIGURED + RESULT_12_3M);
    EXPECT_EQ(rig.events(),
              (std::vector<std::string>{fpga_shutdown(0), fpga_configured(0), WRITE_12_3M,
                                        SET_12_3M, LOCKED_12_3M, READ_LOCKED}));
    ASSERT_NE(rig.emulated_adapter(), nullptr);
    EXPECT_EQ(rig.emulated_adapter()->enumerations(), 2u) << "once blank, once with the firmware";
}

// A blank EZ-USB that runs the program's own firmware: the host's halt, download and run reach
// the emulated chip, and what the boot loop then sees is the firmware's own renumeration.
TEST(EmulatedAdapter, BootsWithTheProgramsFirmwareAndRunsTheRoad) {
    Rig rig("adapter=fresh,configured=1", CablePath::EMULATED_ADAPTER);
    expect_booted_run(rig, rig.run({"12.3M"}));

    const ProgramRun second = rig.run({"66M"});
    EXPECT_EQ(second.output,
              SETUP + "\n" + CONFIGURED + "66.000000000MHz div_a=24 div_b=66\nError 0.00000%\n\n");
}

// The same blank adapter reached through WinUSB: the setup packets and pipe calls of the
// Windows backend against the chip and the program's own firmware.
TEST(EmulatedAdapter, BootsAndRunsOverWinusb) {
    Rig rig("adapter=emulated,configured=1", CablePath::WINUSB);
    expect_booted_run(rig, rig.run({"12.3M"}));
    EXPECT_TRUE(rig.adapter_closed());
}

}  // namespace
}  // namespace oscset::testing

// The whole program on the simulated board, over each cable path: arguments and standard
// input in; the exact console text, the exit code and the board's event log out.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <span>
#include <system_error>
#include <string>
#include <tuple>
#include <vector>

#include "platform/thread.hpp"
#include "sim/board/tap.hpp"
#include "tests/e2e/expected.hpp"
#include "tests/e2e/rig.hpp"
#include "tests/support/temp_file.hpp"

namespace oscset::testing {
namespace {

using lines = std::vector<std::string>;

lines repeated(const std::string& line, int times) {
    return lines(static_cast<std::size_t>(times), line);
}
lines operator+(lines a, const lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

constexpr int NONE = -1;

struct Scenario {
    const char* name;
    const char* board;  // as OSCSET_SIM_BOARD takes it
    std::vector<const char*> args;
    const char* input;
    std::string output;  // after what the cable prints on opening
    int exit_code;
    lines events;
    int locked_device;    // the FPGA whose synthesiser ends locked, or NONE
    int lock_pauses = 0;  // pauses after status reads that did not show lock
    // OSCSET_CONFIG_IMAGE: a file of tests/data, or a path; in `output` DESIGN stands for it.
    const char* design = nullptr;
    std::size_t design_cut = 0;  // nonzero: only the design's first bytes, in a file of its own
    const char* system_design = nullptr;  // the system-wide design file, of tests/data
    bool opens_cable = true;              // false: the program answers without a cable
};

constexpr const char* DESIGN = "<design>";
const char* const XC2S30_DESIGN = "xc2s30-proxmark-hf.bit";

const lines SET_66M_LOCKED = {WRITE_66M, SET_66M, LOCKED_66M, READ_LOCKED};
const lines SET_10M_LOCKED = {WRITE_10M, SET_10M, LOCKED_10M, READ_LOCKED};
const lines SET_12_3M_LOCKED = {WRITE_12_3M, SET_12_3M, LOCKED_12_3M, READ_LOCKED};

const Scenario SCENARIOS[] = {
    {"ArgumentOnAConfiguredBoard",
     "adapter=ready,configured=1",
     {"12.3M"},
     "",
     CONFIGURED + RESULT_12_3M,
     0,
     lines{fpga_shutdown(0), fpga_configured(0)} + SET_12_3M_LOCKED,
     0},
    {"ArgumentOnABlankBoard",
     "adapter=ready",
     {"66M"},
     "",
     CONFIGURED + RESULT_66M,
     0,
     lines{fpga_configured(0)} + SET_66M_LOCKED,
     0},
    {"Conversation",
     "adapter=ready",
     {},
     "10M\n12.3M\n\n",
     CONFIGURED + PROMPT + RESULT_10M + PROMPT + RESULT_12_3M + PROMPT,
     0,
     lines{fpga_configured(0)} + SET_10M_LOCKED + SET_12_3M_LOCKED,
     0},
    {"TwoArgumentsConverse",
     "adapter=ready",
     {"66M", "12M"},
     "66M\n\n",
     CONFIGURED + PROMPT + RESULT_66M + PROMPT,
     0,
     lines{fpga_configured(0)} + SET_66M_LOCKED,
     0},
    {"EmptyArgumentEndsAfterConfiguring",
     "adapter=ready",
     {""},
     "",
     CONFIGURED,
     0,
     {fpga_configured(0)},
     NONE},
    {"OutOfRangeArgument",
     "adapter=ready",
     {"200M"},
     "",
     CONFIGURED + "input range error.\n" + USAGE,
     -1,
     {fpga_configured(0)},
     NONE},
    {"OutOfRangeAtThePrompt",
     "adapter=ready",
     {},
     "200M\n66M\n",
     CONFIGURED + PROMPT + "input range error.\n" + USAGE,
     -1,
     {fpga_configured(0)},
     NONE},
    {"FormatError",
     "adapter=ready",
     {"abc"},
     "",
     CONFIGURED + "input format error.\n" + USAGE,
     -1,
     {fpga_configured(0)},
     NONE},
    {"NeverLocks",
     "adapter=ready,lock=never",
     {"66M"},
     "",
     CONFIGURED + RESULT_66M + NO_LOCK,
     -1,
     lines{fpga_configured(0), WRITE_66M, SET_66M} + repeated(READ_LOCKING, 10),
     NONE,
     10},
    {"LocksAtTheTenthRead",
     "adapter=ready,lock=10",
     {"66M"},
     "",
     CONFIGURED + RESULT_66M,
     0,
     lines{fpga_configured(0), WRITE_66M, SET_66M} + repeated(READ_LOCKING, 9) +
         lines{LOCKED_66M, READ_LOCKED},
     0,
     9},
    {"WouldLockOnlyAtTheEleventhRead",
     "adapter=ready,lock=11",
     {"66M"},
     "",
     CONFIGURED + RESULT_66M + NO_LOCK,
     -1,
     lines{fpga_configured(0), WRITE_66M, SET_66M} + repeated(READ_LOCKING, 10),
     NONE,
     10},
    {"PromsOnBothSides",
     "adapter=ready,chain=xcf01s+2s100+18v256",
     {"66M"},
     "",
     CONFIGURED + RESULT_66M,
     0,
     lines{fpga_configured(1)} + SET_66M_LOCKED,
     1},
    {"ConversationBetweenProms",
     "adapter=ready,chain=xcf08p+xcf01s+2s100+xcf04s,configured=1",
     {},
     "10M\n12.3M\n\n",
     CONFIGURED + PROMPT + RESULT_10M + PROMPT + RESULT_12_3M + PROMPT,
     0,
     lines{fpga_shutdown(2), fpga_configured(2)} + SET_10M_LOCKED + SET_12_3M_LOCKED,
     2},
    {"TwoSpartanIIs",
     "adapter=ready,chain=2s100+2s100,configured=1",
     {"66M"},
     "",
     CONFIGURED + RESULT_66M,
     0,
     lines{fpga_shutdown(0), fpga_configured(0)} + SET_66M_LOCKED,
     0},
    // The image is an XC2S100's: a larger part takes it and starts, but no design answers.
    {"ImageTooSmallForTheFpga",
     "adapter=ready,chain=2s200",
     {"66M"},
     "",
     CONFIGURED + RESULT_66M + NO_LOCK,
     -1,
     {fpga_configured(0) + ", design incomplete: 24374 frame words with FLR 13, the part "
                           "needs 41652 with FLR 17"},
     NONE,
     10},
    // The board's design at run time, judged before the running one is touched.
    {"DesignFileOfTheChainsPart",
     "adapter=ready,chain=2s30",
     {"66M"},
     "",
     CONFIGURED + RESULT_66M,
     0,
     lines{fpga_configured(0)} + SET_66M_LOCKED,
     0,
     0,
     XC2S30_DESIGN},
    {"DesignFileOfAnotherPart",
     "adapter=ready,configured=1",
     {"66M"},
     "",
     CONFIGURED + "Configuration file \"" + DESIGN +
         "\" is for part 2s30vq100, but the FPGA on the chain is an XC2S100\n" + NOT_CONFIG_LINE,
     -1,
     {},
     NONE,
     0,
     XC2S30_DESIGN},
    {"MissingDesignFile",
     "adapter=ready,configured=1",
     {"66M"},
     "",
     CONFIGURED + "Can't open configuration file \"" + DESIGN + "\": No such file or directory\n" +
         NOT_CONFIG_LINE,
     -1,
     {},
     NONE,
     0,
     "/nonexistent/board.bit"},
    {"TruncatedDesignFile",
     "adapter=ready,chain=2s30,configured=1",
     {"66M"},
     "",
     CONFIGURED + "Configuration file \"" + DESIGN +
         "\" ends after 20000 of its 42096 data bytes\n" + NOT_CONFIG_LINE,
     -1,
     {},
     NONE,
     0,
     XC2S30_DESIGN,
     20079},
    // No design given and the image a placeholder: refused before the FPGA is touched.
    {"PlaceholderRefused",
     "adapter=ready,configured=1,placeholder=refused",
     {"66M"},
     "",
     NO_DESIGN + NOT_CONFIG_LINE,
     -1,
     {},
     NONE},
    {"SystemDesignFile",
     "adapter=ready,chain=2s30,placeholder=refused",
     {"66M"},
     "",
     CONFIGURED + RESULT_66M,
     0,
     lines{fpga_configured(0)} + SET_66M_LOCKED,
     0,
     0,
     nullptr,
     0,
     XC2S30_DESIGN},
    {"Help", "adapter=absent", {"--help"}, "", USAGE + HELP_ENVIRONMENT, 0, {}, NONE, 0, nullptr,
     0, nullptr, false},
    {"Version", "adapter=absent", {"--version"}, "", "oscset 1.0\n", 0, {}, NONE, 0, nullptr, 0,
     nullptr, false},
    // The last three load no image.
    {"OnlyAProm", "adapter=ready,chain=xcf01s", {"66M"}, "", NOT_CONFIGURED, -1, {}, NONE},
    {"NoSpartanII", "adapter=ready,chain=xcf04s+3s200", {"66M"}, "", NOT_CONFIGURED, -1, {}, NONE},
    {"NoTargetPower", "adapter=ready,power=0", {"66M"}, "", NOT_CONFIGURED, -1, {}, NONE},
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

constexpr CablePath PATHS[] = {CablePath::USB_ADAPTER, CablePath::DIRECT,
                               CablePath::PARALLEL,    CablePath::EMULATED_ADAPTER,
                               CablePath::LIBUSB,      CablePath::LIBUSB_EMULATED};
// Every register access is an ioctl through umockdev: the cases that load no image.
constexpr CablePath NODE_BY_NODE_PATHS[] = {CablePath::PPDEV};

class Program : public ::testing::TestWithParam<std::tuple<Scenario, CablePath>> {};

TEST_P(Program, PrintsLogsAndEndsAsExpected) {
    const auto& [s, path] = GetParam();
    if (const char* why = path_unavailable(path)) {
        GTEST_SKIP() << why;
    }
    Rig rig(s.board, path);
    std::string design;
    std::unique_ptr<TempFile> cut;
    if (s.design != nullptr) {
        design = s.design[0] == '/' ? s.design : test_data(s.design);
        if (s.design_cut != 0) {
            std::vector<std::uint8_t> bytes = read_file(design);
            bytes.resize(s.design_cut);
            cut = std::make_unique<TempFile>(bytes);
            design = cut->path();
        }
        rig.use_design(design);
    }
    if (s.system_design != nullptr) {
        rig.use_system_design(test_data(s.system_design));
    }
    const ProgramRun run = rig.run(s.args, s.input);

    EXPECT_EQ(run.exit_code, s.exit_code);
    std::string output = s.output;
    if (const std::size_t at = output.find(DESIGN); at != std::string::npos) {
        output.replace(at, std::string_view(DESIGN).size(), design);
    }
    EXPECT_EQ(run.output, (s.opens_cable ? rig.ready_adapter_text() : "") + output);
    EXPECT_EQ(rig.events(), s.events);
    for (std::size_t i = 1; i < run.progress.size(); ++i) {
        EXPECT_LE(run.progress[i], run.progress[i - 1]) << "progress value " << i;
    }

    // Every progress line after the first follows a pause. A running design is stopped with
    // three waits.
    using platform::Wait;
    EXPECT_EQ(rig.time().sleeps(Wait::PROGRESS).size(),
              run.progress.empty() ? 0 : run.progress.size() - 1);
    EXPECT_EQ(rig.time().sleeps(Wait::LOCK_POLL).size(), static_cast<std::size_t>(s.lock_pauses));
    const bool reconfigured = std::any_of(
        s.events.begin(), s.events.end(),
        [](const std::string& e) { return e.starts_with("fpga ") && e.ends_with(" shutdown"); });
    EXPECT_EQ(rig.time().sleeps(Wait::RECONFIG).size(), reconfigured ? 3u : 0u);

    for (std::size_t d = 0; d < rig.board().device_count(); ++d) {
        if (const sim::Fpga* fpga = rig.board().fpga(d)) {
            EXPECT_EQ(fpga->synthesiser().locked(), static_cast<int>(d) == s.locked_device)
                << "FPGA " << d;
        }
        // The program lets the chain go on its way out: no USER scan is left open.
        if (s.exit_code == 0 && s.opens_cable) {
            EXPECT_EQ(rig.board().tap_state(d), sim::TapState::RUN_TEST_IDLE) << "device " << d;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Program, cases_on_paths(SCENARIOS, PATHS), CaseOnPath());
INSTANTIATE_TEST_SUITE_P(Unconfigured, Program,
                         cases_on_paths(std::span(std::end(SCENARIOS) - 3, 3), NODE_BY_NODE_PATHS),
                         CaseOnPath());

// A system out of threads (a process limit): the thread that cannot start is said, and the run
// fails as documented, its design untouched; never an abort.
TEST(Program, NoThreadLeftIsAFailureNotAnAbort) {
    const std::string refused =
        "Can't start a thread: " +
        std::make_error_code(std::errc::resource_unavailable_try_again).message() + "\n";
    // Over the adapter the reader's start fails the open; on the direct cable the worker's.
    for (const auto& [path, output] :
         {std::pair{CablePath::USB_ADAPTER, "Setup EZ-USB Firmware\n" + refused +
                                               "\nCan't found EZ-USB\nCan't found ALDER-FPGA\n"},
          std::pair{CablePath::DIRECT, refused + progress_line(IMAGE_BYTES) + "\n" + NOT_CONFIG_LINE}}) {
        Rig rig("adapter=ready,configured=1", path);
        platform::RefusedThreads no_threads;
        const ProgramRun run = rig.run({"66M"});
        EXPECT_EQ(run.exit_code, -1);
        EXPECT_EQ(run.output, output);
        EXPECT_EQ(rig.events(), lines{});
        EXPECT_TRUE(rig.board().first_fpga()->configured());
    }
}

struct FaultCase {
    const char* name;
    void (*fault)(sim::BoardConfig&);
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

const FaultCase FAULT_CASES[] = {
    {"TdoStuckHigh", [](sim::BoardConfig& b) { b.tdo_fault = sim::TdoFault::STUCK_HIGH; }},
    {"TdoStuckLow", [](sim::BoardConfig& b) { b.tdo_fault = sim::TdoFault::STUCK_LOW; }},
    {"InstructionCaptureNotZeroOne", [](sim::BoardConfig& b) { b.capture_11_device = 0; }},
    {"IdcodeVersionChangesBetweenReads", [](sim::BoardConfig& b) { b.version_change_device = 0; }},
};

class FaultyChain : public ::testing::TestWithParam<std::tuple<FaultCase, CablePath>> {};

// A chain that cannot be read is never configured, and the program ends instead of waiting.
TEST_P(FaultyChain, IsNotConfigured) {
    const auto& [c, path] = GetParam();
    if (const char* why = path_unavailable(path)) {
        GTEST_SKIP() << why;
    }
    sim::SimDescription description = parsed_description("adapter=ready,configured=1");
    c.fault(description.board);
    Rig rig(description, path);
    const ProgramRun run = rig.run({"66M"});
    EXPECT_EQ(run.exit_code, -1);
    EXPECT_EQ(run.output, rig.ready_adapter_text() + NOT_CONFIGURED);
    EXPECT_EQ(rig.events(), lines{});
    EXPECT_TRUE(rig.board().first_fpga()->configured()) << "the running design is left alone";
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, FaultyChain, cases_on_paths(FAULT_CASES, PATHS), CaseOnPath());
INSTANTIATE_TEST_SUITE_P(Unconfigured, FaultyChain, cases_on_paths(FAULT_CASES, NODE_BY_NODE_PATHS),
                         CaseOnPath());

}  // namespace
}  // namespace oscset::testing

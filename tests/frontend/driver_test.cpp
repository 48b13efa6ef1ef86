#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/driver.hpp"
#include "platform/console.hpp"
#include "tests/support/input_file.hpp"

namespace oscset::frontend {
namespace {

// A board that records what the driver asks of it.
class FakeBoard final : public ClockBoard {
  public:
    status_t open_result = STATUS_OK;
    status_t configure_result = STATUS_OK;
    bool locks = true;
    std::vector<std::string> calls;
    std::vector<divider_plan> programmed;
    const platform::ConsoleCapture* console = nullptr;
    std::string printed_before_close;

    status_t open() override {
        calls.push_back("open");
        return open_result;
    }
    status_t configure() override {
        calls.push_back("configure");
        return configure_result;
    }
    bool program(const divider_plan& plan) override {
        calls.push_back("program");
        programmed.push_back(plan);
        return locks;
    }
    void close() override {
        calls.push_back("close");
        printed_before_close = console->text();
    }
};

struct RunResult {
    int exit_code;
    std::string output;
};

RunResult run(FakeBoard& board, std::vector<const char*> args, std::string_view input = "") {
    args.insert(args.begin(), "oscset");
    testing::InputFile in(input);
    platform::ConsoleCapture console;
    board.console = &console;
    const int code = oscset_main(static_cast<int>(args.size()), args.data(), in.get(), board);
    return {code, console.text()};
}

const std::string PROMPT = "input frequency(EX. 10.2K or 66M). ";
const std::string USAGE =
    "Ex. oscset 10.5K    .....  10.5KHz\n"
    "    oscset 12.3M    .....  12.3MHz\n"
    "    oscset          .....  conversation mode.\n"
    "      (1.0Hz <= f <= 180MHz)\n";
const std::string RESULT_66M = "66.000000000MHz div_a=24 div_b=66\nError 0.00000%\n\n";
const std::string RESULT_10M =
    "40.000000000MHz/4=10.000000000MHz div_a=24 div_b=40\nError 0.00000%\n\n";
const std::string RESULT_12_3M =
    "24.600000000MHz/2=12.300000000MHz div_a=40 div_b=41\nError 0.00000%\n\n";
using calls_t = std::vector<std::string>;

TEST(Driver, ArgumentModeProgramsOnceWithoutAPrompt) {
    FakeBoard board;
    const RunResult r = run(board, {"66M"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, RESULT_66M);
    EXPECT_EQ(board.calls, (calls_t{"open", "configure", "program", "close"}));
    ASSERT_EQ(board.programmed.size(), 1u);
    EXPECT_EQ(board.programmed[0].div_b, 66);
}

TEST(Driver, ConversationModeRepeatsUntilAnEmptyLine) {
    FakeBoard board;
    const RunResult r = run(board, {}, "10M\n12.3M\n\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, PROMPT + RESULT_10M + PROMPT + RESULT_12_3M + PROMPT);
    EXPECT_EQ(board.calls, (calls_t{"open", "configure", "program", "program", "close"}));
}

TEST(Driver, TwoArgumentsMeanConversationMode) {
    FakeBoard board;
    const RunResult r = run(board, {"66M", "12M"}, "\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, PROMPT);
    EXPECT_EQ(board.calls, (calls_t{"open", "configure", "close"}));
}

TEST(Driver, AnEmptyArgumentEndsRightAfterConfiguration) {
    FakeBoard board;
    const RunResult r = run(board, {""});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(board.calls, (calls_t{"open", "configure", "close"}));
}

TEST(Driver, EndOfInputAtThePromptEndsAsAnEmptyLineDoes) {
    FakeBoard board;
    const RunResult r = run(board, {}, "66M\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, PROMPT + RESULT_66M + PROMPT);
    EXPECT_EQ(board.calls, (calls_t{"open", "configure", "program", "close"}));
}

TEST(Driver, ALastLineWithoutNewlineOrWithCarriageReturnIsStillALine) {
    FakeBoard board;
    const RunResult r = run(board, {}, "10M\r\n66M");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, PROMPT + RESULT_10M + PROMPT + RESULT_66M + PROMPT);
}

struct BadInputRow {
    std::vector<const char*> args;
    const char* input;
    const char* message;
};

class BadInput : public ::testing::TestWithParam<BadInputRow> {};

TEST_P(BadInput, PrintsTheMessageClosesShowsUsageAndFails) {
    FakeBoard board;
    const BadInputRow& b = GetParam();
    const RunResult r = run(board, b.args, b.input);
    EXPECT_EQ(r.exit_code, -1);
    const std::string prompt = b.args.empty() ? PROMPT : "";
    EXPECT_EQ(r.output, prompt + b.message + USAGE);
    EXPECT_EQ(board.printed_before_close, prompt + b.message) << "closed before the usage text";
    EXPECT_EQ(board.calls, (calls_t{"open", "configure", "close"}));
}

INSTANTIATE_TEST_SUITE_P(Driver, BadInput,
                         ::testing::Values(BadInputRow{{"200M"}, "", "input range error.\n"},
                                           BadInputRow{{}, "200M\n66M\n", "input range error.\n"},
                                           BadInputRow{{"abc"}, "", "input format error.\n"},
                                           BadInputRow{{}, "K\n", "input format error.\n"},
                                           BadInputRow{{"nan"}, "", "input range error.\n"},
                                           BadInputRow{{"--helpme"}, "", "input format error.\n"},
                                           BadInputRow{{"-H"}, "", "input format error.\n"}));

TEST(Driver, HelpAndVersionAnswerWithoutTheBoard) {
    for (const char* option : {"--help", "-h", "--version"}) {
        FakeBoard board;
        const RunResult r = run(board, {option});
        EXPECT_EQ(r.exit_code, 0) << option;
        EXPECT_TRUE(board.calls.empty()) << option;
        const std::string first = option[2] == 'v' ? "oscset " OSCSET_VERSION "\n" : USAGE;
        EXPECT_EQ(r.output.substr(0, first.size()), first) << option;
    }
    FakeBoard board;
    EXPECT_EQ(run(board, {"--help", "66M"}, "\n").output, PROMPT) << "two arguments converse";
}

TEST(Driver, ALineLongerThanTheBufferIsRefusedWhole) {
    FakeBoard board;
    // 255 characters fit; a digit more would change the number, so the line is refused.
    const std::string fits = "1" + std::string(253, '0') + "M";
    ASSERT_EQ(fits.size(), 255u);
    const RunResult ok = run(board, {}, fits + "\n\n");
    EXPECT_EQ(ok.exit_code, -1) << "10^259 Hz is out of range, but it was read";
    EXPECT_EQ(ok.output, PROMPT + "input range error.\n" + USAGE);

    FakeBoard long_board;
    const std::string too_long = "0." + std::string(300, '0') + "66M\n12M\n";
    const RunResult r = run(long_board, {}, too_long);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_EQ(r.output, PROMPT + "input format error.\n" + USAGE);
    EXPECT_EQ(long_board.calls, (calls_t{"open", "configure", "close"}));
}

TEST(Driver, TheLineEndDoesNotCountAgainstTheBuffer) {
    const std::string full = std::string(252, '0') + "66M";  // 255 characters
    const struct {
        std::string input;
        bool read;
    } cases[] = {
        {full + "\n\n", true},      {full + "\r\n\r\n", true},    {full, true},
        {"0" + full + "\n", false}, {"0" + full + "\r\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.size());
        FakeBoard board;
        const RunResult r = run(board, {}, c.input);
        EXPECT_EQ(r.output,
                  c.read ? PROMPT + RESULT_66M + PROMPT : PROMPT + "input format error.\n" + USAGE);
        EXPECT_EQ(r.exit_code, c.read ? 0 : -1);
    }
}

// Without a cable nothing else is tried; a failed configuration closes the board.
TEST(Driver, NoCableOrAFailedConfigurationEndsTheRun) {
    const struct {
        status_t open, configure;
        const char* output;
        calls_t calls;
    } cases[] = {
        {STATUS_NO_CABLE, STATUS_OK, "Can't found ALDER-FPGA\n", {"open"}},
        // A cable the user named wrongly was already said so.
        {STATUS_UNKNOWN_CABLE, STATUS_OK, "", {"open"}},
        {STATUS_OK, STATUS_NO_FPGA, "Can't Config ALDER-FPGA\n", {"open", "configure", "close"}},
    };
    for (const auto& c : cases) {
        FakeBoard board;
        board.open_result = c.open;
        board.configure_result = c.configure;
        const RunResult r = run(board, {"66M"});
        EXPECT_EQ(r.exit_code, -1);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(board.calls, c.calls);
    }
}

TEST(Driver, NoLockEndsEvenConversationMode) {
    FakeBoard board;
    board.locks = false;
    const RunResult r = run(board, {}, "66M\n10M\n");
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_EQ(r.output, PROMPT + RESULT_66M + "Can't lock error!!!\n");
    EXPECT_EQ(board.calls, (calls_t{"open", "configure", "program", "close"}));
}

}  // namespace
}  // namespace oscset::frontend

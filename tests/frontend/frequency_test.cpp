#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "frontend/frequency.hpp"
#include "platform/console.hpp"
#include "tests/support/temp_file.hpp"

namespace oscset::frontend {
namespace {

// What the program prints for one typed frequency: the messages, or the two result lines.
std::string run(std::string text) {
    platform::ConsoleCapture console;
    const ParsedFrequency request = parse_frequency(text.data());
    if (request.error == FrequencyError::NONE) {
        divider_plan plan;
        if (search_dividers(request.target_hz, plan)) {
            report_plan(plan);
        }
    }
    return console.text();
}

struct Row {
    const char* input;
    const char* result_line;
    const char* error_line;
};

class FrequencyTable : public ::testing::TestWithParam<Row> {};

TEST_P(FrequencyTable, PrintsExactlyTheResultAndErrorLines) {
    const Row& r = GetParam();
    EXPECT_EQ(run(r.input), std::string(r.result_line) + "\n" + r.error_line + "\n\n");
}

INSTANTIATE_TEST_SUITE_P(
    Requests, FrequencyTable,
    ::testing::Values(
        Row{"10M", "40.000000000MHz/4=10.000000000MHz div_a=24 div_b=40", "Error 0.00000%"},
        Row{"1", "30.000000000MHz/30000000=0.000001000MHz div_a=24 div_b=30", "Error 0.00000%"},
        Row{"12.3M", "24.600000000MHz/2=12.300000000MHz div_a=40 div_b=41", "Error 0.00000%"},
        Row{"7.3728M", "29.491200000MHz/4=7.372800000MHz div_a=625 div_b=768", "Error 0.00000%"},
        Row{"14.31818M", "28.636363636MHz/2=14.318181818MHz div_a=88 div_b=105", "Error -0.00001%"},
        Row{"10.5K", "30.008995502MHz/2858=0.010499998MHz div_a=667 div_b=834", "Error 0.00001%"},
        Row{"66M", "66.000000000MHz div_a=24 div_b=66", "Error 0.00000%"},
        Row{"90M", "90.000000000MHz div_a=24 div_b=90", "Error 0.00000%"},
        Row{"33.333M", "33.333333333MHz div_a=36 div_b=50", "Error -0.00100%"},
        Row{"77.77M", "77.770034843MHz div_a=287 div_b=930", "Error -0.00004%"},
        Row{"100M", "50.000000000MHz*2=100.000000000MHz div_a=24 div_b=50", "Error 0.00000%"},
        Row{"180M", "90.000000000MHz*2=180.000000000MHz div_a=24 div_b=90", "Error 0.00000%"},
        Row{"29.999999M", "60.000000000MHz/2=30.000000000MHz div_a=38 div_b=95", "Error -0.00000%"},
        // Only the last character is a suffix: this is 10.5 Hz.
        Row{"10.5KHz", "30.000000000MHz/2857142=0.000010500MHz div_a=44 div_b=55",
            "Error -0.00003%"},
        Row{"1e3K", "30.000000000MHz/30=1.000000000MHz div_a=24 div_b=30", "Error 0.00000%"},
        Row{"12,5M", "24.000000000MHz/2=12.000000000MHz div_a=24 div_b=24", "Error 0.00000%"},
        Row{"1.0", "30.000000000MHz/30000000=0.000001000MHz div_a=24 div_b=30", "Error 0.00000%"},
        Row{"  66m", "66.000000000MHz div_a=24 div_b=66", "Error 0.00000%"},
        Row{"10000k", "40.000000000MHz/4=10.000000000MHz div_a=24 div_b=40", "Error 0.00000%"},
        Row{"0x1p3M", "32.000000000MHz/4=8.000000000MHz div_a=24 div_b=32", "Error 0.00000%"}));

struct Refusal {
    const char* input;
    const char* message;
};

class Refusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refusals, PrintOnlyTheirMessage) {
    EXPECT_EQ(run(GetParam().input), GetParam().message);
}

constexpr const char* FORMAT = "input format error.\n";
constexpr const char* RANGE = "input range error.\n";

INSTANTIATE_TEST_SUITE_P(
    BadInput, Refusals,
    ::testing::Values(Refusal{"0.9999", RANGE}, Refusal{"180.0000001M", RANGE},
                      Refusal{"200M", RANGE}, Refusal{"0", RANGE}, Refusal{"-5M", RANGE},
                      Refusal{"nan", RANGE}, Refusal{"NaN(0x1)", RANGE}, Refusal{"inf", RANGE},
                      Refusal{"-Infinity", RANGE}, Refusal{"1e400", RANGE},
                      Refusal{"1e-400", RANGE}, Refusal{"abc", FORMAT}, Refusal{"K", FORMAT},
                      Refusal{"m", FORMAT}, Refusal{" ", FORMAT}, Refusal{"1e", FORMAT},
                      Refusal{"1e+M", FORMAT}, Refusal{"0x", FORMAT}, Refusal{".", FORMAT},
                      Refusal{"-", FORMAT}, Refusal{"infin", FORMAT}, Refusal{"nan(", FORMAT},
                      Refusal{"\x01\xff", FORMAT}));

TEST(ParseFrequency, RemovesTheSuffixInPlace) {
    platform::ConsoleCapture console;
    char text[] = "12.3M";
    const ParsedFrequency request = parse_frequency(text);
    EXPECT_EQ(request.error, FrequencyError::NONE);
    EXPECT_DOUBLE_EQ(request.target_hz, 12'300'000.0);
    EXPECT_STREQ(text, "12.3");
    char no_suffix[] = "10.5KHz";
    parse_frequency(no_suffix);
    EXPECT_STREQ(no_suffix, "10.5KHz");
}

TEST(ParseFrequency, BothBoundsAreInclusive) {
    platform::ConsoleCapture console;
    char low[] = "1";
    char high[] = "180000000";
    EXPECT_EQ(parse_frequency(low).error, FrequencyError::NONE);
    EXPECT_EQ(parse_frequency(high).error, FrequencyError::NONE);
    EXPECT_EQ(console.text(), "");
}

TEST(SearchDividers, StopsAtTheFirstExactMatch) {
    platform::ConsoleCapture console;
    divider_plan plan;
    ASSERT_TRUE(search_dividers(66e6, plan));
    EXPECT_EQ(plan.div_a, 24);
    EXPECT_EQ(plan.div_b, 66);
    EXPECT_EQ(plan.best_error_hz, 0.0);
    // 40.5 MHz: a tie at div_a 24 (40 and 41 equally far); first exact at 32 (0.75 MHz steps).
    ASSERT_TRUE(search_dividers(40.5e6, plan));
    EXPECT_EQ(plan.div_a, 32);
    EXPECT_EQ(plan.div_b, 54);
}

TEST(SearchDividers, ChoosesPostDividerOrDoubler) {
    platform::ConsoleCapture console;
    struct Case {
        double hz;
        std::int32_t post_div;
        std::int32_t doubler;
        double synth_hz;
    };
    const Case cases[] = {
        {10e6, 4, 0, 40e6},         {12e6, 2, 0, 24e6},
        {1.0, 30'000'000, 0, 30e6}, {30e6, 0, 0, 30e6},
        {90e6, 0, 0, 90e6},         {90.000001e6, 0, 1, 45.0000005e6},
        {180e6, 0, 1, 90e6},        {29.999999e6, 2, 0, 59.999998e6},
    };
    for (const Case& c : cases) {
        divider_plan plan;
        ASSERT_TRUE(search_dividers(c.hz, plan)) << c.hz;
        EXPECT_EQ(plan.post_div, c.post_div) << c.hz;
        EXPECT_EQ(plan.doubler, c.doubler) << c.hz;
        EXPECT_DOUBLE_EQ(plan.synth_hz, c.synth_hz) << c.hz;
        EXPECT_GE(plan.div_a, DIV_A_FIRST);
        EXPECT_LE(plan.div_a, DIV_A_LAST);
    }
}

TEST(SearchDividers, EveryValidRequestStaysWithinTheDividerLimits) {
    platform::ConsoleCapture console;
    // A sweep over the whole range, denser at the post-divider steps' edges.
    for (double hz = 1.0; hz <= MAX_HZ; hz *= 1.0137) {
        divider_plan plan;
        ASSERT_TRUE(search_dividers(hz, plan)) << hz;
        EXPECT_LE(plan.div_b, 3747) << hz;
        EXPECT_GE(plan.synth_hz, 20e6) << hz;
        EXPECT_LE(plan.synth_hz, 90e6) << hz;
        EXPECT_LT(plan.best_error_hz, 1'000'000.0) << hz;
    }
    EXPECT_EQ(console.text(), "");
}

// The same dividers on every target: a table made apart from this code, in IEEE double.
TEST(SearchDividers, AgreesWithTheReferenceTable) {
    std::ifstream table(testing::test_data("divider_table.txt"));
    ASSERT_TRUE(table) << "tests/data/divider_table.txt";
    platform::ConsoleCapture console;
    int rows = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string input;
        divider_plan want;
        fields >> input >> want.post_div >> want.doubler >> want.div_a >> want.div_b;
        ASSERT_TRUE(fields) << line;
        ++rows;
        const ParsedFrequency request = parse_frequency(input.data());
        divider_plan plan;
        ASSERT_EQ(request.error, FrequencyError::NONE) << line;
        ASSERT_TRUE(search_dividers(request.target_hz, plan)) << line;
        if (plan.post_div != want.post_div || plan.doubler != want.doubler ||
            plan.div_a != want.div_a || plan.div_b != want.div_b) {
            ADD_FAILURE() << line << ": chose " << plan.post_div << ' ' << plan.doubler << ' '
                          << plan.div_a << ' ' << plan.div_b;
        }
    }
    EXPECT_GT(rows, 3000);
}

}  // namespace
}  // namespace oscset::frontend

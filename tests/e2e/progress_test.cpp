// The progress normaliser keeps everything but the repeats of the progress line: a fault it
// hid would pass every end-to-end comparison.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/progress.hpp"

namespace oscset::testing {
namespace {

struct NormaliseCase {
    const char* name;
    std::string output;
    std::string text;
    std::vector<long long> values;
};

void PrintTo(const NormaliseCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string P = "\rConfigration remain=";

const NormaliseCase NORMALISE_CASES[] = {
    {"Empty", "", "", {}},
    {"NoProgress", "Setup EZ-USB Firmware\n\n", "Setup EZ-USB Firmware\n\n", {}},
    {"OneRunCutToItsLast",
     "A\n" + P + "   97652" + P + "   93556" + P + "       0\nB",
     "A\n" + P + "       0\nB",
     {97652, 93556, 0}},
    {"TwoRunsKeepTheirOwnLast",
     P + "  200" + P + "  100\nerror\n" + P + "   50" + P + "    0\n",
     P + "  100\nerror\n" + P + "    0\n",
     {200, 100, 50, 0}},
    {"NegativeValue", P + "-2147385996\nCan't", P + "-2147385996\nCan't", {-2147385996}},
    {"WiderThanItsField", P + "123456789" + P + "       1", P + "       1", {123456789, 1}},
    {"PrefixWithoutANumberIsText", P + "x" + P + "  7", P + "x" + P + "  7", {7}},
};

class NormaliseProgress : public ::testing::TestWithParam<NormaliseCase> {};

TEST_P(NormaliseProgress, KeepsTheLastOfEachRunAndEveryValue) {
    const NormaliseCase& c = GetParam();
    const NormalisedOutput out = normalise_progress(c.output);
    EXPECT_EQ(out.text, c.text);
    EXPECT_EQ(out.progress, c.values);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, NormaliseProgress, ::testing::ValuesIn(NORMALISE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProgressLine, IsThePrintedFormat) {
    EXPECT_EQ(progress_line(3444), P + "    3444");
    EXPECT_EQ(progress_line(-2147385996), P + "-2147385996");
}

}  // namespace
}  // namespace oscset::testing

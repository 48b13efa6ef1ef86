#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "frontend/scan_double.hpp"

namespace oscset::frontend {
namespace {

struct ScanCase {
    const char* text;
    int stored;
    double value;
};

class ScanDouble : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanDouble, StoresWhatTheStandardConversionStores) {
    const ScanCase& c = GetParam();
    double value = -12345.0;
    EXPECT_EQ(scan_double(c.text, &value), c.stored) << c.text;
    if (c.stored == 1) {
        if (std::isnan(c.value)) {
            EXPECT_TRUE(std::isnan(value)) << c.text;
        } else {
            EXPECT_EQ(value, c.value) << c.text;
        }
    } else {
        EXPECT_EQ(value, -12345.0) << "nothing may be stored for " << c.text;
    }
}

const double inf = INFINITY;

INSTANTIATE_TEST_SUITE_P(
    Grammar, ScanDouble,
    ::testing::Values(
        ScanCase{"12.5", 1, 12.5}, ScanCase{"  \t\n\v\f\r7", 1, 7.0}, ScanCase{"+3", 1, 3.0},
        ScanCase{"-0.25", 1, -0.25}, ScanCase{".5", 1, 0.5}, ScanCase{"5.", 1, 5.0},
        ScanCase{"1e3", 1, 1000.0}, ScanCase{"1E-2x", 1, 0.01}, ScanCase{"1e+2", 1, 100.0},
        ScanCase{"12,5", 1, 12.0}, ScanCase{"0x1p3", 1, 8.0}, ScanCase{"0X.8", 1, 0.5},
        ScanCase{"0x1.8P+1", 1, 3.0}, ScanCase{"00x1", 1, 0.0}, ScanCase{"inf", 1, inf},
        ScanCase{"INFINITY", 1, inf}, ScanCase{"-infx", 1, -inf}, ScanCase{"nan", 1, NAN},
        ScanCase{"nan(12_ab)", 1, NAN}, ScanCase{"1e400", 1, inf}, ScanCase{"-1e400", 1, -inf},
        ScanCase{"1e-400", 1, 0.0}, ScanCase{"0.1", 1, 0.1},
        ScanCase{"180000000.0000001", 1, 180000000.0000001},
        // A prefix that could still become a number but is none stores nothing.
        ScanCase{"1e", 0, 0}, ScanCase{"1e+", 0, 0}, ScanCase{"100ergs", 0, 0},
        ScanCase{"0x", 0, 0}, ScanCase{"0xg", 0, 0}, ScanCase{"0x.p1", 0, 0}, ScanCase{".", 0, 0},
        ScanCase{"+.", 0, 0}, ScanCase{"-", 0, 0}, ScanCase{"in", 0, 0}, ScanCase{"infin", 0, 0},
        ScanCase{"na", 0, 0}, ScanCase{"nan(1", 0, 0}, ScanCase{"abc", 0, 0}, ScanCase{"K", 0, 0},
        // Nothing but white space: end of input.
        ScanCase{"", -1, 0}, ScanCase{"   ", -1, 0}));

TEST(ScanDoubleLong, ConvertsLongDigitStringsCorrectlyRounded) {
    std::string digits(5000, '0');
    digits += "1.5";
    double value = 0.0;
    ASSERT_EQ(scan_double(digits.c_str(), &value), 1);
    EXPECT_EQ(value, 1.5);
    std::string big = "1" + std::string(400, '0');
    ASSERT_EQ(scan_double(big.c_str(), &value), 1);
    EXPECT_EQ(value, inf);
    std::string tiny = "0." + std::string(400, '0') + "1";
    ASSERT_EQ(scan_double(tiny.c_str(), &value), 1);
    EXPECT_EQ(value, 0.0);
}

// The C library's sscanf backtracks further than the standard's one character of push-back
// allows ("1e" gives 1 there), so it may accept more; whatever is accepted here it must
// accept too, with the same value.
TEST(ScanDoubleLong, AgreesWithTheCLibraryWheneverAValueIsStored) {
    std::mt19937 random(20261208);
    const char alphabet[] = "0123456789..eE+-xXpPaAfFiInNtTyY() \t,";
    for (int round = 0; round < 200000; ++round) {
        char text[12];
        const int length = static_cast<int>(random() % 11);
        for (int i = 0; i < length; ++i) {
            text[i] = alphabet[random() % (sizeof alphabet - 1)];
        }
        text[length] = '\0';
        double ours = 0.0;
        double theirs = 0.0;
        const int stored = scan_double(text, &ours);
        const int library = std::sscanf(text, "%lf", &theirs);
        if (stored == 1) {
            ASSERT_EQ(library, 1) << '"' << text << '"';
            if (std::isnan(ours)) {
                ASSERT_TRUE(std::isnan(theirs)) << text;
            } else {
                ASSERT_EQ(ours, theirs) << '"' << text << '"';
                ASSERT_EQ(std::signbit(ours), std::signbit(theirs)) << text;
            }
        } else if (library != 1) {
            ASSERT_EQ(stored, library) << '"' << text << '"';
        }
    }
}

}  // namespace
}  // namespace oscset::frontend

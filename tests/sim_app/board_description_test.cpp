// The text of OSCSET_SIM_BOARD: every key, the defaults, and the message for each kind of
// mistake.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/app/board_description.hpp"

namespace oscset::sim {
namespace {

using parts = std::vector<std::string>;

struct Parsed {
    parts chain{"2s100"};
    bool configured = false;
    AdapterKind adapter = AdapterKind::FRESH;
    std::optional<std::uint32_t> lock = 1;
    bool power = true;
    std::optional<std::uint32_t> fail_reads = std::nullopt;
    std::optional<std::uint32_t> fail_writes = std::nullopt;
    std::optional<std::uint32_t> lose_write = std::nullopt;
    std::optional<std::uint32_t> unplug = std::nullopt;
    bool stale = false;
    std::uint32_t adapters = 1;
    std::optional<std::uint32_t> reconnect = std::nullopt;
    bool direct = false;
};

struct GoodCase {
    const char* text;
    Parsed expected;
};

void PrintTo(const GoodCase& c, std::ostream* os) {
    *os << '"' << (c.text != nullptr ? c.text : "(null)") << '"';
}

const GoodCase GOOD_CASES[] = {
    {nullptr, {}},
    {"", {}},
    {"chain=xcf01s+2s100+18v256", {.chain = {"xcf01s", "2s100", "18v256"}}},
    {"chain=3s200", {.chain = {"3s200"}}},
    {"configured=1", {.configured = true}},
    {"configured=0", {.configured = false}},
    {"adapter=ready", {.adapter = AdapterKind::READY}},
    {"adapter=emulated", {.adapter = AdapterKind::EMULATED}},
    {"adapter=absent", {.adapter = AdapterKind::ABSENT}},
    {"adapter=fresh", {.adapter = AdapterKind::FRESH}},
    {"lock=10", {.lock = 10}},
    {"lock=1", {.lock = 1}},
    {"lock=never", {.lock = std::nullopt}},
    {"power=0", {.power = false}},
    {"power=1", {.power = true}},
    {"adapter=ready,configured=1,lock=3,power=0,chain=2s100+2s100",
     {.chain = {"2s100", "2s100"},
      .configured = true,
      .adapter = AdapterKind::READY,
      .lock = 3,
      .power = false}},
    // A key given twice: the later value stands, the chain included.
    {"chain=xcf01s+2s100,chain=2s50,lock=never,lock=2", {.chain = {"2s50"}, .lock = 2}},
    {"fail_reads=0", {.fail_reads = 0}},
    {"unplug=250,stale=1,adapter=emulated",
     {.adapter = AdapterKind::EMULATED, .unplug = 250, .stale = true}},
    {"stale=0,fail_reads=4294967295", {.fail_reads = 4294967295u}},
    {"fail_writes=12,fail_reads=3,lose_write=0",
     {.fail_reads = 3, .fail_writes = 12, .lose_write = 0}},
    {"adapters=2,reconnect=0", {.adapters = 2, .reconnect = 0}},
    {"adapters=8,adapter=emulated", {.adapter = AdapterKind::EMULATED, .adapters = 8}},
    {"reconnect=12,adapter=ready", {.adapter = AdapterKind::READY, .reconnect = 12}},
    {"direct=1", {.direct = true}},
    {"direct=1,adapter=emulated,direct=0", {.adapter = AdapterKind::EMULATED}},
};

class GoodDescription : public ::testing::TestWithParam<GoodCase> {};

TEST_P(GoodDescription, FillsEveryFieldItNamesAndDefaultsTheRest) {
    const GoodCase& c = GetParam();
    SimDescription out;
    // What an earlier description left must not carry over.
    out.board.chain = {"xcf08p"};
    out.board.fpga_configured = !c.expected.configured;
    out.board.lock_after_reads = 99;
    out.adapter = AdapterKind::ABSENT;
    out.faults = {.fail_reads = 7, .fail_writes = 7, .lose_write = 7, .unplug = 7, .stale = true};
    out.adapters = 3;
    out.reconnect = 7;
    out.direct_cable = true;
    std::string error;
    ASSERT_TRUE(parse_board_description(c.text, out, error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(out.board.chain, c.expected.chain);
    EXPECT_EQ(out.board.fpga_configured, c.expected.configured);
    EXPECT_EQ(out.adapter, c.expected.adapter);
    EXPECT_EQ(out.board.lock_after_reads, c.expected.lock);
    EXPECT_EQ(out.board.target_power, c.expected.power);
    EXPECT_EQ(out.faults.fail_reads, c.expected.fail_reads);
    EXPECT_EQ(out.faults.fail_writes, c.expected.fail_writes);
    EXPECT_EQ(out.faults.lose_write, c.expected.lose_write);
    EXPECT_EQ(out.faults.unplug, c.expected.unplug);
    EXPECT_EQ(out.faults.stale, c.expected.stale);
    EXPECT_EQ(out.adapters, c.expected.adapters);
    EXPECT_EQ(out.reconnect, c.expected.reconnect);
    EXPECT_EQ(out.direct_cable, c.expected.direct);
}

INSTANTIATE_TEST_SUITE_P(BoardDescription, GoodDescription, ::testing::ValuesIn(GOOD_CASES));

struct BadCase {
    const char* text;
    const char* message;
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

const char* const LOCK_VALUES = "lock= takes a number of status reads from 1, or never";

const BadCase BAD_CASES[] = {
    {"speed=9600", "unknown key 'speed'"},
    {"Adapter=ready", "unknown key 'Adapter'"},
    {"adapter=ready,board=2", "unknown key 'board'"},
    {"chain=2s100+xc9999", "unknown part 'xc9999' in chain="},
    {"chain=2S100", "unknown part '2S100' in chain="},
    {"chain=", "unknown part '' in chain="},
    {"chain=2s100++xcf01s", "unknown part '' in chain="},
    {"configured=yes", "configured= takes 0 or 1"},
    {"configured=", "configured= takes 0 or 1"},
    {"power=2", "power= takes 0 or 1"},
    {"adapter=busy", "adapter= takes fresh, ready, absent or emulated"},
    {"adapter=", "adapter= takes fresh, ready, absent or emulated"},
    {"direct=yes", "direct= takes 0 or 1"},
    {"lock=0", LOCK_VALUES},
    {"lock=-1", LOCK_VALUES},
    {"lock=3x", LOCK_VALUES},
    {"lock=", LOCK_VALUES},
    {"lock=99999999999", LOCK_VALUES},
    {"lock=Never", LOCK_VALUES},
    {"fail_reads=-1", "fail_reads= takes a number of bulk reads from 0"},
    {"fail_reads=", "fail_reads= takes a number of bulk reads from 0"},
    {"fail_writes=0x10", "fail_writes= takes a number of bulk writes from 0"},
    {"lose_write=", "lose_write= takes a number of bulk writes from 0"},
    {"unplug=3x", "unplug= takes a number of bulk transfers from 0"},
    {"unplug=4294967296", "unplug= takes a number of bulk transfers from 0"},
    {"stale=yes", "stale= takes 0 or 1"},
    {"adapters=0", "adapters= takes a number of adapters from 1 to 8"},
    {"adapters=9", "adapters= takes a number of adapters from 1 to 8"},
    {"reconnect=-1", "reconnect= takes a number of opens from 0"},
    {"reconnect=2147483647", "reconnect= takes a number of opens from 0"},
    // Whatever the order: the emulated chip renumerates in its own time.
    {"reconnect=3,adapter=emulated", "reconnect= does not apply to adapter=emulated"},
    {"adapter", "'adapter' is not key=value"},
    {"=ready", "'=ready' is not key=value"},
    {"adapter=ready,", "'' is not key=value"},
    {",adapter=ready", "'' is not key=value"},
    // The first mistake is the one reported.
    {"power=3,adapter=busy", "power= takes 0 or 1"},
};

class BadDescription : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadDescription, IsRefusedWithItsMessage) {
    const BadCase& c = GetParam();
    SimDescription out;
    std::string error;
    EXPECT_FALSE(parse_board_description(c.text, out, error));
    EXPECT_EQ(error, c.message);
}

INSTANTIATE_TEST_SUITE_P(BoardDescription, BadDescription, ::testing::ValuesIn(BAD_CASES));

}  // namespace
}  // namespace oscset::sim

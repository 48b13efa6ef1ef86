// The parallel cable's register traffic, recorded at the port.

#include "cables/parallel/xpar.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "cables/parallel/port_io.hpp"
#include "cables/parallel/service_manager.hpp"
#include "platform/console.hpp"
#include "tests/parallel/recorder_port.hpp"

namespace oscset::parallel {
namespace {

using testing::cable_status;
using testing::PortAccess;
using testing::RecorderPort;
using testing::StatusModel;

class XparTest : public ::testing::Test {
  protected:
    void install(RecorderPort& port) { set_port_io(&port); }
    void SetUp() override { set_service_manager(nullptr); }
    void TearDown() override { set_port_io(nullptr); }
    platform::ConsoleCapture console;
};

std::vector<PortAccess> presence_log(std::uint16_t base, std::uint8_t status_52,
                                     std::uint8_t status_12) {
    const auto s = static_cast<std::uint16_t>(base + 1);
    return {{'W', base, 0x52}, {'R', s, status_52}, {'R', s, status_52},
            {'W', base, 0x12}, {'R', s, status_12}, {'R', s, status_12}};
}

struct OpenCase {
    const char* name;
    std::uint16_t port;
    bool granted;
    StatusModel status;
    std::int32_t result;
    const char* message;
    std::vector<PortAccess> log;
    std::uint8_t data_after;
};

TEST_F(XparTest, OpenRunsThePresenceTestAndStopsAtTheFirstFailingCheck) {
    const std::vector<PortAccess> full_378 = presence_log(0x378, 0x28, 0x88);
    const std::vector<OpenCase> cases = {
        {"port 0 is 0x378", 0, true, cable_status(true, false), 0, "", full_378, 0x12},
        {"port 0x278", 0x278, true, cable_status(true, false), 0, "",
         presence_log(0x278, 0x28, 0x88), 0x12},
        {"unpowered target still opens", 0, true, cable_status(false, false), 0, "",
         presence_log(0x378, 0x20, 0x80), 0x12},
        {"no port access",
         0,
         false,
         cable_status(true, false),
         1,
         "Can't access GIVEIO system\n",
         {},
         0x00},
        // Nothing on the port: every input floats high, busy reads 0.
        {"no cable",
         0,
         true,
         [](std::uint8_t) { return std::uint8_t{0x7F}; },
         1,
         "No Probe\n",
         {{'W', 0x378, 0x52},
          {'R', 0x379, 0x7F},
          {'R', 0x379, 0x7F},
          {'W', 0x378, 0x12},
          {'R', 0x379, 0x7F}},
         0x12},
        {"bit 5 stuck low",
         0,
         true,
         [](std::uint8_t) { return std::uint8_t{0x80}; },
         1,
         "No Probe\n",
         {{'W', 0x378, 0x52}, {'R', 0x379, 0x80}},
         0x52},
        {"bit 7 stuck high",
         0,
         true,
         [](std::uint8_t d) { return std::uint8_t(0x80 | (d & 0x40 ? 0x20 : 0)); },
         1,
         "No Probe\n",
         {{'W', 0x378, 0x52}, {'R', 0x379, 0xA0}, {'R', 0x379, 0xA0}},
         0x52},
        {"bit 7 stuck low", 0, true,
         [](std::uint8_t d) { return std::uint8_t(d & 0x40 ? 0x20 : 0); }, 1, "No Probe\n",
         presence_log(0x378, 0x20, 0x00), 0x12},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.name);
        RecorderPort port(c.status);
        port.granted = c.granted;
        install(port);
        console.clear();
        EXPECT_EQ(xpar_open(c.port, 115200, nullptr), c.result);
        EXPECT_EQ(console.text(), c.message);
        EXPECT_EQ(port.log, c.log);
        EXPECT_EQ(port.data(), c.data_after);
        ASSERT_EQ(port.acquired.size(), 1u);
        EXPECT_EQ(port.acquired[0], c.port == 0 ? 0x378 : c.port);
    }
}

TEST_F(XparTest, OpenWithoutAnyPortBackendReportsNoAccess) {
    std::array<char, cable::DESCRIPTION_SIZE> description{};
    EXPECT_EQ(xpar_open(0x278, 115200, description.data()), 1);
    EXPECT_EQ(console.text(), "Can't access GIVEIO system\n");
    EXPECT_STREQ(description.data(), "Xilinx Parallel ISP Cable (JTAG),IO Base=0278");
}

TEST_F(XparTest, DescriptionShowsThePortArgument) {
    const std::vector<std::pair<std::uint16_t, std::string>> cases = {
        {0, "Xilinx Parallel ISP Cable (JTAG),IO Base=0000"},
        {0x278, "Xilinx Parallel ISP Cable (JTAG),IO Base=0278"},
        {0xBCDE, "Xilinx Parallel ISP Cable (JTAG),IO Base=BCDE"},
    };
    for (const auto& [port_arg, text] : cases) {
        RecorderPort port;
        install(port);
        std::array<char, cable::DESCRIPTION_SIZE> description;
        description.fill('#');
        xpar_open(port_arg, 115200, description.data());
        EXPECT_STREQ(description.data(), text.c_str());
    }
}

TEST_F(XparTest, ProbeReadsStatusBit3AtTheOpenedPort) {
    for (const auto& [power, expected] : {std::pair{true, 1}, std::pair{false, 0}}) {
        RecorderPort port(cable_status(power, false));
        install(port);
        ASSERT_EQ(xpar_open(0x278, 115200, nullptr), 0);
        port.log.clear();
        EXPECT_EQ(xpar_probe(), expected);
        ASSERT_EQ(port.log.size(), 1u);
        EXPECT_EQ(port.log[0].kind, 'R');
        EXPECT_EQ(port.log[0].address, 0x279);
    }
}

struct ShiftCase {
    const char* name;
    std::vector<std::uint8_t> tdi;  // empty: null
    std::uint32_t count;
    std::int32_t tms_during;
    std::int32_t tms_last;
    std::vector<std::uint8_t> writes;
};

std::vector<std::uint8_t> repeat(std::initializer_list<std::uint8_t> pair, int times) {
    std::vector<std::uint8_t> v;
    for (int i = 0; i < times; ++i) {
        v.insert(v.end(), pair);
    }
    return v;
}

std::vector<std::uint8_t> joined(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(XparTest, ShiftWritesTwoDataValuesPerClock) {
    const std::vector<ShiftCase> cases = {
        {"count 0", {0xFF}, 0, 1, 1, {}},
        {"one clock, TDI low, TMS last", {}, 1, 0, 1, {0x14, 0x16}},
        {"one clock, TDI high, TMS last", {0x80}, 1, 0, 1, {0x15, 0x17}},
        {"byte 0x01 with TMS low", {0x01}, 8, 0, 0, joined(repeat({0x10, 0x12}, 7), {0x11, 0x13})},
        {"TMS high during, low last", {}, 3, 5, 0, {0x14, 0x16, 0x14, 0x16, 0x10, 0x12}},
        {"0xA5 then 0x80, nine clocks",
         {0xA5, 0x80},
         9,
         0,
         0,
         {0x11, 0x13, 0x10, 0x12, 0x11, 0x13, 0x10, 0x12, 0x10, 0x12, 0x11, 0x13, 0x10, 0x12, 0x11,
          0x13, 0x11, 0x13}},
    };
    for (const ShiftCase& c : cases) {
        SCOPED_TRACE(c.name);
        RecorderPort port;
        install(port);
        ASSERT_EQ(xpar_open(0x278, 115200, nullptr), 0);
        port.log.clear();
        EXPECT_EQ(xpar_shift(c.tdi.empty() ? nullptr : c.tdi.data(), nullptr, c.count, c.tms_during,
                             c.tms_last),
                  0);
        EXPECT_EQ(port.writes(), c.writes);
        EXPECT_EQ(port.log.size(), c.writes.size()) << "no status read without a tdo buffer";
        for (const PortAccess& a : port.log) {
            EXPECT_EQ(a.address, 0x278);
        }
    }
}

TEST_F(XparTest, ShiftReadsTdoOncePerClockBetweenTheTwoWrites) {
    RecorderPort port(cable_status(true, true));  // TDO high on every clock
    install(port);
    ASSERT_EQ(xpar_open(0, 115200, nullptr), 0);
    port.log.clear();
    std::array<std::uint8_t, 3> tdo{0xAA, 0xAA, 0xAA};
    xpar_shift(nullptr, tdo.data(), 10, 0, 0);
    EXPECT_EQ(tdo, (std::array<std::uint8_t, 3>{0xFF, 0x03, 0xAA}));
    ASSERT_EQ(port.log.size(), 30u);
    for (std::size_t clock = 0; clock < 10; ++clock) {
        EXPECT_EQ(port.log[3 * clock], (PortAccess{'W', 0x378, 0x10}));
        EXPECT_EQ(port.log[3 * clock + 1].kind, 'R');
        EXPECT_EQ(port.log[3 * clock + 1].address, 0x379);
        EXPECT_EQ(port.log[3 * clock + 2], (PortAccess{'W', 0x378, 0x12}));
    }
}

TEST_F(XparTest, ShiftWithCountZeroTouchesNothing) {
    RecorderPort port;
    install(port);
    ASSERT_EQ(xpar_open(0, 115200, nullptr), 0);
    port.log.clear();
    std::array<std::uint8_t, 1> tdi{0xFF};
    std::array<std::uint8_t, 1> tdo{0x5A};
    xpar_shift(tdi.data(), tdo.data(), 0, 1, 1);
    EXPECT_TRUE(port.log.empty());
    EXPECT_EQ(tdo[0], 0x5A);
}

}  // namespace
}  // namespace oscset::parallel

// The USB cable end to end through the simulated adapter, against a small JTAG port.

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "cables/cable.hpp"
#include "cables/usb/usb_cable.hpp"
#include "platform/console.hpp"
#include "platform/time.hpp"
#include "resources/ezusb_firmware.hpp"
#include "sim/usb/sim_adapter.hpp"

namespace oscset::sim {
namespace {

using bytes = std::vector<std::uint8_t>;

const std::string SETUP = "Setup EZ-USB Firmware\n";
const std::string NOT_FOUND = "\nCan't found EZ-USB\n";

struct Clock {
    bool tdi;
    bool tms;
    bool operator==(const Clock&) const = default;
};

// A chain of `length` one-bit stages: TDO shows the oldest stage, each rising edge shifts
// TDI in. Records every clock.
class ShiftRegisterPort final : public JtagPort {
  public:
    explicit ShiftRegisterPort(std::size_t length) { load(std::vector<bool>(length, false)); }

    void load(const std::vector<bool>& stages) {
        stages_.assign(stages.begin(), stages.end());
        clocks.clear();
    }

    bool clock(bool tdi, bool tms) override {
        const bool out = stages_.front();
        rise(tdi, tms);
        return out;
    }
    void drive(bool tck, bool tdi, bool tms) override {
        if (tck && !tck_) {
            rise(tdi, tms);
        }
        tck_ = tck;
    }
    bool tdo() const override { return stages_.front(); }
    bool target_power() const override { return power; }

    std::vector<Clock> clocks;
    bool power = true;

  private:
    void rise(bool tdi, bool tms) {
        clocks.push_back({tdi, tms});
        stages_.pop_front();
        stages_.push_back(tdi);
    }
    std::deque<bool> stages_;
    bool tck_ = true;
};

class SimUsbCable : public ::testing::Test {
  protected:
    void open(SimAdapterConfig config = {}, UsbFaults faults = {}) {
        adapter = std::make_unique<SimAdapter>(port, config);
        faulty = std::make_unique<FaultyUsb>(*adapter, faults);
        usb::set_usb_backend(faulty.get());
        platform::SimulatedTime time(0);
        platform::ConsoleCapture console;
        open_result = usb::usb_cable_open(0, 115200, nullptr);
        open_output = console.text();
    }
    void TearDown() override {
        usb::usb_cable_close();
        usb::set_usb_backend(nullptr);
    }

    ShiftRegisterPort port{5};
    std::unique_ptr<SimAdapter> adapter;
    std::unique_ptr<FaultyUsb> faulty;
    std::int32_t open_result = -1;
    std::string open_output;
};

struct ModeCase {
    const char* name;
    SimAdapterMode mode;
    std::int32_t result;
    std::string output;
    std::uint32_t downloads;
    bool runs_after;  // the firmware runs (on the bus or not)
};

const ModeCase MODE_CASES[] = {
    {"Absent", SimAdapterMode::ABSENT, 2, SETUP + NOT_FOUND, 0, false},
    {"AlreadyRunning", SimAdapterMode::RUNNING, 0, SETUP + "\n", 0, true},
    {"Fresh", SimAdapterMode::FRESH, 0, SETUP + "-Boot-Wait....-Reconnect\n", 1, true},
    {"RefusesTheDownload", SimAdapterMode::REFUSES_DOWNLOAD, 2,
     SETUP + "-Bootusb dwnload err.\n" + NOT_FOUND, 1, false},
    {"NeverComesBack", SimAdapterMode::NEVER_RETURNS, 2,
     SETUP + "-Boot-Wait." + std::string(199, '.') + NOT_FOUND, 1, true},
};

class SimUsbCableModes : public SimUsbCable, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(SimUsbCableModes, OpenFollowsTheAdapter) {
    const ModeCase& c = GetParam();
    open({.mode = c.mode, .offline_opens = 3});
    EXPECT_EQ(open_result, c.result);
    EXPECT_EQ(open_output, c.output);
    EXPECT_EQ(adapter->counts().downloads, c.downloads);
    EXPECT_EQ(adapter->firmware_running(), c.runs_after);
    EXPECT_EQ(adapter->open_handles(), c.result == 0 ? 2 : 0);
    if (c.mode == SimAdapterMode::RUNNING) {
        EXPECT_EQ(adapter->counts().vendor_requests, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SimUsbCableModes, ::testing::ValuesIn(MODE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimUsbCable, ProbeSensesTargetPowerWithoutClocking) {
    open();
    ASSERT_EQ(open_result, 0);
    for (const bool power : {true, false, true}) {
        port.power = power;
        EXPECT_EQ(usb::usb_cable_probe(), power ? 1 : 0);
    }
    EXPECT_TRUE(port.clocks.empty());
}

struct ShiftCase {
    std::uint32_t count;
    std::int32_t tms_during;
    std::int32_t tms_last;
    bool with_tdi;
    bool with_tdo;
};

const ShiftCase SHIFT_CASES[] = {
    {5, 1, 0, false, true},         {1, 0, 1, true, true},
    {1, 1, 1, true, true},          {7, 0, 0, true, true},
    {8, 0, 0, true, true},          {8, 0, 1, true, true},
    {9, 1, 0, true, true},          {16, 0, 0, true, false},
    {16, 0, 1, true, true},         {16, 1, 1, false, true},
    {100, 0, 1, true, true},        {101, 1, 1, true, true},
    {64, 1, 0, true, true},         {8 * 0x8000 + 13, 0, 1, true, true},
    {8 * 0x8001, 0, 0, true, true},
};

std::vector<bool> pattern(std::size_t n, std::uint32_t seed) {
    std::vector<bool> bits(n);
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        bits[i] = ((seed >> 16) & 1u) != 0;
    }
    return bits;
}

TEST_F(SimUsbCable, ShiftsReachThePortExactlyAndTdoComesBackInContractOrder) {
    open();
    ASSERT_EQ(open_result, 0);
    std::uint32_t seed = 1;
    for (const ShiftCase& c : SHIFT_CASES) {
        SCOPED_TRACE(testing::Message()
                     << c.count << " bits, TMS " << c.tms_during << "/" << c.tms_last);
        const std::vector<bool> stages = pattern(5, seed++);
        port.load(stages);
        const std::size_t size = (c.count + 7) / 8;
        bytes tdi(size);
        for (auto& b : tdi) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(seed >> 16);
        }
        bytes tdo(size + 1, 0xEE);
        usb::usb_cable_shift(c.with_tdi ? tdi.data() : nullptr, c.with_tdo ? tdo.data() : nullptr,
                             c.count, c.tms_during, c.tms_last);

        std::vector<Clock> expected_clocks(c.count);
        bytes expected_tdo(size + 1, 0);
        expected_tdo[size] = 0xEE;
        for (std::uint32_t i = 0; i < c.count; ++i) {
            const bool tdi_bit = c.with_tdi && ((tdi[i / 8] >> (7 - i % 8)) & 1) != 0;
            expected_clocks[i] = {tdi_bit, (i == c.count - 1 ? c.tms_last : c.tms_during) != 0};
            const bool out = i < stages.size() ? stages[i] : expected_clocks[i - 5].tdi;
            if (out) {
                expected_tdo[i / 8] =
                    static_cast<std::uint8_t>(expected_tdo[i / 8] | (1 << (i % 8)));
            }
        }
        ASSERT_EQ(port.clocks.size(), expected_clocks.size());
        EXPECT_TRUE(port.clocks == expected_clocks);
        if (c.with_tdo) {
            EXPECT_EQ(tdo, expected_tdo);
        } else {
            EXPECT_EQ(tdo, bytes(size + 1, 0xEE));
        }
        // The probe between shifts leaves TMS high at the adapter; byte mode must not care.
        usb::usb_cable_probe();
        port.clocks.clear();
    }
}

TEST_F(SimUsbCable, FailingBulkReadAfterNReadsStaysFailed) {
    // The first read is the open's look for answers an earlier run left.
    open({.mode = SimAdapterMode::RUNNING}, {.fail_reads = 3});
    ASSERT_EQ(open_result, 0);
    platform::ConsoleCapture console;
    EXPECT_EQ(usb::usb_cable_probe(), 1);
    EXPECT_EQ(usb::usb_cable_probe(), 1);
    EXPECT_EQ(usb::usb_cable_probe(), 0);
    bytes tdo(1, 0xEE);
    EXPECT_EQ(usb::usb_cable_shift(nullptr, tdo.data(), 3, 0, 1), 1);
    EXPECT_EQ(console.text(), "error ! USB SPI Protcol\nerror ! USB SPI Protcol\n");
    EXPECT_EQ(tdo[0], 0xEE);
    EXPECT_TRUE(usb::usb_cable_take_failure());
}

// A write that the adapter loses is told once; the writes after it get through again.
TEST_F(SimUsbCable, ALostWriteIsToldOnce) {
    open({.mode = SimAdapterMode::RUNNING}, {.lose_write = 1});  // the data after the mode command
    ASSERT_EQ(open_result, 0);
    platform::ConsoleCapture console;
    const bytes tdi(2, 0xA5);
    usb::usb_cable_shift(tdi.data(), nullptr, 16, 0, 0);
    EXPECT_EQ(console.text(), "error ! USB SPI TX\n");
    EXPECT_TRUE(port.clocks.empty());
    EXPECT_TRUE(usb::usb_cable_take_failure());
    EXPECT_FALSE(usb::usb_cable_take_failure());
    usb::usb_cable_shift(tdi.data(), nullptr, 16, 0, 0);
    EXPECT_EQ(port.clocks.size(), 16u);
    EXPECT_FALSE(usb::usb_cable_take_failure());
}

TEST_F(SimUsbCable, OpensThroughTheCableSelection) {
    adapter = std::make_unique<SimAdapter>(port, SimAdapterConfig{.mode = SimAdapterMode::RUNNING});
    usb::set_usb_backend(adapter.get());
    platform::ConsoleCapture console;
    ASSERT_EQ(cable::cable_open(cable::CABLE_FIRST_USB), STATUS_OK);
    EXPECT_EQ(cable::cable_ops().tdo_reverse, 1);
    const std::uint8_t tdi = 0xC0;
    std::uint8_t tdo = 0;
    port.load({true, false, true, true, false});
    cable::cable_shift(&tdi, &tdo, 2, 1, 1);
    EXPECT_EQ(tdo, 0x01);
    EXPECT_EQ(port.clocks, (std::vector<Clock>{{true, true}, {true, true}}));
    cable::cable_close();
    EXPECT_EQ(adapter->open_handles(), 0);
}

struct ImageCase {
    const char* name;
    bytes image;
    bool accepted;
};

bytes placeholder_image() {
    bytes image(4096, 0xAA);
    image[0] = 0x02;
    image[1] = 0x0B;
    image[2] = 0xDE;
    return image;
}

const ImageCase IMAGE_CASES[] = {
    {"Placeholder", placeholder_image(), true},
    {"EmbeddedImage", bytes(resources::ezusb_firmware().begin(), resources::ezusb_firmware().end()),
     true},
    {"TooShort",
     [] {
         bytes b = placeholder_image();
         b.pop_back();
         return b;
     }(),
     false},
    {"TooLong",
     [] {
         bytes b = placeholder_image();
         b.push_back(0xAA);
         return b;
     }(),
     false},
    {"NoLongJump",
     [] {
         bytes b = placeholder_image();
         b[0] = 0x00;
         return b;
     }(),
     false},
};

class SimAdapterImages : public ::testing::TestWithParam<ImageCase> {};

TEST_P(SimAdapterImages, TakesOnlyAnImageOfTheRightShape) {
    const ImageCase& c = GetParam();
    ShiftRegisterPort port(1);
    SimAdapter adapter(port, {.mode = SimAdapterMode::FRESH, .offline_opens = 2});
    auto device = adapter.open(0);
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(device->download(c.image));  // not while the CPU runs
    ASSERT_TRUE(device->vendor_request(0xA0, 0x7F92, 0, 1));
    EXPECT_EQ(device->download(c.image), c.accepted);
    ASSERT_TRUE(device->vendor_request(0xA0, 0x7F92, 0, 0));
    EXPECT_EQ(adapter.firmware_running(), c.accepted);
    std::array<std::uint8_t, usb::STRING_ANSWER_SIZE> answer{};
    if (!c.accepted) {
        EXPECT_FALSE(device->get_string(1, 0x001B, answer));
        return;
    }
    // Released, it has left the bus: the old handle is dead and the next opens find nothing.
    EXPECT_FALSE(device->get_string(1, 0x001B, answer));
    EXPECT_EQ(adapter.open(0), nullptr);
    EXPECT_EQ(adapter.open(0), nullptr);
    auto again = adapter.open(0);
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(again->get_string(2, 0x001B, answer));
    EXPECT_EQ(answer[0], 10);
    EXPECT_EQ(std::string(answer.begin() + 2, answer.begin() + 10), std::string("V\0"
                                                                                "0\0"
                                                                                "1\0"
                                                                                "0\0",
                                                                                8));
}

INSTANTIATE_TEST_SUITE_P(Images, SimAdapterImages, ::testing::ValuesIn(IMAGE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace oscset::sim

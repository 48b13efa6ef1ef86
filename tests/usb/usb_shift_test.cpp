// The shift encoding, checked byte for byte against a scripted adapter.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "cables/usb/usb_cable.hpp"
#include "cables/usb/usb_pipes.hpp"
#include "platform/console.hpp"
#include "tests/support/open_usb_cable.hpp"
#include "tests/usb/fake_usb.hpp"

namespace oscset::usb {
namespace {

using testing::FakeUsb;
using testing::Write;
using bytes = std::vector<std::uint8_t>;

using UsbShift = oscset::testing::OpenUsbCable<FakeUsb>;

struct ShiftCase {
    const char* name;
    std::uint32_t count;
    std::int32_t tms_during;
    std::int32_t tms_last;
    bytes tdi;  // empty: no tdi
    bool with_tdo;
    std::vector<Write> expected;
};

const ShiftCase SHIFT_CASES[] = {
    {"NothingForZeroBits", 0, 1, 0, {0xFF}, true, {}},
    {"FiveClocksHighThenLow", 5, 1, 0, {}, false, {{3, {0x04, 0x04, 0x04, 0x04, 0x00}}}},
    {"OneClockUsesTmsLast", 1, 0, 1, {0x80}, false, {{3, {0x24}}}},
    {"SixteenBitsLowInByteMode", 16, 0, 0, {0x01, 0x80}, false, {{3, {0x02}}, {1, {0x80, 0x01}}}},
    {"SixteenBitsHighInByteModeAnyNonZeroIsHigh",
     16,
     7,
     3,
     {},
     false,
     {{3, {0x06}}, {1, {0x00, 0x00}}}},
    {"LastBitHeldBackForTheTail",
     16,
     0,
     1,
     {0x01, 0x80},
     true,
     {{3, {0x02}}, {2, {0x80}}, {3, {0x20, 0, 0, 0, 0, 0, 0, 0x04}}}},
    {"ThreeBitTailFromTheTopOfTheByte",
     11,
     0,
     0,
     {0xFF, 0xA0},
     false,
     {{3, {0x02}}, {1, {0xFF}}, {3, {0x20, 0x00, 0x20}}}},
    {"EightBitsAtTwoLevelsAllPerClock",
     8,
     1,
     0,
     {0xA5},
     false,
     {{3, {0x24, 0x04, 0x24, 0x04, 0x04, 0x24, 0x04, 0x20}}}},
    {"NineBitsAtTwoLevelsOneByteAndOneClock",
     9,
     1,
     0,
     {0x0F, 0x80},
     true,
     {{3, {0x06}}, {2, {0xF0}}, {3, {0x20}}}},
};

class UsbShiftCases : public UsbShift, public ::testing::WithParamInterface<ShiftCase> {};

TEST_P(UsbShiftCases, SendsExactlyTheseBytes) {
    const ShiftCase& c = GetParam();
    bytes tdo(8, 0xEE);
    const std::int32_t result =
        usb_cable_shift(c.tdi.empty() ? nullptr : c.tdi.data(), c.with_tdo ? tdo.data() : nullptr,
                        c.count, c.tms_during, c.tms_last);
    EXPECT_EQ(result, c.count == 0 ? 0 : 1);
    EXPECT_EQ(fake.writes(), c.expected);
    EXPECT_EQ(console.text(), "");
}

INSTANTIATE_TEST_SUITE_P(Encodings, UsbShiftCases, ::testing::ValuesIn(SHIFT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbShift, TdoComesFromByteModeAnswersAndPackedTailAnswers) {
    // Byte-mode answers are stored as they arrive; the tail echoes TDI into TDO.
    fake.answer = [](std::uint32_t pipe, std::uint8_t b) -> std::uint8_t {
        return pipe == 2 ? static_cast<std::uint8_t>(b ^ 0xFF) : ((b & 0x20) ? 0x09 : 0x08);
    };
    const bytes tdi{0x01, 0x80};
    bytes tdo(3, 0xEE);
    usb_cable_shift(tdi.data(), tdo.data(), 16, 0, 1);
    EXPECT_EQ(tdo, (bytes{0x7F, 0x01, 0xEE}));
}

TEST_F(UsbShift, SameBufferForTdiAndTdo) {
    fake.answer = [](std::uint32_t pipe, std::uint8_t b) -> std::uint8_t {
        return pipe == 2 ? static_cast<std::uint8_t>(b + 1) : ((b & 0x20) ? 0x01 : 0x00);
    };
    bytes buffer{0x01, 0xA0};
    usb_cable_shift(buffer.data(), buffer.data(), 12, 0, 1);
    // 0x01 reversed is 0x80, answered 0x81; the tail's TDI 1,0,1,0 comes back as 0b0101.
    EXPECT_EQ(buffer, (bytes{0x81, 0x05}));
}

TEST_F(UsbShift, TopBitsOfAShortLastTdoByteAreZero) {
    fake.answer = [](std::uint32_t, std::uint8_t) -> std::uint8_t { return 0xFF; };
    bytes tdo{0xFF, 0xFF};
    usb_cable_shift(nullptr, tdo.data(), 3, 0, 0);
    EXPECT_EQ(tdo, (bytes{0x07, 0xFF}));
}

TEST_F(UsbShift, ModeCommandOnlyWhenTheLevelChanges) {
    const bytes tdi{0x12, 0x34};
    usb_cable_shift(tdi.data(), nullptr, 16, 0, 0);
    usb_cable_shift(tdi.data(), nullptr, 16, 0, 0);
    usb_cable_shift(nullptr, nullptr, 5, 1, 1);  // per clock, leaves TMS high
    usb_cable_shift(tdi.data(), nullptr, 16, 1, 1);
    EXPECT_EQ(fake.writes(), (std::vector<Write>{{3, {0x02}},
                                                 {1, {0x48, 0x2C}},
                                                 {1, {0x48, 0x2C}},
                                                 {3, {0x04, 0x04, 0x04, 0x04, 0x04}},
                                                 {1, {0x48, 0x2C}}}));
}

TEST_F(UsbShift, ProbeLeavesTmsHighSoByteModeAtLowSetsItAgain) {
    usb_cable_shift(nullptr, nullptr, 16, 0, 0);
    usb_cable_probe();
    usb_cable_shift(nullptr, nullptr, 16, 0, 0);
    EXPECT_EQ(fake.writes(), (std::vector<Write>{
                                 {3, {0x02}}, {1, {0, 0}}, {3, {0x06}}, {3, {0x02}}, {1, {0, 0}}}));
}

TEST_F(UsbShift, LongShiftSplitsIntoTransfersOfAtMost0x8000Bytes) {
    usb_cable_shift(nullptr, nullptr, 0x40008, 0, 0);
    const std::vector<Write> writes = fake.writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0], (Write{3, {0x02}}));
    EXPECT_EQ(writes[1].pipe, 1u);
    EXPECT_EQ(writes[1].bytes.size(), 0x8000u);
    EXPECT_EQ(writes[2], (Write{1, {0x00}}));
}

TEST_F(UsbShift, LongShiftWithTdoFillsEveryByte) {
    fake.answer = [](std::uint32_t, std::uint8_t b) { return b; };
    std::vector<std::uint8_t> tdi(0x8001);
    for (std::size_t i = 0; i < tdi.size(); ++i) {
        tdi[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::vector<std::uint8_t> tdo(tdi.size() + 1, 0xEE);
    usb_cable_shift(tdi.data(), tdo.data(), 8 * 0x8001, 0, 0);
    // Answers echo the reversed TDI bytes that went out.
    for (std::size_t i = 0; i < tdi.size(); ++i) {
        std::uint8_t reversed = 0;
        for (int k = 0; k < 8; ++k) {
            reversed = static_cast<std::uint8_t>(reversed | (((tdi[i] >> k) & 1) << (7 - k)));
        }
        ASSERT_EQ(tdo[i], reversed) << "byte " << i;
    }
    EXPECT_EQ(tdo.back(), 0xEE);
    EXPECT_EQ(fake.writes().size(), 3u);  // mode command, 0x8000 bytes, 1 byte
}

TEST_F(UsbShift, ProbeReadsThePowerSense) {
    struct {
        std::uint8_t answer;
        std::int32_t expected;
    } const cases[] = {{0x08, 1}, {0x09, 1}, {0x00, 0}, {0xF7, 0}};
    for (const auto& c : cases) {
        fake.answer = [&](std::uint32_t, std::uint8_t) { return c.answer; };
        EXPECT_EQ(usb_cable_probe(), c.expected) << int{c.answer};
    }
    for (const Write& w : fake.writes()) {
        EXPECT_EQ(w, (Write{3, {0x06}}));
    }
}

#if defined(__linux__)
// A tdi buffer that ends at a page that cannot be read: reading one byte too far faults.
class GuardedBytes {
  public:
    explicit GuardedBytes(std::size_t size) : size_(size) {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        span_ = ((size + page_ - 1) / page_ + 1) * page_;
        base_ = static_cast<std::uint8_t*>(
            mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + span_ - page_, page_, PROT_NONE);
    }
    ~GuardedBytes() { munmap(base_, span_); }
    std::uint8_t* data() { return base_ + span_ - page_ - size_; }

  private:
    std::size_t size_, page_ = 0, span_ = 0;
    std::uint8_t* base_ = nullptr;
};

TEST_F(UsbShift, WholeBytesAtOneLevelNeverReadPastTheLastTdiByte) {
    for (const std::uint32_t count : {8u, 64u, 8u * 0x8000u, 8u * 0x8001u}) {
        GuardedBytes tdi(count / 8);
        std::memset(tdi.data(), 0x5A, count / 8);
        usb_cable_shift(tdi.data(), nullptr, count, 1, 1);
        usb_cable_shift(tdi.data(), nullptr, count, 0, 0);
    }
    SUCCEED();  // a read past the end would have faulted
}
#endif

TEST(UsbShiftClosed, TransfersRefusedWhileNoAdapterIsOpen) {
    testing::ScriptedUsb fake({{"open 0", false}});  // and no transfer
    set_usb_backend(&fake);
    const bytes tdi{0xFF, 0xFF};
    bytes tdo{0xEE, 0xEE};
    {
        platform::ConsoleCapture console;
        EXPECT_EQ(usb_cable_open(0, 115200, nullptr), 2);
        EXPECT_EQ(usb_cable_shift(tdi.data(), tdo.data(), 16, 0, 1), 1);
        EXPECT_EQ(usb_cable_probe(), 0);
        EXPECT_EQ(usb_command_exchange(tdo.data(), 1), -1);
        EXPECT_EQ(usb_pipe_send(tdi.data(), 2), -1);
        EXPECT_EQ(console.text(), "Setup EZ-USB Firmware\n\nCan't found EZ-USB\n");
    }
    EXPECT_EQ(tdo, (bytes{0xEE, 0xEE}));
    usb_cable_close();
    set_usb_backend(nullptr);
}

TEST(UsbCableOpen, DescriptionNamesTheAdapterIndex) {
    const testing::Step close{"close"};
    testing::ScriptedUsb fake(testing::concat(
        {testing::identified(0), {close, close}, testing::identified(12), {close, close}}));
    set_usb_backend(&fake);
    struct {
        std::uint16_t index;
        const char* text;
    } const cases[] = {
        {0, "EZ-USB No.0 : SPI(PC1=TCK,PA5=TDI,PC2=TMS,PC0=TDO,PC3=TVCC)"},
        {12, "EZ-USB No.12 : SPI(PC1=TCK,PA5=TDI,PC2=TMS,PC0=TDO,PC3=TVCC)"},
    };
    for (const auto& c : cases) {
        char description[128];
        std::memset(description, 'x', sizeof description);
        platform::ConsoleCapture console;
        EXPECT_EQ(usb_cable_open(c.index, 115200, description), 0);
        EXPECT_STREQ(description, c.text);
        EXPECT_EQ(console.text(), "Setup EZ-USB Firmware\n\n");
        usb_cable_close();
    }
    EXPECT_EQ(std::strlen(cases[0].text), 59u);
    set_usb_backend(nullptr);
}

}  // namespace
}  // namespace oscset::usb

// Finding, identifying and booting the adapter, against a scripted adapter, in simulated time.

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "cables/usb/ezusb.hpp"
#include "cables/usb/usb_cable.hpp"
#include "platform/console.hpp"
#include "platform/time.hpp"
#include "resources/ezusb_firmware.hpp"
#include "tests/usb/fake_usb.hpp"

namespace oscset::usb {
namespace {

using testing::FakeUsb;
using testing::Strings;
using calls_t = std::vector<std::string>;
using testing::concat;
using sleeps_t = std::vector<std::uint32_t>;

const std::string SETUP = "Setup EZ-USB Firmware\n";
const std::string NOT_FOUND = "\nCan't found EZ-USB\n";
const char* const HALT = "vendor a0 7f92 0 1";
const char* const RUN = "vendor a0 7f92 0 0";
const char* const STRING_1 = "string 1 001b";
const char* const STRING_2 = "string 2 001b";

struct BootCase {
    const char* name;
    std::function<void(FakeUsb&)> script;
    std::int32_t result;
    std::string output;
    calls_t calls;  // empty: not checked
    sleeps_t sleeps;
};

void fresh(FakeUsb& f, int absent_opens) {
    f.strings = {};
    f.strings_after_boot = testing::ADAPTER_STRINGS;
    f.presence.assign(1, true);
    f.presence.insert(f.presence.end(), static_cast<std::size_t>(absent_opens), false);
}

const BootCase BOOT_CASES[] = {
    {"NoAdapterMeansOneOpen",
     [](FakeUsb& f) { f.present = false; },
     2,
     SETUP + NOT_FOUND,
     {"open 0 none"},
     {}},
    {"RunningAdapterIsNeitherHaltedNorLoaded",
     [](FakeUsb&) {},
     0,
     SETUP + "\n",
     {"open 0", STRING_1, STRING_2, "open 0"},
     {}},
    {"FreshAdapterIsBootedAndReconnected",
     [](FakeUsb& f) { fresh(f, 2); },
     0,
     SETUP + "-Boot-Wait...-Reconnect\n",
     concat({{"open 0", STRING_1, HALT, "download 4096", RUN, "close"},
             {"open 0 none", "open 0 none", "open 0", "close"},
             {"open 0", STRING_1, STRING_2, "open 0"}}),
     {1500, 50, 50, 500}},
    {"ManufacturerAloneDoesNotIdentify",
     [](FakeUsb& f) {
         fresh(f, 0);
         f.strings = {"USB_SPI", "V011"};
     },
     0,
     SETUP + "-Boot-Wait.-Reconnect\n",
     concat({{"open 0", STRING_1, STRING_2, HALT, "download 4096", RUN, "close"},
             {"open 0", "close"},
             {"open 0", STRING_1, STRING_2, "open 0"}}),
     {1500, 500}},
    {"StringsCompareCaseSensitively",
     [](FakeUsb& f) {
         fresh(f, 0);
         f.strings = {"usb_spi", "V010"};
     },
     0,
     SETUP + "-Boot-Wait.-Reconnect\n",
     {},
     {1500, 500}},
    {"AdapterThatNeverComesBackUsesUpTheTries",
     [](FakeUsb& f) {
         f.presence = {true};
         f.present = false;
         f.strings = {};
     },
     2,
     SETUP + "-Boot-Wait." + std::string(199, '.') + NOT_FOUND,
     {},
     [] {
         sleeps_t s{1500};
         s.insert(s.end(), 199, 50);
         return s;
     }()},
    {"RefusedHalt",
     [](FakeUsb& f) {
         f.strings = {};
         f.refuse_halt = true;
     },
     2,
     SETUP + "-Booti8051 halt err.\n" + NOT_FOUND,
     {"open 0", STRING_1, HALT, "close"},
     {}},
    {"RefusedDownload",
     [](FakeUsb& f) {
         f.strings = {};
         f.refuse_download = true;
     },
     2,
     SETUP + "-Bootusb dwnload err.\n" + NOT_FOUND,
     {"open 0", STRING_1, HALT, "download 4096", "close"},
     {}},
    {"RefusedRun",
     [](FakeUsb& f) {
         f.strings = {};
         f.refuse_run = true;
     },
     2,
     SETUP + "-Booti8051 run err.\n" + NOT_FOUND,
     {"open 0", STRING_1, HALT, "download 4096", RUN, "close"},
     {}},
    {"MissingReadHandleIsRetried",
     [](FakeUsb& f) {
         f.presence = {true, false};
     },
     0,
     SETUP + ".\n",
     {"open 0", STRING_1, STRING_2, "open 0 none", "close", "open 0", STRING_1, STRING_2, "open 0"},
     {50}},
};

class EzusbBoot : public ::testing::TestWithParam<BootCase> {
  protected:
    void TearDown() override {
        usb_cable_close();
        set_usb_backend(nullptr);
    }
    FakeUsb fake;
};

TEST_P(EzusbBoot, FollowsTheBootLoop) {
    const BootCase& c = GetParam();
    c.script(fake);
    set_usb_backend(&fake);
    platform::SimulatedTime time(0);
    platform::ConsoleCapture console;
    EXPECT_EQ(usb_cable_open(0, 115200, nullptr), c.result);
    EXPECT_EQ(console.text(), c.output);
    if (!c.calls.empty()) {
        EXPECT_EQ(fake.calls(), c.calls);
    }
    EXPECT_EQ(time.sleeps(), c.sleeps);
    EXPECT_EQ(fake.live_handles(), c.result == 0 ? 2 : 0);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, EzusbBoot, ::testing::ValuesIn(BOOT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EzusbBootLimits, AdapterThatNeverIdentifiesEndsAfter200TriesWithNoHandleOpen) {
    FakeUsb fake;
    fake.strings = {};
    fake.strings_after_boot = Strings{"OTHER", "V010"};
    set_usb_backend(&fake);
    platform::SimulatedTime time(0);
    platform::ConsoleCapture console;
    EXPECT_EQ(usb_cable_open(0, 115200, nullptr), 2);
    std::size_t opens = 0, downloads = 0;
    for (const std::string& call : fake.calls()) {
        opens += call.rfind("open", 0) == 0;
        downloads += call.rfind("download", 0) == 0;
    }
    EXPECT_EQ(opens, 200u);
    EXPECT_EQ(downloads, 100u);  // every other try boots, the ones between reconnect
    EXPECT_EQ(fake.live_handles(), 0);
    EXPECT_TRUE(console.text().ends_with("-Reconnect" + NOT_FOUND));
    usb_cable_close();
    set_usb_backend(nullptr);
}

TEST(EzusbBootLimits, DownloadSendsTheWholeImage) {
    FakeUsb fake;
    fresh(fake, 0);
    set_usb_backend(&fake);
    platform::SimulatedTime time(0);
    platform::ConsoleCapture console;
    ASSERT_EQ(usb_cable_open(0, 115200, nullptr), 0);
    const auto image = resources::ezusb_firmware();
    EXPECT_EQ(fake.downloaded(), std::vector<std::uint8_t>(image.begin(), image.end()));
    EXPECT_EQ(fake.downloaded().size(), 4096u);
    usb_cable_close();
    set_usb_backend(nullptr);
}

struct StringCase {
    const char* name;
    std::vector<std::uint8_t> answer;  // the descriptor's first bytes; the rest 'x' units
    std::size_t text_size;
    std::string expected;
};

std::vector<std::uint8_t> descriptor(std::uint8_t length, std::string_view units) {
    std::vector<std::uint8_t> d{length, 3};
    for (char c : units) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(0x01);  // a high byte that the conversion drops
    }
    return d;
}

const StringCase STRING_CASES[] = {
    {"LengthZero", descriptor(0, "AB"), 128, ""},
    {"LengthTwoIsEmpty", descriptor(2, "AB"), 128, ""},
    {"LengthThreeIsEmpty", descriptor(3, "AB"), 128, ""},
    {"OneCharacter", descriptor(4, "AB"), 128, "A"},
    {"OddLengthRoundsDown", descriptor(7, "ABCD"), 128, "AB"},
    {"Manufacturer", descriptor(16, "USB_SPI"), 128, "USB_SPI"},
    {"FullAnswer", descriptor(130, ""), 128, std::string(64, 'x')},
    {"LengthBeyondTheAnswerIsBounded", descriptor(255, ""), 128, std::string(64, 'x')},
    {"BoundedByTheTextBuffer", descriptor(16, "USB_SPI"), 4, "USB"},
};

class EzusbString : public ::testing::TestWithParam<StringCase> {};

TEST_P(EzusbString, ConvertsTheLowBytes) {
    const StringCase& c = GetParam();
    FakeUsb fake;
    std::array<std::uint8_t, STRING_ANSWER_SIZE> raw{};
    for (std::size_t i = 2; i < raw.size(); i += 2) {
        raw[i] = 'x';
    }
    std::copy(c.answer.begin(), c.answer.end(), raw.begin());
    fake.raw_string = raw;
    auto device = fake.open(0);
    std::vector<char> text(c.text_size, '?');
    EXPECT_EQ(ezusb_get_string(*device, 1, text), 0);
    // Exactly the characters and their NUL are written; the rest of the buffer is untouched.
    std::string expected = c.expected;
    expected.push_back('\0');
    expected.resize(c.text_size, '?');
    EXPECT_EQ(std::string(text.begin(), text.end()), expected);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, EzusbString, ::testing::ValuesIn(STRING_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EzusbStringRead, FailedReadGivesAnEmptyString) {
    FakeUsb fake;
    fake.strings = {};
    auto device = fake.open(0);
    std::array<char, 8> text;
    text.fill('?');
    EXPECT_EQ(ezusb_get_string(*device, 1, text), -1);
    EXPECT_EQ(text[0], '\0');
}

}  // namespace
}  // namespace oscset::usb

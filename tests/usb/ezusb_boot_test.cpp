// Finding, identifying and booting the adapter, against a scripted adapter, in simulated time.

#include <gtest/gtest.h>

#include <array>
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

using testing::concat;
using testing::says;
using testing::ScriptedUsb;
using testing::Step;
using script_t = std::vector<Step>;
using sleeps_t = std::vector<std::uint32_t>;

const std::string SETUP = "Setup EZ-USB Firmware\n";
const std::string NOT_FOUND = "\nCan't found EZ-USB\n";
const char* const STRING_1 = "string 1 001b";
const char* const STRING_2 = "string 2 001b";
const Step OPEN{"open 0"};
const Step NONE{"open 0", false};  // no adapter answers
const Step CLOSE{"close"};
const Step HALT{"vendor a0 7f92 0 1"};
const Step RUN{"vendor a0 7f92 0 0"};
const Step DOWNLOAD{"download 4096"};
const Step NO_MANUFACTURER{STRING_1, false};  // a blank chip has no strings
const Step MANUFACTURER = says(STRING_1, "USB_SPI");
const Step PRODUCT = says(STRING_2, "V010");
const script_t IDENTIFIED = testing::identified(0);
const script_t BOOTED{HALT, DOWNLOAD, RUN, CLOSE};
// An open cable's two handles, released as the test ends.
const script_t BOTH_CLOSED{CLOSE, CLOSE};
// An adapter whose handles name where it is plugged in: found there again after the boot.
const Step OPEN_IN_PORT{"open 0", true, {}, "1-2"};
const Step AT_PORT{"open at 1-2", true, {}, "1-2"};
const Step NONE_AT_PORT{"open at 1-2", false};

struct BootCase {
    const char* name;
    script_t script;
    std::int32_t result;
    std::string output;
    sleeps_t sleeps = {};
};

void PrintTo(const BootCase& c, std::ostream* os) {
    *os << c.name;
}

const BootCase BOOT_CASES[] = {
    {.name = "NoAdapterMeansOneOpen", .script = {NONE}, .result = 2, .output = SETUP + NOT_FOUND},
    {.name = "RunningAdapterIsNeitherHaltedNorLoaded",
     .script = concat({IDENTIFIED, BOTH_CLOSED}),
     .result = 0,
     .output = SETUP + "\n"},
    {.name = "FreshAdapterIsBootedAndReconnected",
     .script = concat(
         {{OPEN, NO_MANUFACTURER}, BOOTED, {NONE, NONE, OPEN, CLOSE}, IDENTIFIED, BOTH_CLOSED}),
     .result = 0,
     .output = SETUP + "-Boot-Wait...-Reconnect\n",
     .sleeps = {1500, 50, 50, 500}},
    {.name = "ManufacturerAloneDoesNotIdentify",
     .script = concat({{OPEN, MANUFACTURER, says(STRING_2, "V011")},
                       BOOTED,
                       {OPEN, CLOSE},
                       IDENTIFIED,
                       BOTH_CLOSED}),
     .result = 0,
     .output = SETUP + "-Boot-Wait.-Reconnect\n",
     .sleeps = {1500, 500}},
    {.name = "StringsCompareCaseSensitively",
     .script = concat(
         {{OPEN, says(STRING_1, "usb_spi")}, BOOTED, {OPEN, CLOSE}, IDENTIFIED, BOTH_CLOSED}),
     .result = 0,
     .output = SETUP + "-Boot-Wait.-Reconnect\n",
     .sleeps = {1500, 500}},
    {.name = "AdapterThatNeverComesBackUsesUpTheTries",
     .script = concat({{OPEN, NO_MANUFACTURER}, BOOTED, script_t(199, NONE)}),
     .result = 2,
     .output = SETUP + "-Boot-Wait." + std::string(199, '.') + NOT_FOUND,
     .sleeps =
         [] {
             sleeps_t s{1500};
             s.insert(s.end(), 199, 50);
             return s;
         }()},
    {.name = "RefusedHalt",
     .script = {OPEN, NO_MANUFACTURER, {HALT.call, false}, CLOSE},
     .result = 2,
     .output = SETUP + "-Booti8051 halt err.\n" + NOT_FOUND},
    {.name = "RefusedDownload",
     .script = {OPEN, NO_MANUFACTURER, HALT, {DOWNLOAD.call, false}, CLOSE},
     .result = 2,
     .output = SETUP + "-Bootusb dwnload err.\n" + NOT_FOUND},
    {.name = "RefusedRun",
     .script = {OPEN, NO_MANUFACTURER, HALT, DOWNLOAD, {RUN.call, false}, CLOSE},
     .result = 2,
     .output = SETUP + "-Booti8051 run err.\n" + NOT_FOUND},
    // While the booted adapter renumerates, adapter 0 may be another one: only the port is
    // asked, for every handle after the first.
    {.name = "BootedAdapterIsFoundAgainInItsPort",
     .script = concat({{OPEN_IN_PORT, NO_MANUFACTURER},
                       BOOTED,
                       {NONE_AT_PORT, AT_PORT, CLOSE, AT_PORT, MANUFACTURER, PRODUCT, AT_PORT},
                       BOTH_CLOSED}),
     .result = 0,
     .output = SETUP + "-Boot-Wait..-Reconnect\n",
     .sleeps = {1500, 50, 500}},
    {.name = "RunningAdapterTakesItsReadHandleInItsPort",
     .script = {OPEN_IN_PORT, MANUFACTURER, PRODUCT, AT_PORT, CLOSE, CLOSE},
     .result = 0,
     .output = SETUP + "\n"},
    {.name = "MissingReadHandleIsRetried",
     .script = concat({{OPEN, MANUFACTURER, PRODUCT, NONE, CLOSE}, IDENTIFIED, BOTH_CLOSED}),
     .result = 0,
     .output = SETUP + ".\n",
     .sleeps = {50}},
};

// Adapter 0 opened on a script in simulated time; closed at the end, before the script is
// checked.
struct Opening {
    explicit Opening(script_t script) : usb(std::move(script)) { set_usb_backend(&usb); }
    ~Opening() {
        usb_cable_close();
        set_usb_backend(nullptr);
    }
    std::int32_t open() { return usb_cable_open(0, 115200, nullptr); }
    ScriptedUsb usb;
    platform::SimulatedTime time{0};
    platform::ConsoleCapture console;
};

class EzusbBoot : public ::testing::TestWithParam<BootCase> {};

TEST_P(EzusbBoot, FollowsTheBootLoop) {
    const BootCase& c = GetParam();
    Opening on(c.script);
    EXPECT_EQ(on.open(), c.result);
    EXPECT_EQ(on.console.text(), c.output);
    EXPECT_EQ(on.time.sleeps(), c.sleeps);
    EXPECT_EQ(on.usb.live_handles(), c.result == 0 ? 2 : 0);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, EzusbBoot, ::testing::ValuesIn(BOOT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EzusbBootLimits, AdapterThatNeverIdentifiesEndsAfter200TriesWithNoHandleOpen) {
    // Every other try boots the chip, the ones between reconnect; it never names itself.
    script_t script{OPEN, NO_MANUFACTURER};
    for (int boot = 0; boot < 100; ++boot) {
        if (boot > 0) {
            script.insert(script.end(), {OPEN, says(STRING_1, "OTHER")});
        }
        script.insert(script.end(), BOOTED.begin(), BOOTED.end());
        script.insert(script.end(), {OPEN, CLOSE});
    }
    Opening on(script);
    EXPECT_EQ(on.open(), 2);
    EXPECT_EQ(on.usb.live_handles(), 0);
    EXPECT_TRUE(on.console.text().ends_with("-Reconnect" + NOT_FOUND));
}

TEST(EzusbBootLimits, DownloadSendsTheWholeImage) {
    Opening on(concat({{OPEN, NO_MANUFACTURER}, BOOTED, {OPEN, CLOSE}, IDENTIFIED, BOTH_CLOSED}));
    ASSERT_EQ(on.open(), 0);
    const auto image = resources::ezusb_firmware();
    EXPECT_EQ(on.usb.downloaded(), std::vector<std::uint8_t>(image.begin(), image.end()));
    EXPECT_EQ(on.usb.downloaded().size(), 4096u);
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
    std::array<std::uint8_t, STRING_ANSWER_SIZE> raw{};
    for (std::size_t i = 2; i < raw.size(); i += 2) {
        raw[i] = 'x';
    }
    std::copy(c.answer.begin(), c.answer.end(), raw.begin());
    ScriptedUsb usb({OPEN, {STRING_1, true, raw}, CLOSE});
    auto device = usb.open(0);
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
    ScriptedUsb usb({OPEN, {STRING_1, false}, CLOSE});
    auto device = usb.open(0);
    std::array<char, 8> text;
    text.fill('?');
    EXPECT_EQ(ezusb_get_string(*device, 1, text), -1);
    EXPECT_EQ(text[0], '\0');
}

}  // namespace
}  // namespace oscset::usb

// The firmware's control endpoint as the host sees it: the descriptors byte for byte, the
// standard requests, and the renumeration after the firmware starts.

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "resources/ezusb_firmware.hpp"
#include "tests/firmware/firmware_support.hpp"

namespace oscset::firmware_test {
namespace {

using sim::mcs51::SetupPacket;

const std::vector<std::uint8_t> DEVICE = {18,   1,    0x10, 0x01, 0x00, 0x00, 0x00, 64, 0x47,
                                          0x05, 0x31, 0x21, 0x01, 0x00, 1,    2,    0,  1};

const std::vector<std::uint8_t> CONFIGURATION = {
    9, 2, 74,   0, 1,  1,    0,    0xA0, 0xFA,  // one interface, bus-powered + wake-up, 500 mA
    9, 4, 0,    0, 8,  0xFF, 0x00, 0x00, 0,     // vendor class, eight endpoints
    7, 5, 0x01, 2, 64, 0,    0,                 // pipe 0: EP1 OUT bulk
    7, 5, 0x02, 2, 64, 0,    0,                 // pipe 1: EP2 OUT bulk
    7, 5, 0x04, 2, 64, 0,    0,                 // pipe 2: EP4 OUT bulk
    7, 5, 0x06, 2, 64, 0,    0,                 // pipe 3: EP6 OUT bulk
    7, 5, 0x81, 3, 64, 0,    1,                 // pipe 4: EP1 IN interrupt, interval 1
    7, 5, 0x82, 2, 64, 0,    0,                 // pipe 5: EP2 IN bulk
    7, 5, 0x84, 2, 64, 0,    0,                 // pipe 6: EP4 IN bulk
    7, 5, 0x86, 2, 64, 0,    0};                // pipe 7: EP6 IN bulk

const std::vector<std::uint8_t> STRING_0 = {4, 3, 0x09, 0x04};
const std::vector<std::uint8_t> STRING_1 = {16,  3, 'U', 0, 'S', 0, 'B', 0,
                                            '_', 0, 'S', 0, 'P', 0, 'I', 0};
const std::vector<std::uint8_t> STRING_2 = {10, 3, 'V', 0, '0', 0, '1', 0, '0', 0};

constexpr std::uint8_t TO_HOST = 0x80;
constexpr std::uint8_t GET_DESCRIPTOR = 6;

class Booted : public ::testing::Test {
  protected:
    void SetUp() override {
        device = boot(adapter, &absent_opens);
        ASSERT_TRUE(device);
    }
    RecordingPort port;
    sim::EmulatedAdapter adapter{port};
    std::unique_ptr<usb::UsbDevice> device;
    int absent_opens = 0;
};

struct DescriptorRead {
    const char* name;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
    const std::vector<std::uint8_t>* whole;
    std::size_t expected_length;
};

// The host may ask for more or less than a descriptor holds; it gets the smaller of the two.
const DescriptorRead READS[] = {
    {"device", 0x0100, 0, 64, &DEVICE, 18},
    {"device, first 8 bytes", 0x0100, 0, 8, &DEVICE, 8},
    {"configuration header", 0x0200, 0, 9, &CONFIGURATION, 9},
    {"configuration in two packets", 0x0200, 0, 255, &CONFIGURATION, 74},
    {"configuration cut inside the second packet", 0x0200, 0, 70, &CONFIGURATION, 70},
    {"languages", 0x0300, 0, 255, &STRING_0, 4},
    {"manufacturer in the host's language id", 0x0301, 0x001B, 130, &STRING_1, 16},
    {"product in the host's language id", 0x0302, 0x001B, 130, &STRING_2, 10},
    {"manufacturer in English", 0x0301, 0x0409, 255, &STRING_1, 16},
    {"manufacturer, length only", 0x0301, 0x001B, 2, &STRING_1, 2},
};

TEST_F(Booted, AnswersDescriptorsByteForByte) {
    for (const DescriptorRead& r : READS) {
        SCOPED_TRACE(r.name);
        std::vector<std::uint8_t> data(300, 0xEE);
        std::size_t received = 0;
        ASSERT_TRUE(adapter.control_in(
            SetupPacket{TO_HOST, GET_DESCRIPTOR, r.value, r.index, r.length}, data, received));
        ASSERT_EQ(received, r.expected_length);
        EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + received),
                  std::vector<std::uint8_t>(r.whole->begin(), r.whole->begin() + received));
    }
}

TEST_F(Booted, StringsThroughTheCableSeam) {
    std::array<std::uint8_t, usb::STRING_ANSWER_SIZE> answer{};
    ASSERT_TRUE(device->get_string(1, 0x001B, answer));
    EXPECT_EQ(std::vector<std::uint8_t>(answer.begin(), answer.begin() + 16), STRING_1);
    EXPECT_EQ(answer[16], 0) << "the rest of the answer stays clear";
    ASSERT_TRUE(device->get_string(2, 0x001B, answer));
    EXPECT_EQ(std::vector<std::uint8_t>(answer.begin(), answer.begin() + 10), STRING_2);
}

struct Request {
    const char* name;
    SetupPacket setup;
    bool accepted;
    std::vector<std::uint8_t> answer;  // for requests to the host
};

// One after the other on one booted adapter: later rows see what earlier rows changed.
const Request REQUESTS[] = {
    {"device status: bus-powered, no wake-up", {0x80, 0, 0, 0, 2}, true, {0, 0}},
    {"enable remote wake-up", {0x00, 3, 1, 0, 0}, true, {}},
    {"device status shows wake-up", {0x80, 0, 0, 0, 2}, true, {2, 0}},
    {"disable remote wake-up", {0x00, 1, 1, 0, 0}, true, {}},
    {"device status again", {0x80, 0, 0, 0, 2}, true, {0, 0}},
    {"configuration set at enumeration", {0x80, 8, 0, 0, 1}, true, {1}},
    {"interface status", {0x81, 0, 0, 0, 2}, true, {0, 0}},
    {"interface 1 does not exist", {0x81, 0, 0, 1, 2}, false, {}},
    {"alternate setting", {0x81, 10, 0, 0, 1}, true, {0}},
    {"alternate setting 0", {0x01, 11, 0, 0, 0}, true, {}},
    {"alternate setting 1 does not exist", {0x01, 11, 1, 0, 0}, false, {}},
    {"halt EP2 OUT", {0x02, 3, 0, 0x02, 0}, true, {}},
    {"EP2 OUT halted", {0x82, 0, 0, 0x02, 2}, true, {1, 0}},
    {"EP2 IN not halted", {0x82, 0, 0, 0x82, 2}, true, {0, 0}},
    {"clear EP2 OUT halt", {0x02, 1, 0, 0x02, 0}, true, {}},
    {"EP2 OUT running", {0x82, 0, 0, 0x02, 2}, true, {0, 0}},
    {"EP3 is not declared", {0x82, 0, 0, 0x03, 2}, false, {}},
    {"EP0 status", {0x82, 0, 0, 0x00, 2}, true, {0, 0}},
    {"string 3 does not exist", {0x80, 6, 0x0303, 0x0409, 255}, false, {}},
    {"configuration 1 descriptor does not exist", {0x80, 6, 0x0201, 0, 255}, false, {}},
    {"device qualifier: not a high-speed device", {0x80, 6, 0x0600, 0, 10}, false, {}},
    {"configuration 2 does not exist", {0x00, 9, 2, 0, 0}, false, {}},
    {"unconfigure", {0x00, 9, 0, 0, 0}, true, {}},
    {"configuration now 0", {0x80, 8, 0, 0, 1}, true, {0}},
    {"configure again", {0x00, 9, 1, 0, 0}, true, {}},
    {"vendor request of our own: none", {0xC0, 0xB0, 0, 0, 1}, false, {}},
    {"class request: none", {0xA1, 0x01, 0, 0, 1}, false, {}},
    {"the request after a refused one is answered", {0x80, 8, 0, 0, 1}, true, {1}},
};

TEST_F(Booted, ServesTheStandardRequests) {
    for (const Request& r : REQUESTS) {
        SCOPED_TRACE(r.name);
        std::array<std::uint8_t, 64> data{};
        std::size_t received = 0;
        const bool ok = (r.setup.request_type & 0x80) ? adapter.control_in(r.setup, data, received)
                                                      : adapter.control_out(r.setup, {});
        EXPECT_EQ(ok, r.accepted);
        if (ok) {
            EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + received), r.answer);
        }
    }
}

TEST_F(Booted, RenumeratedOnceAsTheHostSeesIt) {
    // The default device before the download, the firmware after its disconnection.
    EXPECT_EQ(adapter.enumerations(), 2u);
    // About a second away, seen in 50 ms steps by the opens.
    EXPECT_GE(absent_opens, 15);
    EXPECT_LE(absent_opens, 25);
    EXPECT_TRUE(adapter.present());
    // Opening again does not enumerate again.
    EXPECT_TRUE(adapter.open(0));
    EXPECT_EQ(adapter.enumerations(), 2u);
    EXPECT_FALSE(adapter.open(1)) << "one adapter only";
}

TEST(BeforeDownload, TheChipAnswersAsItsDefaultDevice) {
    RecordingPort port;
    sim::EmulatedAdapter adapter(port);
    std::unique_ptr<usb::UsbDevice> device = adapter.open(0);
    ASSERT_TRUE(device);
    std::array<std::uint8_t, usb::STRING_ANSWER_SIZE> answer{};
    for (std::uint8_t index : {1, 2}) {
        ASSERT_TRUE(device->get_string(index, 0x001B, answer));
        EXPECT_EQ(answer[0], 2) << "no names: an empty string";
    }
    std::array<std::uint8_t, 18> descriptor{};
    std::size_t received = 0;
    ASSERT_TRUE(adapter.control_in(SetupPacket{TO_HOST, GET_DESCRIPTOR, 0x0100, 0, 18}, descriptor,
                                   received));
    EXPECT_EQ(descriptor[8] | descriptor[9] << 8, 0x0547);
    EXPECT_EQ(descriptor[10] | descriptor[11] << 8, 0x2131);
    std::uint32_t done = 0;
    const std::uint8_t byte = 0x06;
    EXPECT_FALSE(device->bulk_write(PIPE_CLOCKS, &byte, 1, done))
        << "no pipes without the firmware";
    EXPECT_EQ(port.drives, 0u) << "the pins stay undriven";
}

TEST(Boot, HandlesOfTheDefaultDeviceFailAfterTheRenumeration) {
    RecordingPort port;
    sim::EmulatedAdapter adapter(port);
    std::unique_ptr<usb::UsbDevice> old = adapter.open(0);
    std::unique_ptr<usb::UsbDevice> other = adapter.open(0);
    ASSERT_TRUE(old && other);
    ASSERT_TRUE(old->vendor_request(0xA0, 0x7F92, 0, 1));
    ASSERT_TRUE(old->download(resources::ezusb_firmware()));
    ASSERT_TRUE(old->vendor_request(0xA0, 0x7F92, 0, 0));
    EXPECT_FALSE(adapter.present()) << "the firmware leaves the bus at once";
    EXPECT_FALSE(adapter.open(0));
    std::array<std::uint8_t, usb::STRING_ANSWER_SIZE> answer{};
    std::uint8_t buffer[4] = {};
    std::uint32_t done = 0;
    EXPECT_FALSE(other->get_string(1, 0x001B, answer));
    EXPECT_FALSE(other->vendor_request(0xA0, 0x7F92, 0, 1));
    EXPECT_FALSE(other->download(resources::ezusb_firmware()));
    EXPECT_FALSE(other->bulk_write(PIPE_CLOCKS, buffer, 1, done));
    EXPECT_FALSE(other->bulk_read(PIPE_ANSWERS, buffer, 1, done));
    std::unique_ptr<usb::UsbDevice> fresh;
    for (int i = 0; i < 200 && !fresh; ++i)
        fresh = adapter.open(0);
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(other->get_string(1, 0x001B, answer)) << "an old handle stays dead";
    EXPECT_TRUE(fresh->get_string(1, 0x001B, answer));
    EXPECT_EQ(answer[0], 16);
}

TEST(Boot, DownloadRefusesAnImageBeyondTheLoadableRam) {
    RecordingPort port;
    sim::EmulatedAdapter adapter(port);
    std::unique_ptr<usb::UsbDevice> device = adapter.open(0);
    ASSERT_TRUE(device);
    const std::vector<std::uint8_t> too_big(0x1B41, 0);
    EXPECT_FALSE(device->download(too_big));
    const std::vector<std::uint8_t> largest(0x1B40, 0);
    EXPECT_TRUE(device->download(largest));
}

}  // namespace
}  // namespace oscset::firmware_test

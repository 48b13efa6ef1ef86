// Calls from several threads at once: the firmware answers control requests in its interrupt
// while the main loop shifts, without disturbing the shift; the model serves every call.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/firmware/firmware_support.hpp"

namespace oscset::firmware_test {
namespace {

bool pattern(std::size_t k) {
    return ((k * 0x2545F491u) >> 9) & 1;
}

TEST(Concurrency, ControlRequestsDuringLongShiftsLeaveTheShiftIntact) {
    RecordingPort port;
    sim::EmulatedAdapter adapter(port);
    std::unique_ptr<usb::UsbDevice> device = boot(adapter);
    ASSERT_TRUE(device);
    std::unique_ptr<usb::UsbDevice> second = adapter.open(0);
    ASSERT_TRUE(second);
    port.tdo_of = pattern;
    bool ok = false;
    exchange(*device, PIPE_CLOCKS, std::vector<std::uint8_t>{0x02}, ok);
    ASSERT_TRUE(ok);
    const std::size_t before = port.clocks.size();

    std::vector<std::uint8_t> data(0x8000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 13 + 5);
    std::atomic<bool> shifting{true};
    std::atomic<int> strings_ok{0};
    std::atomic<int> strings_bad{0};
    std::thread control([&] {
        std::array<std::uint8_t, usb::STRING_ANSWER_SIZE> answer{};
        while (shifting) {
            if (second->get_string(1, 0x001B, answer) && answer[0] == 16 && answer[2] == 'U') {
                ++strings_ok;
            } else {
                ++strings_bad;
            }
            // A host's control requests come a frame or more apart.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const std::vector<std::uint8_t> answers = exchange(*device, PIPE_BYTES_ANSWERED, data, ok);
    shifting = false;
    control.join();

    EXPECT_TRUE(ok);
    EXPECT_GT(strings_ok.load(), 0);
    EXPECT_EQ(strings_bad.load(), 0);
    ASSERT_EQ(answers.size(), data.size());
    ASSERT_EQ(port.clocks.size() - before, 8 * data.size());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < 8 * data.size(); ++i) {
        const RecordingPort::Clock& c = port.clocks[before + i];
        if (c.tdi != (((data[i / 8] >> (i % 8)) & 1) != 0) || c.tms)
            ++wrong;
    }
    for (std::size_t i = 0; i < answers.size(); ++i) {
        std::uint8_t expected = 0;
        for (int b = 0; b < 8; ++b)
            expected |= static_cast<std::uint8_t>(pattern(before + 8 * i + b) << b);
        if (answers[i] != expected)
            ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
}

// Two threads on two pipes, as no cable does, and a third opening and reading strings: every
// call returns, and the per-pipe data arrive whole.
TEST(Concurrency, SimultaneousCallsAllReturn) {
    RecordingPort port;
    sim::EmulatedAdapter adapter(port);
    std::unique_ptr<usb::UsbDevice> device = boot(adapter);
    ASSERT_TRUE(device);
    std::atomic<int> failures{0};
    std::thread junk([&] {
        const std::vector<std::uint8_t> bytes(5000, 0x11);
        if (!send(*device, PIPE_EP1_OUT, bytes))
            ++failures;
    });
    std::thread opener([&] {
        for (int i = 0; i < 20; ++i) {
            std::unique_ptr<usb::UsbDevice> d = adapter.open(0);
            std::array<std::uint8_t, usb::STRING_ANSWER_SIZE> answer{};
            if (!d || !d->get_string(2, 0x001B, answer) || answer[0] != 10)
                ++failures;
        }
    });
    bool ok = false;
    const std::vector<std::uint8_t> answers =
        exchange(*device, PIPE_CLOCKS, std::vector<std::uint8_t>(3000, 0x00), ok);
    junk.join();
    opener.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(answers.size(), 3000u);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(port.clocks.size(), 3000u) << "the drained pipe shifts nothing";
}

}  // namespace
}  // namespace oscset::firmware_test

// The firmware's JTAG pipes against a recording JTAG port: per-clock bytes, byte mode with
// and without answers, TMS levels, TDO packing, the power sense, long transfers across packet
// boundaries, and answers that are never lost, repeated or reordered.

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

#include "tests/firmware/firmware_support.hpp"

namespace oscset::firmware_test {
namespace {

using Clock = RecordingPort::Clock;

constexpr std::uint8_t TDI = 0x20;
constexpr std::uint8_t TMS = 0x04;
constexpr std::uint8_t TCK = 0x02;
constexpr std::uint8_t ANSWER_TDO = 0x01;
constexpr std::uint8_t ANSWER_POWER = 0x08;

// A TDO pattern that differs from clock to clock, so that a lost, repeated or reordered
// clock or answer shows.
bool pattern(std::size_t k) {
    return ((k * 0x9E3779B1u) >> 13) & 1;
}

class Pipes : public ::testing::Test {
  protected:
    void SetUp() override {
        device = boot(adapter);
        ASSERT_TRUE(device);
        port.clocks.clear();
        port.tdo_of = pattern;  // by the clock count since power-on
    }
    // TDO for the k-th clock counted from `offset`.
    bool tdo(std::size_t k) const { return pattern(k + offset); }

    std::vector<std::uint8_t> exchange_ok(std::uint32_t pipe, std::vector<std::uint8_t> bytes) {
        bool ok = false;
        std::vector<std::uint8_t> answers = exchange(*device, pipe, bytes, ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(answers.size(), bytes.size());
        return answers;
    }

    RecordingPort port;
    sim::EmulatedAdapter adapter{port};
    std::unique_ptr<usb::UsbDevice> device;
    std::size_t offset = 0;
};

struct PerClockCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::vector<Clock> clocks;  // the rising edges that the chain sees
};

const PerClockCase PER_CLOCK[] = {
    {"five TMS-high clocks then one low",
     {TMS, TMS, TMS, TMS, 0x00},
     {{false, true}, {false, true}, {false, true}, {false, true}, {false, false}}},
    {"TDI from bit 5", {TDI, 0x00, TDI | TMS}, {{true, false}, {false, false}, {true, true}}},
    {"TMS low command makes no edge", {0x02}, {}},
    {"TMS high command (the probe) makes no edge", {0x06}, {}},
    {"TCK high in a byte: levels without a clock", {TDI | TCK, TDI}, {{true, false}}},
    {"other bits change nothing", {0xD9, 0x00}, {{false, false}, {false, false}}},
};

TEST_F(Pipes, PerClockBytesDriveTheLinesAndClockOnce) {
    for (const PerClockCase& c : PER_CLOCK) {
        SCOPED_TRACE(c.name);
        port.clocks.clear();
        const std::vector<std::uint8_t> answers = exchange_ok(PIPE_CLOCKS, c.bytes);
        ASSERT_EQ(port.clocks.size(), c.clocks.size());
        for (std::size_t i = 0; i < c.clocks.size(); ++i) {
            EXPECT_EQ(port.clocks[i].tdi, c.clocks[i].tdi) << "clock " << i;
            EXPECT_EQ(port.clocks[i].tms, c.clocks[i].tms) << "clock " << i;
        }
        EXPECT_TRUE(port.tck) << "TCK rests high";
        const bool last_tms = c.bytes.back() & TMS;
        EXPECT_EQ(port.tms, last_tms);
        offset += port.clocks.size();
        for (std::uint8_t a : answers)
            EXPECT_TRUE(a & ANSWER_POWER);
    }
}

TEST_F(Pipes, PerClockAnswersCarryTdoOfTheirClockAndThePowerSense) {
    std::vector<std::uint8_t> bytes(40, 0x00);
    for (std::size_t i = 0; i < bytes.size(); i += 3)
        bytes[i] = TDI;
    const std::vector<std::uint8_t> answers = exchange_ok(PIPE_CLOCKS, bytes);
    ASSERT_EQ(answers.size(), bytes.size());
    for (std::size_t i = 0; i < answers.size(); ++i) {
        EXPECT_EQ((answers[i] & ANSWER_TDO) != 0, tdo(i)) << "answer " << i;
        EXPECT_EQ(answers[i] & (ANSWER_POWER | TCK), ANSWER_POWER)
            << "read after TCK fell, power sensed";
    }
    offset += bytes.size();

    port.power = false;
    const std::vector<std::uint8_t> probe = exchange_ok(PIPE_CLOCKS, {0x06});
    ASSERT_EQ(probe.size(), 1u);
    EXPECT_EQ(probe[0] & ANSWER_POWER, 0);
    EXPECT_EQ(probe[0] & (TMS | TCK), TMS | TCK) << "the probe leaves TMS and TCK high";
}

struct ByteModeCase {
    const char* name;
    std::uint8_t mode;  // the mode command before: 0x02 TMS low, 0x06 TMS high
    std::vector<std::uint8_t> bytes;
};

const ByteModeCase BYTE_MODE[] = {
    {"16 bits, TMS low", 0x02, {0x80, 0x01}},
    {"TMS held high", 0x06, {0x5A, 0xC3, 0xFF}},
    {"one byte", 0x02, {0x00}},
};

// Byte mode shifts each byte least significant bit first with TMS at the mode's level.
void expect_byte_clocks(const std::vector<Clock>& clocks, const std::vector<std::uint8_t>& bytes,
                        bool tms) {
    ASSERT_EQ(clocks.size(), bytes.size() * 8);
    for (std::size_t i = 0; i < clocks.size(); ++i) {
        EXPECT_EQ(clocks[i].tdi, ((bytes[i / 8] >> (i % 8)) & 1) != 0) << "clock " << i;
        EXPECT_EQ(clocks[i].tms, tms) << "clock " << i;
    }
}

TEST_F(Pipes, ByteModeWithoutAnswersShiftsLsbFirstWithTmsHeld) {
    for (const ByteModeCase& c : BYTE_MODE) {
        SCOPED_TRACE(c.name);
        exchange_ok(PIPE_CLOCKS, {c.mode});
        port.clocks.clear();
        ASSERT_TRUE(send(*device, PIPE_BYTES, c.bytes));
        // The send returns once the chip has the packet; an answered command after it runs
        // only when the bytes before it have been shifted.
        exchange_ok(PIPE_CLOCKS, {c.mode});
        expect_byte_clocks(port.clocks, c.bytes, c.mode == 0x06);
        EXPECT_TRUE(port.tck);
        offset += port.clocks.size();
    }
}

TEST_F(Pipes, ByteModeWithAnswersPacksTdoFirstBitInBitZero) {
    for (const ByteModeCase& c : BYTE_MODE) {
        SCOPED_TRACE(c.name);
        exchange_ok(PIPE_CLOCKS, {c.mode});
        port.clocks.clear();
        const std::vector<std::uint8_t> answers = exchange_ok(PIPE_BYTES_ANSWERED, c.bytes);
        expect_byte_clocks(port.clocks, c.bytes, c.mode == 0x06);
        ASSERT_EQ(answers.size(), c.bytes.size());
        for (std::size_t i = 0; i < answers.size(); ++i) {
            std::uint8_t expected = 0;
            for (int b = 0; b < 8; ++b)
                expected |= static_cast<std::uint8_t>(tdo(8 * i + b) << b);
            EXPECT_EQ(answers[i], expected) << "byte " << i;
        }
        offset += port.clocks.size();
    }
}

// How the cable shifts 16 bits with TMS low and then high on the last bit: a mode command,
// one byte-mode byte, an 8-bit per-clock tail whose last byte carries TMS.
TEST_F(Pipes, SixteenBitShiftWithPerClockTail) {
    exchange_ok(PIPE_CLOCKS, {0x02});
    port.clocks.clear();
    const std::uint8_t first = 0xB4;  // as sent: already in shift order
    const std::vector<std::uint8_t> byte_answer = exchange_ok(PIPE_BYTES_ANSWERED, {first});
    std::vector<std::uint8_t> tail;
    const std::uint8_t second = 0x96;  // the tail takes its TDI bits from the top down
    for (int b = 7; b >= 0; --b) {
        tail.push_back(
            static_cast<std::uint8_t>(((second >> b) & 1 ? TDI : 0) | (b == 0 ? TMS : 0)));
    }
    const std::vector<std::uint8_t> tail_answers = exchange_ok(PIPE_CLOCKS, tail);

    ASSERT_EQ(port.clocks.size(), 16u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(port.clocks[i].tdi, ((first >> i) & 1) != 0);
        EXPECT_FALSE(port.clocks[i].tms);
        EXPECT_EQ(port.clocks[8 + i].tdi, ((second >> (7 - i)) & 1) != 0);
        EXPECT_EQ(port.clocks[8 + i].tms, i == 7);
    }
    std::uint8_t expected_byte = 0;
    for (int b = 0; b < 8; ++b)
        expected_byte |= static_cast<std::uint8_t>(tdo(b) << b);
    EXPECT_EQ(byte_answer[0], expected_byte);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ((tail_answers[i] & ANSWER_TDO) != 0, tdo(8 + i));
    // Byte mode afterwards keeps the tail's last TMS level.
    port.clocks.clear();
    exchange_ok(PIPE_BYTES_ANSWERED, {0x00});
    ASSERT_EQ(port.clocks.size(), 8u);
    for (const Clock& c : port.clocks)
        EXPECT_TRUE(c.tms);
}

std::vector<std::uint8_t> numbered(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    return bytes;
}

TEST_F(Pipes, LongByteModeTransfersBothWays) {
    exchange_ok(PIPE_CLOCKS, {0x02});
    port.clocks.clear();
    const std::vector<std::uint8_t> data = numbered(0x8000);
    ASSERT_TRUE(send(*device, PIPE_BYTES, data));
    const std::vector<std::uint8_t> answers = exchange_ok(PIPE_BYTES_ANSWERED, data);
    ASSERT_EQ(port.clocks.size(), 2u * 8 * data.size());
    std::size_t wrong_tdi = 0;
    for (std::size_t i = 0; i < port.clocks.size(); ++i) {
        const std::uint8_t byte = data[(i / 8) % data.size()];
        if (port.clocks[i].tdi != (((byte >> (i % 8)) & 1) != 0) || port.clocks[i].tms)
            ++wrong_tdi;
    }
    EXPECT_EQ(wrong_tdi, 0u);
    ASSERT_EQ(answers.size(), data.size());
    std::size_t wrong_answers = 0;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        std::uint8_t expected = 0;
        for (int b = 0; b < 8; ++b)
            expected |= static_cast<std::uint8_t>(tdo(8 * (data.size() + i) + b) << b);
        if (answers[i] != expected)
            ++wrong_answers;
    }
    EXPECT_EQ(wrong_answers, 0u);
}

TEST_F(Pipes, LongPerClockTransfer) {
    std::vector<std::uint8_t> bytes(0x8000);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = pattern(i + 12345) ? TDI : 0;
    const std::vector<std::uint8_t> answers = exchange_ok(PIPE_CLOCKS, bytes);
    ASSERT_EQ(port.clocks.size(), bytes.size());
    ASSERT_EQ(answers.size(), bytes.size());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (port.clocks[i].tdi != ((bytes[i] & TDI) != 0) ||
            ((answers[i] & ANSWER_TDO) != 0) != tdo(i))
            ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
}

struct BoundaryCase {
    const char* name;
    std::uint32_t pipe;
    std::vector<std::size_t> sizes;  // one write each, one after the other
};

const BoundaryCase BOUNDARIES[] = {
    {"per-clock bytes", PIPE_CLOCKS, {1, 63, 64, 65, 127, 128, 129, 3, 200, 64}},
    {"byte mode", PIPE_BYTES_ANSWERED, {64, 1, 129, 2, 63, 300, 65}},
};

// Writes of awkward sizes against one read for all of them: the answers arrive in order,
// none lost or repeated, whatever the packet boundaries.
TEST_F(Pipes, AnswersKeepOrderAcrossPacketBoundaries) {
    for (const BoundaryCase& c : BOUNDARIES) {
        SCOPED_TRACE(c.name);
        const std::size_t total = std::accumulate(c.sizes.begin(), c.sizes.end(), std::size_t{0});
        std::vector<std::uint8_t> answers(total);
        bool read_ok = true;
        std::thread reader([&] {
            std::uint32_t at = 0;
            while (read_ok && at < total) {
                std::uint32_t got = 0;
                read_ok = device->bulk_read(PIPE_ANSWERS, answers.data() + at,
                                            static_cast<std::uint32_t>(total - at), got);
                at += got;
            }
            answers.resize(at);
        });
        for (const std::size_t n : c.sizes)
            EXPECT_TRUE(send(*device, c.pipe, std::vector<std::uint8_t>(n, 0)));
        reader.join();
        ASSERT_TRUE(read_ok);
        ASSERT_EQ(answers.size(), total);
        // Each per-clock answer holds one TDO bit, each byte-mode answer eight.
        const int bits = c.pipe == PIPE_CLOCKS ? 1 : 8;
        std::size_t clock = 0;
        std::size_t wrong = 0;
        for (const std::uint8_t a : answers) {
            std::uint8_t expected = 0;
            for (int b = 0; b < bits; ++b)
                expected |= static_cast<std::uint8_t>(tdo(clock++) << b);
            if ((bits == 1 ? (a & ANSWER_TDO) : a) != expected)
                ++wrong;
        }
        EXPECT_EQ(wrong, 0u);
        EXPECT_EQ(port.clocks.size(), clock);
        offset += clock;
        port.clocks.clear();
    }
}

// The cable sends byte-mode data without waiting and then an answered tail at once: the
// firmware shifts all of the first before any of the second.
TEST_F(Pipes, UnansweredBytesGoBeforeTheNextAnsweredPipe) {
    exchange_ok(PIPE_CLOCKS, {0x02});
    port.clocks.clear();
    const std::vector<std::uint8_t> data(4096, 0xFF);
    ASSERT_TRUE(send(*device, PIPE_BYTES, data));
    const std::vector<std::uint8_t> answers = exchange_ok(PIPE_CLOCKS, {0x04, 0x00});
    ASSERT_EQ(port.clocks.size(), data.size() * 8 + 2);
    for (std::size_t i = 0; i < data.size() * 8; ++i)
        ASSERT_TRUE(port.clocks[i].tdi && !port.clocks[i].tms) << i;
    EXPECT_TRUE(port.clocks[data.size() * 8].tms);
    EXPECT_FALSE(port.clocks[data.size() * 8 + 1].tdi);
}

TEST_F(Pipes, EndpointOneOutIsDrainedWithoutEffect) {
    const std::vector<std::uint8_t> junk(300, 0xA5);
    EXPECT_TRUE(send(*device, PIPE_EP1_OUT, junk));
    EXPECT_TRUE(port.clocks.empty());
    EXPECT_EQ(exchange_ok(PIPE_CLOCKS, {0x06}).size(), 1u);
}

TEST_F(Pipes, WrongDirectionsAndEmptyTransfers) {
    std::uint8_t buffer[8] = {};
    std::uint32_t done = 7;
    EXPECT_FALSE(device->bulk_write(PIPE_ANSWERS, buffer, 1, done));
    EXPECT_EQ(done, 0u);
    EXPECT_FALSE(device->bulk_read(PIPE_CLOCKS, buffer, 1, done));
    EXPECT_FALSE(device->bulk_write(8, buffer, 1, done));
    EXPECT_TRUE(device->bulk_write(PIPE_CLOCKS, buffer, 0, done));
    EXPECT_TRUE(device->bulk_read(PIPE_ANSWERS, buffer, 0, done));
    EXPECT_TRUE(port.clocks.empty());
}

// Without a reader the answers pile up in the chip, the firmware stops taking packets, and
// the write gives up after its budget instead of hanging; so does a read with nothing to come.
TEST(Budgets, CallsFailInsteadOfHanging) {
    RecordingPort port;
    sim::EmulatedAdapter::Options options;
    options.call_budget_cycles = 600'000;
    options.idle_wait_limit_ms = 30;
    sim::EmulatedAdapter adapter(port, options);
    std::unique_ptr<usb::UsbDevice> device = boot(adapter);
    ASSERT_TRUE(device);
    const std::vector<std::uint8_t> bytes(64 * 6, 0x00);
    std::uint32_t done = 0;
    EXPECT_FALSE(device->bulk_write(PIPE_CLOCKS, bytes.data(),
                                    static_cast<std::uint32_t>(bytes.size()), done));
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, bytes.size());
    // The answers of every packet that went in come out, one packet each, then nothing.
    std::vector<std::uint8_t> answer(64);
    std::uint32_t total = 0;
    std::uint32_t got = 0;
    while (device->bulk_read(PIPE_ANSWERS, answer.data(), 64, got)) {
        EXPECT_EQ(got, 64u);
        total += got;
        ASSERT_LE(total, done);
    }
    EXPECT_EQ(total, done);
    EXPECT_EQ(port.clocks.size(), done);
}

}  // namespace
}  // namespace oscset::firmware_test

// The bulk pipes and the reader thread, against a scripted adapter.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "cables/usb/usb_cable.hpp"
#include "cables/usb/usb_pipes.hpp"
#include "platform/console.hpp"
#include "platform/time.hpp"
#include "tests/support/open_usb_cable.hpp"
#include "tests/usb/fake_usb.hpp"

namespace oscset::usb {
namespace {

using testing::FakeUsb;
using testing::Write;
using bytes = std::vector<std::uint8_t>;

constexpr const char* TX = "error ! USB SPI TX\n";
constexpr const char* TX_RX = "error ! USB SPI TX-RX\n";
constexpr const char* PROTOCOL = "error ! USB SPI Protcol\n";

class UsbPipes : public oscset::testing::OpenUsbCable<FakeUsb> {
  protected:
    void SetUp() override {
        OpenUsbCable::SetUp();
        // The reader idle before any test shortens the waits.
        ASSERT_EQ(usb_read_wait(true), 0);
        fake.clear_logs();
    }
};

TEST_F(UsbPipes, ZeroLengthWriteMakesNoCall) {
    const std::uint8_t byte = 0;
    EXPECT_EQ(usb_bulk_write(1, &byte, 0), 0);
    EXPECT_EQ(usb_pipe_send(&byte, 0), 0);
    EXPECT_TRUE(fake.offered_writes().empty());
}

TEST_F(UsbPipes, WritesAreChunkedAndShortTransfersContinued) {
    struct {
        std::uint32_t length;
        std::uint32_t limit;
        std::vector<std::uint32_t> offered;
    } const cases[] = {
        {0x8001, UINT32_MAX, {0x8000, 1}},
        {0x10000, UINT32_MAX, {0x8000, 0x8000}},
        {300, 100, {300, 200, 100}},
        {0x8000, 0x5000, {0x8000, 0x3000}},
    };
    for (const auto& c : cases) {
        fake.clear_logs();
        fake.write_limit = c.limit;
        bytes data(c.length);
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<std::uint8_t>(i);
        }
        EXPECT_EQ(usb_bulk_write(1, data.data(), c.length), 0);
        EXPECT_EQ(fake.offered_writes(), c.offered) << c.length << "/" << c.limit;
        bytes moved;
        for (const Write& w : fake.writes()) {
            moved.insert(moved.end(), w.bytes.begin(), w.bytes.end());
        }
        EXPECT_EQ(moved, data);
    }
}

TEST_F(UsbPipes, MisreportingDriversFailTheWriteInsteadOfLooping) {
    const bytes data(10, 0x11);
    fake.zero_writes = -1;  // success with 0 bytes, for ever
    EXPECT_EQ(usb_bulk_write(1, data.data(), 10), -1);
    const std::size_t calls = fake.offered_writes().size();
    EXPECT_GT(calls, 0u);
    EXPECT_LT(calls, 100u);

    fake.zero_writes = 3;  // a few empty calls are survived
    EXPECT_EQ(usb_bulk_write(1, data.data(), 10), 0);

    fake.overreport_writes = true;
    EXPECT_EQ(usb_bulk_write(1, data.data(), 10), -1);
}

TEST_F(UsbPipes, CommandAnswersReplaceTheBytesSent) {
    fake.answer = [](std::uint32_t, std::uint8_t b) { return static_cast<std::uint8_t>(b ^ 0x5A); };
    fake.read_limit = 2;  // answers trickle in: the reader continues
    bytes buffer{0x20, 0x00, 0x24, 0x04, 0x06};
    EXPECT_EQ(usb_command_exchange(buffer.data(), 5), 0);
    EXPECT_EQ(buffer, (bytes{0x7A, 0x5A, 0x7E, 0x5E, 0x5C}));
    EXPECT_EQ(fake.writes(), (std::vector<Write>{{3, {0x20, 0x00, 0x24, 0x04, 0x06}}}));
    EXPECT_EQ(fake.reads(), (std::vector<std::uint32_t>{5, 3, 1}));
}

TEST_F(UsbPipes, PipeExchangeAnswersIntoItsOwnBuffer) {
    fake.answer = [](std::uint32_t, std::uint8_t b) { return static_cast<std::uint8_t>(~b); };
    bytes data(0x8001);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 3);
    }
    const bytes sent = data;
    bytes answer(data.size(), 0xEE);
    EXPECT_EQ(usb_pipe_exchange(data.data(), answer.data(), 0x8001), 0);
    EXPECT_EQ(data, sent);
    for (std::size_t i = 0; i < data.size(); ++i) {
        ASSERT_EQ(answer[i], static_cast<std::uint8_t>(~sent[i])) << i;
    }
    const std::vector<Write> writes = fake.writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].pipe, 2u);
    EXPECT_EQ(writes[0].bytes.size(), 0x8000u);
    EXPECT_EQ(writes[1].bytes.size(), 1u);
}

TEST_F(UsbPipes, AfterAFailedReadEveryExchangeFailsWithItsMessage) {
    fake.fail_reads_from = 0;
    bytes buffer{0x06};
    EXPECT_EQ(usb_command_exchange(buffer.data(), 1), -2);
    EXPECT_EQ(console.text(), PROTOCOL);
    console.clear();
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(usb_command_exchange(buffer.data(), 1), -2);
        EXPECT_EQ(usb_pipe_exchange(buffer.data(), buffer.data(), 1), -2);
    }
    EXPECT_EQ(console.text(), std::string(PROTOCOL) + TX_RX + PROTOCOL + TX_RX + PROTOCOL + TX_RX);
    // Nothing more goes out once no answer can be read: only the first write was sent.
    EXPECT_EQ(fake.writes().size(), 1u);
    EXPECT_EQ(fake.reads().size(), 1u);
    // Byte mode without answers does not need the reader.
    EXPECT_EQ(usb_pipe_send(buffer.data(), 1), 0);
}

TEST_F(UsbPipes, ZeroByteReadsAreBounded) {
    fake.zero_reads = -1;
    bytes buffer{0x06};
    EXPECT_EQ(usb_command_exchange(buffer.data(), 1), -2);
    EXPECT_EQ(console.text(), PROTOCOL);
    EXPECT_LT(fake.reads().size(), 100u);
}

TEST_F(UsbPipes, RefusedWritesPrintTheirMessage) {
    platform::SimulatedTime fast;
    fake.fail_writes_from = 0;
    bytes buffer{0x01, 0x02};
    EXPECT_EQ(usb_pipe_send(buffer.data(), 2), -1);
    EXPECT_EQ(console.text(), TX);
    console.clear();
    EXPECT_EQ(usb_pipe_exchange(buffer.data(), buffer.data(), 2), -1);
    EXPECT_EQ(console.text(), TX_RX);
    EXPECT_EQ(buffer, (bytes{0x01, 0x02}));
}

TEST_F(UsbPipes, AMissingAnswerIsAFailedReadBack) {
    platform::SimulatedTime fast;
    fake.drop_answers = true;
    bytes buffer{0x06, 0x06};
    EXPECT_EQ(usb_command_exchange(buffer.data(), 2), -2);
    EXPECT_EQ(console.text(), PROTOCOL);
    EXPECT_EQ(buffer, (bytes{0x06, 0x06}));
}

TEST_F(UsbPipes, ALateAnswerNeverLandsInTheCallersBuffer) {
    fake.hold_reads = true;
    fake.answer = [](std::uint32_t, std::uint8_t b) { return static_cast<std::uint8_t>(b + 1); };
    const bytes first{0x10, 0x20, 0x30, 0x40};
    {
        platform::SimulatedTime fast;
        auto released = std::make_unique<std::uint8_t[]>(4);
        std::fill_n(released.get(), 4, std::uint8_t{0x55});
        EXPECT_EQ(usb_pipe_exchange(first.data(), released.get(), 4), -2);
        EXPECT_EQ(bytes(released.get(), released.get() + 4), bytes(4, 0x55));
        released.reset();  // the caller gives its buffer up while the read is outstanding
        // The reader is still inside that read: it takes no new one, and nothing is sent
        // whose answers nobody would read.
        bytes busy{0x06};
        EXPECT_EQ(usb_command_exchange(busy.data(), 1), -2);
        EXPECT_EQ(busy, bytes{0x06});
        EXPECT_EQ(fake.writes().size(), 1u);
    }
    bytes reused(4, 0x33);
    fake.release_reads();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (fake.reads_returned() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(fake.reads_returned(), 1u);
    // The late answer was dropped; the next exchange gets its own answer.
    const bytes second{0x01, 0x02, 0x03, 0x04};
    bytes answer(4, 0);
    EXPECT_EQ(usb_pipe_exchange(second.data(), answer.data(), 4), 0);
    EXPECT_EQ(answer, (bytes{0x02, 0x03, 0x04, 0x05}));
    EXPECT_EQ(reused, bytes(4, 0x33));
    EXPECT_EQ(console.text(), std::string(TX_RX) + PROTOCOL);
}

TEST_F(UsbPipes, ClosingAnIdleReaderIssuesNoRead) {
    usb_cable_close();
    EXPECT_TRUE(fake.reads().empty());
    EXPECT_EQ(fake.live_handles(), 0);
    bytes buffer{0x06};
    EXPECT_EQ(usb_command_exchange(buffer.data(), 1), -1);
    EXPECT_EQ(usb_bulk_write(1, buffer.data(), 1), -1);
    EXPECT_TRUE(fake.offered_writes().empty());
}

TEST_F(UsbPipes, ClosingAfterExchangesEndsTheReaderAndReleasesBothHandles) {
    bytes buffer{0x06};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(usb_command_exchange(buffer.data(), 1), 0);
    }
    EXPECT_EQ(fake.live_handles(), 2);
    usb_cable_close();
    EXPECT_EQ(fake.reads().size(), 5u);
    EXPECT_EQ(fake.live_handles(), 0);
}

TEST_F(UsbPipes, ClosingWhileAReadIsOutstandingWaitsForTheReader) {
    platform::SimulatedTime fast;
    fake.drop_answers = true;
    bytes buffer{0x06};
    usb_command_exchange(buffer.data(), 1);
    usb_cable_close();  // the outstanding read ends with the device's time-out
    EXPECT_EQ(fake.reads_returned(), 1u);
    EXPECT_EQ(fake.live_handles(), 0);
}

}  // namespace
}  // namespace oscset::usb

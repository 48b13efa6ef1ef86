// The kernel-driver backend's records, byte for byte, through a recording call layer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cables/usb/ezusb_driver.hpp"
#include "cables/usb/usb_pipes.hpp"

namespace oscset::usb {
namespace {

using bytes = std::vector<std::uint8_t>;

class RecordingCalls final : public DriverCalls {
  public:
    struct Call {
        std::uint32_t code;
        bytes in;
        std::uint32_t out_size;
        std::uint32_t timeout_ms;
    };

    void* open(const char* path) override {
        opened.push_back(path);
        return present ? &handle : invalid();
    }
    bool control(void*, std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
                 std::uint32_t out_size, std::uint32_t& returned,
                 std::uint32_t timeout_ms) override {
        const auto* p = static_cast<const std::uint8_t*>(in);
        calls.push_back({code, bytes(p, p + in_size), out_size, timeout_ms});
        if (code == IOCTL_EZUSB_BULK_READ) {
            static_cast<std::uint8_t*>(out)[0] = 0x5A;
        }
        returned = out_size;
        return true;
    }
    void close(void*) override { ++closed; }
    void* invalid() const override { return reinterpret_cast<void*>(~std::uintptr_t{0}); }

    bool present = true;
    int handle = 0;
    int closed = 0;
    std::vector<std::string> opened;
    std::vector<Call> calls;
};

TEST(EzusbDriver, OpensAdapterNByItsDevicePath) {
    RecordingCalls calls;
    EzusbDriverBackend backend(calls);
    auto first = backend.open(0);
    auto third = backend.open(12);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(calls.opened, (std::vector<std::string>{"\\\\.\\ezusb-0", "\\\\.\\ezusb-12"}));
    first.reset();
    third.reset();
    EXPECT_EQ(calls.closed, 2);
    calls.present = false;
    EXPECT_EQ(backend.open(0), nullptr);
}

TEST(EzusbDriver, BuildsEachRecordAtItsOffsets) {
    RecordingCalls calls;
    EzusbDriverBackend backend(calls);
    auto device = backend.open(0);
    ASSERT_TRUE(device->vendor_request(0xA0, 0x7F92, 0, 1));
    ASSERT_TRUE(device->vendor_request(0xA0, 0x7F92, 0, 0));
    std::array<std::uint8_t, STRING_ANSWER_SIZE> answer{};
    ASSERT_TRUE(device->get_string(2, 0x001B, answer));
    const std::vector<std::uint8_t> image(4096, 0xAA);
    ASSERT_TRUE(device->download(image));
    const std::uint8_t data[3] = {1, 2, 3};
    std::uint32_t moved = 0;
    ASSERT_TRUE(device->bulk_write(3, data, 3, moved));
    EXPECT_EQ(moved, 3u);
    std::uint8_t in[8] = {};
    ASSERT_TRUE(device->bulk_read(5, in, 8, moved));
    EXPECT_EQ(in[0], 0x5A);
    ASSERT_TRUE(device->poll_read(5, in, 8, moved));

    ASSERT_EQ(calls.calls.size(), 7u);
    EXPECT_EQ(calls.calls[0].code, 0x222014u);
    EXPECT_EQ(calls.calls[0].in,
              (bytes{0xA0, 0x00, 0x92, 0x7F, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01}));
    EXPECT_EQ(calls.calls[0].out_size, 0u);
    EXPECT_EQ(calls.calls[1].in,
              (bytes{0xA0, 0x00, 0x92, 0x7F, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(calls.calls[2].code, 0x222044u);
    EXPECT_EQ(calls.calls[2].in, (bytes{0x02, 0x00, 0x1B, 0x00}));
    EXPECT_EQ(calls.calls[2].out_size, 130u);
    EXPECT_EQ(calls.calls[3].code, 0x22201Cu);
    EXPECT_EQ(calls.calls[3].in, image);
    EXPECT_EQ(calls.calls[4].code, 0x222051u);
    EXPECT_EQ(calls.calls[4].in, (bytes{0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(calls.calls[4].out_size, 3u) << "the data travel in the output buffer";
    EXPECT_EQ(calls.calls[5].code, 0x22204Eu);
    EXPECT_EQ(calls.calls[5].in, (bytes{0x05, 0x00, 0x00, 0x00}));
    EXPECT_EQ(calls.calls[5].out_size, 8u);
    EXPECT_EQ(calls.calls[6].code, 0x22204Eu);

    // Every wait on the driver is bounded. A read outlasts the exchange's wait for it, so
    // that the exchange, not the read, reports a missing answer; the open's look for
    // answers left by an earlier run waits only briefly.
    for (const auto& call : calls.calls) {
        EXPECT_LE(call.timeout_ms, DRIVER_READ_TIMEOUT_MS) << std::hex << call.code;
    }
    EXPECT_GT(calls.calls[5].timeout_ms, USB_READ_WAIT_MS);
    EXPECT_EQ(calls.calls[6].timeout_ms, POLL_READ_MS);
}

}  // namespace
}  // namespace oscset::usb

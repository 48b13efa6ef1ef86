// The WinUSB backend's setup packets, pipe calls and SetupAPI use, through a scripted call
// layer that plays one adapter: its internal RAM, its strings once the firmware runs, its
// renumeration after the core is released, and its removal.

#include <gtest/gtest.h>

#include <array>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cables/usb/ezusb.hpp"
#include "cables/usb/usb_cable.hpp"
#include "cables/usb/usb_pipes.hpp"
#include "cables/usb/winusb.hpp"
#include "platform/console.hpp"
#include "platform/time.hpp"
#include "resources/ezusb_firmware.hpp"
#include "tests/usb/fake_usb.hpp"

namespace oscset::usb {
namespace {

using calls_t = std::vector<std::string>;
using testing::concat;
using bytes = std::vector<std::uint8_t>;

const std::string ADAPTER =
    R"(\\?\usb#vid_0547&pid_2131#5&1a2b3c4d&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";
constexpr std::uint32_t PULLED = WIN_ERROR_DEVICE_NOT_CONNECTED;

std::string format(const char* pattern, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0,
                   unsigned e = 0) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, a, b, c, d, e);
    return text;
}

class ScriptedWinusb final : public WinusbCalls {
  public:
    // --- script ---
    std::vector<UsbDeviceEntry> others;  // listed besides the adapter
    std::string service = "WinUSB";      // the adapter's driver
    bool firmware = true;                // answers its strings
    int absent_listings = 0;             // listings that miss it after the core is released
    // An error for a call as logged (0: none), checked before the call takes effect.
    std::function<std::uint32_t(const std::string&)> fault = [](const std::string&) { return 0U; };
    std::uint32_t read_short = 0;  // > 0: reads move this many bytes and then time out

    void pull() {
        std::lock_guard lock(mutex_);
        pulled_ = true;
        changed_.notify_all();
    }
    void plug() {
        std::lock_guard lock(mutex_);
        pulled_ = false;
    }
    calls_t log() const {
        std::lock_guard lock(mutex_);
        return log_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        log_.clear();
    }
    int live() const { return live_; }
    std::uint8_t* ram() { return ram_.data(); }

    std::vector<UsbDeviceEntry> devices() override {
        std::lock_guard lock(mutex_);
        log_.push_back("devices");
        std::vector<UsbDeviceEntry> listed = others;
        if (absent_ > 0) {
            --absent_;
        } else if (!pulled_) {
            listed.push_back({ADAPTER, service});
        }
        return listed;
    }
    void* open(const std::string& path, std::uint32_t& error) override {
        std::lock_guard lock(mutex_);
        error = record("open " + path);
        if (error != 0 || pulled_) {
            error = error != 0 ? error : WIN_ERROR_NO_SUCH_DEVICE;
            return nullptr;
        }
        ++live_;
        return &handle_;
    }
    void close(void*) override {
        std::lock_guard lock(mutex_);
        log_.push_back("close");
        --live_;
    }
    std::uint32_t set_pipe_timeout(void*, std::uint8_t endpoint, std::uint32_t ms) override {
        std::lock_guard lock(mutex_);
        return record(format("timeout %02x %u", endpoint, ms));
    }
    std::uint32_t control(void*, const ControlSetup& s, std::uint8_t* data,
                          std::uint32_t& transferred) override {
        std::lock_guard lock(mutex_);
        transferred = 0;
        std::string call =
            format("control %02x %02x %04x %04x %u", s.type, s.request, s.value, s.index, s.length);
        const bool out = (s.type & ENDPOINT_IN) == 0;
        if (out && s.length == 1) {
            call += format(" [%u]", data[0]);
        }
        if (const std::uint32_t error = record(call)) {
            return error;
        }
        if (s.request == REQUEST_GET_DESCRIPTOR) {
            return string(s.value & 0xFF, data, transferred);
        }
        if (s.value == EZUSB_CPUCS && out) {
            if (data[0] == 0) {  // released: the new firmware renumerates
                absent_ = absent_listings;
                firmware = true;
            }
        } else if (out) {
            std::copy_n(data, s.length, ram_.begin() + s.value);
        } else {
            std::copy_n(ram_.begin() + s.value, s.length, data);
        }
        transferred = s.length;
        return 0;
    }
    std::uint32_t write_pipe(void*, std::uint8_t endpoint, const std::uint8_t* data,
                             std::uint32_t length, std::uint32_t& transferred) override {
        std::lock_guard lock(mutex_);
        transferred = 0;
        if (const std::uint32_t error = record(format("write %02x %u", endpoint, length))) {
            return error;
        }
        if (endpoint != 0x02) {  // pipes 2 and 3 are answered byte for byte
            for (std::uint32_t k = 0; k < length; ++k) {
                answers_.push_back(static_cast<std::uint8_t>(endpoint == 0x06 ? 0x08 : data[k]));
            }
            changed_.notify_all();
        }
        transferred = length;
        return 0;
    }
    std::uint32_t read_pipe(void*, std::uint8_t endpoint, std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t& transferred) override {
        std::unique_lock lock(mutex_);
        transferred = 0;
        if (const std::uint32_t error = record(format("read %02x %u", endpoint, length))) {
            return error;
        }
        // A real read waits for the answer for its pipe time-out at most; the wait here ends
        // as soon as the answer or the removal comes.
        changed_.wait(lock, [&] { return pulled_ || answers_.size() >= length; });
        if (pulled_) {
            return PULLED;
        }
        const std::uint32_t moved = read_short > 0 ? read_short : length;
        for (std::uint32_t k = 0; k < moved; ++k) {
            buffer[k] = answers_.front();
            answers_.pop_front();
        }
        transferred = moved;
        return moved < length ? WIN_ERROR_SEM_TIMEOUT : 0;
    }

  private:
    std::uint32_t record(const std::string& call) {
        log_.push_back(call);
        return pulled_ && call.rfind("open", 0) != 0 ? PULLED : fault(call);
    }

    std::uint32_t string(unsigned index, std::uint8_t* data, std::uint32_t& transferred) {
        const char* const strings[] = {"", "USB_SPI", "V010"};
        if (!firmware || index < 1 || index > 2) {
            return WIN_ERROR_GEN_FAILURE;  // the chip's default answer stalls
        }
        const std::string text = strings[index];
        data[0] = static_cast<std::uint8_t>(2 + 2 * text.size());
        data[1] = DESCRIPTOR_STRING;
        for (std::size_t k = 0; k < text.size(); ++k) {
            data[2 + 2 * k] = static_cast<std::uint8_t>(text[k]);
            data[3 + 2 * k] = 0;
        }
        transferred = data[0];
        return 0;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    calls_t log_;
    bool pulled_ = false;
    int absent_ = 0;
    int live_ = 0;
    int handle_ = 0;
    std::deque<std::uint8_t> answers_;
    std::array<std::uint8_t, 0x2000> ram_{};
};

// An open: the pipes' time-outs, every one, before the handle is used.
calls_t opened(const std::string& path = ADAPTER) {
    return {"open " + path,    "timeout 01 5000", "timeout 02 5000",
            "timeout 04 5000", "timeout 06 5000", "timeout 81 6000",
            "timeout 82 6000", "timeout 84 6000", "timeout 86 6000"};
}

calls_t download(std::size_t size) {
    calls_t calls;
    for (const char* pattern : {"control 40 a0 %04x 0000 %u", "control c0 a0 %04x 0000 %u"}) {
        for (std::size_t at = 0; at < size; at += 512) {
            calls.push_back(format(pattern, static_cast<unsigned>(at),
                                   static_cast<unsigned>(std::min<std::size_t>(512, size - at))));
        }
    }
    return calls;
}

const std::string STRING_1 = "control 80 06 0301 001b 130";
const std::string STRING_2 = "control 80 06 0302 001b 130";
const std::string HALT = "control 40 a0 7f92 0000 1 [1]";
const std::string RUN = "control 40 a0 7f92 0000 1 [0]";

TEST(Winusb, CountsWinusbAdaptersInPathOrder) {
    const std::string a = R"(\\?\USB#VID_0547&PID_2131#5&1a2b3c4d&0&1#{a5dcbf10})";
    const std::string b = R"(\\?\usb#vid_0547&pid_2131#5&1a2b3c4d&0&3#{a5dcbf10})";
    ScriptedWinusb calls;
    calls.others = {
        {b, "winusb"},
        {R"(\\?\usb#vid_0547&pid_2131&mi_00#6&1#{a5dcbf10})", "WinUSB"},  // a function only
        {R"(\\?\usb#vid_0547&pid_2132#5&9#{a5dcbf10})", "WinUSB"},        // another product
        {R"(\\?\usb#vid_0547&pid_2131#5&0&0#{a5dcbf10})", "ezusb"},       // another driver
        {R"(\\?\usb#vid_0547&pid_2131#5&0&1#{a5dcbf10})", ""},            // no driver
        {a, "WinUSB"},
    };
    WinusbBackend backend(calls);
    const std::string expected[] = {a, ADAPTER, b};
    for (int index = 0; index < 3; ++index) {
        calls.clear();
        ASSERT_NE(backend.open(index), nullptr) << index;
        EXPECT_EQ(calls.log(), concat({{"devices"}, opened(expected[index]), {"close"}})) << index;
    }
    calls.clear();
    EXPECT_EQ(backend.open(3), nullptr);
    EXPECT_EQ(backend.open(-1), nullptr);
    EXPECT_EQ(calls.log(), calls_t{"devices"});
}

TEST(Winusb, SendsEachRequestAsItsSetupPacketAndPipe) {
    ScriptedWinusb calls;
    WinusbBackend backend(calls);
    auto control = backend.open(0);
    auto read = backend.open(0);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(calls.log(), concat({{"devices"}, opened(), {"devices"}})) << "one WinUSB handle";
    calls.clear();

    EXPECT_TRUE(control->vendor_request(0xA0, 0x7F92, 0, 1));
    std::array<std::uint8_t, STRING_ANSWER_SIZE> answer{};
    EXPECT_TRUE(control->get_string(2, 0x001B, answer));
    EXPECT_EQ(answer[0], 10);
    EXPECT_EQ(answer[2], 'V');
    const auto image = resources::ezusb_firmware();
    EXPECT_TRUE(control->download(image));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), calls.ram()));
    const std::uint8_t data[3] = {0x11, 0x22, 0x33};
    std::uint32_t moved = 0;
    EXPECT_TRUE(control->bulk_write(2, data, 3, moved));
    EXPECT_EQ(moved, 3u);
    std::uint8_t in[3] = {};
    EXPECT_TRUE(read->bulk_read(5, in, 3, moved));
    EXPECT_EQ(bytes(in, in + 3), bytes(data, data + 3));
    // A pipe used against its direction, or one the adapter lacks, makes no call.
    EXPECT_FALSE(control->bulk_write(5, data, 3, moved));
    EXPECT_FALSE(read->bulk_read(1, in, 3, moved));
    EXPECT_FALSE(read->bulk_read(8, in, 3, moved));
    EXPECT_EQ(calls.log(),
              concat({{HALT, STRING_2}, download(image.size()), {"write 04 3", "read 82 3"}}));
    control.reset();
    EXPECT_EQ(calls.live(), 1);
    read.reset();
    EXPECT_EQ(calls.live(), 0);
}

// Each case scripts one fault and checks what the call it hits reports.
struct FaultCase {
    const char* name;
    std::string call;  // the logged call that fails
    std::uint32_t error;
    std::function<bool(UsbDevice&)> act;
    bool expected;
};

bool write_pipe_3(UsbDevice& d) {
    const std::uint8_t byte = 0;
    std::uint32_t moved = 0;
    return d.bulk_write(3, &byte, 1, moved);
}

const FaultCase FAULT_CASES[] = {
    {"ReleaseCutShortByRenumerationSucceeds", RUN, WIN_ERROR_GEN_FAILURE,
     [](UsbDevice& d) { return d.vendor_request(0xA0, 0x7F92, 0, 0); }, true},
    {"ReleaseTimingOutFails", RUN, WIN_ERROR_SEM_TIMEOUT,
     [](UsbDevice& d) { return d.vendor_request(0xA0, 0x7F92, 0, 0); }, false},
    {"HaltRefusedFails", HALT, WIN_ERROR_GEN_FAILURE,
     [](UsbDevice& d) { return d.vendor_request(0xA0, 0x7F92, 0, 1); }, false},
    {"DownloadWriteRefusedFails", "control 40 a0 0200 0000 512", WIN_ERROR_GEN_FAILURE,
     [](UsbDevice& d) { return d.download(resources::ezusb_firmware()); }, false},
    {"DownloadReadBackRefusedFails", "control c0 a0 0e00 0000 512", WIN_ERROR_GEN_FAILURE,
     [](UsbDevice& d) { return d.download(resources::ezusb_firmware()); }, false},
    {"StringStalledFails", STRING_1, WIN_ERROR_GEN_FAILURE,
     [](UsbDevice& d) {
         std::array<std::uint8_t, STRING_ANSWER_SIZE> answer{};
         return d.get_string(1, 0x001B, answer);
     },
     false},
    {"WriteTimingOutFails", "write 06 1", WIN_ERROR_SEM_TIMEOUT, write_pipe_3, false},
};

class WinusbFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(WinusbFaults, ReportTheCallsResult) {
    const FaultCase& c = GetParam();
    ScriptedWinusb calls;
    calls.fault = [&](const std::string& call) { return call == c.call ? c.error : 0U; };
    WinusbBackend backend(calls);
    auto device = backend.open(0);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(c.act(*device), c.expected);
    EXPECT_EQ(calls.log().back(), c.call) << "nothing after the failed call";
}

INSTANTIATE_TEST_SUITE_P(Calls, WinusbFaults, ::testing::ValuesIn(FAULT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Winusb, DownloadThatReadsBackOtherwiseFails) {
    ScriptedWinusb calls;
    calls.fault = [&](const std::string& call) {
        if (call == "control c0 a0 0400 0000 512") {
            calls.ram()[0x4FF] ^= 1;  // the RAM did not keep a bit
        }
        return 0U;
    };
    WinusbBackend backend(calls);
    EXPECT_FALSE(backend.open(0)->download(resources::ezusb_firmware()));
}

TEST(Winusb, ReadThatTimesOutWithBytesIsShort) {
    ScriptedWinusb calls;
    calls.read_short = 2;
    WinusbBackend backend(calls);
    auto device = backend.open(0);
    std::uint8_t data[4] = {1, 2, 3, 4};
    std::uint32_t moved = 0;
    ASSERT_TRUE(device->bulk_write(3, data, 4, moved));
    EXPECT_TRUE(device->bulk_read(5, data, 4, moved));
    EXPECT_EQ(moved, 2u);
    calls.read_short = 0;
    calls.fault = [](const std::string& call) {
        return call.rfind("read", 0) == 0 ? WIN_ERROR_SEM_TIMEOUT : 0U;
    };
    EXPECT_FALSE(device->bulk_read(5, data, 2, moved)) << "a time-out that moved nothing";
    EXPECT_EQ(moved, 0u);
}

TEST(Winusb, OpenFailuresLeaveNothingOpen) {
    struct {
        const char* name;
        std::string call;
        std::uint32_t error;
        std::string output;
    } const cases[] = {
        {"pipe time-out refused", "timeout 82 6000", WIN_ERROR_GEN_FAILURE, ""},
        {"held by another program", "open " + ADAPTER, WIN_ERROR_ACCESS_DENIED,
         "USB adapter: its interface is in use by another program\n"},
    };
    for (const auto& c : cases) {
        ScriptedWinusb calls;
        calls.fault = [&](const std::string& call) { return call == c.call ? c.error : 0U; };
        WinusbBackend backend(calls);
        platform::ConsoleCapture console;
        EXPECT_EQ(backend.open(0), nullptr) << c.name;
        EXPECT_EQ(backend.open(0), nullptr) << c.name;
        EXPECT_EQ(calls.live(), 0) << c.name;
        EXPECT_EQ(console.text(), c.output) << c.name << ": printed once";
    }
}

TEST(Winusb, KernelDriverComesFirst) {
    testing::ScriptedUsb kernel_driver(
        {{"open 0"}, {"close"}, {"open 0", false}, {"open 0", false}});
    ScriptedWinusb calls;
    WinusbBackend winusb(calls);
    FirstFoundBackend backend(kernel_driver, winusb);
    EXPECT_NE(backend.open(0), nullptr);
    EXPECT_EQ(calls.log(), calls_t{}) << "WinUSB untouched while \\\\.\\ezusb-0 opens";
    EXPECT_NE(backend.open(0), nullptr);
    EXPECT_EQ(calls.log(), concat({{"devices"}, opened(), {"close"}}));
    calls.pull();
    EXPECT_EQ(backend.open(0), nullptr);
}

class WinusbCable : public ::testing::Test {
  protected:
    void SetUp() override { set_usb_backend(&backend); }
    void TearDown() override {
        usb_cable_close();
        set_usb_backend(nullptr);
    }

    ScriptedWinusb calls;
    WinusbBackend backend{calls};
    platform::ConsoleCapture console;
};

TEST_F(WinusbCable, BootsThroughTheRenumeration) {
    calls.firmware = false;
    calls.absent_listings = 2;
    {
        platform::SimulatedTime time(0);
        ASSERT_EQ(usb_cable_open(0, 115200, nullptr), 0);
        EXPECT_EQ(time.sleeps(), (std::vector<std::uint32_t>{1500, 50, 50, 500}));
    }
    EXPECT_EQ(console.text(), "Setup EZ-USB Firmware\n-Boot-Wait...-Reconnect\n");
    EXPECT_EQ(calls.log(), concat({{"devices"},
                                   opened(),
                                   {STRING_1, HALT},
                                   download(resources::ezusb_firmware().size()),
                                   {RUN, "close", "devices", "devices", "devices"},
                                   opened(),
                                   {"close", "devices"},
                                   opened(),
                                   {STRING_1, STRING_2, "devices"}}));
    EXPECT_EQ(calls.live(), 1) << "control and read handles share the adapter's one handle";
    EXPECT_EQ(usb_cable_probe(), 1);
}

TEST_F(WinusbCable, PulledAdapterFailsItsTransfersUntilItIsBack) {
    ASSERT_EQ(usb_cable_open(0, 115200, nullptr), 0);
    ASSERT_EQ(usb_cable_probe(), 1);
    console.clear();
    calls.pull();
    EXPECT_EQ(usb_cable_probe(), 0);
    const std::uint8_t byte = 0xFF;
    EXPECT_EQ(usb_pipe_send(&byte, 1), -1);
    EXPECT_EQ(console.text(), "error ! USB SPI Protcol\nerror ! USB SPI TX\n");

    // While the old handle is still held, the adapter comes back: a new open does not reuse
    // the handle that found it gone.
    calls.plug();
    auto fresh = backend.open(0);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(calls.live(), 2);
    fresh.reset();
    calls.pull();
    usb_cable_close();
    EXPECT_EQ(calls.live(), 0);
    console.clear();
    EXPECT_EQ(usb_cable_open(0, 115200, nullptr), 2);
    EXPECT_EQ(console.text(), "Setup EZ-USB Firmware\n\nCan't found EZ-USB\n");
    calls.plug();
    console.clear();
    ASSERT_EQ(usb_cable_open(0, 115200, nullptr), 0);
    EXPECT_EQ(console.text(), "Setup EZ-USB Firmware\n\n");
    EXPECT_EQ(usb_cable_probe(), 1);
}

}  // namespace
}  // namespace oscset::usb

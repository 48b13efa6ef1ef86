// The WinUSB backend against a script of what Windows answers: every call must be the script's
// next (the reader thread's pipe reads have a script of their own, for they run beside the
// other calls), and a step left over fails the test as well. What the adapter does meanwhile
// (its RAM, its renumeration, its removal) is in the answers.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
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

using bytes = std::vector<std::uint8_t>;
using testing::concat;

const std::string ADAPTER =
    R"(\\?\usb#vid_0547&pid_2131#5&1a2b3c4d&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";
const bytes FIRMWARE_PIPES{0x01, 0x02, 0x04, 0x06, 0x81, 0x82, 0x84, 0x86};
const bytes BLANK_PIPES{};  // the chip's own descriptor: the control pipe alone

std::string format(const char* pattern, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0,
                   unsigned e = 0) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, a, b, c, d, e);
    return text;
}

// The data of an OUT transfer longer than one byte, in its call: FNV-1a.
std::string digest(const std::uint8_t* data, std::size_t length) {
    std::uint32_t hash = 2166136261U;
    for (std::size_t k = 0; k < length; ++k) {
        hash = (hash ^ data[k]) * 16777619U;
    }
    return format(" #%08x", hash);
}

// One call that the script expects, as the double writes it, and Windows's answer.
struct Call {
    std::string call;
    std::uint32_t error = 0;
    bytes data = {};  // what an IN transfer reads; the endpoints that "pipes" lists
    std::vector<UsbDeviceEntry> listed = {};  // what "devices" lists
    std::optional<std::uint32_t> moved = {};  // else all on success, nothing on an error
};
using script_t = std::vector<Call>;

class ScriptedWinusb final : public WinusbCalls {
  public:
    explicit ScriptedWinusb(script_t calls, script_t reads = {})
        : calls_(std::move(calls)), reads_(std::move(reads)) {}
    ~ScriptedWinusb() {
        for (const script_t* script : {&calls_, &reads_}) {
            const std::size_t next = script == &calls_ ? next_call_ : next_read_;
            for (std::size_t i = next; i < script->size(); ++i) {
                ADD_FAILURE() << "expected call never made: " << (*script)[i].call;
            }
        }
    }
    ScriptedWinusb(const ScriptedWinusb&) = delete;
    ScriptedWinusb& operator=(const ScriptedWinusb&) = delete;

    int live() const {
        std::lock_guard lock(mutex_);
        return live_;
    }

    std::vector<UsbDeviceEntry> devices() override { return take("devices").listed; }
    void* open(const std::string& path, std::uint32_t& error) override {
        error = take("open " + path).error;
        std::lock_guard lock(mutex_);
        return error == 0 ? &handles_[live_++] : nullptr;
    }
    void close(void*) override {
        take("close");
        std::lock_guard lock(mutex_);
        --live_;
    }
    std::uint32_t set_auto_suspend(void*, bool on) override {
        return take(on ? "suspend on" : "suspend off").error;
    }
    std::vector<std::uint8_t> pipes(void*) override { return take("pipes").data; }
    std::uint32_t set_pipe_timeout(void*, std::uint8_t endpoint, std::uint32_t ms) override {
        return take(format("timeout %02x %u", endpoint, ms)).error;
    }
    std::uint32_t control(void*, const ControlSetup& s, std::uint8_t* data,
                          std::uint32_t& transferred) override {
        std::string call =
            format("control %02x %02x %04x %04x %u", s.type, s.request, s.value, s.index, s.length);
        if ((s.type & ENDPOINT_IN) == 0) {
            call += s.length == 1 ? format(" [%u]", data[0]) : digest(data, s.length);
        }
        return answer(take(call), data, s.length, transferred);
    }
    std::uint32_t write_pipe(void*, std::uint8_t endpoint, const std::uint8_t* data,
                             std::uint32_t length, std::uint32_t& transferred) override {
        return answer(take(format("write %02x %u", endpoint, length) + digest(data, length)),
                      nullptr, length, transferred);
    }
    std::uint32_t read_pipe(void*, std::uint8_t endpoint, std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t& transferred) override {
        return answer(take(format("read %02x %u", endpoint, length), true), buffer, length,
                      transferred);
    }
    std::uint32_t poll_pipe(void*, std::uint8_t endpoint, std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t& transferred,
                            std::uint32_t wait_ms) override {
        return answer(take(format("poll %02x %u %u", endpoint, length, wait_ms)), buffer, length,
                      transferred);
    }

  private:
    // The next step of its script when it is `call`; else the test fails and the call is
    // refused.
    Call take(const std::string& call, bool read = false) {
        std::lock_guard lock(mutex_);
        script_t& script = read ? reads_ : calls_;
        std::size_t& next = read ? next_read_ : next_call_;
        if (next == script.size() || script[next].call != call) {
            ADD_FAILURE() << "unexpected call " << call << ", expected "
                          << (next < script.size() ? script[next].call : "none");
            return {call, WIN_ERROR_GEN_FAILURE};
        }
        return script[next++];
    }

    static std::uint32_t answer(const Call& step, std::uint8_t* data, std::uint32_t length,
                                std::uint32_t& transferred) {
        transferred = step.moved.value_or(step.error == 0 ? length : 0);
        if (data != nullptr) {
            std::copy_n(step.data.begin(), std::min<std::size_t>(step.data.size(), length), data);
        }
        return step.error;
    }

    mutable std::mutex mutex_;
    script_t calls_;
    script_t reads_;
    std::size_t next_call_ = 0;
    std::size_t next_read_ = 0;
    int live_ = 0;
    std::array<int, 8> handles_{};
};

Call listing(std::vector<UsbDeviceEntry> listed) {
    return {.call = "devices", .listed = std::move(listed)};
}
const Call LISTED = listing({{ADAPTER, "WinUSB"}});
const Call CLOSE{"close"};

// An open of `path`: suspend off, then the time-out of every pipe the setting has.
script_t opened(const bytes& pipes, const std::string& path = ADAPTER) {
    script_t calls{{"open " + path}, {"suspend off"}, {.call = "pipes", .data = pipes}};
    for (const std::uint8_t endpoint : pipes) {
        calls.push_back({format("timeout %02x %u", endpoint, (endpoint & 0x80) ? 6000 : 5000)});
    }
    return calls;
}

// The firmware's string descriptor `index` read.
Call says(unsigned index, const std::string& text) {
    bytes d{static_cast<std::uint8_t>(2 + 2 * text.size()), DESCRIPTOR_STRING};
    for (const char c : text) {
        d.insert(d.end(), {static_cast<std::uint8_t>(c), 0});
    }
    return {.call = format("control 80 06 03%02x 001b 130", index),
            .data = d,
            .moved = static_cast<std::uint32_t>(d.size())};
}
const Call NO_STRING{"control 80 06 0301 001b 130", WIN_ERROR_GEN_FAILURE};  // a blank chip
const Call HALT{"control 40 a0 7f92 0000 1 [1]"};
const Call RUN{"control 40 a0 7f92 0000 1 [0]"};

// The image into RAM in 512-byte writes, then read back.
script_t download(std::span<const std::uint8_t> image) {
    script_t calls;
    for (const bool in : {false, true}) {
        for (std::size_t at = 0; at < image.size(); at += 512) {
            const auto n = static_cast<unsigned>(std::min<std::size_t>(512, image.size() - at));
            const std::string setup =
                format("control %02x a0 %04x 0000 %u", in ? 0xC0 : 0x40, at, n);
            calls.push_back(in ? Call{.call = setup, .data = bytes(&image[at], &image[at] + n)}
                               : Call{setup + digest(&image[at], n)});
        }
    }
    return calls;
}

// The drain at open: empty.
const Call DRAINED{"poll 82 4096 20", WIN_ERROR_SEM_TIMEOUT};

TEST(Winusb, CountsWinusbAdaptersInPathOrder) {
    const std::string a = R"(\\?\USB#VID_0547&PID_2131#5&1a2b3c4d&0&1#{a5dcbf10})";
    const std::string b = R"(\\?\usb#vid_0547&pid_2131#5&1a2b3c4d&0&3#{a5dcbf10})";
    const Call all = listing({
        {b, "winusb"},
        {R"(\\?\usb#vid_0547&pid_2131&mi_00#6&1#{a5dcbf10})", "WinUSB"},  // a function only
        {R"(\\?\usb#vid_0547&pid_2132#5&9#{a5dcbf10})", "WinUSB"},        // another product
        {R"(\\?\usb#vid_0547&pid_2131#5&0&0#{a5dcbf10})", "ezusb"},       // another driver
        {R"(\\?\usb#vid_0547&pid_2131#5&0&1#{a5dcbf10})", ""},            // no driver
        {ADAPTER, "WinUSB"},
        {a, "WinUSB"},
    });
    const std::string expected[] = {a, ADAPTER, b};
    for (int index = 0; index < 3; ++index) {
        ScriptedWinusb calls(concat({{all}, opened(FIRMWARE_PIPES, expected[index]), {CLOSE}}));
        WinusbBackend backend(calls);
        ASSERT_NE(backend.open(index), nullptr) << index;
    }
    ScriptedWinusb calls({all});
    WinusbBackend backend(calls);
    platform::ConsoleCapture console;  // the adapter without WinUSB is named
    EXPECT_EQ(backend.open(3), nullptr);
    EXPECT_EQ(backend.open(-1), nullptr);
}

// An adapter that WinUSB does not drive is named once, with its driver, when no adapter
// opens.
TEST(Winusb, AdapterWithoutWinusbIsNamedWithItsDriver) {
    const std::string other = R"(\\?\usb#vid_0547&pid_2131#5&1a2b3c4d&0&1#{a5dcbf10})";
    const struct {
        std::vector<UsbDeviceEntry> listed;
        int index;
        std::string line;
    } cases[] = {
        {{{ADAPTER, ""}}, 0, "USB adapter 0547:2131 has no driver"},
        {{{ADAPTER, "libusbK"}, {other, "libusb0"}},
         0,
         "USB adapter 0547:2131 has the driver libusb0"},
        {{{ADAPTER, "WinUSB"}, {other, "libusbK"}},
         1,
         "USB adapter 0547:2131 has the driver libusbK"},
        {{{R"(\\?\usb#vid_0547&pid_2131&mi_01#6&1#{a5dcbf10})", ""}}, 0, ""},
        {{}, 0, ""},
    };
    for (const auto& c : cases) {
        ScriptedWinusb calls({listing(c.listed), listing(c.listed)});
        WinusbBackend backend(calls);
        platform::ConsoleCapture console;
        EXPECT_EQ(backend.open(c.index), nullptr);
        EXPECT_EQ(backend.open(c.index), nullptr);
        EXPECT_EQ(console.text(),
                  c.line.empty() ? "" : c.line + "; bind WinUSB to it (see README)\n")
            << c.line << ": once";
    }
}

TEST(Winusb, SendsEachRequestAsItsSetupPacketAndPipe) {
    const auto image = resources::ezusb_firmware();
    const std::uint8_t data[3] = {0x11, 0x22, 0x33};
    ScriptedWinusb calls(concat({{LISTED},
                                 opened(FIRMWARE_PIPES),
                                 {LISTED, HALT, says(2, "V010")},
                                 download(image),
                                 {{"write 04 3" + digest(data, 3)}, CLOSE}}),
                         {{.call = "read 82 3", .data = {1, 2, 3}}});
    WinusbBackend backend(calls);
    auto control = backend.open(0);
    auto read = backend.open(0);
    ASSERT_NE(read, nullptr) << "one WinUSB handle for both";
    EXPECT_EQ(control->location(), ADAPTER);

    EXPECT_TRUE(control->vendor_request(0xA0, 0x7F92, 0, 1));
    std::array<std::uint8_t, STRING_ANSWER_SIZE> answer{};
    EXPECT_TRUE(control->get_string(2, 0x001B, answer));
    EXPECT_EQ(answer[0], 10);
    EXPECT_EQ(answer[2], 'V');
    EXPECT_TRUE(control->download(image));
    std::uint32_t moved = 0;
    EXPECT_TRUE(control->bulk_write(2, data, 3, moved));
    EXPECT_EQ(moved, 3u);
    std::uint8_t in[3] = {};
    EXPECT_TRUE(read->bulk_read(5, in, 3, moved));
    EXPECT_EQ(bytes(in, in + 3), (bytes{1, 2, 3}));
    // A pipe used against its direction, or one the adapter lacks, makes no call.
    EXPECT_FALSE(control->bulk_write(5, data, 3, moved));
    EXPECT_FALSE(read->bulk_read(1, in, 3, moved));
    EXPECT_FALSE(read->bulk_read(8, in, 3, moved));
    control.reset();
    EXPECT_EQ(calls.live(), 1);
    read.reset();
    EXPECT_EQ(calls.live(), 0);
}

// A blank chip has no pipe but the control pipe: it opens all the same, and takes its
// firmware. A pipe whose time-out was refused moves no data, for a call on it could wait for
// ever; the other pipes still do.
TEST(Winusb, OpensWhateverPipesTheAdapterHas) {
    std::uint32_t moved = 0;
    std::uint8_t byte = 0;
    {
        ScriptedWinusb calls(concat({{LISTED}, opened(BLANK_PIPES), {HALT, CLOSE}}));
        WinusbBackend backend(calls);
        auto blank = backend.open(0);
        ASSERT_NE(blank, nullptr);
        EXPECT_TRUE(blank->vendor_request(0xA0, 0x7F92, 0, 1));
        EXPECT_FALSE(blank->bulk_write(3, &byte, 1, moved));
        EXPECT_FALSE(blank->poll_read(5, &byte, 1, moved));
    }
    script_t refused = opened(FIRMWARE_PIPES);
    refused[8].error = WIN_ERROR_GEN_FAILURE;  // "timeout 82 6000"
    ScriptedWinusb calls(concat({{LISTED}, refused, {{"write 06 1" + digest(&byte, 1)}, CLOSE}}));
    WinusbBackend backend(calls);
    auto device = backend.open(0);
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(device->bulk_read(5, &byte, 1, moved));
    EXPECT_FALSE(device->poll_read(5, &byte, 1, moved));
    EXPECT_TRUE(device->bulk_write(3, &byte, 1, moved));
}

// Each case scripts the calls of one act, the last of them failing, and checks what the
// act reports.
struct FaultCase {
    const char* name;
    script_t calls;  // after the open; the last one fails
    std::uint32_t error;
    std::function<bool(UsbDevice&)> act;
    bool expected;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

const std::uint8_t ZERO = 0;

bool release(UsbDevice& d) {
    return d.vendor_request(0xA0, 0x7F92, 0, 0);
}
bool load(UsbDevice& d) {
    return d.download(resources::ezusb_firmware());
}
// The download's calls up to the one at `at`.
script_t download_until(std::size_t at) {
    script_t all = download(resources::ezusb_firmware());
    return script_t(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(at) + 1);
}

const FaultCase FAULT_CASES[] = {
    {"ReleaseCutShortByRenumerationSucceeds", {RUN}, WIN_ERROR_GEN_FAILURE, release, true},
    {"ReleaseFindingTheAdapterGoneSucceeds", {RUN}, WIN_ERROR_DEVICE_NOT_CONNECTED, release, true},
    {"ReleaseTimingOutFails", {RUN}, WIN_ERROR_SEM_TIMEOUT, release, false},
    {"HaltRefusedFails",
     {HALT},
     WIN_ERROR_GEN_FAILURE,
     [](UsbDevice& d) { return d.vendor_request(0xA0, 0x7F92, 0, 1); },
     false},
    {"DownloadWriteRefusedFails", download_until(1), WIN_ERROR_GEN_FAILURE, load, false},
    {"DownloadReadBackRefusedFails", download_until(15), WIN_ERROR_GEN_FAILURE, load, false},
    {"StringStalledFails",
     {NO_STRING},
     WIN_ERROR_GEN_FAILURE,
     [](UsbDevice& d) {
         std::array<std::uint8_t, STRING_ANSWER_SIZE> answer{};
         return d.get_string(1, 0x001B, answer);
     },
     false},
    {"WriteTimingOutFails",
     {{"write 06 1" + digest(&ZERO, 1)}},
     WIN_ERROR_SEM_TIMEOUT,
     [](UsbDevice& d) {
         std::uint32_t moved = 0;
         return d.bulk_write(3, &ZERO, 1, moved);
     },
     false},
};

class WinusbFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(WinusbFaults, ReportTheCallsResult) {
    const FaultCase& c = GetParam();
    script_t calls = c.calls;
    calls.back().error = c.error;
    ScriptedWinusb script(concat({{LISTED}, opened(FIRMWARE_PIPES), calls, {CLOSE}}));
    WinusbBackend backend(script);
    auto device = backend.open(0);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(c.act(*device), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Calls, WinusbFaults, ::testing::ValuesIn(FAULT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Winusb, DownloadThatReadsBackOtherwiseFails) {
    script_t calls = download_until(9);
    calls.back().data[0x0FF] ^= 1;  // the RAM did not keep a bit at 0x02FF
    ScriptedWinusb script(concat({{LISTED}, opened(FIRMWARE_PIPES), calls, {CLOSE}}));
    WinusbBackend backend(script);
    EXPECT_FALSE(backend.open(0)->download(resources::ezusb_firmware()));
}

TEST(Winusb, ReadThatTimesOutWithBytesIsShort) {
    ScriptedWinusb calls(
        concat({{LISTED}, opened(FIRMWARE_PIPES), {CLOSE}}),
        {{.call = "read 82 4", .error = WIN_ERROR_SEM_TIMEOUT, .data = {7, 8}, .moved = 2},
         {"read 82 2", WIN_ERROR_SEM_TIMEOUT}});
    WinusbBackend backend(calls);
    auto device = backend.open(0);
    std::uint8_t data[4] = {};
    std::uint32_t moved = 0;
    EXPECT_TRUE(device->bulk_read(5, data, 4, moved));
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(data[1], 8);
    EXPECT_FALSE(device->bulk_read(5, data, 2, moved)) << "a time-out that moved nothing";
    EXPECT_EQ(moved, 0u);
}

TEST(Winusb, HeldByAnotherProgramIsSaidOnce) {
    const Call held{"open " + ADAPTER, WIN_ERROR_ACCESS_DENIED};
    ScriptedWinusb calls({LISTED, held, LISTED, held});
    WinusbBackend backend(calls);
    platform::ConsoleCapture console;
    EXPECT_EQ(backend.open(0), nullptr);
    EXPECT_EQ(backend.open(0), nullptr);
    EXPECT_EQ(calls.live(), 0);
    EXPECT_EQ(console.text(), "USB adapter: its interface is in use by another program\n");
}

TEST(Winusb, KernelDriverComesFirst) {
    testing::ScriptedUsb kernel_driver(
        {{"open 0"}, {"close"}, {"open 0", false}, {"open 0", false}});
    ScriptedWinusb calls(concat({{LISTED}, opened(FIRMWARE_PIPES), {CLOSE, listing({})}}));
    WinusbBackend winusb(calls);
    FirstFoundBackend backend(kernel_driver, winusb);
    EXPECT_NE(backend.open(0), nullptr) << "WinUSB untouched while \\\\.\\ezusb-0 opens";
    EXPECT_NE(backend.open(0), nullptr);
    EXPECT_EQ(backend.open(0), nullptr);
}

class WinusbCable : public ::testing::Test {
  protected:
    void TearDown() override {
        usb_cable_close();
        set_usb_backend(nullptr);
    }
    void use(script_t script, script_t reads) {
        calls.emplace(std::move(script), std::move(reads));
        backend.emplace(*calls);
        set_usb_backend(&*backend);
    }

    std::optional<ScriptedWinusb> calls;
    std::optional<WinusbBackend> backend;
    platform::ConsoleCapture console;
};

// The probe's exchange: one command byte out, its answer in.
const std::uint8_t PROBE = MODE_TMS_HIGH;
const Call PROBE_WRITE{"write 06 1" + digest(&PROBE, 1)};
const Call PROBE_ANSWER{.call = "read 82 1", .data = {0x08}};

// A blank adapter, booted, comes back slowly; meanwhile another adapter that runs the
// firmware is the first one listed. The boot waits for the adapter it loaded, found by its
// device path, and empties its answer pipe before the reader starts.
TEST_F(WinusbCable, BootsThroughTheRenumerationToTheSameAdapter) {
    const std::string other = R"(\\?\usb#vid_0547&pid_2131#5&1a2b3c4d&0&3#{a5dcbf10})";
    const Call both = listing({{other, "WinUSB"}, {ADAPTER, "WinUSB"}});
    const Call other_alone = listing({{other, "WinUSB"}});
    use(concat({{both},
                opened(BLANK_PIPES),
                {NO_STRING, HALT},
                download(resources::ezusb_firmware()),
                {RUN, CLOSE, other_alone, other_alone, both},
                opened(FIRMWARE_PIPES),
                {CLOSE, both},
                opened(FIRMWARE_PIPES),
                {says(1, "USB_SPI"),
                 says(2, "V010"),
                 both,
                 {.call = "poll 82 4096 20", .data = {0x0E, 0x0E}, .moved = 2},
                 DRAINED,
                 PROBE_WRITE,
                 CLOSE}}),
        {PROBE_ANSWER});
    {
        platform::SimulatedTime time(0);
        ASSERT_EQ(usb_cable_open(0, 115200, nullptr), 0);
        EXPECT_EQ(time.sleeps(), (std::vector<std::uint32_t>{1500, 50, 50, 500}));
    }
    EXPECT_EQ(console.text(), "Setup EZ-USB Firmware\n-Boot-Wait...-Reconnect\n");
    EXPECT_EQ(calls->live(), 1) << "control and read handles share the adapter's one handle";
    EXPECT_EQ(usb_cable_probe(), 1);
}

// A pulled adapter answers ERROR_GEN_FAILURE: gone, so that a new open while the old handle
// is still held gets a handle of its own.
TEST_F(WinusbCable, PulledAdapterFailsItsTransfersUntilItIsBack) {
    const std::uint8_t byte = 0xFF;
    use(concat({{LISTED},
                opened(FIRMWARE_PIPES),
                {says(1, "USB_SPI"), says(2, "V010"), LISTED, DRAINED, PROBE_WRITE},
                {{PROBE_WRITE.call, WIN_ERROR_GEN_FAILURE},
                 {"write 02 1" + digest(&byte, 1), WIN_ERROR_GEN_FAILURE},
                 LISTED},
                opened(FIRMWARE_PIPES),
                {CLOSE, CLOSE, listing({}), LISTED},
                opened(FIRMWARE_PIPES),
                {says(1, "USB_SPI"), says(2, "V010"), LISTED, DRAINED, CLOSE}}),
        {PROBE_ANSWER, {"read 82 1", WIN_ERROR_GEN_FAILURE}});
    ASSERT_EQ(usb_cable_open(0, 115200, nullptr), 0);
    ASSERT_EQ(usb_cable_probe(), 1);
    console.clear();
    EXPECT_EQ(usb_cable_probe(), 0);
    // The failed write does not wait for the read it armed: let that read be made.
    EXPECT_EQ(usb_read_wait(true), -1);
    EXPECT_EQ(usb_pipe_send(&byte, 1), -1);
    EXPECT_EQ(console.text(), "error ! USB SPI Protcol\nerror ! USB SPI TX\n");

    auto fresh = backend->open(0);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(calls->live(), 2);
    fresh.reset();
    usb_cable_close();
    EXPECT_EQ(calls->live(), 0);
    console.clear();
    EXPECT_EQ(usb_cable_open(0, 115200, nullptr), 2);
    EXPECT_EQ(console.text(), "Setup EZ-USB Firmware\n\nCan't found EZ-USB\n");
    console.clear();
    ASSERT_EQ(usb_cable_open(0, 115200, nullptr), 0);
    EXPECT_EQ(console.text(), "Setup EZ-USB Firmware\n\n");
}

}  // namespace
}  // namespace oscset::usb

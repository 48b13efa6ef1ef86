// The program over the simulated USB adapter alone: what its open prints for each state the
// adapter can be found in, and what reaches the board then.

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>

#include "cables/usb/ezusb.hpp"
#include "cables/usb/usb_cable.hpp"
#include "cables/usb/winusb.hpp"
#include "sim/mcs51/emulated_adapter.hpp"
#include "tests/e2e/expected.hpp"
#include "tests/e2e/rig.hpp"

namespace oscset::testing {
namespace {

const std::string SETUP = "Setup EZ-USB Firmware\n";
const std::string NOT_FOUND = "\nCan't found EZ-USB\nCan't found ALDER-FPGA\n";
const std::string PROTOCOL_ERROR = "error ! USB SPI Protcol\n";
const std::string PROGRAMMED_66M = CONFIGURED + RESULT_66M;

struct AdapterCase {
    const char* name;
    const char* board;
    sim::SimAdapterMode fault;  // fresh: the description decides
    int offline_opens;          // failed opens while a booted adapter re-enumerates
    std::string output;
    int exit_code;
    std::uint32_t downloads;
    std::uint32_t vendor_requests;           // halt and run, per boot
    std::uint32_t reads_before_failure = 0;  // for fails_bulk_read
};

void PrintTo(const AdapterCase& c, std::ostream* os) {
    *os << c.name;
}

const AdapterCase ADAPTER_CASES[] = {
    {"AlreadyRunning", "adapter=ready", sim::SimAdapterMode::fresh, 3,
     SETUP + "\n" + PROGRAMMED_66M, 0, 0, 0},
    {"FreshBackAtOnce", "adapter=fresh", sim::SimAdapterMode::fresh, 0,
     SETUP + "-Boot-Wait.-Reconnect\n" + PROGRAMMED_66M, 0, 1, 2},
    {"FreshAfterThreeMissedOpens", "adapter=fresh", sim::SimAdapterMode::fresh, 3,
     SETUP + "-Boot-Wait....-Reconnect\n" + PROGRAMMED_66M, 0, 1, 2},
    {"FreshAfterTenMissedOpens", "adapter=fresh", sim::SimAdapterMode::fresh, 10,
     SETUP + "-Boot-Wait." + std::string(10, '.') + "-Reconnect\n" + PROGRAMMED_66M, 0, 1, 2},
    {"RefusesTheDownload", "adapter=fresh", sim::SimAdapterMode::refuses_download, 3,
     SETUP + "-Bootusb dwnload err.\n" + NOT_FOUND, -1, 1, 1},
    // 200 tries: the first boots, the other 199 find nothing.
    // Once identified, the adapter stops answering: the probe's exchange fails, so the chain
    // is taken for unpowered; the release on the way out fails the same way.
    {"AnswersStopAtOnce", "adapter=ready", sim::SimAdapterMode::fails_bulk_read, 3,
     SETUP + "\n" + PROTOCOL_ERROR + NOT_CONFIGURED + PROTOCOL_ERROR + PROTOCOL_ERROR, -1, 0, 0, 0},
    {"NeverComesBack", "adapter=fresh", sim::SimAdapterMode::never_returns, 3,
     SETUP + "-Boot-Wait." + std::string(199, '.') + NOT_FOUND, -1, 1, 2},
};

class UsbAdapter : public ::testing::TestWithParam<AdapterCase> {};

TEST_P(UsbAdapter, OpenPrintsItsMarksAndTheRunFollows) {
    const AdapterCase& c = GetParam();
    Rig rig(c.board, CablePath::usb_adapter,
            {.adapter = {.mode = c.fault,
                         .offline_opens = c.offline_opens,
                         .reads_before_failure = c.reads_before_failure}});
    const ProgramRun run = rig.run({"66M"});
    EXPECT_EQ(run.output, c.output);
    EXPECT_EQ(run.exit_code, c.exit_code);
    ASSERT_NE(rig.adapter(), nullptr);
    const sim::SimAdapterCounts counts = rig.adapter()->counts();
    EXPECT_EQ(counts.downloads, c.downloads);
    EXPECT_EQ(counts.vendor_requests, c.vendor_requests);
    if (c.exit_code == 0) {
        EXPECT_EQ(counts.missed_opens, static_cast<std::uint32_t>(c.offline_opens * c.downloads));
        EXPECT_EQ(events_starting(rig.events(), "synth locked"),
                  (std::vector<std::string>{LOCKED_66M}));
    } else {
        EXPECT_TRUE(rig.events().empty());
    }
    if (c.downloads != 0 && c.exit_code != 0) {
        EXPECT_EQ(rig.board().clocks(), 0u) << "an adapter that never ran may not clock the board";
    }
    EXPECT_EQ(rig.adapter()->open_handles(), 0) << "the run ends with the adapter closed";
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, UsbAdapter, ::testing::ValuesIn(ADAPTER_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UsbAdapterAbsent, NothingIsTriedAndNothingReachesTheBoard) {
    Rig rig("adapter=absent", CablePath::usb_adapter);
    const ProgramRun run = rig.run({"66M"});
    EXPECT_EQ(run.output, SETUP + NOT_FOUND);
    EXPECT_EQ(run.exit_code, -1);
    EXPECT_TRUE(run.progress.empty()) << "no configuration is tried";
    EXPECT_EQ(rig.adapter(), nullptr);
    EXPECT_EQ(rig.board().clocks(), 0u);
    EXPECT_TRUE(rig.events().empty());
    EXPECT_TRUE(rig.cable().shifts().empty());
}

// The next run finds what the first left: the adapter running its firmware, the FPGA
// running the design.
TEST(UsbAdapterSecondRun, NeedsNoBootButAReconfiguration) {
    Rig rig("adapter=fresh", CablePath::usb_adapter);
    const ProgramRun first = rig.run({"66M"});
    EXPECT_EQ(first.output, SETUP + "-Boot-Wait....-Reconnect\n" + PROGRAMMED_66M);
    EXPECT_EQ(first.exit_code, 0);
    EXPECT_EQ(events_starting(rig.events(), "fpga"),
              (std::vector<std::string>{fpga_configured(0)}));
    rig.board().clear_events();

    const ProgramRun second = rig.run({"12.3M"});
    EXPECT_EQ(second.output, SETUP + "\n" + CONFIGURED + RESULT_12_3M);
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_EQ(rig.events(),
              (std::vector<std::string>{fpga_shutdown(0), fpga_configured(0), WRITE_12_3M,
                                        SET_12_3M, LOCKED_12_3M, READ_LOCKED}));
    ASSERT_NE(rig.adapter(), nullptr);
    EXPECT_EQ(rig.adapter()->counts().downloads, 1u);
}

// A run of 12.3M on a blank emulated adapter and a configured board: the boot with the
// firmware's own renumeration, then the whole job.
void expect_booted_run(Rig& rig, const ProgramRun& run) {
    EXPECT_EQ(run.exit_code, 0);
    const std::string boot = SETUP + "-Boot-Wait.";
    ASSERT_EQ(run.output.substr(0, boot.size()), boot);
    const std::size_t reconnect = run.output.find("-Reconnect\n");
    ASSERT_NE(reconnect, std::string::npos);
    EXPECT_EQ(run.output.find_first_not_of('.', boot.size()), reconnect)
        << "only dots while the adapter renumerates";
    EXPECT_EQ(run.output.substr(reconnect), "-Reconnect\n" + CONFIGURED + RESULT_12_3M);
    EXPECT_EQ(rig.events(),
              (std::vector<std::string>{fpga_shutdown(0), fpga_configured(0), WRITE_12_3M,
                                        SET_12_3M, LOCKED_12_3M, READ_LOCKED}));
    ASSERT_NE(rig.emulated_adapter(), nullptr);
    EXPECT_EQ(rig.emulated_adapter()->enumerations(), 2u) << "once blank, once with the firmware";
}

// A blank EZ-USB that runs the program's own firmware: the host's halt, download and run reach
// the emulated chip, and what the boot loop then sees is the firmware's own renumeration.
TEST(EmulatedAdapter, BootsWithTheProgramsFirmwareAndRunsTheRoad) {
    Rig rig("adapter=fresh,configured=1", CablePath::emulated_adapter);
    expect_booted_run(rig, rig.run({"12.3M"}));

    const ProgramRun second = rig.run({"66M"});
    EXPECT_EQ(second.output,
              SETUP + "\n" + CONFIGURED + "66.000000000MHz div_a=24 div_b=66\nError 0.00000%\n\n");
}

// WinUSB's calls played by the emulated adapter: SetupAPI lists it while it is on the bus (a
// listing lets pass the emulated time of one of its opens), a WinUSB handle holds one of its
// handles, control transfers reach its control endpoint and the pipes go by endpoint address.
class EmulatedWinusb final : public usb::WinusbCalls {
  public:
    explicit EmulatedWinusb(sim::EmulatedAdapter& adapter) : adapter_(adapter) {}

    std::vector<usb::UsbDeviceEntry> devices() override {
        if (adapter_.open(0) == nullptr) {
            return {};
        }
        return {{R"(\\?\usb#vid_0547&pid_2131#5&1&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed})",
                 "WinUSB"}};
    }
    void* open(const std::string&, std::uint32_t& error) override {
        std::unique_ptr<usb::UsbDevice> device = adapter_.open(0);
        error = device != nullptr ? 0 : usb::WIN_ERROR_NO_SUCH_DEVICE;
        return device.release();
    }
    void close(void* handle) override { delete of(handle); }
    std::uint32_t set_pipe_timeout(void*, std::uint8_t, std::uint32_t) override { return 0; }
    std::uint32_t control(void* handle, const usb::ControlSetup& s, std::uint8_t* data,
                          std::uint32_t& transferred) override {
        transferred = 0;
        const sim::mcs51::SetupPacket setup{s.type, s.request, s.value, s.index, s.length};
        bool ok = false;
        if ((s.type & usb::ENDPOINT_IN) != 0) {
            std::size_t received = 0;
            ok = adapter_.control_in(setup, std::span(data, s.length), received);
            transferred = static_cast<std::uint32_t>(received);
        } else if (s.request == usb::EZUSB_LOAD_REQUEST && s.value == usb::EZUSB_CPUCS) {
            // Through the handle: only there does the chip run into its renumeration.
            ok = of(handle)->vendor_request(s.request, s.value, s.index, data[0]);
            transferred = ok ? 1 : 0;
        } else {
            ok = adapter_.control_out(setup, std::span<const std::uint8_t>(data, s.length));
            transferred = ok ? s.length : 0;
        }
        return ok ? 0 : usb::WIN_ERROR_GEN_FAILURE;
    }
    std::uint32_t write_pipe(void* handle, std::uint8_t endpoint, const std::uint8_t* data,
                             std::uint32_t length, std::uint32_t& transferred) override {
        return of(handle)->bulk_write(pipe(endpoint), data, length, transferred)
                   ? 0
                   : usb::WIN_ERROR_GEN_FAILURE;
    }
    std::uint32_t read_pipe(void* handle, std::uint8_t endpoint, std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t& transferred) override {
        return of(handle)->bulk_read(pipe(endpoint), buffer, length, transferred)
                   ? 0
                   : usb::WIN_ERROR_GEN_FAILURE;
    }

  private:
    static usb::UsbDevice* of(void* handle) { return static_cast<usb::UsbDevice*>(handle); }
    static std::uint32_t pipe(std::uint8_t endpoint) {
        const auto found = std::find_if(usb::PIPE_ENDPOINTS.begin(), usb::PIPE_ENDPOINTS.end(),
                                        [&](const auto& e) { return e.address == endpoint; });
        return static_cast<std::uint32_t>(found - usb::PIPE_ENDPOINTS.begin());
    }

    sim::EmulatedAdapter& adapter_;
};

// The same blank adapter reached through WinUSB: the setup packets and pipe calls of the
// Windows backend against the chip and the program's own firmware.
TEST(EmulatedAdapter, BootsAndRunsOverWinusb) {
    Rig rig("adapter=fresh,configured=1", CablePath::emulated_adapter);
    ASSERT_NE(rig.emulated_adapter(), nullptr);
    EmulatedWinusb calls(*rig.emulated_adapter());
    usb::WinusbBackend winusb(calls);
    usb::set_usb_backend(&winusb);
    expect_booted_run(rig, rig.run({"12.3M"}));
    usb::usb_cable_close();  // no handle may outlive the calls above
}

}  // namespace
}  // namespace oscset::testing

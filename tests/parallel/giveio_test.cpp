// Gaining port access through the giveio driver service, on a fake Windows machine.

#include "cables/parallel/giveio.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "cables/parallel/port_io.hpp"
#include "cables/parallel/xpar.hpp"
#include "platform/console.hpp"
#include "tests/parallel/fake_service_manager.hpp"
#include "tests/parallel/recorder_port.hpp"

namespace oscset::parallel {
namespace {

using testing::FAKE_DESTINATION;
using testing::FakeServiceManager;
using Calls = std::vector<std::string>;

std::vector<void (*)()> registered;

int record_registration(void (*handler)()) {
    registered.push_back(handler);
    return 0;
}

struct StageCase {
    const char* name;
    std::function<void(FakeServiceManager&)> before;
    std::int32_t result;
    Calls acquire_calls;
    std::function<void(FakeServiceManager&)> before_exit = nullptr;
    Calls exit_calls = {};
    // The machine after the exit.
    bool installed = false;
    bool running = false;
    bool destination_file = false;
};

class GiveioTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test_hooks::reset_giveio();
        test_hooks::set_exit_registrar(record_registration);
        registered.clear();
        set_service_manager(&machine);
    }
    void TearDown() override {
        set_service_manager(nullptr);
        test_hooks::reset_giveio();
        test_hooks::set_exit_registrar(nullptr);
    }
    // The runtime's exit: every registered handler, once.
    void process_exit() {
        for (auto handler : registered) {
            handler();
        }
    }

    // Each case on a fresh machine in a fresh process: acquire, then the process's exit.
    void run_cases(const std::vector<StageCase>& cases) {
        for (const StageCase& c : cases) {
            SCOPED_TRACE(c.name);
            machine = FakeServiceManager{};
            test_hooks::reset_giveio();
            registered.clear();
            c.before(machine);
            EXPECT_EQ(giveio_acquire(), c.result);
            EXPECT_EQ(machine.calls, c.acquire_calls);
            // A run that reached the driver (stage 2 and up) leaves one exit handler.
            const std::size_t registrations = c.result >= 2 ? 1 : 0;
            EXPECT_EQ(registered.size(), registrations);
            EXPECT_EQ(giveio_current_stage(), c.result >= 2 ? c.result : 0);
            EXPECT_EQ(machine.open_service_handles(), 0u);
            const bool connected = machine.manager_open();
            machine.calls.clear();
            if (c.before_exit) {
                c.before_exit(machine);
            }
            process_exit();
            EXPECT_EQ(machine.calls, c.exit_calls);
            EXPECT_EQ(machine.installed, c.installed);
            EXPECT_EQ(machine.running, c.running);
            EXPECT_EQ(machine.files.count(FAKE_DESTINATION), c.destination_file ? 1u : 0u);
            // Only the exit handler closes the connection; without one it stays open.
            EXPECT_EQ(machine.manager_open(), connected && registrations == 0);
        }
    }

    FakeServiceManager machine;
};

// The machine states before a run.
void driver_running(FakeServiceManager& m) {
    m.installed = true;
    m.running = true;
    m.files.insert(FAKE_DESTINATION);
}
void installed_stopped(FakeServiceManager& m) {
    m.installed = true;
    m.files.insert(FAKE_DESTINATION);
}
void nothing_installed(FakeServiceManager&) {}

const Calls STAGE_3_ACQUIRE = {"version", "device", "connect", "open", "start", "close", "device"};
const Calls STAGE_3_EXIT = {"open", "stop", "close", "disconnect"};
const Calls STAGE_4_ACQUIRE = {"version", "device", "connect", "open",  "copy",  "fullpath",
                               "create",  "close",  "open",    "start", "close", "device"};
const Calls STAGE_4_EXIT = {"open",   "stop",  "close",  "open",
                            "delete", "close", "remove", "disconnect"};
// Stage 4's exit when the driver file stays where it is.
const Calls STAGE_4_EXIT_FILE_KEPT = {"open",   "stop",  "close",     "open",
                                      "delete", "close", "disconnect"};

TEST_F(GiveioTest, EachStageGainsAccessAndItsExitUndoesOnlyWhatTheRunChanged) {
    const std::vector<StageCase> cases = {
        {.name = "9x family",
         .before = [](FakeServiceManager& m) { m.platform = 1; },
         .result = 1,
         .acquire_calls = {"version"}},
        {.name = "version query fails",
         .before = [](FakeServiceManager& m) { m.version_query_works = false; },
         .result = 1,
         .acquire_calls = {"version"}},
        {.name = "driver already running",
         .before = driver_running,
         .result = 2,
         .acquire_calls = {"version", "device"},
         .installed = true,
         .running = true,
         .destination_file = true},
        {.name = "installed but stopped",
         .before = installed_stopped,
         .result = 3,
         .acquire_calls = STAGE_3_ACQUIRE,
         .exit_calls = STAGE_3_EXIT,
         .installed = true,
         .destination_file = true},
        {.name = "nothing installed",
         .before = nothing_installed,
         .result = 4,
         .acquire_calls = STAGE_4_ACQUIRE,
         .exit_calls = STAGE_4_EXIT},
        {.name = "driver file already at the destination",
         .before = [](FakeServiceManager& m) { m.files.insert(FAKE_DESTINATION); },
         .result = 4,
         .acquire_calls = STAGE_4_ACQUIRE,
         .exit_calls = STAGE_4_EXIT_FILE_KEPT,
         .destination_file = true},
        {.name = "stop fails at exit",
         .before = nothing_installed,
         .result = 4,
         .acquire_calls = STAGE_4_ACQUIRE,
         .before_exit = [](FakeServiceManager& m) { m.stop_error = 1051; },
         .exit_calls = STAGE_4_EXIT_FILE_KEPT,
         .running = true,
         .destination_file = true},
    };
    run_cases(cases);
}

TEST_F(GiveioTest, FailuresEndTheirStageAndRegisterNoExitHandler) {
    const Calls no_connection = {"version", "device", "connect", "copy", "connect"};
    const Calls create_refused = {"version", "device", "connect",  "open",  "start",
                                  "close",   "copy",   "fullpath", "create"};
    const Calls no_driver_path = {"version", "device", "connect", "open"};
    const Calls stage_4_start_fails = {"version", "device", "connect", "open",  "copy", "fullpath",
                                       "create",  "close",  "open",    "start", "close"};
    const std::vector<StageCase> cases = {
        {.name = "no service manager",
         .before = [](FakeServiceManager& m) { m.manager_error = 5; },
         .result = 0,
         .acquire_calls = no_connection,
         .destination_file = true},
        {.name = "no service manager, driver loaded some other way",
         .before =
             [](FakeServiceManager& m) {
                 m.manager_error = 5;
                 m.device_without_service = true;
             },
         .result = 2,
         .acquire_calls = {"version", "device"}},
        {.name = "installed service will not start",
         .before =
             [](FakeServiceManager& m) {
                 installed_stopped(m);
                 m.start_error = 1058;
             },
         .result = 0,
         .acquire_calls = create_refused,
         .installed = true,
         .destination_file = true},
        {.name = "new service will not start",
         .before = [](FakeServiceManager& m) { m.start_error = 1058; },
         .result = 0,
         .acquire_calls = stage_4_start_fails,
         .installed = true,
         .destination_file = true},
        {.name = "device never opens",
         .before = [](FakeServiceManager& m) { m.device_refuses = true; },
         .result = 0,
         .acquire_calls = STAGE_4_ACQUIRE,
         .installed = true,
         .running = true,
         .destination_file = true},
        {.name = "SystemRoot unset",
         .before = [](FakeServiceManager& m) { m.system_root_set = false; },
         .result = 0,
         .acquire_calls = no_driver_path},
        {.name = "SystemRoot too long for the path",
         .before = [](FakeServiceManager& m) { m.system_root = std::string(300, 'x'); },
         .result = 0,
         .acquire_calls = no_driver_path},
        {.name = "SystemRoot unset, service installed",
         .before =
             [](FakeServiceManager& m) {
                 installed_stopped(m);
                 m.system_root_set = false;
             },
         .result = 3,
         .acquire_calls = STAGE_3_ACQUIRE,
         .exit_calls = STAGE_3_EXIT,
         .installed = true,
         .destination_file = true},
    };
    run_cases(cases);
}

TEST_F(GiveioTest, ServiceCreatedWithTheDriverParameters) {
    ASSERT_EQ(giveio_acquire(), 4);
    EXPECT_STREQ(machine.created.name, "giveio");
    EXPECT_STREQ(machine.created.display_name, "giveio");
    EXPECT_EQ(machine.created.access, 0xF01FFu);
    EXPECT_EQ(machine.created.type, 1u);
    EXPECT_EQ(machine.created.start_type, 3u);
    EXPECT_EQ(machine.created.error_control, 1u);
    EXPECT_EQ(machine.service_binary, FAKE_DESTINATION);
}

TEST_F(GiveioTest, SecondOpenAfterStageFourFindsTheDriverRunning) {
    ASSERT_EQ(giveio_acquire(), 4);
    machine.calls.clear();
    EXPECT_EQ(giveio_acquire(), 2);
    EXPECT_EQ(machine.calls, (Calls{"version", "device"}));
    EXPECT_EQ(giveio_current_stage(), 4);
    ASSERT_EQ(registered.size(), 1u);
    machine.calls.clear();
    process_exit();
    EXPECT_EQ(machine.calls, STAGE_4_EXIT);
    EXPECT_FALSE(machine.installed);
}

TEST_F(GiveioTest, IsWindowsNtNeedsASuccessfulQueryReportingNt) {
    struct Case {
        bool works;
        std::uint32_t platform;
        std::int32_t nt;
    };
    for (const Case& c :
         {Case{true, 2, 1}, Case{true, 1, 0}, Case{true, 0, 0}, Case{false, 2, 0}}) {
        machine.version_query_works = c.works;
        machine.platform = c.platform;
        EXPECT_EQ(is_windows_nt(), c.nt) << c.works << " " << c.platform;
    }
    set_service_manager(nullptr);
    EXPECT_EQ(is_windows_nt(), 0);
    EXPECT_EQ(giveio_acquire(), 1);
}

TEST_F(GiveioTest, ServiceOperationsReturnTheirCodesAndCloseEveryServiceHandle) {
    machine.manager_error = 5;
    EXPECT_EQ(scm_connect(), 5u);
    EXPECT_EQ(service_create("giveio.sys", "giveio"), 1u);
    EXPECT_EQ(service_start("giveio"), 1u);
    EXPECT_EQ(service_stop("giveio"), 1u);
    EXPECT_EQ(service_delete("giveio"), 1u);

    machine.manager_error = 0;  // the failed attempts left no connection: this one opens
    machine.files.insert("C:\\drivers\\giveio.sys");
    EXPECT_EQ(service_start("giveio"), 1060u);
    EXPECT_EQ(service_stop("giveio"), 1060u);
    EXPECT_EQ(service_delete("giveio"), 1060u);
    EXPECT_EQ(service_create("C:\\drivers\\giveio.sys", "giveio"), 0u);
    EXPECT_EQ(service_create("C:\\drivers\\giveio.sys", "giveio"), 1073u);
    EXPECT_EQ(service_create(std::string(300, 'x').c_str(), "giveio"), 122u);
    EXPECT_EQ(service_start("giveio"), 0u);
    EXPECT_EQ(service_start("giveio"), 1056u);
    EXPECT_EQ(service_stop("giveio"), 0u);
    EXPECT_EQ(service_stop("giveio"), 1062u);
    EXPECT_EQ(service_delete("giveio"), 0u);
    EXPECT_EQ(machine.open_service_handles(), 0u);
    EXPECT_EQ(std::count(machine.calls.begin(), machine.calls.end(), "connect"), 6)
        << "five failed attempts, then one connection kept";

    scm_disconnect();
    scm_disconnect();
    EXPECT_FALSE(machine.manager_open());
    EXPECT_EQ(scm_connect(), 0u);
    EXPECT_TRUE(machine.manager_open());
    scm_disconnect();
}

TEST_F(GiveioTest, ExitHandlerWithoutServiceManagerDoesNothing) {
    ASSERT_EQ(giveio_acquire(), 4);
    set_service_manager(nullptr);
    machine.calls.clear();
    process_exit();
    EXPECT_TRUE(machine.calls.empty());
}

TEST_F(GiveioTest, ParallelOpenNeedsBothTheDriverAndThePort) {
    platform::ConsoleCapture console;
    testing::RecorderPort port;
    set_port_io(&port);

    machine.device_refuses = true;
    EXPECT_EQ(xpar_open(0, 115200, nullptr), 1);
    EXPECT_EQ(console.text(), "Can't access GIVEIO system\n");
    EXPECT_TRUE(port.acquired.empty());
    EXPECT_TRUE(port.log.empty());

    machine = FakeServiceManager{};
    driver_running(machine);
    console.clear();
    EXPECT_EQ(xpar_open(0, 115200, nullptr), 0);
    EXPECT_EQ(console.text(), "");
    EXPECT_EQ(port.acquired, std::vector<std::uint16_t>{0x378});
    set_port_io(nullptr);
}

}  // namespace
}  // namespace oscset::parallel

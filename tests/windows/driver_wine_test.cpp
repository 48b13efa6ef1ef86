// The kernel-driver calls' bound, on a real overlapped handle: a named pipe's listen is a
// device control call that pends until a client comes, like a read whose answer never comes.

#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "cables/usb/ezusb_driver.hpp"

namespace oscset::usb {
namespace {

constexpr std::uint32_t PIPE_LISTEN = 0x00110008;  // FSCTL_PIPE_LISTEN
constexpr const char* PIPE_NAME = R"(\\.\pipe\oscset-driver-calls)";

struct Pipe {
    HANDLE handle = CreateNamedPipeA(PIPE_NAME, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr);
    ~Pipe() { CloseHandle(handle); }
};

TEST(DriverCalls, ACallThatNeverCompletesGivesUpAtItsTimeout) {
    Pipe pipe;
    ASSERT_NE(pipe.handle, INVALID_HANDLE_VALUE);
    std::uint32_t returned = 1;
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(windows_driver_calls().control(pipe.handle, PIPE_LISTEN, nullptr, 0, nullptr, 0,
                                                returned, 100));
    EXPECT_LT(GetTickCount64() - start, 3000u) << "waited past the timeout and the cancel";
    EXPECT_EQ(returned, 0u);
}

TEST(DriverCalls, ACallThatCompletesWithinItsTimeoutSucceeds) {
    Pipe pipe;
    ASSERT_NE(pipe.handle, INVALID_HANDLE_VALUE);
    std::jthread client([] {
        Sleep(50);
        CloseHandle(CreateFileA(PIPE_NAME, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    });
    std::uint32_t returned = 1;
    EXPECT_TRUE(windows_driver_calls().control(pipe.handle, PIPE_LISTEN, nullptr, 0, nullptr, 0,
                                               returned, DRIVER_CONTROL_TIMEOUT_MS));
    EXPECT_EQ(returned, 0u);
}

}  // namespace
}  // namespace oscset::usb

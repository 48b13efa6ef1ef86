#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "cables/usb/ezusb_driver.hpp"

namespace oscset::usb {
namespace {

// After a cancel, how long the driver may take to give the call back.
constexpr DWORD CANCEL_WAIT_MS = 1000;

// One overlapped call with buffers of its own: the driver owns it all until the call
// completes, which may be after the caller has given up.
struct PendingCall {
    OVERLAPPED overlapped{};
    std::vector<std::uint8_t> in;
    std::vector<std::uint8_t> out;
    ~PendingCall() {
        if (overlapped.hEvent != nullptr) {
            CloseHandle(overlapped.hEvent);
        }
    }
};

class Win32DriverCalls final : public DriverCalls {
  public:
    void* open(const char* path) override {
        return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }

    // Overlapped, so that a read whose answer never comes cannot hold the reader, and with
    // it the cable's close, for ever.
    bool control(void* handle, std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
                 std::uint32_t out_size, std::uint32_t& returned, std::uint32_t timeout_ms) override {
        returned = 0;
        auto call = std::make_unique<PendingCall>();
        call->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (call->overlapped.hEvent == nullptr) {
            return false;
        }
        const auto* in_bytes = static_cast<const std::uint8_t*>(in);
        call->in.assign(in_bytes, in_bytes + in_size);
        call->out.resize(out_size);
        if (out_size != 0) {
            std::memcpy(call->out.data(), out, out_size);  // a bulk write's data travel here
        }
        const HANDLE device = static_cast<HANDLE>(handle);
        DWORD got = 0;
        BOOL ok = DeviceIoControl(device, code, call->in.data(), in_size, call->out.data(),
                                  out_size, &got, &call->overlapped);
        if (ok == 0 && GetLastError() == ERROR_IO_PENDING) {
            ok = wait(device, call, timeout_ms, got);
        }
        if (ok == 0) {
            return false;
        }
        returned = std::min<DWORD>(got, out_size);
        if (returned != 0) {
            std::memcpy(out, call->out.data(), returned);
        }
        return true;
    }

    void close(void* handle) override { CloseHandle(static_cast<HANDLE>(handle)); }
    void* invalid() const override { return INVALID_HANDLE_VALUE; }

  private:
    static BOOL wait(HANDLE device, std::unique_ptr<PendingCall>& call, std::uint32_t timeout_ms,
                     DWORD& got) {
        if (WaitForSingleObject(call->overlapped.hEvent, timeout_ms) != WAIT_OBJECT_0) {
            CancelIo(device);  // this thread's calls on the handle
            if (WaitForSingleObject(call->overlapped.hEvent, CANCEL_WAIT_MS) != WAIT_OBJECT_0) {
                // The driver keeps the call: its record and buffers stay with it until the
                // process ends.
                static_cast<void>(call.release());
                return FALSE;
            }
        }
        // Completed, cancelled, or completed just before the cancel.
        return GetOverlappedResult(device, &call->overlapped, &got, FALSE);
    }
};

}  // namespace

DriverCalls& windows_driver_calls() {
    static Win32DriverCalls calls;
    return calls;
}

}  // namespace oscset::usb

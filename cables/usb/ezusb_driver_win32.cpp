#include <windows.h>

#include "cables/usb/ezusb_driver.hpp"

namespace oscset::usb {
namespace {

class Win32DriverCalls final : public DriverCalls {
  public:
    void* open(const char* path) override {
        return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }
    bool control(void* handle, std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
                 std::uint32_t out_size, std::uint32_t& returned) override {
        DWORD got = 0;
        const BOOL ok = DeviceIoControl(static_cast<HANDLE>(handle), code, const_cast<void*>(in),
                                        in_size, out, out_size, &got, nullptr);
        returned = got;
        return ok != 0;
    }
    void close(void* handle) override { CloseHandle(static_cast<HANDLE>(handle)); }
    void* invalid() const override { return INVALID_HANDLE_VALUE; }
};

}  // namespace

DriverCalls& windows_driver_calls() {
    static Win32DriverCalls calls;
    return calls;
}

}  // namespace oscset::usb

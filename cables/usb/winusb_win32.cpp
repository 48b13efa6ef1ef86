#include <windows.h>
// clang-format off: SetupAPI and WinUSB need windows.h first
#include <setupapi.h>
#include <winusb.h>
// clang-format on

#include <climits>
#include <memory>
#include <vector>

#include "cables/usb/winusb.hpp"

namespace oscset::usb {
namespace {

// GUID_DEVINTERFACE_USB_DEVICE: every USB device's interface, whatever INF bound WinUSB
// (each binding tool writes its own WinUSB interface GUID).
constexpr GUID USB_DEVICE_INTERFACE = {
    0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

// winusb.dll is loaded when first needed, from the system folder: a Windows without it (XP
// unless a driver package brought it) still runs the program, over the kernel driver.
struct WinusbApi {
    decltype(&WinUsb_Initialize) initialize = nullptr;
    decltype(&WinUsb_Free) free = nullptr;
    decltype(&WinUsb_SetPipePolicy) set_pipe_policy = nullptr;
    decltype(&WinUsb_ControlTransfer) control_transfer = nullptr;
    decltype(&WinUsb_WritePipe) write_pipe = nullptr;
    decltype(&WinUsb_ReadPipe) read_pipe = nullptr;
    decltype(&WinUsb_SetPowerPolicy) set_power_policy = nullptr;
    decltype(&WinUsb_QueryPipe) query_pipe = nullptr;
    decltype(&WinUsb_AbortPipe) abort_pipe = nullptr;
    decltype(&WinUsb_GetOverlappedResult) overlapped_result = nullptr;

    bool loaded() const {
        return initialize != nullptr && free != nullptr && set_pipe_policy != nullptr &&
               control_transfer != nullptr && write_pipe != nullptr && read_pipe != nullptr &&
               set_power_policy != nullptr && query_pipe != nullptr && abort_pipe != nullptr &&
               overlapped_result != nullptr;
    }
};

template <typename F>
void resolve(HMODULE module, const char* name, F& function) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const WinusbApi& winusb_api() {
    static const WinusbApi api = [] {
        WinusbApi found;
        wchar_t path[MAX_PATH];
        const UINT length = GetSystemDirectoryW(path, MAX_PATH);
        if (length == 0 || length + 12 >= MAX_PATH) {
            return found;
        }
        wcscpy(path + length, L"\\winusb.dll");
        HMODULE module = LoadLibraryW(path);
        if (module == nullptr) {
            return found;
        }
        resolve(module, "WinUsb_Initialize", found.initialize);
        resolve(module, "WinUsb_Free", found.free);
        resolve(module, "WinUsb_SetPipePolicy", found.set_pipe_policy);
        resolve(module, "WinUsb_ControlTransfer", found.control_transfer);
        resolve(module, "WinUsb_WritePipe", found.write_pipe);
        resolve(module, "WinUsb_ReadPipe", found.read_pipe);
        resolve(module, "WinUsb_SetPowerPolicy", found.set_power_policy);
        resolve(module, "WinUsb_QueryPipe", found.query_pipe);
        resolve(module, "WinUsb_AbortPipe", found.abort_pipe);
        resolve(module, "WinUsb_GetOverlappedResult", found.overlapped_result);
        return found;
    }();
    return api;
}

struct OpenAdapter {
    HANDLE file;
    WINUSB_INTERFACE_HANDLE usb;
};

WINUSB_INTERFACE_HANDLE usb_of(void* handle) {
    return static_cast<OpenAdapter*>(handle)->usb;
}

// The error of a call that failed: never 0, even from a call that left no error code.
std::uint32_t failure() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? static_cast<std::uint32_t>(error) : ERROR_GEN_FAILURE;
}

std::uint32_t result(BOOL ok) {
    return ok ? 0 : failure();
}

struct EventHandle {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~EventHandle() {
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
    EventHandle() = default;
    EventHandle(const EventHandle&) = delete;
    EventHandle& operator=(const EventHandle&) = delete;
};

struct DeviceInfoSet {
    HDEVINFO set;
    ~DeviceInfoSet() {
        if (set != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(set);
        }
    }
};

class Win32WinusbCalls final : public WinusbCalls {
  public:
    std::vector<UsbDeviceEntry> devices() override {
        std::vector<UsbDeviceEntry> found;
        const DeviceInfoSet devices{SetupDiGetClassDevsA(&USB_DEVICE_INTERFACE, nullptr, nullptr,
                                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)};
        if (devices.set == INVALID_HANDLE_VALUE) {
            return found;
        }
        SP_DEVICE_INTERFACE_DATA listed{};
        listed.cbSize = sizeof listed;
        for (DWORD i = 0;
             SetupDiEnumDeviceInterfaces(devices.set, nullptr, &USB_DEVICE_INTERFACE, i, &listed);
             ++i) {
            DWORD size = 0;
            SetupDiGetDeviceInterfaceDetailA(devices.set, &listed, nullptr, 0, &size, nullptr);
            if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
                continue;
            }
            // DWORD elements keep the detail record aligned.
            std::vector<DWORD> storage(size / sizeof(DWORD) + 1);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            SP_DEVINFO_DATA device{};
            device.cbSize = sizeof device;
            if (!SetupDiGetDeviceInterfaceDetailA(devices.set, &listed, detail, size, nullptr,
                                                  &device)) {
                continue;
            }
            char service[256] = {};
            if (!SetupDiGetDeviceRegistryPropertyA(devices.set, &device, SPDRP_SERVICE, nullptr,
                                                   reinterpret_cast<BYTE*>(service),
                                                   sizeof service - 1, nullptr)) {
                service[0] = '\0';
            }
            found.push_back({detail->DevicePath, service});
        }
        return found;
    }

    void* open(const std::string& path, std::uint32_t& error) override {
        const WinusbApi& api = winusb_api();
        if (!api.loaded()) {
            error = ERROR_PROC_NOT_FOUND;
            return nullptr;
        }
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            error = failure();
            return nullptr;
        }
        WINUSB_INTERFACE_HANDLE usb = nullptr;
        if (!api.initialize(file, &usb)) {
            error = failure();
            CloseHandle(file);
            return nullptr;
        }
        error = 0;
        return new OpenAdapter{file, usb};
    }

    void close(void* handle) override {
        const std::unique_ptr<OpenAdapter> adapter(static_cast<OpenAdapter*>(handle));
        winusb_api().free(adapter->usb);
        CloseHandle(adapter->file);
    }

    std::uint32_t set_auto_suspend(void* handle, bool on) override {
        UCHAR value = on ? 1 : 0;
        return result(
            winusb_api().set_power_policy(usb_of(handle), AUTO_SUSPEND, sizeof value, &value));
    }

    std::vector<std::uint8_t> pipes(void* handle) override {
        std::vector<std::uint8_t> found;
        WINUSB_PIPE_INFORMATION pipe{};
        // Index by index until the query runs past the setting's last endpoint.
        for (UCHAR index = 0;
             index < UCHAR_MAX && winusb_api().query_pipe(usb_of(handle), 0, index, &pipe);
             ++index) {
            found.push_back(pipe.PipeId);
        }
        return found;
    }

    std::uint32_t set_pipe_timeout(void* handle, std::uint8_t endpoint, std::uint32_t ms) override {
        ULONG value = ms;
        return result(winusb_api().set_pipe_policy(usb_of(handle), endpoint, PIPE_TRANSFER_TIMEOUT,
                                                   sizeof value, &value));
    }

    std::uint32_t control(void* handle, const ControlSetup& setup, std::uint8_t* data,
                          std::uint32_t& transferred) override {
        WINUSB_SETUP_PACKET packet{};
        packet.RequestType = setup.type;
        packet.Request = setup.request;
        packet.Value = setup.value;
        packet.Index = setup.index;
        packet.Length = setup.length;
        ULONG moved = 0;
        const std::uint32_t error = result(winusb_api().control_transfer(
            usb_of(handle), packet, data, setup.length, &moved, nullptr));
        transferred = moved;
        return error;
    }

    std::uint32_t write_pipe(void* handle, std::uint8_t endpoint, const std::uint8_t* data,
                             std::uint32_t length, std::uint32_t& transferred) override {
        ULONG moved = 0;
        // WinUSB takes a mutable pointer for both directions; a write only reads it.
        const std::uint32_t error = result(winusb_api().write_pipe(
            usb_of(handle), endpoint, const_cast<std::uint8_t*>(data), length, &moved, nullptr));
        transferred = moved;
        return error;
    }

    std::uint32_t read_pipe(void* handle, std::uint8_t endpoint, std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t& transferred) override {
        ULONG moved = 0;
        const std::uint32_t error = result(
            winusb_api().read_pipe(usb_of(handle), endpoint, buffer, length, &moved, nullptr));
        transferred = moved;
        return error;
    }

    std::uint32_t poll_pipe(void* handle, std::uint8_t endpoint, std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t& transferred,
                            std::uint32_t wait_ms) override {
        transferred = 0;
        const WinusbApi& api = winusb_api();
        const EventHandle done;
        if (done.event == nullptr) {
            return failure();
        }
        OVERLAPPED overlapped{};
        overlapped.hEvent = done.event;
        if (!api.read_pipe(usb_of(handle), endpoint, buffer, length, nullptr, &overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                return error != ERROR_SUCCESS ? static_cast<std::uint32_t>(error)
                                              : ERROR_GEN_FAILURE;
            }
            if (WaitForSingleObject(done.event, wait_ms) != WAIT_OBJECT_0) {
                // Cancelled, the read ends at once: the wait below does not outlast it.
                api.abort_pipe(usb_of(handle), endpoint);
            }
        }
        DWORD moved = 0;
        const BOOL ok = api.overlapped_result(usb_of(handle), &overlapped, &moved, TRUE);
        transferred = moved;
        if (ok) {
            return 0;
        }
        const std::uint32_t error = failure();
        return error == ERROR_OPERATION_ABORTED ? ERROR_SEM_TIMEOUT : error;
    }
};

}  // namespace

WinusbCalls& windows_winusb_calls() {
    static Win32WinusbCalls calls;
    return calls;
}

}  // namespace oscset::usb

#pragma once
// The adapters on Windows through WinUSB, which the user binds to the adapter (0547:2131)
// once. SetupAPI lists the present USB devices; an adapter is opened with CreateFile and
// WinUsb_Initialize and driven with control transfers and pipe reads and writes. The calls go
// through WinusbCalls, so that a test sees every setup packet and pipe call as WinUSB would.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "cables/usb/usb_device.hpp"
#include "cables/usb/usb_requests.hpp"

namespace oscset::usb {

// Windows' error codes that the backend tells apart.
inline constexpr std::uint32_t WIN_ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t WIN_ERROR_BAD_COMMAND = 22;  // the device has gone
// A stalled request, or a device that stopped answering: also what a pulled adapter gives.
inline constexpr std::uint32_t WIN_ERROR_GEN_FAILURE = 31;
inline constexpr std::uint32_t WIN_ERROR_INVALID_PARAMETER = 87;  // e.g. a pipe it lacks
inline constexpr std::uint32_t WIN_ERROR_SEM_TIMEOUT = 121;       // a pipe's time-out ran out
inline constexpr std::uint32_t WIN_ERROR_NO_SUCH_DEVICE = 433;
inline constexpr std::uint32_t WIN_ERROR_DEVICE_NOT_CONNECTED = 1167;

// The time-outs set on the adapter's pipes: every pipe call is bounded. WinUSB bounds
// control transfers itself (5 s).
inline constexpr std::uint32_t WINUSB_WRITE_TIMEOUT_MS = 5000;
// Longer than the reader's hand-over wait, so that an exchange reports a missing answer
// before the read itself gives up.
inline constexpr std::uint32_t WINUSB_READ_TIMEOUT_MS = 6000;

// A present device of the USB device interface class, as SetupAPI lists it.
struct UsbDeviceEntry {
    std::string path;     // the interface's device path, for CreateFile
    std::string service;  // the driver's service name; empty when none drives it
};

// The operating-system calls. Those that move data return 0 on success, else the system's
// error code; `transferred` is set either way.
class WinusbCalls {
  public:
    // SetupAPI: the present devices of the USB device interface class.
    virtual std::vector<UsbDeviceEntry> devices() = 0;
    // CreateFile (read and write, shared, open-existing, overlapped) and WinUsb_Initialize.
    // Null when either fails, with nothing left open and `error` set.
    virtual void* open(const std::string& path, std::uint32_t& error) = 0;
    // WinUsb_Free and CloseHandle.
    virtual void close(void* handle) = 0;
    // WinUsb_SetPowerPolicy with AUTO_SUSPEND (selective suspend of an idle device).
    virtual std::uint32_t set_auto_suspend(void* handle, bool on) = 0;
    // WinUsb_QueryPipe on the interface's setting 0 (its only one, so the current one): the
    // endpoint addresses of its pipes, in order; empty when it has none or the query fails.
    virtual std::vector<std::uint8_t> pipes(void* handle) = 0;
    // WinUsb_SetPipePolicy with PIPE_TRANSFER_TIMEOUT; refused for a pipe the setting lacks.
    virtual std::uint32_t set_pipe_timeout(void* handle, std::uint8_t endpoint,
                                           std::uint32_t ms) = 0;
    // WinUsb_ControlTransfer, synchronous; `data` holds setup.length bytes.
    virtual std::uint32_t control(void* handle, const ControlSetup& setup, std::uint8_t* data,
                                  std::uint32_t& transferred) = 0;
    // WinUsb_WritePipe and WinUsb_ReadPipe, synchronous, bounded by the pipe's time-out.
    virtual std::uint32_t write_pipe(void* handle, std::uint8_t endpoint, const std::uint8_t* data,
                                     std::uint32_t length, std::uint32_t& transferred) = 0;
    virtual std::uint32_t read_pipe(void* handle, std::uint8_t endpoint, std::uint8_t* buffer,
                                    std::uint32_t length, std::uint32_t& transferred) = 0;
    // WinUsb_ReadPipe given up after `wait_ms` (WinUsb_AbortPipe): then ERROR_SEM_TIMEOUT,
    // with what had come in `transferred`.
    virtual std::uint32_t poll_pipe(void* handle, std::uint8_t endpoint, std::uint8_t* buffer,
                                    std::uint32_t length, std::uint32_t& transferred,
                                    std::uint32_t wait_ms) = 0;

  protected:
    ~WinusbCalls() = default;
};

class WinusbAdapter;

// Adapter N is the Nth present device 0547:2131 driven by WinUSB, in the order of the device
// paths. A device path stays the same while an adapter stays in its port, also across its
// renumeration: it is the adapter's location. The handles to one adapter share its one WinUSB
// handle: WinUSB opens a device once. An adapter is opened whatever pipes it has (a blank
// chip has none but the control pipe); a pipe carries data only once its time-out is set.
class WinusbBackend final : public UsbBackend {
  public:
    explicit WinusbBackend(WinusbCalls& calls) : calls_(calls) {}
    std::unique_ptr<UsbDevice> open(int index) override;
    std::unique_ptr<UsbDevice> open_at(const std::string& location) override;

  private:
    std::unique_ptr<UsbDevice> share(const std::string& path);
    void report_driver(const std::vector<UsbDeviceEntry>& others);

    WinusbCalls& calls_;
    std::mutex mutex_;
    std::vector<std::weak_ptr<WinusbAdapter>> adapters_;
    bool busy_reported_ = false;
    bool driver_reported_ = false;
};

// The real calls (Windows only).
WinusbCalls& windows_winusb_calls();

}  // namespace oscset::usb

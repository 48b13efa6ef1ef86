#pragma once
// The operating-system calls behind the port-access driver service: the version query, the
// service control manager, the driver's device and the driver file. One call of the seam is
// one Win32 call (GetVersionExA, OpenSCManagerA, CreateServiceA, OpenServiceA, StartServiceA,
// ControlService, DeleteService, CloseServiceHandle, CreateFileA with CloseHandle, CopyFileA,
// DeleteFileA, GetFullPathNameA, getenv), so the Win32 backend holds no logic of its own.
// Builds without one install none, and the program behaves as on a platform that needs no
// driver.

#include <cstdint>
#include <span>

#include "platform/installed.hpp"

namespace oscset::parallel {

// A service-manager or service handle (SC_HANDLE in the Win32 backend); null is none.
using ScHandle = void*;

// Win32 values, under names of their own so that this header can sit beside <windows.h>.
inline constexpr std::uint32_t SCM_ACCESS = 0xF003F;        // SC_MANAGER_ALL_ACCESS
inline constexpr std::uint32_t SERVICE_ACCESS = 0xF01FF;    // SERVICE_ALL_ACCESS
inline constexpr std::uint32_t DRIVER_SERVICE_TYPE = 1;     // SERVICE_KERNEL_DRIVER
inline constexpr std::uint32_t DRIVER_START_TYPE = 3;       // SERVICE_DEMAND_START
inline constexpr std::uint32_t DRIVER_ERROR_CONTROL = 1;    // SERVICE_ERROR_NORMAL
inline constexpr std::uint32_t STOP_CONTROL = 1;            // SERVICE_CONTROL_STOP
inline constexpr std::uint32_t DEVICE_ACCESS = 0x80000000;  // GENERIC_READ
inline constexpr std::uint32_t PLATFORM_ID_NT = 2;          // VER_PLATFORM_WIN32_NT
inline constexpr std::uint32_t VERSION_INFO_SIZE = 148;     // sizeof(OSVERSIONINFOA)
inline constexpr std::size_t PATH_BUFFER_SIZE = 260;        // MAX_PATH

// What CreateServiceA is given; the rest of its arguments (load-order group, tag,
// dependencies, account, password) are always null.
struct ServiceParams {
    const char* name;
    const char* display_name;
    std::uint32_t access;
    std::uint32_t type;
    std::uint32_t start_type;
    std::uint32_t error_control;
    const char* binary_path;
};

// Every call returning std::uint32_t gives 0 on success, else a nonzero error code (the
// Win32 backend returns GetLastError, or a nonzero code when that is 0). Handles it hands
// out stay valid until close_handle.
class ServiceManager {
  public:
    // GetVersionExA with a VERSION_INFO_SIZE structure: false when the query fails, else
    // true with the platform id.
    virtual bool platform_id(std::uint32_t& id) = 0;

    // OpenSCManagerA on the local machine's default database.
    virtual std::uint32_t open_manager(std::uint32_t access, ScHandle& manager) = 0;
    virtual std::uint32_t create_service(ScHandle manager, const ServiceParams& params,
                                         ScHandle& service) = 0;
    virtual std::uint32_t open_service(ScHandle manager, const char* name, std::uint32_t access,
                                       ScHandle& service) = 0;
    // StartServiceA with no arguments.
    virtual std::uint32_t start_service(ScHandle service) = 0;
    virtual std::uint32_t control_service(ScHandle service, std::uint32_t control) = 0;
    virtual std::uint32_t delete_service(ScHandle service) = 0;
    virtual void close_handle(ScHandle handle) = 0;

    // CreateFileA(path, access, no sharing, no security, OPEN_EXISTING,
    // FILE_ATTRIBUTE_NORMAL, no template), and CloseHandle at once: true when it opened.
    virtual bool open_device(const char* path, std::uint32_t access) = 0;
    // CopyFileA: true when the file was copied.
    virtual bool copy_file(const char* from, const char* to, bool fail_if_exists) = 0;
    // DeleteFileA: true when the file was removed.
    virtual bool remove_file(const char* path) = 0;
    // GetFullPathNameA into `full` (NUL-terminated); nonzero when it fails or does not fit.
    virtual std::uint32_t full_path(const char* path, std::span<char> full) = 0;
    // The environment variable's value, or null when it is not set.
    virtual const char* environment(const char* name) = 0;

  protected:
    ~ServiceManager() = default;
};

// The service manager that the port-access service uses; the program's main installs the
// platform's one. With none installed, giveio_acquire reports a platform that needs no
// driver.
inline constexpr auto set_service_manager = platform::Installed<ServiceManager>::set;
inline constexpr auto service_manager = platform::Installed<ServiceManager>::get;

}  // namespace oscset::parallel

// The service control manager, the driver's device and the driver file on Windows: each call
// of the seam is one Win32 call.

#include <windows.h>

#include <cstdlib>

#include "cables/parallel/service_manager.hpp"

namespace oscset::parallel {
namespace {

std::uint32_t last_error() {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

class Win32ServiceManager final : public ServiceManager {
  public:
    bool platform_id(std::uint32_t& id) override {
        OSVERSIONINFOA info{};
        info.dwOSVersionInfoSize = VERSION_INFO_SIZE;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        const BOOL ok = GetVersionExA(&info);
#pragma GCC diagnostic pop
        if (!ok) {
            return false;
        }
        id = info.dwPlatformId;
        return true;
    }

    std::uint32_t open_manager(std::uint32_t access, ScHandle& manager) override {
        SC_HANDLE handle = OpenSCManagerA(nullptr, nullptr, access);
        if (handle == nullptr) {
            return last_error();
        }
        manager = handle;
        return 0;
    }

    std::uint32_t create_service(ScHandle manager, const ServiceParams& p,
                                 ScHandle& service) override {
        SC_HANDLE handle = CreateServiceA(
            static_cast<SC_HANDLE>(manager), p.name, p.display_name, p.access, p.type, p.start_type,
            p.error_control, p.binary_path, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (handle == nullptr) {
            return last_error();
        }
        service = handle;
        return 0;
    }

    std::uint32_t open_service(ScHandle manager, const char* name, std::uint32_t access,
                               ScHandle& service) override {
        SC_HANDLE handle = OpenServiceA(static_cast<SC_HANDLE>(manager), name, access);
        if (handle == nullptr) {
            return last_error();
        }
        service = handle;
        return 0;
    }

    std::uint32_t start_service(ScHandle service) override {
        return StartServiceA(static_cast<SC_HANDLE>(service), 0, nullptr) ? 0 : last_error();
    }

    std::uint32_t control_service(ScHandle service, std::uint32_t control) override {
        SERVICE_STATUS status{};
        return ControlService(static_cast<SC_HANDLE>(service), control, &status) ? 0 : last_error();
    }

    std::uint32_t delete_service(ScHandle service) override {
        return DeleteService(static_cast<SC_HANDLE>(service)) ? 0 : last_error();
    }

    void close_handle(ScHandle handle) override {
        CloseServiceHandle(static_cast<SC_HANDLE>(handle));
    }

    bool open_device(const char* path, std::uint32_t access) override {
        HANDLE device =
            CreateFileA(path, access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (device == INVALID_HANDLE_VALUE) {
            return false;
        }
        CloseHandle(device);
        return true;
    }

    bool copy_file(const char* from, const char* to, bool fail_if_exists) override {
        return CopyFileA(from, to, fail_if_exists ? TRUE : FALSE) != 0;
    }

    bool remove_file(const char* path) override {
        return DeleteFileA(path) != 0;
    }

    std::uint32_t full_path(const char* path, std::span<char> full) override {
        const DWORD length =
            GetFullPathNameA(path, static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) {
            return last_error();
        }
        return length < full.size() ? 0 : ERROR_INSUFFICIENT_BUFFER;
    }

    const char* environment(const char* name) override {
        return std::getenv(name);
    }
};

}  // namespace

ServiceManager& windows_service_manager() {
    static Win32ServiceManager manager;
    return manager;
}

}  // namespace oscset::parallel

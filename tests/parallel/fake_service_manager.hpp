#pragma once
// A Windows machine as the port-access service sees it: a version, a service control
// manager with at most the one giveio service, the driver's device, and files. Calls are
// logged in short words; failures can be injected per call.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "cables/parallel/service_manager.hpp"

namespace oscset::testing {

inline constexpr const char* FAKE_SYSTEM_ROOT = "C:\\WINDOWS";
inline constexpr const char* FAKE_DESTINATION = "C:\\WINDOWS/system32/drivers/giveio.sys";

class FakeServiceManager final : public parallel::ServiceManager {
  public:
    // The machine.
    bool version_query_works = true;
    std::uint32_t platform = parallel::PLATFORM_ID_NT;
    std::string system_root = FAKE_SYSTEM_ROOT;
    bool system_root_set = true;
    bool installed = false;
    std::string service_binary = FAKE_DESTINATION;  // the installed service's driver file
    bool running = false;
    bool device_without_service = false;  // the driver was loaded some other way
    std::set<std::string> files{"giveio.sys"};

    // Injected failures (0 = none): the error the call returns.
    std::uint32_t manager_error = 0;
    std::uint32_t start_error = 0;
    std::uint32_t stop_error = 0;
    bool device_refuses = false;

    // What happened.
    std::vector<std::string> calls;
    parallel::ServiceParams created{};  // binary_path cleared; see service_binary
    std::size_t open_service_handles() const { return service_handles_.size(); }
    bool manager_open() const { return manager_open_; }

    bool platform_id(std::uint32_t& id) override;
    std::uint32_t open_manager(std::uint32_t access, parallel::ScHandle& manager) override;
    std::uint32_t create_service(parallel::ScHandle manager, const parallel::ServiceParams& params,
                                 parallel::ScHandle& service) override;
    std::uint32_t open_service(parallel::ScHandle manager, const char* name, std::uint32_t access,
                               parallel::ScHandle& service) override;
    std::uint32_t start_service(parallel::ScHandle service) override;
    std::uint32_t control_service(parallel::ScHandle service, std::uint32_t control) override;
    std::uint32_t delete_service(parallel::ScHandle service) override;
    void close_handle(parallel::ScHandle handle) override;
    bool open_device(const char* path, std::uint32_t access) override;
    bool copy_file(const char* from, const char* to, bool fail_if_exists) override;
    bool remove_file(const char* path) override;
    std::uint32_t full_path(const char* path, std::span<char> full) override;
    const char* environment(const char* name) override;

  private:
    parallel::ScHandle new_service_handle();
    bool is_service(parallel::ScHandle handle) const;

    bool manager_open_ = false;
    char manager_token_ = 0;
    std::set<parallel::ScHandle> service_handles_;
    std::uintptr_t next_handle_ = 0x1000;
};

}  // namespace oscset::testing

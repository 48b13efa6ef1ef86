#include "tests/parallel/fake_service_manager.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace oscset::testing {
namespace {

// Win32 error codes the real service manager gives in these situations.
constexpr std::uint32_t ERROR_NOT_FOUND_FILE = 2;
constexpr std::uint32_t ERROR_BAD_HANDLE = 6;
constexpr std::uint32_t ERROR_NO_ROOM = 122;
constexpr std::uint32_t ERROR_ALREADY_RUNNING = 1056;
constexpr std::uint32_t ERROR_NO_SUCH_SERVICE = 1060;
constexpr std::uint32_t ERROR_NOT_ACTIVE = 1062;
constexpr std::uint32_t ERROR_EXISTS = 1073;

}  // namespace

bool FakeServiceManager::platform_id(std::uint32_t& id) {
    calls.push_back("version");
    id = platform;
    return version_query_works;
}

std::uint32_t FakeServiceManager::open_manager(std::uint32_t access, parallel::ScHandle& manager) {
    calls.push_back("connect");
    EXPECT_EQ(access, 0xF003Fu);
    EXPECT_FALSE(manager_open_) << "a second connection while one is kept";
    if (manager_error != 0) {
        return manager_error;
    }
    manager_open_ = true;
    manager = &manager_token_;
    return 0;
}

parallel::ScHandle FakeServiceManager::new_service_handle() {
    auto handle = reinterpret_cast<parallel::ScHandle>(next_handle_++);
    service_handles_.insert(handle);
    return handle;
}

bool FakeServiceManager::is_service(parallel::ScHandle handle) const {
    return service_handles_.count(handle) != 0;
}

std::uint32_t FakeServiceManager::create_service(parallel::ScHandle manager,
                                                 const parallel::ServiceParams& params,
                                                 parallel::ScHandle& service) {
    calls.push_back("create");
    if (!manager_open_ || manager != &manager_token_) {
        return ERROR_BAD_HANDLE;
    }
    if (installed) {
        return ERROR_EXISTS;
    }
    installed = true;
    created = params;
    created.binary_path = nullptr;
    service_binary = params.binary_path;
    service = new_service_handle();
    return 0;
}

std::uint32_t FakeServiceManager::open_service(parallel::ScHandle manager, const char* name,
                                               std::uint32_t access, parallel::ScHandle& service) {
    calls.push_back("open");
    EXPECT_EQ(access, 0xF01FFu);
    if (!manager_open_ || manager != &manager_token_) {
        return ERROR_BAD_HANDLE;
    }
    if (!installed || std::strcmp(name, "giveio") != 0) {
        return ERROR_NO_SUCH_SERVICE;
    }
    service = new_service_handle();
    return 0;
}

std::uint32_t FakeServiceManager::start_service(parallel::ScHandle service) {
    calls.push_back("start");
    if (!is_service(service)) {
        return ERROR_BAD_HANDLE;
    }
    if (start_error != 0) {
        return start_error;
    }
    if (running) {
        return ERROR_ALREADY_RUNNING;
    }
    if (files.count(service_binary) == 0) {
        return ERROR_NOT_FOUND_FILE;
    }
    running = true;
    return 0;
}

std::uint32_t FakeServiceManager::control_service(parallel::ScHandle service,
                                                  std::uint32_t control) {
    calls.push_back("stop");
    EXPECT_EQ(control, 1u);
    if (!is_service(service)) {
        return ERROR_BAD_HANDLE;
    }
    if (stop_error != 0) {
        return stop_error;
    }
    if (!running) {
        return ERROR_NOT_ACTIVE;
    }
    running = false;
    return 0;
}

std::uint32_t FakeServiceManager::delete_service(parallel::ScHandle service) {
    calls.push_back("delete");
    if (!is_service(service)) {
        return ERROR_BAD_HANDLE;
    }
    installed = false;
    return 0;
}

void FakeServiceManager::close_handle(parallel::ScHandle handle) {
    if (handle == &manager_token_ && manager_open_) {
        calls.push_back("disconnect");
        manager_open_ = false;
    } else if (service_handles_.erase(handle) == 1) {
        calls.push_back("close");
    } else {
        ADD_FAILURE() << "close of a handle that is not open";
    }
}

bool FakeServiceManager::open_device(const char* path, std::uint32_t access) {
    calls.push_back("device");
    EXPECT_STREQ(path, "\\\\.\\giveio");
    EXPECT_EQ(access, 0x80000000u);
    return (running || device_without_service) && !device_refuses;
}

bool FakeServiceManager::copy_file(const char* from, const char* to, bool fail_if_exists) {
    calls.push_back("copy");
    EXPECT_STREQ(from, "giveio.sys");
    EXPECT_TRUE(fail_if_exists);
    if (files.count(from) == 0 || (fail_if_exists && files.count(to) != 0)) {
        return false;
    }
    files.insert(to);
    return true;
}

bool FakeServiceManager::remove_file(const char* path) {
    calls.push_back("remove");
    return files.erase(path) == 1;
}

std::uint32_t FakeServiceManager::full_path(const char* path, std::span<char> full) {
    calls.push_back("fullpath");
    const std::size_t length = std::strlen(path);
    if (length + 1 > full.size()) {
        return ERROR_NO_ROOM;
    }
    std::memcpy(full.data(), path, length + 1);  // already absolute here
    return 0;
}

const char* FakeServiceManager::environment(const char* name) {
    return system_root_set && std::strcmp(name, "SystemRoot") == 0 ? system_root.c_str() : nullptr;
}

}  // namespace oscset::testing

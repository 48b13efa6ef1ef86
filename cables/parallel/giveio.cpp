#include "cables/parallel/giveio.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cables/parallel/service_manager.hpp"

namespace oscset::parallel {
namespace {

constexpr std::uint32_t NO_SERVICE_MANAGER = 120;  // ERROR_CALL_NOT_IMPLEMENTED

using PathBuffer = std::array<char, PATH_BUFFER_SIZE>;

std::int32_t giveio_stage = 0;
ScHandle scm_handle = nullptr;
bool driver_copied = false;  // this run copied the driver file of the successful stage 4
PathBuffer copied_driver_path{};
test_hooks::ExitRegistrar exit_registrar = nullptr;

// The destination of the driver file. False when SystemRoot is unset or the path would not
// fit the buffer: then there is nowhere sound to install the driver.
bool destination_path(ServiceManager& manager, PathBuffer& path) {
    const char* root = manager.environment(GIVEIO_SYSTEM_ROOT);
    if (root == nullptr) {
        return false;
    }
    const int length = std::snprintf(path.data(), path.size(), GIVEIO_DESTINATION_FORMAT, root,
                                     GIVEIO_DRIVER_FILE);
    return length > 0 && static_cast<std::size_t>(length) < path.size();
}

// Opens the named service, performs one action on it and closes it whatever the outcome.
template <typename Action>
std::uint32_t with_service(const char* service_name, Action action) {
    if (scm_connect() != 0) {
        return 1;
    }
    ServiceManager& manager = *service_manager();
    ScHandle service = nullptr;
    const std::uint32_t opened =
        manager.open_service(scm_handle, service_name, SERVICE_ACCESS, service);
    if (opened != 0) {
        return opened;
    }
    const std::uint32_t result = action(manager, service);
    manager.close_handle(service);
    return result;
}

void register_exit_cleanup() {
    if (exit_registrar != nullptr) {
        exit_registrar(giveio_exit_cleanup);
    } else {
        std::atexit(giveio_exit_cleanup);
    }
}

}  // namespace

std::int32_t is_windows_nt() {
    ServiceManager* manager = service_manager();
    std::uint32_t id = 0;
    return manager != nullptr && manager->platform_id(id) && id == PLATFORM_ID_NT ? 1 : 0;
}

std::uint32_t scm_connect() {
    ServiceManager* manager = service_manager();
    if (manager == nullptr) {
        return NO_SERVICE_MANAGER;
    }
    if (scm_handle != nullptr) {
        return 0;
    }
    ScHandle handle = nullptr;
    const std::uint32_t error = manager->open_manager(SCM_ACCESS, handle);
    if (error != 0) {
        return error;
    }
    scm_handle = handle;
    return 0;
}

void scm_disconnect() {
    ServiceManager* manager = service_manager();
    if (scm_handle != nullptr && manager != nullptr) {
        manager->close_handle(scm_handle);
    }
    scm_handle = nullptr;
}

std::uint32_t service_create(const char* driver_path, const char* service_name) {
    if (scm_connect() != 0) {
        return 1;
    }
    ServiceManager& manager = *service_manager();
    PathBuffer full{};
    if (const std::uint32_t error = manager.full_path(driver_path, full); error != 0) {
        return error;
    }
    const ServiceParams params{
        .name = service_name,
        .display_name = service_name,
        .access = SERVICE_ACCESS,
        .type = DRIVER_SERVICE_TYPE,
        .start_type = DRIVER_START_TYPE,
        .error_control = DRIVER_ERROR_CONTROL,
        .binary_path = full.data(),
    };
    ScHandle service = nullptr;
    if (const std::uint32_t error = manager.create_service(scm_handle, params, service);
        error != 0) {
        return error;
    }
    manager.close_handle(service);
    return 0;
}

std::uint32_t service_start(const char* service_name) {
    return with_service(service_name, [](ServiceManager& manager, ScHandle service) {
        return manager.start_service(service);
    });
}

std::uint32_t service_stop(const char* service_name) {
    return with_service(service_name, [](ServiceManager& manager, ScHandle service) {
        return manager.control_service(service, STOP_CONTROL);
    });
}

std::uint32_t service_delete(const char* service_name) {
    return with_service(service_name, [](ServiceManager& manager, ScHandle service) {
        return manager.delete_service(service);
    });
}

std::int32_t giveio_acquire() {
    if (is_windows_nt() == 0) {
        return 1;
    }
    ServiceManager& manager = *service_manager();
    PathBuffer destination{};
    const bool have_destination = destination_path(manager, destination);

    // Stage 2: the driver runs already. Stage 3: its installed service is started. Stage 4:
    // the file is copied (an existing one is used unchanged), the service created and started.
    for (std::int32_t stage = 2; stage <= 4; ++stage) {
        bool copied = false;
        if (stage == 4) {
            if (!have_destination) {
                break;
            }
            copied = manager.copy_file(GIVEIO_DRIVER_FILE, destination.data(), true);
            if (service_create(destination.data(), GIVEIO_SERVICE_NAME) != 0) {
                break;
            }
        }
        if (stage >= 3 && service_start(GIVEIO_SERVICE_NAME) != 0) {
            continue;
        }
        // The driver grants access to a process that has opened its device; the handle
        // itself is not needed afterwards.
        if (!manager.open_device(GIVEIO_DEVICE_PATH, DEVICE_ACCESS)) {
            continue;
        }
        if (giveio_stage == 0) {
            giveio_stage = stage;
            driver_copied = copied;
            copied_driver_path = destination;
            register_exit_cleanup();
        }
        return stage;
    }
    return 0;
}

std::int32_t giveio_current_stage() {
    return giveio_stage;
}

void giveio_exit_cleanup() {
    ServiceManager* manager = service_manager();
    if (manager == nullptr) {
        scm_handle = nullptr;
        return;
    }
    std::uint32_t stopped = 1;
    std::uint32_t deleted = 1;
    if (giveio_stage >= 3) {
        stopped = service_stop(GIVEIO_SERVICE_NAME);
    }
    if (giveio_stage == 4) {
        deleted = service_delete(GIVEIO_SERVICE_NAME);
        // Only a system that has no trace of the service left loses the file; otherwise a
        // later run would find a service whose driver file is gone.
        if (driver_copied && stopped == 0 && deleted == 0) {
            manager->remove_file(copied_driver_path.data());
        }
    }
    scm_disconnect();
}

namespace test_hooks {

void set_exit_registrar(ExitRegistrar registrar) {
    exit_registrar = registrar;
}

void reset_giveio() {
    giveio_stage = 0;
    scm_handle = nullptr;
    driver_copied = false;
    copied_driver_path.fill('\0');
}

}  // namespace test_hooks

}  // namespace oscset::parallel

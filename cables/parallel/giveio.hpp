#pragma once
// Port access through the giveio kernel driver, which grants a process the printer port's
// registers once it has opened the driver's device. On Windows NT the driver is used if it
// runs, else its installed service is started, else the driver file is copied into the
// system's driver folder and the service created and started; what the run changed is undone
// at process exit. Elsewhere nothing is needed and the port backend alone decides.

#include <cstdint>

namespace oscset::parallel {

inline constexpr const char* GIVEIO_SERVICE_NAME = "giveio";  // service and display name
inline constexpr const char* GIVEIO_DEVICE_PATH = "\\\\.\\giveio";
inline constexpr const char* GIVEIO_DRIVER_FILE = "giveio.sys";  // in the current directory
inline constexpr const char* GIVEIO_DESTINATION_FORMAT = "%s/system32/drivers/%s";
inline constexpr const char* GIVEIO_SYSTEM_ROOT = "SystemRoot";

// Called on every open of the parallel cable; prints nothing. 1 on a platform other than
// Windows NT (nothing done); 2, 3 or 4, the stage that gained port access (driver running,
// installed service started, service installed and started); 0 when no stage did.
std::int32_t giveio_acquire();

// 0 until port access is first gained, then the stage that gained it, for the process.
std::int32_t giveio_current_stage();

// 1 when the version query succeeds and reports Windows NT, else 0.
std::int32_t is_windows_nt();

// 0 when the service-manager connection is open (a kept one is reused), else the error code;
// a failed attempt leaves no connection, so the next call tries again.
std::uint32_t scm_connect();

// 0 on success; 1 when scm_connect fails; else the error of the failed call. service_create
// makes a demand-started kernel-driver service of the file's full path and closes it at once;
// the others open the service by name, perform their one action and close it again.
std::uint32_t service_create(const char* driver_path, const char* service_name);
std::uint32_t service_start(const char* service_name);
std::uint32_t service_stop(const char* service_name);
std::uint32_t service_delete(const char* service_name);

// Closes the kept service-manager connection, if there is one, and forgets it.
void scm_disconnect();

// Registered once with atexit when port access is first gained: stops the service that this
// run started (stage 3 or 4), deletes the one it created (stage 4) and, when both succeeded,
// removes a driver file that this run copied; then closes the connection.
void giveio_exit_cleanup();

// For tests only: keep the process's own exit path out of a test's way.
namespace test_hooks {

// Replaces atexit as the registration of giveio_exit_cleanup (null restores atexit), so that
// a test receives the handler and runs it when it chooses.
using ExitRegistrar = int (*)(void (*)());
void set_exit_registrar(ExitRegistrar registrar);

// Back to the state of a fresh process: stage 0, no connection (forgotten, not closed), no
// copied file noted.
void reset_giveio();

}  // namespace test_hooks

}  // namespace oscset::parallel

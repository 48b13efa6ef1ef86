// The port-access service through the real service control manager. It installs a service,
// so it runs only under wine, whose registry belongs to the build.

#include <windows.h>

#include <gtest/gtest.h>

#include "cables/cable.hpp"
#include "cables/parallel/giveio.hpp"
#include "cables/parallel/port_io.hpp"
#include "cables/parallel/service_manager.hpp"
#include "platform/console.hpp"

namespace oscset::parallel {
namespace {

bool under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(GiveioOnWine, NoStageGainsAccessAndTheCableSaysSo) {
    if (!under_wine()) {
        GTEST_SKIP() << "would install a driver service on this machine";
    }
    ASSERT_TRUE(install_hardware_port_io());
    EXPECT_EQ(is_windows_nt(), 1) << "wine reports the NT platform";
    // No giveio driver exists here: the device does not open in any stage.
    EXPECT_EQ(giveio_acquire(), 0);
    EXPECT_EQ(giveio_current_stage(), 0);

    platform::ConsoleCapture console;
    EXPECT_EQ(cable::cable_open(cable::CABLE_PARALLEL_378), STATUS_NO_CABLE);
    EXPECT_EQ(console.text(), "Can't access GIVEIO system\n");
}

}  // namespace
}  // namespace oscset::parallel

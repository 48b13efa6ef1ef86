// Finding the ppdev device of a base address, on a fake sysctl folder.

#include "cables/parallel/ppdev_port.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "cables/parallel/xpar.hpp"
#include "platform/time.hpp"

namespace oscset::parallel {
namespace {

namespace fs = std::filesystem;

class PpdevTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("oscset_ppdev_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "dev");
        sysctl = root / "sysctl";
    }
    void TearDown() override { fs::remove_all(root); }

    void port_folder(const std::string& name, const char* base_addr) {
        fs::create_directories(sysctl / name);
        if (base_addr != nullptr) {
            std::ofstream(sysctl / name / "base-addr") << base_addr;
        }
    }

    // Port 0x378 whose node is a plain file: its ioctls fail.
    void plain_file_port() {
        port_folder("parport0", "888\t1912\n");
        std::ofstream(root / "dev" / "parport0") << "";
    }

    fs::path root;
    fs::path sysctl;
};

TEST_F(PpdevTest, FindsTheDeviceWhoseBaseAddressMatches) {
    port_folder("parport0", "888\t1912\n");
    port_folder("parport1", "632\t0\n");
    port_folder("parport10", "956\t0\n");
    port_folder("parportx", "956\t0\n");  // not a port's name
    port_folder("default", nullptr);
    port_folder("parport2", "garbage\n");
    port_folder("parport3", "");
    port_folder("parport4", "70000\t0\n");  // beyond 16 bits: matches nothing
    std::ofstream(sysctl / "default" / "timeslice") << "200\n";

    const std::vector<std::pair<std::uint16_t, const char*>> cases = {
        {0x378, "parport0"}, {0x278, "parport1"}, {0x3BC, "parport10"},
        {0x3BD, nullptr},    {0x0000, nullptr},   {70000 & 0xFFFF, nullptr},
    };
    for (const auto& [base, name] : cases) {
        SCOPED_TRACE(base);
        const auto found = find_parport_device(sysctl, root / "dev", base);
        if (name == nullptr) {
            EXPECT_FALSE(found.has_value());
        } else {
            ASSERT_TRUE(found.has_value());
            EXPECT_EQ(*found, root / "dev" / name);
        }
    }
}

TEST_F(PpdevTest, NoSysctlFolderMeansNoDevice) {
    EXPECT_FALSE(find_parport_device(root / "missing", root / "dev", 0x378).has_value());
}

TEST_F(PpdevTest, AcquireFailsWhenTheNodeIsMissingOrNotAPort) {
    port_folder("parport0", "888\t1912\n");
    port_folder("parport1", "632\t0\n");
    std::ofstream(root / "dev" / "parport1") << "not a device";  // the claim ioctl fails

    PpdevPort port(sysctl, root / "dev");
    for (std::uint16_t base : {0x378, 0x278, 0x3BC}) {
        SCOPED_TRACE(base);
        EXPECT_FALSE(port.acquire(base));
        port.write(base, 0x52);
        EXPECT_EQ(port.read(static_cast<std::uint16_t>(base + 1)), 0xFF);
    }
}

// Another holder of the port makes the claim wait in the kernel; a read of an empty pipe waits
// the same way, until a signal interrupts it.
TEST_F(PpdevTest, AClaimThatWaitsIsGivenUp) {
    plain_file_port();
    int held[2];
    ASSERT_EQ(::pipe(held), 0);
    int claims = 0;
    PpdevPort port(sysctl, root / "dev", [&](int) {
        ++claims;
        char byte = 0;
        return static_cast<int>(::read(held[0], &byte, 1));
    });
    {
        platform::SimulatedTime time(1000);  // the 1000 ms limit lasts 1 ms
        EXPECT_FALSE(port.acquire(0x378));
    }
    EXPECT_EQ(claims, 1);
    EXPECT_EQ(port.read(0x379), 0xFF) << "an unclaimed port reads nothing";
    ::close(held[0]);
    ::close(held[1]);
}

// Without its timer a claim could wait for ever: it is not made.
TEST_F(PpdevTest, AClaimWhoseTimerCannotBeArmedIsNotMade) {
    plain_file_port();
    int claims = 0;
    PpdevPort port(
        sysctl, root / "dev",
        [&](int) {
            ++claims;
            return 0;
        },
        [](timer_t, const itimerspec&) {
            errno = EINVAL;
            return -1;
        });
    EXPECT_FALSE(port.acquire(0x378));
    EXPECT_EQ(claims, 0);
}

// A node that is no port refuses every register access: the cable hears of it, once.
TEST_F(PpdevTest, FailedAccessesReachTheCable) {
    plain_file_port();
    PpdevPort port(sysctl, root / "dev", [](int) { return 0; });
    ASSERT_TRUE(port.acquire(0x378));
    set_port_io(&port);
    xpar_shift(nullptr, nullptr, 3, 0, 0);
    EXPECT_TRUE(xpar_take_failure());
    EXPECT_FALSE(xpar_take_failure());
    set_port_io(nullptr);
}

}  // namespace
}  // namespace oscset::parallel

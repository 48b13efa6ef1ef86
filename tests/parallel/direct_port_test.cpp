// Direct port I/O refuses what it cannot do safely. Whether ioperm itself succeeds depends on
// the machine (it fails in containers), so only the refusals before it are checked.

#include "cables/parallel/direct_port.hpp"

#include <gtest/gtest.h>

namespace oscset::parallel {
namespace {

TEST(DirectPortTest, NoInstructionRunsWithoutGrantedAccess) {
    DirectPort port;
    // Without permission in or out would kill the process.
    port.write(0x378, 0x52);
    EXPECT_EQ(port.read(0x379), 0xFF);
    for (std::uint16_t base : {0xFFFE, 0xFFFF}) {
        EXPECT_FALSE(port.acquire(base)) << base;  // the three registers would wrap
        port.write(base, 0x52);
        EXPECT_EQ(port.read(base), 0xFF);
    }
}

}  // namespace
}  // namespace oscset::parallel

// The preference between two port backends.

#include "cables/parallel/port_io.hpp"

#include <gtest/gtest.h>

#include "tests/parallel/recorder_port.hpp"

namespace oscset::parallel {
namespace {

TEST(FallbackPortTest, UsesThePreferredBackendWheneverItGrantsAccess) {
    struct Case {
        const char* name;
        bool preferred_grants = false;
        bool fallback_grants = false;
        bool granted = false;
        std::size_t preferred_accesses = 0;
        std::size_t fallback_accesses = 0;
    };
    const Case cases[] = {
        {.name = "both grant",
         .preferred_grants = true,
         .fallback_grants = true,
         .granted = true,
         .preferred_accesses = 2},
        {.name = "only the fallback grants",
         .fallback_grants = true,
         .granted = true,
         .fallback_accesses = 2},
        {.name = "neither grants"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::RecorderPort preferred;
        testing::RecorderPort fallback;
        preferred.granted = c.preferred_grants;
        fallback.granted = c.fallback_grants;
        fallback.failing = true;
        FallbackPort port(preferred, &fallback);
        EXPECT_EQ(port.acquire(0x278), c.granted);
        EXPECT_EQ(port.take_failure(), c.granted && !c.preferred_grants) << "the active port's";
        port.write(0x278, 0x52);
        const std::uint8_t status = port.read(0x279);
        if (!c.granted) {
            EXPECT_EQ(status, 0xFF);
        }
        EXPECT_EQ(preferred.log.size(), c.preferred_accesses);
        EXPECT_EQ(fallback.log.size(), c.fallback_accesses);
        EXPECT_EQ(fallback.acquired.size(), c.preferred_grants ? 0u : 1u);
    }
}

TEST(FallbackPortTest, EachAcquireChoosesAgain) {
    testing::RecorderPort preferred;
    testing::RecorderPort fallback;
    FallbackPort port(preferred, &fallback);
    preferred.granted = false;
    ASSERT_TRUE(port.acquire(0x378));
    preferred.granted = true;
    ASSERT_TRUE(port.acquire(0x378));
    port.write(0x378, 0x12);
    EXPECT_EQ(preferred.log.size(), 1u);
    EXPECT_TRUE(fallback.log.empty());

    FallbackPort alone(preferred, nullptr);
    preferred.granted = false;
    EXPECT_FALSE(alone.acquire(0x378));
}

}  // namespace
}  // namespace oscset::parallel

#include <gtest/gtest.h>

extern "C" int PublicHeaderChecks(void);

// The library as an ordinary shared library: its C header and exported entry points.
TEST(SharedLibrary, CallableFromCThroughThePublicHeader)
{
    EXPECT_EQ(PublicHeaderChecks(), 0);
}

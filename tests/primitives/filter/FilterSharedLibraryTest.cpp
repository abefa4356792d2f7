#include <gtest/gtest.h>

extern "C" int FilterPublicHeaderChecks(void);

// The filtering entries of the shared library, called from C through the public header.
TEST(FilterSharedLibrary, CallableFromCThroughThePublicHeader)
{
    EXPECT_EQ(FilterPublicHeaderChecks(), 0);
}

#include <gtest/gtest.h>

#include <string>

#include "platform/nt/Clock.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Time.h"
#include "platform/nt/Verifier.h"
#include "platform/nt/DebugHost.h"

namespace {

using namespace std::chrono_literals;

TEST(Time, EveryTimeSourceFollowsTheMachineClock)
{
    LARGE_INTEGER frequency;
    EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, 0);
    EXPECT_EQ(frequency.QuadPart, 10000000);
    platform::RunFor(5s);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 50000000);
    EXPECT_EQ(KeQueryInterruptTime(), 50000000u);
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    EXPECT_EQ(system.QuadPart, platform::BOOT_SYSTEM_TIME + 50000000);
}

TEST(Time, TimerResolutionRequestsMustBalance)
{
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    EXPECT_EQ(platform::TimerResolutionOutstanding(), 2);
    ExSetTimerResolution(0, FALSE);
    ExSetTimerResolution(0, FALSE);
    EXPECT_EQ(platform::TimerResolutionOutstanding(), 0);
    EXPECT_EQ(platform::TimerResolutionCurrent(), 0u);
    ExSetTimerResolution(0, FALSE);
    EXPECT_EQ(platform::VerifierTakeFaults().size(), 1u);
    EXPECT_EQ(platform::TimerResolutionOutstanding(), 0);
}

TEST(Debug, DbgPrintFollowsTheKernelFormatConventions)
{
    UNICODE_STRING us{8, 8, const_cast<PWSTR>(u"Wide!")};
    char ansi[] = "Ansi";
    ANSI_STRING as{3, 5, ansi};
    const ULONG ulong = 0xFFFFFFFFu;
    DbgPrint("%s::%s %d\n", "CChannelConversion", "SetFormat", -3);
    DbgPrint("%ws|%S|%ls|%wZ|%Z\n", u"w\u00e9", u"S", u"l", &us, &as);
    DbgPrint("%lu %lx %ld %I64d %llx %Iu\n", ulong, ulong, static_cast<LONG>(-1), static_cast<LONGLONG>(-5),
             0x123456789ULL, static_cast<SIZE_T>(42));
    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL, "[%-4d][%04x][%.2s][%c%C][%5.1f][%%]\n", 7, 0xab, "xyz", 'a',
               u'b', 2.25);
    DbgPrint("%p %s %ws\n", reinterpret_cast<void*>(0xABCDEF), static_cast<const char*>(nullptr),
             static_cast<const WCHAR*>(nullptr));
    EXPECT_EQ(platform::DebugLogTake(),
              "CChannelConversion::SetFormat -3\n"
              "w\xC3\xA9|S|l|Wide|Ans\n"
              "4294967295 ffffffff -1 -5 123456789 42\n"
              "[7   ][00ab][xy][ab][  2.2][%]\n"
              "0000000000ABCDEF (null) (null)\n");
    EXPECT_EQ(platform::DebugLogTake(), "");
}

TEST(Debug, VersionCheckAnswersFromTheSystemVersion)
{
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
    platform::SetSystemVersion(NTDDI_WINXP);
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
}

}  // namespace

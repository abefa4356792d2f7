#include "platform/nt/Time.h"

#include <mutex>

#include "platform/nt/Clock.h"
#include "platform/nt/Scheduler.h"
#include "platform/nt/Verifier.h"

namespace {

// The clock tick of the stand-in (15.625 ms, the common default).
constexpr ULONG TIME_INCREMENT = 156250;
// The finest resolution the stand-in grants (0.5 ms).
constexpr ULONG MINIMUM_RESOLUTION = 5000;

std::mutex g_resolutionLock;
LONG g_outstanding = 0;
ULONG g_requested = 0;

}  // namespace

namespace {

// The caller reads the clock: a thread that does so in a loop waits for time to pass.
int64_t ReadClock()
{
    if (platform::detail::ThreadRecord* self = platform::detail::CurrentIfAny()) {
        self->ReadClock.store(true, std::memory_order_relaxed);
    }
    return platform::ClockNow();
}

}  // namespace

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = PERFORMANCE_FREQUENCY;
    }
    LARGE_INTEGER counter;
    counter.QuadPart = ReadClock();  // 10 MHz: one count per 100 ns
    return counter;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = platform::BOOT_SYSTEM_TIME + ReadClock();
}

ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(ReadClock()); }

VOID KeStallExecutionProcessor(ULONG MicroSeconds)
{
    platform::detail::ThreadRecord* self = platform::detail::KnownCaller("KeStallExecutionProcessor");
    platform::detail::Guard lock(platform::detail::Sched().Lock);
    platform::detail::StallLocked(lock, self, static_cast<int64_t>(MicroSeconds) * 10);
}

ULONG KeQueryTimeIncrement() { return TIME_INCREMENT; }

ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution)
{
    std::lock_guard<std::mutex> guard(g_resolutionLock);
    if (SetResolution) {
        ++g_outstanding;
        g_requested = DesiredTime < MINIMUM_RESOLUTION ? MINIMUM_RESOLUTION
                                                       : (DesiredTime > TIME_INCREMENT ? TIME_INCREMENT : DesiredTime);
        return g_requested;
    }
    if (g_outstanding == 0) {
        platform::VerifierFault("TIMER_RESOLUTION", "timer resolution released without an outstanding request");
        return TIME_INCREMENT;
    }
    if (--g_outstanding == 0) {
        g_requested = 0;
    }
    return g_requested == 0 ? TIME_INCREMENT : g_requested;
}

namespace platform {

LONG TimerResolutionOutstanding()
{
    std::lock_guard<std::mutex> guard(g_resolutionLock);
    return g_outstanding;
}

ULONG TimerResolutionCurrent()
{
    std::lock_guard<std::mutex> guard(g_resolutionLock);
    return g_requested;
}

void TimeReset()
{
    std::lock_guard<std::mutex> guard(g_resolutionLock);
    g_outstanding = 0;
    g_requested = 0;
}

}  // namespace platform

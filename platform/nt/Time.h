// Kernel time sources, all fed by the machine clock (platform/nt/Clock.h).
#pragma once

#include "platform/nt/NtTypes.h"

// Performance counter at 10 MHz: one count per 100 ns of machine time.
constexpr LONGLONG PERFORMANCE_FREQUENCY = 10000000;

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
// System time: 100 ns units since 1601-01-01; the machine boots at a fixed date.
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
// 100 ns units since boot.
ULONGLONG KeQueryInterruptTime();
// Busy-waits: the caller stays runnable and the machine clock moves on by the interval (timers and
// time-outs due meanwhile fire), as on a processor that spins.
VOID KeStallExecutionProcessor(ULONG MicroSeconds);
// The clock tick in 100 ns units.
ULONG KeQueryTimeIncrement();
// Set: requests `DesiredTime` (100 ns units) and returns the resolution granted; not set: releases
// one earlier request. Requests and releases must balance.
ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);

namespace platform {
// System time at machine time 0.
constexpr LONGLONG BOOT_SYSTEM_TIME = 134105184000000000LL;  // 2025-12-31 00:00 UTC
// Outstanding ExSetTimerResolution requests (set minus released).
LONG TimerResolutionOutstanding();
// Last resolution requested (100 ns units), 0 when none is outstanding.
ULONG TimerResolutionCurrent();
void TimeReset();
}  // namespace platform

// The machine clock (test and host interface, not kernel API).
//
// One clock in 100 ns units feeds the performance counter, system and interrupt time, timers,
// wait time-outs and delays. In virtual mode (the default) it moves only when every thread the
// machine knows (system threads, the DPC and worker threads, registered client threads) is
// blocked in a kernel wait or has exited: it then jumps to the earliest deadline. In real-time
// mode it follows the steady clock and waits take real time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace platform {

// 100 ns units since the machine was reset.
int64_t ClockNow();

constexpr int64_t TICKS_PER_MS = 10000;
constexpr int64_t ToTicks(std::chrono::nanoseconds d) { return d.count() / 100; }

// Lets the machine run for the duration: a kernel wait of the calling thread. It returns once
// what woke at the end has run to its next wait (threads, DPCs, work items). RunFor(0ms) lets
// everything that can run do so without time passing.
void RunFor(std::chrono::nanoseconds duration);
inline void RunForTicks(int64_t ticks) { RunFor(std::chrono::nanoseconds(ticks * 100)); }
// Runs in steps of `step` until `condition` holds (checked before each step, with the rest of the
// machine quiescent) or `limit` has passed; returns the condition's last value.
bool RunUntil(const std::function<bool()>& condition, std::chrono::nanoseconds limit,
              std::chrono::nanoseconds step = std::chrono::milliseconds(1));

// Switches between virtual and real time; the clock never goes back.
void SetRealTime(bool realTime);
bool IsRealTime();

}  // namespace platform

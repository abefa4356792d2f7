// The machine clock (test and host interface, not kernel API).
//
// One clock in 100 ns units feeds the performance counter, system and interrupt time, timers,
// wait time-outs and delays. It moves only when every thread the machine knows (system threads,
// the DPC and worker threads, registered client threads) is blocked in a kernel wait or has
// exited: it then jumps to the earliest deadline. In virtual mode (the default) that takes no
// real time. In real-time mode the same clock is paced by the steady clock: it never runs ahead
// of it (a deadline fires when the wall clock gets there), and when a known thread holds it up
// it falls behind and catches up once the machine can move again. Load makes a paced run late,
// never different.
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

// Switches between virtual and paced real time; the clock never goes back.
void SetRealTime(bool realTime);
bool IsRealTime();
// Paced: the most a deadline fired after its time on the wall clock since pacing began, and how
// far the clock is behind the wall clock now (ticks; 0 in virtual mode).
int64_t ClockMaxBehindRealTime();
int64_t ClockBehindRealTime();

}  // namespace platform

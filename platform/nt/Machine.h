// The machine: the threads the clock knows about, and the per-test reset (test/host interface).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace platform {

// Brings the machine to a clean state: time 0, virtual mode, no timers, DPCs, handles, callback
// objects, lock orders or debug output, and the calling thread registered as a client. Threads
// left over from earlier runs are reported ("THREAD_LEAK") and abandoned.
void MachineReset();
// End-of-test check: leftover system threads, handles and callback registrations are verifier
// faults. Does not free anything (the pool leak check still sees what was left).
void MachineCheckClean();
// Waits (real time, bounded by the deadlock time-out) until every other known thread is blocked or
// has exited, so that what they were finishing (a worker dropping its device reference after its
// routine set the event a remove waited for) is done before the caller looks at the pool. False
// when the time ran out.
bool MachineSettle();

// Registers the calling thread as a client for its lifetime: the clock then waits for it too.
class ClientThreadScope {
public:
    explicit ClientThreadScope(const char* name = "client");
    ~ClientThreadScope();
    ClientThreadScope(const ClientThreadScope&) = delete;
    ClientThreadScope& operator=(const ClientThreadScope&) = delete;

private:
    bool m_registered;
};

// The calling known thread counts as blocked while it waits on something outside the kernel (a
// std::thread join, a host-side condition variable), so that the clock may move meanwhile.
class ExternalWaitScope {
public:
    ExternalWaitScope();
    ~ExternalWaitScope();
    ExternalWaitScope(const ExternalWaitScope&) = delete;
    ExternalWaitScope& operator=(const ExternalWaitScope&) = delete;

private:
    bool m_counted;
};

// Registers a host or simulator thread for its whole life: it is counted as runnable from the
// moment it is made (before it starts, so no wait of another thread can time out first) until
// its body returns. Join() counts the caller as blocked outside the kernel while it waits.
class ClientThread {
public:
    ClientThread(const char* name, std::function<void()> body);
    ~ClientThread();
    ClientThread(const ClientThread&) = delete;
    ClientThread& operator=(const ClientThread&) = delete;
    void Join();

private:
    std::thread m_thread;
};

// A test hook for a machine that lags: the first DPC that starts at or after machine time `at`
// (ticks) is held for `hold` of real time before its routine runs, as a processor taken away by
// other work would hold it. MachineReset clears it.
void HoldDpcAt(int64_t at, std::chrono::milliseconds hold);

// Who waits on what (one line per known thread); printed with a "DEADLOCK" fault.
std::string MachineDescribeWaits();
// Real time the watchdogs allow (default 5 s): every known thread blocked with no deadline pending
// is a "DEADLOCK"; a known thread that keeps running without a blocking, waking or time-passing
// kernel call while a deadline waits for it is "NO_PROGRESS". Either ends the process: the
// report is printed, the fault recorded, the fatal handler called, and the process exits with 1.
void SetDeadlockTimeout(std::chrono::milliseconds timeout);
// Called (once, on the watchdog's thread) before the process ends on a fatal machine fault; the
// test harness names the failed test here.
using MachineFatalHandler = void (*)(const char* rule);
void SetMachineFatalHandler(MachineFatalHandler handler);

}  // namespace platform

// The machine: the threads the clock knows about, and the per-test reset (test/host interface).
#pragma once

#include <chrono>
#include <string>

namespace platform {

// Brings the machine to a clean state: time 0, virtual mode, no timers, DPCs, handles, callback
// objects, lock orders or debug output, and the calling thread registered as a client. Threads
// left over from earlier runs are reported ("THREAD_LEAK") and abandoned.
void MachineReset();
// End-of-test check: leftover system threads, handles and callback registrations are verifier
// faults. Does not free anything (the pool leak check still sees what was left).
void MachineCheckClean();

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

// Who waits on what (one line per known thread); printed with a "DEADLOCK" fault.
std::string MachineDescribeWaits();
// Real time with every known thread blocked and no deadline before "DEADLOCK" is reported
// (default 5 s). The blocked client threads are then woken with STATUS_TIMEOUT.
void SetDeadlockTimeout(std::chrono::milliseconds timeout);

}  // namespace platform

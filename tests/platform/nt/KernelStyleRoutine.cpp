// Built like driver code (no exceptions, no RTTI): a system thread routine that ends itself from a
// nested call, as driver threads do.
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Thread.h"

namespace kvxtest {

namespace {
__attribute__((noinline)) void Finish(NTSTATUS status)
{
    PsTerminateSystemThread(status);
}
}  // namespace

VOID KernelStyleThreadRoutine(PVOID context)
{
    auto* status = static_cast<NTSTATUS*>(context);
    Finish(*status);
    *status = STATUS_UNSUCCESSFUL;  // never reached
}

}  // namespace kvxtest

// libFuzzer entry (clang builds only): scripted feedback to a UAC2 render endpoint. Each input
// runs on a reset machine; a broken bound, a verifier fault or a leaked pool block ends the run.
#include <cstdio>
#include <cstdlib>

#include "platform/nt/Machine.h"
#include "platform/nt/PoolHost.h"
#include "platform/nt/Verifier.h"
#include "tests/fuzz/FeedbackFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    platform::MachineReset();
    const uint64_t serial = platform::PoolCurrentSerial();
    if (!kvxfuzz::RunFeedbackOnce(data, size)) {
        std::abort();
    }
    platform::MachineCheckClean();
    platform::PoolVerifyAll();
    bool clean = true;
    for (const auto& fault : platform::VerifierTakeFaults()) {
        std::fprintf(stderr, "verifier fault %s: %s\n", fault.Rule.c_str(), fault.Detail.c_str());
        clean = false;
    }
    if (platform::PoolLiveSince(serial) != 0) {
        std::fprintf(stderr, "pool leak: %s\n", platform::PoolLeakReport(serial).c_str());
        clean = false;
    }
    if (!clean) {
        std::abort();
    }
    return 0;
}

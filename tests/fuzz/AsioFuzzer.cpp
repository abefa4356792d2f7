// libFuzzer entry (clang builds only): arbitrary ASIO requests from two clients of the simulated
// ASIO headset. Each input runs on a reset machine; a byte past a reply, a verifier fault or a
// leaked pool block ends the run.
#include <cstdio>
#include <cstdlib>

#include "platform/nt/Machine.h"
#include "platform/nt/PoolHost.h"
#include "platform/nt/Verifier.h"
#include "tests/fuzz/AsioFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    platform::MachineReset();
    const uint64_t serial = platform::PoolCurrentSerial();
    std::string failure;
    bool clean = kvxfuzz::RunAsioOnce(data, size, &failure);
    if (!clean) {
        std::fprintf(stderr, "%s\n", failure.c_str());
    }
    platform::MachineCheckClean();
    platform::PoolVerifyAll();
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

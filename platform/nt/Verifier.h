// The stand-in checks the rules a driver verifier would and records every breach as a fault.
// Faults never abort: the test harness fails the running test when faults are left unclaimed,
// and a test that provokes a fault on purpose takes it with VerifierTakeFaults().
#pragma once

#include <string>
#include <vector>

namespace platform {

struct VerifierFaultRecord {
    std::string Rule;    // short rule name, e.g. "IRQL_WAIT"
    std::string Detail;  // what happened, with the offending values
};

// Records a fault; printf-style detail.
void VerifierFault(const char* rule, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Removes and returns every fault recorded so far.
std::vector<VerifierFaultRecord> VerifierTakeFaults();

// Number of recorded faults whose rule equals `rule` (all faults when null); faults stay recorded.
size_t VerifierFaultCount(const char* rule = nullptr);

}  // namespace platform

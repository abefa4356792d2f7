// Test and host interface of the pool (not kernel API; driver code never includes it):
// statistics, failure injection, guard and quarantine settings.
#pragma once

#include "platform/nt/Pool.h"
#include <string>
namespace platform {

// Number and bytes of live allocations with the tag (all tags when 0 is passed as `anyTag`).
size_t PoolLiveCount(ULONG tag);
size_t PoolLiveBytes(ULONG tag);
size_t PoolLiveCountAll();

// Allocation serial numbers increase monotonically; a test notes the serial at its start and asks
// for the allocations made since that are still live.
uint64_t PoolCurrentSerial();
size_t PoolLiveSince(uint64_t serial);
// "tag 'Lis\0': 2 blocks, 48 bytes; ..." for the allocations since `serial` still live.
std::string PoolLeakReport(uint64_t serial = 0);

// Failure injection. The n-th allocation from now (1 = the next one) fails.
void PoolFailNthAllocation(uint64_t n);
// The next allocation with this tag fails (counted: `times` allocations with that tag fail).
void PoolFailNextWithTag(ULONG tag, uint32_t times = 1);
// Clears every pending injection.
void PoolClearFailures();
// Number of allocations that were failed by injection since start.
uint64_t PoolInjectedFailures();

// The tag and pool type of a live block, for tests (false when the pointer is not a live block).
bool PoolQueryBlock(const void* p, ULONG* tag, POOL_TYPE* type, SIZE_T* size);

std::string PoolTagToString(ULONG tag);

// Guard bytes before each new block as well (after it they always are); returns the previous
// setting. Off by default: it shifts every block by its alignment.
bool PoolSetFrontGuards(bool on);
// AddressSanitizer builds also mark guard bytes and quarantined blocks unaddressable (on by
// default; no effect in other builds). Tests that overrun blocks on purpose to see the pool's own
// reports turn it off; returns the previous setting.
bool PoolSetSanitizerPoisoning(bool on);
// For the scope of a test that touches freed or guard bytes on purpose to see the pool's or the
// verifier's own reports, which the sanitizer would otherwise stop first.
struct PoolOwnChecksOnly {
    PoolOwnChecksOnly() : Previous(PoolSetSanitizerPoisoning(false)) {}
    ~PoolOwnChecksOnly() { PoolSetSanitizerPoisoning(Previous); }
    PoolOwnChecksOnly(const PoolOwnChecksOnly&) = delete;
    PoolOwnChecksOnly& operator=(const PoolOwnChecksOnly&) = delete;
    bool Previous;
};
// Bounds of the quarantine of freed blocks; the oldest block leaves (and has its poison checked)
// when either is exceeded. Defaults: 4096 blocks, 16 MiB.
void PoolSetQuarantineLimits(size_t blocks, size_t bytes);
void PoolResetQuarantineLimits();
// Checks the guards of every live block and the poison of every quarantined block, then empties
// the quarantine. The harness calls it at the end of every test.
void PoolVerifyAll();
// Number of freed blocks held in the quarantine.
size_t PoolQuarantineCount();

}  // namespace platform

// Real time of pool allocate/free pairs at the sizes a driver uses (a URB, an IRP, a frame buffer)
// and of a lookaside list round trip.
#include <benchmark/benchmark.h>

#include "platform/nt/Kernel.h"

namespace {

constexpr ULONG kTag = MakePoolTag("Bnch");

void BM_PoolAllocateFree(benchmark::State& state)
{
    const auto size = static_cast<SIZE_T>(state.range(0));
    for (auto _ : state) {
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag);
        benchmark::DoNotOptimize(p);
        ExFreePoolWithTag(p, kTag);
    }
}
BENCHMARK(BM_PoolAllocateFree)->Arg(48)->Arg(512)->Arg(4096);

// Sixty-four blocks live at once, freed in allocation order: the shape of a queue of requests.
void BM_PoolBatchOf64(benchmark::State& state)
{
    void* blocks[64];
    for (auto _ : state) {
        for (auto& b : blocks) {
            b = ExAllocatePoolWithTag(NonPagedPoolNx, 256, kTag);
        }
        for (auto* b : blocks) {
            ExFreePoolWithTag(b, kTag);
        }
    }
}
BENCHMARK(BM_PoolBatchOf64);

void BM_LookasideRoundTrip(benchmark::State& state)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 152, kTag, 0);
    for (auto _ : state) {
        void* p = ExAllocateFromNPagedLookasideList(&list);
        benchmark::DoNotOptimize(p);
        ExFreeToNPagedLookasideList(&list, p);
    }
    ExDeleteNPagedLookasideList(&list);
}
BENCHMARK(BM_LookasideRoundTrip);

}  // namespace

BENCHMARK_MAIN();

// The vector entries per kernel family at 512, 4096 and 1M elements: the generic body and every
// processor-specific slot (the slot forced outside the timed loop), a plain loop built for the
// x86-64 baseline, a memcpy moving the same traffic (half the bytes the kernel reads plus writes),
// and, where the VOLK development package was found, VOLK's dispatched kernel and each of its
// implementations by name, all on the same 64-byte aligned buffers. A table of ratios closes the
// run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "primitives/Primitives.h"

#if KVX_BENCH_VOLK
#include <volk/volk.h>
#endif

namespace {

const int64_t kSizes[] = {512, 4096, 1 << 20};
const CpuTypeCode kSlotCodes[] = {CpuTypeNone, CpuTypeCode20, CpuTypeSsse3, CpuTypeSse41};
const char* const kSlotNames[] = {"generic", "slot1", "slot2", "slot3"};

// Four aligned arrays and a result, the values chosen so that repeated in-place calls neither grow
// nor shrink into subnormals.
class Buffers {
public:
    explicit Buffers(int64_t n) : m_n(n)
    {
        // Twice the elements: room for the memcpy of the same traffic (up to 8 bytes per element).
        for (auto& p : m_arrays) {
            p = static_cast<float*>(std::aligned_alloc(64, static_cast<size_t>((n * 8 + 63) / 64 * 64)));
        }
        for (int64_t i = 0; i < n; ++i) {
            a()[i] = 0.25f + static_cast<float>(i % 97) * 0.01f;
            b()[i] = -1.0f + static_cast<float>(i % 89) * 0.02f;
            c()[i] = (i % 3 == 0) ? -1.0f : 1.0f;
            d()[i] = 0.5f;
        }
    }
    ~Buffers()
    {
        for (auto* p : m_arrays) {
            std::free(p);
        }
    }
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;
    float* a() { return m_arrays[0]; }
    float* b() { return m_arrays[1]; }
    float* c() { return m_arrays[2]; }  // +-1: a multiplier that keeps values as they are
    float* d() { return m_arrays[3]; }
    int64_t Size() const { return m_n; }
    float result = 0.0f;
    uint32_t index = 0;

private:
    int64_t m_n;
    float* m_arrays[4] = {};
};

using Body = std::function<void(Buffers&, int32_t n)>;
using VolkBody = std::function<void(Buffers&, int32_t n, const char* impl)>;  // impl null: dispatched

// One kernel family: our entry, the plain loop, the bytes moved per element, and its VOLK peer.
struct Family {
    const char* name;
    int bytesPerElement;  // read plus written
    Body ours;
    Body plain;
    VolkBody volk;                          // may be empty
    std::function<std::vector<std::string>()> volkImpls;  // names of the peer's implementations
};

#if KVX_BENCH_VOLK
// The implementations of a VOLK kernel that this processor runs.
std::vector<std::string> Implementations(volk_func_desc_t desc)
{
    std::vector<std::string> names;
    for (size_t i = 0; i < desc.n_impls; ++i) {
        const std::string name = desc.impl_names[i];
        const auto needs = [&](const char* feature) { return name.find(feature) != std::string::npos; };
        const bool runs = !needs("neon") &&
                          (!needs("avx512") || __builtin_cpu_supports("avx512f")) &&
                          (!needs("avx2") || __builtin_cpu_supports("avx2")) &&
                          (!needs("fma") || __builtin_cpu_supports("fma")) &&
                          (!needs("avx") || __builtin_cpu_supports("avx")) &&
                          (!needs("sse4_1") || __builtin_cpu_supports("sse4.1")) &&
                          (!needs("ssse3") || __builtin_cpu_supports("ssse3")) &&
                          (!needs("sse3") || __builtin_cpu_supports("sse3"));
        if (runs) {
            names.push_back(name);
        }
    }
    return names;
}
#define KVX_VOLK_IMPLS(kernel) [] { return Implementations(kernel##_get_func_desc()); }
#define KVX_VOLK(call) call
#else
#define KVX_VOLK_IMPLS(kernel) std::function<std::vector<std::string>()>()
#define KVX_VOLK(call) VolkBody()
#endif

std::vector<Family> Families()
{
    return {
        {"Add", 12, [](Buffers& x, int32_t n) { Add(x.a(), x.b(), x.d(), n); },
         [](Buffers& x, int32_t n) {
             for (int32_t i = 0; i < n; ++i) {
                 x.d()[i] = x.a()[i] + x.b()[i];
             }
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_x2_add_32f_manual(x.d(), x.a(), x.b(), n, impl) : volk_32f_x2_add_32f(x.d(), x.a(), x.b(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_x2_add_32f)},
        {"Subtract", 12, [](Buffers& x, int32_t n) { Subtract(x.a(), x.b(), x.d(), n); },
         [](Buffers& x, int32_t n) {
             for (int32_t i = 0; i < n; ++i) {
                 x.d()[i] = x.b()[i] - x.a()[i];
             }
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_x2_subtract_32f_manual(x.d(), x.b(), x.a(), n, impl)
                  : volk_32f_x2_subtract_32f(x.d(), x.b(), x.a(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_x2_subtract_32f)},
        {"Multiply", 12, [](Buffers& x, int32_t n) { Multiply(x.a(), x.b(), x.d(), n); },
         [](Buffers& x, int32_t n) {
             for (int32_t i = 0; i < n; ++i) {
                 x.d()[i] = x.a()[i] * x.b()[i];
             }
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_x2_multiply_32f_manual(x.d(), x.a(), x.b(), n, impl)
                  : volk_32f_x2_multiply_32f(x.d(), x.a(), x.b(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_x2_multiply_32f)},
        {"MultiplyInPlace", 12, [](Buffers& x, int32_t n) { MultiplyInPlace(x.c(), x.b(), n); },
         [](Buffers& x, int32_t n) {
             for (int32_t i = 0; i < n; ++i) {
                 x.b()[i] = x.c()[i] * x.b()[i];
             }
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_x2_multiply_32f_manual(x.b(), x.c(), x.b(), n, impl)
                  : volk_32f_x2_multiply_32f(x.b(), x.c(), x.b(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_x2_multiply_32f)},
        {"MultiplyAccumulateByConstant", 12,
         [](Buffers& x, int32_t n) { MultiplyAccumulateByConstant(x.a(), 1e-30f, x.d(), n); },
         [](Buffers& x, int32_t n) {
             for (int32_t i = 0; i < n; ++i) {
                 x.d()[i] = x.a()[i] * 1e-30f + x.d()[i];
             }
         },
         // VOLK has no multiply-accumulate by a constant: a scaling into a scratch array, then an add.
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             if (impl) {
                 volk_32f_s32f_multiply_32f_manual(x.b(), x.a(), 1e-30f, n, impl);
                 volk_32f_x2_add_32f_manual(x.d(), x.d(), x.b(), n, impl);
             } else {
                 volk_32f_s32f_multiply_32f(x.b(), x.a(), 1e-30f, n);
                 volk_32f_x2_add_32f(x.d(), x.d(), x.b(), n);
             }
         }),
         KVX_VOLK_IMPLS(volk_32f_s32f_multiply_32f)},
        {"Square", 8, [](Buffers& x, int32_t n) { Square(x.a(), x.d(), n); },
         [](Buffers& x, int32_t n) {
             for (int32_t i = 0; i < n; ++i) {
                 x.d()[i] = x.a()[i] * x.a()[i];
             }
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_x2_multiply_32f_manual(x.d(), x.a(), x.a(), n, impl)
                  : volk_32f_x2_multiply_32f(x.d(), x.a(), x.a(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_x2_multiply_32f)},
        {"Divide", 12, [](Buffers& x, int32_t n) { Divide(x.a(), x.b(), x.d(), n); },
         [](Buffers& x, int32_t n) {
             for (int32_t i = 0; i < n; ++i) {
                 x.d()[i] = x.b()[i] / x.a()[i];
             }
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_x2_divide_32f_manual(x.d(), x.b(), x.a(), n, impl)
                  : volk_32f_x2_divide_32f(x.d(), x.b(), x.a(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_x2_divide_32f)},
        {"AbsoluteInPlace", 8, [](Buffers& x, int32_t n) { AbsoluteInPlace(x.b(), n); },
         [](Buffers& x, int32_t n) {
             for (int32_t i = 0; i < n; ++i) {
                 x.b()[i] = std::fabs(x.b()[i]);
             }
         },
         VolkBody(), {}},
        {"ReverseCopy", 8, [](Buffers& x, int32_t n) { ReverseCopy(x.a(), x.d(), n); },
         [](Buffers& x, int32_t n) {
             for (int32_t i = 0; i < n; ++i) {
                 x.d()[n - 1 - i] = x.a()[i];
             }
         },
         VolkBody(), {}},
        {"FillFloat", 4, [](Buffers& x, int32_t n) { FillFloat(0.75f, x.d(), n); },
         [](Buffers& x, int32_t n) {
             for (int32_t i = 0; i < n; ++i) {
                 x.d()[i] = 0.75f;
             }
         },
         VolkBody(), {}},
        {"ElementwiseMaximumInPlace", 12, [](Buffers& x, int32_t n) { ElementwiseMaximumInPlace(x.a(), x.d(), n); },
         [](Buffers& x, int32_t n) {
             for (int32_t i = 0; i < n; ++i) {
                 x.d()[i] = x.a()[i] > x.d()[i] ? x.a()[i] : x.d()[i];
             }
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_x2_max_32f_manual(x.d(), x.a(), x.d(), n, impl) : volk_32f_x2_max_32f(x.d(), x.a(), x.d(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_x2_max_32f)},
        {"ElementwiseMinimumInPlace", 12, [](Buffers& x, int32_t n) { ElementwiseMinimumInPlace(x.a(), x.d(), n); },
         [](Buffers& x, int32_t n) {
             for (int32_t i = 0; i < n; ++i) {
                 x.d()[i] = x.a()[i] < x.d()[i] ? x.a()[i] : x.d()[i];
             }
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_x2_min_32f_manual(x.d(), x.a(), x.d(), n, impl) : volk_32f_x2_min_32f(x.d(), x.a(), x.d(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_x2_min_32f)},
        {"Maximum", 4, [](Buffers& x, int32_t n) { Maximum(x.b(), n, &x.result); },
         [](Buffers& x, int32_t n) {
             float m = x.b()[0];
             for (int32_t i = 1; i < n; ++i) {
                 m = x.b()[i] > m ? x.b()[i] : m;
             }
             x.result = m;
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_index_max_32u_manual(&x.index, x.b(), n, impl) : volk_32f_index_max_32u(&x.index, x.b(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_index_max_32u)},
        {"Minimum", 4, [](Buffers& x, int32_t n) { Minimum(x.b(), n, &x.result); },
         [](Buffers& x, int32_t n) {
             float m = x.b()[0];
             for (int32_t i = 1; i < n; ++i) {
                 m = x.b()[i] < m ? x.b()[i] : m;
             }
             x.result = m;
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_index_min_32u_manual(&x.index, x.b(), n, impl) : volk_32f_index_min_32u(&x.index, x.b(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_index_min_32u)},
        {"Sum", 4, [](Buffers& x, int32_t n) { Sum(x.b(), n, &x.result, 0); },
         [](Buffers& x, int32_t n) {
             double s = 0.0;
             for (int32_t i = 0; i < n; ++i) {
                 s += x.b()[i];
             }
             x.result = static_cast<float>(s);
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_accumulator_s32f_manual(&x.result, x.b(), n, impl) : volk_32f_accumulator_s32f(&x.result, x.b(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_accumulator_s32f)},
        {"SumChunked", 4, [](Buffers& x, int32_t n) { Sum(x.b(), n, &x.result, 1); },
         [](Buffers& x, int32_t n) {
             float s = 0.0f;
             for (int32_t i = 0; i < n; ++i) {
                 s += x.b()[i];
             }
             x.result = s;
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_accumulator_s32f_manual(&x.result, x.b(), n, impl) : volk_32f_accumulator_s32f(&x.result, x.b(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_accumulator_s32f)},
        {"Mean", 4, [](Buffers& x, int32_t n) { Mean(x.b(), n, &x.result, 0); },
         [](Buffers& x, int32_t n) {
             double s = 0.0;
             for (int32_t i = 0; i < n; ++i) {
                 s += x.b()[i];
             }
             x.result = static_cast<float>(s / n);
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_accumulator_s32f_manual(&x.result, x.b(), n, impl) : volk_32f_accumulator_s32f(&x.result, x.b(), n);
             x.result /= static_cast<float>(n);
         }),
         KVX_VOLK_IMPLS(volk_32f_accumulator_s32f)},
        {"DotProduct", 8, [](Buffers& x, int32_t n) { DotProduct(x.a(), x.b(), n, &x.result); },
         [](Buffers& x, int32_t n) {
             float s = 0.0f;
             for (int32_t i = 0; i < n; ++i) {
                 s += x.a()[i] * x.b()[i];
             }
             x.result = s;
         },
         KVX_VOLK([](Buffers& x, int32_t n, const char* impl) {
             impl ? volk_32f_x2_dot_prod_32f_manual(&x.result, x.a(), x.b(), n, impl)
                  : volk_32f_x2_dot_prod_32f(&x.result, x.a(), x.b(), n);
         }),
         KVX_VOLK_IMPLS(volk_32f_x2_dot_prod_32f)},
    };
}

template <typename Run>
void Time(benchmark::State& state, Run run)
{
    Buffers buffers(state.range(0));
    const auto n = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        run(buffers, n);
        benchmark::DoNotOptimize(buffers.result);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Forces a slot for the life of the object, outside the timed loop.
class ForcedSlot {
public:
    ForcedSlot(benchmark::State& state, int slot) : m_saved(DispatchIndex)
    {
        if (ForceDispatchIndex(kSlotCodes[slot]) != StatusOk) {
            state.SkipWithError("slot not accepted");
        }
    }
    ~ForcedSlot() { DispatchIndex = m_saved; }
    ForcedSlot(const ForcedSlot&) = delete;
    ForcedSlot& operator=(const ForcedSlot&) = delete;

private:
    int32_t m_saved;
};

// Keeps every run's time per call, by name, for the closing table.
class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (!run.error_occurred && run.iterations > 0) {
                m_ns[run.benchmark_name()] = run.GetAdjustedCPUTime();  // steadier on a shared machine
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Ns(const std::string& name) const
    {
        const auto it = m_ns.find(name);
        return it == m_ns.end() ? 0.0 : it->second;
    }
    std::vector<std::string> Names(const std::string& prefix) const
    {
        std::vector<std::string> names;
        for (const auto& [name, ns] : m_ns) {
            if (name.rfind(prefix, 0) == 0) {
                names.push_back(name);
            }
        }
        return names;
    }

private:
    std::map<std::string, double> m_ns;
};

// The registered name; the size follows it as the benchmark's argument.
std::string Name(const char* family, const std::string& what)
{
    return std::string(family) + "/" + what;
}

std::string Key(const char* family, const std::string& what, int64_t size)
{
    return Name(family, what) + "/" + std::to_string(size);
}

void PrintRatios(const Recorder& r, const std::vector<Family>& families)
{
    std::printf("\nBest slot against its references (time ratios; below 1 is faster than the reference)\n");
    std::printf("%-30s %8s %5s %8s %8s %8s %9s %9s %9s\n", "family", "size", "slot", "ns", "/memcpy", "/generic",
                "/plain", "/volkSSE", "/volk");
    for (const Family& f : families) {
        for (int64_t size : kSizes) {
            double best = 0.0;
            int bestSlot = 0;
            for (int slot = 1; slot <= 3; ++slot) {
                const double ns = r.Ns(Key(f.name, kSlotNames[slot], size));
                if (ns > 0.0 && (best == 0.0 || ns < best)) {
                    best = ns;
                    bestSlot = slot;
                }
            }
            if (best == 0.0) {
                continue;
            }
            // VOLK's best SSE-family implementation and its dispatched kernel.
            double volkSse = 0.0;
            for (const std::string& name : r.Names(std::string(f.name) + "/volk:")) {
                const std::string impl = name.substr(name.find(':') + 1);
                if (impl.find("sse") != std::string::npos && name.size() > 2 &&
                    name.substr(name.rfind('/') + 1) == std::to_string(size)) {
                    const double ns = r.Ns(name);
                    volkSse = volkSse == 0.0 ? ns : std::min(volkSse, ns);
                }
            }
            const auto ratio = [&](double reference) { return reference > 0.0 ? best / reference : 0.0; };
            std::printf("%-30s %8lld %5d %8.1f %8.2f %8.2f %9.2f %9.2f %9.2f\n", f.name, static_cast<long long>(size),
                        bestSlot, best, ratio(r.Ns(Key(f.name, "memcpy", size))), ratio(r.Ns(Key(f.name, "generic", size))),
                        ratio(r.Ns(Key(f.name, "plain", size))), ratio(volkSse), ratio(r.Ns(Key(f.name, "volk", size))));
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<Family> families = Families();
    for (const Family& f : families) {
        for (int64_t size : kSizes) {
            for (int slot = 0; slot <= 3; ++slot) {
                benchmark::RegisterBenchmark(Name(f.name, kSlotNames[slot]).c_str(), [&f, slot](benchmark::State& state) {
                    ForcedSlot forced(state, slot);
                    Time(state, f.ours);
                })->Arg(size);
            }
            benchmark::RegisterBenchmark(Name(f.name, "plain").c_str(), [&f](benchmark::State& state) {
                Time(state, f.plain);
            })->Arg(size);
            const int64_t bytes = size * f.bytesPerElement / 2;
            benchmark::RegisterBenchmark(Name(f.name, "memcpy").c_str(), [bytes](benchmark::State& state) {
                Time(state, [bytes](Buffers& x, int32_t) { std::memcpy(x.d(), x.a(), static_cast<size_t>(bytes)); });
            })->Arg(size);
            if (f.volk) {
                benchmark::RegisterBenchmark(Name(f.name, "volk").c_str(), [&f](benchmark::State& state) {
                    Time(state, [&f](Buffers& x, int32_t n) { f.volk(x, n, nullptr); });
                })->Arg(size);
                for (const std::string& impl : f.volkImpls()) {
                    benchmark::RegisterBenchmark(Name(f.name, "volk:" + impl).c_str(), [&f, impl](benchmark::State& state) {
                        Time(state, [&f, &impl](Buffers& x, int32_t n) { f.volk(x, n, impl.c_str()); });
                    })->Arg(size);
                }
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    PrintRatios(recorder, families);
    benchmark::Shutdown();
    return 0;
}

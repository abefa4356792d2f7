// StreamEngine::ProcessBuffer on the buffers the transfer ring hands it: PCM to per-channel float,
// one processing node that leaves the samples alone, float back to PCM, at DISPATCH_LEVEL.
// Arguments: frames per buffer, channels, bits per sample.
#include <benchmark/benchmark.h>

#include <vector>

#include "adapter/StreamEngine.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Machine.h"

namespace {

class PassNode : public UnknownBase, public IProcessingNode {
public:
    DECLARE_UNKNOWN_BASE()
    PassNode() : UnknownBase(nullptr) {}
    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WaveFormatRecord*) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    NTSTATUS Process(const WaveFormatRecord*, PVOID data, ULONG) override
    {
        benchmark::DoNotOptimize(data);
        return STATUS_SUCCESS;
    }
    NTSTATUS Reset() override { return STATUS_SUCCESS; }
};

NTSTATUS PassNode::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    return UnknownBase::NonDelegatingQueryInterface(iid, ppvObject);
}

void BM_ProcessBuffer(benchmark::State& state)
{
    platform::MachineReset();
    const auto frames = static_cast<ULONG>(state.range(0));
    const auto channels = static_cast<USHORT>(state.range(1));
    const auto bits = static_cast<USHORT>(state.range(2));
    auto* engine = new (NonPagedPoolNx, STREAM_ENGINE_TAG) StreamEngine(nullptr, 1);
    engine->NonDelegatingAddRef();
    engine->Init(FALSE);
    engine->AllocateProcessingBuffers();
    auto* node = new (NonPagedPoolNx, STREAM_ENGINE_TAG) PassNode();
    node->NonDelegatingAddRef();
    engine->AddNode(node);
    WaveFormatRecord& f = engine->m_CurrentWaveFormat;
    f.Format.wFormatTag = WAVE_FORMAT_PCM;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = 48000;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<USHORT>(channels * bits / 8);
    f.Format.nAvgBytesPerSec = 48000u * f.Format.nBlockAlign;
    std::vector<uint8_t> buffer(static_cast<size_t>(frames) * f.Format.nBlockAlign);
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 37);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine->ProcessBuffer(buffer.data(), static_cast<ULONG>(buffer.size())));
    }
    KeLowerIrql(old);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * frames);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buffer.size()));
    node->Release();
    engine->Release();
}

// 5 ms of 48 kHz stereo (one wave-stream transfer), a 1,300-frame buffer, and 8 channels.
BENCHMARK(BM_ProcessBuffer)
    ->Args({240, 2, 16})
    ->Args({240, 2, 24})
    ->Args({1300, 2, 16})
    ->Args({1300, 2, 24})
    ->Args({1300, 8, 32});

}  // namespace

BENCHMARK_MAIN();

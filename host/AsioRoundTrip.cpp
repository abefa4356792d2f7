// The host's ASIO client measuring its round trip: an impulse out, found again in the input.
#include <atomic>
#include <memory>
#include <cstring>

#include "host/AsioSession.h"
#include "platform/nt/Clock.h"

namespace host {
namespace {

constexpr uint64_t QUIET_FRAMES = 16;

}  // namespace

NTSTATUS AsioSession::MeasureRoundTrip(const std::vector<AsioBufferView*>& buffers, uint32_t sampleBytes,
                                       uint32_t frames, uint64_t at, std::chrono::milliseconds limit,
                                       RoundTrip* result)
{
    *result = {};
    size_t output = SIZE_MAX;
    size_t input = SIZE_MAX;
    for (size_t i = 0; i < buffers.size(); ++i) {
        if (buffers[i] == nullptr || buffers[i]->Enable == 0) continue;
        size_t& slot = buffers[i]->Direction == 0 ? output : input;
        slot = slot == SIZE_MAX ? i : slot;
    }
    if (output == SIZE_MAX || input == SIZE_MAX || sampleBytes == 0 || sampleBytes > 4) {
        return STATUS_INVALID_PARAMETER;
    }
    const uint32_t outFrame = buffers[output]->Channels * sampleBytes;
    const uint32_t inFrame = buffers[input]->Channels * sampleBytes;
    auto found = std::make_shared<std::atomic<int64_t>>(-1);
    const uint32_t lead = LeadFrames(buffers, sampleBytes, frames);
    StreamHooks hooks;
    // Output frame X of the host's clock is output frame X + lead of the buffer.
    hooks.Render = [output, outFrame, sampleBytes, at, lead](size_t index, uint64_t frame, uint8_t* data,
                                                              size_t bytes) {
        const uint64_t target = at + lead;
        if (index != output || target < frame || target >= frame + bytes / outFrame) return;
        uint8_t* sample = data + (target - frame) * outFrame;  // channel 0, full scale
        std::memset(sample, 0xFF, sampleBytes - 1);
        sample[sampleBytes - 1] = 0x7F;
    };
    // The impulse: a sample above half scale after at least QUIET_FRAMES samples below 1/16 of
    // it (what comes back of the silence around it), so that a signal the input carries of its
    // own is not taken for it.
    auto quiet = std::make_shared<uint64_t>(0);
    hooks.Capture = [input, inFrame, sampleBytes, found, quiet](size_t index, uint64_t frame, const uint8_t* data,
                                                                size_t bytes) {
        if (index != input || found->load() >= 0) return;
        for (size_t k = 0; k < bytes / inFrame; ++k) {
            const auto top = static_cast<int8_t>(data[k * inFrame + sampleBytes - 1]);
            const int magnitude = top < 0 ? -(top + 1) : top;  // 0 .. 127
            if (magnitude >= 0x40 && *quiet >= QUIET_FRAMES) {
                found->store(static_cast<int64_t>(frame + k));
                return;
            }
            *quiet = magnitude < 0x08 ? *quiet + 1 : 0;
        }
    };
    NTSTATUS status = StartStreaming(buffers, sampleBytes, frames, hooks);
    if (!NT_SUCCESS(status)) return status;
    result->LeadFrames = lead;
    platform::RunUntil([&] { return found->load() >= 0; }, limit);
    result->Stats = Stats();
    status = StopStreaming();
    const int64_t y = found->load();
    if (y >= 0) {
        result->Found = true;
        result->OutputFrame = at;
        result->InputFrame = static_cast<uint64_t>(y);
        result->Frames = y - static_cast<int64_t>(at);
    }
    return status;
}

}  // namespace host

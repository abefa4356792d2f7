// Test-only: one render stream of a UAC2 endpoint with explicit feedback over the simulated headset,
// the feedback endpoint answering from a script of arbitrary values, short, empty and failed
// packets. Whatever the device reports, every data packet stays within wMaxPacketSize and the
// transfer buffer, carries whole frames of the client's audio in order, and the measured rate stays
// within reach of the nominal one. Shared by the libFuzzer target and the GoogleTest replay.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/nt/Clock.h"
#include "sim/SimDevice.h"
#include "stream/Uac2RenderEndpoint.h"
#include "tests/sim/Uac2Fixtures.h"
#include "tests/stream/Uac2Owner.h"
#include "tests/support/DeviceObjectHarness.h"
#include "adapter/AudioHal.h"
#include "topology/ClockEntity.h"
#include "usb/UsbAudioDevice.h"

namespace kvxfuzz {

constexpr size_t FEEDBACK_FUZZ_MAX_BYTES = 4096;
constexpr ULONG FEEDBACK_FUZZ_CLOCK_ID = 1;

// The render client: the counting pattern, byte n of the stream is n mod 251.
struct FeedbackFuzzClient {
    EndpointClient* Record = nullptr;
    uint64_t Written = 0;
    static VOID Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto* self = static_cast<FeedbackFuzzClient*>(context);
        auto* message = static_cast<TransportMessage*>(argument1);
        if (self->Record == nullptr || message->Client != self->Record ||
            message->Event != TRANSPORT_EVENT_FILL_RENDER) {
            return;
        }
        auto* data = static_cast<uint8_t*>(message->Data.Buffer);
        for (ULONG i = 0; i < message->Data.Bytes; ++i) {
            data[i] = static_cast<uint8_t>(self->Written++ % 251);
        }
    }
};

// Input: byte 0 bit 0 high speed, bits 1-3 ms per transfer - 1, bits 4-5 the rate; byte 1 the
// transfers queued - 2 (low two bits); then feedback packets, each a header byte (bits 0-1: 0 or
// 3 a value, 1 empty, 2 failed; bits 2-4: its length) and that many bytes.
inline std::vector<sim::ScriptedFeedback> FeedbackScript(const uint8_t* data, size_t size)
{
    std::vector<sim::ScriptedFeedback> script;
    for (size_t at = 0; at < size;) {
        const uint8_t head = data[at++];
        sim::ScriptedFeedback packet;
        const size_t length = std::min<size_t>((head >> 2) & 7, size - at);
        switch (head & 3) {
        case 1: packet.What = sim::ScriptedFeedback::Kind::Empty; break;
        case 2: packet.What = sim::ScriptedFeedback::Kind::Fail; break;
        default:
            packet.What = sim::ScriptedFeedback::Kind::Value;
            packet.Data.assign(data + at, data + at + length);
            at += length;
            break;
        }
        script.push_back(std::move(packet));
    }
    return script;
}

inline bool RunFeedbackOnce(const uint8_t* data, size_t size)
{
    if (size < 2 || size > FEEDBACK_FUZZ_MAX_BYTES) {
        return true;
    }
    const bool highSpeed = (data[0] & 1) != 0;
    const ULONG ms = 1 + ((data[0] >> 1) & 7);
    static constexpr ULONG RATES[] = {44100, 48000, 96000, 44100};
    ULONG rate = RATES[(data[0] >> 4) & 3];
    if (!highSpeed && rate > 48000) {
        rate = 48000;
    }
    const ULONG queued = 2 + (data[1] & 3);
    const auto script = FeedbackScript(data + 2, size - 2);

    using Id = kvxtest::Uac2HeadsetIds;
    const sim::DescriptorBuilder builder = kvxtest::Uac2Headset(highSpeed);
    auto device = std::make_unique<sim::SimDevice>(builder.DeviceDescriptor(), builder.Configuration(), highSpeed);
    device->ScriptFeedback(Id::FeedbackEndpoint, script);
    sim::SimDevice& wire = *device;
    kvxtest::DeviceObjectHarness harness;
    if (!harness.Plug(std::move(device))) {
        return true;
    }
    harness.Start();
    bool ok = harness.Usb() != nullptr;
    if (ok) {
        UsbAudioDevice* usb = harness.Usb();
        PDEVICE_OBJECT fdo = harness.Fdo();
        PDEVICE_OBJECT pdo = harness.Pdo();
        auto* owner = new (NonPagedPoolNx, MakePoolTag("Fown")) kvxtest::Uac2Owner(static_cast<IUsbDevice*>(usb));
        owner->GetNonDelegatingUnknown()->AddRef();
        ok = NT_SUCCESS(owner->Init(nullptr, fdo, pdo, pdo));
        // The clock the interface is fed by, as the parser registers it.
        auto* clock = new (NonPagedPoolNx, MakePoolTag("Fclk")) ClockEntity(nullptr, FEEDBACK_FUZZ_CLOCK_ID);
        clock->GetNonDelegatingUnknown()->AddRef();
        ok = ok && NT_SUCCESS(owner->AddEntity(clock));
        clock->GetNonDelegatingUnknown()->Release();

        auto* endpoint = new (NonPagedPoolNx, UAC2_ENDPOINT_TAG) Uac2RenderEndpoint(nullptr, 1, 0, FEEDBACK_FUZZ_CLOCK_ID);
        endpoint->GetNonDelegatingUnknown()->AddRef();
        WaveFormatRecord format{};
        format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format.Format.nChannels = 2;
        format.Format.nSamplesPerSec = rate;
        format.Format.nBlockAlign = 4;
        format.Format.nAvgBytesPerSec = rate * 4;
        format.Format.wBitsPerSample = 16;
        format.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
        format.Samples.wValidBitsPerSample = 16;
        format.dwChannelMask = 3;
        format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        FeedbackFuzzClient client;
        ok = ok && NT_SUCCESS(endpoint->Init(FALSE, static_cast<IAudioHal*>(owner))) &&
             NT_SUCCESS(endpoint->AddFormat(&format, 1)) &&
             NT_SUCCESS(endpoint->RegisterClient(CLIENT_KIND_WAVE_STREAM, &format, ms, queued,
                                                 FeedbackFuzzClient::Callback, &client, &client.Record));
        LONG lowest = static_cast<LONG>(rate), highest = static_cast<LONG>(rate);
        if (ok) {
            PVOID handle = client.Record->Registration;
            ULONG msPerTransfer = 0, frame = 0;
            ok = NT_SUCCESS(endpoint->ClientStart(handle, &msPerTransfer, &frame)) &&
                 NT_SUCCESS(endpoint->ClientRun(handle, frame + 2, &msPerTransfer, nullptr));
            const size_t steps = ok ? script.size() / ms + 4 : 0;
            for (size_t i = 0; i < steps && i < 200; ++i) {
                platform::RunFor(std::chrono::milliseconds(ms));
                lowest = std::min(lowest, endpoint->GetCurrentRate());
                highest = std::max(highest, endpoint->GetCurrentRate());
            }
            // The client leaves from wherever it got.
            endpoint->ClientPause(handle, nullptr);
            endpoint->ClientStop(handle);
            ok = NT_SUCCESS(endpoint->UnregisterClient(handle)) && ok;
            client.Record = nullptr;
        }
        // A deviation the decoder keeps is at most 1,000 and doubled at most once.
        ok = ok && lowest >= static_cast<LONG>(rate) - 2000 && highest <= static_cast<LONG>(rate) + 2000;
        // Packets: whole frames, within the endpoint's wMaxPacketSize and the buffer's share, and
        // together exactly the client's bytes in order.
        const ULONG perMs = highSpeed ? 8 : 1;
        const ULONG framesPerMs = rate / 1000;
        const ULONG share = (framesPerMs - framesPerMs % perMs + perMs) / perMs * 4;
        const ULONG maxPacket = (highSpeed ? 96000 / 8000 + 1 : 48000 / 1000 + 1) * 4;
        uint64_t offset = 0;
        for (const sim::WirePacket& packet : wire.Wire(Id::RenderEndpoint)) {
            ok = ok && packet.Data.size() % 4 == 0 && packet.Data.size() <= share && packet.Data.size() <= maxPacket;
            for (uint8_t b : packet.Data) {
                ok = ok && b == static_cast<uint8_t>(offset++ % 251);
            }
        }
        ok = ok && offset == client.Written && endpoint->GetOutstandingTransfers() == 0;
        endpoint->GetNonDelegatingUnknown()->Release();
        owner->GetNonDelegatingUnknown()->Release();
    }
    harness.ReleaseDevice(true);
    ok = ok && (harness.Bus() == nullptr || harness.Bus()->PendingCount() == 0);
    harness.Stop();
    return ok;
}

}  // namespace kvxfuzz

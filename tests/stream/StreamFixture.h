// Test-only: streaming endpoints built on a UsbAudioDevice over a simulated UAC1 device (the
// endpoints' owner), and client doubles that listen on an endpoint's callback object the way the
// wave stream (kind 3) and the ASIO client (kind 5) do.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/io/IoHost.h"
#include "platform/nt/Clock.h"
#include "platform/nt/PoolHost.h"
#include "platform/registry/RegistryHost.h"
#include "stream/Uac1CaptureEndpoint.h"
#include "stream/Uac1RenderEndpoint.h"
#include "tests/platform/usb/BusFixture.h"
#include "tests/support/DeviceObjectHarness.h"
#include "usb/UsbAudioDevice.h"

namespace kvxtest {

// A PCM format record as the parsers list them (extensible, PCM subformat).
inline WaveFormatRecord PcmFormat(ULONG rate, USHORT channels = 2, USHORT bits = 16, USHORT container = 0)
{
    WaveFormatRecord f{};
    const USHORT bytes = static_cast<USHORT>((container != 0 ? container : bits) / 8);
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = static_cast<USHORT>(channels * bytes);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = static_cast<USHORT>(bytes * 8);
    f.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
    f.Samples.wValidBitsPerSample = bits;
    f.dwChannelMask = channels == 2 ? 3 : 4;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

// What one client saw of the endpoint's messages (only those addressed to its own record).
struct ClientDouble {
    ULONG Kind = CLIENT_KIND_WAVE_STREAM;
    EndpointClient* Record = nullptr;
    std::mutex Lock;
    uint64_t BytesMoved = 0;      // sum of TransportEvent 1
    uint64_t Written = 0;         // bytes of the counting pattern written for TransportEvent 3
    std::vector<uint8_t> Captured;  // TransportEvent 4 data, in order
    std::vector<ULONG> FormatEvents;  // ms per transfer (with bit 31) of each TransportEvent 2
    std::atomic<int> Fills{0};
    bool AcceptUnaddressed = false;  // also take messages sent while no client runs

    // The counting pattern: byte n of the render stream is n mod 251 (a prime, so a lost or
    // repeated packet shows at once).
    static uint8_t Pattern(uint64_t n) { return static_cast<uint8_t>(n % 251); }

    static VOID Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto* self = static_cast<ClientDouble*>(context);
        auto* message = static_cast<TransportMessage*>(argument1);
        const bool addressed = message->Client == self->Record || (self->AcceptUnaddressed && message->Client == nullptr);
        if (self->Record == nullptr || !addressed) {
            return;
        }
        std::lock_guard<std::mutex> guard(self->Lock);
        switch (message->Event) {
        case TRANSPORT_EVENT_BYTES_MOVED: self->BytesMoved += message->BytesMoved; break;
        case TRANSPORT_EVENT_FORMAT: self->FormatEvents.push_back(message->Format.MsPerTransfer); break;
        case TRANSPORT_EVENT_FILL_RENDER: {
            auto* data = static_cast<uint8_t*>(message->Data.Buffer);
            for (ULONG i = 0; i < message->Data.Bytes; ++i) {
                data[i] = Pattern(self->Written++);
            }
            self->Fills++;
            break;
        }
        case TRANSPORT_EVENT_CAPTURE_DATA: {
            auto* data = static_cast<uint8_t*>(message->Data.Buffer);
            self->Captured.insert(self->Captured.end(), data, data + message->Data.Bytes);
            break;
        }
        default: break;
        }
    }
};

// The render stream that reached the device is exactly the client's counting pattern.
inline void ExpectPattern(const std::vector<uint8_t>& wire, uint64_t written)
{
    ASSERT_GT(wire.size(), 0u);
    ASSERT_LE(wire.size(), written);
    for (size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] != ClientDouble::Pattern(i)) {
            FAIL() << "first difference at byte " << i;
        }
    }
}

class StreamFixture : public BusFixture {
protected:
    // Brings a device up under a UsbAudioDevice; `builder` defaults to the bus tests' UAC1 device
    // (render on interface 1, endpoint 0x01; capture on interface 2, endpoint 0x82).
    void Start(const sim::DescriptorBuilder& builder, std::optional<bool> highSpeed = std::nullopt)
    {
        Plug(builder, highSpeed);
        m_harness.Start(*m_device, m_bus->Pdo());
        m_fdo = m_harness.Fdo();
        m_usb = m_harness.Usb();
        ASSERT_NE(m_usb, nullptr);
        ASSERT_TRUE(m_usb->IsPresent());
        DeclareLockOrder();
    }
    void SetUp() override { Start(Uac1Device()); }

    static void DeclareLockOrder()
    {
        platform::LockOrderDeclare("EndpointTransportLock", "EndpointSubmitLock");
        platform::LockOrderDeclare("EndpointSubmitLock", "UrbContextLock");
        platform::LockOrderDeclare("EndpointSubmitLock", "StreamEngineLock");
        platform::LockOrderDeclare("EndpointRingLock", "StreamEngineLock");
    }

    void TearDown() override
    {
        for (UsbStreamEndpoint*& endpoint : m_endpoints) {
            if (endpoint != nullptr) {
                endpoint->GetNonDelegatingUnknown()->Release();
                endpoint = nullptr;
            }
        }
        if (m_usb != nullptr) {
            EXPECT_EQ(m_usb->BusyCount(), 0);
        }
        // A port reset restarts the function's status thread, which holds the device: stop it, as
        // removal does, before the device and its bus go.
        m_harness.Stop(true);
        m_usb = nullptr;
        m_fdo = nullptr;
        BusFixture::TearDown();
    }

    PUNKNOWN Owner() { return static_cast<IAudioHal*>(m_usb); }

    // An initialised endpoint with the formats listed on alternate setting 1.
    template <typename T>
    T* NewEndpoint(ULONG interfaceNumber, std::initializer_list<WaveFormatRecord> formats, UCHAR alternate = 1)
    {
        auto* endpoint = new (NonPagedPoolNx, UAC1_ENDPOINT_TAG) T(nullptr, interfaceNumber, 0);
        endpoint->GetNonDelegatingUnknown()->AddRef();
        m_endpoints.push_back(endpoint);
        constexpr bool capture = std::is_base_of_v<Uac1CaptureEndpoint, T>;
        EXPECT_EQ(endpoint->Init(capture ? TRUE : FALSE, Owner()), STATUS_SUCCESS);
        // The verifier checks the streaming path's lock order on every acquisition.
        platform::LockSetName(endpoint->GetTransportLock().GetMutex(), "EndpointTransportLock");
        platform::LockSetName(endpoint->GetSubmitLock(), "EndpointSubmitLock");
        platform::LockSetName(endpoint->GetUrbContextLock(), "UrbContextLock");
        platform::LockSetName(endpoint->GetStreamEngineLock(), "StreamEngineLock");
        if constexpr (capture) {
            platform::LockSetName(endpoint->GetRingLock(), "EndpointRingLock");
        }
        for (const WaveFormatRecord& f : formats) {
            EXPECT_EQ(endpoint->AddFormat(&f, alternate), STATUS_SUCCESS);
        }
        return endpoint;
    }
    Uac1RenderEndpoint* Render(std::initializer_list<WaveFormatRecord> formats = {PcmFormat(48000), PcmFormat(44100)})
    {
        return NewEndpoint<Uac1RenderEndpoint>(1, formats);
    }
    Uac1CaptureEndpoint* Capture(std::initializer_list<WaveFormatRecord> formats = {PcmFormat(48000)})
    {
        return NewEndpoint<Uac1CaptureEndpoint>(2, formats);
    }
    // Releases an endpoint the test made, before the fixture's own teardown.
    void Drop(UsbStreamEndpoint* endpoint)
    {
        for (UsbStreamEndpoint*& e : m_endpoints) {
            if (e == endpoint) {
                e->GetNonDelegatingUnknown()->Release();
                e = nullptr;
            }
        }
    }

    // Registers a client double on the endpoint.
    NTSTATUS Register(UsbStreamEndpoint* endpoint, ClientDouble& client, WaveFormatRecord format, ULONG ms, ULONG queued)
    {
        return endpoint->RegisterClient(client.Kind, &format, ms, queued, ClientDouble::Callback, &client,
                                        &client.Record);
    }
    // Register, start and run (at the reported frame + 2), as the wave stream does.
    void Play(UsbStreamEndpoint* endpoint, ClientDouble& client, WaveFormatRecord format, ULONG ms = 5, ULONG queued = 3)
    {
        ASSERT_EQ(Register(endpoint, client, format, ms, queued), STATUS_SUCCESS);
        ULONG msPerTransfer = 0, frame = 0;
        ASSERT_EQ(endpoint->ClientStart(client.Record->Registration, &msPerTransfer, &frame), STATUS_SUCCESS);
        ASSERT_EQ(endpoint->ClientRun(client.Record->Registration, frame + 2, &msPerTransfer, nullptr), STATUS_SUCCESS);
    }
    // Pause, stop and unregister.
    void Finish(UsbStreamEndpoint* endpoint, ClientDouble& client)
    {
        PVOID handle = client.Record->Registration;
        endpoint->ClientPause(handle, nullptr);
        EXPECT_EQ(endpoint->ClientStop(handle), STATUS_SUCCESS);
        EXPECT_EQ(endpoint->UnregisterClient(handle), STATUS_SUCCESS);
        client.Record = nullptr;
    }

    // The bytes the device received on an OUT endpoint, in wire order.
    std::vector<uint8_t> WireBytes(uint8_t endpoint)
    {
        std::vector<uint8_t> bytes;
        for (const auto& packet : m_device->Wire(endpoint)) {
            bytes.insert(bytes.end(), packet.Data.begin(), packet.Data.end());
        }
        return bytes;
    }

    DeviceObjectHarness m_harness;
    PDEVICE_OBJECT m_fdo = nullptr;
    UsbAudioDevice* m_usb = nullptr;
    std::vector<UsbStreamEndpoint*> m_endpoints;
};

}  // namespace kvxtest

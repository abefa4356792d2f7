// Test-only: UAC2 streaming endpoints over the simulated UAC2 headset. Their owner stands in for
// the UAC2 function: an AudioHal whose entity registry holds the headset's clock source entity,
// the way the UAC2 parser leaves it, and which answers IUsbDevice through the device object.
#pragma once

#include "stream/Uac2CaptureEndpoint.h"
#include "stream/Uac2RenderEndpoint.h"
#include "tests/sim/Uac2Fixtures.h"
#include "tests/stream/StreamFixture.h"
#include "tests/topology/UsbUnitFixture.h"
#include "topology/ClockSource.h"

namespace kvxtest {

constexpr ULONG TEST_CLOCK_TAG = MakePoolTag("Tclk");

// A UAC2 render interface whose only endpoint is its data endpoint (no explicit feedback), or,
// with `secondOut`, one with a second isochronous OUT endpoint where the feedback endpoint would be.
inline sim::DescriptorBuilder Uac2RenderOnly(bool highSpeed, bool secondOut = false)
{
    using Id = Uac2HeadsetIds;
    sim::DescriptorBuilder b({0x1234, 0x5730, 0x0100, 0x0200, 1, 2, 0});
    b.InterfaceAssociation(0, 2)
        .AudioControl(0, 0x20, {}, 0x01)
        .Uac2ClockSource(Id::Clock, 0x03, 0x07)
        .Uac2InputTerminal(Id::StreamIn, 0x0101, Id::Clock, 2, 0x3)
        .Uac2OutputTerminal(Id::Headphones, 0x0302, Id::StreamIn, Id::Clock)
        .AudioStreaming(1, 0, 0x20)
        .AudioStreaming(1, 1, 0x20)
        .Uac2AsGeneral(Id::StreamIn, 2, 0x3)
        .Uac2FormatTypeI(2, 16);
    if (secondOut) {
        b.Endpoint(0x02, 0x05, highSpeed ? 28 : 196, 1, false);
    }
    b.Endpoint(Id::RenderEndpoint, 0x09, highSpeed ? 28 : 196, 1, false).Uac2AsEndpoint();
    return b;
}

class Uac2StreamFixture : public StreamFixture {
protected:
    using Id = Uac2HeadsetIds;

    // The headset (or another UAC2 device) with the clock source's rates and its unit built.
    void StartUac2(const sim::DescriptorBuilder& builder, bool highSpeed,
                   std::vector<uint32_t> rates = {44100, 48000, 96000})
    {
        Start(builder, highSpeed);
        if (HasFatalFailure()) {
            return;
        }
        m_device->SetClockRates(Id::Clock, std::move(rates));
        platform::LockOrderDeclare("EndpointSubmitLock", "FeedbackLock");
        m_owner = new (NonPagedPoolNx, TEST_OWNER_TAG) TestOwner();
        m_owner->GetNonDelegatingUnknown()->AddRef();
        m_owner->Bind(static_cast<IUsbDevice*>(m_usb));
        ASSERT_EQ(m_owner->Init(nullptr, m_fdo, m_bus->Pdo(), m_bus->Pdo()), STATUS_SUCCESS);
        m_clock = new (NonPagedPoolNx, TEST_CLOCK_TAG) ClockSource(nullptr, 0);
        m_clock->GetNonDelegatingUnknown()->AddRef();
        const UCHAR descriptor[] = {8, 0x24, 0x0A, Id::Clock, 0x03, 0x07, 1, 0};
        ASSERT_EQ(m_clock->InitFromDescriptor(descriptor, m_owner->Hal(), m_owner->Hal()), STATUS_SUCCESS);
        ASSERT_EQ(m_clock->GetFirstEntityId(&m_clockEntity), STATUS_SUCCESS);
    }
    void SetUp() override { StartUac2(Uac2Headset(true), true); }
    void TearDown() override
    {
        for (UsbStreamEndpoint*& endpoint : m_endpoints) {
            if (endpoint != nullptr) {
                endpoint->GetNonDelegatingUnknown()->Release();
                endpoint = nullptr;
            }
        }
        if (m_clock != nullptr) {
            m_clock->GetNonDelegatingUnknown()->Release();
            m_clock = nullptr;
        }
        if (m_owner != nullptr) {
            m_owner->GetNonDelegatingUnknown()->Release();
            m_owner = nullptr;
        }
        StreamFixture::TearDown();
    }

    template <typename T>
    T* NewUac2(ULONG interfaceNumber, std::initializer_list<std::pair<WaveFormatRecord, UCHAR>> formats,
               std::optional<ULONG> clockEntity = std::nullopt)
    {
        auto* endpoint = new (NonPagedPoolNx, UAC2_ENDPOINT_TAG)
            T(nullptr, interfaceNumber, 0, clockEntity.value_or(m_clockEntity));
        endpoint->GetNonDelegatingUnknown()->AddRef();
        m_endpoints.push_back(endpoint);
        constexpr bool capture = std::is_base_of_v<Uac1CaptureEndpoint, T>;
        EXPECT_EQ(endpoint->Init(capture ? TRUE : FALSE, m_owner->Hal()), STATUS_SUCCESS);
        platform::LockSetName(endpoint->GetTransportLock().GetMutex(), "EndpointTransportLock");
        platform::LockSetName(endpoint->GetSubmitLock(), "EndpointSubmitLock");
        platform::LockSetName(endpoint->GetUrbContextLock(), "UrbContextLock");
        platform::LockSetName(endpoint->GetStreamEngineLock(), "StreamEngineLock");
        if constexpr (capture) {
            platform::LockSetName(endpoint->GetRingLock(), "EndpointRingLock");
        } else {
            platform::LockSetName(endpoint->GetFeedbackLock(), "FeedbackLock");
        }
        for (const auto& [format, alternate] : formats) {
            EXPECT_EQ(endpoint->AddFormat(&format, alternate), STATUS_SUCCESS);
        }
        return endpoint;
    }
    // The headset's render interface: 16-bit stereo on setting 1, 24-in-32 on setting 2.
    template <typename T = Uac2RenderEndpoint>
    T* Render2(std::optional<ULONG> clockEntity = std::nullopt)
    {
        return NewUac2<T>(1,
                          {{PcmFormat(48000), 1},
                           {PcmFormat(44100), 1},
                           {PcmFormat(96000), 1},
                           {PcmFormat(48000, 2, 24, 32), 2}},
                          clockEntity);
    }
    template <typename T = Uac2CaptureEndpoint>
    T* Capture2(std::optional<ULONG> clockEntity = std::nullopt)
    {
        return NewUac2<T>(2, {{PcmFormat(48000, 1), 1}, {PcmFormat(44100, 1), 1}}, clockEntity);
    }

    // Register and start: the format is prepared, nothing streams.
    NTSTATUS Prepare(UsbStreamEndpoint* endpoint, ClientDouble& client, WaveFormatRecord format, ULONG ms = 5,
                     ULONG queued = 3)
    {
        NTSTATUS status = Register(endpoint, client, format, ms, queued);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        ULONG msPerTransfer = 0, frame = 0;
        return endpoint->ClientStart(client.Record->Registration, &msPerTransfer, &frame);
    }
    // An asynchronous sink on the render endpoint, playing on the device clock.
    void AsyncSink(ULONG rate, ULONG frameBytes = 4)
    {
        sim::SinkConfig sink;
        sink.Sync = sim::SinkSync::Asynchronous;
        sink.Rate = rate;
        sink.FrameBytes = frameBytes;
        m_device->SetSink(Id::RenderEndpoint, sink);
    }

    TestOwner* m_owner = nullptr;
    ClockSource* m_clock = nullptr;
    ULONG m_clockEntity = 0;
};

}  // namespace kvxtest

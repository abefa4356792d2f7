// The endpoint as the parsers set it up: Init (callback object, worker thread, limiter), its
// formats and alternate settings, its entities, the bus frame, content forwarding, destruction.
#include "platform/nt/Callback.h"
#include "platform/nt/Ob.h"
#include "platform/nt/ThreadHost.h"
#include "platform/portcls/PortClsHost.h"
#include "tests/adapter/EntityDoubles.h"
#include "tests/stream/StreamFixture.h"

namespace kvxtest {
namespace {

using EndpointSetupTest = StreamFixture;

TEST_F(EndpointSetupTest, InitCreatesTheCallbackObjectTheWorkerAndTheLimiter)
{
    const size_t threads = platform::ThreadLiveCount();
    Uac1RenderEndpoint* endpoint = Render();
    ASSERT_NE(endpoint->GetTransportCallbackObject(), nullptr);
    ASSERT_NE(endpoint->GetWorkerThread(), nullptr);
    const auto priorities = platform::ThreadPriorityHistory(endpoint->GetWorkerThread());
    ASSERT_GE(priorities.size(), 3u);
    EXPECT_EQ(priorities[priorities.size() - 2], 31);
    EXPECT_EQ(priorities.back(), 24);
    EXPECT_NE(endpoint->GetLimiter(), nullptr);

    // The callback object is published under the endpoint's address.
    char16_t name[CYCLIC_CONTROL_NAME_CHARS];
    RtlStringCbPrintfW(name, sizeof name, u"\\Callback\\CyclicControlAddr%p", static_cast<void*>(endpoint));
    UNICODE_STRING callbackName;
    RtlInitUnicodeString(&callbackName, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &callbackName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT opened = nullptr;
    ASSERT_EQ(ExCreateCallback(&opened, &attributes, FALSE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(opened, endpoint->GetTransportCallbackObject());
    ObDereferenceObject(opened);

    // Release ends the worker and leaves nothing behind.
    Drop(endpoint);
    EXPECT_EQ(platform::ThreadLiveCount(), threads);
    EXPECT_EQ(platform::PoolLiveCount(USB_STREAM_TAG), 0u);
}

TEST_F(EndpointSetupTest, InitFailsCleanlyAtEveryAllocationAndWithoutAThread)
{
    // Each allocation Init makes, failed in turn: a clean error (or success without the limiter),
    // and nothing left once the endpoint is released. A failed thread creation the same.
    const size_t threads = platform::ThreadLiveCount();
    for (uint64_t n = 1;; ++n) {
        ASSERT_LT(n, 100u);
        const uint64_t serial = platform::PoolCurrentSerial();
        auto* endpoint = new (NonPagedPoolNx, UAC1_ENDPOINT_TAG) Uac1RenderEndpoint(nullptr, 1, 0);
        endpoint->GetNonDelegatingUnknown()->AddRef();
        const uint64_t injectedBefore = platform::PoolInjectedFailures();
        platform::PoolFailNthAllocation(n);
        const NTSTATUS status = endpoint->Init(FALSE, Owner());
        const bool injected = platform::PoolInjectedFailures() != injectedBefore;
        platform::PoolClearFailures();
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
            EXPECT_EQ(endpoint->GetTransportCallbackObject(), nullptr) << "allocation " << n;
        }
        endpoint->GetNonDelegatingUnknown()->Release();
        EXPECT_EQ(platform::PoolLiveSince(serial), 0u) << "allocation " << n << ": " << platform::PoolLeakReport(serial);
        EXPECT_EQ(platform::ThreadLiveCount(), threads) << "allocation " << n;
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
    }

    auto* endpoint = new (NonPagedPoolNx, UAC1_ENDPOINT_TAG) Uac1RenderEndpoint(nullptr, 1, 0);
    endpoint->GetNonDelegatingUnknown()->AddRef();
    platform::ThreadFailNextCreate(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(endpoint->Init(FALSE, Owner()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(endpoint->GetWorkerThread(), nullptr);
    EXPECT_EQ(endpoint->GetTransportCallbackObject(), nullptr);
    // No worker to wait for: the release returns.
    endpoint->GetNonDelegatingUnknown()->Release();
}

TEST_F(EndpointSetupTest, InitWithoutLimiterBuffersStillSucceeds)
{
    auto* endpoint = new (NonPagedPoolNx, UAC1_ENDPOINT_TAG) Uac1RenderEndpoint(nullptr, 1, 0);
    endpoint->GetNonDelegatingUnknown()->AddRef();
    m_endpoints.push_back(endpoint);
    platform::PoolFailNextWithTag(LIMITER_BUFFER_TAG);
    EXPECT_EQ(endpoint->Init(FALSE, Owner()), STATUS_SUCCESS);
    platform::PoolClearFailures();
    EXPECT_EQ(endpoint->GetLimiter(), nullptr);
}

TEST_F(EndpointSetupTest, FindAlternateSettingMatchesExtensibleRecordsWholeAndOthersByTheirFields)
{
    Uac1RenderEndpoint* endpoint = Render({});
    const WaveFormatRecord f48 = PcmFormat(48000), f44 = PcmFormat(44100), f96 = PcmFormat(96000, 2, 24, 32);
    ASSERT_EQ(endpoint->AddFormat(&f48, 1), STATUS_SUCCESS);
    ASSERT_EQ(endpoint->AddFormat(&f44, 2), STATUS_SUCCESS);
    ASSERT_EQ(endpoint->AddFormat(&f96, 3), STATUS_SUCCESS);
    EXPECT_EQ(endpoint->GetFormatCount(), 3u);

    WaveFormatRecord plain{};
    plain.Format.wFormatTag = WAVE_FORMAT_PCM;
    plain.Format.nChannels = 2;
    plain.Format.nSamplesPerSec = 44100;
    plain.Format.wBitsPerSample = 16;
    WaveFormatRecord wrongValidBits = f96;
    wrongValidBits.Samples.wValidBitsPerSample = 20;
    WaveFormatRecord ieee = plain;
    ieee.Format.wFormatTag = 3;
    struct Case {
        const char* name;
        WaveFormatRecord format;
        NTSTATUS status;
        UCHAR alternate;
    } cases[] = {
        {"extensible 48 kHz", f48, STATUS_SUCCESS, 1},
        {"extensible 96 kHz 24 in 32", f96, STATUS_SUCCESS, 3},
        {"PCM by channels, rate and bits", plain, STATUS_SUCCESS, 2},
        {"extensible differing in valid bits", wrongValidBits, STATUS_INVALID_PARAMETER, 0},
        {"another tag", ieee, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Case& c : cases) {
        UCHAR alternate = 0;
        EXPECT_EQ(endpoint->FindAlternateSetting(&c.format, &alternate), c.status) << c.name;
        EXPECT_EQ(alternate, c.alternate) << c.name;
    }
    EXPECT_EQ(endpoint->FindAlternateSetting(&f48, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(EndpointSetupTest, FindEntityReturnsTheLastEntityWithTheIdWithoutAReference)
{
    Uac1CaptureEndpoint* endpoint = Capture();
    TestEntity* first = TestEntity::New(7, ENTITY_VOLUME);
    TestEntity* other = TestEntity::New(8, ENTITY_MUTE);
    ASSERT_EQ(endpoint->AddEntity(first), STATUS_SUCCESS);
    ASSERT_EQ(endpoint->AddEntity(other), STATUS_SUCCESS);
    const LONG references = first->GetReferenceCount();
    TopologyNode* found = nullptr;
    EXPECT_EQ(endpoint->FindEntity(7, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, first);
    EXPECT_EQ(first->GetReferenceCount(), references);
    EXPECT_EQ(endpoint->FindEntity(9, &found), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(found, nullptr);
    first->Release();
    other->Release();
}

TEST_F(EndpointSetupTest, CurrentFrameIsTheBusFrameAndZeroWithoutOwner)
{
    Uac1RenderEndpoint* endpoint = Render();
    platform::RunFor(std::chrono::milliseconds(37));
    EXPECT_EQ(endpoint->GetCurrentFrame(), platform::usb::UsbBus::CurrentFrame());

    auto* orphan = new (NonPagedPoolNx, UAC1_ENDPOINT_TAG) Uac1RenderEndpoint(nullptr, 1, 0);
    orphan->GetNonDelegatingUnknown()->AddRef();
    m_endpoints.push_back(orphan);
    EXPECT_EQ(orphan->GetCurrentFrame(), 0u);
}

TEST_F(EndpointSetupTest, SetContentIdForwardsToTheLowerDeviceWithTheDataPipe)
{
    platform::PcContentForwardsClear();
    Uac1RenderEndpoint* endpoint = Render();
    EXPECT_EQ(endpoint->SetContentId(42, nullptr), STATUS_SUCCESS);
    auto forwards = platform::PcContentForwards();
    ASSERT_EQ(forwards.size(), 1u);
    EXPECT_EQ(forwards[0].ContentId, 42u);
    EXPECT_EQ(forwards[0].Forward.DeviceObject, m_usb->GetLowerDevice());
    EXPECT_EQ(forwards[0].Forward.Context, nullptr);  // no interface selected yet

    // While a format is prepared the data pipe's handle rides along.
    ClientDouble client;
    ASSERT_EQ(Register(endpoint, client, PcmFormat(48000), 5, 3), STATUS_SUCCESS);
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(endpoint->ClientStart(client.Record->Registration, &ms, &frame), STATUS_SUCCESS);
    EXPECT_EQ(endpoint->SetContentId(43, nullptr), STATUS_SUCCESS);
    forwards = platform::PcContentForwards();
    ASSERT_EQ(forwards.size(), 2u);
    EXPECT_NE(forwards[1].Forward.Context, nullptr);
    EXPECT_EQ(static_cast<PVOID>(forwards[1].Forward.FileObject), forwards[1].Forward.Context);
    EXPECT_EQ(endpoint->ClientStop(client.Record->Registration), STATUS_SUCCESS);
    EXPECT_EQ(endpoint->UnregisterClient(client.Record->Registration), STATUS_SUCCESS);
    platform::PcContentForwardsClear();
}

}  // namespace
}  // namespace kvxtest

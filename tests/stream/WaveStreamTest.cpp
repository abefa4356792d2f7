// The wave stream against an endpoint double that records the client operations and lets the
// test send transport messages: states and the client, ring copies, positions, the byte-rate
// conversion, Silence, the buffer, SetFormat and teardown.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/nt/Clock.h"
#include "platform/nt/DebugHost.h"
#include "platform/nt/Machine.h"
#include "platform/nt/PoolHost.h"
#include "platform/portcls/PortClsHost.h"
#include "platform/portcls/PortClsInternal.h"
#include "stream/WaveMiniport.h"
#include "stream/WaveStream.h"
#include "tests/dsp/FormatAdapterFixture.h"
#include "tests/adapter/driver/AdapterDoubles.h"
#include "tests/adapter/EntityDoubles.h"

namespace kvxtest {
namespace {

const GUID& PCM = KSDATAFORMAT_SUBTYPE_PCM;

// An endpoint whose client operations are logged ("R" register, "S" start, "N" run, "P" pause,
// "X" stop, "U" unregister) and can be made to fail; one client record at a time.
class TransportDouble : public StreamEngine, public IStreamTransport {
public:
    DECLARE_UNKNOWN_BASE()
    TransportDouble() : StreamEngine(nullptr, 1) {}

    NTSTATUS RegisterClient(ULONG kind, WaveFormatRecord* format, ULONG, ULONG, PCALLBACK_FUNCTION callback,
                            PVOID context, EndpointClient** client) override
    {
        Log += "R";
        if (Fail == 'R') return STATUS_INSUFFICIENT_RESOURCES;
        Record = std::make_unique<EndpointClient>();
        Record->ClientKind = kind;
        Record->Registration = Record.get();
        Record->Format = *format;
        Callback = callback;
        Context = context;
        *client = Record.get();
        return STATUS_SUCCESS;
    }
    NTSTATUS UnregisterClient(PVOID) override
    {
        Log += "U";
        if (Fail == 'U') return STATUS_INVALID_PARAMETER;
        Record.reset();
        return STATUS_SUCCESS;
    }
    NTSTATUS ClientStart(PVOID, PULONG ms, PULONG frame) override
    {
        Log += "S";
        *ms = 5;
        *frame = 100;
        return Fail == 'S' ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    }
    NTSTATUS ClientRun(PVOID, ULONG startFrame, PULONG, IClientProcessor*) override
    {
        Log += "N";
        StartFrame = startFrame;
        if (Fail == 'N') return STATUS_UNSUCCESSFUL;
        Record->Running = 1;
        return STATUS_SUCCESS;
    }
    NTSTATUS ClientPause(PVOID, IClientProcessor*) override
    {
        Log += "P";
        Record->Running = 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS ClientStop(PVOID) override
    {
        Log += "X";
        return STATUS_SUCCESS;
    }
    NTSTATUS SelectAlternateSetting(UCHAR, EndpointClient*) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ReleaseTransfers() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AbortPipe() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS RecoverStream() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SelectZeroBandwidth() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS RestartStreaming() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SubmitNext() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT, PIRP, TransferContext*) override { return STATUS_NOT_IMPLEMENTED; }
    VOID WorkerLoop() override {}
    NTSTATUS PrepareFormat(EndpointClient*, PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS UnprepareFormat() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS StartStreaming(ULONG, UCHAR) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS StopStreaming() override { return STATUS_NOT_IMPLEMENTED; }
    UCHAR IsAlternateSettingValid(UCHAR) override { return TRUE; }

    // Sends one message as the endpoint would, from `top` (the stream's own record by default).
    void Send(LONG event, ULONG a, ULONG b = 0, PVOID buffer = nullptr, EndpointClient* top = nullptr)
    {
        TransportMessage m{};
        m.Client = top != nullptr ? top : Record.get();
        m.Event = event;
        if (event == TRANSPORT_EVENT_BYTES_MOVED) {
            m.BytesMoved = a;
        } else if (event == TRANSPORT_EVENT_FORMAT) {
            m.Format.MsPerTransfer = a;
            m.Format.TransfersQueued = b;
        } else {
            m.Data.Buffer = buffer;
            m.Data.Bytes = a;
        }
        Callback(Context, &m, nullptr);
    }

    std::string Log;
    char Fail = 0;
    ULONG StartFrame = 0;
    std::unique_ptr<EndpointClient> Record;
    PCALLBACK_FUNCTION Callback = nullptr;
    PVOID Context = nullptr;
};

NTSTATUS TransportDouble::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (IsEqualGUID(iid, IID_IStreamTransport)) {
        return ReturnInterface(static_cast<IStreamTransport*>(this), ppvObject);
    }
    return StreamEngine::NonDelegatingQueryInterface(iid, ppvObject);
}

// A data format for NewStream: the KSDATAFORMAT header and the extensible format.
std::vector<uint8_t> DataFormat(const WaveFormatRecord& wave)
{
    std::vector<uint8_t> bytes(sizeof(KSDATAFORMAT) + sizeof wave);
    KSDATAFORMAT header{};
    header.FormatSize = static_cast<ULONG>(bytes.size());
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = wave.SubFormat;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, &wave, sizeof wave);
    return bytes;
}

class WaveStreamTest : public ::testing::Test {
protected:
    void SetUp() override { platform::DebugReset(); }
    void TearDown() override
    {
        ReleaseStream();
        if (m_miniport != nullptr) static_cast<IMiniportWaveCyclic*>(m_miniport)->Release();
        if (m_port != nullptr) m_port->Release();
        if (m_hal != nullptr) m_hal->NonDelegatingRelease();
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
        EXPECT_EQ(platform::PoolLiveCount(WAVE_BUFFER_TAG), 0u);
    }

    // A miniport over one endpoint double listing `formats`, and a stream in the first format.
    void Build(bool capture, const std::vector<WaveFormatRecord>& formats, bool throughPort = false)
    {
        m_hal = TestHal::New();
        m_hal->m_Configure = [&](TestHal* hal) {
            m_endpoint = new (NonPagedPoolNx, TEST_ENTITY_TAG) TransportDouble();
            m_endpoint->NonDelegatingAddRef();
            NTSTATUS status = m_endpoint->Init(capture);
            for (const auto& f : formats) {
                if (NT_SUCCESS(status)) status = m_endpoint->AddFormat(&f);
            }
            if (NT_SUCCESS(status)) status = m_endpoint->SetName(u"Out");
            if (NT_SUCCESS(status)) status = hal->AddEndpoint(m_endpoint);
            m_endpoint->NonDelegatingRelease();
            return status;
        };
        ASSERT_EQ(m_hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
        PPORT port = nullptr;
        ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        PVOID raw = nullptr;
        ASSERT_EQ(port->QueryInterface(IID_IPortWaveCyclic, &raw), STATUS_SUCCESS);
        port->Release();
        m_port = static_cast<PPORTWAVECYCLIC>(raw);
        PUNKNOWN unknown = nullptr;
        ASSERT_EQ(CreateMiniportWaveCyclic(&unknown, GUID_NULL, nullptr, NonPagedPoolNx, 0), STATUS_SUCCESS);
        ASSERT_EQ(unknown->QueryInterface(IID_IMiniportWaveCyclic, &raw), STATUS_SUCCESS);
        unknown->Release();
        m_miniport = static_cast<WaveMiniport*>(static_cast<IMiniportWaveCyclic*>(raw));
        if (throughPort) {
            // The port initialises the miniport and holds it until its children are released.
            ASSERT_EQ(m_port->Init(&m_device, nullptr, static_cast<IMiniportWaveCyclic*>(m_miniport),
                                   m_hal->GetNonDelegatingUnknown(), nullptr),
                      STATUS_SUCCESS);
            return;
        }
        ASSERT_EQ(m_miniport->Init(m_hal->GetNonDelegatingUnknown(), nullptr, m_port), STATUS_SUCCESS);
        ASSERT_EQ(NewStream(formats[0], capture), STATUS_SUCCESS);
    }

    NTSTATUS NewStream(const WaveFormatRecord& wave, bool capture)
    {
        auto format = DataFormat(wave);
        PMINIPORTWAVECYCLICSTREAM stream = nullptr;
        PDMACHANNEL dma = nullptr;
        PSERVICEGROUP group = nullptr;
        NTSTATUS status = m_miniport->NewStream(&stream, nullptr, NonPagedPoolNx, 0, capture ? TRUE : FALSE,
                                                reinterpret_cast<PKSDATAFORMAT>(format.data()), &dma, &group);
        EXPECT_EQ(stream != nullptr, NT_SUCCESS(status));
        EXPECT_EQ(dma != nullptr, NT_SUCCESS(status));
        EXPECT_EQ(group != nullptr, NT_SUCCESS(status));
        if (NT_SUCCESS(status)) {
            m_stream = static_cast<WaveStream*>(stream);
            m_dma = dma;
            m_group = group;
        }
        return status;
    }

    void ReleaseStream()
    {
        if (m_dma != nullptr) m_dma->Release();
        if (m_group != nullptr) m_group->Release();
        if (m_stream != nullptr) static_cast<IMiniportWaveCyclicStream*>(m_stream)->Release();
        m_dma = nullptr;
        m_group = nullptr;
        m_stream = nullptr;
    }

    // STOP -> ACQUIRE -> PAUSE -> RUN, and the format announcement that follows RUN.
    void Run(ULONG ms = 5, ULONG queued = 3)
    {
        for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) ASSERT_EQ(m_stream->SetState(s), STATUS_SUCCESS);
        m_endpoint->Send(TRANSPORT_EVENT_FORMAT, ms | TRANSPORT_FORMAT_CHANGED, queued);
    }

    ULONG Position()
    {
        ULONG p = 0xFFFFFFFF;
        EXPECT_EQ(m_stream->GetPosition(&p), STATUS_SUCCESS);
        return p;
    }

    PUCHAR Block() { return static_cast<PUCHAR>(m_stream->SystemAddress()); }
    void FillBlockWithCount()
    {
        for (ULONG i = 0; i < m_stream->AllocatedBufferSize(); ++i) Block()[i] = static_cast<UCHAR>(i % 251);
    }

    DEVICE_OBJECT m_device{};
    TestHal* m_hal = nullptr;
    TransportDouble* m_endpoint = nullptr;
    PPORTWAVECYCLIC m_port = nullptr;
    WaveMiniport* m_miniport = nullptr;
    WaveStream* m_stream = nullptr;
    PDMACHANNEL m_dma = nullptr;
    PSERVICEGROUP m_group = nullptr;
};

TEST_F(WaveStreamTest, InitSizesTheBlockAndAnswersItsInterfaces)
{
    Build(false, {TestFormat(2, 48000, 16, PCM)});
    EXPECT_EQ(m_stream->AllocatedBufferSize(), 9600u);
    EXPECT_EQ(m_stream->BufferSize(), 9600u);
    EXPECT_EQ(m_stream->TransferCount(), 9600u);
    EXPECT_EQ(m_stream->MaximumBufferSize(), 307200u);
    EXPECT_EQ(m_stream->PhysicalAddress().QuadPart, 0);
    EXPECT_EQ(m_stream->GetAdapterObject(), nullptr);
    ULONG frame = 0;
    EXPECT_EQ(m_stream->SetNotificationFreq(20, &frame), 10u);
    EXPECT_EQ(frame, 1920u);
    LONGLONG position = 192000;  // one second of bytes
    EXPECT_EQ(m_stream->NormalizePhysicalPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 10000000);
    EXPECT_EQ(m_miniport->GetStreamCount(), 1);
    EXPECT_EQ(m_miniport->IsStreamPresent(), 1u);
    EXPECT_NE(m_group, nullptr);
    // A second stream is refused while the first lives.
    EXPECT_EQ(NewStream(TestFormat(2, 48000, 16, PCM), false), STATUS_INSUFFICIENT_RESOURCES);

    struct Query {
        const GUID* Iid;
        bool Answered;
    } queries[] = {{&IID_IUnknown, true}, {&IID_IMiniportWaveCyclicStream, true}, {&IID_IDmaChannel, true},
                   {&IID_IDrmAudioStream, true}, {&IID_IPort, false}, {&IID_IServiceSink, false}};
    for (const Query& q : queries) {
        PVOID raw = nullptr;
        const NTSTATUS status = m_stream->QueryInterface(*q.Iid, &raw);
        EXPECT_EQ(NT_SUCCESS(status), q.Answered);
        EXPECT_EQ(raw != nullptr, q.Answered);
        if (raw != nullptr) static_cast<PUNKNOWN>(raw)->Release();
    }
    // The endpoint double has no content protection: its refusal comes back.
    EXPECT_EQ(m_stream->SetContentId(7, nullptr), STATUS_INVALID_PARAMETER);

    ReleaseStream();
    EXPECT_EQ(m_miniport->GetStreamCount(), 0);
    EXPECT_EQ(m_miniport->IsStreamPresent(), 0u);
}

TEST_F(WaveStreamTest, EveryFailedAllocationOfNewStreamLeavesNothing)
{
    Build(false, {TestFormat(2, 48000, 16, PCM)});
    ReleaseStream();
    for (uint64_t n = 1;; ++n) {
        ASSERT_LT(n, 200u);  // the format adapter alone makes about a hundred
        const uint64_t serial = platform::PoolCurrentSerial();
        const uint64_t injectedBefore = platform::PoolInjectedFailures();
        platform::PoolFailNthAllocation(n);
        const NTSTATUS status = NewStream(TestFormat(2, 48000, 16, PCM), false);
        const bool injected = platform::PoolInjectedFailures() != injectedBefore;
        platform::PoolClearFailures();
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        EXPECT_EQ(m_stream, nullptr);
        EXPECT_EQ(m_miniport->GetStreamCount(), 0) << "allocation " << n;
        EXPECT_EQ(m_miniport->IsStreamPresent(), 0u) << "allocation " << n;
        EXPECT_EQ(platform::PoolLiveSince(serial), 0u) << "allocation " << n << ": " << platform::PoolLeakReport(serial);
    }
}

TEST_F(WaveStreamTest, RunRegistersStartsAndRunsAndAFailingStepLeavesPauseWithoutAClient)
{
    Build(false, {TestFormat(2, 48000, 16, PCM)});
    struct Case {
        char Fail;
        const char* Log;
        NTSTATUS Expected;
    } cases[] = {
        {'R', "R", STATUS_INSUFFICIENT_RESOURCES},
        {'S', "RSU", STATUS_UNSUCCESSFUL},
        {'N', "RSNXU", STATUS_UNSUCCESSFUL},
        {0, "RSN", STATUS_SUCCESS},
    };
    ASSERT_EQ(m_stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(m_stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Log);
        m_endpoint->Log.clear();
        m_endpoint->Fail = c.Fail;
        EXPECT_EQ(m_stream->SetState(KSSTATE_RUN), c.Expected);
        EXPECT_EQ(m_endpoint->Log, c.Log);
        EXPECT_EQ(m_stream->GetState(), NT_SUCCESS(c.Expected) ? KSSTATE_RUN : KSSTATE_PAUSE);
        EXPECT_EQ(m_stream->GetClient() != nullptr, NT_SUCCESS(c.Expected));
    }
    EXPECT_EQ(m_endpoint->StartFrame, 102u);
    EXPECT_EQ(m_endpoint->Record->ClientKind, CLIENT_KIND_WAVE_STREAM);
    // SetFormat is refused while running.
    auto format = DataFormat(TestFormat(2, 48000, 16, PCM));
    EXPECT_EQ(m_stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(format.data())), STATUS_UNSUCCESSFUL);
    m_endpoint->Log.clear();
    EXPECT_EQ(m_stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(m_endpoint->Log, "PXU");
    EXPECT_EQ(m_stream->GetClient(), nullptr);
    // RUN without a block is refused before the endpoint is asked.
    m_stream->FreeBuffer();
    m_endpoint->Log.clear();
    EXPECT_EQ(m_stream->SetState(KSSTATE_RUN), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_endpoint->Log, "");
}

TEST_F(WaveStreamTest, TeardownStepsDownOnceEachAndSurvivesAFailingStep)
{
    for (char fail : {char(0), 'U'}) {
        SCOPED_TRACE(fail == 0 ? "clean" : "unregistration fails");
        Build(false, {TestFormat(2, 48000, 16, PCM)});
        Run();
        m_endpoint->Log.clear();
        m_endpoint->Fail = fail;
        TransportDouble* endpoint = m_endpoint;
        endpoint->NonDelegatingAddRef();
        ReleaseStream();
        EXPECT_EQ(endpoint->Log, "PXU");
        EXPECT_EQ(m_miniport->GetStreamCount(), 0);
        const std::string log = platform::DebugLogTake();
        EXPECT_EQ(log.find("RUN -> PAUSE failed") != std::string::npos, fail != 0) << log;
        endpoint->Record.reset();
        endpoint->NonDelegatingRelease();
        TearDown();
        m_miniport = nullptr;
        m_port = nullptr;
        m_hal = nullptr;
    }
}

TEST_F(WaveStreamTest, RenderStartsAtTheRingTailSoOffsetZeroFollowsTheQueue)
{
    // Frames per ms round up: at 44.1 kHz the first three 5 ms transfers carry 661 frames, and
    // the ring's first frame must come after them, not be skipped.
    struct Case {
        ULONG Rate;
        USHORT Bits;
        ULONG Block, Offset;
    } cases[] = {{48000, 16, 9600, 9600 - 48 * 4 * 15},
                 {44100, 16, 8820, 8820 - 45 * 4 * 15},
                 {48000, 24, 14400, 14400 - 48 * 6 * 15},
                 {44100, 24, 13230, 13230 - 45 * 6 * 15}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Rate + c.Bits);
        Build(false, {TestFormat(2, c.Rate, c.Bits, PCM)});
        Run();
        EXPECT_EQ(m_stream->AllocatedBufferSize(), c.Block);
        EXPECT_EQ(m_stream->GetRingOffset(), c.Offset);
        // The transfers of the initial queue (the endpoint's actual sizes) end before offset 0.
        const ULONG frames = c.Rate * 15 / 1000;
        EXPECT_LE(frames * (c.Bits / 8u) * 2, c.Block - c.Offset);
        TearDown();
        m_miniport = nullptr;
        m_port = nullptr;
        m_hal = nullptr;
    }
}

TEST_F(WaveStreamTest, RenderCopiesWrapAtTheRingEndAndOversizedOrForeignTransfersCopyNothing)
{
    Build(false, {TestFormat(2, 48000, 16, PCM)});
    Run();
    FillBlockWithCount();
    std::vector<UCHAR> transfer(9600, 0xEE);
    m_endpoint->Send(TRANSPORT_EVENT_FILL_RENDER, 9000 - m_stream->GetRingOffset(), 0, transfer.data());
    ASSERT_EQ(m_stream->GetRingOffset(), 9000u);
    // 600 bytes from the end, 360 from the start.
    m_endpoint->Send(TRANSPORT_EVENT_FILL_RENDER, 960, 0, transfer.data());
    for (ULONG i = 0; i < 960; ++i) {
        ASSERT_EQ(transfer[i], (i < 600 ? 9000 + i : i - 600) % 251) << i;
    }
    EXPECT_EQ(m_stream->GetRingOffset(), 360u);
    // A transfer as long as the ring is sent as given.
    std::fill(transfer.begin(), transfer.end(), 0xEE);
    m_endpoint->Send(TRANSPORT_EVENT_FILL_RENDER, 9600, 0, transfer.data());
    EXPECT_EQ(m_stream->GetRingOffset(), 360u);
    EXPECT_EQ(transfer[0], 0xEE);
    // Another client at the same byte rate owns the endpoint: the offset moves, nothing is copied.
    EndpointClient other = *m_endpoint->Record;
    other.Registration = &other;
    m_endpoint->Send(TRANSPORT_EVENT_FILL_RENDER, 960, 0, transfer.data(), &other);
    EXPECT_EQ(m_stream->GetRingOffset(), 1320u);
    EXPECT_EQ(transfer[0], 0xEE);
    // Before the client runs, nothing moves.
    m_endpoint->Record->Running = 0;
    m_endpoint->Send(TRANSPORT_EVENT_FILL_RENDER, 960, 0, transfer.data());
    EXPECT_EQ(m_stream->GetRingOffset(), 1320u);
}

TEST_F(WaveStreamTest, RenderPositionFollowsTheTransferPlayingAndNeverJumpsBack)
{
    Build(false, {TestFormat(2, 48000, 16, PCM)});
    Run();
    std::vector<UCHAR> transfer(960);
    for (int i = 0; i < 3; ++i) m_endpoint->Send(TRANSPORT_EVENT_FILL_RENDER, 960, 0, transfer.data());
    m_endpoint->Send(TRANSPORT_EVENT_BYTES_MOVED, 960);
    EXPECT_EQ(m_stream->GetPlayPosition(), 960u);
    EXPECT_EQ(m_stream->GetInFlightBytes(), 960u);
    EXPECT_EQ(Position(), 960u);
    // 2.5 ms into the next transfer: 480 bytes of it have played.
    platform::RunFor(std::chrono::microseconds(2500));
    EXPECT_EQ(Position(), 1440u);
    // Long after the last completion the estimate stops at the transfer's end. Elapsed time
    // times the byte rate no longer fits 32 bits here, which must not turn the position back.
    platform::RunFor(std::chrono::microseconds(223500));
    EXPECT_EQ(Position(), 1920u);
    // Not running: the value last reported, then the position at PAUSE.
    ASSERT_EQ(m_stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Position(), 960u);
    ASSERT_EQ(m_stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Position(), 0u);
}

TEST_F(WaveStreamTest, CapturePositionTrailsTheLastCompletionAcrossTheWrap)
{
    Build(true, {TestFormat(2, 48000, 16, PCM)});
    Run();
    EXPECT_EQ(m_stream->GetRingOffset(), 0u);
    std::vector<UCHAR> packet(700);
    for (ULONG i = 0; i < packet.size(); ++i) packet[i] = static_cast<UCHAR>(i % 251);
    m_endpoint->Send(TRANSPORT_EVENT_BYTES_MOVED, 9000);
    for (int i = 0; i < 13; ++i) m_endpoint->Send(TRANSPORT_EVENT_CAPTURE_DATA, 700, 0, packet.data());
    EXPECT_EQ(m_stream->GetRingOffset(), 9100u);
    // The next packet wraps: 500 bytes end the ring, 200 start it.
    m_endpoint->Send(TRANSPORT_EVENT_CAPTURE_DATA, 700, 0, packet.data());
    EXPECT_EQ(m_stream->GetRingOffset(), 200u);
    EXPECT_EQ(Block()[9599], 499 % 251);
    EXPECT_EQ(Block()[0], 500 % 251);
    // A packet as long as the ring is dropped.
    std::vector<UCHAR> huge(9600, 0xEE);
    m_endpoint->Send(TRANSPORT_EVENT_CAPTURE_DATA, 9600, 0, huge.data());
    EXPECT_EQ(m_stream->GetRingOffset(), 200u);

    m_endpoint->Send(TRANSPORT_EVENT_BYTES_MOVED, 700);
    EXPECT_EQ(m_stream->GetPlayPosition(), 100u);
    // Just after the wrap the reported position is the start of the last completion: behind 0.
    EXPECT_EQ(Position(), 9000u);
    platform::RunFor(std::chrono::microseconds(2000));  // 384 bytes since
    EXPECT_EQ(Position(), 9384u);
}

TEST_F(WaveStreamTest, AnotherClientsByteRateIsConvertedAndNothingIsCopied)
{
    Build(false, {TestFormat(2, 48000, 16, PCM)});
    Run();
    FillBlockWithCount();
    EndpointClient asio{};
    asio.ClientKind = CLIENT_KIND_ASIO;
    asio.Registration = &asio;
    asio.Format = TestFormat(2, 44100, 16, PCM);
    m_endpoint->Send(TRANSPORT_EVENT_FORMAT, 2, 4, nullptr, &asio);
    EXPECT_EQ(m_stream->GetDeviceFormat().Format.nSamplesPerSec, 44100u);
    // The format adapter follows: split, then the 44.1k/48k stage raising the rate.
    CDspInterleaveSrc* adapter = m_stream->GetFormatAdapter();
    EXPECT_EQ(adapter->GetChain(0), adapter->GetSplit());
    EXPECT_EQ(adapter->GetChain(1), adapter->GetR());
    EXPECT_EQ(adapter->GetR()->m_bUp, 1);
    EXPECT_EQ(adapter->GetChain(2), nullptr);

    // 880 device bytes are 5 ms: 960 stream bytes, 2 bytes owed to the next count.
    m_endpoint->Send(TRANSPORT_EVENT_BYTES_MOVED, 880, 0, nullptr, &asio);
    EXPECT_EQ(m_stream->GetPlayPosition(), 960u);
    EXPECT_EQ(m_stream->GetDeviceCarry(), -2);
    // A report of 0 bytes now converts to nothing and keeps what is owed.
    m_endpoint->Send(TRANSPORT_EVENT_BYTES_MOVED, 0, 0, nullptr, &asio);
    EXPECT_EQ(m_stream->GetPlayPosition(), 960u);
    EXPECT_EQ(m_stream->GetDeviceCarry(), -2);
    m_endpoint->Send(TRANSPORT_EVENT_BYTES_MOVED, 178, 0, nullptr, &asio);
    EXPECT_EQ(m_stream->GetPlayPosition(), 1152u);
    // Its transfers are counted at the stream's rate; none is copied and the ring stays.
    const ULONG offset = m_stream->GetRingOffset();
    std::vector<UCHAR> transfer(880, 0xEE);
    m_endpoint->Send(TRANSPORT_EVENT_FILL_RENDER, 880, 0, transfer.data(), &asio);
    EXPECT_EQ(transfer[0], 0xEE);
    EXPECT_EQ(m_stream->GetRingOffset(), offset);
    EXPECT_EQ(m_stream->GetInFlightBytes(), 960u);
}

TEST_F(WaveStreamTest, SetFormatReallocatesOnlyForANewShapeButTakesEveryListedFormat)
{
    WaveFormatRecord sides = TestFormat(2, 48000, 16, PCM);
    sides.dwChannelMask = 0x600;
    Build(false, {TestFormat(2, 48000, 16, PCM), sides, TestFormat(2, 44100, 16, PCM)});
    PUCHAR block = Block();
    struct Case {
        const char* What;
        WaveFormatRecord Format;
        NTSTATUS Expected;
        ULONG Mask, Rate, Allocated;
        bool NewBlock;
    } cases[] = {
        {"unlisted", TestFormat(2, 32000, 16, PCM), STATUS_INVALID_PARAMETER, 3, 48000, 9600, false},
        {"another channel mask", sides, STATUS_SUCCESS, 0x600, 48000, 9600, false},
        {"another rate", TestFormat(2, 44100, 16, PCM), STATUS_SUCCESS, 3, 44100, 8820, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        auto format = DataFormat(c.Format);
        EXPECT_EQ(m_stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(format.data())), c.Expected);
        EXPECT_EQ(m_stream->GetStreamFormat().dwChannelMask, c.Mask);
        EXPECT_EQ(m_stream->GetStreamFormat().Format.nSamplesPerSec, c.Rate);
        EXPECT_EQ(m_stream->AllocatedBufferSize(), c.Allocated);
        EXPECT_EQ(Block() != block, c.NewBlock);
    }
    // A failed reallocation keeps the old format and block.
    block = Block();
    platform::PoolFailNthAllocation(1);
    auto format = DataFormat(TestFormat(2, 48000, 16, PCM));
    EXPECT_EQ(m_stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(format.data())), STATUS_INSUFFICIENT_RESOURCES);
    platform::PoolClearFailures();
    EXPECT_EQ(Block(), block);
    EXPECT_EQ(m_stream->GetStreamFormat().Format.nSamplesPerSec, 44100u);
}

TEST_F(WaveStreamTest, SilenceCopiesAndBufferSizesStayInsideTheBlock)
{
    Build(false, {TestFormat(2, 48000, 8, PCM)});
    const ULONG size = m_stream->AllocatedBufferSize();
    ASSERT_EQ(size, 4800u);
    std::memset(Block(), 0x55, size);
    m_stream->Silence(Block() + 10, 20);
    EXPECT_EQ(Block()[10], 0x80);
    EXPECT_EQ(Block()[29], 0x80);
    EXPECT_EQ(Block()[30], 0x55);
    m_stream->Silence(Block() + size - 10, 20);  // runs past the end
    EXPECT_EQ(Block()[size - 1], 0x55);

    m_stream->SetBufferSize(size);  // not below the allocated size: ignored
    EXPECT_EQ(m_stream->BufferSize(), size);
    m_stream->SetBufferSize(100);
    EXPECT_EQ(m_stream->BufferSize(), 100u);
    UCHAR source[64];
    std::memset(source, 0x11, sizeof source);
    UCHAR target[64] = {};
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    m_dma->CopyTo(Block() + 36, source, 64);  // ends at the buffer size exactly
    m_dma->CopyTo(Block() + 40, source, 64);  // beyond the buffer size
    m_dma->CopyFrom(target, Block() + 36, 64);
    m_dma->CopyFrom(target + 1, source, 1);  // the source is not in the block
    KeLowerIrql(irql);
    EXPECT_EQ(Block()[36], 0x11);
    EXPECT_EQ(Block()[100], 0x55);
    EXPECT_EQ(target[0], 0x11);
    EXPECT_EQ(target[63], 0x11);

    // Without a block every position, copy and Silence does nothing.
    EXPECT_EQ(m_stream->AllocateBuffer(0, nullptr), STATUS_INVALID_PARAMETER);
    m_stream->FreeBuffer();
    EXPECT_EQ(m_stream->SystemAddress(), nullptr);
    EXPECT_EQ(m_stream->AllocatedBufferSize(), 0u);
    m_stream->Silence(source, 4);
    EXPECT_EQ(source[0], 0x11);
    EXPECT_EQ(Position(), 0u);
}

TEST_F(WaveStreamTest, ATransportWithoutABlockMovesNothing)
{
    Build(false, {TestFormat(2, 48000, 16, PCM)});
    Run();
    m_stream->FreeBuffer();
    std::vector<UCHAR> transfer(960, 0xEE);
    m_endpoint->Send(TRANSPORT_EVENT_FORMAT, 5 | TRANSPORT_FORMAT_CHANGED, 3);
    m_endpoint->Send(TRANSPORT_EVENT_FILL_RENDER, 960, 0, transfer.data());
    m_endpoint->Send(TRANSPORT_EVENT_BYTES_MOVED, 960);
    EXPECT_EQ(transfer[0], 0xEE);
    EXPECT_EQ(m_stream->GetRingOffset(), 0u);
    EXPECT_EQ(Position(), 0u);
}

TEST_F(WaveStreamTest, TheMiniportsTeardownWaitsForItsStream)
{
    Build(false, {TestFormat(2, 48000, 16, PCM)});
    Run();
    WaveMiniport* miniport = m_miniport;
    m_miniport = nullptr;
    std::atomic<bool> released{false};
    platform::ClientThread releaser("releaser", [&] {
        static_cast<IMiniportWaveCyclic*>(miniport)->Release();
        released = true;
    });
    platform::RunFor(std::chrono::milliseconds(0));
    EXPECT_FALSE(released.load());
    // The stream goes (stepping down from RUN); the miniport's teardown then completes.
    ReleaseStream();
    EXPECT_TRUE(platform::RunUntil([&] { return released.load(); }, std::chrono::seconds(1)));
    releaser.Join();
    EXPECT_EQ(m_endpoint->Log.substr(m_endpoint->Log.size() - 3), "PXU");
}

TEST_F(WaveStreamTest, APinOpensThroughThePortWithinItsLimitsAndWalksOneLevelAtATime)
{
    Build(false, {TestFormat(2, 48000, 16, PCM)}, true);
    std::vector<uint8_t> format = DataFormat(TestFormat(2, 48000, 16, PCM));
    auto header = [&](ULONG size, ULONG flags, ULONG listSize) {
        std::vector<uint8_t> bytes(format);
        auto* f = reinterpret_cast<KSDATAFORMAT*>(bytes.data());
        f->FormatSize = size;
        f->Flags = flags;
        if (listSize != 0) {
            bytes.resize(112 + 8);
            KSMULTIPLE_ITEM list{listSize, 0};
            std::memcpy(bytes.data() + 104, &list, sizeof list);
        }
        return bytes;
    };
    struct Case {
        const char* What;
        ULONG Pin;
        std::vector<uint8_t> Bytes;
        ULONG Length;
        NTSTATUS Expected;
    } cases[] = {
        {"shorter than a header", 0, format, 60, STATUS_INVALID_PARAMETER},
        {"format size beyond the request", 0, format, 100, STATUS_INVALID_PARAMETER},
        {"format size below a header", 0, header(40, 0, 0), 104, STATUS_INVALID_PARAMETER},
        {"attribute list beyond the request", 0, header(104, KSDATAFORMAT_ATTRIBUTES, 0), 104, STATUS_INVALID_PARAMETER},
        {"attribute list longer than its room", 0, header(104, KSDATAFORMAT_ATTRIBUTES, 24), 112, STATUS_INVALID_PARAMETER},
        {"no such pin", 2, format, 104, STATUS_INVALID_PARAMETER},
        {"the bridge pin has no instances", 1, format, 104, STATUS_DEVICE_BUSY},
        {"an empty attribute list", 0, header(104, KSDATAFORMAT_ATTRIBUTES, 8), 112, STATUS_SUCCESS},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.What);
        platform::PcWavePin* pin = nullptr;
        EXPECT_EQ(platform::PcCreateWavePin(m_port, c.Pin, c.Bytes.data(), c.Length, &pin), c.Expected);
        EXPECT_EQ(pin != nullptr, NT_SUCCESS(c.Expected));
        platform::PcWavePinClose(pin);
        EXPECT_EQ(m_miniport->GetStreamCount(), 0);
    }

    platform::PcWavePin* pin = nullptr;
    ASSERT_EQ(platform::PcCreateWavePin(m_port, 0, format.data(), 104, &pin), STATUS_SUCCESS);
    platform::PcWavePin* second = nullptr;
    EXPECT_EQ(platform::PcCreateWavePin(m_port, 0, format.data(), 104, &second), STATUS_DEVICE_BUSY);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(m_miniport->GetStreamCount(), 1);

    EXPECT_EQ(platform::PcWavePinSetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(m_endpoint->Log, "RSN");
    EXPECT_EQ(m_stream, nullptr);
    auto* stream = static_cast<WaveStream*>(platform::PcWavePinStream(pin));
    EXPECT_EQ(stream->GetState(), KSSTATE_RUN);
    // A failing step stops the walk at the last level reached.
    m_endpoint->Fail = 'U';
    EXPECT_EQ(platform::PcWavePinSetState(pin, KSSTATE_STOP), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(platform::PcWavePinGetState(pin), KSSTATE_RUN);
    m_endpoint->Fail = 0;
    m_endpoint->Record.reset();
    stream->SetState(KSSTATE_PAUSE);  // the client is gone: only the state moves
    m_endpoint->Log.clear();
    platform::PcWavePinClose(pin);
    EXPECT_EQ(m_miniport->GetStreamCount(), 0);
    // The instance is free again.
    ASSERT_EQ(platform::PcCreateWavePin(m_port, 0, format.data(), 104, &pin), STATUS_SUCCESS);
    platform::PcWavePinClose(pin);

    PVOID raw = nullptr;
    ASSERT_EQ(m_port->QueryInterface(platform::IID_IPcSubdevice, &raw), STATUS_SUCCESS);
    static_cast<platform::IPcSubdevice*>(raw)->ReleaseChildren();
    static_cast<platform::IPcSubdevice*>(raw)->Release();
}

}  // namespace
}  // namespace kvxtest

namespace kvxtest {
namespace {

// A higher-kind client running the endpoint in another format: the capture stream converts its
// bytes through the adapter configured at the announcement, or stores silence for a pair the
// adapter refuses (never the device's bytes as they are).
TEST_F(WaveStreamTest, CaptureConvertsAnotherClientsFormatOrStoresSilence)
{
    const WaveFormatRecord stream = TestFormat(2, 48000, 16, PCM);
    Build(true, {stream});
    Run();
    std::memset(Block(), 0xEE, m_stream->AllocatedBufferSize());
    EndpointClient asio{};
    asio.ClientKind = CLIENT_KIND_ASIO;
    asio.Registration = &asio;
    asio.Format = TestFormat(2, 96000, 16, PCM);
    m_endpoint->Send(TRANSPORT_EVENT_FORMAT, 2 | TRANSPORT_FORMAT_CHANGED, 4, nullptr, &asio);
    std::vector<UCHAR> packet(960);
    for (ULONG i = 0; i < packet.size(); ++i) packet[i] = static_cast<UCHAR>(i * 37 % 253);
    m_endpoint->Send(TRANSPORT_EVENT_CAPTURE_DATA, 960, 0, packet.data(), &asio);
    const std::vector<UCHAR> expected = OneCallConversion(asio.Format, stream, packet, 1000);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(m_stream->GetRingOffset(), expected.size());
    EXPECT_EQ(0, std::memcmp(Block(), expected.data(), expected.size()));

    // 32 kHz is no rate the adapter knows: 32 device frames are 48 frames of silence.
    asio.Format = TestFormat(2, 32000, 16, PCM);
    m_endpoint->Send(TRANSPORT_EVENT_FORMAT, 2 | TRANSPORT_FORMAT_CHANGED, 4, nullptr, &asio);
    std::memset(Block(), 0xEE, m_stream->AllocatedBufferSize());
    m_endpoint->Send(TRANSPORT_EVENT_CAPTURE_DATA, 128, 0, packet.data(), &asio);
    EXPECT_EQ(m_stream->GetRingOffset(), 192u);
    for (ULONG i = 0; i < 192; ++i) ASSERT_EQ(Block()[i], 0) << i;
    EXPECT_EQ(Block()[192], 0xEE);
}

}  // namespace
}  // namespace kvxtest

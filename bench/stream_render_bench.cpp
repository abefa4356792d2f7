// CPU time of the render path per second of 48 kHz 16-bit stereo audio: the client's fill, the
// in-place processing with one pass-through node, the URB, the completion, the recycle and the
// resubmission, on a bus double that completes each transfer as soon as the benchmark asks (5 ms
// and 1 ms transfers of 1 ms packets). Beside it the UAC2 render path at high speed with explicit
// feedback (5 ms transfers of eight packets per millisecond, a feedback transfer riding along with
// each and decoded at its completion), and the effects variant's render path (8-channel 16-bit
// frames limited and reduced to the device's two channels on every 5 ms transfer). For information, the same second on the whole simulated
// machine (bus scheduling, device model, virtual clock). Budget: 10 ms per audio second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <deque>
#include <memory>

#include "platform/io/IoHost.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Machine.h"
#include "platform/registry/RegistryHost.h"
#include "platform/usb/UsbBus.h"
#include "sim/SimDevice.h"
#include "adapter/AudioHal.h"
#include "stream/Uac1RenderEndpoint.h"
#include "stream/Uac2RenderEndpoint.h"
#include "stream/V6RenderEndpoint.h"
#include "tests/sim/Uac2Fixtures.h"
#include "topology/ClockEntity.h"
#include "usb/UsbAudioDevice.h"

namespace {

constexpr ULONG BENCH_TAG = MakePoolTag("Bnch");

constexpr ULONG BENCH_CLOCK_ID = 1;
// 16.16 samples per microframe of 48 kHz.
constexpr ULONG BENCH_FEEDBACK_48K = 6u << 16;

// An owner that hands every request to the device object except the isochronous transfers, which
// it keeps until the benchmark completes them. Its entity registry holds the UAC2 clock.
class BenchOwner : public AudioHal, public IUsbDevice {
public:
    DECLARE_UNKNOWN_BASE()
    explicit BenchOwner(IUsbDevice* usb) : AudioHal(nullptr), m_usb(usb) {}

    NTSTATUS Configure() override { return STATUS_SUCCESS; }
    NTSTATUS BuildConnections() override { return STATUS_SUCCESS; }

    PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() override { return m_usb->GetConfigurationDescriptor(); }
    USBD_CONFIGURATION_HANDLE GetConfigurationHandle() override { return m_usb->GetConfigurationHandle(); }
    UCHAR GetAudioControlInterfaceNumber() override { return m_usb->GetAudioControlInterfaceNumber(); }
    NTSTATUS SetPresent(UCHAR present) override { return m_usb->SetPresent(present); }
    NTSTATUS CallLowerDriver(PIRP irp) override
    {
        if (!Intercept) {
            return m_usb->CallLowerDriver(irp);
        }
        // The bus double takes its stack location and keeps the IRP.
        IoSetNextIrpStackLocation(irp);
        Pending.push_back(irp);
        return STATUS_PENDING;
    }
    NTSTATUS SubmitUrbSync(PURB urb) override { return m_usb->SubmitUrbSync(urb); }
    NTSTATUS GetCurrentFrame(PULONG frame) override { return m_usb->GetCurrentFrame(frame); }
    PIRP AllocateIrp() override { return m_usb->AllocateIrp(); }
    NTSTATUS FreeIrp(PIRP irp) override { return m_usb->FreeIrp(irp); }
    UCHAR IsHighSpeed() override { return m_usb->IsHighSpeed(); }
    BOOLEAN CheckPort() override { return m_usb->CheckPort(); }
    BOOLEAN CyclePort() override { return m_usb->CyclePort(); }
    PDEVICE_OBJECT GetLowerDevice() override { return m_usb->GetLowerDevice(); }
    LONG AddBusyReference() override { return m_usb->AddBusyReference(); }
    LONG ReleaseBusyReference() override { return m_usb->ReleaseBusyReference(); }
    NTSTATUS CreateFunction() override { return STATUS_NOT_IMPLEMENTED; }

    // Completes the oldest kept transfer, at DISPATCH_LEVEL as a bus does; a feedback transfer
    // (IN) brings the nominal 48 kHz value in every packet. Returns whether it carried data (OUT).
    bool CompleteOne(NTSTATUS status = STATUS_SUCCESS)
    {
        PIRP irp = Pending.front();
        Pending.pop_front();
        auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        auto& iso = urb->UrbIsochronousTransfer;
        const bool in = (iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        if (in) {
            for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
                std::memcpy(static_cast<PUCHAR>(iso.TransferBuffer) + iso.IsoPacket[i].Offset, &BENCH_FEEDBACK_48K, 4);
                iso.IsoPacket[i].Length = 4;
                iso.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
            }
        }
        urb->UrbHeader.Status = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_CANCELED;
        irp->IoStatus.Status = status;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
        return !in;
    }

    bool Intercept = true;
    std::deque<PIRP> Pending;

private:
    IUsbDevice* m_usb;
};

NTSTATUS BenchOwner::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject != nullptr && IsEqualGUID(iid, IID_IUsbDevice)) {
        return ReturnInterface(static_cast<IUsbDevice*>(this), ppvObject);
    }
    return AudioHal::NonDelegatingQueryInterface(iid, ppvObject);
}

// A processing node that leaves the samples as they are.
class PassThroughNode : public UnknownBase, public IProcessingNode {
public:
    DECLARE_UNKNOWN_BASE()
    PassThroughNode() : UnknownBase(nullptr) {}
    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WaveFormatRecord*) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    NTSTATUS Process(const WaveFormatRecord*, PVOID, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS Reset() override { return STATUS_SUCCESS; }
};

NTSTATUS PassThroughNode::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject != nullptr && IsEqualGUID(iid, IID_IProcessingNode)) {
        return ReturnInterface(static_cast<IProcessingNode*>(this), ppvObject);
    }
    return UnknownBase::NonDelegatingQueryInterface(iid, ppvObject);
}

VOID FillCallback(PVOID context, PVOID argument1, PVOID)
{
    auto* message = static_cast<TransportMessage*>(argument1);
    if (message->Event == TRANSPORT_EVENT_FILL_RENDER) {
        auto* counter = static_cast<uint8_t*>(context);
        std::memset(message->Data.Buffer, (*counter)++, message->Data.Bytes);
    }
}

WaveFormatRecord Pcm48k(USHORT channels = 2)
{
    WaveFormatRecord f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = 48000;
    f.Format.nBlockAlign = static_cast<USHORT>(2 * channels);
    f.Format.nAvgBytesPerSec = 48000u * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = 16;
    f.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
    f.Samples.wValidBitsPerSample = 16;
    f.dwChannelMask = channels == 8 ? 0x63F : 3;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

enum class Path { Uac1, Uac2, V6 };

// A device on the bus, its device object, and a render endpoint streaming 48 kHz: UAC1 at full
// speed, or the UAC2 headset at high speed with its feedback endpoint.
struct Machine {
    std::unique_ptr<sim::SimDevice> Device;
    std::unique_ptr<platform::usb::UsbBus> Bus;
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
    UsbAudioDevice* Usb = nullptr;
    BenchOwner* Owner = nullptr;
    UsbStreamEndpoint* Endpoint = nullptr;
    PassThroughNode* Node = nullptr;
    EndpointClient* Client = nullptr;
    uint8_t Counter = 0;

    Machine(bool intercept, ULONG msPerTransfer, Path path = Path::Uac1)
    {
        const bool uac2 = path == Path::Uac2;
        platform::MachineReset();
        sim::DescriptorBuilder b;
        if (uac2) {
            b = kvxtest::Uac2Headset(true);
        } else {
            b.AudioControl(0, 0, {1})
                .Uac1InputTerminal(1, 0x0101, 2)
                .Uac1OutputTerminal(3, 0x0301, 1)
                .AudioStreaming(1, 0, 0)
                .AudioStreaming(1, 1, 0)
                .Uac1AsGeneral(1)
                .Uac1FormatTypeI(2, 2, 16, {48000})
                .Endpoint(0x01, 0x09, 200, 1)
                .Uac1AsEndpoint();
        }
        Device = std::make_unique<sim::SimDevice>(b.DeviceDescriptor(), b.Configuration(),
                                                  uac2 ? std::optional<bool>(true) : std::nullopt);
        Bus = std::make_unique<platform::usb::UsbBus>(Device.get());
        Device->AttachBus(Bus.get());
        platform::DeviceSetUpUsb(Bus->Pdo(), 0x1234, 0x5678, 0x0100);
        Driver = platform::IoCreateDriverObject(u"\\Driver\\UsbAudio");
        IoCreateDevice(Driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &Fdo);
        IoAttachDeviceToDeviceStack(Fdo, Bus->Pdo());
        Fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        IAudioHal* hal = nullptr;
        UsbAudioDevice::Create(&hal);
        Usb = static_cast<UsbAudioDevice*>(hal);
        Usb->Init(nullptr, Fdo, Bus->Pdo(), Bus->Pdo());
        Owner = new (NonPagedPoolNx, BENCH_TAG) BenchOwner(static_cast<IUsbDevice*>(Usb));
        Owner->GetNonDelegatingUnknown()->AddRef();
        Owner->Intercept = intercept;
        Owner->Init(nullptr, Fdo, Bus->Pdo(), Bus->Pdo());
        if (uac2) {
            auto* clock = new (NonPagedPoolNx, BENCH_TAG) ClockEntity(nullptr, BENCH_CLOCK_ID);
            clock->GetNonDelegatingUnknown()->AddRef();
            Owner->AddEntity(clock);
            clock->GetNonDelegatingUnknown()->Release();
            Endpoint = new (NonPagedPoolNx, UAC2_ENDPOINT_TAG) Uac2RenderEndpoint(nullptr, 1, 0, BENCH_CLOCK_ID);
        } else if (path == Path::V6) {
            Endpoint = new (NonPagedPoolNx, UAC1_ENDPOINT_TAG) V6RenderEndpoint(nullptr, 1, 0);
        } else {
            Endpoint = new (NonPagedPoolNx, UAC1_ENDPOINT_TAG) Uac1RenderEndpoint(nullptr, 1, 0);
        }
        Endpoint->GetNonDelegatingUnknown()->AddRef();
        Endpoint->Init(FALSE, Owner->GetNonDelegatingUnknown());
        WaveFormatRecord format = Pcm48k(path == Path::V6 ? 8 : 2);
        Endpoint->AddFormat(&format, 1);
        Endpoint->AllocateProcessingBuffers();
        Node = new (NonPagedPoolNx, BENCH_TAG) PassThroughNode();
        Node->GetNonDelegatingUnknown()->AddRef();
        Endpoint->AddNode(Node);
        Endpoint->RegisterClient(CLIENT_KIND_WAVE_STREAM, &format, msPerTransfer, 3, FillCallback, &Counter, &Client);
        ULONG ms = 0, frame = 0;
        Endpoint->ClientStart(Client->Registration, &ms, &frame);
        Endpoint->ClientRun(Client->Registration, frame + 2, &ms, nullptr);
    }
    ~Machine()
    {
        PVOID handle = Client->Registration;
        // Stopping waits for the ring to drain: the kept transfers go back cancelled first.
        while (!Owner->Pending.empty()) {
            Owner->CompleteOne(STATUS_CANCELLED);
        }
        Endpoint->ClientPause(handle, nullptr);
        Endpoint->ClientStop(handle);
        Endpoint->UnregisterClient(handle);
        Endpoint->GetNonDelegatingUnknown()->Release();
        Node->GetNonDelegatingUnknown()->Release();
        Owner->GetNonDelegatingUnknown()->Release();
        static_cast<IAudioHal*>(Usb)->Release();
        IoDetachDevice(Bus->Pdo());
        IoDeleteDevice(Fdo);
        platform::IoDeleteDriverObject(Driver);
        platform::DeviceForget(Bus->Pdo());
        Bus.reset();
        Device.reset();
    }
};

// One iteration: one second of audio through the render path on the bus double.
void RenderPath(benchmark::State& state)
{
    const auto ms = static_cast<ULONG>(state.range(0));
    Machine machine(true, ms);
    const ULONG transfers = 1000 / ms;
    for (auto _ : state) {
        for (ULONG i = 0; i < transfers; ++i) {
            machine.Owner->CompleteOne();
        }
    }
    state.SetLabel("per audio second");
}
BENCHMARK(RenderPath)->Arg(5)->Arg(1)->Unit(benchmark::kMillisecond);

// One iteration: one second of UAC2 audio at high speed with explicit feedback on the bus double:
// 200 data transfers of 40 packets and the feedback transfers that ride along.
void RenderPathUac2Feedback(benchmark::State& state)
{
    Machine machine(true, 5, Path::Uac2);
    for (auto _ : state) {
        for (ULONG data = 0; data < 200;) {
            data += machine.Owner->CompleteOne() ? 1 : 0;
        }
    }
    state.SetLabel("per audio second");
}
BENCHMARK(RenderPathUac2Feedback)->Unit(benchmark::kMillisecond);

// One iteration: one second of the effects variant's 8-channel stream, limited and sent as two
// channels, on the bus double (5 ms transfers), beside the UAC1 stereo figure above.
void RenderPathV6(benchmark::State& state)
{
    Machine machine(true, 5, Path::V6);
    for (auto _ : state) {
        for (ULONG i = 0; i < 200; ++i) {
            machine.Owner->CompleteOne();
        }
    }
    state.SetLabel("per audio second");
}
BENCHMARK(RenderPathV6)->Unit(benchmark::kMillisecond);

// For information: one second of the whole simulated machine (bus, device model, clock).
void WholeMachine(benchmark::State& state)
{
    Machine machine(false, 5);
    for (auto _ : state) {
        platform::RunFor(std::chrono::seconds(1));
    }
    state.SetLabel("per audio second");
}
BENCHMARK(WholeMachine)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// The USB bus of the stand-in (host interface, not kernel API): one hub port with one device on
// it, seen by the driver stack as the physical device object (PDO) at the bottom of its stack.
//
// The PDO answers IRP_MJ_INTERNAL_DEVICE_CONTROL (URBs, port status, reset, cycle, idle
// notification), IRP_MN_QUERY_INTERFACE for the USBDI bus interface, and the other PnP and power
// requests as a bus driver's PDO does. URBs are validated as a host controller would; accepted
// ones are pended with a cancel routine and completed at DISPATCH_LEVEL from a timer DPC, in frame
// order on the virtual clock (one frame per millisecond). What the device answers comes from a
// UsbDeviceModel (the simulated devices of sim/).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/nt/Dispatcher.h"
#include "platform/nt/Dpc.h"
#include "platform/nt/WorkItem.h"
#include "platform/usb/Usb.h"

namespace platform::usb {

// The answer of a device to a control transfer or a bulk / interrupt transfer.
struct UsbTransferResult {
    enum class Kind { Done, Stall, Pending, Error };
    Kind Outcome = Kind::Done;
    ULONG Length = 0;                      // bytes transferred (IN: written into the buffer)
    USBD_STATUS Status = USBD_STATUS_SUCCESS;  // for Error

    static UsbTransferResult Done(ULONG length) { return {Kind::Done, length, USBD_STATUS_SUCCESS}; }
    static UsbTransferResult Stall() { return {Kind::Stall, 0, USBD_STATUS_STALL_PID}; }
    static UsbTransferResult Never() { return {Kind::Pending, 0, USBD_STATUS_PENDING}; }
    static UsbTransferResult Error(USBD_STATUS status) { return {Kind::Error, 0, status}; }
};

// A failure a device model puts on a whole isochronous URB (see UsbDeviceModel::IsochronousUrbFault).
struct UsbIsochronousUrbFault {
    // An error fails the URB: no packet reaches the device, every packet carries this status and
    // the IRP completes with IrpStatus (or the NTSTATUS matching the USBD status when that is 0).
    USBD_STATUS UrbStatus = USBD_STATUS_SUCCESS;
    // With a successful URB status, a failure here completes the IRP with it while the URB and
    // its packets report success (a fault only the IRP shows).
    NTSTATUS IrpStatus = STATUS_SUCCESS;
    // The device leaves the port now: this URB and everything pending fail as on Unplug.
    bool Unplug = false;
};

// The device side of the port. Called with no bus lock held, at DISPATCH_LEVEL from the bus's
// DPC (transfers) or at the caller's level (port requests).
class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;

    virtual bool IsHighSpeed() = 0;
    // The device descriptor and configuration `index` exactly as the device returns them; the bus
    // reads them to know the pipes.
    virtual std::vector<UCHAR> DeviceDescriptor() = 0;
    virtual std::vector<UCHAR> ConfigurationDescriptor(UCHAR index) = 0;

    // A control transfer on the default pipe. IN: at most setup.wLength bytes into `data`.
    virtual UsbTransferResult Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data, ULONG length) = 0;
    // Bulk or interrupt transfers on a non-default endpoint. An IN transfer that returns Pending
    // stays queued until the device calls UsbBus::NotifyEndpoint.
    virtual UsbTransferResult BulkOrInterrupt(UCHAR endpoint, UCHAR* data, ULONG length) = 0;
    // One isochronous packet in its (micro)frame. OUT: the bytes sent; IN: fill at most `length`
    // bytes and set *actual.
    virtual USBD_STATUS IsochronousOut(UCHAR endpoint, ULONG frame, ULONG microframe, const UCHAR* data,
                                       ULONG length) = 0;
    virtual USBD_STATUS IsochronousIn(UCHAR endpoint, ULONG frame, ULONG microframe, UCHAR* data, ULONG length,
                                      ULONG* actual) = 0;
    // Frames in which the pipe of an isochronous endpoint carried nothing: the frames between two
    // URBs of its schedule. Called in frame order with the packets, before the next URB's packets.
    virtual void IsochronousGap(UCHAR /*endpoint*/, ULONG /*firstFrame*/, ULONG /*frames*/) {}
    // Asked when an isochronous URB of `frames` frames from `startFrame` completes, before its
    // packets are sent or received.
    virtual UsbIsochronousUrbFault IsochronousUrbFault(UCHAR /*endpoint*/, ULONG /*startFrame*/, ULONG /*frames*/)
    {
        return {};
    }
    // SET_INTERFACE as the bus sends it for a SELECT_INTERFACE; false stalls it.
    virtual bool SelectInterface(UCHAR interfaceNumber, UCHAR alternateSetting) = 0;
    virtual bool SelectConfiguration(UCHAR configurationValue) = 0;
    // The stall of an endpoint is cleared (SYNC_RESET_PIPE_AND_CLEAR_STALL).
    virtual void ClearStall(UCHAR endpoint) = 0;

    // Port requests: the status to return (STATUS_SUCCESS or a failure). A port status failure
    // is what the hub reports; a device may also pretend, e.g. STATUS_NO_SUCH_DEVICE.
    virtual NTSTATUS PortStatusOverride() { return STATUS_SUCCESS; }
    virtual NTSTATUS ResetPortStatus() { return STATUS_SUCCESS; }
    // Whether the device accepts selective suspend: STATUS_SUCCESS keeps the idle request and
    // calls its callback; STATUS_PENDING keeps it without calling back (the hub is not ready to
    // suspend the port); any other status completes it at once with that status.
    virtual NTSTATUS IdleNotificationStatus() { return STATUS_SUCCESS; }
    // The hub suspended the port (true) or resumed it (false), as the PDO left or returned to D0.
    virtual void PortSuspended(bool /*suspended*/) {}
    // Whether the PDO answers the USBDI bus-interface query, and what QueryBusTime returns.
    virtual bool BusInterfaceAvailable() { return true; }
    virtual NTSTATUS QueryBusTimeStatus() { return STATUS_SUCCESS; }
};

// Counters of the port requests, for tests.
struct UsbPortCounters {
    ULONG PortStatusQueries = 0;
    ULONG Resets = 0;
    ULONG Cycles = 0;
    ULONG IdleNotifications = 0;  // idle-notification requests received
    ULONG IdleCallbacks = 0;
    ULONG Suspends = 0;       // the port was suspended (PDO to D1..D3)
    ULONG Resumes = 0;        // and resumed (PDO back to D0)
    ULONG SuspendedUrbs = 0;  // URBs refused because the port was suspended
};

class UsbBus {
public:
    // Creates the PDO for the device on a fresh port. The model must outlive the bus.
    explicit UsbBus(UsbDeviceModel* model);
    // Fails whatever is still pending and deletes the PDO. The device stack above must be gone.
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // Null when the PDO could not be created.
    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    UsbDeviceModel* Model() const { return m_model; }

    // The USB frame number of a bus whose frame number was never set: machine time in
    // milliseconds, 32 bits wrapping.
    static ULONG CurrentFrame();
    // This bus's frame in progress (what QueryBusTime and GET_CURRENT_FRAME_NUMBER return): the
    // machine clock in milliseconds plus the offset SetFrameNumber chose.
    ULONG Frame();
    // Makes the frame in progress `frame` from now on (e.g. just below 2^32 to test the wrap);
    // the frames keep following the one clock. Set it before any isochronous transfer.
    void SetFrameNumber(ULONG frame);
    // Completion processors: when on, the completions due together are spread over two DPCs on
    // processors 0 and 1 that run at the same time (order within a pipe is then not kept among
    // them), and the bus completes only every `framesPerInterrupt` frames, as a host controller
    // with interrupt moderation does, so that several completions of one pipe fall due together.
    void SetTwoProcessorCompletions(bool on, ULONG framesPerInterrupt = 2);
    // Host-controller timing, in machine time. A transfer is done with the device in its frames,
    // but its completion reaches the driver only at the controller's next interrupt: every
    // `latencyMs` frames (completions of several frames delivered together, up to that late, as
    // interrupt moderation does), each interrupt a further 0 to `jitterUs` late (scheduling
    // jitter, the same sequence for the same seed). Completions keep the order of their transfers.
    void SetCompletionTiming(ULONG latencyMs, ULONG jitterUs = 0, uint32_t seed = 1);
    // Frames that carried nothing between the URBs of the endpoint's isochronous pipes, counted
    // since the bus was made.
    uint64_t EmptyFrames(UCHAR endpoint);
    // Unplugs the device: pending requests fail with USBD_STATUS_DEVICE_GONE /
    // STATUS_DEVICE_NOT_CONNECTED, new URBs the same, and the port status says disconnected.
    void Unplug();
    bool Connected();
    // The device has something for its IN endpoint: queued transfers on it are tried again.
    void NotifyEndpoint(UCHAR endpoint);
    UsbPortCounters Counters();
    // Requests held by the bus (queued, pending on a device, or idle notifications).
    size_t PendingCount();

    // Power and selective suspend (UsbBusPower.cpp). The PDO's D1 to D3 suspend the port and D0
    // resumes it; a URB on a suspended port is refused with STATUS_DEVICE_NOT_READY. An idle
    // request is taken at PASSIVE_LEVEL from a device in D0, one at a time; it is held, called
    // back `delayMs` after it came (at PASSIVE_LEVEL, while the PDO is in D0), completed with
    // success when the PDO returns to D0 and with STATUS_CANCELLED when cancelled or when the
    // PDO is removed. A request cancelled while its callback runs completes when the callback
    // returns.
    bool Suspended();
    DEVICE_POWER_STATE PdoPowerState();
    void SetIdleCallbackDelay(ULONG delayMs);
    // Test hooks that place races. While held, the hub's callback waits just before it calls the
    // device (the request is then already taken for the callback); device set-power requests
    // reaching the PDO wait unanswered. Releasing lets everything held go on.
    void HoldIdleCallback(bool hold);
    bool IdleCallbackWaiting();
    void HoldDevicePower(bool hold);
    size_t HeldPowerRequests();

private:
    struct Pipe {
        USBD_PIPE_HANDLE Handle;
        UCHAR EndpointAddress;
        UCHAR Type;          // USB_ENDPOINT_TYPE_*
        UCHAR Interval;
        ULONG MaxPacket;     // bytes per (micro)frame, high-bandwidth multiplier included
        UCHAR Interface;
        bool Halted = false;
        uint64_t NextFrame = 0;  // isochronous: the frame after the last scheduled one (unwrapped);
                                 // 0 when nothing was scheduled since the pipe was made or reset
    };
    enum class Work { Complete, Control, BulkOrInterrupt, Isochronous, Idle };
    struct Entry {
        PIRP Irp;
        PURB Urb;
        Work Kind;
        bool Held;           // kept by the device (or an idle request): no due time
        int64_t Due;         // machine time, 100 ns
        uint64_t Sequence;
        uint64_t StartFrame; // isochronous
        ULONG PacketsPerFrame;
        uint64_t GapFrom;    // isochronous: frames left empty before this URB
        uint64_t GapFrames;
        Pipe PipeCopy;       // the pipe as it was when the URB was accepted
        // Done with the device, waiting for its interrupt (Due is then that time); no cancel routine.
        bool Finished = false;
        USBD_STATUS Result = USBD_STATUS_SUCCESS;
        NTSTATUS ResultStatus = STATUS_SUCCESS;
    };

    static NTSTATUS DispatchInternal(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp);
    static VOID CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    static VOID DpcRoutine(KDPC* dpc, PVOID context, PVOID, PVOID);
    static VOID OtherDpcRoutine(KDPC* dpc, PVOID context, PVOID, PVOID);
    static VOID IdleWorker(PDEVICE_OBJECT device, PVOID context);
    // A device set-power request at the PDO: the port follows, the request completes.
    void SetPdoPower(PIRP irp);
    // The held idle requests complete with `status` (the PDO's return to D0, its removal).
    void CompleteIdleRequests(NTSTATUS status);
    // True when `irp` is the idle request whose callback runs: its completion then waits for the
    // callback's return.
    bool DeferIdleCompletion(PIRP irp, NTSTATUS status);
    // A URB reaching a suspended port: refused and counted.
    bool RefuseOnSuspendedPort(PIRP irp, PURB urb);
    static VOID BusReference(PVOID context);
    static VOID BusDereference(PVOID context);
    static NTSTATUS QueryBusTime(PVOID busContext, PULONG frame);
    static BOOLEAN IsDeviceHighSpeed(PVOID busContext);
    static VOID GetUsbdiVersion(PVOID busContext, PULONG version, PULONG capabilities);
    static NTSTATUS SubmitIsoOutUrb(PVOID busContext, PURB urb);
    static NTSTATUS QueryBusInformation(PVOID busContext, ULONG level, PVOID buffer, PULONG length, PULONG actual);

    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS PortRequest(PIRP irp, ULONG code);
    NTSTATUS Fail(PIRP irp, PURB urb, USBD_STATUS status);
    NTSTATUS Queue(PIRP irp, Entry entry);
    void Arm();
    void RunDue();
    // The device's side of a due transfer; true with the entry's result set when it is to be
    // completed, false when the device holds it or it completed already.
    bool Exchange(Entry& entry);
    bool ExchangeControl(Entry& entry);
    bool ExchangeBulk(Entry& entry);
    bool ExchangeIsochronous(Entry& entry);
    static bool Finished(Entry& entry, USBD_STATUS usbd, NTSTATUS status);
    void Complete(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status, ULONG_PTR information);
    USBD_STATUS SelectConfiguration(PURB urb);
    USBD_STATUS SelectInterface(PURB urb);
    USBD_STATUS FillInterface(const std::vector<UCHAR>& config, PUSBD_INTERFACE_INFORMATION info, ULONG room);
    USBD_STATUS CheckIsochronous(PURB urb, Entry& entry);
    void Hold(Entry& entry);
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    void FailAllPending(USBD_STATUS usbd, NTSTATUS status);
    void CancelInterfaceTransfers(UCHAR interfaceNumber);
    uint64_t FrameNow();
    int64_t FrameStart(uint64_t frame);
    int64_t InterruptTime(int64_t due);

    UsbDeviceModel* m_model;
    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    KTIMER m_timer{};
    KDPC m_dpc{};
    KDPC m_otherDpc{};                // the second processor's share of the completions
    std::vector<Entry> m_other;
    bool m_twoProcessors = false;
    ULONG m_framesPerInterrupt = 1;
    ULONG m_latencyMs = 1;
    int64_t m_jitterTicks = 0;
    uint32_t m_jitterSeed = 1;
    int64_t m_lastInterrupt = 0;  // completions reach the driver in order
    std::atomic<uint64_t> m_frameOffset{0};  // added to the clock's milliseconds
    std::map<UCHAR, uint64_t> m_emptyFrames;
    KEVENT m_workDone;  // signalled while no idle work item is outstanding
    std::mutex m_lock;
    std::vector<Entry> m_queue;       // accepted requests by due time and sequence
    std::map<USBD_PIPE_HANDLE, Pipe> m_pipes;
    std::vector<UCHAR> m_configuration;
    USBD_CONFIGURATION_HANDLE m_configurationHandle = nullptr;
    uint64_t m_sequence = 0;
    uintptr_t m_nextHandle = 0x1000;
    bool m_connected = true;
    bool m_deleting = false;
    LONG m_interfaceReferences = 0;
    int m_workItems = 0;
    std::vector<std::pair<PIO_WORKITEM, PIRP>> m_idleWork;
    UsbPortCounters m_counters;
    // Power (UsbBusPower.cpp), under m_lock.
    DEVICE_POWER_STATE m_pdoPower = PowerDeviceD0;
    bool m_suspended = false;
    ULONG m_idleDelayMs = 0;
    KEVENT m_idleGate{};        // signalled unless the callback is held
    bool m_idleWaiting = false; // a callback waits at the gate
    PIRP m_idleCallbackIrp = nullptr;  // the request whose callback runs
    bool m_idleDeferred = false;       // it completed meanwhile, with this status:
    NTSTATUS m_idleDeferredStatus = STATUS_SUCCESS;
    bool m_holdPower = false;
    std::vector<PIRP> m_heldPower;
};

// NTSTATUS a host controller driver completes a URB's IRP with for a USBD status.
NTSTATUS UsbdStatusToNtStatus(USBD_STATUS status);

}  // namespace platform::usb

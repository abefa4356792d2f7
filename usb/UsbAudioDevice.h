// The adapter's one device object: the USB side of the device (descriptors, configuration, bus
// interface, port control) and the owner of the one USB audio function, which it aggregates and
// to which it forwards the audio operations.
#pragma once

#include "asio/AsioDevice.h"
#include "adapter/AudioHal.h"
#include "adapter/LockObject.h"
#include "adapter/ObjectList.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Dpc.h"
#include "platform/nt/Sync.h"
#include "adapter/UsbDevice.h"
#include "usb/DeviceQuirks.h"

constexpr ULONG USB_AUDIO_DEVICE_TAG = MakePoolTag("PcCr");
constexpr ULONG USB_DEVICE_BUFFER_TAG = MakePoolTag("USBd");
constexpr ULONG MANUFACTURER_STRING_TAG = MakePoolTag("str ");

// Relative wait of a synchronous request before it is cancelled: 500 ms in 100 ns units.
constexpr LONGLONG SYNC_REQUEST_TIMEOUT = -5000000LL;
constexpr USHORT STRING_LANGUAGE_ID = 0x0409;
constexpr ULONG DEVICE_STRING_BUFFER_BYTES = 260;
constexpr ULONG DEVICE_STRING_REQUEST_BYTES = 256;
constexpr size_t DEVICE_NAME_MAX_BYTES = 100;

// Which device-instance value the registry routines touch.
constexpr ULONG DEVICE_PARAMETER_SELECTIVE_SUSPENDED = 0;
constexpr ULONG DEVICE_PARAMETER_SELECTIVE_SUSPEND_ENABLED = 1;
constexpr ULONG DEVICE_VALUE_DESCRIPTION = 0;
constexpr ULONG DEVICE_VALUE_MANUFACTURER = 8;
constexpr ULONG DEVICE_VALUE_FRIENDLY_NAME = 9;

// ASIO sample types and defaults.
constexpr ULONG ASIO_DEFAULT_SAMPLE_TYPE = 16;
constexpr ULONG ASIO_DEFAULT_LATENCY_INDEX = 4;
constexpr ULONG ASIO_DEFAULT_SAMPLE_RATE = 48000;

// The function class chosen for a device.
enum class UsbFunctionVariant : ULONG { None = 0, Uac1, Uac2, V3, V4, V5, V6 };
// The class name of a variant ("Uac1Function", ... "Uac1FunctionV6"; "none"). Any IRQL.
PCSTR UsbFunctionClassName(UsbFunctionVariant variant);

// Creates the function object of the variant with `pOuterUnknown` as its outer unknown and returns
// its non-delegating unknown with one reference. Variants whose class is not built yet answer
// STATUS_NOT_IMPLEMENTED. PASSIVE_LEVEL.
NTSTATUS NewUsbAudioFunction(UsbFunctionVariant variant, PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown,
                             USHORT idVendor, USHORT idProduct);

class UsbAudioDevice : public AudioHal, public IUsbDevice, public AsioDevice {
public:
    DECLARE_UNKNOWN_BASE()

    // Allocates the object and returns its IAudioHal with one reference; STATUS_INSUFFICIENT_RESOURCES.
    // PASSIVE_LEVEL.
    static NTSTATUS Create(IAudioHal** ppAudioHal);

    // PASSIVE_LEVEL: the destructor waits for the idle machinery and the ASIO teardown.
    UsbAudioDevice();
    ~UsbAudioDevice() override;

    // IUsbDevice. The accessors, SetPresent and the busy references: any IRQL.
    PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() override { return m_pConfiguration; }
    USBD_CONFIGURATION_HANDLE GetConfigurationHandle() override { return m_hConfiguration; }
    UCHAR GetAudioControlInterfaceNumber() override { return m_AudioControlInterface; }
    NTSTATUS SetPresent(UCHAR bPresent) override;
    // IRQL <= DISPATCH_LEVEL: the streaming endpoints send their transfers from completion routines.
    NTSTATUS CallLowerDriver(PIRP pIrp) override;
    // Sends the URB and waits for it (500 ms, then cancelled). PASSIVE_LEVEL.
    NTSTATUS SubmitUrbSync(PURB pUrb) override;
    // IRQL <= DISPATCH_LEVEL.
    NTSTATUS GetCurrentFrame(PULONG pulFrame) override;
    // Both IRQL <= DISPATCH_LEVEL.
    PIRP AllocateIrp() override;
    NTSTATUS FreeIrp(PIRP pIrp) override;
    UCHAR IsHighSpeed() override { return m_bHighSpeed; }
    // Both send port requests and wait for them (CheckPort also under the port lock, a mutex).
    // PASSIVE_LEVEL.
    BOOLEAN CheckPort() override;
    BOOLEAN CyclePort() override;
    PDEVICE_OBJECT GetLowerDevice() override { return m_pLowerDevice; }
    LONG AddBusyReference() override;
    LONG ReleaseBusyReference() override;
    // PASSIVE_LEVEL (reads the chip string with synchronous requests).
    NTSTATUS CreateFunction() override;

    // IAudioHal: carried by the device itself. GetComponentId and BuildConnections: any IRQL.
    NTSTATUS GetComponentId(KSCOMPONENTID* pComponentId) override;
    // Init (the settings file and the registry) and Configure: PASSIVE_LEVEL.
    NTSTATUS Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                  PDEVICE_OBJECT pPhysicalDevice) override;
    NTSTATUS Configure() override;
    NTSTATUS BuildConnections() override { return STATUS_SUCCESS; }
    // Cancels an outstanding idle request and waits (500 ms at most for each) until it ended and
    // the device is awake again. Surprise removal and removal stop the idle cycle for good and wait
    // without limit for everything of it under way. PASSIVE_LEVEL.
    NTSTATUS OnPnpIrp(PIRP pIrp) override;

    // IAdapterPowerManagement: moves the function, and holds the 1 ms timer resolution in D0.
    // PASSIVE_LEVEL (takes the ASIO lock, a mutex), but non-paged with the idle cycle's routines.
    VOID PowerChangeState(POWER_STATE NewState) override;

    // IAudioHal: forwarded to the function, at the IRQL the function's operation allows
    // (GetEndpointCapabilities, the counts and the list reads: IRQL <= DISPATCH_LEVEL; Start, Stop
    // and the callback registrations: PASSIVE_LEVEL).
    NTSTATUS GetEndpointCapabilities(ULONG ulIndex, AudioCapabilities* pCapabilities) override;
    ULONG GetEndpointCount() override;
    NTSTATUS GetEndpoint(ULONG ulIndex, StreamEngine** ppEndpoint) override;
    ULONG GetEntityCount() override;
    NTSTATUS GetEntity(ULONG ulIndex, TopologyNode** ppEntity) override;
    NTSTATUS Start() override;
    NTSTATUS Stop() override;
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION pCallback, PVOID pContext, PVOID* ppRegistration) override;
    NTSTATUS UnregisterCallback(PVOID pRegistration) override;

    // The steps of Configure. PASSIVE_LEVEL.
    NTSTATUS ReadDescriptors();
    NTSTATUS SelectConfiguration();
    NTSTATUS QueryBusInterface();
    NTSTATUS NameDevice();
    NTSTATUS LoadAsioSettings();
    // Takes the function's interfaces from its non-delegating unknown, which the device keeps with
    // the one reference it came with.
    NTSTATUS BindFunction(PUNKNOWN pFunction);

    // Device-instance registry values. PASSIVE_LEVEL.
    NTSTATUS ReadDeviceParameter(ULONG which, ULONG ulBufferSize, PVOID pBuffer);
    NTSTATUS WriteDeviceInstanceValue(ULONG which, ULONG ulDataSize, PVOID pData);

    // The routine of every IRP the device sends and waits for: sets the event in its context.
    // IRQL <= DISPATCH_LEVEL (a completion routine).
    static NTSTATUS SyncIrpCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);

    // State, for the device's users and tests. Any IRQL.
    UCHAR IsPresent() const { return __atomic_load_n(&m_bPresent, __ATOMIC_SEQ_CST); }
    USHORT VendorId() const { return m_idVendor; }
    USHORT ProductId() const { return m_idProduct; }
    ULONG InterfaceCount() const { return m_ulInterfaceCount; }
    PUSBD_INTERFACE_INFORMATION InterfaceCopy(ULONG i) const
    {
        return (m_ppInterfaces != nullptr && i < m_ulInterfaceCount) ? m_ppInterfaces[i] : nullptr;
    }
    UsbFunctionVariant FunctionVariant() const { return m_FunctionVariant; }
    IAudioHal* FunctionAudioHal() const { return m_pFunctionAudioHal; }
    LONG ActiveRequests() const { return __atomic_load_n(&m_lActiveRequests, __ATOMIC_SEQ_CST); }
    LONG BusyCount() const { return __atomic_load_n(&m_lBusyCount, __ATOMIC_SEQ_CST); }
    BOOLEAN SelectiveSuspendEnabled() const { return m_bSelectiveSuspendEnabled != 0; }
    LONG IdleRequestActive() const { return __atomic_load_n(&m_lIdleRequestActive, __ATOMIC_SEQ_CST); }

    // Selective suspend. IsIdleAllowed: any IRQL. SubmitIdleRequest: PASSIVE_LEVEL (the hub takes
    // the idle request only there), non-paged. CancelIdleRequest: IRQL <= DISPATCH_LEVEL.
    BOOLEAN IsIdleAllowed() const;
    NTSTATUS SubmitIdleRequest();
    VOID CancelIdleRequest();

protected:
    // What the ASIO interface needs of the device. Any IRQL.
    IAudioHal* AsioHal() override { return static_cast<IAudioHal*>(this); }
    IUsbDevice* AsioUsb() override { return static_cast<IUsbDevice*>(this); }
    PDEVICE_OBJECT AsioFunctionalDevice() override { return m_pFunctionalDevice; }
    BOOLEAN AsioDeviceInD0() override { return CurrentPowerState() == PowerDeviceD0 ? TRUE : FALSE; }
    UCHAR AsioProductStringIndex() override { return m_iProduct; }
    USHORT AsioVendorId() override { return m_idVendor; }
    USHORT AsioProductId() override { return m_idProduct; }

private:
    // Sends a port request built with IoBuildDeviceIoControlRequest and waits for it. STATUS_
    // INSUFFICIENT_RESOURCES when it cannot be built. PASSIVE_LEVEL.
    NTSTATUS SendPortRequest(ULONG ulCode, PVOID pArgument, PKEVENT pEvent);
    // A GET_DESCRIPTOR request of `ulLength` bytes into `pBuffer`, with a URB of `ulUrbTag`.
    // PASSIVE_LEVEL.
    NTSTATUS GetDescriptor(UCHAR type, UCHAR index, USHORT language, PVOID pBuffer, ULONG ulLength,
                           ULONG ulUrbTag, PULONG pulTransferred);
    // Reads a string descriptor into a zeroed buffer and writes its text to the device-instance value.
    // PASSIVE_LEVEL.
    void WriteDeviceString(UCHAR index, ULONG ulBufferTag, ULONG which);
    // PASSIVE_LEVEL (reads the chip string).
    UsbFunctionVariant ChooseUac1Variant();
    // PASSIVE_LEVEL (the registry and paged buffers).
    NTSTATUS AccessDeviceInstanceKey(bool bParameters, PCWSTR pValueName, ULONG ulType, PVOID pData, ULONG ulSize,
                                     bool bWrite);
    // The idle cycle: the timer's DPC (DISPATCH_LEVEL) queues the work item (PASSIVE_LEVEL), which
    // sends the idle request; the hub calls back at PASSIVE_LEVEL and the request completes at
    // IRQL <= DISPATCH_LEVEL.
    static VOID IdleTimerDpc(KDPC* pDpc, PVOID pContext, PVOID, PVOID);
    static VOID IdleWorkItem(PDEVICE_OBJECT pDeviceObject, PVOID pContext);
    static VOID IdleNotificationCallback(PVOID pContext);
    static NTSTATUS IdleIrpCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);
    // IRQL <= DISPATCH_LEVEL (the idle request's completion re-arms it under the idle lock).
    void ArmIdleTimer();
    // Any IRQL.
    static bool IsRemovalRequest(PIRP pIrp);
    // Teardown: no idle request is started, re-armed or woken from any more; an outstanding one is
    // cancelled. Then waits for the idle machinery to let go of the object. PASSIVE_LEVEL (flushes
    // the DPCs and waits).
    void StopIdleRequests();
    void WaitIdleRequests();
    // The device holds at most one 1 ms timer resolution request at a time. PASSIVE_LEVEL (the
    // constructor, the destructor and the power path).
    void HoldTimerResolution();
    void ReleaseTimerResolution();
    // Any IRQL.
    DEVICE_POWER_STATE CurrentPowerState() const { return __atomic_load_n(&m_PowerState, __ATOMIC_SEQ_CST); }

    PUSB_CONFIGURATION_DESCRIPTOR m_pConfiguration;
    USBD_CONFIGURATION_HANDLE m_hConfiguration;
    PUSBD_INTERFACE_INFORMATION* m_ppInterfaces;
    PUNKNOWN m_pFunction;
    IAudioHal* m_pFunctionAudioHal;
    IAdapterPowerManagement* m_pFunctionPower;
    IUsbAudioFunction* m_pFunctionInterface;
    USHORT m_idVendor;
    USHORT m_idProduct;
    UCHAR m_iManufacturer;
    UCHAR m_iProduct;
    ULONG m_ulInterfaceCount;
    UCHAR m_bPresent;
    UCHAR m_bHighSpeed;
    UCHAR m_AudioControlInterface;
    CHAR m_IrpStackSize;
    LONG m_lPortCycled;
    USB_BUS_INTERFACE_USBDI_V1 m_BusInterface;
    LockObject m_PortLock;
    ObjectList* m_pObjects;
    UsbFunctionVariant m_FunctionVariant;
    // Idle-request state; its requests are the power code's.
    KSPIN_LOCK m_DeviceIdleLock;
    KTIMER m_IdleTimer;
    KDPC m_IdleTimerDpc;
    KEVENT m_IdleWorkDone;
    KEVENT m_IdleRequestDone;
    KEVENT m_WakeDone;
    KEVENT m_IdleCallbackDone;  // signalled while no hub callback of ours asks for or waits on D2
    PIRP m_pIdleIrp;
    PUSB_IDLE_CALLBACK_INFO m_pIdleCallbackInfo;
    LONG m_lIdleRequestActive;
    LONG m_lIdleIrpReferences;
    bool m_bIdleStopping;
    bool m_bIdleD2Asked;  // the hub's callback asked for D2 for the request outstanding
    bool m_bTimerResolutionHeld;
    LONG m_lActiveRequests;
    LONG m_lBusyCount;
    ULONG m_bSelectiveSuspendEnabled;
    bool m_bIdleStateReady;
};

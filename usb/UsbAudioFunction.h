// The base of every USB audio function: the AudioHal that holds the device's audio model (entities,
// endpoints, the unit objects of the AudioControl descriptors and the stored capability block),
// aggregated by the device object. It keeps the unit list the parsers fill, the AudioControl
// interface number, and the state of the status thread that the class functions run.
#pragma once

#include "adapter/AudioHal.h"
#include "adapter/LockObject.h"
#include "adapter/ObjectList.h"
#include "adapter/StreamEngine.h"
#include "adapter/UacDescriptorRules.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Thread.h"
#include "topology/UsbAudioUnit.h"
#include "adapter/UsbDevice.h"
#include "usb/DeviceQuirks.h"

constexpr ULONG UAC1_FUNCTION_TAG = MakePoolTag("UAC1");
constexpr ULONG UAC2_FUNCTION_TAG = MakePoolTag("UAC2");
constexpr ULONG FUNCTION_URB_TAG = MakePoolTag("URB ");
// No status pipe in the interrupt interface copy.
constexpr UCHAR NO_INTERRUPT_PIPE = 0xFF;

class UsbAudioFunction;

// What a class function's status thread looks like: the size of its status message (the
// interrupt IN pipe's packet size), whether it also keeps a bulk IN pipe drained, its body (the
// context is the function; it runs at PASSIVE_LEVEL) and its priority.
struct StatusThreadShape {
    USHORT MessageBytes;
    bool WithBulkPipe;
    PKSTART_ROUTINE Body;
    KPRIORITY Priority;
};

// The step of the re-registration pass after an endpoint got its new name, run without the
// endpoint lock: `renameStatus` is the renaming's outcome, the result the status the pass goes on
// with. A step that registers the wave subdevice itself sets *pbRegistered. PASSIVE_LEVEL.
using AfterRenameStep = NTSTATUS (*)(UsbAudioFunction* pFunction, StreamEngine* pEndpoint, ULONG ulEntityId,
                                     NTSTATUS renameStatus, bool* pbRegistered);

class UsbAudioFunction : public AudioHal, public IUsbAudioFunction {
public:
    DECLARE_UNKNOWN_BASE()

    // `pOuterUnknown` is the device object; `ulUnitListTag` the tag of the unit list Init creates;
    // `version` the class version the function speaks, which names it in the log. Both
    // PASSIVE_LEVEL (the classes' destructors end their threads).
    UsbAudioFunction(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct, ULONG ulUnitListTag,
                     UacVersion version);
    ~UsbAudioFunction() override;

    // IUsbAudioFunction: the callback object is the AudioHal's. Any IRQL.
    NTSTATUS GetCallbackObject(PVOID* ppCallbackObject) override;
    using AudioHal::GetCallbackObject;

    // IAudioHal: the block of the endpoint at the index (the last one past the end).
    // IRQL <= DISPATCH_LEVEL.
    NTSTATUS GetEndpointCapabilities(ULONG ulIndex, AudioCapabilities* pCapabilities) override;

    // The unit list. AddUnit takes a reference and puts the unit at the head; FindUnit returns the
    // unit built first among those with the id, without a reference. The list is non-paged: each
    // operation at IRQL <= DISPATCH_LEVEL, but ReleaseUnits at PASSIVE_LEVEL (the last references
    // end the units).
    NTSTATUS CreateUnitList();
    // The Init of every class function: the unit list (STATUS_INSUFFICIENT_RESOURCES without it),
    // then the AudioHal's. PASSIVE_LEVEL.
    NTSTATUS InitUnitsAndHal(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice,
                             PDEVICE_OBJECT pLowerDevice, PDEVICE_OBJECT pPhysicalDevice);
    NTSTATUS AddUnit(UsbAudioUnit* pUnit);
    NTSTATUS FindUnit(ULONG ulId, UsbAudioUnit** ppUnit);
    VOID ReleaseUnits();
    // The index-th unit of the list (newest first), without a reference; past the end: 0xC000000D.
    NTSTATUS GetUnit(ULONG ulIndex, UsbAudioUnit** ppUnit);
    ULONG GetUnitCount() const { return m_pUnits != nullptr ? static_cast<ULONG>(m_pUnits->GetCount()) : 0; }
    // The unit list itself (newest first), for the parsers' passes over it; null before Init.
    ObjectList* Units() const { return m_pUnits; }

    // Whether the endpoint's multi-output terminal switched its output since the last call; the
    // flag is cleared by asking. PASSIVE_LEVEL (the re-registration pass).
    BOOLEAN HasOutputKindChanged(StreamEngine* pEndpoint);

    // Sends an EntityChangeMessage for the entity on the callback object. IRQL <= DISPATCH_LEVEL.
    VOID NotifyEntityChange(ULONG ulEntityId);

    // Builders the descriptor parsers share. BindEndpointEntities links the entities on the
    // endpoint's path (a render endpoint: the whole upstream graph of every physical output
    // terminal that reaches its terminal); LinkUpstreamEntities links the start entity and
    // everything upstream of it, mixers not expanded. The path builders run in the parsers:
    // PASSIVE_LEVEL.
    NTSTATUS BindEndpointEntities(StreamEngine* pEndpoint, ULONG ulTerminalEntityId);
    NTSTATUS LinkUpstreamEntities(StreamEngine* pEndpoint, ULONG ulStartId);
    // A software mute (and, before Vista, a selector) on a path of two terminals, or a capture
    // path's own selector. The nodes carry the unit list's pool tag.
    NTSTATUS CompleteEndpointPath(StreamEngine* pEndpoint);
    NTSTATUS InsertSoftwareMute(StreamEngine* pEndpoint);
    NTSTATUS AddSoftwareMuteNode(ULONG ulId, ULONG ulSourceId, ULONG ulSourceCount, StreamEngine* pEndpoint);
    NTSTATUS AddSelectorEntity(ULONG ulId, ULONG ulCount, const ULONG* pIds, StreamEngine* pEndpoint);
    // Each multi-output terminal entity learns the chain of single-source entities upstream of
    // it, and they the output it currently serves. Failures are ignored. PASSIVE_LEVEL.
    VOID LinkMultiOutputTerminals();

    // The endpoint's name after its output kind changed, into `pName` (NAME_BUFFER_BYTES):
    // the number the start-up counter gave its kind, or the smallest one no other endpoint
    // carries. PASSIVE_LEVEL.
    NTSTATUS FormatEndpointName(StreamEngine* pEndpoint, PWSTR pName);
    // The jack pass: every endpoint's wave subdevice follows its presence, under the endpoint
    // lock; the first failure ends it. PASSIVE_LEVEL.
    NTSTATUS RegisterEndpointsByPresence();
    // The re-registration pass of ReRegisterEndpoints: each endpoint whose output kind changed is
    // unregistered, renamed, handed to `pAfterRename` (when given) and registered again. No
    // endpoints: STATUS_UNSUCCESSFUL; the first failure ends the pass. PASSIVE_LEVEL.
    NTSTATUS ReRegisterChangedEndpoints(ULONG ulEntityId, AfterRenameStep pAfterRename);
    // Selects the AudioControl interface's alternate setting 0 and returns a copy of what the bus
    // described (bounded by the room the request gave it, pool tag FUNCTION_URB_TAG, the caller's
    // to free) with the number of pipes it holds. No copy with STATUS_SUCCESS when there is
    // nothing to select (no configuration, no endpoints, no memory for the request, a reply too
    // short to hold a header); no copy with the failure of the selection or of the copy.
    // PASSIVE_LEVEL.
    NTSTATUS SelectAudioControlInterface(IUsbDevice* pUsb, PUSBD_INTERFACE_INFORMATION* ppCopy, PULONG pulHeld);
    // Gives each endpoint the new device power state, in list order, under the endpoint lock; back
    // in D0 each registers its wave subdevice again. The first failure ends the pass. PASSIVE_LEVEL.
    VOID SetEndpointsPowerState(DEVICE_POWER_STATE state);

    // The accessors: any IRQL.
    USHORT VendorId() const { return m_idVendor; }
    USHORT ProductId() const { return m_idProduct; }
    // What the device table says of this device.
    const DeviceQuirks& Quirks() const { return m_Quirks; }
    // The class version; the log prefix of the shared steps ("UAC%lu:").
    UacVersion Version() const { return m_Version; }
    UCHAR AudioControlInterfaceNumber() const { return m_AudioControlInterface; }
    VOID SetAudioControlInterfaceNumber(UCHAR number) { m_AudioControlInterface = number; }
    UCHAR InterruptPipeIndex() const { return __atomic_load_n(&m_InterruptPipeIndex, __ATOMIC_SEQ_CST); }
    PDEVICE_OBJECT FunctionalDevice() const { return m_pFunctionalDevice; }
    const AudioCapabilities& StoredCapabilities() const { return m_Capabilities; }

protected:
    // Allocates a T (non-paged, the tag) and returns its non-delegating unknown with one
    // reference: the Create of every function class. PASSIVE_LEVEL.
    template <typename T>
    static NTSTATUS CreateFunction(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct,
                                   ULONG ulTag)
    {
        if (ppFunction == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        *ppFunction = nullptr;
        auto* pFunction = new (NonPagedPoolNx, ulTag) T(pOuterUnknown, idVendor, idProduct);
        if (pFunction == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        PUNKNOWN pUnknown = pFunction->GetNonDelegatingUnknown();
        pUnknown->AddRef();
        *ppFunction = pUnknown;
        return STATUS_SUCCESS;
    }

    // Starts the status thread of the shape unless one runs already. PASSIVE_LEVEL.
    NTSTATUS EnsureStatusThread(const StatusThreadShape& shape);
    // SELECT_INTERFACE of the AudioControl interface and the pipe scan (the first interrupt IN
    // pipe of the message size and, when the shape wants one, the first bulk IN pipe; a second
    // pipe of a kind found ends the scan); the thread when there is an interrupt pipe. Neither
    // an endpoint nor the pipe is needed. PASSIVE_LEVEL.
    NTSTATUS StartStatusThread(IUsbDevice* pUsb, const StatusThreadShape& shape);
    // Ends a running status thread; on the thread itself it does not wait. With bForgetPipes it
    // also frees the interrupt interface and forgets the pipe indices (a polling thread that owns
    // no pipe leaves them alone). PASSIVE_LEVEL.
    VOID EndStatusThread(BOOLEAN bForgetPipes = TRUE);

    // The endpoint pass of a status change and the re-registration of renamed endpoints take it,
    // so that one endpoint's wave subdevice is never registered and unregistered at once.
    LockObject m_EndpointLock;
    UCHAR m_AudioControlInterface;
    PUSBD_INTERFACE_INFORMATION m_pInterruptInterface;
    UCHAR m_InterruptPipeIndex;
    // A bulk IN pipe of the AudioControl interface the status thread keeps drained.
    UCHAR m_BulkPipeIndex;
    PETHREAD m_pStatusThread;
    KEVENT m_StatusThreadStopEvent;
    KEVENT m_StatusThreadExitEvent;
    USHORT m_idVendor;
    USHORT m_idProduct;
    DeviceQuirks m_Quirks;
    ObjectList* m_pUnits;
    ULONG m_ulUnitListTag;
    UacVersion m_Version;
};

// Find the function's first AudioControl (subclass 1) or AudioStreaming (subclass 2) interface and
// hand it to the function's parser. The AudioControl interface number is kept. PASSIVE_LEVEL.
NTSTATUS ParseAudioControlForFunction(UsbAudioFunction* pFunction);
NTSTATUS ParseAudioStreamingForFunction(UsbAudioFunction* pFunction);

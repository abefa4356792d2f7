// Base of every AudioControl unit object: one class-specific descriptor of the USB audio function
// (terminal, feature, mixer, selector, clock or extension unit). The unit keeps a copy of its
// descriptor, knows the function that owns it, creates the entities the topology publishes and
// carries their control requests to the device.
//
// The id and type of a unit are the descriptor's id and subtype, not entity codes. The entity
// list runs from the most recently added entity (the head, the unit's input) to the first one
// (the tail, the unit's output).
#pragma once

#include "adapter/AudioHal.h"
#include "adapter/ObjectList.h"
#include "adapter/TopologyNode.h"
#include "platform/usb/Usb.h"

constexpr ULONG USB_AUDIO_UNIT_TAG = MakePoolTag("AUAT");

// Size of the class or vendor request URB on the device's bus.
constexpr USHORT UNIT_CONTROL_URB_LENGTH = 136;

// One synchronous class (0x1B) or vendor (0x18) interface request on the AudioControl interface,
// wIndex = (id << 8) + the AudioControl interface number. `owner` is queried for its USB device,
// which is released before returning. On a failed read the buffer holds nothing useful. Waits at
// most 500 ms. PASSIVE_LEVEL.
NTSTATUS UnitControlRequest(IAudioHal* owner, UCHAR id, USHORT function, UCHAR request, USHORT value, BOOLEAN read,
                            PVOID buffer, ULONG length);

class UsbAudioUnit : public TopologyNode {
public:
    // Type 0 and a provisional id until the class's Init writes the descriptor's.
    UsbAudioUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
    ~UsbAudioUnit() override;

    // Keeps a copy of bLength bytes and the owner (no reference: the unit dies with its function).
    virtual NTSTATUS SetDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner);
    // A status interrupt of this unit: the base answers the id of its only entity.
    virtual NTSTATUS HandleStatusChange(ULONG ulSelector, ULONG ulChannel, PULONG pulId);

    // Takes a reference and links the entity at the head.
    NTSTATUS AddEntity(TopologyNode* pEntity);
    // Counted from the head, without a reference; an index past the end writes nothing.
    NTSTATUS GetEntity(ULONG ulIndex, TopologyNode** ppEntity);
    NTSTATUS GetEntityCount(PULONG pulCount);
    // The id of the tail entity: the one downstream units take as their source.
    NTSTATUS GetFirstEntityId(PULONG pulId);
    // Gives the head (input) entity the unit's inputs, as entity ids.
    NTSTATUS SetInputIds(ULONG ulCount, const ULONG* pIds);
    // Makes each entity after the head take its predecessor in the chain as its first source.
    void ChainEntities();

    // A request of this unit (wIndex high byte: the unit's id), through its owner.
    NTSTATUS ControlRequest(USHORT function, UCHAR request, USHORT value, BOOLEAN read, PVOID buffer, ULONG length);

    const UCHAR* Descriptor() const { return m_pDescriptor; }
    IAudioHal* Owner() const { return m_pOwner; }

protected:
    // The sequence of every class's InitFromDescriptor: checks the arguments, the length (at least
    // the four header bytes), the descriptor type (0x24) and the class's subtype, keeps the descriptor, then runs `init` (the class's own reads
    // and its Init with `hal`) and chains the entities when it succeeded. `init`'s status is the result.
    template <typename InitFn>
    NTSTATUS InitFromDescriptorSequence(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal, UCHAR subtype,
                                        InitFn init)
    {
        // Every class reads the id at byte 3: a shorter descriptor names no unit.
        if (pDescriptor == nullptr || pOwner == nullptr || pHal == nullptr || pDescriptor[0] < 4 ||
            pDescriptor[1] != USB_AUDIO_CS_INTERFACE || pDescriptor[2] != subtype) {
            return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS status = SetDescriptor(pDescriptor, pOwner);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = init(pHal);
        if (NT_SUCCESS(status)) {
            ChainEntities();
        }
        return status;
    }

    // InitFromDescriptorSequence after refusing a descriptor shorter than the class's fixed
    // fields (ulMinLength), so that nothing is read past bLength.
    template <typename InitFn>
    NTSTATUS InitFromDescriptorOfLength(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal, UCHAR subtype,
                                        ULONG ulMinLength, InitFn init)
    {
        if (pDescriptor != nullptr && pDescriptor[0] < ulMinLength) {
            return STATUS_INVALID_PARAMETER;
        }
        return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, subtype, init);
    }

    // The NonDelegatingQueryInterface of every unit class: the unit's own ids (TopologyNode's),
    // then the class's interfaces in order; anything else STATUS_INVALID_PARAMETER.
    struct UnitInterface {
        const GUID* pIid;
        PUNKNOWN pInterface;
    };
    NTSTATUS QueryUnitInterfaces(REFIID iid, PVOID* ppvObject, const UnitInterface* pInterfaces, ULONG ulCount);

    // Entity creation inside a class's Init. The first id is `hal`'s entity count at the start of
    // Init; `*pulNextId` advances only when the function and the unit both took the entity. The
    // object comes zeroed from non-paged pool with `tag`, is built with a null outer unknown, the
    // next id and `args`, and is set up by `setup(entity)`; the creation reference is dropped at
    // the end. `*ppCreated` (optional) receives the entity when it was added, without a reference.
    template <typename T, typename SetupFn, typename... Args>
    NTSTATUS CreateEntity(IAudioHal* pHal, ULONG tag, PULONG pulNextId, SetupFn setup, T** ppCreated, Args... args)
    {
        if (ppCreated != nullptr) {
            *ppCreated = nullptr;
        }
        T* pEntity = new (NonPagedPoolNx, tag) T(nullptr, *pulNextId, args...);
        if (pEntity == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        TopologyNode* pNode = pEntity;
        pNode->AddRef();
        NTSTATUS status = setup(pEntity);
        if (NT_SUCCESS(status)) {
            status = AddCreatedEntity(pHal, pNode, pulNextId);
        }
        if (NT_SUCCESS(status) && ppCreated != nullptr) {
            *ppCreated = pEntity;
        }
        pNode->Release();
        return status;
    }

    // The Init of a feature unit whose descriptor was checked: id (byte 3), type `subtype`,
    // bSourceID (byte 4) as its one source; then, in the order of pSelectors, one entity for each
    // control `present(selector)` finds, made by `make(selector, pulNextId, allocated)`. A missing
    // mute (the first selector), or a mute whose object could not be had, fails with
    // STATUS_INSUFFICIENT_RESOURCES; another control whose object could not be had is skipped; a
    // failed set-up or add ends Init with its status.
    template <typename PresentFn, typename MakeFn>
    NTSTATUS InitFeatureControls(IAudioHal* pHal, UCHAR subtype, const ULONG* pSelectors, ULONG ulCount,
                                 PresentFn present, MakeFn make)
    {
        m_ulId = m_pDescriptor[3];
        m_lType = subtype;
        const ULONG source = m_pDescriptor[4];
        NTSTATUS status = SetSources(1, &source);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        ULONG next = pHal->GetEntityCount();
        for (ULONG i = 0; i < ulCount; ++i) {
            const bool mute = i == 0;
            if (!present(pSelectors[i])) {
                if (mute) {
                    return STATUS_INSUFFICIENT_RESOURCES;
                }
                continue;
            }
            bool allocated = false;
            const NTSTATUS made = make(pSelectors[i], &next, allocated);
            if (!allocated) {
                if (mute) {
                    return STATUS_INSUFFICIENT_RESOURCES;
                }
                continue;
            }
            status = made;
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        return status;
    }

    // The entity of a class feature-unit control (mute, volume, bass, mid, treble, AGC, loudness)
    // with its set-up on this unit, made by CreateEntity. `allocated` is false when no object
    // could be had; another selector: STATUS_INVALID_PARAMETER, nothing allocated.
    NTSTATUS CreateFeatureControlEntity(IAudioHal* pHal, ULONG tag, ULONG selector, PDEVICE_OBJECT pDevice,
                                        PULONG pulNextId, bool& allocated);

    // Adds a set-up entity to the function's and the unit's lists; the id advances when both did.
    NTSTATUS AddCreatedEntity(IAudioHal* pHal, TopologyNode* pEntity, PULONG pulNextId);

    // The selector body both class versions run (UsbAudioUnitSelector.cpp). The version gives the
    // subtype of its selector unit and its CUR request of the selected input (1 byte, 1-based).
    using SelectorCurRequest = NTSTATUS (*)(IAudioHal* pOwner, UCHAR bUnitId, BOOLEAN bRead, PUCHAR pInput);
    // A kept descriptor of the subtype that holds its bNrInPins source ids.
    bool HoldsSelectorDescriptor(UCHAR subtype) const;
    // Init of a selector unit: id, type, the pins' sources and its one selector entity.
    NTSTATUS InitSelectorUnit(IAudioHal* pHal, UCHAR subtype, ULONG ulTag);
    NTSTATUS ReadSelectedInput(UCHAR subtype, SelectorCurRequest cur, PULONG pInput);
    // An input from 1 to bNrInPins; another: STATUS_INVALID_PARAMETER, nothing sent.
    NTSTATUS WriteSelectedInput(UCHAR subtype, SelectorCurRequest cur, ULONG ulInput);
    NTSTATUS ReadSelectorInputCount(UCHAR subtype, PULONG pCount);

    // The vendor control block of a feature unit, both class versions (UsbAudioUnitVendorBlock.cpp).
    // The version gives its memory read of the unit (offset, bytes that must all arrive).
    using VendorMemoryRead = NTSTATUS (*)(IAudioHal* pOwner, UCHAR bUnitId, USHORT wOffset, PVOID pBuffer,
                                          ULONG cbBuffer);
    // The block's length L (2 bytes at memory offset 0x10), then all L bytes from offset 0 into
    // non-paged pool with the tag. Kept only when the owner answers IUsbDevice, L is at least
    // ulMinLength, the whole block arrives and the Length it carries (bytes 16 and 17) lies
    // between ulMinLength and L; otherwise null. PASSIVE_LEVEL.
    PVOID ReadVendorBlock(VendorMemoryRead pfnRead, ULONG ulMinLength, ULONG ulTag);

    IAudioHal* m_pOwner;
    PUCHAR m_pDescriptor;
    ObjectList* m_pEntities;
};

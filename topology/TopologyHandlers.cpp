#include <cstring>

#include "adapter/AudioHal.h"
#include "adapter/EntityInterfaces.h"
#include "topology/TopologyAutomation.h"
#include "topology/TopologyMiniport.h"

namespace {

constexpr ULONG DESCRIPTION_BYTES = sizeof(KSPROPERTY_DESCRIPTION);
constexpr ULONG TEMP_TAG = MakePoolTag("Temp");

// ---- tables ----

const PCEVENT_ITEM ControlChangeEvent[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_BASICSUPPORT,
     HandleControlChangeEvent},
};

constexpr ULONG G = PCPROPERTY_ITEM_FLAG_GET;
constexpr ULONG S = PCPROPERTY_ITEM_FLAG_SET;
constexpr ULONG B = PCPROPERTY_ITEM_FLAG_BASICSUPPORT;

const PCPROPERTY_ITEM FilterProperties[] = {
    {&DriverPropertySetIid, DRIVER_PROPERTY_VERSION, G, HandleDriverVersion},
    {&DriverPropertySetIid, DRIVER_PROPERTY_JACKS, G | B, HandleDriverJacks},
    {&TerminalInfoPropertySetIid, TERMINAL_INFO_PROPERTY, G | B, HandleTerminalInfo},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, G | B, HandleJack},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, G | B, HandleJack},
};
const PCPROPERTY_ITEM VolumeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, G | S | B, HandleLevel},
    {&DriverPropertySetIid, DRIVER_PROPERTY_LEVEL_WITH_EVENT, S, HandleLevel},
};
const PCPROPERTY_ITEM ToneProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS, G | S | B, HandleLevel},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MID, G | S | B, HandleLevel},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_TREBLE, G | S | B, HandleLevel},
    {&DriverPropertySetIid, DRIVER_PROPERTY_LEVEL_WITH_EVENT, S, HandleLevel},
};
const PCPROPERTY_ITEM MuteProperties[] = {{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, G | S | B, HandleOnOff}};
const PCPROPERTY_ITEM AgcProperties[] = {{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_AGC, G | S | B, HandleOnOff}};
const PCPROPERTY_ITEM LoudnessProperties[] = {{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_LOUDNESS, G | S | B, HandleOnOff}};
const PCPROPERTY_ITEM MuxProperties[] = {{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, G | S, HandleMuxSource}};
const PCPROPERTY_ITEM SingleInputProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, G | S | B, HandleDevSpecific},
};
const PCPROPERTY_ITEM PrivateControlProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, G | S | B, HandleDevSpecific},
    {&NodeGuidPropertySetIid, NODE_GUID_PROPERTY, G, HandleNodeGuid},
};
const PCPROPERTY_ITEM OutputSelectProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, S | B, HandleDevSpecific},
    {&NodeGuidPropertySetIid, NODE_GUID_PROPERTY, G, HandleNodeGuid},
    {&OutputSelectPropertySetIid, OUTPUT_SELECT_KINDS, G, HandleDevSpecific},
    {&OutputSelectPropertySetIid, OUTPUT_SELECT_ACTIVE, G, HandleDevSpecific},
};
const PCPROPERTY_ITEM ProcessingProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, G | S | B, HandleDevSpecific},
    {&NodeGuidPropertySetIid, NODE_GUID_PROPERTY, G, HandleNodeGuid},
    {&ProcessingPropertySetIid, PROCESSING_NODE_GUID, G, HandleDevSpecific},
    {&ProcessingPropertySetIid, PROCESSING_PARAMETER_COUNT, G, HandleDevSpecific},
    {&ProcessingPropertySetIid, PROCESSING_PARAMETER_INFO, G, HandleDevSpecific},
    {&ProcessingPropertySetIid, PROCESSING_PARAMETERS, G | S, HandleDevSpecific},
};

template <size_t N>
constexpr PCAUTOMATION_TABLE Table(const PCPROPERTY_ITEM (&items)[N], bool events)
{
    return {sizeof(PCPROPERTY_ITEM), N, items, sizeof(PCMETHOD_ITEM), 0, nullptr,
            sizeof(PCEVENT_ITEM), events ? 1u : 0u, events ? ControlChangeEvent : nullptr, 0};
}

// ---- helpers ----

TopologyMiniport* Miniport(PPCPROPERTY_REQUEST r)
{
    // MajorTarget is the miniport's IMiniportTopology (its first base).
    return static_cast<TopologyMiniport*>(static_cast<IMiniportTopology*>(r->MajorTarget));
}

// The entity behind the request's node; null when the node does not exist.
ITopologyNode* NodeEntity(PPCPROPERTY_REQUEST r)
{
    TopologyMiniport* pMiniport = Miniport(r);
    if (r->Node >= pMiniport->GetNodeCount()) {
        return nullptr;
    }
    return pMiniport->GetNodeEntity(r->Node);
}

// The entity behind the pin named by the first word of Instance; null when there is none.
ITopologyNode* PinEntity(PPCPROPERTY_REQUEST r)
{
    if (r->InstanceSize < sizeof(ULONG) || r->Instance == nullptr) {
        return nullptr;
    }
    const ULONG ulPin = *static_cast<const ULONG*>(r->Instance);
    TopologyMiniport* pMiniport = Miniport(r);
    if (ulPin >= pMiniport->GetPinCount()) {
        return nullptr;
    }
    return pMiniport->GetPinEntity(ulPin);
}

template <typename T>
NTSTATUS Query(ITopologyNode* pEntity, REFIID iid, T** pp)
{
    PVOID pRaw = nullptr;
    const NTSTATUS status = pEntity->QueryInterface(iid, &pRaw);
    *pp = static_cast<T*>(pRaw);
    return status;
}

ULONG FirstWord(const PVOID p) { return *static_cast<const ULONG*>(p); }

bool HasValue(PPCPROPERTY_REQUEST r, ULONG bytes) { return r->ValueSize >= bytes && r->Value != nullptr; }
bool HasChannel(PPCPROPERTY_REQUEST r) { return r->InstanceSize >= sizeof(ULONG) && r->Instance != nullptr; }

// The basic-support size ladder: the full reply of `full` bytes (the caller adds the members
// after the description when *wantMembers is set), the 40-byte description alone, or the
// access flags alone; below 4 bytes the full size and 0xC0000023.
NTSTATUS DescribeLadder(PPCPROPERTY_REQUEST r, ULONG access, ULONG full, const GUID& typeSet, ULONG varType,
                        ULONG shortMembersLists, ULONG fullMembersLists, bool* wantMembers)
{
    *wantMembers = false;
    if (r->Value == nullptr || r->ValueSize < sizeof(ULONG)) {
        r->ValueSize = full;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (r->ValueSize < DESCRIPTION_BYTES) {
        *static_cast<PULONG>(r->Value) = access;
        r->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    const bool whole = r->ValueSize >= full;
    KSPROPERTY_DESCRIPTION d{};
    d.AccessFlags = access;
    d.DescriptionSize = full;
    d.PropTypeSet.Set = typeSet;
    d.PropTypeSet.Id = varType;
    d.PropTypeSet.Flags = 0;
    d.MembersListCount = whole ? fullMembersLists : shortMembersLists;
    d.Reserved = 0;
    std::memcpy(r->Value, &d, sizeof(d));
    r->ValueSize = whole ? full : DESCRIPTION_BYTES;
    *wantMembers = whole && full > DESCRIPTION_BYTES;
    return STATUS_SUCCESS;
}

PUCHAR Members(PPCPROPERTY_REQUEST r) { return static_cast<PUCHAR>(r->Value) + DESCRIPTION_BYTES; }

void WriteHeader(PUCHAR p, ULONG flags, ULONG size, ULONG count, ULONG headerFlags)
{
    const KSPROPERTY_MEMBERSHEADER h = {flags, size, count, headerFlags};
    std::memcpy(p, &h, sizeof(h));
}

// Per-channel stepped ranges: 56 + 16 n bytes in all.
NTSTATUS DescribeChannels(PPCPROPERTY_REQUEST r, ULONG n, ULONG varType, IEntityLevel* pLevel)
{
    const ULONG full = DESCRIPTION_BYTES + sizeof(KSPROPERTY_MEMBERSHEADER) + 16 * n;
    bool members = false;
    NTSTATUS status = DescribeLadder(r, 0x203, full, KSPROPTYPESETID_General, varType, 1, 1, &members);
    if (!NT_SUCCESS(status) || !members) {
        return status;
    }
    KSPROPERTY_STEPPING_LONG step = {1, 0, 0, 1};
    if (pLevel != nullptr) {
        LONG maximum = 0, minimum = 0, delta = 0;
        status = pLevel->GetRange(&maximum, &minimum, &delta);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        step = {static_cast<ULONG>(delta), 0, minimum, maximum};
    }
    PUCHAR p = Members(r);
    WriteHeader(p, KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), n,
                KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL);
    p += sizeof(KSPROPERTY_MEMBERSHEADER);
    for (ULONG i = 0; i < n; ++i, p += sizeof(step)) {
        std::memcpy(p, &step, sizeof(step));
    }
    return STATUS_SUCCESS;
}

// GET and SET of a level through IEntityLevel (channel from Instance).
NTSTATUS LevelValue(PPCPROPERTY_REQUEST r, IEntityLevel* pLevel)
{
    if (!HasChannel(r) || !HasValue(r, sizeof(LONG))) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG ulChannel = FirstWord(r->Instance);
    NTSTATUS status = (r->Verb & KSPROPERTY_TYPE_GET) != 0
                          ? pLevel->GetLevel(ulChannel, static_cast<PLONG>(r->Value))
                          : pLevel->SetLevel(ulChannel, *static_cast<const LONG*>(r->Value));
    if (NT_SUCCESS(status)) {
        r->ValueSize = sizeof(LONG);
    }
    return status;
}

// GET and SET of an on/off value through IEntityOnOff; 4-byte values, the byte in the first.
NTSTATUS OnOffValue(PPCPROPERTY_REQUEST r, IEntityOnOff* pOnOff, ULONG ulChannel)
{
    NTSTATUS status;
    if ((r->Verb & KSPROPERTY_TYPE_GET) != 0) {
        *static_cast<PULONG>(r->Value) = 0;
        status = pOnOff->GetValue(ulChannel, static_cast<PUCHAR>(r->Value));
    } else {
        status = pOnOff->SetValue(ulChannel, FirstWord(r->Value) != 0 ? 1 : 0);
    }
    if (NT_SUCCESS(status)) {
        r->ValueSize = sizeof(ULONG);
    }
    return status;
}

bool IsBasicSupport(PPCPROPERTY_REQUEST r) { return (r->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0; }
bool IsSet(PPCPROPERTY_REQUEST r) { return (r->Verb & KSPROPERTY_TYPE_SET) != 0; }
bool IsGet(PPCPROPERTY_REQUEST r) { return (r->Verb & KSPROPERTY_TYPE_GET) != 0; }

NTSTATUS DevSpecificGainPad(PPCPROPERTY_REQUEST r, ITopologyNode* pEntity)
{
    IEntityLevel* pLevel = nullptr;
    NTSTATUS status = Query(pEntity, IID_IEntityLevel, &pLevel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (IsBasicSupport(r)) {
        ULONG n = 0;
        status = pLevel->GetChannelCount(&n);
        bool members = false;
        if (NT_SUCCESS(status)) {
            status = DescribeLadder(r, 0x203, 92, KSPROPTYPESETID_General, VT_I4, 0, 1, &members);
        }
        if (NT_SUCCESS(status) && members) {
            LONG maximum = 0, minimum = 0, step = 0;
            status = pLevel->GetRange(&maximum, &minimum, &step);
            if (NT_SUCCESS(status)) {
                PUCHAR p = Members(r);
                WriteHeader(p, KSPROPERTY_MEMBER_VALUES, 36, 1, 0);
                p += sizeof(KSPROPERTY_MEMBERSHEADER);
                const ULONG head = 36, tail = 12;
                std::memcpy(p, &head, 4);
                std::memcpy(p + 4, &GainPadNodeName, 16);
                std::memcpy(p + 20, &tail, 4);
                std::memcpy(p + 24, &maximum, 4);
                std::memcpy(p + 28, &minimum, 4);
                std::memcpy(p + 32, &step, 4);
            }
        }
    } else {
        status = LevelValue(r, pLevel);
    }
    pLevel->Release();
    return status;
}

NTSTATUS DevSpecificSwitch(PPCPROPERTY_REQUEST r, ITopologyNode* pEntity)
{
    IEntityOnOff* pOnOff = nullptr;
    NTSTATUS status = Query(pEntity, IID_IEntityOnOff, &pOnOff);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (IsBasicSupport(r)) {
        bool members = false;
        status = DescribeLadder(r, 0x203, DESCRIPTION_BYTES, KSPROPTYPESETID_General, VT_BOOL, 0, 0, &members);
    } else if (!HasValue(r, sizeof(ULONG))) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = OnOffValue(r, pOnOff, 0);
    }
    pOnOff->Release();
    return status;
}

NTSTATUS DevSpecificPassThrough(PPCPROPERTY_REQUEST r)
{
    if (IsBasicSupport(r)) {
        bool members = false;
        NTSTATUS status = DescribeLadder(r, 0x202, 64, KSPROPTYPESETID_General, VT_UI4, 0, 1, &members);
        if (NT_SUCCESS(status) && members) {
            PUCHAR p = Members(r);
            WriteHeader(p, KSPROPERTY_MEMBER_RANGES, 8, 1, 0);
            const ULONG bounds[2] = {0, 0xFFFFFFFF};
            std::memcpy(p + sizeof(KSPROPERTY_MEMBERSHEADER), bounds, sizeof(bounds));
        }
        return status;
    }
    if (IsSet(r)) {
        if (!HasValue(r, sizeof(ULONG))) {
            return STATUS_INVALID_PARAMETER;
        }
        r->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

// A list reply's size query and buffer checks: ValueSize 0 asks for the size.
NTSTATUS CheckListBuffer(PPCPROPERTY_REQUEST r, ULONG needed)
{
    if (r->ValueSize == 0) {
        r->ValueSize = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (r->ValueSize < needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (r->Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

NTSTATUS DevSpecificOutputSelect(PPCPROPERTY_REQUEST r, ITopologyNode* pEntity)
{
    const GUID& set = *r->PropertyItem->Set;
    const bool audio = IsEqualGUID(set, KSPROPSETID_Audio);
    if (!audio && !IsEqualGUID(set, OutputSelectPropertySetIid)) {
        return STATUS_INVALID_PARAMETER;
    }
    IMultiOutputTerminal* pMulti = nullptr;
    NTSTATUS status = Query(pEntity, IID_IMultiOutputTerminal, &pMulti);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG id = r->PropertyItem->Id;
    if (audio) {
        if (IsBasicSupport(r)) {
            status = DescribePrivateValue(r, VT_I4, OutputSelectNodeName);
        } else if (IsSet(r) && HasValue(r, sizeof(ULONG))) {
            status = pMulti->SelectKind(FirstWord(r->Value));
            if (NT_SUCCESS(status)) r->ValueSize = sizeof(ULONG);
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
    } else if (id == OUTPUT_SELECT_KINDS && IsGet(r)) {
        ULONG n = 0;
        status = pMulti->GetKindCount(&n);
        const ULONG needed = 8 + 4 * n;
        if (NT_SUCCESS(status)) status = CheckListBuffer(r, needed);
        if (status == STATUS_SUCCESS) {
            PULONG pKinds = nullptr;
            if (n != 0) {
                pKinds = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, n * sizeof(ULONG), TOPOLOGY_MINIPORT_TAG));
                if (pKinds == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
            }
            if (NT_SUCCESS(status) && n != 0) status = pMulti->GetKinds(pKinds);
            if (NT_SUCCESS(status)) {
                const KSMULTIPLE_ITEM head = {needed, n};
                std::memcpy(r->Value, &head, sizeof(head));
                if (n != 0) std::memcpy(static_cast<PUCHAR>(r->Value) + 8, pKinds, n * sizeof(ULONG));
                r->ValueSize = needed;
            }
            if (pKinds != nullptr) ExFreePoolWithTag(pKinds, TOPOLOGY_MINIPORT_TAG);
        }
    } else if (id == OUTPUT_SELECT_ACTIVE && IsGet(r)) {
        status = CheckListBuffer(r, sizeof(ULONG));
        if (status == STATUS_SUCCESS) {
            status = pMulti->GetKind(static_cast<PULONG>(r->Value));
            if (NT_SUCCESS(status)) r->ValueSize = sizeof(ULONG);
        }
    } else {
        status = STATUS_INVALID_PARAMETER;
    }
    pMulti->Release();
    return status;
}

NTSTATUS DevSpecificProcessing(PPCPROPERTY_REQUEST r, ITopologyNode* pEntity)
{
    const GUID& set = *r->PropertyItem->Set;
    const bool audio = IsEqualGUID(set, KSPROPSETID_Audio);
    if (!audio && !IsEqualGUID(set, ProcessingPropertySetIid)) {
        return STATUS_UNSUCCESSFUL;
    }
    IProcessingEntity* pProcessing = nullptr;
    NTSTATUS status = Query(pEntity, IID_IProcessingEntity, &pProcessing);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG m = 0;
    status = pProcessing->GetParameterCount(&m);
    const ULONG id = r->PropertyItem->Id;
    if (!NT_SUCCESS(status)) {
        // the entity's failure as it is
    } else if (audio) {
        if (IsBasicSupport(r)) {
            status = DescribePrivateValue(r, VT_BOOL, ProcessingPropertySetIid);
        } else if (!HasValue(r, sizeof(ULONG))) {
            status = STATUS_INVALID_PARAMETER;
        } else if (IsSet(r)) {
            status = pProcessing->SetEnable(*static_cast<const UCHAR*>(r->Value));
        } else {
            // Like the MUTE GET, the whole value is cleared before the byte is written.
            *static_cast<PULONG>(r->Value) = 0;
            status = pProcessing->GetEnable(static_cast<PUCHAR>(r->Value));
        }
        if (NT_SUCCESS(status) && !IsBasicSupport(r)) {
            r->ValueSize = sizeof(ULONG);
            status = STATUS_SUCCESS;
        }
    } else if (id == PROCESSING_PARAMETERS && IsSet(r)) {
        const PULONG pInstance = static_cast<PULONG>(r->Instance);
        if (r->InstanceSize < 12 || pInstance == nullptr) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            const ULONG first = pInstance[0], count = pInstance[1];
            // count <= m and first <= m - count: no sum that could wrap.
            if ((r->InstanceSize - 8) / 4 != count || count > m || first > m - count) {
                status = STATUS_INVALID_PARAMETER;
            } else {
                status = pProcessing->SetParameters(first, count, reinterpret_cast<const LONG*>(pInstance + 2));
            }
        }
    } else if (IsGet(r) && id == PROCESSING_NODE_GUID) {
        status = HasValue(r, sizeof(GUID)) ? pProcessing->GetNodeGuid(static_cast<GUID*>(r->Value))
                                           : STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(status)) r->ValueSize = sizeof(GUID);
    } else if (IsGet(r) && id == PROCESSING_PARAMETER_COUNT) {
        status = HasValue(r, sizeof(ULONG)) ? pProcessing->GetParameterCount(static_cast<PULONG>(r->Value))
                                            : STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(status)) r->ValueSize = sizeof(ULONG);
    } else if (IsGet(r) && id == PROCESSING_PARAMETER_INFO) {
        if (!HasChannel(r) || !HasValue(r, 12)) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            const PULONG v = static_cast<PULONG>(r->Value);
            status = pProcessing->GetParameterInfo(FirstWord(r->Instance), v, v + 1, v + 2);
            if (NT_SUCCESS(status)) r->ValueSize = 12;
        }
    } else if (IsGet(r) && id == PROCESSING_PARAMETERS) {
        const PULONG pInstance = static_cast<PULONG>(r->Instance);
        if (r->InstanceSize < 8 || pInstance == nullptr) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            const ULONG first = pInstance[0], count = pInstance[1];
            // The reply size 8 + 4 count is formed only once count is known to be small.
            if (count > m || first > m - count || !HasValue(r, 8 + 4 * count)) {
                status = STATUS_INVALID_PARAMETER;
            } else {
                const PULONG v = static_cast<PULONG>(r->Value);
                status = pProcessing->GetParameters(first, count, reinterpret_cast<PLONG>(v + 2));
                if (NT_SUCCESS(status)) {
                    v[0] = 8 + 4 * count;
                    v[1] = count;
                    r->ValueSize = 8 + 4 * count;
                }
            }
        }
    } else {
        status = STATUS_INVALID_PARAMETER;
    }
    pProcessing->Release();
    return status;
}

// Pin lookup and the basic support of the pin-addressed properties.
NTSTATUS DescribePinProperty(PPCPROPERTY_REQUEST r)
{
    if (r->Value == nullptr || r->ValueSize < sizeof(ULONG)) {
        r->ValueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (r->ValueSize < DESCRIPTION_BYTES) {
        *static_cast<PULONG>(r->Value) = 0x201;
        r->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    KSPROPERTY_DESCRIPTION d{};
    d.AccessFlags = 0x201;
    d.DescriptionSize = DESCRIPTION_BYTES;
    std::memcpy(r->Value, &d, sizeof(d));
    r->ValueSize = DESCRIPTION_BYTES;
    return STATUS_SUCCESS;
}

// The terminal behind a pin request's pin, for a GET. A basic-support request is answered here;
// then, as on every refusal, *ppTerminal stays null and the status is the request's answer.
NTSTATUS PinTerminalForGet(PPCPROPERTY_REQUEST r, ITerminalControl** ppTerminal)
{
    *ppTerminal = nullptr;
    if (r->InstanceSize < sizeof(ULONG) || r->Instance == nullptr ||
        FirstWord(r->Instance) >= Miniport(r)->GetPinCount()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (IsBasicSupport(r)) {
        return DescribePinProperty(r);
    }
    if (!IsGet(r)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ITopologyNode* pEntity = PinEntity(r);
    if (pEntity == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const NTSTATUS status = Query(pEntity, IID_ITerminalControl, ppTerminal);
    if (!NT_SUCCESS(status)) {
        r->ValueSize = 0;
        *ppTerminal = nullptr;
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS JackDescriptions(PPCPROPERTY_REQUEST r, bool second)
{
    ITerminalControl* pTerminal = nullptr;
    NTSTATUS status = PinTerminalForGet(r, &pTerminal);
    if (pTerminal == nullptr) {
        return status;
    }
    ULONG n = 0;
    status = pTerminal->GetJackCount(&n, 0);
    if (NT_SUCCESS(status) && n == 0) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG element = second ? sizeof(KSJACK_DESCRIPTION2) : sizeof(KSJACK_DESCRIPTION);
    const ULONG needed = 8 + element * n;
    if (NT_SUCCESS(status)) {
        status = CheckListBuffer(r, needed);
    }
    if (status == STATUS_SUCCESS) {
        auto* pJacks = static_cast<JackRecord*>(ExAllocatePoolWithTag(PagedPool, n * sizeof(JackRecord), TEMP_TAG));
        status = pJacks == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                                   : pTerminal->GetJackDescriptions(n * sizeof(JackRecord), pJacks, 0);
        if (NT_SUCCESS(status)) {
            PUCHAR p = static_cast<PUCHAR>(r->Value);
            const KSMULTIPLE_ITEM head = {needed, n};
            std::memcpy(p, &head, sizeof(head));
            p += sizeof(head);
            for (ULONG i = 0; i < n; ++i, p += element) {
                const JackRecord& j = pJacks[i];
                if (second) {
                    // Bit 0 of word 6 set: the jack has no presence detection.
                    const KSJACK_DESCRIPTION2 d = {0, (j.Word6 & 1) != 0 ? 0u : JACKDESC2_PRESENCE_DETECT_CAPABILITY};
                    std::memcpy(p, &d, sizeof(d));
                } else {
                    const ULONG words[7] = {j.ChannelMapping, j.Color,          j.ConnectionType, j.GeoLocation,
                                            j.GenLocation,    j.PortConnection, j.IsConnected};
                    std::memcpy(p, words, sizeof(words));
                }
            }
            r->ValueSize = needed;
            status = STATUS_SUCCESS;
        }
        if (pJacks != nullptr) ExFreePoolWithTag(pJacks, TEMP_TAG);
    }
    pTerminal->Release();
    return status;
}

}  // namespace

const PCAUTOMATION_TABLE TopologyFilterAutomation = Table(FilterProperties, false);
const PCAUTOMATION_TABLE VolumeNodeAutomation = Table(VolumeProperties, true);
const PCAUTOMATION_TABLE ToneNodeAutomation = Table(ToneProperties, true);
const PCAUTOMATION_TABLE MuteNodeAutomation = Table(MuteProperties, true);
const PCAUTOMATION_TABLE AgcNodeAutomation = Table(AgcProperties, true);
const PCAUTOMATION_TABLE LoudnessNodeAutomation = Table(LoudnessProperties, true);
const PCAUTOMATION_TABLE MuxNodeAutomation = Table(MuxProperties, false);
const PCAUTOMATION_TABLE SingleInputSelectorAutomation = Table(SingleInputProperties, false);
const PCAUTOMATION_TABLE PrivateControlNodeAutomation = Table(PrivateControlProperties, true);
const PCAUTOMATION_TABLE OutputSelectNodeAutomation = Table(OutputSelectProperties, true);
const PCAUTOMATION_TABLE ProcessingNodeAutomation = Table(ProcessingProperties, true);

NTSTATUS HandleOnOff(PPCPROPERTY_REQUEST r)
{
    const ULONG id = r->PropertyItem->Id;
    if (!IsEqualGUID(*r->PropertyItem->Set, KSPROPSETID_Audio) ||
        (id != KSPROPERTY_AUDIO_MUTE && id != KSPROPERTY_AUDIO_AGC && id != KSPROPERTY_AUDIO_LOUDNESS)) {
        return STATUS_INVALID_PARAMETER;
    }
    ITopologyNode* pEntity = NodeEntity(r);
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    IEntityOnOff* pOnOff = nullptr;
    NTSTATUS status = Query(pEntity, IID_IEntityOnOff, &pOnOff);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (IsBasicSupport(r)) {
        ULONG n = 0;
        status = pOnOff->GetChannelCount(&n);
        if (NT_SUCCESS(status)) status = DescribeChannels(r, n, VT_BOOL, nullptr);
    } else if (!HasChannel(r) || !HasValue(r, sizeof(ULONG))) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = OnOffValue(r, pOnOff, FirstWord(r->Instance));
    }
    pOnOff->Release();
    return status;
}

NTSTATUS HandleLevel(PPCPROPERTY_REQUEST r)
{
    const GUID& set = *r->PropertyItem->Set;
    const ULONG id = r->PropertyItem->Id;
    const bool withEvent = IsEqualGUID(set, DriverPropertySetIid) && id == DRIVER_PROPERTY_LEVEL_WITH_EVENT;
    LONG expectedType = -1;
    if (IsEqualGUID(set, KSPROPSETID_Audio)) {
        switch (id) {
        case KSPROPERTY_AUDIO_VOLUMELEVEL: expectedType = ENTITY_VOLUME; break;
        case KSPROPERTY_AUDIO_BASS: expectedType = ENTITY_BASS; break;
        case KSPROPERTY_AUDIO_MID: expectedType = ENTITY_MID; break;
        case KSPROPERTY_AUDIO_TREBLE: expectedType = ENTITY_TREBLE; break;
        default: return STATUS_INVALID_PARAMETER;
        }
    } else if (!withEvent) {
        return STATUS_INVALID_PARAMETER;
    }
    ITopologyNode* pEntity = NodeEntity(r);
    if (pEntity == nullptr || (!withEvent && pEntity->GetType() != expectedType)) {
        return STATUS_INVALID_PARAMETER;
    }
    IEntityLevel* pLevel = nullptr;
    NTSTATUS status = Query(pEntity, IID_IEntityLevel, &pLevel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (IsBasicSupport(r)) {
        ULONG n = 0;
        status = pLevel->GetChannelCount(&n);
        if (NT_SUCCESS(status)) status = DescribeChannels(r, n, VT_I4, pLevel);
    } else {
        status = LevelValue(r, pLevel);
        if (NT_SUCCESS(status) && IsSet(r) && withEvent) {
            Miniport(r)->RaiseControlChange(r->Node);
        }
    }
    pLevel->Release();
    return status;
}

NTSTATUS HandleMuxSource(PPCPROPERTY_REQUEST r)
{
    if (!IsEqualGUID(*r->PropertyItem->Set, KSPROPSETID_Audio) || r->PropertyItem->Id != KSPROPERTY_AUDIO_MUX_SOURCE ||
        !HasValue(r, sizeof(ULONG))) {
        return STATUS_INVALID_PARAMETER;
    }
    ITopologyNode* pEntity = NodeEntity(r);
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ISelectorControl* pSelector = nullptr;
    NTSTATUS status = Query(pEntity, IID_ISelectorControl, &pSelector);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IsGet(r) ? pSelector->GetSelected(static_cast<PULONG>(r->Value)) : pSelector->SetSelected(FirstWord(r->Value));
    if (NT_SUCCESS(status)) {
        r->ValueSize = sizeof(ULONG);
    }
    pSelector->Release();
    return status;
}

NTSTATUS HandleDevSpecific(PPCPROPERTY_REQUEST r)
{
    ITopologyNode* pEntity = NodeEntity(r);
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    switch (pEntity->GetType()) {
    case ENTITY_GAIN_PAD: return DevSpecificGainPad(r, pEntity);
    case ENTITY_MULTI_OUTPUT_TERMINAL: return DevSpecificOutputSelect(r, pEntity);
    case ENTITY_VENDOR_SWITCH:
    case ENTITY_LED_SWITCH: return DevSpecificSwitch(r, pEntity);
    case ENTITY_PROCESSING: return DevSpecificProcessing(r, pEntity);
    default: return DevSpecificPassThrough(r);
    }
}

NTSTATUS DescribePrivateValue(PPCPROPERTY_REQUEST r, ULONG varType, const GUID& guid)
{
    if (!IsBasicSupport(r)) {
        return STATUS_UNSUCCESSFUL;
    }
    bool members = false;
    NTSTATUS status = DescribeLadder(r, 0x202, 80, KSPROPTYPESETID_General, varType, 0, 1, &members);
    if (NT_SUCCESS(status) && members) {
        PUCHAR p = Members(r);
        WriteHeader(p, KSPROPERTY_MEMBER_VALUES, 24, 1, 0);
        p += sizeof(KSPROPERTY_MEMBERSHEADER);
        const ULONG head = 24, tail = 0;
        std::memcpy(p, &head, 4);
        std::memcpy(p + 4, &guid, 16);
        std::memcpy(p + 20, &tail, 4);
    }
    return status;
}

NTSTATUS HandleNodeGuid(PPCPROPERTY_REQUEST r)
{
    if (!IsEqualGUID(*r->PropertyItem->Set, NodeGuidPropertySetIid) || r->PropertyItem->Id != NODE_GUID_PROPERTY) {
        return STATUS_INVALID_PARAMETER;
    }
    ITopologyNode* pEntity = NodeEntity(r);
    if (pEntity == nullptr || !IsGet(r) || !HasValue(r, sizeof(GUID))) {
        return STATUS_INVALID_PARAMETER;
    }
    const GUID* pGuid = nullptr;
    switch (pEntity->GetType()) {
    case ENTITY_GAIN_PAD: pGuid = &GainPadNodeName; break;
    case ENTITY_MULTI_OUTPUT_TERMINAL: pGuid = &OutputSelectNodeName; break;
    case ENTITY_VENDOR_SWITCH: pGuid = &VendorSwitchNodeName; break;
    case ENTITY_LED_SWITCH: pGuid = &LedSwitchNodeName; break;
    case ENTITY_PROCESSING: pGuid = &ProcessingPropertySetIid; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    std::memcpy(r->Value, pGuid, sizeof(GUID));
    r->ValueSize = sizeof(GUID);
    return STATUS_SUCCESS;
}

NTSTATUS HandleDriverVersion(PPCPROPERTY_REQUEST r)
{
    if (!IsEqualGUID(*r->PropertyItem->Set, DriverPropertySetIid) || r->PropertyItem->Id != DRIVER_PROPERTY_VERSION) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!HasValue(r, sizeof(ULONG))) {
        return STATUS_INVALID_PARAMETER;
    }
    *static_cast<PULONG>(r->Value) = DRIVER_VERSION;
    r->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS HandleDriverJacks(PPCPROPERTY_REQUEST r)
{
    if (!IsEqualGUID(*r->PropertyItem->Set, DriverPropertySetIid) || r->PropertyItem->Id != DRIVER_PROPERTY_JACKS) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return JackDescriptions(r, false);
}

NTSTATUS HandleJack(PPCPROPERTY_REQUEST r)
{
    const ULONG id = r->PropertyItem->Id;
    if (!IsEqualGUID(*r->PropertyItem->Set, KSPROPSETID_Jack) ||
        (id != KSPROPERTY_JACK_DESCRIPTION && id != KSPROPERTY_JACK_DESCRIPTION2)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return JackDescriptions(r, id == KSPROPERTY_JACK_DESCRIPTION2);
}

NTSTATUS HandleTerminalInfo(PPCPROPERTY_REQUEST r)
{
    if (!IsEqualGUID(*r->PropertyItem->Set, TerminalInfoPropertySetIid) ||
        r->PropertyItem->Id != TERMINAL_INFO_PROPERTY) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ITerminalControl* pTerminal = nullptr;
    NTSTATUS status = PinTerminalForGet(r, &pTerminal);
    if (pTerminal == nullptr) {
        return status;
    }
    status = CheckListBuffer(r, sizeof(AudioCapabilities));
    if (status == STATUS_SUCCESS) {
        status = pTerminal->GetTerminalInfo(static_cast<UCHAR*>(r->Value));
        if (NT_SUCCESS(status)) r->ValueSize = sizeof(AudioCapabilities);
    }
    pTerminal->Release();
    return status;
}

NTSTATUS HandleControlChangeEvent(PPCEVENT_REQUEST r)
{
    auto* pMiniport = static_cast<TopologyMiniport*>(static_cast<IMiniportTopology*>(r->MajorTarget));
    if (r->Node >= pMiniport->GetNodeCount()) {
        return STATUS_INVALID_PARAMETER;
    }
    switch (r->Verb) {
    case PCEVENT_VERB_ADD:
        if (r->EventEntry == nullptr || pMiniport->GetPortEvents() == nullptr) {
            return STATUS_UNSUCCESSFUL;
        }
        pMiniport->GetPortEvents()->AddEventToEventList(r->EventEntry);
        return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE:
    case PCEVENT_VERB_SUPPORT: return STATUS_SUCCESS;
    default: return STATUS_INVALID_PARAMETER;
    }
}
